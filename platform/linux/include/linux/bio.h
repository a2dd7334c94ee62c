/*
 * Bios, with the 2.6.32 rules.
 *
 * - bio_alloc with a waiting flag never fails; the bio starts with one
 *   reference and BIO_UPTODATE set.  bio_put frees it at the last reference.
 *   A bio holds no page references: its pages belong to whoever built it.
 * - bio_clone copies the vector (sharing the pages), sector, device, rw,
 *   size, index and count, and sets BIO_CLONED; not bi_end_io/bi_private.
 * - bio_add_page refuses (gives 0) a page that would take the bio past its
 *   queue's max_sectors or max segments, or past bi_max_vecs, and any page
 *   for a cloned bio; it merges a page that continues the last segment.
 * - bio_endio(bio, error): an error clears BIO_UPTODATE; no error on a bio
 *   without BIO_UPTODATE becomes -EIO; then bi_end_io(bio, error) runs.
 * - Completion by a disk: bi_size becomes 0 (and bi_sector moves past the
 *   data, as request completion does) before bio_endio, on an I/O thread in
 *   interrupt context.
 */
#ifndef _LINUX_BIO_H
#define _LINUX_BIO_H

#include <linux/types.h>
#include <linux/kernel.h>
#include <linux/mm.h>
#include <linux/highmem.h>
#include <linux/mempool.h>
#include <asm/atomic.h>

#define BIO_MAX_PAGES		256
#define BIO_MAX_SIZE		(BIO_MAX_PAGES << PAGE_SHIFT)
#define BIO_MAX_SECTORS		(BIO_MAX_SIZE >> 9)

struct bio;
struct block_device;

struct bio_vec {
	struct page *bv_page;
	unsigned int bv_len;
	unsigned int bv_offset;
};

typedef void (bio_end_io_t)(struct bio *, int);
typedef void (bio_destructor_t)(struct bio *);

struct bio {
	sector_t bi_sector;		/* device address in 512-byte sectors */
	struct bio *bi_next;		/* request queue link */
	struct block_device *bi_bdev;
	unsigned long bi_flags;		/* status, command, etc (BIO_ bits) */
	unsigned long bi_rw;		/* bottom bit READ/WRITE, then bio_rw_flags bits */
	unsigned short bi_vcnt;		/* how many bio_vecs */
	unsigned short bi_idx;		/* current index into bi_io_vec */
	unsigned int bi_phys_segments;
	unsigned int bi_size;		/* residual I/O count in bytes */
	unsigned int bi_seg_front_size;
	unsigned int bi_seg_back_size;
	unsigned int bi_max_vecs;	/* max bio_vecs we can hold */
	unsigned int bi_comp_cpu;
	atomic_t bi_cnt;		/* pin count */
	struct bio_vec *bi_io_vec;	/* the actual vec list */
	bio_end_io_t *bi_end_io;
	void *bi_private;
	bio_destructor_t *bi_destructor;
	void *__sim_owner;		/* emulation: the thread waiting in user I/O it serves */
	struct bio_vec bi_inline_vecs[0];
};

/* bi_flags bits */
#define BIO_UPTODATE	0	/* ok after I/O completion */
#define BIO_RW_BLOCK	1	/* RW_AHEAD set, and read/write would block */
#define BIO_EOF		2	/* out-of-bounds error */
#define BIO_SEG_VALID	3	/* bi_phys_segments valid */
#define BIO_CLONED	4	/* doesn't own data */
#define BIO_BOUNCED	5	/* bio is a bounce bio */
#define BIO_USER_MAPPED	6	/* contains user pages */
#define BIO_EOPNOTSUPP	7	/* not supported */
#define BIO_CPU_AFFINE	8
#define BIO_NULL_MAPPED	9
#define BIO_FS_INTEGRITY 10
#define BIO_QUIET	11
#define bio_flagged(bio, flag)	((bio)->bi_flags & (1UL << (flag)))

/* bi_rw bit numbers */
enum bio_rw_flags {
	BIO_RW,			/* 1 for a write */
	BIO_RW_FAILFAST_DEV,
	BIO_RW_FAILFAST_TRANSPORT,
	BIO_RW_FAILFAST_DRIVER,
	BIO_RW_AHEAD,
	BIO_RW_BARRIER,		/* everything before is done and on disk first; data on disk after */
	BIO_RW_SYNCIO,
	BIO_RW_UNPLUG,
	BIO_RW_META,
	BIO_RW_DISCARD,
	BIO_RW_NOIDLE,
};

static inline unsigned long bio_rw_flagged(struct bio *bio, enum bio_rw_flags flag)
{
	return bio->bi_rw & (1UL << flag);
}

#define bio_data_dir(bio)	(bio_rw_flagged(bio, BIO_RW) ? WRITE : READ)
#define bio_barrier(bio)	bio_rw_flagged(bio, BIO_RW_BARRIER)
#define bio_sync(bio)		bio_rw_flagged(bio, BIO_RW_SYNCIO)
#define bio_unplug(bio)		bio_rw_flagged(bio, BIO_RW_UNPLUG)
#define bio_failfast_dev(bio)	bio_rw_flagged(bio, BIO_RW_FAILFAST_DEV)
#define bio_rw_ahead(bio)	bio_rw_flagged(bio, BIO_RW_AHEAD)
#define bio_rw_meta(bio)	bio_rw_flagged(bio, BIO_RW_META)
#define bio_discard(bio)	bio_rw_flagged(bio, BIO_RW_DISCARD)
#define bio_empty_barrier(bio)	(bio_barrier(bio) && !bio_has_data(bio) && !bio_discard(bio))

#define bio_iovec_idx(bio, idx)	(&((bio)->bi_io_vec[(idx)]))
#define bio_iovec(bio)		bio_iovec_idx((bio), (bio)->bi_idx)
#define bio_page(bio)		bio_iovec((bio))->bv_page
#define bio_offset(bio)		bio_iovec((bio))->bv_offset
#define bio_segments(bio)	((bio)->bi_vcnt - (bio)->bi_idx)
#define bio_sectors(bio)	((bio)->bi_size >> 9)
#define bio_cur_bytes(bio)	(bio_iovec(bio)->bv_len)
#define bio_data(bio)		((char *)page_address(bio_page((bio))) + bio_offset((bio)))
#define bio_get(bio)		atomic_inc(&(bio)->bi_cnt)
static inline int bio_has_data(struct bio *bio) { return bio && bio->bi_io_vec != NULL; }

#define __bio_for_each_segment(bvl, bio, i, start_idx) \
	for (bvl = bio_iovec_idx((bio), (start_idx)), i = (start_idx); \
	     i < (bio)->bi_vcnt; bvl++, i++)
#define bio_for_each_segment(bvl, bio, i) \
	__bio_for_each_segment(bvl, bio, i, (bio)->bi_idx)

struct bio_set;
extern struct bio_set *fs_bio_set;

struct bio *bio_alloc(gfp_t gfp_mask, int nr_iovecs);
struct bio *bio_kmalloc(gfp_t gfp_mask, int nr_iovecs);
struct bio *bio_alloc_bioset(gfp_t gfp_mask, int nr_iovecs, struct bio_set *bs);
void bio_put(struct bio *bio);
void bio_free(struct bio *bio, struct bio_set *bs);
void bio_init(struct bio *bio);
void bio_endio(struct bio *bio, int error);
void __bio_clone(struct bio *bio, struct bio *bio_src);
struct bio *bio_clone(struct bio *bio, gfp_t gfp_mask);
int bio_add_page(struct bio *bio, struct page *page, unsigned int len, unsigned int offset);
int bio_phys_segments(struct request_queue *q, struct bio *bio);
#define bio_io_error(bio)	bio_endio((bio), -EIO)

/* A singly linked list of bios (head and tail). */
struct bio_list {
	struct bio *head;
	struct bio *tail;
};

static inline int bio_list_empty(const struct bio_list *bl) { return bl->head == NULL; }
static inline void bio_list_init(struct bio_list *bl) { bl->head = bl->tail = NULL; }
#define bio_list_for_each(bio, bl) \
	for (bio = (bl)->head; bio; bio = bio->bi_next)
static inline unsigned bio_list_size(const struct bio_list *bl)
{
	unsigned sz = 0;
	struct bio *bio;

	bio_list_for_each(bio, bl)
		sz++;
	return sz;
}
static inline void bio_list_add(struct bio_list *bl, struct bio *bio)
{
	bio->bi_next = NULL;
	if (bl->tail)
		bl->tail->bi_next = bio;
	else
		bl->head = bio;
	bl->tail = bio;
}
static inline void bio_list_add_head(struct bio_list *bl, struct bio *bio)
{
	bio->bi_next = bl->head;
	bl->head = bio;
	if (!bl->tail)
		bl->tail = bio;
}
static inline void bio_list_merge(struct bio_list *bl, struct bio_list *bl2)
{
	if (!bl2->head)
		return;
	if (bl->tail)
		bl->tail->bi_next = bl2->head;
	else
		bl->head = bl2->head;
	bl->tail = bl2->tail;
}
static inline struct bio *bio_list_peek(struct bio_list *bl) { return bl->head; }
static inline struct bio *bio_list_pop(struct bio_list *bl)
{
	struct bio *bio = bl->head;

	if (bio) {
		bl->head = bl->head->bi_next;
		if (!bl->head)
			bl->tail = NULL;
		bio->bi_next = NULL;
	}
	return bio;
}
static inline struct bio *bio_list_get(struct bio_list *bl)
{
	struct bio *bio = bl->head;

	bl->head = bl->tail = NULL;
	return bio;
}

#include <linux/fs.h>

#endif /* _LINUX_BIO_H */
