/*
 * Request queues and block I/O submission.
 *
 * generic_make_request() works as 2.6.32's: it checks the bio against the
 * device's end and the queue's hardware limit (-EIO otherwise), remaps a
 * partition's bio onto the whole disk (bi_sector += start_sect, bi_bdev =
 * bd_contains), and calls the queue's make_request_fn again for as long as
 * it returns non-zero (the function has redirected the bio).  A
 * make_request_fn that itself calls generic_make_request does not recurse:
 * the bio is queued on the task and sent when the outer call's function
 * returns, in submission order.
 *
 * A simulated disk's own make_request_fn hands the bio to the I/O threads,
 * which do the I/O on the image and complete it in interrupt context.  The
 * function is read from the queue for every bio, so a module may replace
 * it at any time (blk_queue_make_request, or a plain store).
 */
#ifndef _LINUX_BLKDEV_H
#define _LINUX_BLKDEV_H

#include <linux/types.h>
#include <linux/kernel.h>
#include <linux/list.h>
#include <linux/spinlock.h>
#include <linux/wait.h>
#include <linux/genhd.h>
#include <linux/bio.h>
#include <linux/fs.h>
#include <linux/mm.h>
#include <linux/pagemap.h>
#include <asm/atomic.h>

struct request_queue;
typedef struct request_queue request_queue_t;

typedef int (make_request_fn)(struct request_queue *q, struct bio *bio);
typedef void (unplug_fn)(struct request_queue *);

#define BLK_DEF_MAX_SECTORS	1024
#define SAFE_MAX_SECTORS	255
#define MAX_PHYS_SEGMENTS	128
#define MAX_HW_SEGMENTS		128
#define MAX_SEGMENT_SIZE	65536
#define BLK_SEG_BOUNDARY_MASK	0xFFFFFFFFUL

struct queue_limits {
	unsigned long bounce_pfn;
	unsigned long seg_boundary_mask;
	unsigned int max_hw_sectors;
	unsigned int max_sectors;
	unsigned int max_segment_size;
	unsigned int physical_block_size;
	unsigned int alignment_offset;
	unsigned int io_min;
	unsigned int io_opt;
	unsigned int max_discard_sectors;
	unsigned short logical_block_size;
	unsigned short max_hw_segments;
	unsigned short max_phys_segments;
	unsigned char misaligned;
	unsigned char no_cluster;
};

/* queue_flags bits */
#define QUEUE_FLAG_CLUSTER	0
#define QUEUE_FLAG_QUEUED	1
#define QUEUE_FLAG_STOPPED	2
#define QUEUE_FLAG_PLUGGED	7
#define QUEUE_FLAG_DEAD		5

struct request_queue {
	::make_request_fn *make_request_fn;	/* qualified: a member may not reuse the type's name in C++ */
	::unplug_fn *unplug_fn;
	void *queuedata;		/* the owner's pointer */
	unsigned long queue_flags;
	spinlock_t __queue_lock;
	spinlock_t *queue_lock;
	struct queue_limits limits;
	unsigned long nr_requests;
	unsigned int unplug_thresh;
	unsigned long unplug_delay;
	atomic_t __refcnt;
	void *__sim;			/* the simulated disk behind a disk's queue */
};

struct request_queue *blk_alloc_queue(gfp_t gfp_mask);
struct request_queue *blk_alloc_queue_node(gfp_t gfp_mask, int node_id);
void blk_queue_make_request(struct request_queue *q, make_request_fn *mfn);
void blk_cleanup_queue(struct request_queue *q);
int blk_get_queue(struct request_queue *q);
void blk_put_queue(struct request_queue *q);
void generic_unplug_device(struct request_queue *q);
void blk_unplug(struct request_queue *q);
void blk_queue_max_sectors(struct request_queue *q, unsigned int max_sectors);
void blk_queue_max_hw_sectors(struct request_queue *q, unsigned int max_sectors);
void blk_queue_max_phys_segments(struct request_queue *q, unsigned short max_segments);
void blk_queue_max_hw_segments(struct request_queue *q, unsigned short max_segments);
void blk_queue_max_segment_size(struct request_queue *q, unsigned int max_size);
void blk_queue_logical_block_size(struct request_queue *q, unsigned short size);
void blk_queue_stack_limits(struct request_queue *t, struct request_queue *b);

static inline struct request_queue *bdev_get_queue(struct block_device *bdev)
{
	return bdev->bd_disk->queue;
}
static inline unsigned int queue_max_sectors(struct request_queue *q) { return q->limits.max_sectors; }
static inline unsigned int queue_max_hw_sectors(struct request_queue *q) { return q->limits.max_hw_sectors; }
static inline unsigned short queue_max_phys_segments(struct request_queue *q) { return q->limits.max_phys_segments; }
static inline unsigned short queue_max_hw_segments(struct request_queue *q) { return q->limits.max_hw_segments; }
static inline unsigned short queue_logical_block_size(struct request_queue *q) { return q->limits.logical_block_size; }
static inline unsigned short bdev_logical_block_size(struct block_device *bdev)
{
	return queue_logical_block_size(bdev_get_queue(bdev));
}
#define blk_queue_plugged(q)	test_bit(QUEUE_FLAG_PLUGGED, &(q)->queue_flags)

void generic_make_request(struct bio *bio);
void submit_bio(int rw, struct bio *bio);
int blkdev_issue_flush(struct block_device *bdev, sector_t *error_sector);

#include <linux/bitops.h>

#endif /* _LINUX_BLKDEV_H */
