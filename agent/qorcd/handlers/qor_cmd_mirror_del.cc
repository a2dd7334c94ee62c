// DEL_BACKUP: the protections of the listed disks removed, with the CDP
// schedules that depended on them.  Each disk is removed on its own: a disk
// that fails does not stop the others, and what was removed stays removed.
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <vector>

#include "mirapi/api.h"
#include "mirapi/log.h"
#include "qor_cdp.h"
#include "qor_handlers.h"
#include "qor_lock.h"
#include "qor_mirror.h"
#include "qor_model.h"
#include "qor_xml.h"

namespace {

struct DocFree {
  void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
bool in_protection(const char* guid) {
  // An empty GUID is no disk; it never goes to the daemon.
  if (guid[0] == '\0') return false;
  hm_disk_stat_t* st = hm_disk_stat(guid);
  if (st == nullptr) return false;
  hm_disk_stat_release(st);
  return true;
}

bool has_member(const backup_group* grp, const char* guid) {
  const struct list_head* pos;
  list_for_each(pos, &grp->members) {
    const guid_entry* m = list_entry(pos, guid_entry, list);
    if (m->guid != nullptr && strcmp(m->guid, guid) == 0) return true;
  }
  return false;
}

// After the protection of guid is gone: the schedule of the first group
// holding the disk (the disk stays a member), the disk's own schedules and
// their jobs, the file, the inventory.
void forget_disk(const char* guid) {
  {
    MutexLock l(&g_qor->mutex);
    struct list_head* pos;
    list_for_each(pos, &g_qor->groups) {
      backup_group* grp = list_entry(pos, backup_group, list);
      if (!has_member(grp, guid)) continue;
      HM_LOG(LOG_DEBUG, "Disk %s is in Group %s, clear cdpsch.", guid, grp->name);
      grp->con_start_time = 0;
      grp->start_time = 0;
      grp->interval = 0;
      if (grp->name != nullptr) unregister_grp_job(grp->name);
      break;
    }
  }
  qor_remove_cdpsch(guid, &g_qor->mutex);
  unregister_cdp_job(guid);
  {
    MutexLock l(&g_qor->mutex);
    qor_save_config(g_qor);
  }
  qor_reload_backups();
}

void reply_failures(qorc_req* req, const struct list_head* failed) {
  std::vector<qor_failure_item> items;
  const struct list_head* pos;
  list_for_each(pos, failed) items.push_back({list_entry(pos, guid_entry, list)->guid, nullptr});
  uint32_t len = 0;
  char* text = qor_failure_xml(QOR_FAIL_DEL_BACKUP, items.data(), items.size(), &len);
  qor_reply_document(req, text, len);
}

// The failed disks, freed with the command.
class FailureList {
 public:
  FailureList() { INIT_LIST_HEAD(&head); }
  ~FailureList() { guid_list_free(&head); }
  FailureList(const FailureList&) = delete;
  FailureList& operator=(const FailureList&) = delete;
  struct list_head head;
};

}  // namespace

int del_backup(qorc_req* req) {
  HM_LOG(LOG_INFO, "Recv cmd: DEL_BACKUP");
  if (req == nullptr) return 1;
  if (!qor_managed()) return 50;

  std::unique_ptr<xmlDoc, DocFree> doc(qor_xml_read(req->recvxml));
  if (doc == nullptr) {
    HM_LOG(LOG_ERR, "Failed to parse XML request.");
    return 1;
  }
  xmlNode* root = xmlDocGetRootElement(doc.get());
  if (root == nullptr) {
    HM_LOG(LOG_ERR, "Failed to retrieve root element.");
    return 1;
  }
  xmlNode* list = root->children;
  if (!qor_xml_named(list, "BackupList")) {
    HM_LOG(LOG_ERR, "Failed to retrieve backup list.");
    return 1;
  }

  FailureList failed;
  for (xmlNode* cur = list->children; cur != nullptr; cur = cur->next) {
    QorText guid(qor_xml_prop(cur, "SrcGUID"));
    if (guid == nullptr) {
      HM_LOG(LOG_WARNING, "Missing property SrcGUID, ignore !");
      continue;
    }
    guid_entry* entry = static_cast<guid_entry*>(calloc(1, sizeof(*entry)));
    if (entry == nullptr) {
      HM_LOG(LOG_ERR, "Failed to allocate memory for printing operation failure.");
      return 1;
    }
    if (!in_protection(guid.get())) {
      HM_LOG(LOG_ERR, "Local disk %s doesn't exist.", guid.get());
    } else {
      HM_LOG(LOG_INFO, "Disk %s is under hostmirror protection.", guid.get());
      if (hm_disk_unprotect(guid.get()) < 0) {
        HM_LOG(LOG_WARNING, "Failed to remove hostmirror protection for disk %s.", guid.get());
      } else {
        free(entry);
        forget_disk(guid.get());
        continue;
      }
    }
    entry->guid = guid.release();
    list_add_tail(&entry->list, &failed.head);
  }

  if (list_empty(&failed.head)) return 0;
  reply_failures(req, &failed.head);
  return 1;
}
