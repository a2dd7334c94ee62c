// The scheduled CDP marks: the disk and group mark threads and the device
// group handed to the CDP agent's library.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "mirapi/log.h"
#include "qor_cdp.h"
#include "qor_client.h"
#include "qor_lock.h"
#include "zel/zel_device.h"
#include "zel/zel_outside.h"

namespace {

const char* text(const char* s) { return s != nullptr ? s : "(null)"; }

// The relationships whose field (dest_guid or src_guid) is guid: 0 when
// there is one and all of them are synchronized, 1 when one is not, 2 when
// there is none.  g_client.lock held.
using GuidField = char (qor_backup::*)[QOR_GUID_FIELD];
int sync_state_locked(const char* guid, GuidField field) {
  bool found = false;
  list_head* pos;
  list_for_each(pos, &g_client.backups) {
    const qor_backup* bk = list_entry(pos, qor_backup, list);
    const char* value = bk->*field;
    if (strncmp(value, guid, QOR_GUID_FIELD) != 0) continue;
    if (bk->state != QOR_BACKUP_SYNCED) return QOR_UNSYNCED;
    found = true;
  }
  return found ? QOR_SYNCED : QOR_NO_RELATIONSHIP;
}

backup_group* find_group_locked(const char* name) {
  list_head* pos;
  list_for_each(pos, &g_qor->groups) {
    backup_group* grp = list_entry(pos, backup_group, list);
    if (grp->name != nullptr && strcmp(grp->name, name) == 0) return grp;
  }
  return nullptr;
}

}  // namespace

int qor_mirror_sync_state(const char* mirror_guid) {
  MutexLock l(&g_client.lock);
  return sync_state_locked(mirror_guid, &qor_backup::dest_guid);
}

int qor_source_sync_state(const char* local_guid) {
  MutexLock l(&g_client.lock);
  return sync_state_locked(local_guid, &qor_backup::src_guid);
}

int qor_braced_guid(char* out, size_t size, const char* guid) {
  if (size > 0) out[0] = '\0';
  if (guid == nullptr || size < 3 || strlen(guid) > size - 3) {
    HM_LOG(LOG_ERR, "GUID %s does not fit a mark name of %zu bytes.", text(guid), size);
    return -1;
  }
  snprintf(out, size, "{%s}", guid);
  return 0;
}

int cdp_mark_disk(const char* mirror_guid) {
  if (mirror_guid == nullptr || mirror_guid[0] == '\0') {
    HM_LOG(LOG_ERR, "CDP Schedule: Invalid mirror GUID: %s.", text(mirror_guid));
    return -1;
  }
  char name[QOR_MARK_NAME];
  if (qor_braced_guid(name, sizeof(name), mirror_guid) != 0) return -1;
  HM_LOG(LOG_INFO, "CDP Schedule: Creating snapshot for mirror :%s.", name);
  int state = qor_mirror_sync_state(mirror_guid);
  if (state == QOR_UNSYNCED) {
    HM_LOG(LOG_ERR, "Snapshot creation failed, source disk is not synchronized yet, abort.");
    return -1;
  }
  if (state == QOR_NO_RELATIONSHIP) {
    HM_LOG(LOG_ERR, "Unable to find backup relationship, snapshot creation canceled.");
    return -1;
  }
  HM_LOG(LOG_INFO, "Disk status check finished.");
  HM_LOG(LOG_DEBUG, "Start to create snapshot");
  // One attempt: a failed mark waits for the next due time.
  int rc = zel_call_disk_markcdp(name) < 0 ? -1 : 0;
  if (rc != 0) {
    HM_LOG(LOG_ERR, "CDP Schedule: Failed to create snapshot for %s.", name);
    zel_device_probe_all(1);
  }
  HM_LOG(LOG_DEBUG, "Complete snapshot");
  return rc;
}

int cdp_mark_group(const char* group_name) {
  if (group_name == nullptr) {
    HM_LOG(LOG_ERR, "CDP Schedule: CDP creation aborted, null parameter.");
    return -1;
  }
  // Held from the search to the end of the library call: the group cannot
  // change or go while it is marked.
  MutexLock config(&g_qor->mutex);
  HM_LOG(LOG_INFO, "CDP Schedule: Searching for group %s.", group_name);
  const backup_group* grp = find_group_locked(group_name);
  if (grp == nullptr) return -1;
  list_head* pos;
  list_for_each(pos, &grp->members) {
    const char* member = list_entry(pos, guid_entry, list)->guid;
    if (member == nullptr) continue;
    int state = qor_source_sync_state(member);
    if (state == QOR_UNSYNCED) {
      HM_LOG(LOG_ERR, "Disk %s is not synchronized yet, snapshort creation canceled.", member);
      return -1;
    }
    if (state == QOR_NO_RELATIONSHIP) {
      HM_LOG(LOG_ERR, "Unable to find backup relationship of disk %s, snapshot creation canceled.",
             member);
      return -1;
    }
  }
  HM_LOG(LOG_INFO, "CDP Schedule: Group %s found.", group_name);
  ZeldevgrpGuard devs{_bkup_grp_to_cdp_zelgrp(grp)};
  if (devs.grp == nullptr) {
    HM_LOG(LOG_ERR, "CDP Schedule: Failed to convert backup_group to zeldevgrp.");
    return -1;
  }
  if (zel_call_grp_markcdp(devs.grp) < 0) {
    HM_LOG(LOG_ERR, "CDP Schedule: Failed to create snapshot for group %s.", group_name);
    return -1;
  }
  HM_LOG(LOG_INFO, "CDP Schedule: Snapshot is complete successfully.");
  return 0;
}

void* mark_cdp_thread(void* arg) {
  char* guid = static_cast<char*>(arg);
  cdp_mark_disk(guid);
  free(guid);
  return nullptr;
}

void* mark_grp_cdp_thread(void* arg) {
  char* name = static_cast<char*>(arg);
  cdp_mark_group(name);
  free(name);
  return nullptr;
}

Zeldevgrp* _bkup_grp_to_cdp_zelgrp(const backup_group* grp) {
  if (grp == nullptr) {
    HM_LOG(LOG_ERR, "Error: Unable to convert null backup group.");
    return nullptr;
  }
  auto* devs = static_cast<Zeldevgrp*>(calloc(1, sizeof(Zeldevgrp)));
  if (devs == nullptr) {
    HM_LOG(LOG_ERR, "Failed to allocation memory for Zeldevgrp.");
    return nullptr;
  }
  INIT_LIST_HEAD(&devs->members);
  ZeldevgrpGuard on_failure{devs};
  HM_LOG(LOG_INFO, "Start to convert backup group to zel device group.");
  if (grp->name != nullptr && (devs->name = strdup(grp->name)) == nullptr) {
    HM_LOG(LOG_ERR, "Failed to allocation memory for Zeldevgrp.");
    return nullptr;
  }

  MutexLock l(&g_client.lock);
  list_head* pos;
  list_for_each(pos, &grp->members) {
    const char* member = list_entry(pos, guid_entry, list)->guid;
    if (member == nullptr) continue;
    HM_LOG(LOG_INFO, "Found member disk: %s.", member);
    char* mirror = get_mirror_guid_of_local(member, &g_client);
    if (mirror == nullptr) {
      HM_LOG(LOG_ERR, "Failed to get mirror GUID of disk %s.", member);
      return nullptr;
    }
    // The record's field holds "{", 36 characters, "}" and the terminator;
    // a shorter GUID leaves zero bytes after its terminator, as the record's
    // layout has them, never what the stack held.
    char braced[ZELDEV_GUID_LEN] = {};
    int fits = qor_braced_guid(braced, sizeof(braced), mirror);
    if (fits != 0) {
      free(mirror);
      return nullptr;
    }
    HM_LOG(LOG_INFO, "Brace-enclosed GUID %s generated.", braced);
    list_head* dpos;
    list_for_each(dpos, &g_client.disks) {
      const qor_disk* disk = list_entry(dpos, qor_disk, list);
      if (disk->guid == nullptr) {
        HM_LOG(LOG_WARNING, "Disk anomaly detected, GUID of disk %s is null.", text(disk->name));
        continue;
      }
      if (strcmp(disk->guid, mirror) != 0) continue;
      auto* dev = static_cast<Zeldev*>(calloc(1, sizeof(Zeldev)));
      if (dev == nullptr || (disk->path != nullptr && (dev->path = strdup(disk->path)) == nullptr)) {
        free(dev);
        free(mirror);
        HM_LOG(LOG_ERR, "Failed to allocate memory for Zeldev.");
        return nullptr;
      }
      memcpy(dev->guid, braced, sizeof(dev->guid));
      dev->flag = 1;
      list_add_tail(&dev->node, &devs->members);
      HM_LOG(LOG_INFO, "Disk %s (%s) is dumped into zel device group %s.", braced,
             text(disk->path), text(devs->name));
    }
    free(mirror);
  }
  HM_LOG(LOG_INFO, "Conversion complete.");
  on_failure.grp = nullptr;
  return devs;
}
