/*
 * The write-intent bitmap file, shared by the daemon that creates it and the
 * module that reads it and writes its blocks in place: page 0 starts with
 * this superblock, the bit pages follow from page bp_off.
 */
#ifndef ZELMIR_HM_BITMAP_FILE_H
#define ZELMIR_HM_BITMAP_FILE_H

#include "hm_volume.h"	/* fixed-width types, HM_STATIC_ASSERT, HM_OFFSETOF */

#define BITMAP_MAGIC		0x6D746962	/* "bitm" */

struct bitmap_super_s {
	uint32_t magic;
	uint32_t version;
	uint8_t uuid[16];
	uint32_t bp_off;	/* page number of the first bit page */
	uint32_t pad0;
	uint64_t sync_size;
	uint32_t state;		/* low nibble: init state; 0x100: mirror lock */
	uint32_t chunksize;	/* bytes */
	uint32_t daemon_sleep;
	uint8_t pad[204];
} __attribute__((packed));
typedef struct bitmap_super_s bitmap_super_t;

HM_STATIC_ASSERT(sizeof(bitmap_super_t) == 256, "bitmap superblock is 256 bytes");
HM_STATIC_ASSERT(HM_OFFSETOF(bitmap_super_t, magic) == 0, "magic");
HM_STATIC_ASSERT(HM_OFFSETOF(bitmap_super_t, version) == 4, "version");
HM_STATIC_ASSERT(HM_OFFSETOF(bitmap_super_t, uuid) == 8, "uuid");
HM_STATIC_ASSERT(HM_OFFSETOF(bitmap_super_t, bp_off) == 24, "bp_off");
HM_STATIC_ASSERT(HM_OFFSETOF(bitmap_super_t, pad0) == 28, "pad0");
HM_STATIC_ASSERT(HM_OFFSETOF(bitmap_super_t, sync_size) == 32, "sync_size");
HM_STATIC_ASSERT(HM_OFFSETOF(bitmap_super_t, state) == 40, "state");
HM_STATIC_ASSERT(HM_OFFSETOF(bitmap_super_t, chunksize) == 44, "chunksize");
HM_STATIC_ASSERT(HM_OFFSETOF(bitmap_super_t, daemon_sleep) == 48, "daemon_sleep");
HM_STATIC_ASSERT(HM_OFFSETOF(bitmap_super_t, pad) == 52, "pad");

#endif  /* ZELMIR_HM_BITMAP_FILE_H */
