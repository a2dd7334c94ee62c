// The SCSI model behind each disk, answering SG_IO as a real target would
// (it never enters the request queue, as SG_IO does not).  A disk with a
// GUID is a LUN of the maker's storage: vendor "UVO", product
// "ZELSolution", and a T10 vendor identification designator in VPD page
// 0x83 holding the GUID text.  A plain disk answers as another vendor's
// disk, with only an NAA designator.
#include <stddef.h>

#include "disk.h"

namespace {

constexpr int kDxferNone = -1;
constexpr int kDxferToDev = -2;
constexpr int kDxferFromDev = -3;

constexpr uint8_t kGood = 0x00;
constexpr uint8_t kCheckCondition = 0x02;
constexpr uint8_t kDriverSense = 0x08;

constexpr uint8_t kNotReady = 0x02;
constexpr uint8_t kIllegalRequest = 0x05;

struct Reply {
	std::vector<uint8_t> data;	// what the target would send (before the allocation length)
	bool check = false;
	uint8_t key = 0, asc = 0, ascq = 0;
};

void illegal(Reply &r, uint8_t asc)
{
	r.check = true;
	r.key = kIllegalRequest;
	r.asc = asc;
	r.ascq = 0;
}

void put_text(std::vector<uint8_t> &b, size_t at, const std::string &s, size_t width)
{
	for (size_t i = 0; i < width; i++)
		b[at + i] = i < s.size() ? (uint8_t)s[i] : ' ';
}

void put_be(std::vector<uint8_t> &b, size_t at, uint64_t v, int bytes)
{
	for (int i = 0; i < bytes; i++)
		b[at + i] = (uint8_t)(v >> (8 * (bytes - 1 - i)));
}

bool is_lun(const sim_disk *d)
{
	return !d->guid.empty();
}

void standard_inquiry(const sim_disk *d, Reply &r)
{
	r.data.assign(96, 0);
	r.data[0] = 0x00;		// direct-access block device
	r.data[2] = 0x05;		// SPC-3
	r.data[3] = 0x02;		// response data format
	r.data[4] = 96 - 5;		// additional length
	r.data[7] = 0x02;		// command queueing
	if (is_lun(d)) {
		put_text(r.data, 8, "UVO", 8);
		put_text(r.data, 16, "ZELSolution", 16);
		put_text(r.data, 32, "1.0", 4);
	} else {
		put_text(r.data, 8, "ATA", 8);
		put_text(r.data, 16, "QEMU HARDDISK", 16);
		put_text(r.data, 32, "2.5+", 4);
	}
}

// An NAA (type 3) designator made from the device number, so each disk has
// a distinct identifier.
void put_naa(std::vector<uint8_t> &list, const sim_disk *d)
{
	uint8_t hdr[4] = {0x01, 0x03, 0x00, 0x08};	// binary, LU, NAA, 8 bytes
	list.insert(list.end(), hdr, hdr + 4);
	uint64_t naa = (0x5ULL << 60) | (0x0019ULL << 36) | ((uint64_t)d->major << 16) | d->minor;
	for (int i = 7; i >= 0; i--)
		list.push_back((uint8_t)(naa >> (8 * i)));
}

void vpd_page(const sim_disk *d, const std::string &knob, uint8_t page, Reply &r)
{
	std::vector<uint8_t> body;
	switch (page) {
	case 0x00:
		body = {0x00, 0x80, 0x83};
		break;
	case 0x80: {
		char serial[32];
		snprintf(serial, sizeof(serial), "SIM%04X%04X", d->major, d->minor);
		body.assign(serial, serial + strlen(serial));
		break;
	}
	case 0x83: {
		put_naa(body, d);
		if (is_lun(d)) {
			// T10 vendor identification: the 8-byte vendor, one byte, then the
			// 36-character GUID at designator byte 13.
			std::string guid = d->guid;
			guid.resize(36, '0');
			if (knob == "bad_guid_char")
				guid[8] = '_';
			uint8_t len = knob == "short_designator" ? 44 : 45;
			std::vector<uint8_t> des(4 + 45, ' ');
			des[0] = 0x02;		// ASCII
			des[1] = 0x01;		// associated with the LU, type 1
			des[2] = 0x00;
			des[3] = len;
			put_text(des, 4, "UVO", 8);
			des[12] = '-';
			memcpy(&des[13], guid.data(), 36);
			des.resize(4 + len);
			body.insert(body.end(), des.begin(), des.end());
		}
		break;
	}
	default:
		illegal(r, 0x24);
		return;
	}
	size_t page_len = body.size();
	if (page == 0x83 && knob == "vpd_page_len_over")
		page_len = 253;
	r.data.assign(4, 0);
	r.data[1] = page;
	r.data[2] = (uint8_t)(page_len >> 8);
	r.data[3] = (uint8_t)page_len;
	r.data.insert(r.data.end(), body.begin(), body.end());
	if (r.data.size() < 4 + page_len)
		r.data.resize(4 + page_len, 0);
}

void execute(sim_disk *d, const uint8_t *cdb, uint8_t cdb_len, int dir, const uint8_t *out,
	     uint32_t out_len, Reply &r)
{
	std::lock_guard<std::mutex> lk(d->scsi_mu);
	const std::string knob = d->knob;

	if (d->offline.load() || d->dead.load()) {
		r.check = true;
		r.key = kNotReady;
		r.asc = 0x04;		// logical unit not ready
		r.ascq = 0x00;
		return;
	}
	switch (cdb[0]) {
	case 0x00:	// TEST UNIT READY
		if (knob == "standby") {
			r.check = true;
			r.key = kNotReady;
			r.asc = 0x04;
			r.ascq = 0x0B;	// target port in standby state
		}
		return;
	case 0x12:	// INQUIRY
		if (cdb_len < 6)
			return illegal(r, 0x24);
		if (cdb[1] & 0x01)
			vpd_page(d, knob, cdb[2], r);
		else if (cdb[2] != 0)
			illegal(r, 0x24);
		else
			standard_inquiry(d, r);
		return;
	case 0x25:	// READ CAPACITY(10)
		r.data.assign(8, 0);
		put_be(r.data, 0, min_t(uint64_t, (d->size >> 9) - 1, 0xFFFFFFFFULL), 4);
		put_be(r.data, 4, 512, 4);
		return;
	case 0x9E:	// SERVICE ACTION IN(16)
		if (cdb_len < 16 || (cdb[1] & 0x1f) != 0x10)
			return illegal(r, 0x24);
		r.data.assign(32, 0);	// READ CAPACITY(16)
		put_be(r.data, 0, (d->size >> 9) - 1, 8);
		put_be(r.data, 8, 512, 4);
		return;
	case 0x55: {	// MODE SELECT(10)
		if (cdb_len < 10)
			return illegal(r, 0x24);
		uint32_t plen = ((uint32_t)cdb[7] << 8) | cdb[8];
		if (plen && (dir != kDxferToDev || !out))
			return illegal(r, 0x26);	// invalid field in parameter list
		d->last_mode_select.assign(out, out + min_t(uint32_t, plen, out_len));
		return;
	}
	default:
		illegal(r, 0x20);	// invalid command operation code
		return;
	}
}

// The allocation length a command gives for its data in.
uint32_t alloc_len(const uint8_t *cdb, uint8_t cdb_len)
{
	switch (cdb[0]) {
	case 0x12:
		return ((uint32_t)cdb[3] << 8) | cdb[4];
	case 0x9E:
		return cdb_len >= 14 ? ((uint32_t)cdb[10] << 24) | ((uint32_t)cdb[11] << 16) |
					       ((uint32_t)cdb[12] << 8) | cdb[13]
				     : 0;
	case 0x25:
		return 8;
	default:
		return 0xFFFFFFFFu;
	}
}

}  // namespace

namespace simk {

int sg_io(const std::string &name, SgIo &io)
{
	if (!io.cdb || io.cdb_len < 6 || io.cdb_len > 16)
		return -EINVAL;
	if (io.dxfer_direction != kDxferNone && io.dxfer_len && !io.dxferp)
		return -EFAULT;
	return simlinux::with_scsi_disk(name, [&io](sim_disk *d) {
		Reply r;
		const uint8_t *out = io.dxfer_direction == kDxferToDev ? (const uint8_t *)io.dxferp : nullptr;
		execute(d, io.cdb, io.cdb_len, io.dxfer_direction, out, out ? io.dxfer_len : 0, r);

		io.status = kGood;
		io.host_status = 0;
		io.driver_status = 0;
		io.sb_len_wr = 0;
		io.resid = 0;
		if (r.check) {
			uint8_t sense[18] = {0};
			sense[0] = 0x70;
			sense[2] = r.key;
			sense[7] = 10;
			sense[12] = r.asc;
			sense[13] = r.ascq;
			io.status = kCheckCondition;
			if (io.sbp && io.mx_sb_len) {
				io.sb_len_wr = min_t(uint8_t, io.mx_sb_len, sizeof(sense));
				memcpy(io.sbp, sense, io.sb_len_wr);
				io.driver_status = kDriverSense;
			}
			io.resid = (int32_t)io.dxfer_len;
			return 0;
		}
		if (io.dxfer_direction == kDxferFromDev) {
			uint32_t n = min_t(uint32_t, (uint32_t)r.data.size(), io.dxfer_len);
			n = min_t(uint32_t, n, alloc_len(io.cdb, io.cdb_len));
			if (n)
				memcpy(io.dxferp, r.data.data(), n);
			io.resid = (int32_t)(io.dxfer_len - n);
		}
		return 0;
	});
}

int scsi_knob(const std::string &name, const std::string &knob)
{
	static const char *const known[] = {"none", "vpd_page_len_over", "short_designator",
					    "bad_guid_char", "standby"};
	bool ok = false;
	for (const char *k : known)
		ok = ok || knob == k;
	if (!ok)
		return -EINVAL;
	return simlinux::with_scsi_disk(name, [&knob](sim_disk *d) {
		std::lock_guard<std::mutex> lk(d->scsi_mu);
		d->knob = knob;
		return 0;
	});
}

std::vector<uint8_t> scsi_last_mode_select(const std::string &name)
{
	std::vector<uint8_t> out;
	simlinux::with_scsi_disk(name, [&out](sim_disk *d) {
		std::lock_guard<std::mutex> lk(d->scsi_mu);
		out = d->last_mode_select;
		return 0;
	});
	return out;
}

}  // namespace simk
