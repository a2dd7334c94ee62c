/*
 * Resynchronisation: the "hmsync_%s" thread walks the primary, reads every
 * stretch the bitmap marks in units of up to 64 KiB, and the "hmd_%s" thread
 * writes each unit to the mirror with the same pages the read filled.
 *
 * The copy loop runs only in the copy thread; unit reads and writes complete
 * in interrupt context.  The barrier keeps normal I/O out while units are in
 * flight.
 */
#include <linux/kernel.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <linux/bio.h>
#include <linux/blkdev.h>
#include <linux/mm.h>
#include <linux/delay.h>
#include <linux/sched.h>
#include <linux/jiffies.h>

#include "hm.h"
#include "hm_thread.h"
#include "hm_bitmap.h"

#define SYNC_MARKS		10
#define SYNC_MARK_STEP		3000	/* ticks between speed marks */
#define SYNC_CHECK_SECTORS	256
#define UNIT_PAGES		((int)RESYNC_PAGES)

static unsigned int speed_limit_max = SPEED_LIMIT_MAX;

/* Pool callbacks: a unit is a record, one request per member and 16 shared pages. */
static void *hmbuf_pool_alloc(gfp_t gfp_flags, void *data)
{
	struct pool_info *pi = (struct pool_info *)data;
	hmbio_t *unit;
	int i, j;

	unit = (hmbio_t *)kzalloc(sizeof(*unit), gfp_flags);
	if (!unit) {
		if (pi && pi->hmdev)
			unplug_slaves(pi->hmdev);
		return NULL;
	}
	for (i = 0; i < HM_MAX_DISKS; i++) {
		unit->bios[i] = bio_alloc(gfp_flags, RESYNC_PAGES);
		if (!unit->bios[i])
			goto fail;
	}
	for (j = 0; j < UNIT_PAGES; j++) {
		unit->pages[j] = alloc_page(gfp_flags);
		if (!unit->pages[j])
			goto fail;
	}
	return unit;

fail:
	for (j = 0; j < UNIT_PAGES; j++)
		if (unit->pages[j])
			__free_page(unit->pages[j]);
	for (i = 0; i < HM_MAX_DISKS; i++)
		if (unit->bios[i])
			bio_put(unit->bios[i]);
	kfree(unit);
	return NULL;
}

static void hmbuf_pool_free(void *ptr, void *data)
{
	hmbio_t *unit = (hmbio_t *)ptr;
	int i;

	(void)data;
	for (i = 0; i < UNIT_PAGES; i++)
		if (unit->pages[i])
			__free_page(unit->pages[i]);
	for (i = 0; i < HM_MAX_DISKS; i++)
		if (unit->bios[i])
			bio_put(unit->bios[i]);
	kfree(unit);
}

/* Gives a unit back: the members' counts, the pool, the barrier slot. */
static void __put_buf(hmbio_t *unit)
{
	hmdev_t *hmdev = unit->hmdev;
	conf_t *conf = hmdev->priv;
	int i;

	for (i = 0; i < conf->nr_disks && i < HM_MAX_DISKS; i++) {
		hm_rdev_t *rdev = conf->mirrors[i].rdev;

		if (rdev && unit->bios[i] && unit->bios[i]->bi_end_io)
			rdev_dec_pending(rdev, hmdev);
	}
	mempool_free(unit, conf->hmbuf_pool);
	lower_barrier(conf);
}

static void sync_hmbio_put(hmbio_t *unit)
{
	__put_buf(unit);
}

/* The unit's mirror write is not made: its chunks are copied again later. */
static void hm_abandon_unit(hmdev_t *hmdev, hmbio_t *unit)
{
	bitmap_end_sync(hmdev->bitmap, unit, 1);
	sync_hmbio_put(unit);
}

void end_sync_read(struct bio *bio, int error)
{
	hmbio_t *unit = (hmbio_t *)bio->bi_private;
	hmdev_t *hmdev = unit->hmdev;
	conf_t *conf = hmdev->priv;
	int uptodate = test_bit(BIO_UPTODATE, &bio->bi_flags);
	unsigned long flags;

	if (bio->bi_size)
		printk("<1>%s:bio bi_size is not zero, uptodate:%d", __func__, uptodate);
	BUG_ON(unit->bios[HM_PRIMARY] != bio);

	if (!uptodate) {
		hm_error(hmdev, conf->mirrors[HM_PRIMARY].rdev);
		if (atomic_dec_and_test(&unit->remaining))
			__put_buf(unit);
		return;
	}
	atomic_dec(&unit->remaining);
	if (!error) {
		update_ok_sector(hmdev, HM_PRIMARY, unit);
	} else {
		set_bit(HMBIO_ReadError, &unit->state);
		printk("<6>%s failed sector: %llu size: %d\n", __func__,
		       (unsigned long long)unit->sector, unit->sectors);
	}
	set_bit(HMBIO_Uptodate, &unit->state);
	bitmap_start_sync_write(hmdev->bitmap, unit);

	spin_lock_irqsave(&conf->device_lock, flags);
	list_add_tail(&unit->retry_list, &conf->retry_list);
	conf->nr_queued++;
	spin_unlock_irqrestore(&conf->device_lock, flags);
	wake_up(&conf->wait_barrier);
	hm_wakeup_thread(hmdev->thread);
}

void end_sync_write(struct bio *bio, int error)
{
	hmbio_t *unit = (hmbio_t *)bio->bi_private;
	hmdev_t *hmdev = unit->hmdev;
	conf_t *conf = hmdev->priv;
	int uptodate = !error && test_bit(BIO_UPTODATE, &bio->bi_flags);

	if (bio->bi_size)
		printk("<1>%s:bio bi_size is not zero, uptodate:%d", __func__, uptodate);
	if (uptodate) {
		bitmap_end_sync(hmdev->bitmap, unit, 0);
		update_ok_sector(hmdev, HM_MIRROR, unit);
	} else {
		/* Not counted out: the chunks keep their marks for the next copy. */
		hm_error(hmdev, conf->mirrors[HM_MIRROR].rdev);
	}
	if (atomic_dec_and_test(&unit->remaining))
		sync_hmbio_put(unit);
	/* Last touch: stop and unload wait for this count. */
	atomic_dec(&hmdev->sync_pending);
}

/* Called by the "hmd_%s" thread for each unit whose read completed. */
void hm_sync_write(hmdev_t *hmdev, hmbio_t *unit, hm_rdev_t *noted_mirror)
{
	conf_t *conf = hmdev->priv;
	hm_rdev_t *primary = conf->mirrors[HM_PRIMARY].rdev;
	hm_rdev_t *mirror = conf->mirrors[HM_MIRROR].rdev;
	struct bio *wbio;

	if (!test_bit(HMBIO_IsSync, &unit->state))
		return;
	if (!noted_mirror || test_bit(Faulty, &noted_mirror->flags)) {
		hm_abandon_unit(hmdev, unit);
		return;
	}
	if (test_and_clear_bit(HMBIO_ReadError, &unit->state) &&
	    (!primary || test_bit(Faulty, &primary->flags) || rdev_faulty(primary))) {
		hm_abandon_unit(hmdev, unit);
		return;
	}
	if (!mirror || rdev_disabled(mirror) || !mirror->make_request_fn) {
		hm_abandon_unit(hmdev, unit);
		return;
	}
	wbio = unit->bios[HM_MIRROR];
	atomic_set(&unit->remaining, 1);
	atomic_inc(&hmdev->sync_pending);
	mirror->make_request_fn(mirror->queue, wbio);
}

static void sync_bio_reset(struct bio *bio, hmbio_t *unit, hm_rdev_t *rdev, sector_t sector,
			   int rw, bio_end_io_t *end_io)
{
	bio->bi_next = NULL;
	bio->bi_flags |= 1 << BIO_UPTODATE;
	bio->bi_rw = rw;
	bio->bi_vcnt = 0;
	bio->bi_idx = 0;
	bio->bi_size = 0;
	bio->bi_sector = sector;
	bio->bi_bdev = rdev->bdev;
	bio->bi_end_io = end_io;
	bio->bi_private = unit;
}

static int hm_sync_stopping(hmdev_t *hmdev)
{
	return test_bit(HM_SYNC_ERR, &hmdev->flags) || test_bit(HM_SYNC_INTR, &hmdev->flags) ||
	       test_bit(HM_DEV_LOCKED, &hmdev->flags) || test_bit(HM_DEV_STOPPED, &hmdev->flags);
}

/*
 * One step of the copy at @sector_nr.  Returns the sectors it covers (0: no
 * progress) and sets *skipped when they needed no copy.
 */
static sector_t sync_request(hmdev_t *hmdev, sector_t sector_nr, int *skipped)
{
	conf_t *conf = hmdev->priv;
	struct hm_bitmap *bitmap = hmdev->bitmap;
	sector_t max_sector = hmdev->resync_max_sectors;
	hm_rdev_t *rdev;
	hmbio_t *unit;
	struct bio *bio;
	int sync_blocks = 0, nr_sectors = 0, len = 0, i;
	const char *reason = "end of disk";

	*skipped = 0;
	if (!bitmap) {
		set_bit(HM_SYNC_ERR, &hmdev->flags);
		return 0;
	}
	if (!bitmap_start_sync(bitmap, sector_nr, &sync_blocks)) {
		*skipped = 1;
		return sync_blocks > 0 ? sync_blocks : 1;
	}
	if (atomic_read(&hmdev->sync_pending) >= 48 && HM_ONCE(conf->nr_waiting))
		schedule_timeout_uninterruptible(1);

	raise_barrier(conf);
	unit = (hmbio_t *)mempool_alloc(conf->hmbuf_pool, GFP_NOIO);
	if (!unit) {
		printk("<1>failed mempool hmbuf\n");
		lower_barrier(conf);
		set_bit(HM_SYNC_ERR, &hmdev->flags);
		return 0;
	}
	unit->hmdev = hmdev;
	unit->state = 0;
	unit->sector = sector_nr;
	unit->sectors = 0;
	INIT_LIST_HEAD(&unit->retry_list);
	set_bit(HMBIO_IsSync, &unit->state);
	unit->read_disk = HM_PRIMARY;

	for (i = 0; i < HM_MAX_DISKS; i++) {
		bio = unit->bios[i];
		rdev = i < conf->nr_disks ? conf->mirrors[i].rdev : NULL;
		if (!rdev || !rdev->bdev) {
			bio->bi_end_io = NULL;
			continue;
		}
		if (i == HM_PRIMARY)
			sync_bio_reset(bio, unit, rdev, sector_nr, READ, end_sync_read);
		else
			sync_bio_reset(bio, unit, rdev, sector_nr, WRITE, end_sync_write);
		atomic_inc(&rdev->nr_pending);
	}

	{
		sector_t s = sector_nr;
		int npages = 0;

		do {
			len = PAGE_SIZE;
			if (s + (PAGE_SIZE >> 9) > max_sector)
				len = (int)(max_sector - s) << 9;
			if (len == 0) {
				reason = "end of disk";
				break;
			}
			if (sync_blocks == 0) {
				if (!bitmap_start_sync(bitmap, s, &sync_blocks)) {
					reason = "bitmap start sync";
					break;
				}
			}
			if ((len >> 9) > sync_blocks)
				len = sync_blocks << 9;
			for (i = 0; i < HM_MAX_DISKS; i++) {
				bio = unit->bios[i];
				if (!bio->bi_end_io)
					continue;
				if (bio_add_page(bio, unit->pages[npages], len, 0) != len) {
					int k;

					/* Take the page back from the requests that took it. */
					for (k = 0; k < i; k++) {
						struct bio *b = unit->bios[k];

						if (!b->bi_end_io)
							continue;
						b->bi_vcnt--;
						b->bi_size -= len;
					}
					reason = "bio full";
					len = 0;
					break;
				}
			}
			if (len == 0)
				break;
			nr_sectors += len >> 9;
			sync_blocks -= len >> 9;
			s += len >> 9;
			npages++;
		} while (npages < UNIT_PAGES);
	}

	unit->sectors = nr_sectors;
	bio = unit->bios[HM_PRIMARY];
	if (bio->bi_end_io && bio->bi_size) {
		atomic_set(&unit->remaining, 1);
		hm_generic_make_request(conf, bio);
		return nr_sectors;
	}
	printk("<1>%s skip bio : %llu %d len: %d sync_blocks: %u %s\n", __func__,
	       (unsigned long long)sector_nr, nr_sectors, len, (unsigned int)sync_blocks, reason);
	__put_buf(unit);
	*skipped = 1;
	return sync_blocks > 0 ? sync_blocks : 0;
}

static int hm_sync_allowed(hmdev_t *hmdev)
{
	conf_t *conf = hmdev->priv;
	hm_rdev_t *primary, *mirror;

	if (!conf || !hmdev->bitmap || conf->nr_disks < 2)
		return 0;
	primary = conf->mirrors[HM_PRIMARY].rdev;
	mirror = conf->mirrors[HM_MIRROR].rdev;
	if (!primary || !mirror)
		return 0;
	if (hm_sync_stopping(hmdev))
		return 0;
	if (test_bit(Faulty, &primary->flags))
		return 0;
	if (test_bit(Faulty, &mirror->flags) || test_bit(Locked, &mirror->flags))
		return 0;
	/*
	 * A primary found again passes writes unrecorded until hmdev_run hooks
	 * its queue (HM_DEV_FOUND) and until the hmd thread has marked every
	 * chunk for the time it was lost (mark_all): a copy before that could
	 * call a chunk clean under a write it never saw.
	 */
	if (atomic_read(&hmdev->lost) || test_bit(HM_DEV_LOST, &hmdev->flags) ||
	    test_bit(HM_DEV_FOUND, &hmdev->flags) || atomic_read(&hmdev->mark_all))
		return 0;
	return 1;
}

static int hm_sync_kind(hmdev_t *hmdev)
{
	unsigned long flags;
	int go = 0;

	spin_lock_irqsave(&hmdev->lock, flags);
	if (test_bit(HM_INITIALIZE_ON, &hmdev->flags) || test_bit(HM_RECOVERY_ON, &hmdev->flags)) {
		go = 1;
	} else if (test_bit(HM_INITIALIZE_FINISHED, &hmdev->flags) &&
		   test_bit(HM_RECOVERY_NEEDED, &hmdev->flags)) {
		clear_bit(HM_RECOVERY_NEEDED, &hmdev->flags);
		set_bit(HM_RECOVERY_ON, &hmdev->flags);
		go = 1;
	}
	spin_unlock_irqrestore(&hmdev->lock, flags);
	return go;
}

static unsigned int sync_speed_cap(hmdev_t *hmdev)
{
	return hmdev->sync_speed_max ? (unsigned int)hmdev->sync_speed_max : speed_limit_max;
}

static void hm_sync_finish(hmdev_t *hmdev)
{
	hm_rdev_t *primary = hm_primary(hmdev);
	const char *name = primary ? primary->dev_name : "";
	unsigned long flags;

	hmdev->curr_resync = 0;
	if (hm_sync_stopping(hmdev)) {
		printk("<1>%s %s stop: %lx\n", __func__, name, hmdev->flags);
		return;
	}
	printk("<6>%s %s finished\n", __func__, name);
	spin_lock_irqsave(&hmdev->lock, flags);
	if (test_bit(HM_INITIALIZE_ON, &hmdev->flags)) {
		clear_bit(HM_INITIALIZE_ON, &hmdev->flags);
		set_bit(HM_INITIALIZE_FINISHED, &hmdev->flags);
		spin_unlock_irqrestore(&hmdev->lock, flags);
		printk("<6>%s sync finished\n", __func__);
		bitmap_set_init_state(hmdev->bitmap, BITMAP_INITIALIZE_FINISHED);
		printk("<1>%s:Finished to update bitmap sb.", __func__);
		return;
	}
	if (test_bit(HM_RECOVERY_ON, &hmdev->flags)) {
		clear_bit(HM_RECOVERY_ON, &hmdev->flags);
		printk("<6>%s recovery finished\n", __func__);
		set_bit(HM_RECOVERY_FINISHED, &hmdev->flags);
	}
	spin_unlock_irqrestore(&hmdev->lock, flags);
}

/*
 * Waits until every normal request in flight has ended.  A write that
 * skipped the mirror marks its chunks NEEDED only when it ends, so the copy
 * must not judge a chunk before the writes that began while the mirror was
 * away have ended: raising the barrier waits for them, as md's does.
 */
static void hm_sync_drain_writes(conf_t *conf)
{
	raise_barrier(conf);
	lower_barrier(conf);
}

static unsigned long hm_chunks_needed(hmdev_t *hmdev)
{
	struct hm_bitmap *bitmap = hmdev->bitmap;
	unsigned long flags, needed = 0;

	if (bitmap) {
		spin_lock_irqsave(&bitmap->lock, flags);
		needed = bitmap->chunk_needed;
		spin_unlock_irqrestore(&bitmap->lock, flags);
	}
	return needed;
}

/*
 * At the end of a pass, with its units ended: whether to walk the disk
 * again before calling the copy finished.  Chunks marked behind the scan
 * (a write that missed the mirror, an abandoned unit) raise
 * HM_RECOVERY_NEEDED; a pass that lowered chunk_needed without reaching 0
 * goes round again too (one that made no progress would only repeat).
 */
static int hm_sync_again(hmdev_t *hmdev, unsigned long needed_before)
{
	unsigned long needed;

	if (!hm_sync_allowed(hmdev))
		return 0;
	hm_sync_drain_writes(hmdev->priv);
	if (test_and_clear_bit(HM_RECOVERY_NEEDED, &hmdev->flags))
		return 1;
	needed = hm_chunks_needed(hmdev);
	return needed && needed < needed_before;
}

/*
 * The loop is off.  A release of a failed member refuses while it is on and
 * is tried again by the next pass of the hmd thread: make that pass now
 * rather than at the thread's next timeout.
 */
static void hm_sync_off(hmdev_t *hmdev)
{
	hm_rdev_t *primary = hm_primary(hmdev), *mirror = hm_mirror(hmdev);

	atomic_set(&hmdev->sync_on, 0);
	smp_mb();
	if ((primary && test_bit(Faulty, &primary->flags)) ||
	    (mirror && test_bit(Faulty, &mirror->flags)))
		hm_wakeup_thread(hmdev->thread);
}

void hm_do_sync(hmdev_t *hmdev)
{
	conf_t *conf = hmdev->priv;
	unsigned long mark[SYNC_MARKS];
	sector_t mark_cnt[SYNC_MARKS];
	sector_t max_sectors, j, io_sectors = 0, last_check = 0;
	unsigned long needed_before;
	int last_mark = 0, m;

	/*
	 * On before the members are looked at: a release that found the loop
	 * off has marked its member Faulty first, so the look below sees it.
	 */
	atomic_set(&hmdev->sync_on, 1);
	smp_mb();
	if (!hm_sync_allowed(hmdev) || !hm_sync_kind(hmdev)) {
		hm_sync_off(hmdev);
		return;
	}
	if (!conf->hmbuf_pool) {
		conf->hmbuf_pool = mempool_create(RESYNC_POOL, hmbuf_pool_alloc, hmbuf_pool_free,
						  conf->poolinfo);
		if (!conf->hmbuf_pool) {
			atomic_set(&hmdev->start_sync, 0);
			hm_sync_off(hmdev);
			return;
		}
	}
	max_sectors = hmdev->resync_max_sectors;
	printk("<1>sync start, max_sectors:%llu\n", (unsigned long long)max_sectors);
	if (atomic_read(&hmdev->sync_pending))
		printk("<3>sync going on: %d\n", atomic_read(&hmdev->sync_pending));

	for (m = 0; m < SYNC_MARKS; m++) {
		mark[m] = jiffies;
		mark_cnt[m] = 0;
	}
	/*
	 * The speed is measured from this run's start: marks left by an earlier
	 * run (or none at all) would let the copy go uncapped until the first
	 * slot change.
	 */
	hmdev->resync_mark = mark[0];
	hmdev->resync_mark_cnt = 0;

	hm_sync_drain_writes(conf);
	/* What the writes just drained marked lies ahead of the scan. */
	clear_bit(HM_RECOVERY_NEEDED, &hmdev->flags);
again:
	j = 0;
	needed_before = hm_chunks_needed(hmdev);
	while (j < max_sectors) {
		int skipped;
		sector_t step = sync_request(hmdev, j, &skipped);

		if (step == 0) {
			set_bit(HM_SYNC_ERR, &hmdev->flags);
			break;
		}
		j += step;
		if (!skipped)
			io_sectors += step;
		if (j > 1)
			hmdev->curr_resync = j;
		hmdev->curr_mark_cnt = io_sectors;

		if (io_sectors < last_check + SYNC_CHECK_SECTORS) {
			/* Skipped stretches still see a stop at once. */
			if (skipped && hm_sync_stopping(hmdev))
				break;
			continue;
		}
		if (hm_sync_stopping(hmdev))
			break;
		for (;;) {
			unsigned long now = jiffies;
			unsigned int speed;

			if (time_after_eq(now, mark[last_mark] + SYNC_MARK_STEP)) {
				int next = (last_mark + 1) % SYNC_MARKS;

				hmdev->resync_mark = mark[next];
				hmdev->resync_mark_cnt = mark_cnt[next];
				mark[next] = now;
				mark_cnt[next] = io_sectors - atomic_read(&hmdev->sync_pending);
				last_mark = next;
			}
			cond_resched();
			speed = (unsigned int)(((io_sectors - hmdev->resync_mark_cnt) / 2) /
					       ((now - hmdev->resync_mark) / 1000 + 1) + 1);
			if (speed > sync_speed_cap(hmdev) && !hm_sync_stopping(hmdev)) {
				msleep(500);
				continue;
			}
			break;
		}
		last_check = io_sectors;
	}
	/* Units still in flight finish before the run is declared done. */
	while (atomic_read(&hmdev->sync_pending) || HM_ONCE(conf->barrier))
		schedule_timeout_uninterruptible(1);
	if (hm_sync_again(hmdev, needed_before)) {
		printk("<6>%s %s chunks marked behind the copy, copying again\n", __func__,
		       hm_primary(hmdev) ? hm_primary(hmdev)->dev_name : "");
		goto again;
	}
	hm_sync_finish(hmdev);
	hm_sync_off(hmdev);
	atomic_set(&hmdev->start_sync, 0);
}

void set_sync_speed_max(hmdev_t *hmdev, unsigned int speed)
{
	hmdev->sync_speed_max = (int)speed;
}

unsigned int curr_speed(hmdev_t *hmdev)
{
	unsigned long secs;

	if (!hmdev->curr_resync)
		return 0;
	secs = (jiffies - hmdev->resync_mark) / 1000;
	if (!secs)
		secs = 1;
	return (unsigned int)(((hmdev->curr_mark_cnt - hmdev->resync_mark_cnt) / 2) / secs);
}
