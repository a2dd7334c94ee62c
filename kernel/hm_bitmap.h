/*
 * Write-intent bitmap of a protection: one bit per chunk of the primary in a
 * file written in place below its file system, and one 16-bit counter per
 * chunk in memory.
 */
#ifndef ZELMIR_KERNEL_HM_BITMAP_H
#define ZELMIR_KERNEL_HM_BITMAP_H

#include <linux/types.h>
#include <linux/spinlock.h>
#include <linux/wait.h>
#include <linux/fs.h>
#include <linux/buffer_head.h>
#include <asm/atomic.h>

#include <hm_bitmap_file.h>

#include "hm.h"

#define BITMAP_MAJOR_HOSTENDIAN	3
#define BITMAP_MAJOR_LO		3
#define BITMAP_MAJOR_HI		4
#define BITMAP_DAEMON_SLEEP	10000		/* ticks */
#define BITMAP_DIRS		3

/* File layout: page 0 starts with the superblock of <hm_bitmap_file.h>. */

enum bitmap_state {
	BITMAP_INITIALIZE = 1,
	BITMAP_INITIALIZE_CANCELED = 2,
	BITMAP_INITIALIZE_FINISHED = 4,
	BITMAP_WRITE_ERROR = 8,
	BITMAP_RECOVERY_ON = 16,
	BITMAP_STALE = 128,
	BITMAP_MIRROR_LOCKED = 256,
	BITMAP_HOSTENDIAN = 32768,
};
#define BITMAP_INIT_MASK	0xF
#define BITMAP_WRITE_ERROR_BIT	3	/* bit number of BITMAP_WRITE_ERROR */

/* Attributes of a file page, 4 bits per page number. */
enum bitmap_page_attr {
	BITMAP_PAGE_DIRTY = 0,
	BITMAP_PAGE_CLEAN = 1,
	BITMAP_PAGE_NEEDWRITE = 2,
};
#define BITMAP_PAGE_ATTRS	4

typedef uint16_t bitmap_counter_t;
#define COUNTER_BITS		16
#define NEEDED_MASK		((bitmap_counter_t)0x8000)
#define RESYNC_MASK		((bitmap_counter_t)0x4000)
#define COUNTER_MAX		((bitmap_counter_t)0x3fff)
#define NEEDED(x)		(((bitmap_counter_t)(x)) & NEEDED_MASK)
#define RESYNC(x)		(((bitmap_counter_t)(x)) & RESYNC_MASK)
#define COUNTER(x)		(((bitmap_counter_t)(x)) & COUNTER_MAX)

#define PAGE_COUNTER_RATIO	2048	/* counters per 4 KiB counter page */
#define PAGE_COUNTER_SHIFT	11
#define PAGE_COUNTER_MASK	(PAGE_COUNTER_RATIO - 1)
#define HIJACK_CHUNKS		(PAGE_COUNTER_RATIO / 2)
#define BITMAP_PAGE_BITS	(4096 * 8)	/* chunks per bit page */
#define BITMAP_PAGE_BIT_SHIFT	15

struct hm_bitmap_page {
	union {
		char *map;			/* 2048 counters */
		bitmap_counter_t hmap[4];	/* hijacked: two coarse counters */
	};
	unsigned int hijacked:1;
	unsigned int count:31;			/* counters in use */
};

struct hm_bitmap;

/* A page of the file kept in memory, with the disk location of its blocks. */
struct hm_bitmap_fpage {
	struct hm_bitmap *bitmap;
	struct page *page;
	struct buffer_head *bh;		/* its buffers, b_this_page chained */
	unsigned long index;		/* page number in the file */
	atomic_t inflight;		/* block writes of the current page write */
	unsigned long writing;		/* bit 0: a write of this page is in flight */
};

struct hm_bitmap {
	struct hm_bitmap_page *bp;
	unsigned long pages;
	unsigned long missing_pages;
	hmdev_t *hmdev;
	int counter_bits;
	unsigned long chunksize;
	unsigned long chunkshift;
	unsigned long chunks;
	sector_t sectors;		/* the primary's size the bitmap was made for */
	unsigned long num_bp;
	unsigned long bp_off;

	spinlock_t lock;
	struct file *file;
	struct page *sb_page;
	struct hm_bitmap_fpage sb_fp;
	struct hm_bitmap_fpage *filemap;
	unsigned long *filemap_attr;
	unsigned long file_pages;
	unsigned long flags;
	unsigned long chunk_needed;

	unsigned long daemon_lastrun;
	unsigned long daemon_sleep;
	atomic_t pending_writes;
	wait_queue_head_t write_wait;

	struct request_queue *queue;
	struct block_device *bd_contains;
	sector_t part_start_sect;
	::make_request_fn *make_request;
};

int hmdev_bitmap_init(hmdev_t *hmdev);
int hm_bitmap_install(hmdev_t *hmdev, int fd);
int bitmap_create(hmdev_t *hmdev, struct file *file);
void bitmap_destroy(hmdev_t *hmdev);
void bitmap_free(struct hm_bitmap *bitmap);
make_request_fn *bitmap_get_make_request(struct request_queue *q);

int bitmap_update_sb(struct hm_bitmap *bitmap);
int bitmap_unplug(struct hm_bitmap *bitmap);
int bitmap_initialize(struct hm_bitmap *bitmap);
int bitmap_finished_initialize(struct hm_bitmap *bitmap);
int bitmap_cancel_initialize(struct hm_bitmap *bitmap);
int bitmap_mirror_lock(struct hm_bitmap *bitmap);
int bitmap_mirror_unlock(struct hm_bitmap *bitmap);
int bitmap_mirror_lock_unlock(struct hm_bitmap *bitmap, int lock);
int bitmap_set_init_state(struct hm_bitmap *bitmap, unsigned int state);
void bitmap_mark_all_needed(struct hm_bitmap *bitmap);

/* Counters (hm_bitmap_counter.cc). */
bitmap_counter_t *bitmap_get_counter(struct hm_bitmap *bitmap, sector_t offset, int *blocks,
				     int create, int *hijacked);
void bitmap_count_page(struct hm_bitmap *bitmap, sector_t offset, int inc);
int bitmap_startwrite(struct hm_bitmap *bitmap, sector_t offset, unsigned long sectors);
void bitmap_endwrite(struct hm_bitmap *bitmap, sector_t offset, unsigned long sectors,
		     int success);
int bitmap_start_sync(struct hm_bitmap *bitmap, sector_t offset, int *blocks);
int bitmap_start_sync_write(struct hm_bitmap *bitmap, hmbio_t *unit);
void bitmap_end_sync(struct hm_bitmap *bitmap, hmbio_t *unit, int aborted);
int bitmap_daemon_work(struct hm_bitmap *bitmap);

/* Helpers shared by the two bitmap files. */
int write_page(struct hm_bitmap *bitmap, struct hm_bitmap_fpage *fp, int wait);
int bitmap_geometry(struct hm_bitmap *bitmap, sector_t sectors);
int bitmap_alloc_tables(struct hm_bitmap *bitmap);
void bitmap_free_tables(struct hm_bitmap *bitmap);
int bitmap_load_bit(struct hm_bitmap *bitmap, unsigned long chunk);

static inline unsigned long bitmap_chunk(struct hm_bitmap *bitmap, sector_t offset)
{
	return (unsigned long)(offset >> (bitmap->chunkshift - 9));
}

static inline sector_t bitmap_chunk_sectors(struct hm_bitmap *bitmap)
{
	return (sector_t)1 << (bitmap->chunkshift - 9);
}

static inline struct hm_bitmap_fpage *bitmap_chunk_fpage(struct hm_bitmap *bitmap,
							 unsigned long chunk)
{
	return &bitmap->filemap[chunk >> BITMAP_PAGE_BIT_SHIFT];
}

static inline unsigned long *bitmap_fpage_bits(struct hm_bitmap_fpage *fp)
{
	return (unsigned long *)page_address(fp->page);
}

static inline unsigned long bitmap_chunk_bit(unsigned long chunk)
{
	return chunk & (BITMAP_PAGE_BITS - 1);
}

static inline void set_page_attr(struct hm_bitmap *bitmap, struct hm_bitmap_fpage *fp, int attr)
{
	__set_bit(fp->index * BITMAP_PAGE_ATTRS + attr, bitmap->filemap_attr);
}

static inline void clear_page_attr(struct hm_bitmap *bitmap, struct hm_bitmap_fpage *fp,
				   int attr)
{
	__clear_bit(fp->index * BITMAP_PAGE_ATTRS + attr, bitmap->filemap_attr);
}

static inline int test_page_attr(struct hm_bitmap *bitmap, struct hm_bitmap_fpage *fp, int attr)
{
	return test_bit(fp->index * BITMAP_PAGE_ATTRS + attr, bitmap->filemap_attr);
}

#endif
