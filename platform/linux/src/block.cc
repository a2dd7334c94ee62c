// Bios, request queues, generic_make_request, block device claims and
// buffer heads: the generic block layer, with 2.6.32's rules (see
// <linux/bio.h> and <linux/blkdev.h>).
#include <ctype.h>

#include <cstdlib>

#include "internal.h"

#include <linux/bio.h>
#include <linux/blkdev.h>
#include <linux/buffer_head.h>
#include <linux/genhd.h>
#include <linux/slab.h>

struct bio_set {
	int unused;
};
static struct bio_set fs_bio_set_storage;
struct bio_set *fs_bio_set = &fs_bio_set_storage;

/* bios */

static void bio_fs_destructor(struct bio *bio)
{
	free(bio);
}

void bio_init(struct bio *bio)
{
	memset(bio, 0, sizeof(*bio));
	bio->bi_flags = 1UL << BIO_UPTODATE;
	atomic_set(&bio->bi_cnt, 1);
}

struct bio *bio_alloc_bioset(gfp_t gfp_mask, int nr_iovecs, struct bio_set *bs)
{
	(void)bs;
	might_sleep_if(gfp_mask & __GFP_WAIT);
	if (nr_iovecs < 0 || nr_iovecs > BIO_MAX_PAGES)
		return NULL;
	struct bio *bio = (struct bio *)malloc(sizeof(*bio) + nr_iovecs * sizeof(struct bio_vec));
	if (!bio)
		return NULL;
	bio_init(bio);
	if (nr_iovecs) {
		bio->bi_io_vec = bio->bi_inline_vecs;
		memset(bio->bi_io_vec, 0, nr_iovecs * sizeof(struct bio_vec));
	}
	bio->bi_max_vecs = nr_iovecs;
	bio->bi_destructor = bio_fs_destructor;
	return bio;
}

struct bio *bio_alloc(gfp_t gfp_mask, int nr_iovecs)
{
	return bio_alloc_bioset(gfp_mask, nr_iovecs, fs_bio_set);
}

struct bio *bio_kmalloc(gfp_t gfp_mask, int nr_iovecs)
{
	return bio_alloc_bioset(gfp_mask, nr_iovecs, NULL);
}

void bio_free(struct bio *bio, struct bio_set *bs)
{
	(void)bs;
	free(bio);
}

void bio_put(struct bio *bio)
{
	BUG_ON(!atomic_read(&bio->bi_cnt));
	if (atomic_dec_and_test(&bio->bi_cnt)) {
		bio->bi_next = NULL;
		bio->bi_destructor(bio);
	}
}

void bio_endio(struct bio *bio, int error)
{
	if (error)
		clear_bit(BIO_UPTODATE, &bio->bi_flags);
	else if (!test_bit(BIO_UPTODATE, &bio->bi_flags))
		error = -EIO;
	if (bio->bi_end_io)
		bio->bi_end_io(bio, error);
}

void __bio_clone(struct bio *bio, struct bio *bio_src)
{
	if (bio_src->bi_max_vecs)
		memcpy(bio->bi_io_vec, bio_src->bi_io_vec, bio_src->bi_max_vecs * sizeof(struct bio_vec));
	bio->bi_sector = bio_src->bi_sector;
	bio->bi_bdev = bio_src->bi_bdev;
	bio->bi_flags |= 1UL << BIO_CLONED;
	bio->bi_rw = bio_src->bi_rw;
	bio->bi_vcnt = bio_src->bi_vcnt;
	bio->bi_size = bio_src->bi_size;
	bio->bi_idx = bio_src->bi_idx;
	bio->__sim_owner = bio_src->__sim_owner;
}

struct bio *bio_clone(struct bio *bio, gfp_t gfp_mask)
{
	struct bio *b = bio_alloc_bioset(gfp_mask, bio->bi_max_vecs, fs_bio_set);
	if (!b)
		return NULL;
	__bio_clone(b, bio);
	return b;
}

int bio_phys_segments(struct request_queue *q, struct bio *bio)
{
	(void)q;
	return bio->bi_vcnt;
}

int bio_add_page(struct bio *bio, struct page *page, unsigned int len, unsigned int offset)
{
	if (unlikely(!bio->bi_bdev)) {
		printk("<0>bio_add_page: bio %p has no block device\n", (void *)bio);
		BUG();
	}
	struct request_queue *q = bdev_get_queue(bio->bi_bdev);

	if (unlikely(bio_flagged(bio, BIO_CLONED)))
		return 0;
	if (((bio->bi_size + len) >> 9) > queue_max_sectors(q))
		return 0;

	// A page that continues the last segment only lengthens it.
	if (bio->bi_vcnt > 0) {
		struct bio_vec *prev = &bio->bi_io_vec[bio->bi_vcnt - 1];
		if (page == prev->bv_page && offset == prev->bv_offset + prev->bv_len &&
		    prev->bv_len + len <= q->limits.max_segment_size) {
			prev->bv_len += len;
			bio->bi_size += len;
			return len;
		}
	}
	if (bio->bi_vcnt >= bio->bi_max_vecs)
		return 0;
	if (bio->bi_vcnt >= queue_max_phys_segments(q) || bio->bi_vcnt >= queue_max_hw_segments(q))
		return 0;

	struct bio_vec *bvec = &bio->bi_io_vec[bio->bi_vcnt];
	bvec->bv_page = page;
	bvec->bv_len = len;
	bvec->bv_offset = offset;
	bio->bi_vcnt++;
	bio->bi_phys_segments++;
	bio->bi_size += len;
	return len;
}

/* request queues */

static void blk_set_default_limits(struct queue_limits *lim)
{
	memset(lim, 0, sizeof(*lim));
	lim->max_phys_segments = MAX_PHYS_SEGMENTS;
	lim->max_hw_segments = MAX_HW_SEGMENTS;
	lim->seg_boundary_mask = BLK_SEG_BOUNDARY_MASK;
	lim->max_segment_size = MAX_SEGMENT_SIZE;
	lim->max_sectors = lim->max_hw_sectors = SAFE_MAX_SECTORS;
	lim->logical_block_size = lim->physical_block_size = lim->io_min = 512;
}

struct request_queue *blk_alloc_queue(gfp_t gfp_mask)
{
	struct request_queue *q = (struct request_queue *)kzalloc(sizeof(*q), gfp_mask);
	if (!q)
		return NULL;
	spin_lock_init(&q->__queue_lock);
	q->queue_lock = &q->__queue_lock;
	atomic_set(&q->__refcnt, 1);
	blk_set_default_limits(&q->limits);
	return q;
}

struct request_queue *blk_alloc_queue_node(gfp_t gfp_mask, int node_id)
{
	(void)node_id;
	return blk_alloc_queue(gfp_mask);
}

void blk_queue_max_sectors(struct request_queue *q, unsigned int max_sectors)
{
	if ((max_sectors << 9) < PAGE_SIZE)
		max_sectors = 1 << (PAGE_SHIFT - 9);
	if (BLK_DEF_MAX_SECTORS > max_sectors) {
		q->limits.max_hw_sectors = q->limits.max_sectors = max_sectors;
	} else {
		q->limits.max_sectors = BLK_DEF_MAX_SECTORS;
		q->limits.max_hw_sectors = max_sectors;
	}
}

void blk_queue_max_hw_sectors(struct request_queue *q, unsigned int max_sectors)
{
	q->limits.max_hw_sectors = max_sectors;
	if (q->limits.max_sectors > max_sectors)
		q->limits.max_sectors = max_sectors;
}

void blk_queue_max_phys_segments(struct request_queue *q, unsigned short max_segments)
{
	q->limits.max_phys_segments = max_segments ? max_segments : 1;
}

void blk_queue_max_hw_segments(struct request_queue *q, unsigned short max_segments)
{
	q->limits.max_hw_segments = max_segments ? max_segments : 1;
}

void blk_queue_max_segment_size(struct request_queue *q, unsigned int max_size)
{
	q->limits.max_segment_size = max_size < PAGE_SIZE ? PAGE_SIZE : max_size;
}

void blk_queue_logical_block_size(struct request_queue *q, unsigned short size)
{
	q->limits.logical_block_size = size;
}

void blk_queue_stack_limits(struct request_queue *t, struct request_queue *b)
{
	t->limits.max_sectors = min_t(unsigned int, t->limits.max_sectors, b->limits.max_sectors);
	t->limits.max_hw_sectors = min_t(unsigned int, t->limits.max_hw_sectors, b->limits.max_hw_sectors);
	t->limits.max_phys_segments = min_t(unsigned short, t->limits.max_phys_segments, b->limits.max_phys_segments);
	t->limits.max_hw_segments = min_t(unsigned short, t->limits.max_hw_segments, b->limits.max_hw_segments);
}

// As in 2.6.32, giving a queue a make_request function also resets its
// limits to the safe defaults.
void blk_queue_make_request(struct request_queue *q, make_request_fn *mfn)
{
	q->nr_requests = 128;
	q->make_request_fn = mfn;
	q->unplug_thresh = 4;
	q->unplug_delay = 3;
	blk_set_default_limits(&q->limits);
	blk_queue_max_sectors(q, SAFE_MAX_SECTORS);
	blk_queue_logical_block_size(q, 512);
}

int blk_get_queue(struct request_queue *q)
{
	if (test_bit(QUEUE_FLAG_DEAD, &q->queue_flags))
		return 1;
	atomic_inc(&q->__refcnt);
	return 0;
}

void blk_put_queue(struct request_queue *q)
{
	if (atomic_dec_and_test(&q->__refcnt))
		kfree(q);
}

void blk_cleanup_queue(struct request_queue *q)
{
	set_bit(QUEUE_FLAG_DEAD, &q->queue_flags);
	blk_put_queue(q);
}

void generic_unplug_device(struct request_queue *q)
{
	clear_bit(QUEUE_FLAG_PLUGGED, &q->queue_flags);
	simlinux::io_unplug(true);
}

void blk_unplug(struct request_queue *q)
{
	if (q->unplug_fn)
		q->unplug_fn(q);
}

/* submission */

static void handle_bad_sector(struct bio *bio)
{
	char b[BDEVNAME_SIZE];
	printk("<6>attempt to access beyond end of device\n");
	printk("<6>%s: rw=%ld, want=%llu, limit=%llu\n", bdevname(bio->bi_bdev, b), (long)bio->bi_rw,
	       (unsigned long long)(bio->bi_sector + bio_sectors(bio)),
	       (unsigned long long)(i_size_read(bio->bi_bdev->bd_inode) >> 9));
	set_bit(BIO_EOF, &bio->bi_flags);
}

static int bio_check_eod(struct bio *bio, unsigned int nr_sectors)
{
	if (!nr_sectors)
		return 0;
	sector_t maxsector = i_size_read(bio->bi_bdev->bd_inode) >> 9;
	if (maxsector) {
		sector_t sector = bio->bi_sector;
		if (maxsector < nr_sectors || maxsector - nr_sectors < sector) {
			handle_bad_sector(bio);
			return 1;
		}
	}
	return 0;
}

static void blk_partition_remap(struct bio *bio)
{
	struct block_device *bdev = bio->bi_bdev;
	if (bio_sectors(bio) && bdev != bdev->bd_contains) {
		struct hd_struct *p = bdev->bd_part;
		bio->bi_sector += p->start_sect;
		bio->bi_bdev = bdev->bd_contains;
	}
}

static void __generic_make_request(struct bio *bio)
{
	struct request_queue *q;
	int ret, nr_sectors = bio_sectors(bio);
	int err = -EIO;
	char b[BDEVNAME_SIZE];

	might_sleep();
	if (bio_check_eod(bio, nr_sectors))
		goto end_io;

	do {
		q = bio->bi_bdev && bio->bi_bdev->bd_disk ? bdev_get_queue(bio->bi_bdev) : NULL;
		if (unlikely(!q)) {
			printk("<3>generic_make_request: Trying to access nonexistent block-device %s (%llu)\n",
			       bio->bi_bdev ? bdevname(bio->bi_bdev, b) : "(null)",
			       (unsigned long long)bio->bi_sector);
			goto end_io;
		}
		if (unlikely((unsigned)nr_sectors > queue_max_hw_sectors(q))) {
			printk("<3>bio too big device %s (%u > %u)\n", bdevname(bio->bi_bdev, b),
			       nr_sectors, queue_max_hw_sectors(q));
			goto end_io;
		}
		if (unlikely(test_bit(QUEUE_FLAG_DEAD, &q->queue_flags)))
			goto end_io;

		blk_partition_remap(bio);
		if (bio_check_eod(bio, nr_sectors))
			goto end_io;
		if (bio_rw_flagged(bio, BIO_RW_DISCARD)) {
			err = -EOPNOTSUPP;
			goto end_io;
		}
		ret = q->make_request_fn(q, bio);
	} while (ret);
	return;

end_io:
	bio_endio(bio, err);
}

// Only one make_request_fn is active per task at a time: bios submitted
// from inside one are queued on the task and sent, in order, when it
// returns, so stacked drivers do not recurse.
void generic_make_request(struct bio *bio)
{
	struct task_struct *tsk = current;
	struct bio_list bio_list_on_stack;

	if (tsk->bio_list) {
		bio_list_add(tsk->bio_list, bio);
		return;
	}
	BUG_ON(bio->bi_next);
	bio_list_init(&bio_list_on_stack);
	tsk->bio_list = &bio_list_on_stack;
	do {
		__generic_make_request(bio);
		bio = bio_list_pop(tsk->bio_list);
	} while (bio);
	tsk->bio_list = NULL;
}

void submit_bio(int rw, struct bio *bio)
{
	bio->bi_rw |= rw;
	generic_make_request(bio);
}

static void bio_end_empty_barrier(struct bio *bio, int err)
{
	if (err) {
		if (err == -EOPNOTSUPP)
			set_bit(BIO_EOPNOTSUPP, &bio->bi_flags);
		clear_bit(BIO_UPTODATE, &bio->bi_flags);
	}
	complete((struct completion *)bio->bi_private);
}

int blkdev_issue_flush(struct block_device *bdev, sector_t *error_sector)
{
	struct completion wait;
	int ret = 0;

	if (!bdev->bd_disk)
		return -ENXIO;
	init_completion(&wait);
	struct bio *bio = bio_alloc(GFP_KERNEL, 0);
	bio->bi_end_io = bio_end_empty_barrier;
	bio->bi_private = &wait;
	bio->bi_bdev = bdev;
	submit_bio(WRITE_BARRIER, bio);
	wait_for_completion(&wait);
	if (error_sector)
		*error_sector = bio->bi_sector;
	if (bio_flagged(bio, BIO_EOPNOTSUPP))
		ret = -EOPNOTSUPP;
	else if (!bio_flagged(bio, BIO_UPTODATE))
		ret = -EIO;
	bio_put(bio);
	return ret;
}

/* claims */

static DEFINE_SPINLOCK(bdev_lock);

static bool bd_may_claim(struct block_device *bdev, struct block_device *whole, void *holder)
{
	if (bdev->bd_holder == holder)
		return true;	/* already a holder */
	else if (bdev->bd_holder != NULL)
		return false;	/* held by someone else */
	else if (bdev->bd_contains == bdev)
		return true;	/* a whole device which isn't held */
	else if (whole->bd_holder == (void *)bd_claim)
		return true;	/* a partition of a device that is being partitioned */
	else if (whole->bd_holder != NULL)
		return false;	/* a partition of a held device */
	return true;
}

/*
 * A claim or release of no device is a caller's bug.  A kernel would oops on
 * the first member access; here it is named in the kernel log and refused,
 * so the caller's fault shows without taking the host down.
 */
static bool bdev_missing(struct block_device *bdev, const char *func)
{
	if (bdev)
		return false;
	printk("<0>kernel BUG at %s:%d! (%s): no block device\n", __FILE__, __LINE__, func);
	dump_stack();
	return true;
}

int bd_claim(struct block_device *bdev, void *holder)
{
	if (bdev_missing(bdev, __func__))
		return -EINVAL;
	struct block_device *whole = bdev->bd_contains ? bdev->bd_contains : bdev;
	int res = -EBUSY;

	spin_lock(&bdev_lock);
	if (bd_may_claim(bdev, whole, holder)) {
		whole->bd_holders++;
		whole->bd_holder = (void *)bd_claim;
		bdev->bd_holders++;
		bdev->bd_holder = holder;
		res = 0;
	}
	spin_unlock(&bdev_lock);
	return res;
}

void bd_release(struct block_device *bdev)
{
	if (bdev_missing(bdev, __func__))
		return;
	struct block_device *whole = bdev->bd_contains ? bdev->bd_contains : bdev;

	spin_lock(&bdev_lock);
	if (!--bdev->bd_holders)
		bdev->bd_holder = NULL;
	if (!--whole->bd_holders)
		whole->bd_holder = NULL;
	spin_unlock(&bdev_lock);
}

const char *__bdevname(dev_t dev, char *buffer)
{
	snprintf(buffer, BDEVNAME_SIZE, "unknown-block(%u,%u)", MAJOR(dev), MINOR(dev));
	return buffer;
}

const char *bdevname(struct block_device *bdev, char *buffer)
{
	struct gendisk *disk = bdev->bd_disk;
	int partno = bdev->bd_part ? bdev->bd_part->partno : 0;

	if (!disk)
		return __bdevname(bdev->bd_dev, buffer);
	if (!partno) {
		snprintf(buffer, BDEVNAME_SIZE, "%s", disk->disk_name);
	} else {
		size_t n = strlen(disk->disk_name);
		if (n && isdigit((unsigned char)disk->disk_name[n - 1]))
			snprintf(buffer, BDEVNAME_SIZE, "%.24sp%d", disk->disk_name, partno);
		else
			snprintf(buffer, BDEVNAME_SIZE, "%.24s%d", disk->disk_name, partno);
	}
	return buffer;
}

int set_blocksize(struct block_device *bdev, int size)
{
	if (size > (int)PAGE_SIZE || size < 512 || (size & (size - 1)))
		return -EINVAL;
	bdev->bd_block_size = size;
	return 0;
}

int sync_blockdev(struct block_device *bdev)
{
	return blkdev_issue_flush(bdev, NULL) == -EIO ? -EIO : 0;
}

int fsync_bdev(struct block_device *bdev)
{
	return sync_blockdev(bdev);
}

/* buffer heads */

static DECLARE_WAIT_QUEUE_HEAD(buffer_wait);

struct buffer_head *alloc_buffer_head(gfp_t gfp_flags)
{
	struct buffer_head *bh = (struct buffer_head *)kzalloc(sizeof(*bh), gfp_flags);
	if (bh)
		INIT_LIST_HEAD(&bh->b_assoc_buffers);
	return bh;
}

void free_buffer_head(struct buffer_head *bh)
{
	BUG_ON(!list_empty(&bh->b_assoc_buffers));
	kfree(bh);
}

void set_bh_page(struct buffer_head *bh, struct page *page, unsigned long offset)
{
	bh->b_page = page;
	BUG_ON(offset >= PAGE_SIZE);
	bh->b_data = (char *)page_address(page) + offset;
}

struct buffer_head *alloc_page_buffers(struct page *page, unsigned long size, int retry)
{
	struct buffer_head *bh, *head = NULL;
	long offset = PAGE_SIZE;

	(void)retry;
	while ((offset -= (long)size) >= 0) {
		bh = alloc_buffer_head(GFP_NOFS);
		if (!bh)
			goto no_grow;
		bh->b_bdev = NULL;
		bh->b_this_page = head;
		bh->b_blocknr = (sector_t)-1;
		head = bh;
		bh->b_state = 0;
		atomic_set(&bh->b_count, 0);
		bh->b_private = NULL;
		bh->b_size = size;
		set_bh_page(bh, page, offset);
		bh->b_end_io = NULL;
	}
	return head;

no_grow:
	while (head) {
		bh = head;
		head = head->b_this_page;
		free_buffer_head(bh);
	}
	return NULL;
}

void attach_page_buffers(struct page *page, struct buffer_head *head)
{
	get_page(page);
	SetPagePrivate(page);
	set_page_private(page, (unsigned long)head);
}

void __clear_page_buffers(struct page *page)
{
	ClearPagePrivate(page);
	set_page_private(page, 0);
	put_page(page);
}

void lock_buffer(struct buffer_head *bh)
{
	might_sleep();
	wait_event(buffer_wait, trylock_buffer(bh));
}

void unlock_buffer(struct buffer_head *bh)
{
	clear_bit(BH_Lock, &bh->b_state);
	smp_mb__after_clear_bit();
	wake_up_all(&buffer_wait);
}

void wait_on_buffer(struct buffer_head *bh)
{
	might_sleep();
	wait_event(buffer_wait, !buffer_locked(bh));
}

static void end_bio_bh_io_sync(struct bio *bio, int err)
{
	struct buffer_head *bh = (struct buffer_head *)bio->bi_private;

	if (err == -EOPNOTSUPP) {
		set_bit(BIO_EOPNOTSUPP, &bio->bi_flags);
		set_bit(BH_Eopnotsupp, &bh->b_state);
	}
	if (unlikely(test_bit(BIO_QUIET, &bio->bi_flags)))
		set_bit(BH_Quiet, &bh->b_state);
	bh->b_end_io(bh, test_bit(BIO_UPTODATE, &bio->bi_flags));
	bio_put(bio);
}

int submit_bh(int rw, struct buffer_head *bh)
{
	struct bio *bio;
	int ret = 0;

	BUG_ON(!buffer_locked(bh));
	BUG_ON(!buffer_mapped(bh));
	BUG_ON(!bh->b_end_io);

	if (buffer_ordered(bh) && (rw & WRITE))
		rw |= WRITE_BARRIER;
	if (test_set_buffer_req(bh) && (rw & WRITE))
		clear_buffer_write_io_error(bh);

	bio = bio_alloc(GFP_NOIO, 1);
	bio->bi_sector = bh->b_blocknr * (bh->b_size >> 9);
	bio->bi_bdev = bh->b_bdev;
	bio->bi_io_vec[0].bv_page = bh->b_page;
	bio->bi_io_vec[0].bv_len = bh->b_size;
	bio->bi_io_vec[0].bv_offset = bh_offset(bh);
	bio->bi_vcnt = 1;
	bio->bi_idx = 0;
	bio->bi_size = bh->b_size;
	bio->bi_end_io = end_bio_bh_io_sync;
	bio->bi_private = bh;

	bio_get(bio);
	submit_bio(rw, bio);
	if (bio_flagged(bio, BIO_EOPNOTSUPP))
		ret = -EOPNOTSUPP;
	bio_put(bio);
	return ret;
}

void end_buffer_read_sync(struct buffer_head *bh, int uptodate)
{
	if (uptodate)
		set_buffer_uptodate(bh);
	else
		clear_buffer_uptodate(bh);
	unlock_buffer(bh);
	put_bh(bh);
}

void end_buffer_write_sync(struct buffer_head *bh, int uptodate)
{
	if (uptodate) {
		set_buffer_uptodate(bh);
	} else {
		set_buffer_write_io_error(bh);
		clear_buffer_uptodate(bh);
	}
	unlock_buffer(bh);
	put_bh(bh);
}

void ll_rw_block(int rw, int nr, struct buffer_head *bhs[])
{
	for (int i = 0; i < nr; i++) {
		struct buffer_head *bh = bhs[i];
		if (!trylock_buffer(bh))
			continue;
		get_bh(bh);
		bh->b_end_io = rw == WRITE ? end_buffer_write_sync : end_buffer_read_sync;
		submit_bh(rw, bh);
	}
}

unsigned long invalidate_mapping_pages(struct address_space *mapping, pgoff_t start, pgoff_t end)
{
	(void)mapping;
	(void)start;
	(void)end;
	return 0;
}
