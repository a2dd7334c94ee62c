// Creation of a protection's write-intent bitmap file on the boot file
// system, in the layout the kernel module reads and updates in place.
#ifndef ZELMIR_DAEMON_HM_BITMAP_H
#define ZELMIR_DAEMON_HM_BITMAP_H

#include <stdint.h>

#include "hm_bitmap_file.h"

struct hmdev;

#define HM_BITMAP_VERSION 3
#define HM_BITMAP_CHUNK 524288u      // 512 KiB

// The superblock at the start of the file is in <hm_bitmap_file.h>.

struct hm_bitmap_geometry {
  uint64_t chunks;
  uint64_t bitmap_bytes;
  uint64_t length;  // L: the header page and the bit bytes
  uint64_t space;   // (L + 511) >> 9
};
struct hm_bitmap_geometry hm_bitmap_geometry_of(uint64_t primary_size);

// 0 when the file was created (or reused) and written; -16 when "/boot" has
// too little free space; -15 on any other failure.
int hmdev_bitmap_init(struct hmdev* dev);

// After a kernel status read: when the module has the primary open but no
// bitmap installed, it refused the file (damaged, or gone), the protection
// does not run and nothing reaches the mirror.  Says so at the error level
// and takes the road of a first protect: a fresh file, Add Protection, and a
// full copy, since no one knows any more which chunks differ.  0 when
// nothing was wrong, 1 when the protection runs again and its copy started,
// negative when it still does not run.
int hmdev_bitmap_check(struct hmdev* dev);

#endif  // ZELMIR_DAEMON_HM_BITMAP_H
