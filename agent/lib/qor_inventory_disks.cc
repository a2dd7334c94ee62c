// Disks of the inventory: the outside disk library's list, made into
// qor_disk records with their identities, and their partition-table types.
#include <stdlib.h>
#include <string.h>

#include "mirapi/log.h"
#include "qor_diskid.h"
#include "qor_inventory.h"
#include "qor_run.h"
#include "zel/zeldisk.h"

namespace {

char* copy_text(const char* text, bool* failed) {
  if (text == nullptr) return nullptr;
  char* copy = strdup(text);
  if (copy == nullptr) *failed = true;
  return copy;
}

// Keeps g_client.disk_num and rescans the devices once valid disks went
// away.  The caller holds disk_num_lock.
void note_disk_count(const struct list_head* devs) {
  int count = 0;
  const struct list_head* pos;
  list_for_each(pos, devs) {
    if (list_entry(pos, zeldisk_dev_t, node)->valid) ++count;
  }
  HM_LOG(LOG_DEBUG, "g_client disk num is %d.", g_client.disk_num);
  HM_LOG(LOG_DEBUG, "g_client disk num changed is %d.", count);
  bool gone = g_client.disk_num != 0 && g_client.disk_num > count;
  g_client.disk_num = count;
  if (!gone) return;
  int rc = qor_run_shell("zeldisk -r", QOR_RUN_LIMIT_S, nullptr, 0, nullptr);
  if (rc == QOR_RUN_FAILED) HM_LOG(LOG_DEBUG, "zeldisk -r error.");
  if (rc == QOR_RUN_TIMEOUT) HM_LOG(LOG_ERR, "zeldisk -r ran past %d seconds.", QOR_RUN_LIMIT_S);
}

// Copies the library's partitions; one that cannot be copied is left out.
void copy_parts(qor_disk* disk, const zeldisk_dev_t* dev) {
  const struct list_head* pos;
  list_for_each(pos, &dev->parts) {
    const zeldisk_part_t* p = list_entry(pos, zeldisk_part_t, node);
    qor_part* part = static_cast<qor_part*>(calloc(1, sizeof(*part)));
    bool failed = part == nullptr;
    if (part != nullptr) {
      part->name = copy_text(p->name, &failed);
      part->guid = copy_text(p->guid, &failed);
      part->fs = copy_text(p->fs, &failed);
      part->size = p->size;
      part->used = p->used;
    }
    if (failed) {
      HM_LOG(LOG_ERR, "Failed to allocate memory");
      partition_free(part);
      continue;
    }
    list_add_tail(&part->list, &disk->parts);
  }
}

// A new qor_disk of one device record, or null when memory runs out.
qor_disk* make_disk(zeldisk_dev_t* dev) {
  qor_disk* disk = static_cast<qor_disk*>(calloc(1, sizeof(*disk)));
  if (disk == nullptr) return nullptr;
  INIT_LIST_HEAD(&disk->parts);
  bool failed = false;
  disk->name = copy_text(dev->name, &failed);
  disk->path = copy_text(dev->path, &failed);
  disk->size = dev->size * 512;
  disk->state = dev->valid;
  if (failed || qor_disk_set_vendor(disk, dev->vendor, dev->model) != 0) {
    disk_free(disk);
    return nullptr;
  }
  if (disk->state) {
    char* guid = nullptr;
    if (qor_read_disk_guid(disk->path, disk->on_storage, &guid) != 0) {
      HM_LOG(LOG_ERR, "The identity of disk %s cannot be read; it is not valid in this scan.",
             disk->path ? disk->path : disk->name);
      disk->state = 0;
    }
    disk->guid = guid;
  }
  copy_parts(disk, dev);
  return disk;
}

}  // namespace

int qor_disk_set_vendor(qor_disk* disk, char* vendor, char* model) {
  if (vendor == nullptr || model == nullptr) return 0;
  trim_blank(vendor);
  trim_blank(model);
  if (asprintf(&disk->vendor, "%s %s", vendor, model) < 0) {
    disk->vendor = nullptr;
    return -1;
  }
  disk->on_storage = strcmp(model, "ZELSolution") == 0 || strcmp(vendor, "UVO") == 0;
  return 0;
}

int qor_disk_needs_signature(const qor_disk* disk) {
  return disk->state && disk->guid == nullptr && !disk->on_storage;
}

int qor_get_disks(struct list_head* disks, int flag) {
  if (disks == nullptr) return -1;
  struct list_head devs;
  INIT_LIST_HEAD(&devs);
  pthread_mutex_lock(&g_client.disk_num_lock);
  zeldisk_get_devs(&devs, flag);
  note_disk_count(&devs);
  pthread_mutex_unlock(&g_client.disk_num_lock);

  struct list_head* pos;
  list_for_each(pos, &devs) {
    zeldisk_dev_t* dev = list_entry(pos, zeldisk_dev_t, node);
    if (dev->name == nullptr) continue;
    HM_LOG(LOG_DEBUG, "[QOR_GET_DISKS]: Found disk %s.", dev->path ? dev->path : "");
    qor_disk* disk = make_disk(dev);
    if (disk == nullptr) {
      HM_LOG(LOG_ERR, "Failed to allocate memory");
      break;
    }
    list_add_tail(&disk->list, disks);
  }
  zeldisk_free_devs(&devs);
  return 0;
}

int qor_get_part_type_lock(struct list_head* disks, struct list_head* backups,
                           pthread_mutex_t* mutex) {
  if (disks == nullptr) return -1;
  struct list_head* pos;
  list_for_each(pos, disks) {
    qor_disk* disk = list_entry(pos, qor_disk, list);
    if (!disk->state || disk->guid == nullptr) continue;
    bool mirror = false;
    if (backups != nullptr) {
      if (mutex != nullptr) pthread_mutex_lock(mutex);
      struct list_head* b;
      list_for_each(b, backups) {
        if (strcmp(list_entry(b, qor_backup, list)->dest_guid, disk->guid) == 0) {
          mirror = true;
          break;
        }
      }
      if (mutex != nullptr) pthread_mutex_unlock(mutex);
    }
    // A mirror is guarded by the module: it is never read.
    if (mirror) continue;
    HM_LOG(LOG_DEBUG, "start get part type.");
    disk->part_type = get_part_type(disk->path);
    HM_LOG(LOG_DEBUG, "finish get part type.");
  }
  return 0;
}
