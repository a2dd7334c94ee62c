// The SCSI model of each disk, answering SG_IO.
#include "disk.h"

namespace simk {

int sg_io(const std::string &name, SgIo &io)
{
	(void)io;
	return simlinux::with_scsi_disk(name, [](sim_disk *) { return -ENOSYS; });
}

int scsi_knob(const std::string &name, const std::string &knob)
{
	return simlinux::with_scsi_disk(name, [&knob](sim_disk *d) {
		std::lock_guard<std::mutex> lk(d->scsi_mu);
		d->knob = knob;
		return 0;
	});
}

}  // namespace simk
