// The registry of protections: every hmdev zelmird manages, with its two
// volumes, in one list.  The configuration files are written from it and
// read back into it; kernel status is copied into it; every handler, the
// status thread and the CDP marks find protections through its lookups.
//
// Locks: list_lock (membership and walks) before an hmdev's ref_lock and
// before the netlink bind lock; conf_lock only around the two flags, never
// with another registry lock; g_name_lock (volume names) is a leaf.
#ifndef ZELMIR_DAEMON_HM_REGISTRY_H
#define ZELMIR_DAEMON_HM_REGISTRY_H

#include <pthread.h>
#include <stdint.h>

#include "hm_list.h"
#include "hm_volume.h"

#define HM_NAME_LEN 128       // name and guid fields, with the terminator
#define HM_INDEX_SLOTS 256
// A device path the boot registry and the kernel can carry: the module reads
// paths of at most 31 characters with their "?" at boot.
#define HM_DEV_PATH_MAX 63

enum hmvol_state { HMVOL_UNKNOWN = 0, HMVOL_DOWN = 1, HMVOL_UP = 2, HMVOL_STANDBY = 3 };
enum hmvol_role { HMVOL_PRIMARY = 1, HMVOL_MIRROR = 2 };
enum hmvol_id_type { HMVOL_ID_SIGNATURE = 1, HMVOL_ID_GUID = 2 };

// Member flag value of a faulty disk in a volume's kstatus.
#define HM_KSTATUS_FAULTY 2

struct hmdev;

struct hmvol {
  struct hmdev* hmdev;
  char name[HM_NAME_LEN];   // device path; a trailing "?" marks it absent
  char guid[HM_NAME_LEN];   // identity text (36 characters)
  int32_t id_type;
  volume_id_t vid;
  int32_t is_disk;
  int32_t major;            // role: 1 primary, 2 mirror
  uint64_t kstatus;
  int32_t state;
  uint64_t size;            // bytes
  int32_t active;
  int32_t lock;
  // Daemon-only: the last re-find found its identity on more than one disk
  // (atomic; the status reports say so).
  int32_t ambiguous;
};

struct hmdev {
  struct list_head list;
  int32_t index;
  int32_t ref;
  int32_t mode;
  int32_t nr_vol;
  pthread_mutex_t ref_lock;
  char uuid[HM_NAME_LEN];
  struct hmvol* primary;
  struct hmvol* mirror;
  uint16_t sync_speed;
  int32_t bitmap_fd;
  int32_t is_ha;
  int32_t sync_on;
  uint64_t status;
  uint64_t sector_synced;
  uint64_t sector_max;
  uint64_t writes_pending, sync_pending, hmbio_pending, chunk_needed;
  uint64_t time2lst_rio, time2lst_wio;
  uint32_t mempages, alloced_mempage;
  int32_t bitmap_status;  // the kernel holds a bitmap for it: it can run
  pthread_mutex_t status_lock;
  // Held by a cancel from its Stop Protection to its unlink, and by the
  // status pass around each Add it sends, so the pass never hands the module
  // a protection that was just cancelled.
  pthread_mutex_t cmd_lock;
  // Daemon-only bookkeeping, under list_lock: in the list, and an unprotect
  // task is queued for it.
  int linked;
  int task_pending;
};

struct hmdev_registry_t {
  struct list_head hmdev_list;
  pthread_mutex_t list_lock;
  pthread_mutex_t conf_lock;
  int conf_dirty;
  int conf_update_boot;
  // "hmdev.conf" was damaged when read at start-up: it and the boot registry
  // are left as they are, for repair, and not rewritten by this run.
  int conf_damaged;
  int hmdev_index_table[HM_INDEX_SLOTS];
};
extern hmdev_registry_t hmdev_registry;

// Guards every volume's name against a rewrite by the re-find.
extern pthread_mutex_t g_name_lock;

static inline int hm_test_bit(uint64_t word, int bit) { return (word >> bit) & 1; }

// Clears the registry (empty list, flags 0, every index free).
void hmdev_registry_init(void);

int hmdev_index_get(void);
void hmdev_index_put(int index);

void hmdev_init(struct hmdev* dev);
void hmvol_init(struct hmvol* vol);
// id is a volume_id_t for id_type 1, a GUID text for id_type 2.
struct hmvol* hm_volume_create(const char* name, int major, int id_type, const void* id);
struct hmdev* hmdev_create(struct hmvol* primary);
struct hmdev* hmdev_get(struct hmdev* dev);
void hmdev_put(struct hmdev* dev);
void hmdev_destroy(struct hmdev* dev);

// Appends under list_lock.
void hmdev_list_add(struct hmdev* dev);
// Unlinks under list_lock: 1 when this call unlinked it, 0 when it was not in
// the list.  Only the caller that unlinked drops the list's reference.
int hmdev_list_del(struct hmdev* dev);
// The locked next-entry step: the entry after prev (the first for NULL),
// with a reference taken, or NULL at the end.  prev's reference stays.
struct hmdev* hmdev_next(struct hmdev* prev);

struct hmdev* hmdev_find_by_index(int index);
struct hmdev* hmdev_find_by_vid(const volume_id_t* vid);
struct hmdev* hmdev_find_by_guid(const char* guid);
int hmdev_stopped(struct hmdev* dev);
// 1 while the protection is in the list (read under list_lock).
int hmdev_linked(struct hmdev* dev);

int primary_in_use(const volume_id_t* vid);
int mirror_in_use(const char* guid);

int hmvol_check_path(struct hmvol* vol);
// The whole disks whose identity text is guid, exactly: how many (for a
// signature, id_type 1, counted to two; else the first only), the first
// path into found and a second into other (HM_NAME_LEN each, may be null);
// negative when the disks cannot be walked.
int hm_find_disks(const char* guid, int id_type, char* found, char* other);
// Whether path is the device of a whole disk (no partition).
int hm_whole_disk(const char* path);
// Whether the last re-find of the volume found its identity on two disks.
static inline int hmvol_ambiguous(const struct hmvol* vol) {
  return __atomic_load_n(&vol->ambiguous, __ATOMIC_RELAXED);
}
// 0 found (renamed when its path changed), -1 not found (marked missing) or
// not walked, 1 ambiguous (left as it was).
int update_volume_name(struct hmvol* vol);
void update_hm_volume(struct hmvol* vol);

// Names: copies out under g_name_lock, sets (bounded), marks with "?".
void hmvol_copy_name(const struct hmvol* vol, char* out, size_t size);
void hmvol_set_name(struct hmvol* vol, const char* name);
void hmvol_mark_missing(struct hmvol* vol);

void hm_set_conf_dirty(int update_boot);

// Bounded, terminated copy; returns -1 when src did not fit.
int hm_strlcpy(char* dst, const char* src, size_t size);

#endif  // ZELMIR_DAEMON_HM_REGISTRY_H
