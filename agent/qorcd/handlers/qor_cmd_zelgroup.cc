// The CDP agent's group commands (30004 to 30008), served on both
// listeners.  Create, delete and add take the steps of the server's
// BG_CREATE, DEL_BACKUP_GRP and ADD_DISK_TO_BG with their own texts;
// ZEL_GET_GROUP lists the groups, ZEL_DEL_MEMBER removes members without
// giving them a schedule.
#include <stdlib.h>
#include <string.h>

#include "mirapi/log.h"
#include "qor_groups.h"
#include "qor_dispatch.h"
#include "qor_handlers.h"
#include "qor_lock.h"
#include "qor_model.h"
#include "qor_parse.h"
#include "qor_xml.h"

namespace {

// The Group element of the request, checked (its members only when the
// command uses them); null with *status set when the request is not to be
// acted on.
backup_group* read_group(const qorc_req* req, int* status, bool members_used = true) {
  int is_cluster = 0;
  backup_group* grp = xml_zel_to_backup_grp(req->recvxml, &is_cluster);
  if (grp == nullptr) {
    HM_LOG(LOG_ERR, "Failed to parse the XML doc of request.");
    *status = 4;
    return nullptr;
  }
  *status = members_used ? qor_group_request_status(grp) : qor_group_name_status(grp);
  if (*status != 0) {
    backup_grp_free(grp);
    return nullptr;
  }
  return grp;
}

// Whether guid is among the members of grp.
bool listed(const backup_group* grp, const char* guid) {
  const list_head* pos;
  list_for_each(pos, &grp->members) {
    const char* g = list_entry(pos, guid_entry, list)->guid;
    if (g != nullptr && strcmp(g, guid) == 0) return true;
  }
  return false;
}

}  // namespace

int zel_create_group(qorc_req* req) {
  HM_LOG(LOG_INFO, "Recv cmd: ZEL_CREATE_GROUP.");
  int status = qor_zel_command_head(req);
  if (status != 0) return status;
  backup_group* grp = read_group(req, &status);
  if (grp == nullptr) return status;
  status = qor_group_create(grp, 10029);
  if (status == 0) HM_LOG(LOG_INFO, "Complete work : ZEL_CREATE_GROUP.");
  return status;
}

int zel_get_group(qorc_req* req) {
  HM_LOG(LOG_INFO, "Recv cmd: ZEL_GET_GROUP");
  int status = qor_zel_command_head(req);
  if (status != 0) return status;
  QorDocBuilder doc;
  xmlNode* list = doc.child(doc.root(), "GroupList");
  {
    MutexLock l(&g_qor->mutex);
    if (list_empty(&g_qor->groups)) HM_LOG(LOG_INFO, "GroupList is empty.");
    const list_head* pos;
    list_for_each(pos, &g_qor->groups) {
      const backup_group* grp = list_entry(pos, backup_group, list);
      xmlNode* group = doc.child(list, "Group");
      doc.attr(group, "name", grp->name);
      const list_head* m;
      list_for_each(m, &grp->members) {
        doc.attr(doc.child(group, "Disk"), "guid", list_entry(m, guid_entry, list)->guid);
      }
    }
  }
  uint32_t len = 0;
  char* text = doc.dump(&len);
  if (text == nullptr) {
    HM_LOG(LOG_ERR, "req->sendxml is  NULL");
    return 1;
  }
  qor_reply_document(req, text, len);
  HM_LOG(LOG_INFO, "Complete work:ZEL_GET_GROUP");
  return 0;
}

int zel_delete_group(qorc_req* req) {
  HM_LOG(LOG_INFO, "Recv cmd: ZEL_DELETE_GROUP");
  int status = qor_zel_command_head(req);
  if (status != 0) return status;
  // Only the name is used: the Disk elements a sender lists are not read.
  backup_group* grp = read_group(req, &status, false);
  if (grp == nullptr) return status;
  if (qor_group_delete(grp, true) != 0) return 1;
  HM_LOG(LOG_INFO, "Complete work :ZEL_DELETE_GROUP.");
  return 0;
}

int zel_add_member(qorc_req* req) {
  HM_LOG(LOG_INFO, "Recv cmd: ZEL_ADD_MEMBER");
  int status = qor_zel_command_head(req);
  if (status != 0) return status;
  backup_group* grp = read_group(req, &status);
  if (grp == nullptr) return status;
  status = qor_group_add_members(grp, "Searching for CDP schedule of requeated disks.");
  if (status != 0) return status;
  HM_LOG(LOG_INFO, "Complete work: ZEL_ADD_MEMBER.");
  return 0;
}

int zel_del_member(qorc_req* req) {
  HM_LOG(LOG_INFO, "Recv cmd: ZEL_DEL_MEMBER");
  int status = qor_zel_command_head(req);
  if (status != 0) return status;
  backup_group* want = read_group(req, &status);
  if (want == nullptr) return status;
  bool removed = false;
  {
    MutexLock l(&g_qor->mutex);
    list_head* pos;
    // Every group of that name, not only the first.
    list_for_each(pos, &g_qor->groups) {
      backup_group* grp = list_entry(pos, backup_group, list);
      if (grp->name == nullptr || strcmp(grp->name, want->name) != 0) continue;
      HM_LOG(LOG_INFO, "Find requested group %s", grp->name);
      list_head *m, *next;
      list_for_each_safe(m, next, &grp->members) {
        guid_entry* member = list_entry(m, guid_entry, list);
        if (member->guid == nullptr || !listed(want, member->guid)) continue;
        HM_LOG(LOG_INFO, "Disk %s has removed", member->guid);
        guid_entry_free(member);
        removed = true;
      }
    }
    if (removed) qor_save_config(g_qor);
  }
  backup_grp_free(want);
  if (!removed) {
    HM_LOG(LOG_ERR, "Cannot found the specified disk to be removed.");
    return 1;
  }
  HM_LOG(LOG_INFO, "Complete work: ZEL_DEL_MEMBER.");
  return 0;
}
