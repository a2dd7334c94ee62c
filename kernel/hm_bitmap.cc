/*
 * The bitmap file: finding and loading it, page reads through buffer heads,
 * page writes below the file system straight to the disk that holds it,
 * superblock updates and teardown.
 *
 * Page reads and writes run in process context (netlink sender, module load,
 * the protection's threads) and sleep only outside bitmap->lock.  A page is
 * never being written twice at once: a later write of the page waits for the
 * earlier one, so the disk always ends with the newest contents.
 */
#include <linux/kernel.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <linux/fs.h>
#include <linux/bio.h>
#include <linux/blkdev.h>
#include <linux/buffer_head.h>
#include <linux/pagemap.h>
#include <linux/genhd.h>
#include <linux/err.h>

#include "hm_bitmap.h"
#include "hm_thread.h"

static const char *bitmap_dirs[BITMAP_DIRS] = {
	"/boot/vyrbitmap",
	"/vyrboot/vyrbitmap",
	"/vyrtmp/boot/vyrbitmap",
};

/*
 * Sticky: from the first failed page write on, a bit set in memory may be
 * missing on disk, so after a power cut the bitmap no longer names every
 * chunk that differs.  Writes go on; the operator is told once here and by
 * the status, until a full copy makes the mirror equal again.
 */
static void bitmap_set_write_error(struct hm_bitmap *bitmap)
{
	if (test_and_set_bit(BITMAP_WRITE_ERROR_BIT, &bitmap->flags))
		return;
	printk("<3>%s %s: bitmap page I/O failed, the bitmap no longer covers every write\n",
	       __func__, bitmap->hmdev ? bitmap->hmdev->uuid : "");
}

static int bitmap_write_error(struct hm_bitmap *bitmap)
{
	return test_bit(BITMAP_WRITE_ERROR_BIT, &bitmap->flags);
}

static void bitmap_wait_writes(struct hm_bitmap *bitmap)
{
	wait_event(bitmap->write_wait, atomic_read(&bitmap->pending_writes) == 0);
}

/* Completion of one block read or write of a page (interrupt context). */
static void end_bitmap_write(struct buffer_head *bh, int uptodate)
{
	struct hm_bitmap_fpage *fp = (struct hm_bitmap_fpage *)bh->b_private;
	struct hm_bitmap *bitmap = fp->bitmap;

	if (!uptodate)
		bitmap_set_write_error(bitmap);
	if (atomic_dec_and_test(&bitmap->pending_writes))
		wake_up(&bitmap->write_wait);
}

static void fpage_write_done(struct hm_bitmap_fpage *fp)
{
	if (atomic_dec_and_test(&fp->inflight)) {
		clear_bit(0, &fp->writing);
		wake_up(&fp->bitmap->write_wait);
	}
}

static void hm_end_bio_bh_io_sync(struct bio *bio, int error)
{
	struct buffer_head *bh = (struct buffer_head *)bio->bi_private;
	struct hm_bitmap_fpage *fp = (struct hm_bitmap_fpage *)bh->b_private;
	int uptodate = !error && test_bit(BIO_UPTODATE, &bio->bi_flags);

	bio_put(bio);
	/*
	 * The page is free for its next write; pending_writes still counts
	 * this block, so the bitmap cannot go away under the wake-up.
	 */
	fpage_write_done(fp);
	end_bitmap_write(bh, uptodate);
}

static void free_buffers(struct hm_bitmap_fpage *fp)
{
	struct buffer_head *bh, *next;

	for (bh = fp->bh; bh; bh = next) {
		next = bh->b_this_page;
		free_buffer_head(bh);
	}
	fp->bh = NULL;
	if (fp->page)
		__free_page(fp->page);
	fp->page = NULL;
}

/*
 * Reads @count bytes of file page @index into a new page whose buffers keep
 * the disk location of each block.  Every block must be allocated.
 */
static int read_page(struct file *file, unsigned long index, struct hm_bitmap *bitmap,
		     unsigned long count, struct hm_bitmap_fpage *fp)
{
	struct inode *inode = file->f_mapping->host;
	unsigned int bsize = 1U << inode->i_blkbits;
	struct buffer_head *bh;
	sector_t block;
	int ret = 0;

	fp->bitmap = bitmap;
	fp->index = index;
	atomic_set(&fp->inflight, 0);
	fp->writing = 0;
	fp->page = alloc_page(GFP_KERNEL);
	if (!fp->page) {
		ret = -ENOMEM;
		goto out;
	}
	memset(page_address(fp->page), 0, PAGE_SIZE);
	fp->bh = alloc_page_buffers(fp->page, bsize, 0);
	if (!fp->bh) {
		__free_page(fp->page);
		fp->page = NULL;
		ret = -ENOMEM;
		goto out;
	}

	block = (sector_t)index << (PAGE_SHIFT - inode->i_blkbits);
	for (bh = fp->bh; bh && count; bh = bh->b_this_page, block++) {
		bh->b_blocknr = bmap(inode, block);
		if (bh->b_blocknr == 0) {
			/* A hole: the file cannot be written in place. */
			ret = -EINVAL;
			break;
		}
		bh->b_bdev = inode->i_sb->s_bdev;
		count = count < bsize ? 0 : count - bsize;
		lock_buffer(bh);
		set_buffer_mapped(bh);
		bh->b_end_io = end_bitmap_write;
		bh->b_private = fp;
		atomic_inc(&bitmap->pending_writes);
		submit_bh(READ, bh);
	}
	/* Blocks already submitted must land before the page can go. */
	bitmap_wait_writes(bitmap);
	if (!ret && bitmap_write_error(bitmap))
		ret = -EIO;
	if (ret)
		free_buffers(fp);
out:
	if (ret)
		printk("<1>%s rpl: bitmap read error: %ld\n", __func__, (long)ret);
	return ret;
}

int write_page(struct hm_bitmap *bitmap, struct hm_bitmap_fpage *fp, int wait)
{
	struct buffer_head *bh;

	if (!fp->page)
		return 0;
	/* One write of a page at a time. */
	wait_event(bitmap->write_wait, !test_and_set_bit(0, &fp->writing));
	atomic_set(&fp->inflight, 1);
	for (bh = fp->bh; bh && buffer_mapped(bh); bh = bh->b_this_page) {
		struct bio *bio = bio_alloc(GFP_NOIO, 1);

		if (!bio) {
			bitmap_set_write_error(bitmap);
			break;
		}
		bio->bi_bdev = bitmap->bd_contains;
		bio->bi_sector = bh->b_blocknr * (bh->b_size >> 9) + bitmap->part_start_sect;
		bio->bi_rw = WRITE;
		bio->bi_end_io = hm_end_bio_bh_io_sync;
		bio->bi_private = bh;
		if (bio_add_page(bio, bh->b_page, bh->b_size, bh_offset(bh)) != (int)bh->b_size) {
			bio_put(bio);
			bitmap_set_write_error(bitmap);
			break;
		}
		atomic_inc(&bitmap->pending_writes);
		atomic_inc(&fp->inflight);
		bitmap->make_request(bitmap->queue, bio);
	}
	fpage_write_done(fp);

	if (wait) {
		bitmap_wait_writes(bitmap);
		if (bitmap_write_error(bitmap)) {
			printk("<1>%s write page error\n", __func__);
			return -EIO;
		}
	}
	return 0;
}

int bitmap_update_sb(struct hm_bitmap *bitmap)
{
	if (!bitmap || !bitmap->sb_fp.page)
		return 0;
	return write_page(bitmap, &bitmap->sb_fp, 1);
}

int bitmap_unplug(struct hm_bitmap *bitmap)
{
	unsigned long i, flags;
	int dirty, need_write, wait = 0;

	if (!bitmap || !bitmap->filemap)
		return 0;
	for (i = 0; i < bitmap->file_pages; i++) {
		struct hm_bitmap_fpage *fp = &bitmap->filemap[i];

		spin_lock_irqsave(&bitmap->lock, flags);
		dirty = test_page_attr(bitmap, fp, BITMAP_PAGE_DIRTY);
		need_write = test_page_attr(bitmap, fp, BITMAP_PAGE_NEEDWRITE);
		if (dirty)
			clear_page_attr(bitmap, fp, BITMAP_PAGE_DIRTY);
		if (need_write)
			clear_page_attr(bitmap, fp, BITMAP_PAGE_NEEDWRITE);
		spin_unlock_irqrestore(&bitmap->lock, flags);
		if (dirty || need_write)
			write_page(bitmap, fp, 0);
		if (dirty)
			wait = 1;
	}
	if (wait)
		bitmap_wait_writes(bitmap);
	return 0;
}

static bitmap_super_t *bitmap_sb(struct hm_bitmap *bitmap)
{
	return (bitmap_super_t *)page_address(bitmap->sb_fp.page);
}

/* Changes the state word under the lock, then writes the superblock and waits. */
static int bitmap_change_state(struct hm_bitmap *bitmap, uint32_t mask, uint32_t value)
{
	unsigned long flags;

	if (!bitmap->sb_fp.page)
		return 0;
	spin_lock_irqsave(&bitmap->lock, flags);
	bitmap_sb(bitmap)->state = (bitmap_sb(bitmap)->state & ~mask) | value;
	spin_unlock_irqrestore(&bitmap->lock, flags);
	return bitmap_update_sb(bitmap);
}

int bitmap_set_init_state(struct hm_bitmap *bitmap, unsigned int state)
{
	return bitmap_change_state(bitmap, BITMAP_INIT_MASK, state);
}

/*
 * Writes every bit page and waits.  The dirty marks stay: this may run in
 * the control path while writes counted in wait for the hmd thread, whose
 * bitmap_unplug must still find their pages dirty and wait for them (its
 * write of a page waits for this one) before it sends their clones.
 */
static void bitmap_write_all(struct hm_bitmap *bitmap)
{
	unsigned long i, flags;

	for (i = 0; i < bitmap->file_pages; i++) {
		spin_lock_irqsave(&bitmap->lock, flags);
		clear_page_attr(bitmap, &bitmap->filemap[i], BITMAP_PAGE_NEEDWRITE);
		spin_unlock_irqrestore(&bitmap->lock, flags);
		write_page(bitmap, &bitmap->filemap[i], 0);
	}
	bitmap_wait_writes(bitmap);
}

static unsigned long bitmap_used_bytes(struct hm_bitmap *bitmap, unsigned long i)
{
	unsigned long bytes = (bitmap->chunks + 7) / 8;

	if (i + 1 < bitmap->num_bp)
		return PAGE_SIZE;
	return bytes - (bitmap->num_bp - 1) * PAGE_SIZE;
}

static unsigned int chunks_in_counter_page(struct hm_bitmap *bitmap, unsigned long page)
{
	unsigned long first = page << PAGE_COUNTER_SHIFT;
	unsigned long left = bitmap->chunks - first;

	return left < PAGE_COUNTER_RATIO ? left : PAGE_COUNTER_RATIO;
}

/* Sets the file bits of @offset's area (a whole half when hijacked); lock held. */
static void bitmap_set_area_bits(struct hm_bitmap *bitmap, sector_t offset, int hijacked)
{
	unsigned long c = bitmap_chunk(bitmap, offset);
	unsigned long end = c + 1;

	if (hijacked) {
		c &= ~(unsigned long)(HIJACK_CHUNKS - 1);
		end = c + HIJACK_CHUNKS;
	}
	for (; c < end && c < bitmap->chunks; c++)
		set_bit(bitmap_chunk_bit(c), bitmap_fpage_bits(bitmap_chunk_fpage(bitmap, c)));
}

/*
 * Every chunk needs copying: every bit set, every counter NEEDED.  Counters
 * in use keep their count, so the writes in flight still count out.
 */
void bitmap_mark_all_needed(struct hm_bitmap *bitmap)
{
	unsigned long i, flags;
	sector_t offset = 0, end;

	if (!bitmap || !bitmap->filemap)
		return;
	for (i = 0; i < bitmap->file_pages; i++) {
		spin_lock_irqsave(&bitmap->lock, flags);
		memset(page_address(bitmap->filemap[i].page), 0xff, bitmap_used_bytes(bitmap, i));
		spin_unlock_irqrestore(&bitmap->lock, flags);
	}
	end = (sector_t)bitmap->chunks << (bitmap->chunkshift - 9);
	while (offset < end) {
		bitmap_counter_t *bmc;
		int blocks, hijacked;

		spin_lock_irqsave(&bitmap->lock, flags);
		bmc = bitmap_get_counter(bitmap, offset, &blocks, 1, &hijacked);
		if (bmc) {
			/*
			 * The daemon may have cleaned the area since the bits
			 * were set above: set them again in the same hold that
			 * makes it NEEDED, so a NEEDED area never has a clear bit.
			 */
			if (COUNTER(*bmc) == 0) {
				bitmap_set_area_bits(bitmap, offset, hijacked);
				*bmc = NEEDED_MASK | 1;
			} else {
				/* A pass already under way must not clear it. */
				*bmc = (*bmc & ~RESYNC_MASK) | NEEDED_MASK;
			}
		}
		spin_unlock_irqrestore(&bitmap->lock, flags);
		offset += blocks;
	}
	spin_lock_irqsave(&bitmap->lock, flags);
	for (i = 0; i < bitmap->pages; i++)
		bitmap->bp[i].count = chunks_in_counter_page(bitmap, i);
	bitmap->chunk_needed = bitmap->chunks;
	spin_unlock_irqrestore(&bitmap->lock, flags);
	bitmap_write_all(bitmap);
}

int bitmap_initialize(struct hm_bitmap *bitmap)
{
	if (!bitmap)
		return -ENOENT;
	bitmap_mark_all_needed(bitmap);
	return bitmap_set_init_state(bitmap, BITMAP_INITIALIZE);
}

/*
 * The mirror is declared equal to the primary.  Counters of writes or copy
 * units still in flight keep their count (their bits stay until they are
 * idle and the daemon cleans them), so finishing them cannot underflow.
 */
int bitmap_finished_initialize(struct hm_bitmap *bitmap)
{
	unsigned long flags;
	sector_t offset = 0, end;

	if (!bitmap)
		return -ENOENT;
	end = (sector_t)bitmap->chunks << (bitmap->chunkshift - 9);
	while (offset < end) {
		bitmap_counter_t *bmc;
		int blocks, hijacked;
		unsigned long chunk = bitmap_chunk(bitmap, offset);

		spin_lock_irqsave(&bitmap->lock, flags);
		bmc = bitmap_get_counter(bitmap, offset, &blocks, 0, &hijacked);
		if (bmc) {
			if (COUNTER(*bmc) > 1) {
				*bmc = COUNTER(*bmc);
			} else if (*bmc) {
				unsigned long c = hijacked ? chunk & ~(unsigned long)(HIJACK_CHUNKS - 1)
							   : chunk;
				unsigned long n = hijacked ? HIJACK_CHUNKS : 1;
				unsigned long cleared = 0;

				*bmc = 0;
				for (; n && c < bitmap->chunks; n--, c++) {
					struct hm_bitmap_fpage *fp = bitmap_chunk_fpage(bitmap, c);

					if (test_and_clear_bit(bitmap_chunk_bit(c), bitmap_fpage_bits(fp)))
						cleared++;
				}
				bitmap_count_page(bitmap, offset, -(int)cleared);
			}
		}
		spin_unlock_irqrestore(&bitmap->lock, flags);
		offset += blocks;
	}
	spin_lock_irqsave(&bitmap->lock, flags);
	bitmap->chunk_needed = 0;
	spin_unlock_irqrestore(&bitmap->lock, flags);
	bitmap_write_all(bitmap);
	return bitmap_set_init_state(bitmap, BITMAP_INITIALIZE_FINISHED);
}

int bitmap_cancel_initialize(struct hm_bitmap *bitmap)
{
	if (!bitmap)
		return -ENOENT;
	return bitmap_set_init_state(bitmap, BITMAP_INITIALIZE_CANCELED);
}

int bitmap_mirror_lock_unlock(struct hm_bitmap *bitmap, int lock)
{
	if (!bitmap)
		return -ENOENT;
	return bitmap_change_state(bitmap, BITMAP_MIRROR_LOCKED, lock ? BITMAP_MIRROR_LOCKED : 0);
}

int bitmap_mirror_lock(struct hm_bitmap *bitmap)
{
	return bitmap_mirror_lock_unlock(bitmap, 1);
}

int bitmap_mirror_unlock(struct hm_bitmap *bitmap)
{
	return bitmap_mirror_lock_unlock(bitmap, 0);
}

/*
 * The function that writes to @q below the module's hooks: when the queue
 * holding the file is itself a hooked member, its own saved function, so a
 * page write never re-enters the mirror's write path.
 */
make_request_fn *bitmap_get_make_request(struct request_queue *q)
{
	make_request_fn *fn = q->make_request_fn;
	hmdev_t *hmdev;
	unsigned long flags;
	int i;

	if (fn != hm_make_request && fn != mirror_make_request)
		return fn;
	spin_lock_irqsave(&all_hmdevs_lock, flags);
	list_for_each_entry(hmdev, &all_hmdevs, all_hmdevs) {
		conf_t *conf = hmdev->priv;

		if (!conf)
			continue;
		for (i = 0; i < HM_MAX_DISKS; i++) {
			hm_rdev_t *rdev = conf->mirrors[i].rdev;

			if (rdev && rdev->queue == q && rdev->make_request_fn) {
				fn = rdev->make_request_fn;
				goto out;
			}
		}
	}
out:
	spin_unlock_irqrestore(&all_hmdevs_lock, flags);
	return fn;
}

/* Sizes the bitmap for @sectors of primary; chunksize and bp_off must be set. */
int bitmap_geometry(struct hm_bitmap *bitmap, sector_t sectors)
{
	sector_t k;

	if (bitmap->chunksize < 512 || (bitmap->chunksize & (bitmap->chunksize - 1)))
		return -EINVAL;
	bitmap->chunkshift = __builtin_ctzl(bitmap->chunksize);
	bitmap->counter_bits = COUNTER_BITS;
	k = (sector_t)bitmap->chunksize >> 9;
	bitmap->sectors = sectors;
	bitmap->chunks = (unsigned long)((sectors + k - 1) >> (bitmap->chunkshift - 9));
	bitmap->pages = (bitmap->chunks + PAGE_COUNTER_RATIO - 1) / PAGE_COUNTER_RATIO;
	bitmap->missing_pages = bitmap->pages;
	bitmap->num_bp = ((bitmap->chunks + 7) / 8 + PAGE_SIZE - 1) / PAGE_SIZE;
	return 0;
}

int bitmap_alloc_tables(struct hm_bitmap *bitmap)
{
	unsigned long attr_bits = (bitmap->bp_off + bitmap->num_bp) * BITMAP_PAGE_ATTRS;

	bitmap->bp = (struct hm_bitmap_page *)kzalloc(
		(bitmap->pages ? bitmap->pages : 1) * sizeof(*bitmap->bp), GFP_KERNEL);
	bitmap->filemap = (struct hm_bitmap_fpage *)kzalloc(
		(bitmap->num_bp ? bitmap->num_bp : 1) * sizeof(*bitmap->filemap), GFP_KERNEL);
	bitmap->filemap_attr = (unsigned long *)kzalloc(
		BITS_TO_LONGS(attr_bits) * sizeof(unsigned long), GFP_KERNEL);
	if (!bitmap->bp || !bitmap->filemap || !bitmap->filemap_attr)
		return -ENOMEM;
	return 0;
}

void bitmap_free_tables(struct hm_bitmap *bitmap)
{
	unsigned long i;

	if (bitmap->filemap) {
		for (i = 0; i < bitmap->num_bp; i++)
			free_buffers(&bitmap->filemap[i]);
		kfree(bitmap->filemap);
		bitmap->filemap = NULL;
	}
	kfree(bitmap->filemap_attr);
	bitmap->filemap_attr = NULL;
	free_buffers(&bitmap->sb_fp);
	bitmap->sb_page = NULL;
	if (bitmap->bp) {
		for (i = 0; i < bitmap->pages; i++)
			if (bitmap->bp[i].map && !bitmap->bp[i].hijacked)
				kfree(bitmap->bp[i].map);
		kfree(bitmap->bp);
		bitmap->bp = NULL;
	}
}

void bitmap_free(struct hm_bitmap *bitmap)
{
	struct file *file;
	unsigned long flags;

	if (!bitmap)
		return;
	spin_lock_irqsave(&bitmap->lock, flags);
	file = bitmap->file;
	bitmap->file = NULL;
	spin_unlock_irqrestore(&bitmap->lock, flags);
	bitmap_wait_writes(bitmap);
	/* The file belongs to whoever opened it; only its cached pages go. */
	if (file && file->f_mapping)
		invalidate_mapping_pages(file->f_mapping, 0, -1);
	bitmap_free_tables(bitmap);
	kfree(bitmap);
}

void bitmap_destroy(hmdev_t *hmdev)
{
	struct hm_bitmap *bitmap = hmdev->bitmap;

	if (!bitmap)
		return;
	hmdev->bitmap = NULL;
	bitmap_free(bitmap);
}

static int bitmap_read_sb(struct hm_bitmap *bitmap)
{
	hmdev_t *hmdev = bitmap->hmdev;
	bitmap_super_t *sb;
	unsigned long flags;
	int err;

	err = read_page(bitmap->file, 0, bitmap, PAGE_SIZE, &bitmap->sb_fp);
	if (err) {
		printk("<1>%s read sb page err: %d\n", __func__, err);
		return err;
	}
	bitmap->sb_page = bitmap->sb_fp.page;
	sb = bitmap_sb(bitmap);
	if (sb->magic != BITMAP_MAGIC) {
		printk("<3>%s magic: %x, %x\n", __func__, sb->magic, sb->magic);
		err = -EINVAL;
	} else if (sb->version < BITMAP_MAJOR_LO || sb->version > BITMAP_MAJOR_HI) {
		printk("<6>%s: invalid bitmap file superblock: %s\n", __func__,
		       "unrecognized superblock version");
		err = -EINVAL;
	} else if (sb->chunksize < 512 || (sb->chunksize & (sb->chunksize - 1)) ||
		   sb->bp_off == 0) {
		/* A chunk size that is not a power of two, or bits over the superblock. */
		printk("<6>%s: invalid bitmap file superblock: %s\n", __func__,
		       "bad chunk size or bit page offset");
		err = -EINVAL;
	} else {
		spin_lock_irqsave(&bitmap->lock, flags);
		bitmap->daemon_sleep = BITMAP_DAEMON_SLEEP;
		bitmap->chunksize = sb->chunksize;
		bitmap->bp_off = sb->bp_off;
		bitmap->daemon_lastrun = jiffies;
		bitmap->flags |= sb->state & (0xFF | BITMAP_MIRROR_LOCKED);
		if (sb->version == BITMAP_MAJOR_HOSTENDIAN)
			bitmap->flags |= BITMAP_HOSTENDIAN;
		spin_unlock_irqrestore(&bitmap->lock, flags);
		printk("<6>%s: flags: %lx state: %x\n", __func__, bitmap->flags, sb->state);
	}
	printk("<6>bitmap chunksize:%lu daemonsleep:%lu daemonlastrun:%lu bpoff:%lu",
	       bitmap->chunksize, bitmap->daemon_sleep, bitmap->daemon_lastrun, bitmap->bp_off);
	if (err)
		return err;

	/* The initialization state and the mirror lock come back from the file. */
	spin_lock_irqsave(&hmdev->lock, flags);
	hmdev->flags |= bitmap->flags & BITMAP_INIT_MASK;
	if (bitmap->flags & BITMAP_MIRROR_LOCKED)
		set_bit(HM_DEV_LOCKED, &hmdev->flags);
	spin_unlock_irqrestore(&hmdev->lock, flags);
	return 0;
}

static int bitmap_init_from_disk(struct hm_bitmap *bitmap)
{
	hmdev_t *hmdev = bitmap->hmdev;
	unsigned long i, dirty = 0;
	unsigned long bytes = (bitmap->chunks + 7) / 8;
	int err;

	bitmap->chunk_needed = 0;
	for (i = 0; i < bitmap->chunks; i++) {
		unsigned long pidx = i >> BITMAP_PAGE_BIT_SHIFT;
		struct hm_bitmap_fpage *fp = &bitmap->filemap[pidx];

		if ((i & (BITMAP_PAGE_BITS - 1)) == 0) {
			unsigned long count = pidx + 1 < bitmap->num_bp ? PAGE_SIZE
								 : bytes - pidx * PAGE_SIZE;

			err = read_page(bitmap->file, bitmap->bp_off + pidx, bitmap, count, fp);
			if (err) {
				printk("<3>%s read page err: %d\n", __func__, err);
				printk("<1>%s bitmap init from disk err: %d\n", __func__, err);
				return err;
			}
			bitmap->file_pages++;
		}
		if (test_bit(bitmap_chunk_bit(i), bitmap_fpage_bits(fp))) {
			bitmap_load_bit(bitmap, i);
			dirty++;
		}
	}
	if (dirty) {
		printk("<1>bit dirty: %llu\n", (unsigned long long)dirty);
		if (test_bit(HM_INITIALIZE_FINISHED, &hmdev->flags))
			set_bit(HM_RECOVERY_NEEDED, &hmdev->flags);
		hm_wakeup_thread(hmdev->thread);
	}
	printk("<1>%s finished init bitmap from disk.", __func__);
	return 0;
}

int bitmap_create(hmdev_t *hmdev, struct file *file)
{
	struct hm_bitmap *bitmap;
	unsigned long flags;
	int installed;
	struct inode *inode;
	struct block_device *bdev;
	int err;

	bitmap = (struct hm_bitmap *)kzalloc(sizeof(*bitmap), GFP_KERNEL);
	if (!bitmap)
		return -ENOMEM;
	bitmap->hmdev = hmdev;
	bitmap->file = file;
	spin_lock_init(&bitmap->lock);
	init_waitqueue_head(&bitmap->write_wait);
	atomic_set(&bitmap->pending_writes, 0);
	bitmap->daemon_sleep = BITMAP_DAEMON_SLEEP;

	inode = file ? file->f_mapping->host : NULL;
	bdev = inode && inode->i_sb ? inode->i_sb->s_bdev : NULL;
	if (!bdev) {
		printk("<3>%s bitmap make request get failed: %p\n", __func__, (void *)bdev);
		err = -1;
		goto fail;
	}
	if (!bdev->bd_contains || bdev->bd_contains == bdev) {
		bitmap->bd_contains = bdev;
		bitmap->part_start_sect = 0;
	} else {
		bitmap->bd_contains = bdev->bd_contains;
		bitmap->part_start_sect = bdev->bd_part ? bdev->bd_part->start_sect : 0;
	}
	bitmap->queue = bdev_get_queue(bitmap->bd_contains);
	if (!bitmap->queue) {
		printk("<3>%s bitmap make request get failed: %p\n", __func__, (void *)bdev);
		err = -1;
		goto fail;
	}
	bitmap->make_request = bitmap_get_make_request(bitmap->queue);

	err = bitmap_read_sb(bitmap);
	if (err)
		goto fail;

	err = bitmap_geometry(bitmap, hmdev->resync_max_sectors);
	if (err)
		goto fail;
	printk("<1>chunks: %lu blocks: %llu pages: %lu chunksize: %lu\n", bitmap->chunks,
	       (unsigned long long)hmdev->resync_max_sectors, bitmap->pages, bitmap->chunksize);
	err = bitmap_alloc_tables(bitmap);
	if (err) {
		printk("<1>%s bitmap init from disk err: %d\n", __func__, err);
		goto fail;
	}
	/* The superblock's page shares the attribute table's numbering. */
	bitmap->sb_fp.index = 0;

	err = bitmap_init_from_disk(bitmap);
	if (err)
		goto fail;

	bitmap->file = NULL;
	/*
	 * Two Add Protection requests may install at once: the first bitmap
	 * stored wins and the other is dropped.
	 */
	spin_lock_irqsave(&hmdev->lock, flags);
	installed = hmdev->bitmap == NULL;
	if (installed)
		hmdev->bitmap = bitmap;
	spin_unlock_irqrestore(&hmdev->lock, flags);
	if (!installed)
		bitmap_free(bitmap);
	return 0;

fail:
	bitmap->file = NULL;
	bitmap_free(bitmap);
	return err;
}

static int hm_bitmap_install_file(hmdev_t *hmdev, struct file *file)
{
	hm_rdev_t *primary = hm_primary(hmdev);
	int err;

	if (hmdev->bitmap) {
		printk("<1>%s bitmap already install\n", "hm_bitmap_install");
		return 0;
	}
	if (primary)
		hmdev->resync_max_sectors = primary->size;
	err = bitmap_create(hmdev, file);
	if (err)
		return err;
	printk("<6>%s bitmap creaeted\n", "hm_bitmap_install");
	return 0;
}

int hm_bitmap_install(hmdev_t *hmdev, int fd)
{
	hm_rdev_t *primary = hm_primary(hmdev);
	int err;

	if (hmdev->bitmap) {
		printk("<1>%s bitmap already install\n", __func__);
		return 0;
	}
	if (primary)
		hmdev->resync_max_sectors = primary->size;
	if (fd > 0) {
		/* Nothing passes a descriptor; only an open bitmap_file is used. */
		printk("<3>error: %s failed to get bitmap file\n", __func__);
		return -EBADF;
	}
	if (!hmdev->bitmap_file)
		return -ENOENT;
	err = bitmap_create(hmdev, hmdev->bitmap_file);
	if (err)
		return err;
	printk("<6>%s bitmap creaeted\n", __func__);
	return 0;
}

int hmdev_bitmap_init(hmdev_t *hmdev)
{
	char path[128];
	struct file *file = NULL;
	long err = -ENOENT;
	int i, ret;

	for (i = 0; i < BITMAP_DIRS; i++) {
		if (snprintf(path, sizeof(path), "%s/hm_%.*s.bitmap", bitmap_dirs[i],
			     (int)(sizeof(path) - 32), hmdev->uuid) >= (int)sizeof(path))
			continue;	/* a key too long for the path names no file */
		file = filp_open(path, O_RDONLY, 0);
		if (!IS_ERR(file) && file)
			break;
		err = file ? PTR_ERR(file) : -ENOENT;
		file = NULL;
	}
	if (!file) {
		printk("<1>%s no bitmap file: %s, err: %ld\n", __func__, path, err);
		return -EINVAL;
	}
	/* The file goes straight to the creation, never through the shared field. */
	ret = hm_bitmap_install_file(hmdev, file);
	filp_close(file, NULL);
	return ret < 0 ? -1 : 0;
}
