// Creation of a protection's write-intent bitmap file on the boot file
// system, in the layout the kernel module reads and updates in place.
#ifndef ZELMIR_DAEMON_HM_BITMAP_H
#define ZELMIR_DAEMON_HM_BITMAP_H

#include <stdint.h>

struct hmdev;

#define HM_BITMAP_MAGIC 0x6D746962u  // "bitm"
#define HM_BITMAP_VERSION 3
#define HM_BITMAP_CHUNK 524288u      // 512 KiB

// The 256-byte superblock at the start of the file.
struct bitmap_super_s {
  uint32_t magic;
  uint32_t version;
  uint8_t uuid[16];
  uint32_t bp_off;
  uint32_t pad0;
  uint64_t sync_size;
  uint32_t state;
  uint32_t chunksize;
  uint32_t daemon_sleep;
  uint8_t pad[204];
} __attribute__((packed));
typedef struct bitmap_super_s bitmap_super_t;

static_assert(sizeof(bitmap_super_t) == 256, "bitmap superblock is 256 bytes");
static_assert(__builtin_offsetof(bitmap_super_t, version) == 4, "version");
static_assert(__builtin_offsetof(bitmap_super_t, uuid) == 8, "uuid");
static_assert(__builtin_offsetof(bitmap_super_t, bp_off) == 24, "bp_off");
static_assert(__builtin_offsetof(bitmap_super_t, pad0) == 28, "pad0");
static_assert(__builtin_offsetof(bitmap_super_t, sync_size) == 32, "sync_size");
static_assert(__builtin_offsetof(bitmap_super_t, state) == 40, "state");
static_assert(__builtin_offsetof(bitmap_super_t, chunksize) == 44, "chunksize");
static_assert(__builtin_offsetof(bitmap_super_t, daemon_sleep) == 48, "daemon_sleep");
static_assert(__builtin_offsetof(bitmap_super_t, pad) == 52, "pad");

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
