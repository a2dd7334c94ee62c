// Private: a simulated disk and its block device nodes, shared by the
// driver (disk.cc), the SCSI model (scsi.cc) and the host files (file.cc).
#ifndef SIMLINUX_DISK_H
#define SIMLINUX_DISK_H

#include <memory>

#include "sim/kernel.h"
#include "internal.h"

#include <linux/genhd.h>

// One block device node of a disk: the whole disk or a partition.
struct sim_node {
	struct block_device bdev;
	struct inode bd_inode;		// the device's own inode (i_size = its size)
	struct inode node_inode;	// the /dev node's inode (S_IFBLK, i_size 0)
	struct hd_struct part;		// the partition (the whole disk uses gendisk.part0)
	std::string name;
};

struct sim_disk {
	std::string name;
	std::string image;
	std::string guid;
	int fd = -1;
	uint64_t size = 0;
	unsigned major = 0, minor = 0;
	std::atomic<int> fail{simk::kFailNone};
	std::atomic<bool> offline{false};
	std::atomic<bool> dead{false};		// removed: every further I/O fails
	std::atomic<int> refs{1};		// the table's, opens, bios in flight
	simlinux::disk_io_fn io = nullptr;	// a host file system's I/O; null for an image
	struct gendisk gd;
	struct request_queue *queue = nullptr;
	std::vector<std::unique_ptr<sim_node>> nodes;	// [0] the whole disk
	// The SCSI model (scsi.cc).
	std::mutex scsi_mu;
	std::string knob = "none";
	std::vector<uint8_t> last_mode_select;
};

namespace simlinux {
// Runs fn with the disk that has the node NAME, holding a reference.
int with_scsi_disk(const std::string &name, const std::function<int(sim_disk *)> &fn);
}

#endif  // SIMLINUX_DISK_H
