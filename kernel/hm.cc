/*
 * Protections and member disks: the global list, reference counting, creation,
 * opening and adding members, hooking their queues, release, run, stop and
 * destruction.
 */
#include <linux/kernel.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <linux/fs.h>
#include <linux/blkdev.h>
#include <linux/delay.h>
#include <linux/sched.h>
#include <linux/err.h>
#include <linux/mutex.h>

#include "hm.h"
#include "hm_thread.h"
#include "hm_bitmap.h"

LIST_HEAD(all_hmdevs);
DEFINE_SPINLOCK(all_hmdevs_lock);

void hmdev_get(hmdev_t *hmdev)
{
	atomic_inc(&hmdev->active);
}

void hmdev_lock(hmdev_t *hmdev)
{
	mutex_lock(&hmdev->reconfig_mutex);
}

/* The "hmd_%s" thread may have skipped a release while the lock was held. */
void hmdev_unlock(hmdev_t *hmdev)
{
	mutex_unlock(&hmdev->reconfig_mutex);
	hm_wakeup_thread(hmdev->thread);
}

hmdev_t *hmdev_search(const hm_nl_volume_t *nlvol)
{
	hmdev_t *hmdev, *found = NULL;
	unsigned long flags;

	if (!nlvol)
		return NULL;
	spin_lock_irqsave(&all_hmdevs_lock, flags);
	list_for_each_entry(hmdev, &all_hmdevs, all_hmdevs) {
		if (memcmp(hmdev->uuid, nlvol->uuid, HM_NAME_LEN) == 0) {
			hmdev_get(hmdev);
			found = hmdev;
			break;
		}
	}
	spin_unlock_irqrestore(&all_hmdevs_lock, flags);
	return found;
}

/* The request path's look-up: the protection whose primary is @dev. */
hmdev_t *hmdev_find_by_unit(dev_t dev)
{
	hmdev_t *hmdev, *found = NULL;
	unsigned long flags;

	if (!dev)
		return NULL;
	spin_lock_irqsave(&all_hmdevs_lock, flags);
	list_for_each_entry(hmdev, &all_hmdevs, all_hmdevs) {
		if (hmdev->unit == dev) {
			hmdev_get(hmdev);
			/*
			 * Counted in flight in the same hold as the reference:
			 * a stop, delete or unload that sees no I/O in flight
			 * then cannot have a request asleep in wait_barrier
			 * behind it (the caller counts it out when it ends).
			 */
			atomic_inc(&hmdev->hmbio_pending);
			found = hmdev;
			break;
		}
	}
	spin_unlock_irqrestore(&all_hmdevs_lock, flags);
	return found;
}

/* The guard's look-up: the protection whose mirror member is @dev. */
hmdev_t *hmdev_find_by_mirror(dev_t dev)
{
	hmdev_t *hmdev, *found = NULL;
	unsigned long flags;

	spin_lock_irqsave(&all_hmdevs_lock, flags);
	list_for_each_entry(hmdev, &all_hmdevs, all_hmdevs) {
		hm_rdev_t *mirror = hm_mirror(hmdev);

		if (mirror && mirror->dev == dev) {
			hmdev_get(hmdev);
			found = hmdev;
			break;
		}
	}
	spin_unlock_irqrestore(&all_hmdevs_lock, flags);
	return found;
}

void hmdev_put(hmdev_t *hmdev)
{
	int active;

	if (!hmdev) {
		printk("<3>%s can not put NULL hmdev\n", __func__);
		return;
	}
	active = atomic_dec_return(&hmdev->active);
	if (active == 0) {
		printk("<1>%s destroying hmdev %s\n", __func__, hmdev->uuid);
		hmdev_destroy(hmdev);
	} else if (active != 1) {
		printk("<7>%s hmdevs %s active:%d\n", __func__, hmdev->uuid, active);
	}
}

void hmdev_delete(hmdev_t *hmdev)
{
	unsigned long flags;

	spin_lock_irqsave(&all_hmdevs_lock, flags);
	list_del_init(&hmdev->all_hmdevs);
	spin_unlock_irqrestore(&all_hmdevs_lock, flags);
}

int hm_fail_request(struct request_queue *q, struct bio *bio)
{
	(void)q;
	bio->bi_size = 0;
	bio_endio(bio, -EIO);
	return 0;
}

/* A zeroed record with its private queue, not yet linked, one reference. */
static hmdev_t *hmdev_alloc(void)
{
	hmdev_t *hmdev;

	hmdev = (hmdev_t *)kzalloc(sizeof(*hmdev), GFP_KERNEL);
	if (!hmdev) {
		printk("<1>kzalloc hmdev failed, GFP_KERNEL\n");
		return NULL;
	}
	INIT_LIST_HEAD(&hmdev->all_hmdevs);
	init_waitqueue_head(&hmdev->sb_wait);
	spin_lock_init(&hmdev->claim_lock);
	spin_lock_init(&hmdev->lock);
	mutex_init(&hmdev->reconfig_mutex);
	hmdev->queue = blk_alloc_queue(GFP_KERNEL);
	if (!hmdev->queue) {
		printk("<1>blk_alloc_queue failed, GFP_KERNEL\n");
		kfree(hmdev);
		return NULL;
	}
	blk_queue_make_request(hmdev->queue, hm_fail_request);
	atomic_set(&hmdev->writes_pending, 0);
	atomic_set(&hmdev->sync_pending, 0);
	atomic_set(&hmdev->sync_on, 0);
	atomic_set(&hmdev->running, 0);
	atomic_set(&hmdev->hmbio_pending, 0);
	atomic_set(&hmdev->lost, 0);
	atomic_set(&hmdev->start_sync, 0);
	atomic_set(&hmdev->mark_all, 0);
	hmdev->bd_claimed = 0;
	atomic_set(&hmdev->active, 1);
	return hmdev;
}

/*
 * Links a fully built @hmdev at the head of the list, unless a protection
 * with its key got there first: then that one is returned with a reference
 * and @hmdev is left unlinked.  One look and one link under one hold of the
 * list lock, so two creators of a key end with one protection.
 */
static hmdev_t *hmdev_link(hmdev_t *hmdev)
{
	hmdev_t *other, *found = NULL;
	unsigned long flags;

	spin_lock_irqsave(&all_hmdevs_lock, flags);
	list_for_each_entry(other, &all_hmdevs, all_hmdevs) {
		if (memcmp(other->uuid, hmdev->uuid, HM_NAME_LEN) == 0) {
			hmdev_get(other);
			found = other;
			break;
		}
	}
	if (!found) {
		list_add(&hmdev->all_hmdevs, &all_hmdevs);
		hmdev_get(hmdev);	/* the list's */
	}
	spin_unlock_irqrestore(&all_hmdevs_lock, flags);
	return found;
}

hmdev_t *new_hmdev(void)
{
	return hmdev_alloc();
}

void conf_destroy(conf_t *conf)
{
	if (!conf)
		return;
	kfree(conf->poolinfo);
	if (conf->hmbio_pool)
		mempool_destroy(conf->hmbio_pool);
	if (conf->hmbuf_pool)
		mempool_destroy(conf->hmbuf_pool);
	if (conf->tmppage)
		__free_page(conf->tmppage);
	kfree(conf);
}

static conf_t *conf_create(hmdev_t *hmdev)
{
	conf_t *conf;
	const char *what;

	conf = (conf_t *)kzalloc(sizeof(*conf), GFP_KERNEL);
	if (!conf) {
		what = "kzalloc conf_t";
		goto fail;
	}
	conf->tmppage = alloc_page(GFP_ATOMIC);
	if (!conf->tmppage) {
		what = "alloc page";
		goto fail;
	}
	conf->poolinfo = (struct pool_info *)kmalloc(sizeof(*conf->poolinfo), GFP_KERNEL);
	if (!conf->poolinfo) {
		what = "kmalloc pollinfo";
		goto fail;
	}
	conf->poolinfo->hmdev = hmdev;
	conf->poolinfo->hm_disks = hmdev->hm_disks;
	conf->hmbio_pool = mempool_create(HM_HMBIO_POOL, hmbio_pool_alloc, hmbio_pool_free,
					  conf->poolinfo);
	if (!conf->hmbio_pool) {
		what = "mempool_create hmbio_pol";
		goto fail;
	}
	conf->hmdev = hmdev;
	spin_lock_init(&conf->device_lock);
	spin_lock_init(&conf->resync_lock);
	conf->nr_disks = hmdev->hm_disks;
	INIT_LIST_HEAD(&conf->retry_list);
	bio_list_init(&conf->pending_bio_list);
	init_waitqueue_head(&conf->wait_barrier);
	hmdev->queue->unplug_fn = hm_unplug;
	return conf;

fail:
	printk("<3>hm: couldn't allocate memory: %s failed\n", what);
	conf_destroy(conf);
	return NULL;
}

hmdev_t *create_hmdev(const char *dev_name, const hm_nl_volume_t *nlvol, int *is_existed)
{
	hmdev_t *hmdev;

	if (!dev_name) {
		printk("<1>%s dev_name is NULL\n", __func__);
		return (hmdev_t *)ERR_PTR(-ENOMEM);
	}
	if (!nlvol) {
		printk("<1>%s nlvol is NULL\n", __func__);
		return (hmdev_t *)ERR_PTR(-ENOMEM);
	}

	hmdev = hmdev_search(nlvol);
	if (!hmdev) {
		hmdev_t *fresh = new_hmdev();

		if (!fresh) {
			printk("<1>%s can not alloc memory\n", __func__);
			return (hmdev_t *)ERR_PTR(-ENOMEM);
		}
		memcpy(fresh->uuid, nlvol->uuid, HM_NAME_LEN);
		fresh->priv = conf_create(fresh);
		if (!fresh->priv) {
			hmdev_put(fresh);
			return (hmdev_t *)ERR_PTR(-ENOMEM);
		}
		hmdev = hmdev_link(fresh);
		if (!hmdev) {
			*is_existed = 0;
			return fresh;
		}
		/* Another creator linked the key meanwhile: use that one. */
		hmdev_put(fresh);
	}
	printk("<1>%s dev already exist\n", __func__);
	if (!hmdev->priv) {
		printk("<1>%s conf is NULL\n", __func__);
		hmdev_put(hmdev);
		return (hmdev_t *)ERR_PTR(-ENOMEM);
	}
	*is_existed = 1;
	return hmdev;
}

/* A member that cannot be opened or failed carries a "?" on its path. */
void rdev_name_mark_failed(hm_rdev_t *rdev)
{
	size_t len = strnlen(rdev->dev_name, HM_NAME_LEN - 1);

	if (len > 0 && rdev->dev_name[len - 1] == '?')
		return;
	if (len < HM_NAME_LEN - 1) {
		rdev->dev_name[len] = '?';
		rdev->dev_name[len + 1] = '\0';
	} else {
		rdev->dev_name[HM_NAME_LEN - 2] = '?';
		rdev->dev_name[HM_NAME_LEN - 1] = '\0';
	}
}

static void rdev_set_name(hm_rdev_t *rdev, const char *dev_name)
{
	memset(rdev->dev_name, 0, HM_NAME_LEN);
	strncpy(rdev->dev_name, dev_name, HM_NAME_LEN - 1);
}

/* Takes one of the member's files out under filp_lock and closes it (may sleep). */
static void rdev_close_file(hm_rdev_t *rdev, struct file **which)
{
	struct file *filp;
	unsigned long flags;

	spin_lock_irqsave(&rdev->filp_lock, flags);
	filp = *which;
	*which = NULL;
	spin_unlock_irqrestore(&rdev->filp_lock, flags);
	if (filp)
		filp_close(filp, NULL);
}

/* Closes the file a member dropped when it failed (thread or sender context). */
void rdev_close_dead_filp(hm_rdev_t *rdev)
{
	rdev_close_file(rdev, &rdev->dead_filp);
}

/* The lock under which the request path reads a member's device, if any reads it. */
static spinlock_t *rdev_device_lock(hm_rdev_t *rdev)
{
	return rdev->hmdev && rdev->hmdev->priv ? &rdev->hmdev->priv->device_lock : NULL;
}

static void rdev_set_device(hm_rdev_t *rdev, struct block_device *bdev, struct request_queue *q,
			    ::make_request_fn *fn)
{
	spinlock_t *lock = rdev_device_lock(rdev);
	unsigned long flags = 0;

	if (lock)
		spin_lock_irqsave(lock, flags);
	rdev->bdev = bdev;
	rdev->dev = bdev ? bdev->bd_dev : rdev->dev;
	rdev->queue = q;
	rdev->make_request_fn = fn;
	if (lock)
		spin_unlock_irqrestore(lock, flags);
}

/*
 * A failed member's file is closed once its queue is given back and its
 * claim released (in that order: both need the device alive).  Without an
 * open file the module holds nothing of the disk, which may since have been
 * deleted, so its block device and queue are forgotten until it is opened
 * again.  They are forgotten, and the file closed, only when no request
 * holds the member: the request path counts itself in under the same lock.
 */
static void rdev_drop_failed_disk(hm_rdev_t *rdev)
{
	spinlock_t *lock = rdev_device_lock(rdev);
	unsigned long flags = 0;
	int idle;

	if (!test_bit(Faulty, &rdev->flags))
		return;
	if (lock)
		spin_lock_irqsave(lock, flags);
	idle = atomic_read(&rdev->nr_pending) == 0;
	if (idle && !rdev->filp) {
		rdev->bdev = NULL;
		rdev->queue = NULL;
		rdev->make_request_fn = NULL;
	}
	if (lock)
		spin_unlock_irqrestore(lock, flags);
	if (idle)
		rdev_close_dead_filp(rdev);
}

int rdev_backdev_init(hm_rdev_t *rdev, const char *dev_name)
{
	struct file *filp;
	struct inode *inode;
	struct block_device *bdev;
	struct request_queue *q;
	::make_request_fn *fn;
	unsigned long flags;

	rdev_close_file(rdev, &rdev->filp);
	rdev_close_dead_filp(rdev);

	rdev_set_name(rdev, dev_name);
	filp = filp_open(dev_name, O_RDONLY, 0);
	if (IS_ERR(filp) || !filp) {
		printk("<3>%s open dev: %s failed\n", __func__, dev_name);
		rdev_name_mark_failed(rdev);
		return -1;
	}
	inode = filp->f_dentry->d_inode;
	if (!inode || !S_ISBLK(inode->i_mode) || !inode->i_bdev) {
		printk("<1>%s wrong dev: %s\n", __func__, dev_name);
		filp_close(filp, NULL);
		rdev_name_mark_failed(rdev);
		return -1;
	}
	bdev = inode->i_bdev;
	q = bdev_get_queue(bdev);
	fn = q->make_request_fn;
	if (fn == mirror_make_request || fn == hm_make_request)
		fn = rdev->make_request_fn;
	rdev_set_device(rdev, bdev, q, fn);
	spin_lock_irqsave(&rdev->filp_lock, flags);
	rdev->filp = filp;
	spin_unlock_irqrestore(&rdev->filp_lock, flags);
	rdev->size = i_size_read(bdev->bd_inode) >> 9;
	return 0;
}

hm_rdev_t *create_rdev(const char *dev_name, const hm_nl_volume_t *nlvol)
{
	hm_rdev_t *rdev;

	if (!dev_name) {
		printk("<1>%s dev_name is NULL\n", __func__);
		return (hm_rdev_t *)ERR_PTR(-ENOMEM);
	}
	if (!nlvol) {
		printk("<1>%s nlvol is NULL\n", __func__);
		return (hm_rdev_t *)ERR_PTR(-ENOMEM);
	}
	rdev = (hm_rdev_t *)kzalloc(sizeof(*rdev), GFP_KERNEL);
	if (!rdev)
		return (hm_rdev_t *)ERR_PTR(-ENOMEM);
	spin_lock_init(&rdev->filp_lock);
	init_completion(&rdev->faulty_wait);

	if (rdev_backdev_init(rdev, dev_name) == 0) {
		set_bit(In_Sync, &rdev->flags);
		printk("<1>name: %s size: %llu dev_t: 0x%x\n", rdev->dev_name,
		       (unsigned long long)rdev->size, (unsigned int)rdev->dev);
	} else {
		set_bit(Faulty, &rdev->flags);
		printk("<3>%s Failed to init rdev\n", __func__);
	}
	atomic_set(&rdev->io_forbid, 0);
	atomic_set(&rdev->need_release, 0);
	atomic_set(&rdev->nr_pending, 0);
	memcpy(rdev->uuid, nlvol->uuid, HM_NAME_LEN);
	rdev->uuid[HM_NAME_LEN - 1] = '\0';
	memcpy(&rdev->vid, &nlvol->vid, sizeof(rdev->vid));
	return rdev;
}

void destroy_rdev(hm_rdev_t *rdev)
{
	if (!rdev)
		return;
	rdev_close_file(rdev, &rdev->filp);
	rdev_close_dead_filp(rdev);
	kfree(rdev);
}

hm_rdev_t *rdev_find(hmdev_t *hmdev, const char *name, const hm_nl_volume_t *nlvol)
{
	conf_t *conf = hmdev->priv;
	hm_rdev_t *rdev, *found = NULL;
	unsigned long flags;
	int i;

	spin_lock_irqsave(&conf->device_lock, flags);
	for (i = 0; i < conf->nr_disks && i < HM_MAX_DISKS; i++) {
		rdev = conf->mirrors[i].rdev;
		if (!rdev)
			continue;
		if (strncmp(rdev->uuid, nlvol->uuid, HM_NAME_LEN) == 0) {
			found = rdev;
			break;
		}
	}
	spin_unlock_irqrestore(&conf->device_lock, flags);

	if (found) {
		/*
		 * Only the name changes; the member is re-opened under it by
		 * hmdev_add_rdev when it is Faulty.
		 */
		printk("<7>%s Just update dev_name(%s) to %s\n", __func__, found->dev_name, name);
		rdev_set_name(found, name);
		return found;
	}
	printk("<7>%s Create a totally new one\n", __func__);
	rdev = create_rdev(name, nlvol);
	if (IS_ERR(rdev))
		return NULL;
	return rdev;
}

int hmdev_add_rdev(hmdev_t *hmdev, hm_rdev_t *rdev, int slot)
{
	conf_t *conf = hmdev->priv;
	unsigned long flags;
	int empty;

	spin_lock_irqsave(&conf->device_lock, flags);
	empty = conf->mirrors[slot].rdev == NULL;
	if (empty) {
		rdev->hmdev = hmdev;
		hmdev->hm_disks++;
		conf->poolinfo->hm_disks = hmdev->hm_disks;
		conf->mirrors[slot].rdev = rdev;
		conf->nr_disks++;
		if (!test_bit(Faulty, &rdev->flags))
			conf->working_disks++;
	}
	spin_unlock_irqrestore(&conf->device_lock, flags);
	if (empty)
		return 0;
	if (conf->mirrors[slot].rdev != rdev) {
		/* A record that matches no member, for a slot that is taken. */
		destroy_rdev(rdev);
		return 0;
	}
	if (test_bit(Faulty, &rdev->flags))
		return update_rdev(hmdev, rdev, rdev->dev_name);
	return 0;
}

int hmdev_add_primary(hmdev_t *hmdev, hm_rdev_t *rdev)
{
	hm_rdev_t *primary;

	hmdev_add_rdev(hmdev, rdev, HM_PRIMARY);
	primary = hm_primary(hmdev);
	if (primary) {
		hmdev->pvid = &primary->vid;
		hmdev->unit = test_bit(Faulty, &primary->flags) ? 0 : primary->dev;
	}
	printk("%s add primary: %s\n", __func__, rdev == primary ? rdev->dev_name : "?");
	return 0;
}

/*
 * Claims the mirror's disk for the protection: 0, or bd_claim's error when
 * another holder has it (a mounted file system, an exclusive opener).
 */
static int mirror_claim(hmdev_t *hmdev, hm_rdev_t *rdev, const char *func)
{
	int err = 0;

	spin_lock(&hmdev->claim_lock);
	if (!hmdev->bd_claimed) {
		err = bd_claim(rdev->bdev, hmdev);
		if (err) {
			printk("<1>%s bd_claim %s failed %d\n", func, rdev->dev_name, err);
		} else {
			printk("<1>%s bd_claim %s successfully\n", func, rdev->dev_name);
			hmdev->bd_claimed = 1;
		}
	}
	spin_unlock(&hmdev->claim_lock);
	return err;
}

/*
 * A mirror another holder has is not ours to overwrite: the member, opened
 * but not yet in use, stays out as a failed one, neither hooked nor written,
 * its file closed, until an Add Protection finds the disk free.  Process
 * context, before the member takes part in any I/O.
 */
static void mirror_refuse(hmdev_t *hmdev, hm_rdev_t *rdev)
{
	clear_bit(In_Sync, &rdev->flags);
	set_bit(Faulty, &rdev->flags);
	rdev_close_file(rdev, &rdev->filp);
	rdev_name_mark_failed(rdev);
	printk("<3>%s mirror %s is held by another: not added\n", hmdev->uuid, rdev->dev_name);
}

int hmdev_add_mirror(hmdev_t *hmdev, hm_rdev_t *rdev)
{
	hm_rdev_t *mirror;

	/* A member opened for the empty slot is claimed before any I/O reaches it. */
	if (!hm_mirror(hmdev) && !test_bit(Faulty, &rdev->flags) &&
	    mirror_claim(hmdev, rdev, __func__))
		mirror_refuse(hmdev, rdev);
	if (hmdev_add_rdev(hmdev, rdev, HM_MIRROR)) {
		printk("<3>Failed to update mirror\n");
		return -1;
	}
	mirror = hm_mirror(hmdev);
	if (!mirror)
		return -1;
	if (test_bit(Faulty, &mirror->flags)) {
		printk("%s add faulty mirror: %s\n", __func__, mirror->dev_name);
		return 0;
	}
	/* A member in use is claimed already; one that is not cannot be used. */
	if (mirror_claim(hmdev, mirror, __func__)) {
		hm_error(hmdev, mirror);
		return 0;
	}

	if (test_bit(HM_DEV_LOCKED, &hmdev->flags))
		set_bit(Locked, &mirror->flags);
	mirror_queue_plug(mirror);
	mirror->allow_to_test = mirror->size > HM_TEST_WINDOW ? mirror->size - HM_TEST_WINDOW : 0;
	printk("%s add mirror: %s window:%lu\n", __func__, mirror->dev_name,
	       (unsigned long)mirror->allow_to_test);
	return 0;
}

int update_rdev(hmdev_t *hmdev, hm_rdev_t *rdev, const char *name)
{
	char path[HM_NAME_LEN];

	/* @name may be rdev->dev_name itself, which the re-open rewrites. */
	memset(path, 0, sizeof(path));
	strncpy(path, name, sizeof(path) - 1);

	printk("<1>%s:%s", __func__, path);
	if (rdev_release(hmdev, rdev) < 0)
		return -1;
	if (rdev_backdev_init(rdev, path) < 0)
		return -1;
	if (rdev == hm_mirror(hmdev) && mirror_claim(hmdev, rdev, __func__)) {
		mirror_refuse(hmdev, rdev);
		return -16;
	}
	if (rdev_faulty(rdev)) {
		printk("<3>faulty rdev release\n");
		rdev_release(hmdev, rdev);
		printk("<3>%s rdev: %s new: %s faulty\n", __func__, rdev->dev_name, path);
		return -5;
	}
	printk("<3>%s rdev: %s new: %s recovery\n", __func__, rdev->dev_name, path);
	clear_bit(Faulty, &rdev->flags);
	set_bit(In_Sync, &rdev->flags);
	hm_wakeup_thread(hmdev->thread);
	/* What the member missed is copied without waiting for the next period. */
	hm_wakeup_thread(hmdev->sync_thread);
	return 0;
}

void recovery_queue_make_request(hm_rdev_t *rdev, make_request_fn *fn)
{
	if (!rdev || !rdev->queue || !rdev->make_request_fn)
		return;
	if (rdev->queue->make_request_fn == fn) {
		rdev->queue->make_request_fn = rdev->make_request_fn;
		printk("<1>%s recovery origin make_request func for dev '%s'\n", __func__,
		       rdev->dev_name);
	}
}

void mirror_queue_plug(hm_rdev_t *rdev)
{
	if (rdev->queue && rdev->queue->make_request_fn != mirror_make_request) {
		atomic_set(&rdev->io_forbid, 1);
		rdev->queue->make_request_fn = mirror_make_request;
	}
}

int rdev_release(hmdev_t *hmdev, hm_rdev_t *rdev)
{
	if (!hmdev || !rdev)
		return -2;
	if (atomic_read(&hmdev->sync_on) == 0 && atomic_read(&hmdev->sync_pending) == 0 &&
	    atomic_read(&rdev->nr_pending) == 0)
		return do_rdev_release(hmdev, rdev);
	printk("<6>no release:rdev: %s sync_on: %d sync: %d nr: %d\n", rdev->dev_name,
	       atomic_read(&hmdev->sync_on), atomic_read(&hmdev->sync_pending),
	       atomic_read(&rdev->nr_pending));
	return -1;
}

int do_rdev_release(hmdev_t *hmdev, hm_rdev_t *rdev)
{
	conf_t *conf = hmdev->priv;
	int slot = -1;

	if (conf && conf->mirrors[HM_MIRROR].rdev == rdev)
		slot = HM_MIRROR;
	else if (conf && conf->mirrors[HM_PRIMARY].rdev == rdev)
		slot = HM_PRIMARY;

	if (slot == HM_MIRROR)
		recovery_queue_make_request(rdev, mirror_make_request);
	else if (slot == HM_PRIMARY)
		recovery_queue_make_request(rdev, hm_make_request);
	else
		printk("<1>%s Something wrong!!!\n", __func__);

	if (atomic_dec_return(&rdev->need_release) != 0) {
		atomic_set(&rdev->need_release, 0);
		rdev_drop_failed_disk(rdev);
		return 0;
	}
	printk("<1>%s dev: %s RELEASE NOW\n", __func__, rdev->dev_name);
	if (slot == HM_MIRROR) {
		spin_lock(&hmdev->claim_lock);
		if (hmdev->bd_claimed) {
			bd_release(rdev->bdev);
			hmdev->bd_claimed = 0;
			printk("<1>%s bd release %s \n", __func__, rdev->dev_name);
		}
		spin_unlock(&hmdev->claim_lock);
	}
	if (!test_bit(Faulty, &rdev->flags)) {
		printk("<6>update filp close\n");
		rdev_close_file(rdev, &rdev->filp);
	}
	rdev_drop_failed_disk(rdev);
	printk("<6>%s rdev: %s release\n", __func__, rdev->dev_name);
	return 0;
}

static void hmdev_unregister_threads(hmdev_t *hmdev)
{
	hm_unregister_thread(hmdev->sync_thread);
	hmdev->sync_thread = NULL;
	hm_unregister_thread(hmdev->thread);
	hmdev->thread = NULL;
}

int hmdev_run(hmdev_t *hmdev)
{
	conf_t *conf = hmdev->priv;
	hm_rdev_t *primary = hm_primary(hmdev);
	char name[HM_NAME_LEN + 16];

	if (atomic_read(&hmdev->running)) {
		printk("%s hmdev already run\n", __func__);
		if (!test_bit(HM_DEV_FOUND, &hmdev->flags))
			return 0;
	} else {
		if (!conf || !primary || IS_ERR(primary)) {
			printk("%s the primary disk of this hmdev is not perpared, delay to run\n",
			       __func__);
			return 0;
		}
		if (test_bit(Faulty, &primary->flags)) {
			printk("%s the primary is lost, on means to run\n", __func__);
			return 0;
		}
		if (!hmdev->bitmap) {
			printk("%s bitmap is not installed\n", __func__);
			return 0;
		}
		/* One starter wins when two Add Protection requests run at once. */
		if (atomic_cmpxchg(&hmdev->running, 0, 1) != 0) {
			printk("%s hmdev already run\n", __func__);
			return 0;
		}
		printk("<6>%s register hm_do_sync\n", __func__);
		snprintf(name, sizeof(name), "hmsync_%s", hmdev->uuid);
		hmdev->sync_thread = hm_register_thread(hm_do_sync, hmdev, name);
		printk("<6>%s register hm_workd\n", __func__);
		snprintf(name, sizeof(name), "hmd_%s", hmdev->uuid);
		hmdev->thread = hm_register_thread(hm_workd, hmdev, name);
		if (!hmdev->sync_thread || !hmdev->thread) {
			/* Not running, and a later Add Protection tries again. */
			printk("<1>%s couldn't allocate thread\n", __func__);
			hmdev_unregister_threads(hmdev);
			atomic_set(&hmdev->running, 0);
			return -ENOMEM;
		}
	}
	hmdev->queue->queuedata = hmdev;
	primary = hm_primary(hmdev);
	if (primary && primary->queue && primary->queue->make_request_fn != hm_make_request)
		primary->queue->make_request_fn = hm_make_request;
	/* Only now may a copy start: every write from here on is recorded. */
	smp_mb();
	clear_bit(HM_DEV_FOUND, &hmdev->flags);
	hm_wakeup_thread(hmdev->sync_thread);
	hm_wakeup_thread(hmdev->thread);
	return 0;
}

/* Sleeps until no normal I/O, copy write or copy loop is left. */
void hmdev_wait_idle(hmdev_t *hmdev, const char *why)
{
	while (atomic_read(&hmdev->hmbio_pending) || atomic_read(&hmdev->sync_pending) ||
	       atomic_read(&hmdev->sync_on)) {
		printk("<6>hostmirror %s behind writes inprocesswaiting to %s\n", hmdev->uuid, why);
		hm_wakeup_thread(hmdev->thread);
		hm_wakeup_thread(hmdev->sync_thread);
		schedule_timeout_uninterruptible(1000);
	}
}

int hmdev_stop(hmdev_t *hmdev)
{
	hm_rdev_t *primary = hm_primary(hmdev);
	hm_rdev_t *mirror = hm_mirror(hmdev);
	unsigned long flags;

	if (primary) {
		recovery_queue_make_request(primary, hm_make_request);
		set_bit(Stopped, &primary->flags);
	}
	if (mirror) {
		recovery_queue_make_request(mirror, mirror_make_request);
		set_bit(Stopped, &mirror->flags);
	}
	spin_lock_irqsave(&hmdev->lock, flags);
	set_bit(HM_DEV_STOPPED, &hmdev->flags);
	spin_unlock_irqrestore(&hmdev->lock, flags);
	hm_unplug(hmdev->queue);
	hmdev_wait_idle(hmdev, "stop");
	return 0;
}

void hmdev_destroy(hmdev_t *hmdev)
{
	conf_t *conf = hmdev->priv;

	hmdev_unregister_threads(hmdev);
	bitmap_destroy(hmdev);
	if (conf) {
		destroy_rdev(conf->mirrors[HM_PRIMARY].rdev);
		conf->mirrors[HM_PRIMARY].rdev = NULL;
		printk("<1>%s primary\n", __func__);
		if (conf->mirrors[HM_MIRROR].rdev) {
			spin_lock(&hmdev->claim_lock);
			if (hmdev->bd_claimed) {
				printk("<1>%s bd release: %s\n", __func__,
				       conf->mirrors[HM_MIRROR].rdev->dev_name);
				bd_release(conf->mirrors[HM_MIRROR].rdev->bdev);
				hmdev->bd_claimed = 0;
			}
			spin_unlock(&hmdev->claim_lock);
			destroy_rdev(conf->mirrors[HM_MIRROR].rdev);
			conf->mirrors[HM_MIRROR].rdev = NULL;
		}
		conf_destroy(conf);
		hmdev->priv = NULL;
	}
	if (hmdev->queue)
		blk_cleanup_queue(hmdev->queue);
	kfree(hmdev);
	printk("<1>%s hmdev destroy\n", __func__);
}
