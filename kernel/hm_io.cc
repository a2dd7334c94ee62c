/*
 * The request path: reads go to the primary; writes are counted in the
 * bitmap, cloned to every usable member and queued for the "hmd_%s" thread,
 * which sends them once the bitmap pages that cover them are on disk.  The
 * mirror refuses every other I/O while guarded, except the liveness read.
 *
 * hm_make_request and mirror_make_request run in the submitter's context and
 * sleep only in wait_barrier and the pool allocation; completions run in
 * interrupt context and never sleep.  No lock is held across I/O.
 */
#include <linux/kernel.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <linux/bio.h>
#include <linux/blkdev.h>
#include <linux/mm.h>
#include <linux/sched.h>

#include "hm.h"
#include "hm_thread.h"
#include "hm_bitmap.h"

/* Pool callbacks: records for master requests. */
void *hmbio_pool_alloc(gfp_t gfp_flags, void *data)
{
	struct pool_info *pi = (struct pool_info *)data;
	hmbio_t *hmbio;

	hmbio = (hmbio_t *)kzalloc(sizeof(*hmbio), gfp_flags);
	if (!hmbio && pi && pi->hmdev)
		unplug_slaves(pi->hmdev);
	return hmbio;
}

void hmbio_pool_free(void *hmbio, void *data)
{
	(void)data;
	kfree(hmbio);
}

void unplug_slaves(hmdev_t *hmdev)
{
	conf_t *conf = hmdev->priv;
	unsigned long flags;
	int i;

	if (!conf)
		return;
	spin_lock_irqsave(&conf->device_lock, flags);
	for (i = 0; i < hmdev->hm_disks && i < HM_MAX_DISKS; i++) {
		hm_rdev_t *rdev = conf->mirrors[i].rdev;
		struct request_queue *q;

		if (!rdev || test_bit(Faulty, &rdev->flags) || !atomic_read(&rdev->nr_pending))
			continue;
		atomic_inc(&rdev->nr_pending);
		spin_unlock_irqrestore(&conf->device_lock, flags);
		q = rdev->queue;
		if (q && q->unplug_fn)
			q->unplug_fn(q);
		spin_lock_irqsave(&conf->device_lock, flags);
		atomic_dec(&rdev->nr_pending);
	}
	spin_unlock_irqrestore(&conf->device_lock, flags);
}

void hm_unplug(struct request_queue *q)
{
	hmdev_t *hmdev = (hmdev_t *)q->queuedata;

	if (!hmdev)
		return;
	hm_wakeup_thread(hmdev->thread);
	unplug_slaves(hmdev);
}

void hm_blk_plug_device(conf_t *conf)
{
	unplug_slaves(conf->hmdev);
	hm_wakeup_thread(conf->hmdev->thread);
}

/* The barrier between normal I/O and copy units. */
void wait_barrier(conf_t *conf)
{
	spin_lock_irq(&conf->resync_lock);
	if (conf->barrier) {
		conf->nr_waiting++;
		while (conf->barrier) {
			spin_unlock_irq(&conf->resync_lock);
			hm_unplug(conf->hmdev->queue);
			wait_event(conf->wait_barrier, !HM_ONCE(conf->barrier));
			spin_lock_irq(&conf->resync_lock);
		}
		conf->nr_waiting--;
	}
	conf->nr_pending++;
	spin_unlock_irq(&conf->resync_lock);
}

void allow_barrier(conf_t *conf)
{
	unsigned long flags;

	spin_lock_irqsave(&conf->resync_lock, flags);
	conf->nr_pending--;
	spin_unlock_irqrestore(&conf->resync_lock, flags);
	wake_up(&conf->wait_barrier);
}

void raise_barrier(conf_t *conf)
{
	spin_lock_irq(&conf->resync_lock);
	while (conf->nr_waiting) {
		spin_unlock_irq(&conf->resync_lock);
		hm_unplug(conf->hmdev->queue);
		wait_event(conf->wait_barrier, !HM_ONCE(conf->nr_waiting));
		spin_lock_irq(&conf->resync_lock);
	}
	conf->barrier++;
	while (conf->nr_pending || conf->barrier >= RESYNC_DEPTH) {
		spin_unlock_irq(&conf->resync_lock);
		hm_unplug(conf->hmdev->queue);
		wait_event(conf->wait_barrier,
			   !HM_ONCE(conf->nr_pending) && HM_ONCE(conf->barrier) < RESYNC_DEPTH);
		spin_lock_irq(&conf->resync_lock);
	}
	spin_unlock_irq(&conf->resync_lock);
}

void lower_barrier(conf_t *conf)
{
	unsigned long flags;

	spin_lock_irqsave(&conf->resync_lock, flags);
	conf->barrier--;
	spin_unlock_irqrestore(&conf->resync_lock, flags);
	wake_up(&conf->wait_barrier);
}

void update_ok_sector(hmdev_t *hmdev, int disk, hmbio_t *hmbio)
{
	hm_rdev_t *rdev = hmdev->priv->mirrors[disk].rdev;

	if (rdev) {
		rdev->ok_sector = hmbio->sector;
		rdev->ok_time = jiffies;
	}
}

void rdev_dec_pending(hm_rdev_t *rdev, hmdev_t *hmdev)
{
	BUG_ON(!rdev);
	if (atomic_dec_and_test(&rdev->nr_pending) && test_bit(Faulty, &rdev->flags)) {
		set_bit(HM_RECOVERY_NEEDED, &hmdev->flags);
		hm_wakeup_thread(hmdev->thread);
	}
}

void free_hmbio(hmbio_t *hmbio)
{
	hmdev_t *hmdev = hmbio->hmdev;
	conf_t *conf = hmdev->priv;
	int i;

	for (i = 0; i < conf->nr_disks && i < HM_MAX_DISKS; i++) {
		if (hmbio->bios[i]) {
			bio_put(hmbio->bios[i]);
			hmbio->bios[i] = NULL;
		}
	}
	mempool_free(hmbio, conf->hmbio_pool);
	allow_barrier(conf);
}

void hm_end_bio_io(hmbio_t *hmbio)
{
	hmdev_t *hmdev = hmbio->hmdev;
	struct bio *bio = hmbio->master_bio;

	if (!test_and_set_bit(HMBIO_Returned, &hmbio->state)) {
		if (test_bit(HMBIO_Uptodate, &hmbio->state) && !atomic_read(&hmdev->lost)) {
			bio_endio(bio, 0);
		} else {
			bio->bi_size = 0;
			bio_endio(bio, -EIO);
		}
	}
	free_hmbio(hmbio);
	/* Last touch: stop and unload wait for this count to reach 0. */
	atomic_dec(&hmdev->hmbio_pending);
}

/*
 * Writes @signature little-endian into bytes 440-443 of the request's data,
 * wherever in its segments those bytes lie.  Returns the bytes written.
 */
int hm_stamp_signature(struct bio *bio, uint32_t signature)
{
	unsigned int pos = 0, done = 0;
	struct bio_vec *bvec;
	int i;

	bio_for_each_segment(bvec, bio, i) {
		unsigned int len = bvec->bv_len;

		if (pos + len > 440 && pos < 444) {
			char *base = (char *)page_address(bvec->bv_page);
			unsigned int b;

			if (!base) {
				printk("<1>%s paddr: %p\n", __func__, (void *)base);
				return done;
			}
			for (b = (pos < 440 ? 440 : pos); b < 444 && b < pos + len; b++) {
				base[bvec->bv_offset + (b - pos)] = (char)(signature >> (8 * (b - 440)));
				done++;
			}
		}
		pos += len;
		if (pos >= 444)
			break;
	}
	return done;
}

static hmbio_t *hmbio_get(hmdev_t *hmdev, struct bio *bio)
{
	conf_t *conf = hmdev->priv;
	hmbio_t *hmbio;

	hmbio = (hmbio_t *)mempool_alloc(conf->hmbio_pool, GFP_NOIO);
	if (!hmbio)
		return NULL;
	memset(hmbio, 0, sizeof(*hmbio));
	hmbio->master_bio = bio;
	hmbio->sector = bio->bi_sector;
	hmbio->sectors = bio->bi_size >> 9;
	hmbio->hmdev = hmdev;
	return hmbio;
}

static void hm_fail_bio(struct bio *bio)
{
	bio->bi_size = 0;
	bio_endio(bio, -EIO);
}

/* Ends a request that never got a record; it was counted in by the look-up. */
static void hm_fail_uncounted(hmdev_t *hmdev, struct bio *bio)
{
	hm_fail_bio(bio);
	atomic_dec(&hmdev->hmbio_pending);
}

/*
 * A request that looked the protection up as a stop gave the queue back:
 * the disk is unprotected now, so it goes to the primary's own function.
 */
static void hm_pass_to_primary(hmdev_t *hmdev, struct bio *bio)
{
	conf_t *conf = hmdev->priv;
	make_request_fn *fn = NULL;
	struct request_queue *q = NULL;
	hm_rdev_t *primary;
	unsigned long flags;

	spin_lock_irqsave(&conf->device_lock, flags);
	primary = conf->mirrors[HM_PRIMARY].rdev;
	if (primary && primary->bdev && primary->make_request_fn) {
		fn = primary->make_request_fn;
		q = primary->queue;
	}
	spin_unlock_irqrestore(&conf->device_lock, flags);
	if (fn)
		fn(q, bio);
	else
		hm_fail_bio(bio);
	atomic_dec(&hmdev->hmbio_pending);
}

static int hm_make_read(hmdev_t *hmdev, struct bio *bio)
{
	conf_t *conf = hmdev->priv;
	hm_rdev_t *primary;
	struct block_device *bdev = NULL;
	struct request_queue *q = NULL;
	make_request_fn *fn = NULL;
	struct bio *read_bio;
	unsigned long flags;
	hmbio_t *hmbio;

	wait_barrier(conf);
	hmbio = hmbio_get(hmdev, bio);
	if (!hmbio) {
		allow_barrier(conf);
		hm_fail_uncounted(hmdev, bio);
		return 0;
	}
	hmdev->lst_rio_time = jiffies;
	hmbio->read_disk = HM_PRIMARY;
	/* Counted in while the device is read: a release waits for the count. */
	spin_lock_irqsave(&conf->device_lock, flags);
	primary = conf->mirrors[HM_PRIMARY].rdev;
	if (primary && primary->bdev && primary->make_request_fn) {
		bdev = primary->bdev;
		q = primary->queue;
		fn = primary->make_request_fn;
		atomic_inc(&primary->nr_pending);
	}
	spin_unlock_irqrestore(&conf->device_lock, flags);
	if (!bdev) {
		hm_end_bio_io(hmbio);
		return 0;
	}
	read_bio = bio_clone(bio, GFP_NOIO);
	if (!read_bio) {
		rdev_dec_pending(primary, hmdev);
		hm_end_bio_io(hmbio);
		return 0;
	}
	read_bio->bi_bdev = bdev;
	read_bio->bi_rw = READ;
	read_bio->bi_end_io = hm_end_read_request;
	read_bio->bi_private = hmbio;
	hmbio->bios[HM_PRIMARY] = read_bio;
	fn(q, read_bio);
	return 0;
}

static int hm_make_write(hmdev_t *hmdev, struct bio *bio)
{
	conf_t *conf = hmdev->priv;
	struct bio_list clones;
	hm_rdev_t *targets[HM_MAX_DISKS] = { NULL, NULL };
	hm_rdev_t *primary;
	unsigned long flags;
	hmbio_t *hmbio;
	int i, ntargets = 0;

	wait_barrier(conf);
	hmbio = hmbio_get(hmdev, bio);
	if (!hmbio) {
		allow_barrier(conf);
		hm_fail_uncounted(hmdev, bio);
		return 0;
	}

	primary = conf->mirrors[HM_PRIMARY].rdev;
	if (bio->bi_sector == 0 && bio->bi_size && primary) {
		uint32_t signature = primary->vid.mbp_volumeid.signature;

		printk("<1>%s bi_sector: %llu bdev: %d signature: %x\n", __func__, 0ULL,
		       (int)primary->dev, signature);
		hm_stamp_signature(bio, signature);
	}
	hmdev->lst_wio_time = jiffies;

	spin_lock_irqsave(&conf->device_lock, flags);
	for (i = 0; i < conf->nr_disks && i < HM_MAX_DISKS; i++) {
		hm_rdev_t *rdev = conf->mirrors[i].rdev;

		if (rdev_disabled(rdev)) {
			set_bit(HMBIO_Degraded, &hmbio->state);
			continue;
		}
		atomic_inc(&rdev->nr_pending);
		targets[i] = rdev;
	}
	if (conf->nr_disks < 2)
		set_bit(HMBIO_Degraded, &hmbio->state);
	spin_unlock_irqrestore(&conf->device_lock, flags);

	bio_list_init(&clones);
	atomic_set(&hmbio->remaining, 0);
	for (i = 0; i < HM_MAX_DISKS; i++) {
		struct bio *mbio;

		if (!targets[i])
			continue;
		mbio = bio_clone(bio, GFP_NOIO);
		if (!mbio) {
			set_bit(HMBIO_Degraded, &hmbio->state);
			rdev_dec_pending(targets[i], hmdev);
			continue;
		}
		if (!targets[i]->bdev->bd_contains) {
			printk("<1>%s bd_contains is null\n", __func__);
			targets[i]->bdev->bd_contains = targets[i]->bdev;
		}
		mbio->bi_bdev = targets[i]->bdev;
		mbio->bi_rw = bio->bi_rw;
		mbio->bi_end_io = hm_end_write_request;
		mbio->bi_private = hmbio;
		hmbio->bios[i] = mbio;
		atomic_inc(&hmbio->remaining);
		bio_list_add(&clones, mbio);
		ntargets++;
	}

	if (!ntargets) {
		printk("<1>%s no io\n", __func__);
		/* Ends with EIO: the uptodate bit is not set. */
		hm_end_bio_io(hmbio);
		return 0;
	}

	bitmap_startwrite(hmdev->bitmap, hmbio->sector, hmbio->sectors);

	spin_lock_irqsave(&conf->device_lock, flags);
	bio_list_merge(&conf->pending_bio_list, &clones);
	hmbio->start_time = jiffies;
	spin_unlock_irqrestore(&conf->device_lock, flags);

	hm_blk_plug_device(conf);
	return 0;
}

int hm_make_request(struct request_queue *q, struct bio *bio)
{
	dev_t dev = bio_whole_dev(bio);
	hmdev_t *hmdev;

	(void)q;
	hmdev = hmdev_find_by_unit(dev);
	if (!hmdev || !hmdev->priv) {
		printk("<1>%s wrong, hmdev:%x not found rw: %lubi_sector: %llu size: %d blk: %p "
		       "p_blk: %p\n", __func__, (unsigned int)dev, (unsigned long)bio->bi_rw,
		       (unsigned long long)bio->bi_sector, (int)bio->bi_size, (void *)bio->bi_bdev,
		       (void *)bio->bi_bdev->bd_contains);
		if (hmdev) {
			hm_fail_uncounted(hmdev, bio);
			hmdev_put(hmdev);
		} else {
			hm_fail_bio(bio);
		}
		return 0;
	}
	/*
	 * After the count above: a stop that set the bit and then saw nothing
	 * in flight has gone on to remove the protection.
	 */
	smp_mb();
	if (test_bit(HM_DEV_STOPPED, &hmdev->flags)) {
		hm_pass_to_primary(hmdev, bio);
		hmdev_put(hmdev);
		return 0;
	}
	if (bio_data_dir(bio) == WRITE)
		hm_make_write(hmdev, bio);
	else
		hm_make_read(hmdev, bio);
	hmdev_put(hmdev);
	return 0;
}

int mirror_make_request(struct request_queue *q, struct bio *bio)
{
	dev_t dev = bio_whole_dev(bio);
	hm_rdev_t *mirror;
	hmdev_t *hmdev;
	make_request_fn *fn;
	int ret = 0;

	hmdev = hmdev_find_by_mirror(dev);
	if (!hmdev) {
		printk("<1>%s Cannot find the hmdev with disk '%x'", __func__, (unsigned int)dev);
		hm_fail_bio(bio);
		return 0;
	}
	mirror = hm_mirror(hmdev);
	if (!mirror) {
		printk("<1>%s There's no mirror\n", __func__);
		hm_fail_bio(bio);
		goto out;
	}
	if (atomic_read(&mirror->io_forbid)) {
		printk("<7>%s disk %s io forbidden start sector:%lu residual io:%u\n", __func__,
		       mirror->dev_name, (unsigned long)bio->bi_sector, (unsigned int)bio->bi_size);
		if (bio_data_dir(bio) == WRITE || bio->bi_sector != mirror->allow_to_test ||
		    bio->bi_size != 512) {
			hm_fail_bio(bio);
			goto out;
		}
	}
	fn = mirror->make_request_fn;
	if (!fn) {
		hm_fail_bio(bio);
		goto out;
	}
	ret = fn(q, bio);
out:
	hmdev_put(hmdev);
	return ret;
}

static int bio_member_slot(hmbio_t *hmbio, struct bio *bio)
{
	return hmbio->bios[HM_PRIMARY] == bio ? HM_PRIMARY : HM_MIRROR;
}

/*
 * Ends one write clone.  @skipped: the clone was never sent because the
 * mirror was locked or already failed; the chunks stay dirty but the member
 * is not failed for it.
 */
static void __hm_end_write(struct bio *bio, int error, int skipped)
{
	hmbio_t *hmbio = (hmbio_t *)bio->bi_private;
	hmdev_t *hmdev = hmbio->hmdev;
	conf_t *conf = hmdev->priv;
	int uptodate = !skipped && !error && test_bit(BIO_UPTODATE, &bio->bi_flags);
	int slot = bio_member_slot(hmbio, bio);
	hm_rdev_t *rdev = conf->mirrors[slot].rdev;
	hm_rdev_t *mirror = conf->mirrors[HM_MIRROR].rdev;

	if (bio->bi_size && !skipped)
		printk("<1>%s:bio bi_size is not zero, uptodate:%d", __func__, uptodate);
	hmbio->bios[slot] = NULL;

	if (uptodate) {
		update_ok_sector(hmdev, slot, hmbio);
		if (slot == HM_PRIMARY)
			set_bit(HMBIO_Uptodate, &hmbio->state);
	} else {
		if (!skipped)
			hm_error(hmdev, rdev);
		set_bit(HMBIO_Degraded, &hmbio->state);
	}
	if (test_bit(HMBIO_Degraded, &hmbio->state) && mirror && test_bit(Locked, &mirror->flags))
		set_bit(HM_RECOVERY_NEEDED, &hmdev->flags);
	rdev_dec_pending(rdev, hmdev);

	if (atomic_dec_and_test(&hmbio->remaining)) {
		bitmap_endwrite(hmdev->bitmap, hmbio->sector, hmbio->sectors,
				!test_bit(HMBIO_Degraded, &hmbio->state));
		hm_end_bio_io(hmbio);
	}
	bio_put(bio);
}

void hm_end_write_request(struct bio *bio, int error)
{
	__hm_end_write(bio, error, 0);
}

void hm_end_read_request(struct bio *bio, int error)
{
	hmbio_t *hmbio = (hmbio_t *)bio->bi_private;
	hmdev_t *hmdev = hmbio->hmdev;
	hm_rdev_t *rdev = hmdev->priv->mirrors[HM_PRIMARY].rdev;
	int uptodate = !error && test_bit(BIO_UPTODATE, &bio->bi_flags);

	if (bio->bi_size)
		printk("<1>%s:bio bi_size is not zero, uptodate:%d", __func__, uptodate);
	if (uptodate) {
		set_bit(HMBIO_Uptodate, &hmbio->state);
		update_ok_sector(hmdev, HM_PRIMARY, hmbio);
	} else {
		hm_error(hmdev, rdev);
		set_bit(HMBIO_Degraded, &hmbio->state);
	}
	rdev_dec_pending(rdev, hmdev);
	hm_end_bio_io(hmbio);
}

void hm_generic_make_request(conf_t *conf, struct bio *bio)
{
	hm_rdev_t *primary = conf->mirrors[HM_PRIMARY].rdev;
	hm_rdev_t *mirror = conf->mirrors[HM_MIRROR].rdev;
	dev_t dev = bio->bi_bdev->bd_dev;

	if (primary && dev == primary->dev) {
		if (test_bit(Faulty, &primary->flags) || !primary->make_request_fn) {
			bio_endio(bio, -EIO);
			return;
		}
		primary->make_request_fn(primary->queue, bio);
		return;
	}
	if (mirror && dev == mirror->dev && !test_bit(Faulty, &mirror->flags) &&
	    mirror->make_request_fn) {
		mirror->make_request_fn(mirror->queue, bio);
		return;
	}
	bio->bi_size = 0;
	bio_endio(bio, -EIO);
}

/* Sends the clones queued so far, after their bitmap pages are on disk. */
static void hm_flush_pending_writes(hmdev_t *hmdev, struct bio *bio, hm_rdev_t *noted_mirror)
{
	conf_t *conf = hmdev->priv;
	int mirror_off = !noted_mirror || test_bit(Faulty, &noted_mirror->flags) ||
			 test_bit(Locked, &noted_mirror->flags);

	bitmap_unplug(hmdev->bitmap);
	while (bio) {
		struct bio *next = bio->bi_next;
		hmbio_t *hmbio = (hmbio_t *)bio->bi_private;

		bio->bi_next = NULL;
		if (mirror_off && hmbio->bios[HM_MIRROR] == bio)
			__hm_end_write(bio, -EIO, 1);
		else
			hm_generic_make_request(conf, bio);
		bio = next;
	}
}

void hm_workd(hmdev_t *hmdev)
{
	conf_t *conf = hmdev->priv;
	hm_rdev_t *primary, *mirror;
	unsigned long flags;
	int mark_all;

	if (!conf)
		return;
	mirror = conf->mirrors[HM_MIRROR].rdev;
	primary = conf->mirrors[HM_PRIMARY].rdev;

	bitmap_daemon_work(hmdev->bitmap);
	mark_all = atomic_read(&hmdev->mark_all);
	if (mark_all) {
		bitmap_mark_all_needed(hmdev->bitmap);
		/* A loss meanwhile keeps it above 0: marked again next pass. */
		atomic_sub(mark_all, &hmdev->mark_all);
	}
	/*
	 * A control operation holding the lock may be waiting for this thread
	 * to drain the writes below; the release waits for its unlock, which
	 * wakes this thread again.
	 */
	if (((primary && test_bit(Faulty, &primary->flags)) ||
	     (mirror && test_bit(Faulty, &mirror->flags))) &&
	    mutex_trylock(&hmdev->reconfig_mutex)) {
		if (primary && test_bit(Faulty, &primary->flags))
			rdev_release(hmdev, primary);
		if (mirror && test_bit(Faulty, &mirror->flags))
			rdev_release(hmdev, mirror);
		mutex_unlock(&hmdev->reconfig_mutex);
	}

	for (;;) {
		spin_lock_irqsave(&conf->device_lock, flags);
		if (!bio_list_empty(&conf->pending_bio_list)) {
			struct bio *bio = bio_list_get(&conf->pending_bio_list);

			spin_unlock_irqrestore(&conf->device_lock, flags);
			hm_flush_pending_writes(hmdev, bio, mirror);
			unplug_slaves(hmdev);
			continue;
		}
		if (!list_empty(&conf->retry_list)) {
			hmbio_t *unit = list_entry(conf->retry_list.next, hmbio_t, retry_list);

			list_del_init(&unit->retry_list);
			conf->nr_queued--;
			spin_unlock_irqrestore(&conf->device_lock, flags);
			hm_sync_write(hmdev, unit, mirror);
			continue;
		}
		spin_unlock_irqrestore(&conf->device_lock, flags);
		break;
	}
	if (hm_thread_stop_requested(hmdev->thread))
		set_bit(THREAD_STOP_OK, &hmdev->thread->flags);
}

void hmdev_lost(hmdev_t *hmdev)
{
	hm_rdev_t *primary = hm_primary(hmdev);
	unsigned long flags;

	if (primary && primary->queue && primary->make_request_fn &&
	    primary->queue->make_request_fn != primary->make_request_fn)
		primary->queue->make_request_fn = primary->make_request_fn;
	hmdev->unit = 0;
	spin_lock_irqsave(&hmdev->lock, flags);
	set_bit(HM_DEV_LOST, &hmdev->flags);
	spin_unlock_irqrestore(&hmdev->lock, flags);
	atomic_set(&hmdev->lost, 1);
	/*
	 * From here on writes reach the primary unrecorded; when it is found
	 * again every chunk must be copied, so the hmd thread marks them all.
	 */
	atomic_inc(&hmdev->mark_all);
}

int hm_error(hmdev_t *hmdev, hm_rdev_t *rdev)
{
	conf_t *conf;
	unsigned long flags;

	if (!hmdev || !rdev || !hmdev->priv) {
		printk("<1>%s Invalid input\n", __func__);
		return -1;
	}
	conf = hmdev->priv;
	spin_lock_irqsave(&hmdev->lock, flags);
	if (test_bit(Faulty, &rdev->flags)) {
		spin_unlock_irqrestore(&hmdev->lock, flags);
		printk("<7>%s The state of %s aleady Faulty\n", __func__, rdev->dev_name);
		return 0;
	}
	if (test_bit(In_Sync, &rdev->flags)) {
		if (conf->working_disks == 1)
			printk("<1>The state of %s is In_Sync and alone", rdev->dev_name);
		conf->working_disks--;
		set_bit(HM_SYNC_ERR, &hmdev->flags);
	}
	clear_bit(In_Sync, &rdev->flags);
	set_bit(Faulty, &rdev->flags);
	set_bit(HM_RECOVERY_NEEDED, &hmdev->flags);
	spin_unlock_irqrestore(&hmdev->lock, flags);

	/* The file cannot be closed here; the release closes it. */
	spin_lock_irqsave(&rdev->filp_lock, flags);
	if (rdev->filp) {
		if (!rdev->dead_filp)
			rdev->dead_filp = rdev->filp;
		rdev->filp = NULL;
	}
	spin_unlock_irqrestore(&rdev->filp_lock, flags);
	rdev_name_mark_failed(rdev);
	atomic_set(&rdev->need_release, 1);

	if (rdev == conf->mirrors[HM_PRIMARY].rdev)
		hmdev_lost(hmdev);
	printk("<6>%s dev %s disabled, working disks num: %d\n", __func__, rdev->dev_name,
	       conf->working_disks);
	hm_wakeup_thread(hmdev->thread);
	return 0;
}

void hm_recovery(hmdev_t *hmdev, hm_rdev_t *rdev)
{
	conf_t *conf = hmdev->priv;
	unsigned long flags;

	if (!rdev || test_bit(In_Sync, &rdev->flags)) {
		printk("<6>%s rdev: %p return\n", __func__, (void *)rdev);
		return;
	}
	spin_lock_irqsave(&hmdev->lock, flags);
	clear_bit(Faulty, &rdev->flags);
	set_bit(In_Sync, &rdev->flags);
	conf->working_disks++;
	clear_bit(HM_SYNC_ERR, &hmdev->flags);
	if (atomic_read(&hmdev->lost) && rdev == conf->mirrors[HM_PRIMARY].rdev) {
		clear_bit(HM_DEV_LOST, &hmdev->flags);
		set_bit(HM_DEV_FOUND, &hmdev->flags);
		atomic_set(&hmdev->lost, 0);
		hmdev->unit = rdev->dev;
	}
	spin_unlock_irqrestore(&hmdev->lock, flags);
	printk("<1>%s dev %s recovery, working disks num: %d\n", __func__, rdev->dev_name,
	       conf->working_disks);
}

static void rdev_faulty_io_complete(struct bio *bio, int error)
{
	hm_rdev_t *rdev = (hm_rdev_t *)bio->bi_private;
	int uptodate = test_bit(BIO_UPTODATE, &bio->bi_flags);

	if (bio->bi_size)
		printk("<1>%s:bio bi_size is not zero, uptodate:%d, error:%d", __func__, uptodate,
		       error);
	if (!error && uptodate) {
		printk("<1>rdev_faulty successfully\n");
		hm_recovery(rdev->hmdev, rdev);
	} else {
		printk("<1>rdev_faulty failed\n");
		hm_error(rdev->hmdev, rdev);
	}
	complete(&rdev->faulty_wait);
	bio_put(bio);
}

int rdev_faulty(hm_rdev_t *rdev)
{
	hmdev_t *hmdev = rdev->hmdev;
	struct bio *bio;

	bio = bio_alloc(GFP_NOIO, 1);
	if (!bio)
		return 1;
	if (!rdev->bdev || !hmdev || !hmdev->priv) {
		printk("<3>%s invalid input parameter\n", __func__);
		printk("<3>%s Failed to submit a read bio to %s(in sector %lu)\n", __func__,
		       rdev->dev_name, 0UL);
		bio_put(bio);
		return 1;
	}
	bio->bi_bdev = rdev->bdev;
	bio->bi_sector = 0;
	bio->bi_rw = READ;
	bio->bi_end_io = rdev_faulty_io_complete;
	bio->bi_private = rdev;
	if (bio_add_page(bio, hmdev->priv->tmppage, PAGE_SIZE, 0) != PAGE_SIZE) {
		printk("<3>%s add page to bio failed\n", __func__);
		bio_put(bio);
		return 1;
	}
	clear_bit(Faulty, &rdev->flags);
	INIT_COMPLETION(rdev->faulty_wait);
	if (hmdev->bitmap && rdev == hm_primary(hmdev) && rdev->make_request_fn)
		rdev->make_request_fn(rdev->queue, bio);
	else
		submit_bio(READ, bio);
	wait_for_completion(&rdev->faulty_wait);
	if (test_bit(Faulty, &rdev->flags)) {
		printk("<3>%s Failed to submit a read bio to %s(in sector %lu)\n", __func__,
		       rdev->dev_name, 0UL);
		return 1;
	}
	return 0;
}
