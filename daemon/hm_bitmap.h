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

#endif  // ZELMIR_DAEMON_HM_BITMAP_H
