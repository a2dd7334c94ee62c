/*
 * Control operations behind the netlink commands.  Each finds its protection
 * by the key of the request's first record, acts under the protection's
 * locks, drops its reference and returns 0 or a negative error number.
 * They run in the netlink sender's context and may sleep.
 *
 * Several senders may act on one protection at once; every operation that
 * opens, claims, fails or releases a member, or changes the protection's
 * state or bitmap superblock, holds the protection's reconfig_mutex for the
 * whole of it, so each is one state change to the others.  Status, the
 * mirror guard and the speed cap are single loads and stores and need none.
 */
#include <linux/kernel.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <linux/delay.h>
#include <linux/sched.h>
#include <linux/err.h>

#include "hm.h"
#include "hm_thread.h"
#include "hm_bitmap.h"
#include "hm_log.h"

/*
 * Changes the given status bits in one hold of hmdev->lock.  Other bits of
 * the word change without that lock (HM_RECOVERY_NEEDED from I/O completion,
 * HM_DEV_FOUND in hmdev_run), so each bit is changed on its own, atomically:
 * a store of the whole word could lose or undo theirs.
 */
static void hm_set_flags(hmdev_t *hmdev, unsigned long set, unsigned long clear)
{
	unsigned long flags;
	int bit;

	spin_lock_irqsave(&hmdev->lock, flags);
	for_each_set_bit(bit, &clear, BITS_PER_LONG)
		clear_bit(bit, &hmdev->flags);
	for_each_set_bit(bit, &set, BITS_PER_LONG)
		set_bit(bit, &hmdev->flags);
	spin_unlock_irqrestore(&hmdev->lock, flags);
}

int hm_add_protect(const hm_nl_header1_t *h1, const char *path, const hm_nl_volume_t *nlvol,
		   const char *path2, const hm_nl_volume_t *nlvol2)
{
	hmdev_t *hmdev;
	hm_rdev_t *rdev, *primary;
	int is_existed = 0;

	hmdev = create_hmdev(path, nlvol, &is_existed);
	if (IS_ERR(hmdev)) {
		printk("<1>%s failed in: %s err: %d\n", __func__, "create hmdev", (int)PTR_ERR(hmdev));
		printk("<3>Update protected failed\n");
		return (int)PTR_ERR(hmdev);
	}
	hmdev_lock(hmdev);
	hmdev->mode = h1->mode;

	rdev = rdev_find(hmdev, path, nlvol);
	if (rdev) {
		printk("<7>%s add primary %s into hmdev %s\n", __func__, path, hmdev->uuid);
		hmdev_add_primary(hmdev, rdev);
	}
	if (path2 && nlvol2) {
		printk("<7>[recv msg mirror] %s dev: %s uuid: %s\n", __func__, path2, nlvol2->uuid);
		rdev = rdev_find(hmdev, path2, nlvol2);
		if (rdev) {
			printk("<7>%s add mirror %s into hmdev %s\n", __func__, path2, hmdev->uuid);
			hmdev_add_mirror(hmdev, rdev);
		}
	}
	primary = hm_primary(hmdev);
	if (!primary || test_bit(Faulty, &primary->flags)) {
		printk("<6>%s primary disk is not ready, can not install bitmap\n", __func__);
	} else if (hmdev_bitmap_init(hmdev) < 0) {
		printk("<1>%s Failed to install bitmap\n", __func__);
	}
	hmdev_run(hmdev);
	hmdev_unlock(hmdev);
	hmdev_put(hmdev);
	return 0;
}

int hm_release_rdev(const hm_nl_volume_t *nlvol, char which)
{
	hmdev_t *hmdev;

	if (which != 'p' && which != 'm') {
		printk("<1>%s unrecognized flag %c\n", __func__, which);
		return 0;
	}
	hmdev = hmdev_search(nlvol);
	if (!hmdev)
		return 0;
	printk("<1>%s dev already exist\n", __func__);
	if (!hmdev->priv) {
		printk("<1>%s conf is NULL\n", __func__);
	} else {
		hm_rdev_t *rdev = which == 'p' ? hm_primary(hmdev) : hm_mirror(hmdev);

		hmdev_lock(hmdev);
		if (rdev)
			hm_error(hmdev, rdev);
		hmdev_unlock(hmdev);
	}
	hmdev_put(hmdev);
	return 0;
}

static int hm_io_in_flight(hmdev_t *hmdev)
{
	return atomic_read(&hmdev->hmbio_pending) || atomic_read(&hmdev->sync_pending);
}

int hm_stop_protect(const char *path, const hm_nl_volume_t *nlvol)
{
	hmdev_t *hmdev;
	unsigned long flags;

	(void)path;
	hmdev = hmdev_search(nlvol);
	if (!hmdev) {
		printk("<3>%s Cannot find the hmdev which uuid is %s\n", __func__, nlvol->uuid);
		return 0;
	}
	hmdev_lock(hmdev);
	spin_lock_irqsave(&hmdev->lock, flags);
	if (test_bit(HM_DEV_STOPPED, &hmdev->flags)) {
		spin_unlock_irqrestore(&hmdev->lock, flags);
		hmdev_unlock(hmdev);
		hmdev_put(hmdev);
		return 0;
	}
	spin_unlock_irqrestore(&hmdev->lock, flags);

	/* HM_DEV_STOPPED ends a running copy at its next check. */
	hmdev_stop(hmdev);
	hm_wakeup_thread(hmdev->sync_thread);
	hm_wakeup_thread(hmdev->thread);

	spin_lock_irqsave(&hmdev->lock, flags);
	if (hm_io_in_flight(hmdev)) {
		spin_unlock_irqrestore(&hmdev->lock, flags);
		hmdev_unlock(hmdev);
		hmdev_put(hmdev);
		return 0;
	}
	if (test_bit(HM_DEV_DELETING, &hmdev->flags)) {
		spin_unlock_irqrestore(&hmdev->lock, flags);
		hmdev_unlock(hmdev);
		hmdev_put(hmdev);
		return -EBUSY;
	}
	set_bit(HM_DEV_DELETING, &hmdev->flags);
	spin_unlock_irqrestore(&hmdev->lock, flags);
	hmdev_delete(hmdev);
	hmdev_put(hmdev);	/* the list's */
	hmdev_unlock(hmdev);
	hmdev_put(hmdev);	/* the search's */
	return 0;
}

int hm_del_protect(const char *path, const hm_nl_volume_t *nlvol)
{
	hmdev_t *hmdev;
	unsigned long flags;

	(void)path;
	hmdev = hmdev_search(nlvol);
	if (!hmdev) {
		printk("<3>%s Cannot find the hmdev which uuid is %s\n", __func__, nlvol->uuid);
		return 0;
	}
	hmdev_lock(hmdev);
	spin_lock_irqsave(&hmdev->lock, flags);
	if (!test_bit(HM_DEV_STOPPED, &hmdev->flags)) {
		spin_unlock_irqrestore(&hmdev->lock, flags);
		hmdev_unlock(hmdev);
		hmdev_put(hmdev);
		return 0;
	}
	if (hm_io_in_flight(hmdev) || test_bit(HM_DEV_DELETING, &hmdev->flags)) {
		spin_unlock_irqrestore(&hmdev->lock, flags);
		hmdev_unlock(hmdev);
		hmdev_put(hmdev);
		return -EBUSY;
	}
	set_bit(HM_DEV_DELETING, &hmdev->flags);
	spin_unlock_irqrestore(&hmdev->lock, flags);
	hmdev_delete(hmdev);
	printk("<1>%s active: %d\n", __func__, atomic_read(&hmdev->active));
	hmdev_put(hmdev);
	hmdev_unlock(hmdev);
	hmdev_put(hmdev);
	return 0;
}

static void fill_vol_status(hm_nl_vol_status_t *vs, hm_rdev_t *rdev)
{
	if (!rdev)
		return;
	vs->status = rdev->flags;
	memcpy(&vs->vid, &rdev->vid, sizeof(vs->vid));
	vs->nr_pending = atomic_read(&rdev->nr_pending);
}

int hm_get_status(const char *path, const hm_nl_volume_t *nlvol, hm_nl_header_t *reply)
{
	hm_nl_status_t st;
	struct hm_bitmap *bitmap;
	hmdev_t *hmdev;
	conf_t *conf;
	unsigned long now = jiffies, flags;

	hmdev = hmdev_search(nlvol);
	if (!hmdev) {
		printk("<3>%s:Failed to search hmdev %s", __func__, path ? path : "");
		return -ENOENT;
	}
	memset(&st, 0, sizeof(st));
	st.mode = (uint8_t)hmdev->mode;
	st.nr_vol = (uint8_t)hmdev->hm_disks;
	st.sync_on = atomic_read(&hmdev->sync_on) ? 1 : 0;
	st.status = hmdev->flags;
	st.sector_synced = hmdev->curr_resync;
	st.sync_pending = atomic_read(&hmdev->sync_pending);
	st.writes_pending = atomic_read(&hmdev->writes_pending);
	st.hmbio_pending = atomic_read(&hmdev->hmbio_pending);
	st.time2lst_rio = (now - hmdev->lst_rio_time) / 1000;
	st.time2lst_wio = (now - hmdev->lst_wio_time) / 1000;
	bitmap = hmdev->bitmap;
	if (bitmap) {
		st.bitmap_status = 1;
		if (test_bit(BITMAP_WRITE_ERROR_BIT, &bitmap->flags))
			st.status |= 1ULL << HM_BITMAP_WRITE_ERR;
		spin_lock_irqsave(&bitmap->lock, flags);
		st.chunk_needed = bitmap->chunk_needed;
		st.mempages = bitmap->pages;
		st.alloced_mempage = bitmap->pages - bitmap->missing_pages;
		spin_unlock_irqrestore(&bitmap->lock, flags);
	}
	conf = hmdev->priv;
	if (conf) {
		/* A slot without a member reports zeros. */
		spin_lock_irqsave(&conf->device_lock, flags);
		fill_vol_status(&st.primary, conf->mirrors[HM_PRIMARY].rdev);
		fill_vol_status(&st.mirror, conf->mirrors[HM_MIRROR].rdev);
		spin_unlock_irqrestore(&conf->device_lock, flags);
	}
	memcpy((char *)reply + sizeof(*reply), &st, sizeof(st));
	reply->msg_len = sizeof(st);
	hmdev_put(hmdev);
	return 0;
}

static hmdev_t *hm_lookup(const hm_nl_volume_t *nlvol, const char *func)
{
	hmdev_t *hmdev = hmdev_search(nlvol);

	if (!hmdev)
		printk("<3>%s wrong vid, no hmdev\n", func);
	return hmdev;
}

/* hm_lookup with the protection's reconfig_mutex held; hm_done lets both go. */
static hmdev_t *hm_lookup_and_lock(const hm_nl_volume_t *nlvol, const char *func)
{
	hmdev_t *hmdev = hm_lookup(nlvol, func);

	if (hmdev)
		hmdev_lock(hmdev);
	return hmdev;
}

static int hm_done(hmdev_t *hmdev, int ret)
{
	hmdev_unlock(hmdev);
	hmdev_put(hmdev);
	return ret;
}

int hm_initialize(const char *path, const hm_nl_volume_t *nlvol)
{
	hmdev_t *hmdev;
	int err;

	(void)path;
	hmdev = hm_lookup_and_lock(nlvol, __func__);
	if (!hmdev)
		return -ENOENT;
	err = bitmap_initialize(hmdev->bitmap);
	if (err < 0)
		return hm_done(hmdev, err);
	hm_set_flags(hmdev, 1UL << HM_INITIALIZE_ON,
			    (0xFUL << HM_SYNC_ERR) | (1UL << HM_INITIALIZE_CANCELED) |
			    (1UL << HM_INITIALIZE_FINISHED));
	hm_wakeup_thread(hmdev->sync_thread);
	return hm_done(hmdev, 0);
}

int hm_cancel_initialize(const char *path, const hm_nl_volume_t *nlvol)
{
	hmdev_t *hmdev;
	int err;

	(void)path;
	hmdev = hm_lookup_and_lock(nlvol, __func__);
	if (!hmdev)
		return 0;
	err = bitmap_cancel_initialize(hmdev->bitmap);
	if (err < 0)
		return hm_done(hmdev, err);
	hm_set_flags(hmdev, (1UL << HM_SYNC_INTR) | (1UL << HM_INITIALIZE_CANCELED), 0xFFUL);
	printk("<1>%s status: %lx\n", __func__, hmdev->flags);
	hm_wakeup_thread(hmdev->sync_thread);
	return hm_done(hmdev, 0);
}

int hm_finished_initialize(const char *path, const hm_nl_volume_t *nlvol)
{
	hmdev_t *hmdev;
	unsigned long flags;
	int err;

	(void)path;
	hmdev = hm_lookup_and_lock(nlvol, __func__);
	if (!hmdev)
		return -ENOENT;
	err = bitmap_finished_initialize(hmdev->bitmap);
	if (err < 0)
		return hm_done(hmdev, err);
	spin_lock_irqsave(&hmdev->lock, flags);
	if ((hmdev->flags & 0xFFUL) == 0 || test_bit(HM_INITIALIZE_CANCELED, &hmdev->flags)) {
		clear_bit(HM_INITIALIZE_CANCELED, &hmdev->flags);
		set_bit(HM_INITIALIZE_FINISHED, &hmdev->flags);
	}
	spin_unlock_irqrestore(&hmdev->lock, flags);
	return hm_done(hmdev, 0);
}

static int hm_mirror_rdev_lock_unlock(const hm_nl_volume_t *nlvol, int lock, const char *func)
{
	hmdev_t *hmdev;
	hm_rdev_t *mirror;
	int err;

	hmdev = hm_lookup_and_lock(nlvol, func);
	if (!hmdev)
		return -ENOENT;
	mirror = hm_mirror(hmdev);
	if (!mirror) {
		printk("<3>%s no mirror rdev\n", func);
		return hm_done(hmdev, -ENOENT);
	}
	/* Without a bitmap the lock could not survive a reboot: refuse it. */
	if (!hmdev->bitmap)
		return hm_done(hmdev, -ENOENT);
	err = bitmap_mirror_lock_unlock(hmdev->bitmap, lock);
	if (err < 0)
		return hm_done(hmdev, err);
	if (lock) {
		/*
		 * The copy is stopped before the mirror misses its first write:
		 * a run that ended in between would otherwise say "finished"
		 * over chunks the lock has just left needed.
		 */
		hm_set_flags(hmdev, 1UL << HM_DEV_LOCKED, 0);
		set_bit(Locked, &mirror->flags);
	} else {
		clear_bit(Locked, &mirror->flags);
		hm_set_flags(hmdev, 0, 1UL << HM_DEV_LOCKED);
		/* What the mirror missed is copied by the next recovery. */
		hm_wakeup_thread(hmdev->sync_thread);
	}
	return hm_done(hmdev, 0);
}

int hm_lock_mirror_rdev(const char *path, const hm_nl_volume_t *nlvol)
{
	(void)path;
	return hm_mirror_rdev_lock_unlock(nlvol, 1, __func__);
}

int hm_unlock_mirror_rdev(const char *path, const hm_nl_volume_t *nlvol)
{
	(void)path;
	return hm_mirror_rdev_lock_unlock(nlvol, 0, __func__);
}

static int hm_set_mirror_forbid(const hm_nl_volume_t *nlvol, int value, const char *func)
{
	hmdev_t *hmdev;
	hm_rdev_t *mirror;

	hmdev = hm_lookup(nlvol, func);
	if (!hmdev)
		return -ENOENT;
	mirror = hm_mirror(hmdev);
	if (mirror)
		atomic_set(&mirror->io_forbid, value);
	hmdev_put(hmdev);
	return 0;
}

int hm_forbid_mirror_io(const char *path, const hm_nl_volume_t *nlvol)
{
	(void)path;
	return hm_set_mirror_forbid(nlvol, 1, __func__);
}

int hm_cancel_forbid_mirror_io(const char *path, const hm_nl_volume_t *nlvol)
{
	(void)path;
	return hm_set_mirror_forbid(nlvol, 0, __func__);
}

static int hm_set_mirror_forbid_all(int value)
{
	hmdev_t *hmdev;
	unsigned long flags;

	spin_lock_irqsave(&all_hmdevs_lock, flags);
	list_for_each_entry(hmdev, &all_hmdevs, all_hmdevs) {
		hm_rdev_t *mirror = hm_mirror(hmdev);

		if (mirror)
			atomic_set(&mirror->io_forbid, value);
	}
	spin_unlock_irqrestore(&all_hmdevs_lock, flags);
	return 0;
}

int hm_forbid_mirror_all(void)
{
	return hm_set_mirror_forbid_all(1);
}

int hm_cancel_forbid_mirror_all(void)
{
	return hm_set_mirror_forbid_all(0);
}

int hm_sync_start(const char *path, const hm_nl_volume_t *nlvol)
{
	hmdev_t *hmdev;

	(void)path;
	hmdev = hm_lookup(nlvol, __func__);
	if (!hmdev)
		return -ENOENT;
	atomic_set(&hmdev->start_sync, 1);
	hmdev_put(hmdev);
	return 0;
}

int hm_set_sync_speed_max(const char *path, const hm_nl_volume_t *nlvol, unsigned int speed)
{
	hmdev_t *hmdev;

	hmdev = hmdev_search(nlvol);
	if (!hmdev) {
		log_write(HM_ERR, __func__, __LINE__, "wrong uuid:%s name: %s, no hmdev\n",
			  nlvol->uuid, path ? path : "");
		return -ENOENT;
	}
	set_sync_speed_max(hmdev, speed);
	hmdev_put(hmdev);
	return 0;
}

int hm_fail_mirror(const char *path, const hm_nl_volume_t *nlvol,
		   const char *path2, const hm_nl_volume_t *nlvol2)
{
	hmdev_t *hmdev;
	hm_rdev_t *mirror;

	(void)path;
	(void)path2;
	(void)nlvol2;
	hmdev = hm_lookup_and_lock(nlvol, __func__);
	if (!hmdev)
		return -ENOENT;
	mirror = hm_mirror(hmdev);
	if (mirror) {
		hm_error(hmdev, mirror);
		hm_wakeup_thread(hmdev->thread);
		while (atomic_read(&hmdev->sync_on) || atomic_read(&hmdev->sync_pending) ||
		       atomic_read(&mirror->nr_pending)) {
			hm_wakeup_thread(hmdev->thread);
			schedule_timeout_uninterruptible(1000);
		}
		do_rdev_release(hmdev, mirror);
	}
	return hm_done(hmdev, 0);
}

/*
 * The first record names the protection; the second, when present, the
 * mirror disk to (re)join under its path.  A single record has nothing to
 * join and fails.
 */
int hm_up_mirror(const char *path, const hm_nl_volume_t *nlvol,
		 const char *path2, const hm_nl_volume_t *nlvol2)
{
	hmdev_t *hmdev;
	hm_rdev_t *mirror;
	int ret = 0;

	(void)path;
	hmdev = hm_lookup_and_lock(nlvol, __func__);
	if (!hmdev)
		return -ENOENT;
	if (!path2 || !nlvol2)
		return hm_done(hmdev, -ENOENT);
	mirror = hm_mirror(hmdev);
	if (!mirror) {
		hm_rdev_t *rdev = create_rdev(path2, nlvol2);

		if (IS_ERR(rdev))
			ret = -ENOMEM;
		else
			hmdev_add_mirror(hmdev, rdev);
	} else if (test_bit(Faulty, &mirror->flags)) {
		if (update_rdev(hmdev, mirror, path2) < 0)
			printk("%s update rdev failed\n", __func__);
		else
			hmdev_add_mirror(hmdev, mirror);
	}
	return hm_done(hmdev, ret);
}
