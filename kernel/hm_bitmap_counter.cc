/*
 * Bitmap counters and the bitmap daemon.
 *
 * One 16-bit counter per chunk: bit 15 NEEDED (must be copied), bit 14
 * RESYNC (a copy unit covering the whole chunk ran), bits 0-13 a count:
 * 0 clean and its file bit clear, 1 bit set and idle, n > 1 bit set and
 * n - 1 users.  Counters live in 4 KiB pages of 2048 allocated on demand; a
 * page that cannot be allocated is "hijacked": two coarse counters, each
 * for 1024 chunks, live in its map pointer.
 *
 * Every counter and attribute change happens under bitmap->lock with
 * interrupts saved: the write path counts in from the submitter's context,
 * completions count out from interrupt context.
 */
#include <linux/kernel.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <linux/jiffies.h>
#include <linux/delay.h>

#include "hm_bitmap.h"
#include "hm_thread.h"

static char *bitmap_alloc_page(struct hm_bitmap *bitmap)
{
	char *page;

	(void)bitmap;
	page = (char *)kzalloc(PAGE_SIZE, GFP_NOIO);
	if (!page)
		printk("<1>%s failed\n", __func__);
	return page;
}

/*
 * Makes sure the counter page exists.  Called with bitmap->lock held; to
 * allocate it drops and retakes the lock.
 */
static int bitmap_checkpage(struct hm_bitmap *bitmap, unsigned long page, int create)
{
	char *mappage;

	if (page >= bitmap->pages) {
		printk("<1>%s page: %lu bitmap_page: %lu\n", "bitmap_checkpage", page,
		       bitmap->pages);
		return -EINVAL;
	}
	if (bitmap->bp[page].hijacked || bitmap->bp[page].map)
		return 0;
	if (!create)
		return -ENOENT;

	spin_unlock_irq(&bitmap->lock);
	mappage = bitmap_alloc_page(bitmap);
	spin_lock_irq(&bitmap->lock);

	if (!mappage) {
		if (!bitmap->bp[page].map)
			bitmap->bp[page].hijacked = 1;
	} else if (bitmap->bp[page].map || bitmap->bp[page].hijacked) {
		kfree(mappage);
	} else {
		bitmap->bp[page].map = mappage;
		bitmap->missing_pages--;
	}
	return 0;
}

/* Frees a counter page whose last counter went back to 0. */
static void bitmap_checkfree(struct hm_bitmap *bitmap, unsigned long page)
{
	char *ptr;

	if (bitmap->bp[page].count)
		return;
	if (bitmap->bp[page].hijacked) {
		bitmap->bp[page].hijacked = 0;
		bitmap->bp[page].map = NULL;
	} else if (bitmap->bp[page].map) {
		ptr = bitmap->bp[page].map;
		bitmap->bp[page].map = NULL;
		bitmap->missing_pages++;
		kfree(ptr);
	}
}

bitmap_counter_t *bitmap_get_counter(struct hm_bitmap *bitmap, sector_t offset, int *blocks,
				     int create, int *hijacked)
{
	unsigned long chunk = bitmap_chunk(bitmap, offset);
	unsigned long page = chunk >> PAGE_COUNTER_SHIFT;
	unsigned long pageoff = chunk & PAGE_COUNTER_MASK;
	sector_t csize;

	if (hijacked)
		*hijacked = 0;
	if (bitmap_checkpage(bitmap, page, create) < 0) {
		csize = bitmap_chunk_sectors(bitmap);
		*blocks = (int)(csize - (offset & (csize - 1)));
		return NULL;
	}
	if (bitmap->bp[page].hijacked) {
		int hi = pageoff >= HIJACK_CHUNKS;

		csize = bitmap_chunk_sectors(bitmap) * HIJACK_CHUNKS;
		*blocks = (int)(csize - (offset & (csize - 1)));
		if (hijacked)
			*hijacked = 1;
		return &bitmap->bp[page].hmap[hi];
	}
	csize = bitmap_chunk_sectors(bitmap);
	*blocks = (int)(csize - (offset & (csize - 1)));
	return &((bitmap_counter_t *)bitmap->bp[page].map)[pageoff];
}

void bitmap_count_page(struct hm_bitmap *bitmap, sector_t offset, int inc)
{
	unsigned long page = bitmap_chunk(bitmap, offset) >> PAGE_COUNTER_SHIFT;

	bitmap->bp[page].count += inc;
	bitmap_checkfree(bitmap, page);
}

static void bitmap_set_file_bit(struct hm_bitmap *bitmap, unsigned long chunk)
{
	struct hm_bitmap_fpage *fp = bitmap_chunk_fpage(bitmap, chunk);

	/* Host and little endian agree on x86-64; both set bit j of byte j/8. */
	set_bit(bitmap_chunk_bit(chunk), bitmap_fpage_bits(fp));
	set_page_attr(bitmap, fp, BITMAP_PAGE_DIRTY);
}

static int bitmap_test_file_bit(struct hm_bitmap *bitmap, unsigned long chunk)
{
	return test_bit(bitmap_chunk_bit(chunk), bitmap_fpage_bits(bitmap_chunk_fpage(bitmap, chunk)));
}

static void bitmap_clear_file_bit(struct hm_bitmap *bitmap, unsigned long chunk)
{
	clear_bit(bitmap_chunk_bit(chunk), bitmap_fpage_bits(bitmap_chunk_fpage(bitmap, chunk)));
}

static unsigned long hijack_first_chunk(unsigned long chunk)
{
	return chunk & ~(unsigned long)(HIJACK_CHUNKS - 1);
}

/*
 * Counts one user in on the counter of @offset's area.  A clean area (count
 * 0) gets its file bits set again first, so that a counter above 0 always
 * stands for bits that are set in memory and written before any write that
 * counts in after it goes out.  Lock held.
 */
static void bitmap_count_in(struct hm_bitmap *bitmap, sector_t offset, unsigned long sectors,
			    bitmap_counter_t *bmc, int blocks, int hijacked)
{
	if (hijacked) {
		unsigned long c = bitmap_chunk(bitmap, offset);
		sector_t end = offset + (sectors < (unsigned long)blocks ? sectors : blocks);
		unsigned long last = bitmap_chunk(bitmap, end - 1);

		for (; c <= last && c < bitmap->chunks; c++) {
			if (!bitmap_test_file_bit(bitmap, c)) {
				bitmap_set_file_bit(bitmap, c);
				bitmap->bp[c >> PAGE_COUNTER_SHIFT].count++;
			}
		}
	} else if (COUNTER(*bmc) == 0) {
		bitmap_set_file_bit(bitmap, bitmap_chunk(bitmap, offset));
		bitmap_count_page(bitmap, offset, 1);
	}
	/* 0 means clean: the set bits count as one, this user as another. */
	if (COUNTER(*bmc) == 0)
		*bmc += 2;
	else
		(*bmc)++;
}

int bitmap_startwrite(struct hm_bitmap *bitmap, sector_t offset, unsigned long sectors)
{
	if (!bitmap)
		return 0;
	while (sectors) {
		bitmap_counter_t *bmc;
		unsigned long flags;
		int blocks, hijacked;

		spin_lock_irqsave(&bitmap->lock, flags);
		bmc = bitmap_get_counter(bitmap, offset, &blocks, 1, &hijacked);
		if (!bmc) {
			spin_unlock_irqrestore(&bitmap->lock, flags);
			break;
		}
		if (COUNTER(*bmc) == COUNTER_MAX) {
			/* A full count would spill into RESYNC: wait for a user to leave. */
			spin_unlock_irqrestore(&bitmap->lock, flags);
			msleep(1);
			continue;
		}
		bitmap_count_in(bitmap, offset, sectors, bmc, blocks, hijacked);
		spin_unlock_irqrestore(&bitmap->lock, flags);

		offset += blocks;
		if (sectors > (unsigned long)blocks)
			sectors -= blocks;
		else
			sectors = 0;
	}
	return 0;
}

/*
 * The area must be copied again: NEEDED, and RESYNC cleared so that a pass
 * over the area still in flight does not clear NEEDED with its last unit.
 * Returns 1 when this changed the counter: a copy may already have passed
 * the area, so the caller has the copy look again (bitmap_needed_behind).
 * Lock held.
 */
static int bitmap_mark_needed(struct hm_bitmap *bitmap, bitmap_counter_t *bmc, int hijacked)
{
	int changed = RESYNC(*bmc) != 0;

	*bmc &= ~RESYNC_MASK;
	if (!NEEDED(*bmc)) {
		*bmc |= NEEDED_MASK;
		bitmap->chunk_needed += hijacked ? HIJACK_CHUNKS : 1;
		changed = 1;
	}
	return changed;
}

/*
 * A chunk became NEEDED, maybe behind a running copy: raise
 * HM_RECOVERY_NEEDED, which makes a running copy scan again before it calls
 * itself finished and starts one when none runs.  Called without the lock,
 * also from interrupt context.
 */
static void bitmap_needed_behind(struct hm_bitmap *bitmap)
{
	hmdev_t *hmdev = bitmap->hmdev;

	if (!hmdev)
		return;
	set_bit(HM_RECOVERY_NEEDED, &hmdev->flags);
	hm_wakeup_thread(hmdev->sync_thread);
}

static void bitmap_clear_needed(struct hm_bitmap *bitmap, bitmap_counter_t *bmc, int hijacked)
{
	if (NEEDED(*bmc)) {
		*bmc &= ~NEEDED_MASK;
		bitmap->chunk_needed -= hijacked ? HIJACK_CHUNKS : 1;
	}
}

static int counter_idle(bitmap_counter_t bmc)
{
	return (bitmap_counter_t)(bmc & ~RESYNC_MASK) == 1;
}

void bitmap_endwrite(struct hm_bitmap *bitmap, sector_t offset, unsigned long sectors,
		     int success)
{
	int behind = 0;

	if (!bitmap)
		return;
	while (sectors) {
		bitmap_counter_t *bmc;
		unsigned long flags;
		int blocks, hijacked;

		spin_lock_irqsave(&bitmap->lock, flags);
		bmc = bitmap_get_counter(bitmap, offset, &blocks, 0, &hijacked);
		if (!bmc) {
			spin_unlock_irqrestore(&bitmap->lock, flags);
			break;
		}
		if (!success)
			behind |= bitmap_mark_needed(bitmap, bmc, hijacked);
		if (COUNTER(*bmc) > 0)
			(*bmc)--;
		if (counter_idle(*bmc))
			set_page_attr(bitmap, bitmap_chunk_fpage(bitmap, bitmap_chunk(bitmap, offset)),
				      BITMAP_PAGE_CLEAN);
		spin_unlock_irqrestore(&bitmap->lock, flags);

		offset += blocks;
		if (sectors > (unsigned long)blocks)
			sectors -= blocks;
		else
			sectors = 0;
	}
	if (behind)
		bitmap_needed_behind(bitmap);
}

static sector_t bitmap_area_sectors(struct hm_bitmap *bitmap, int hijacked)
{
	return bitmap_chunk_sectors(bitmap) * (hijacked ? HIJACK_CHUNKS : 1);
}

/*
 * Asked at the start of every stretch the copy considers.  At the first
 * sector of a NEEDED area a pass over it begins: RESYNC marks the pass, and
 * only a pass that keeps it to its last unit clears NEEDED.
 */
int bitmap_start_sync(struct hm_bitmap *bitmap, sector_t offset, int *blocks)
{
	bitmap_counter_t *bmc;
	unsigned long flags;
	int rv = 0, hijacked;

	if (!bitmap) {
		*blocks = 1024;
		return 0;
	}
	spin_lock_irqsave(&bitmap->lock, flags);
	bmc = bitmap_get_counter(bitmap, offset, blocks, 0, &hijacked);
	if (bmc && (RESYNC(*bmc) || NEEDED(*bmc))) {
		rv = 1;
		if (NEEDED(*bmc) && (sector_t)*blocks == bitmap_area_sectors(bitmap, hijacked))
			*bmc |= RESYNC_MASK;
	}
	spin_unlock_irqrestore(&bitmap->lock, flags);
	return rv;
}

int bitmap_start_sync_write(struct hm_bitmap *bitmap, hmbio_t *unit)
{
	sector_t offset = unit->sector;
	unsigned long sectors = unit->sectors;

	if (!bitmap)
		return 0;
	while (sectors) {
		bitmap_counter_t *bmc;
		unsigned long flags;
		int blocks, hijacked;

		spin_lock_irqsave(&bitmap->lock, flags);
		bmc = bitmap_get_counter(bitmap, offset, &blocks, 0, &hijacked);
		if (bmc) {
			/*
			 * The daemon may have cleaned the chunk between the
			 * question and this read: count in as a write does.
			 */
			bitmap_count_in(bitmap, offset, sectors, bmc, blocks, hijacked);
			/* The last chunk may end before its area does, with the disk. */
			if (sectors >= (unsigned long)blocks || offset + sectors >= bitmap->sectors) {
				/* The last unit of a pass that lost none of its units. */
				if (RESYNC(*bmc) || !NEEDED(*bmc)) {
					*bmc |= RESYNC_MASK;
					bitmap_clear_needed(bitmap, bmc, hijacked);
				}
			}
		}
		spin_unlock_irqrestore(&bitmap->lock, flags);

		offset += blocks;
		if (sectors > (unsigned long)blocks)
			sectors -= blocks;
		else
			sectors = 0;
	}
	return 0;
}

/* Returns 1 when an abandoned unit made its area NEEDED again (lock taken here). */
static int __bitmap_end_sync(struct hm_bitmap *bitmap, sector_t offset, int *blocks,
			     int aborted)
{
	bitmap_counter_t *bmc;
	unsigned long flags;
	int hijacked, behind = 0;

	spin_lock_irqsave(&bitmap->lock, flags);
	bmc = bitmap_get_counter(bitmap, offset, blocks, 0, &hijacked);
	if (bmc) {
		if (COUNTER(*bmc) > 0)
			(*bmc)--;
		if (aborted) {
			/*
			 * Also while NEEDED is still set: the pass over the area
			 * lost this unit, so its last unit must not clear NEEDED.
			 */
			behind = bitmap_mark_needed(bitmap, bmc, hijacked);
		} else if (counter_idle(*bmc)) {
			set_page_attr(bitmap, bitmap_chunk_fpage(bitmap, bitmap_chunk(bitmap, offset)),
				      BITMAP_PAGE_CLEAN);
		}
	}
	spin_unlock_irqrestore(&bitmap->lock, flags);
	return behind;
}

void bitmap_end_sync(struct hm_bitmap *bitmap, hmbio_t *unit, int aborted)
{
	sector_t offset = unit->sector;
	unsigned long sectors = unit->sectors;
	int behind = 0;

	if (!bitmap)
		return;
	while (sectors) {
		int blocks;

		behind |= __bitmap_end_sync(bitmap, offset, &blocks, aborted);
		offset += blocks;
		if (sectors > (unsigned long)blocks)
			sectors -= blocks;
		else
			sectors = 0;
	}
	if (behind)
		bitmap_needed_behind(bitmap);
}

/*
 * Marks the chunk's bit from the file at load: the counter becomes NEEDED
 * with count 1.  Returns 0, or -ENOMEM when the page table is missing.
 */
int bitmap_load_bit(struct hm_bitmap *bitmap, unsigned long chunk)
{
	sector_t offset = (sector_t)chunk << (bitmap->chunkshift - 9);
	bitmap_counter_t *bmc;
	unsigned long flags;
	int blocks, hijacked;

	spin_lock_irqsave(&bitmap->lock, flags);
	bmc = bitmap_get_counter(bitmap, offset, &blocks, 1, &hijacked);
	if (bmc) {
		bitmap->bp[chunk >> PAGE_COUNTER_SHIFT].count++;
		if (*bmc == 0) {
			*bmc = NEEDED_MASK | 1;
			bitmap->chunk_needed += hijacked ? HIJACK_CHUNKS : 1;
		}
	}
	set_page_attr(bitmap, bitmap_chunk_fpage(bitmap, chunk), BITMAP_PAGE_CLEAN);
	spin_unlock_irqrestore(&bitmap->lock, flags);
	return 0;
}

/* Clears an idle chunk (a whole half for a hijacked counter); lock held. */
static void bitmap_clean_chunk(struct hm_bitmap *bitmap, unsigned long chunk,
			       bitmap_counter_t *bmc, int hijacked)
{
	sector_t offset = (sector_t)chunk << (bitmap->chunkshift - 9);

	*bmc = 0;
	if (!hijacked) {
		bitmap_clear_file_bit(bitmap, chunk);
		bitmap_count_page(bitmap, offset, -1);
	} else {
		unsigned long c = hijack_first_chunk(chunk);
		unsigned long end = c + HIJACK_CHUNKS;
		int cleared = 0;

		if (end > bitmap->chunks)
			end = bitmap->chunks;
		for (; c < end; c++) {
			if (bitmap_test_file_bit(bitmap, c)) {
				bitmap_clear_file_bit(bitmap, c);
				cleared++;
			}
		}
		bitmap_count_page(bitmap, offset, -cleared);
	}
}

/* Writes or marks the page the walk handled last; called with the lock held, drops it. */
static void bitmap_settle_page(struct hm_bitmap *bitmap, struct hm_bitmap_fpage *lastpage,
			       unsigned long flags)
{
	if (test_page_attr(bitmap, lastpage, BITMAP_PAGE_NEEDWRITE)) {
		clear_page_attr(bitmap, lastpage, BITMAP_PAGE_NEEDWRITE);
		spin_unlock_irqrestore(&bitmap->lock, flags);
		write_page(bitmap, lastpage, 0);
	} else {
		set_page_attr(bitmap, lastpage, BITMAP_PAGE_NEEDWRITE);
		spin_unlock_irqrestore(&bitmap->lock, flags);
	}
}

int bitmap_daemon_work(struct hm_bitmap *bitmap)
{
	struct hm_bitmap_fpage *fp, *lastpage = NULL;
	unsigned long j, flags;

	if (!bitmap)
		return 0;
	if (time_before(jiffies, bitmap->daemon_lastrun + bitmap->daemon_sleep))
		return 0;
	bitmap->daemon_lastrun = jiffies;
	if (!bitmap->chunks)
		return 0;

	for (j = 0; j < bitmap->chunks; j++) {
		bitmap_counter_t *bmc;
		int blocks, hijacked;

		spin_lock_irqsave(&bitmap->lock, flags);
		if (!bitmap->filemap || !bitmap->bp) {
			spin_unlock_irqrestore(&bitmap->lock, flags);
			break;
		}
		fp = bitmap_chunk_fpage(bitmap, j);
		if (fp != lastpage) {
			if (!test_page_attr(bitmap, fp, BITMAP_PAGE_CLEAN)) {
				int need_write = test_page_attr(bitmap, fp, BITMAP_PAGE_NEEDWRITE);

				if (need_write)
					clear_page_attr(bitmap, fp, BITMAP_PAGE_NEEDWRITE);
				spin_unlock_irqrestore(&bitmap->lock, flags);
				if (need_write)
					write_page(bitmap, fp, 0);
				/* Nothing else of this page needs a look. */
				j |= BITMAP_PAGE_BITS - 1;
				continue;
			}
			if (lastpage) {
				bitmap_settle_page(bitmap, lastpage, flags);
				spin_lock_irqsave(&bitmap->lock, flags);
			}
			clear_page_attr(bitmap, fp, BITMAP_PAGE_CLEAN);
			lastpage = fp;
		}
		bmc = bitmap_get_counter(bitmap, (sector_t)j << (bitmap->chunkshift - 9), &blocks, 0,
					 &hijacked);
		if (bmc && counter_idle(*bmc)) {
			set_page_attr(bitmap, fp, BITMAP_PAGE_CLEAN);
			bitmap_clean_chunk(bitmap, j, bmc, hijacked);
		}
		spin_unlock_irqrestore(&bitmap->lock, flags);
	}
	if (lastpage) {
		spin_lock_irqsave(&bitmap->lock, flags);
		bitmap_settle_page(bitmap, lastpage, flags);
	}
	return 0;
}
