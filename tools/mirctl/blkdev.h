// The host's whole disks, as mirctl checks the disks named on its command
// line against them.
#ifndef ZELMIR_TOOLS_MIRCTL_BLKDEV_H
#define ZELMIR_TOOLS_MIRCTL_BLKDEV_H

// A small intrusive list of its own: mirctl does not share the daemon's.
struct blkdev_link {
  blkdev_link* next;
  blkdev_link* prev;
};

#define BLKDEV_PATH_LEN 512

struct blkdev_entry {
  blkdev_link list;  // first, so a link is its entry
  char path[BLKDEV_PATH_LEN];
};

inline blkdev_entry* blkdev_entry_of(blkdev_link* link) {
  return reinterpret_cast<blkdev_entry*>(link);
}

// Fills @head (which the caller initialises to point to itself) with the
// device paths of the host's whole disks, newest first: from /sys/block, or
// from /proc/partitions and /dev/mapper when /sys/block cannot be opened.
// 0, or -1 when @head is null or neither source can be opened.
int scan_block_devices(blkdev_link* head);

// 1 when /proc/devices lists @major as "device-mapper", else 0.
int is_dm_major(int major);

// Unlinks and frees every entry of @head.
void free_block_devices(blkdev_link* head);

// Scans into a list of its own and prints every path.
void print_block_devices(void);

// Makes an empty list head.
void blkdev_list_init(blkdev_link* head);

// Tests only: every file the scan reads is looked up under @root ("" or null
// restores the real root). The listed device paths stay "/dev/...".
void blkdev_set_root_for_test(const char* root);

#endif  // ZELMIR_TOOLS_MIRCTL_BLKDEV_H
