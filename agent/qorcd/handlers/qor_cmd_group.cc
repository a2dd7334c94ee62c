// The Tidewell server's group commands: BG_CREATE (46), REM_DISK_FROM_BG
// (48), DEL_BACKUP_GRP (62) and ADD_DISK_TO_BG (69).  None answers with a
// document.
#include <stdlib.h>
#include <string.h>

#include "mirapi/log.h"
#include "qor_cdp.h"
#include "qor_client.h"
#include "qor_groups.h"
#include "qor_handlers.h"
#include "qor_lock.h"
#include "qor_model.h"
#include "qor_parse.h"

int bg_create(qorc_req* req) {
  if (req == nullptr) {
    HM_LOG(LOG_ERR, "Failed to parse the request, null pointer.");
    return 1;
  }
  if (!qor_managed()) {
    HM_LOG(LOG_ERR, "Failed to create group, client is not affected to a server.");
    return 50;
  }
  int is_cluster = 0;
  backup_group* grp = xml_to_backup_grp(req->recvxml, &is_cluster);
  if (grp == nullptr) {
    HM_LOG(LOG_ERR, "Failed to parse the XML doc of request.");
    return 4;
  }
  if (int status = qor_group_request_status(grp); status != 0) {
    backup_grp_free(grp);
    return status;
  }
  return qor_group_create(grp, 1);
}

int add_disk_to_grp(qorc_req* req) {
  HM_LOG(LOG_INFO, "Recv cmd ADD_DISK_TO_BG");
  if (req == nullptr) {
    HM_LOG(LOG_ERR, "Failed to parse request, null pointer.");
    return 1;
  }
  if (!qor_managed()) {
    HM_LOG(LOG_ERR, "Failed to modify group, client is not protected.");
    return 50;
  }
  int is_cluster = 0;
  backup_group* grp = xml_to_backup_grp(req->recvxml, &is_cluster);
  if (grp == nullptr) {
    HM_LOG(LOG_ERR, "Failed to retrieve the group of request.");
    return 4;
  }
  if (int status = qor_group_request_status(grp); status != 0) {
    backup_grp_free(grp);
    return status;
  }
  return qor_group_add_members(grp, "Searching for CDP schedule of requested disks.");
}

int del_backup_grp(qorc_req* req) {
  HM_LOG(LOG_INFO, "Recv cmd: DEL_BACKUP_GRP");
  if (req == nullptr) {
    HM_LOG(LOG_ERR, "Failed to process request, null pointer.");
    return 1;
  }
  if (!qor_managed()) {
    HM_LOG(LOG_ERR, "Failed to process request, client is not protected.");
    return 50;
  }
  int is_cluster = 0;
  backup_group* grp = xml_to_del_grp(req->recvxml, &is_cluster);
  if (grp == nullptr) {
    HM_LOG(LOG_ERR, "Failed to retrive group to be deleted.");
    return 4;
  }
  if (int status = qor_group_request_status(grp); status != 0) {
    backup_grp_free(grp);
    return status;
  }
  if (qor_group_delete(grp, false) != 0) return 1;
  HM_LOG(LOG_INFO, "Cmd DEL_BACKUP_GRP complete successfully.");
  return 0;
}

namespace {

// Removes the first member of grp whose GUID is guid; whether there was one.
bool remove_member(backup_group* grp, const char* guid) {
  list_head* pos;
  list_for_each(pos, &grp->members) {
    guid_entry* member = list_entry(pos, guid_entry, list);
    if (member->guid != nullptr && strcmp(member->guid, guid) == 0) {
      guid_entry_free(member);
      return true;
    }
  }
  return false;
}

// The mirror GUID of the first relationship whose source is guid, into
// mirror (QOR_GUID_FIELD bytes); whether there is one.  Takes g_client.lock,
// inside the configuration lock that the caller holds.
bool mirror_of(const char* guid, char mirror[QOR_GUID_FIELD]) {
  MutexLock l(&g_client.lock);
  const list_head* pos;
  list_for_each(pos, &g_client.backups) {
    const qor_backup* bk = list_entry(pos, qor_backup, list);
    if (strncmp(bk->src_guid, guid, sizeof(bk->src_guid)) != 0) continue;
    // The field is fixed-width; a full one has no terminator of its own.
    memcpy(mirror, bk->dest_guid, QOR_GUID_FIELD - 1);
    mirror[QOR_GUID_FIELD - 1] = '\0';
    return true;
  }
  return false;
}

// The stored schedule of the disk guid, or null.  Under the configuration
// lock.
cdpsch* own_schedule(const char* guid) {
  list_head* pos;
  list_for_each(pos, &g_qor->cdpschs) {
    cdpsch* c = list_entry(pos, cdpsch, list);
    if (c->local_guid != nullptr && strcmp(c->local_guid, guid) == 0) return c;
  }
  return nullptr;
}

// A disk that leaves a scheduled group keeps being marked on the group's
// times, on its own: a schedule of its own (sch, filled here and then owned
// by g_qor) and a job.  Only a disk with a mirror relationship can be
// marked.  Under the configuration lock; whether sch was taken.
bool give_group_schedule(const backup_group* grp, const char* guid, cdpsch* sch) {
  if (grp->con_start_time == 0 || grp->interval == 0) return false;
  char mirror[QOR_GUID_FIELD];
  if (!mirror_of(guid, mirror)) return false;
  HM_LOG(LOG_DEBUG, "Source local %s ,mirror %s ,con_start_time %lu ,start_time %lu ,timeout %u.", guid,
         mirror, static_cast<unsigned long>(grp->con_start_time),
         static_cast<unsigned long>(grp->start_time), grp->interval);
  // A disk that joined the group without a job kept its stored schedule;
  // that one takes the group's times.  A second schedule of one disk would
  // outlive the clearing of the first and come back at the next start.
  cdpsch* own = own_schedule(guid);
  const bool fresh = own == nullptr;
  if (fresh) own = sch;
  char* local = fresh ? strdup(guid) : nullptr;
  char* dest = strdup(mirror);
  if ((fresh && local == nullptr) || dest == nullptr) {
    HM_LOG(LOG_ERR, "Failed to allocate memory for dumping schedule informations.");
    free(local);
    free(dest);
    return false;
  }
  if (fresh) own->local_guid = local;
  free(own->mirror_guid);
  own->mirror_guid = dest;
  own->con_start_time = grp->con_start_time;
  own->start_time = grp->start_time;
  own->interval = grp->interval;
  HM_LOG(LOG_DEBUG, "Disk %s get Group sch success!", guid);
  if (fresh) list_add_tail(&own->list, &g_qor->cdpschs);
  qor_save_config(g_qor);
  _register_for_cdpsch(own);
  return fresh;
}

}  // namespace

int rem_disk_from_bg(qorc_req* req) {
  if (req == nullptr) return 1;
  if (!qor_managed()) return 50;
  // Cleared, so that a value the request lacks reads as empty, never as
  // whatever the stack held.
  char guid[QOR_ARG_BUF] = {};
  char name[QOR_ARG_BUF] = {};
  if (xml_to_bg_info(guid, name, req->recvxml) != 0 || name[0] == '\0' || guid[0] == '\0') {
    HM_LOG(LOG_ERR, "Failed to parse request.");
    return 4;
  }
  cdpsch* sch = static_cast<cdpsch*>(calloc(1, sizeof(*sch)));
  if (sch == nullptr) {
    HM_LOG(LOG_ERR, "Failed to allocate memory for dumping schedule informations.");
    return 1;
  }
  bool found = false;
  bool taken = false;
  {
    MutexLock l(&g_qor->mutex);
    // Released since the first test: no schedule of its own for the disk.
    if (!qor_managed_locked()) {
      cdpsch_free(sch);
      return 50;
    }
    list_head* pos;
    list_for_each(pos, &g_qor->groups) {
      backup_group* grp = list_entry(pos, backup_group, list);
      if (grp->name == nullptr || strcmp(grp->name, name) != 0) continue;
      // Only a disk that really was a member takes the group's schedule
      // with it; another group of the same name may hold it.
      if (!remove_member(grp, guid)) continue;
      found = true;
      qor_save_config(g_qor);
      taken = give_group_schedule(grp, guid, sch);
      break;
    }
  }
  if (!taken) cdpsch_free(sch);
  if (!found) {
    HM_LOG(LOG_ERR, "Cannot found the specified disk to be removed.");
    return 1;
  }
  return 0;
}
