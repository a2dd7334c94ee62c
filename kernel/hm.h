/*
 * zelmir: host mirroring of a primary disk onto a mirror LUN.
 *
 * A protection (hmdev_t) pairs a primary with at most one mirror; each disk is
 * a member (hm_rdev_t).  The module has no block device of its own: it takes
 * over the make_request function of the members' queues.
 *
 * Contexts: the submitter of a request (hm_make_request, mirror_make_request),
 * I/O completion (interrupt context: spinlocks with irqs saved, atomics, wake
 * ups only), the two threads of a running protection ("hmd_%s", "hmsync_%s"),
 * and the netlink sender / module loader / rebooting process.
 *
 * hmdev->reconfig_mutex serialises every change of a protection's members
 * and state made outside the request path: a member's open, claim, release
 * and failure on request, and the control operations.  It sleeps, is taken
 * before any of the spinlocks below and never inside one; the "hmd_%s"
 * thread only tries it (the holder may be waiting for that thread to drain
 * writes) and is woken again when the holder lets go.
 *
 * Spinlocks, none of which is ever taken while another is held:
 *   all_hmdevs_lock  list links and list walks (irqsave)
 *   conf->device_lock  member slots, a member's block device, queue and
 *                    saved make_request function, pending_bio_list,
 *                    retry_list (irqsave)
 *   conf->resync_lock  the barrier counters (irq)
 *   hmdev->lock      multi-bit status changes (irqsave)
 *   hmdev->claim_lock  bd_claimed and the claim/release calls
 *   rdev->filp_lock  rdev->filp (the close itself happens outside it)
 *   bitmap->lock     counters, page attributes, superblock page (irqsave)
 */
#ifndef ZELMIR_KERNEL_HM_H
#define ZELMIR_KERNEL_HM_H

#include <linux/types.h>
#include <linux/kernel.h>
#include <linux/list.h>
#include <linux/spinlock.h>
#include <linux/mutex.h>
#include <linux/wait.h>
#include <linux/completion.h>
#include <linux/bio.h>
#include <linux/blkdev.h>
#include <linux/fs.h>
#include <linux/mempool.h>
#include <linux/mm.h>
#include <asm/atomic.h>
#include <linux/bitops.h>
#include <linux/jiffies.h>

#include "hm_nl.h"
#include "hm_list.h"

#define HM_MAX_DISKS	2
#define HM_PRIMARY	0
#define HM_MIRROR	1

#define HM_HMBIO_POOL	128	/* preallocated master records */
#define HM_TEST_WINDOW	2048	/* sectors before the end: the liveness read */

/* Copy units. */
#define RESYNC_BLOCK_SIZE	(64 * 1024)
#define RESYNC_PAGES		(RESYNC_BLOCK_SIZE / PAGE_SIZE)
#define RESYNC_SECTORS		(RESYNC_BLOCK_SIZE >> 9)
#define RESYNC_POOL		32
#define RESYNC_DEPTH		32

#define SPEED_LIMIT_MAX		200000	/* KB/s, the default copy cap */
#define SPEED_LIMIT_MIN		1000

/* A plain load the compiler may not cache across a sleep. */
#define HM_ONCE(x) (*(volatile __typeof__(x) *)&(x))

struct hm_bitmap;
struct hmdev_s;
typedef struct hm_thread_s hm_thread_t;

/* hmbio_t state bits. */
enum {
	HMBIO_Uptodate = 0,
	HMBIO_IsSync = 1,
	HMBIO_Degraded = 2,
	HMBIO_Returned = 6,	/* master: ended; copy unit: re-test primary */
	HMBIO_ReadError = 6,
};

typedef struct hm_rdev_s {
	char dev_name[HM_NAME_LEN];
	sector_t size;			/* 512-byte sectors, 0 when not open */
	struct hmdev_s *hmdev;
	struct completion faulty_wait;
	sector_t ok_sector;
	unsigned long ok_time;
	dev_t dev;
	spinlock_t filp_lock;
	struct file *filp;
	/*
	 * The file of a member that failed in completion context, where it
	 * cannot be closed; the release in thread context closes it.
	 */
	struct file *dead_filp;
	volume_id_t vid;
	char uuid[HM_NAME_LEN];
	struct block_device *bdev;
	struct request_queue *queue;
	::make_request_fn *make_request_fn;	/* the queue's own function */
	unsigned long flags;			/* Faulty, In_Sync, Stopped, Locked */
	atomic_t io_forbid;			/* mirror: the guard is on */
	atomic_t need_release;
	atomic_t nr_pending;
	sector_t allow_to_test;			/* mirror: size - 2048 */
} hm_rdev_t;

typedef struct mirror_info {
	hm_rdev_t *rdev;
	sector_t head_position;
} mirror_info_t;

struct pool_info {
	struct hmdev_s *hmdev;
	int hm_disks;
};

typedef struct hm_private_data_s {
	struct hmdev_s *hmdev;
	mirror_info_t mirrors[HM_MAX_DISKS];
	int nr_disks;
	int working_disks;
	spinlock_t device_lock;
	struct list_head retry_list;		/* copy units read, waiting to be written */
	struct bio_list pending_bio_list;	/* write clones waiting for the bitmap */

	spinlock_t resync_lock;
	int nr_pending;
	int nr_waiting;
	int nr_queued;
	int barrier;
	wait_queue_head_t wait_barrier;

	struct pool_info *poolinfo;
	struct page *tmppage;
	mempool_t *hmbio_pool;
	mempool_t *hmbuf_pool;
} conf_t;

typedef struct hmdev_s {
	conf_t *priv;			/* the I/O state */
	dev_t unit;			/* the primary's device number; 0 while lost */
	volume_id_t *pvid;
	int mode;
	int hm_disks;
	char uuid[HM_NAME_LEN];		/* the key: the primary's GUID text */
	hm_thread_t *thread;		/* "hmd_%s" */
	hm_thread_t *sync_thread;	/* "hmsync_%s" */
	sector_t resync_max_sectors;
	wait_queue_head_t sb_wait;
	atomic_t writes_pending;
	atomic_t sync_pending;
	sector_t curr_resync;
	atomic_t sync_on;
	unsigned long resync_mark;
	sector_t resync_mark_cnt;
	sector_t curr_mark_cnt;
	int sync_speed_max;
	atomic_t active;
	int bd_claimed;
	spinlock_t claim_lock;
	atomic_t running;
	atomic_t hmbio_pending;
	struct request_queue *queue;	/* private: fails every request */
	unsigned long flags;		/* HM_* status bits */
	spinlock_t lock;
	atomic_t lost;
	atomic_t start_sync;
	unsigned long lst_rio_time;
	unsigned long lst_wio_time;
	struct hm_bitmap *bitmap;
	struct file *bitmap_file;
	struct list_head all_hmdevs;
	/* losses of the primary whose marking of every chunk the hmd thread owes */
	atomic_t mark_all;
	struct mutex reconfig_mutex;
} hmdev_t;

typedef struct hmbio_s {
	atomic_t remaining;
	atomic_t behind_remaining;
	sector_t sector;
	int sectors;
	unsigned long state;
	unsigned long start_time;
	hmdev_t *hmdev;
	struct bio *master_bio;
	int read_disk;
	struct list_head retry_list;
	struct page *pages[RESYNC_PAGES];	/* copy units: shared by both requests */
	struct bio *bios[HM_MAX_DISKS];
} hmbio_t;

/* Global list of protections (hm.cc). */
extern struct list_head all_hmdevs;
extern spinlock_t all_hmdevs_lock;

static inline conf_t *hmdev_conf(hmdev_t *hmdev)
{
	return hmdev->priv;
}

static inline hm_rdev_t *hm_primary(hmdev_t *hmdev)
{
	return hmdev->priv ? hmdev->priv->mirrors[HM_PRIMARY].rdev : NULL;
}

static inline hm_rdev_t *hm_mirror(hmdev_t *hmdev)
{
	return hmdev->priv ? hmdev->priv->mirrors[HM_MIRROR].rdev : NULL;
}

/* A member usable for writes: present, neither Faulty nor Locked. */
static inline int rdev_disabled(hm_rdev_t *rdev)
{
	return !rdev || test_bit(Faulty, &rdev->flags) || test_bit(Locked, &rdev->flags);
}

static inline dev_t bio_whole_dev(struct bio *bio)
{
	struct block_device *bdev = bio->bi_bdev;

	return bdev->bd_contains ? bdev->bd_contains->bd_dev : bdev->bd_dev;
}

/* hm.cc: protections and members */
hmdev_t *new_hmdev(void);
hmdev_t *create_hmdev(const char *dev_name, const hm_nl_volume_t *nlvol, int *is_existed);
hmdev_t *hmdev_search(const hm_nl_volume_t *nlvol);
hmdev_t *hmdev_find_by_unit(dev_t dev);
hmdev_t *hmdev_find_by_mirror(dev_t dev);
void hmdev_get(hmdev_t *hmdev);
void hmdev_lock(hmdev_t *hmdev);
void hmdev_unlock(hmdev_t *hmdev);
void hmdev_put(hmdev_t *hmdev);
void hmdev_delete(hmdev_t *hmdev);
void hmdev_destroy(hmdev_t *hmdev);
void conf_destroy(conf_t *conf);
hm_rdev_t *create_rdev(const char *dev_name, const hm_nl_volume_t *nlvol);
int rdev_backdev_init(hm_rdev_t *rdev, const char *dev_name);
void destroy_rdev(hm_rdev_t *rdev);
hm_rdev_t *rdev_find(hmdev_t *hmdev, const char *name, const hm_nl_volume_t *nlvol);
int hmdev_add_rdev(hmdev_t *hmdev, hm_rdev_t *rdev, int slot);
int hmdev_add_primary(hmdev_t *hmdev, hm_rdev_t *rdev);
int hmdev_add_mirror(hmdev_t *hmdev, hm_rdev_t *rdev);
int update_rdev(hmdev_t *hmdev, hm_rdev_t *rdev, const char *name);
int rdev_release(hmdev_t *hmdev, hm_rdev_t *rdev);
int do_rdev_release(hmdev_t *hmdev, hm_rdev_t *rdev);
void recovery_queue_make_request(hm_rdev_t *rdev, make_request_fn *fn);
void mirror_queue_plug(hm_rdev_t *rdev);
int hmdev_run(hmdev_t *hmdev);
int hmdev_stop(hmdev_t *hmdev);
void hmdev_wait_idle(hmdev_t *hmdev, const char *why);
int hm_fail_request(struct request_queue *q, struct bio *bio);
void rdev_name_mark_failed(hm_rdev_t *rdev);
void rdev_close_dead_filp(hm_rdev_t *rdev);

/* hm_io.cc: the request path */
int hm_make_request(struct request_queue *q, struct bio *bio);
int mirror_make_request(struct request_queue *q, struct bio *bio);
void hm_end_read_request(struct bio *bio, int error);
void hm_end_write_request(struct bio *bio, int error);
void hm_end_bio_io(hmbio_t *hmbio);
void free_hmbio(hmbio_t *hmbio);
void hm_generic_make_request(conf_t *conf, struct bio *bio);
void hm_workd(hmdev_t *hmdev);
void wait_barrier(conf_t *conf);
void allow_barrier(conf_t *conf);
void raise_barrier(conf_t *conf);
void lower_barrier(conf_t *conf);
int hm_error(hmdev_t *hmdev, hm_rdev_t *rdev);
void hmdev_lost(hmdev_t *hmdev);
void hm_recovery(hmdev_t *hmdev, hm_rdev_t *rdev);
int rdev_faulty(hm_rdev_t *rdev);
void update_ok_sector(hmdev_t *hmdev, int disk, hmbio_t *hmbio);
void rdev_dec_pending(hm_rdev_t *rdev, hmdev_t *hmdev);
void unplug_slaves(hmdev_t *hmdev);
void hm_unplug(struct request_queue *q);
void hm_blk_plug_device(conf_t *conf);
void *hmbio_pool_alloc(gfp_t gfp_flags, void *data);
void hmbio_pool_free(void *hmbio, void *data);
int hm_stamp_signature(struct bio *bio, uint32_t signature);

/* hm_sync.cc: resynchronisation */
void hm_do_sync(hmdev_t *hmdev);
void hm_sync_write(hmdev_t *hmdev, hmbio_t *unit, hm_rdev_t *noted_mirror);
void end_sync_read(struct bio *bio, int error);
void end_sync_write(struct bio *bio, int error);
void set_sync_speed_max(hmdev_t *hmdev, unsigned int speed);
unsigned int curr_speed(hmdev_t *hmdev);

/* hm_ctl.cc: control operations */
int hm_stop_protect(const char *path, const hm_nl_volume_t *nlvol);
int hm_del_protect(const char *path, const hm_nl_volume_t *nlvol);
int hm_get_status(const char *path, const hm_nl_volume_t *nlvol, hm_nl_header_t *reply);
int hm_initialize(const char *path, const hm_nl_volume_t *nlvol);
int hm_cancel_initialize(const char *path, const hm_nl_volume_t *nlvol);
int hm_finished_initialize(const char *path, const hm_nl_volume_t *nlvol);
int hm_forbid_mirror_io(const char *path, const hm_nl_volume_t *nlvol);
int hm_cancel_forbid_mirror_io(const char *path, const hm_nl_volume_t *nlvol);
int hm_forbid_mirror_all(void);
int hm_cancel_forbid_mirror_all(void);
int hm_lock_mirror_rdev(const char *path, const hm_nl_volume_t *nlvol);
int hm_unlock_mirror_rdev(const char *path, const hm_nl_volume_t *nlvol);
int hm_sync_start(const char *path, const hm_nl_volume_t *nlvol);
int hm_fail_mirror(const char *path, const hm_nl_volume_t *nlvol,
		   const char *path2, const hm_nl_volume_t *nlvol2);
int hm_up_mirror(const char *path, const hm_nl_volume_t *nlvol,
		 const char *path2, const hm_nl_volume_t *nlvol2);
int hm_set_sync_speed_max(const char *path, const hm_nl_volume_t *nlvol, unsigned int speed);
int hm_add_protect(const hm_nl_header1_t *h1, const char *path, const hm_nl_volume_t *nlvol,
		   const char *path2, const hm_nl_volume_t *nlvol2);
int hm_release_rdev(const hm_nl_volume_t *nlvol, char which);

/* hm_reg.cc: load, unload, boot registry */
void hmdevs_sync_stop(void);
void hmdevs_protection_init(void);
char *get_next_device_info(struct file *filp, char *buf, int size);
int parse_info(const char *info, int size, char *dev_name, char *uuid,
	       char *dev_name2, char *uuid2);
int parse_volume(const char *info, int size, char *name, char *uuid);
int uuid_to_guid(const char *uuid, guid_t *guid);
unsigned long hm_strtoul(const char *cp, char **endp, unsigned int base);
long hm_strtol(const char *cp, char **endp, unsigned int base);

#endif /* ZELMIR_KERNEL_HM_H */
