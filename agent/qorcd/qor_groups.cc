// The group steps shared by the server's and the CDP agent's group commands.
#include "qor_groups.h"

#include <stdlib.h>
#include <string.h>

#include "mirapi/log.h"
#include "qor_cdp.h"
#include "qor_lock.h"

int qor_group_name_status(const backup_group* req) {
  if (req->name == nullptr || req->name[0] == '\0') {
    HM_LOG(LOG_ERR, "Group request without a name, refused.");
    return 4;
  }
  // Cut to fit, a name or GUID would name another group or disk: refused.
  if (strlen(req->name) > QOR_GROUP_NAME_MAX) {
    HM_LOG(LOG_ERR, "Group name of %zu characters is too long, refused.", strlen(req->name));
    return 1;
  }
  return 0;
}

int qor_group_request_status(const backup_group* req) {
  if (int status = qor_group_name_status(req); status != 0) return status;
  const list_head* pos;
  list_for_each(pos, &req->members) {
    const char* guid = list_entry(pos, guid_entry, list)->guid;
    if (guid != nullptr && strlen(guid) > QOR_GROUP_GUID_MAX) {
      HM_LOG(LOG_ERR, "Disk GUID of %zu characters in group %s is too long, refused.", strlen(guid),
             req->name);
      return 1;
    }
  }
  return 0;
}

namespace {

// The manager test again, in the hold that changes the groups: a host
// released since the command's first test has had its groups and jobs
// removed and must not be given new ones.  req is freed when it was.  Under
// the configuration lock.
bool released(backup_group* req) {
  if (qor_managed_locked()) return false;
  backup_grp_free(req);
  return true;
}

}  // namespace

backup_group* qor_find_group(qor_t* qor, const char* name) {
  if (name == nullptr) return nullptr;
  list_head* pos;
  list_for_each(pos, &qor->groups) {
    backup_group* grp = list_entry(pos, backup_group, list);
    if (grp->name != nullptr && strcmp(grp->name, name) == 0) return grp;
  }
  return nullptr;
}

int qor_group_create(backup_group* req, int in_use_status) {
  MutexLock l(&g_qor->mutex);
  if (released(req)) return QOR_GROUP_UNMANAGED;
  if (qor_find_group(g_qor, req->name) != nullptr) {
    HM_LOG(LOG_ERR, "Failed to create group, the group name already in use.");
    backup_grp_free(req);
    return in_use_status;
  }
  // A new group has no schedule, and so no job, until one is set for it.
  req->con_start_time = 0;
  req->start_time = 0;
  req->interval = 0;
  list_add_tail(&req->list, &g_qor->groups);
  HM_LOG(LOG_INFO, "Group %s is correctly added.", req->name);
  qor_save_config(g_qor);
  HM_LOG(LOG_INFO, "New configuration is saved to config file.");
  return 0;
}

namespace {

// A disk that joins a group is marked with the group from then on, so its
// own schedule goes: the job, and the stored schedule of a disk that had a
// job.  Under the configuration lock.
void drop_disk_schedule(const char* guid) {
  if (guid == nullptr || !find_cdp_job(guid)) return;
  HM_LOG(LOG_INFO, "Disk %s has CDP schedule, remove it.", guid);
  unregister_cdp_job(guid);
  list_head *pos, *next;
  list_for_each_safe(pos, next, &g_qor->cdpschs) {
    cdpsch* sch = list_entry(pos, cdpsch, list);
    if (sch->local_guid == nullptr || strcmp(sch->local_guid, guid) != 0) continue;
    HM_LOG(LOG_INFO, "Disk %s has CDP schedule in config, remove it.", guid);
    list_del(&sch->list);
    cdpsch_free(sch);
  }
}

}  // namespace

int qor_group_add_members(backup_group* req, const char* searching) {
  HM_LOG(LOG_INFO, "Retrieved group %s.", req->name);
  HM_LOG(LOG_INFO, "Adding disks into group %s", req->name);
  MutexLock l(&g_qor->mutex);
  if (released(req)) return QOR_GROUP_UNMANAGED;
  // Looked up before any schedule is touched: a request for a group that is
  // not there must not cost its disks their schedules.
  backup_group* grp = qor_find_group(g_qor, req->name);
  if (grp == nullptr) {
    backup_grp_free(req);
    HM_LOG(LOG_ERR, "Unable to found the specified group, abort.");
    return 1;
  }
  HM_LOG(LOG_INFO, "Found requested group %s", grp->name);
  HM_LOG(LOG_INFO, "%s", searching);
  list_head* pos;
  list_for_each(pos, &req->members) drop_disk_schedule(list_entry(pos, guid_entry, list)->guid);
  list_head* next;
  list_for_each_safe(pos, next, &req->members) {
    guid_entry* member = list_entry(pos, guid_entry, list);
    HM_LOG(LOG_INFO, "Adding disk %s into group %s.", member->guid, grp->name);
    list_del(&member->list);
    list_add_tail(&member->list, &grp->members);
  }
  qor_save_config(g_qor);
  HM_LOG(LOG_INFO, "Config updated.");
  backup_grp_free(req);
  return 0;
}

int qor_group_delete(backup_group* req, bool log_not_found) {
  MutexLock l(&g_qor->mutex);
  backup_group* grp = qor_find_group(g_qor, req->name);
  if (grp == nullptr) {
    if (log_not_found) HM_LOG(LOG_INFO, "Failed to found group %s in group list.", req->name);
    backup_grp_free(req);
    return 1;
  }
  list_del(&grp->list);
  unregister_grp_job(grp->name);
  backup_grp_free(grp);
  backup_grp_free(req);
  qor_save_config(g_qor);
  return 0;
}
