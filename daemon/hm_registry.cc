#include "hm_registry.h"

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

#include "hm_nl.h"
#include "hm_sys.h"
#include "mirapi/disk_id.h"
#include "mirapi/log.h"

hmdev_registry_t hmdev_registry = {
    {&hmdev_registry.hmdev_list, &hmdev_registry.hmdev_list},
    PTHREAD_MUTEX_INITIALIZER,
    PTHREAD_MUTEX_INITIALIZER,
    0,
    0,
    0,
    {0}};

pthread_mutex_t g_name_lock = PTHREAD_MUTEX_INITIALIZER;

int hm_strlcpy(char* dst, const char* src, size_t size) {
  if (size == 0) return -1;
  size_t n = strnlen(src, size);
  if (n >= size) {
    memcpy(dst, src, size - 1);
    dst[size - 1] = '\0';
    return -1;
  }
  memcpy(dst, src, n + 1);
  return 0;
}

void hmdev_registry_init(void) {
  INIT_LIST_HEAD(&hmdev_registry.hmdev_list);
  pthread_mutex_init(&hmdev_registry.list_lock, nullptr);
  pthread_mutex_init(&hmdev_registry.conf_lock, nullptr);
  hmdev_registry.conf_dirty = 0;
  hmdev_registry.conf_update_boot = 0;
  hmdev_registry.conf_damaged = 0;
  memset(hmdev_registry.hmdev_index_table, 0, sizeof(hmdev_registry.hmdev_index_table));
}

// The index table is touched by creation (workers, start-up) and destruction
// (any thread that drops the last reference).
static pthread_mutex_t index_lock = PTHREAD_MUTEX_INITIALIZER;

int hmdev_index_get(void) {
  pthread_mutex_lock(&index_lock);
  for (int i = 0; i < HM_INDEX_SLOTS; i++) {
    if (!hmdev_registry.hmdev_index_table[i]) {
      hmdev_registry.hmdev_index_table[i] = 1;
      pthread_mutex_unlock(&index_lock);
      return i;
    }
  }
  pthread_mutex_unlock(&index_lock);
  syslog(LOG_ERR, "%s: no index left\n", "hmdev_index_get");
  return -1;
}

void hmdev_index_put(int index) {
  if (index < 0 || index >= HM_INDEX_SLOTS) return;
  pthread_mutex_lock(&index_lock);
  hmdev_registry.hmdev_index_table[index] = 0;
  pthread_mutex_unlock(&index_lock);
}

void hm_set_conf_dirty(int update_boot) {
  pthread_mutex_lock(&hmdev_registry.conf_lock);
  hmdev_registry.conf_dirty = 1;
  if (update_boot) hmdev_registry.conf_update_boot = 1;
  pthread_mutex_unlock(&hmdev_registry.conf_lock);
}

void hmdev_init(struct hmdev* dev) {
  memset(dev, 0, sizeof(*dev));
  INIT_LIST_HEAD(&dev->list);
  pthread_mutex_init(&dev->ref_lock, nullptr);
  pthread_mutex_init(&dev->status_lock, nullptr);
  pthread_mutex_init(&dev->cmd_lock, nullptr);
  dev->ref = 1;
  dev->index = hmdev_index_get();
}

void hmvol_init(struct hmvol* vol) { memset(vol, 0, sizeof(*vol)); }

void hmvol_copy_name(const struct hmvol* vol, char* out, size_t size) {
  pthread_mutex_lock(&g_name_lock);
  hm_strlcpy(out, vol->name, size);
  pthread_mutex_unlock(&g_name_lock);
}

void hmvol_set_name(struct hmvol* vol, const char* name) {
  pthread_mutex_lock(&g_name_lock);
  hm_strlcpy(vol->name, name, sizeof(vol->name));
  pthread_mutex_unlock(&g_name_lock);
}

void hmvol_mark_missing(struct hmvol* vol) {
  pthread_mutex_lock(&g_name_lock);
  size_t n = strnlen(vol->name, sizeof(vol->name) - 1);
  if (n == 0 || vol->name[n - 1] != '?') {
    // A name that fills its field gives up its last character for the mark.
    if (n >= sizeof(vol->name) - 1) n = sizeof(vol->name) - 2;
    vol->name[n] = '?';
    vol->name[n + 1] = '\0';
  }
  pthread_mutex_unlock(&g_name_lock);
}

struct hmvol* hm_volume_create(const char* name, int major, int id_type, const void* id) {
  if (!name || strnlen(name, HM_DEV_PATH_MAX + 1) > HM_DEV_PATH_MAX) {
    HM_LOG(LOG_ERR, "device path too long or missing");
    return nullptr;
  }
  struct hmvol* vol = static_cast<struct hmvol*>(calloc(1, sizeof(*vol)));
  if (!vol) return nullptr;
  hm_strlcpy(vol->name, name, sizeof(vol->name));
  vol->major = major;
  if (g_disk_ops.size_scsi(name, &vol->size) != 0) {
    HM_LOG(LOG_ERR, "Failed to get size of [%s] via SCSI command.", name);
    HM_LOG(LOG_INFO, "Try to get size of [%s] via sysfs.", name);
    if (g_disk_ops.size_sysfs(name, &vol->size) != 0) {
      HM_LOG(LOG_ERR, "Still cannot get size of [%s] via sysfs.", name);
      free(vol);
      return nullptr;
    }
  }
  if (id_type == HMVOL_ID_SIGNATURE) {
    memcpy(&vol->vid, id, sizeof(vol->vid));
    guid_to_string(&vol->vid.san_volume_id.vol_guid, vol->guid, sizeof(vol->guid));
  } else {
    hm_strlcpy(vol->guid, static_cast<const char*>(id), sizeof(vol->guid));
  }
  vol->id_type = id_type;
  vol->active = 1;
  vol->is_disk = 1;
  return vol;
}

struct hmdev* hmdev_create(struct hmvol* primary) {
  struct hmdev* dev = static_cast<struct hmdev*>(malloc(sizeof(*dev)));
  if (!dev) return nullptr;
  hmdev_init(dev);
  dev->primary = primary;
  dev->nr_vol = 1;
  memcpy(dev->uuid, primary->guid, sizeof(dev->uuid));
  dev->sector_max = (primary->size + 511) >> 9;
  return dev;
}

struct hmdev* hmdev_get(struct hmdev* dev) {
  if (!dev) return nullptr;
  pthread_mutex_lock(&dev->ref_lock);
  HM_LOG(LOG_DEBUG, "uuid: %s ref: %d", dev->uuid, dev->ref);
  dev->ref++;
  pthread_mutex_unlock(&dev->ref_lock);
  return dev;
}

void hmdev_put(struct hmdev* dev) {
  if (!dev) return;
  pthread_mutex_lock(&dev->ref_lock);
  HM_LOG(LOG_DEBUG, "uuid: %s ref: %d", dev->uuid, dev->ref);
  int left = --dev->ref;
  pthread_mutex_unlock(&dev->ref_lock);
  if (left == 0) {
    HM_LOG(LOG_DEBUG, "hmdev: %s destroy", dev->primary ? dev->primary->name : "");
    hmdev_destroy(dev);
  }
}

void hmdev_destroy(struct hmdev* dev) {
  HM_LOG(LOG_DEBUG, "hmdev: %s Over", dev->uuid);
  if (dev->bitmap_fd > 0) {
    close(dev->bitmap_fd);
    dev->bitmap_fd = -1;
  }
  free(dev->primary);
  free(dev->mirror);
  hmdev_index_put(dev->index);
  pthread_mutex_destroy(&dev->ref_lock);
  pthread_mutex_destroy(&dev->status_lock);
  free(dev);
}

void hmdev_list_add(struct hmdev* dev) {
  pthread_mutex_lock(&hmdev_registry.list_lock);
  list_add_tail(&dev->list, &hmdev_registry.hmdev_list);
  dev->linked = 1;
  pthread_mutex_unlock(&hmdev_registry.list_lock);
}

int hmdev_list_del(struct hmdev* dev) {
  int unlinked = 0;
  pthread_mutex_lock(&hmdev_registry.list_lock);
  if (dev->linked) {
    list_del(&dev->list);
    dev->linked = 0;
    unlinked = 1;
  }
  pthread_mutex_unlock(&hmdev_registry.list_lock);
  return unlinked;
}

struct hmdev* hmdev_next(struct hmdev* prev) {
  struct hmdev* next = nullptr;
  pthread_mutex_lock(&hmdev_registry.list_lock);
  struct list_head* head = &hmdev_registry.hmdev_list;
  struct list_head* pos;
  if (!prev) {
    pos = head->next;
  } else if (prev->linked) {
    pos = prev->list.next;
  } else {
    // prev left the list while we worked on it: start over from the front
    // would repeat entries, so the walk ends here.
    pos = head;
  }
  if (pos != head) next = hmdev_get(list_entry(pos, struct hmdev, list));
  pthread_mutex_unlock(&hmdev_registry.list_lock);
  return next;
}

template <typename Match>
static struct hmdev* find_first(Match match) {
  struct hmdev* found = nullptr;
  pthread_mutex_lock(&hmdev_registry.list_lock);
  struct list_head* pos;
  list_for_each(pos, &hmdev_registry.hmdev_list) {
    struct hmdev* dev = list_entry(pos, struct hmdev, list);
    if (match(dev)) {
      found = hmdev_get(dev);
      break;
    }
  }
  pthread_mutex_unlock(&hmdev_registry.list_lock);
  return found;
}

struct hmdev* hmdev_find_by_index(int index) {
  return find_first([index](struct hmdev* d) { return d->index == index; });
}

static int vol_has_vid(const struct hmvol* v, const volume_id_t* vid) {
  return v && v->id_type == HMVOL_ID_SIGNATURE && memcmp(&v->vid, vid, sizeof(*vid)) == 0;
}

struct hmdev* hmdev_find_by_vid(const volume_id_t* vid) {
  return find_first([vid](struct hmdev* d) {
    return vol_has_vid(d->primary, vid) || vol_has_vid(d->mirror, vid);
  });
}

struct hmdev* hmdev_find_by_guid(const char* guid) {
  return find_first([guid](struct hmdev* d) {
    return (d->primary && strcmp(d->primary->guid, guid) == 0) ||
           (d->mirror && strcmp(d->mirror->guid, guid) == 0);
  });
}

int hmdev_stopped(struct hmdev* dev) { return hm_test_bit(dev->status, HM_DEV_STOPPED); }

int hmdev_linked(struct hmdev* dev) {
  pthread_mutex_lock(&hmdev_registry.list_lock);
  int linked = dev->linked;
  pthread_mutex_unlock(&hmdev_registry.list_lock);
  return linked;
}

int primary_in_use(const volume_id_t* vid) {
  struct hmdev* d = find_first([vid](struct hmdev* d) {
    return vol_has_vid(d->primary, vid) || vol_has_vid(d->mirror, vid);
  });
  if (!d) return 0;
  hmdev_put(d);
  return 1;
}

static int vol_guid_prefix(const struct hmvol* v, const char* guid, size_t n) {
  return v && v->id_type == HMVOL_ID_GUID && strncmp(v->guid, guid, n) == 0;
}

int mirror_in_use(const char* guid) {
  size_t n = strlen(guid);
  struct hmdev* d = find_first([guid, n](struct hmdev* d) {
    return vol_guid_prefix(d->primary, guid, n) || vol_guid_prefix(d->mirror, guid, n);
  });
  if (!d) return 0;
  hmdev_put(d);
  return 1;
}

int hmvol_check_path(struct hmvol* vol) {
  char name[HM_NAME_LEN];
  hmvol_copy_name(vol, name, sizeof(name));
  return g_disk_ops.check_path(name);
}

namespace {

struct refind {
  const char* guid;
  int unique;               // count every carrier, to refuse a shared one
  int count;
  char found[HM_NAME_LEN];  // the first matching path
  char other[HM_NAME_LEN];  // a second one, when unique is set
};

// A disk matches when its identity text is the volume's GUID, whole.
int refind_visit_path(const char* path, void* arg) {
  struct refind* r = static_cast<struct refind*>(arg);
  if (strlen(path) > HM_DEV_PATH_MAX) return 0;
  char text[HM_NAME_LEN] = {0};
  if (g_disk_ops.guid_by_name(path, text) != 0 || strcmp(text, r->guid) != 0) return 0;
  hm_strlcpy(r->count == 0 ? r->found : r->other, path, HM_NAME_LEN);
  r->count++;
  return !r->unique || r->count == 2;
}

// Entries of "/dev/cciss", for disks sysfs does not list.
int refind_visit_cciss(const char* name, void* arg) {
  if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return 0;
  if (strchr(name, 'p') || strchr(name, 'P')) return 0;
  char path[HM_NAME_LEN];
  if (snprintf(path, sizeof(path), "/dev/cciss/%s", name) >= (int)sizeof(path)) return 0;
  return refind_visit_path(path, arg);
}

}  // namespace

int hm_find_disks(const char* guid, int id_type, char* found, char* other) {
  // An empty stored GUID would match any disk, so it matches none.
  if (!guid || !guid[0]) return 0;
  struct refind r = {guid, id_type == HMVOL_ID_SIGNATURE, 0, {0}, {0}};
  int rc = g_disk_ops.for_each_disk(refind_visit_path, &r);
  if (rc < 0) return rc;
  if (r.count == 0 && g_disk_ops.for_each_cciss(refind_visit_cciss, &r) < 0)
    HM_LOG(LOG_DEBUG, "No HP Smart Array disks\n");
  if (found) hm_strlcpy(found, r.found, HM_NAME_LEN);
  if (other) hm_strlcpy(other, r.other, HM_NAME_LEN);
  return r.count;
}

namespace {

struct whole {
  const char* path;
  int found;
};

int whole_visit(const char* path, void* arg) {
  struct whole* w = static_cast<struct whole*>(arg);
  w->found = strcmp(path, w->path) == 0;
  return w->found;
}

}  // namespace

int hm_whole_disk(const char* path) {
  struct whole w = {path, 0};
  return g_disk_ops.for_each_disk(whole_visit, &w) == 0 && w.found;
}

// One disk by the volume's identity into found: 1; 0 for none (the name is
// marked missing); 2 when a signature is on two disks, which names neither:
// the volume is ambiguous until one of them is signed anew, its name stays
// as it was and nothing may be sent to the module under either name; or the
// walk's failure (-1 no class or descriptors short, -2 no device list).
static int refind_volume(struct hmvol* vol, char* found) {
  char other[HM_NAME_LEN];
  unsigned seen = hm_fd_shortage_count();
  int n = hm_find_disks(vol->guid, vol->id_type, found, other);
  if (n < 0) return n;
  // A disk that could not be opened for want of a descriptor was not
  // counted: the walk may have missed the volume, or the other carrier of
  // its signature, and says nothing.
  if (hm_fd_shortage_count() != seen || hm_fd_short()) {
    HM_LOG(LOG_ERR, "volume %s not looked for: no descriptor was left to read the disks", vol->guid);
    return -1;
  }
  int was = __atomic_exchange_n(&vol->ambiguous, n > 1, __ATOMIC_RELAXED);
  if (n == 1) return 1;
  if (n > 1) {
    char name[HM_NAME_LEN];
    hmvol_copy_name(vol, name, sizeof(name));
    HM_LOG(was ? LOG_DEBUG : LOG_ERR,
           "disk %s: identity %s is on %s and on %s; it waits until one of them is signed anew",
           name, vol->guid, found, other);
    return 2;
  }
  hmvol_mark_missing(vol);
  return 0;
}

int update_volume_name(struct hmvol* vol) {
  char found[HM_NAME_LEN];
  int rc = refind_volume(vol, found);
  if (rc == 2) return 1;
  if (rc != 1) return -1;
  char old[HM_NAME_LEN];
  hmvol_copy_name(vol, old, sizeof(old));
  HM_LOG(LOG_INFO, "%s(old) => %s(new)", old, found);
  if (strcmp(old, found) != 0) {
    hmvol_set_name(vol, found);
    hm_set_conf_dirty(0);
  }
  return 0;
}

void update_hm_volume(struct hmvol* vol) {
  char found[HM_NAME_LEN];
  int rc = refind_volume(vol, found);
  // Without a device list the disk counts as not found; without the class
  // nothing is known, and the name stays.
  if (rc == -2) hmvol_mark_missing(vol);
  if (rc != 1) return;
  HM_LOG(LOG_DEBUG, "%s(old) => %s(new)\n", vol->name, found);
  if (strcmp(vol->name, found) != 0) hm_set_conf_dirty(0);
  hmvol_set_name(vol, found);
  vol->active = 1;
  vol->state = HMVOL_UP;
}
