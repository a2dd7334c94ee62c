// CREATE_SNAPSHOT, a CDP mark made now on the mirror of one disk or on all
// mirrors of a consistency group, and SNAP_RESTORE, the wait for restored
// volumes to appear on the host.  Neither changes the configuration.
#include <stdlib.h>
#include <string.h>

#include <memory>

#include "mirapi/log.h"
#include "qor_cdp.h"
#include "qor_client.h"
#include "qor_diskid.h"
#include "qor_handlers.h"
#include "qor_lock.h"
#include "qor_mirror.h"
#include "qor_model.h"
#include "qor_parse.h"
#include "zel/zel_devgrp.h"
#include "zel/zel_outside.h"
#include "qor_xml.h"

namespace {

constexpr int kNotSynced = 10023;
constexpr int kNoRelationship = 10024;
constexpr int kMarkFailed = 10021;

// Over the relationships of g_client whose GUID field (source or mirror)
// equals guid: 0 when there is one and all are synchronized, kNotSynced
// when one is not, kNoRelationship when there is none.
int relationship_state(const char* guid, bool by_mirror) {
  MutexLock l(&g_client.lock);
  bool found = false;
  struct list_head* pos;
  list_for_each(pos, &g_client.backups) {
    const qor_backup* bk = list_entry(pos, qor_backup, list);
    if (strcmp(by_mirror ? bk->dest_guid : bk->src_guid, guid) != 0) continue;
    found = true;
    if (bk->state != QOR_BACKUP_SYNCED) return kNotSynced;
  }
  return found ? 0 : kNoRelationship;
}

int snapshot_disk(const char* local) {
  HM_LOG(LOG_INFO, "Creating snapshot for single disk: %s.", local);
  QorText mirror;
  {
    MutexLock l(&g_client.lock);
    mirror.reset(get_mirror_guid_of_local(local, &g_client));
  }
  if (mirror == nullptr) {
    HM_LOG(LOG_ERR, "Failed to get mirror guid of %s.", local);
    return 1;
  }
  int state = relationship_state(mirror.get(), true);
  if (state == kNotSynced) {
    HM_LOG(LOG_ERR, "Snapshot creation failed, source disk is not synchronized yet.");
    return kNotSynced;
  }
  if (state == kNoRelationship) {
    HM_LOG(LOG_ERR, "Failed to find backup relationship, snapshot creation canceled.");
    return kNoRelationship;
  }
  HM_LOG(LOG_INFO, "Disk status check finished.");
  char mark[QOR_MARK_NAME];
  if (qor_braced_guid(mark, sizeof(mark), mirror.get()) < 0) return 1;
  if (zel_call_disk_markcdp(mark) < 0) {
    HM_LOG(LOG_ERR, "Failed to create snapshot for disk %s.", local);
    return kMarkFailed;
  }
  HM_LOG(LOG_INFO, "Single disk snapshot creation is completed successfully.");
  HM_LOG(LOG_INFO, "Complete work: CREATE_SNAPSHOT");
  return 0;
}

// The first group of that name; the caller holds the configuration lock.
backup_group* find_group(const char* name) {
  struct list_head* pos;
  list_for_each(pos, &g_qor->groups) {
    backup_group* grp = list_entry(pos, backup_group, list);
    if (grp->name == nullptr) {
      HM_LOG(LOG_WARNING, "Failed to get group name.");
      continue;
    }
    if (strcmp(grp->name, name) == 0) return grp;
  }
  return nullptr;
}

// The configuration lock is held to the end, the mark included, so the
// members cannot change between the checks and the mark.
int snapshot_group(const char* name) {
  MutexLock l(&g_qor->mutex);
  HM_LOG(LOG_INFO, "Creating snapshot for group: %s.", name);
  backup_group* grp = find_group(name);
  if (grp == nullptr) {
    // Nothing was marked: the server must not take it for a mark.
    HM_LOG(LOG_ERR, "Group %s not found, snapshot creation canceled.", name);
    return kNoRelationship;
  }
  HM_LOG(LOG_INFO, "Found group %s.", name);
  struct list_head* pos;
  list_for_each(pos, &grp->members) {
    const guid_entry* m = list_entry(pos, guid_entry, list);
    if (m->guid == nullptr) {
      HM_LOG(LOG_WARNING, "Failed to get group member GUID.");
      continue;
    }
    int state = relationship_state(m->guid, false);
    if (state == kNotSynced) {
      HM_LOG(LOG_ERR, "Disk %s is not synchronized yet, snapshort creation canceled.", m->guid);
      return kNotSynced;
    }
    if (state == kNoRelationship) {
      HM_LOG(LOG_ERR, "Unable to find backup relationship of disk %s, snapshot creation canceled.",
             m->guid);
      return kNoRelationship;
    }
  }
  Zeldevgrp* devs = _bkup_grp_to_cdp_zelgrp(grp);
  if (devs == nullptr) {
    HM_LOG(LOG_ERR, "Failed to convert backup_group to zeldevgrp.");
    return 1;
  }
  int rc = zel_call_grp_markcdp(devs);
  zeldevgrp_free(devs);
  if (rc < 0) {
    HM_LOG(LOG_ERR, "Failed to create snapshot for group: %s.", name);
    return kMarkFailed;
  }
  HM_LOG(LOG_INFO, "Group snapshot creation is completed successfully.");
  HM_LOG(LOG_INFO, "Complete work: CREATE_SNAPSHOT");
  return 0;
}

class GuidList {
 public:
  GuidList() { INIT_LIST_HEAD(&head); }
  ~GuidList() { guid_list_free(&head); }
  GuidList(const GuidList&) = delete;
  GuidList& operator=(const GuidList&) = delete;
  struct list_head head;
};

}  // namespace

int create_snapshot(qorc_req* req) {
  HM_LOG(LOG_INFO, "Recv cmd: CREATE_SNAPSHOT");
  if (req == nullptr) {
    HM_LOG(LOG_ERR, "Error: empty XML request.");
    return 1;
  }
  if (!qor_managed()) {
    HM_LOG(LOG_ERR, "Error: client is not protected by a server.");
    return 50;
  }
  char* text = nullptr;
  int type = QOR_SOURCE_DISK, is_cluster = 0;
  int rc = xml_to_snap_guid(req->recvxml, &text, &type, &is_cluster);
  QorText source(text);
  if (rc < 0) {
    HM_LOG(LOG_ERR, "Failed to parse snapshot creation request.");
    return 4;
  }
  if (source == nullptr || source.get()[0] == '\0') {
    HM_LOG(LOG_ERR, "Failed to get source from xml for snapshot creation.");
    return 1;
  }
  return type == QOR_SOURCE_DISK ? snapshot_disk(source.get()) : snapshot_group(source.get());
}

int snap_restore(qorc_req* req) {
  HM_LOG(LOG_INFO, "Recv cmd: SNAP_RESTORE");
  if (req == nullptr) {
    HM_LOG(LOG_ERR, "Null request, failed to restore snapshot(s).");
    return 1;
  }
  if (!qor_managed()) return 50;
  GuidList vols;
  if (xml_to_snap_vol_guid(req->recvxml, &vols.head) < 0) {
    HM_LOG(LOG_ERR, "Failed to parse XML request for snapshot restoration.");
    return 4;
  }
  for (int pass = 0; pass < QOR_WAIT_PASSES; pass++) {
    if (list_empty(&vols.head)) {
      HM_LOG(LOG_INFO, "All the specified volumes are correctly restored!");
      break;
    }
    qor_wait_pass(pass);
    struct list_head *pos, *n;
    list_for_each_safe(pos, n, &vols.head) {
      guid_entry* vol = list_entry(pos, guid_entry, list);
      if (vol->guid == nullptr || !qor_guid_online(vol->guid)) continue;
      HM_LOG(LOG_INFO, "Volume %s is online.", vol->guid);
      guid_entry_free(vol);
    }
  }
  if (list_empty(&vols.head)) {
    HM_LOG(LOG_DEBUG, "Restore snapshot done");
    return 0;
  }
  HM_LOG(LOG_ERR, "Some of the specified volumes are not correctly restored!");
  struct list_head* pos;
  list_for_each(pos, &vols.head)
    HM_LOG(LOG_ERR, "Volume %s is not restored.", list_entry(pos, guid_entry, list)->guid);
  return 1;
}
