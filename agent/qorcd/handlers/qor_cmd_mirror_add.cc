// ADD_BACKUP: protections of local disks onto mirror LUNs of the maker's
// storage, and the CDP schedule of the disk or the group they serve.
//
// Every pair of the request is checked before any is protected, so a
// request whose disks are not all ready changes nothing.  The checks and
// the protect calls run without a lock: the mirror wait alone may take 40
// seconds a pair.
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "host/host.h"
#include "mirapi/api.h"
#include "mirapi/log.h"
#include "qor_cdp.h"
#include "qor_diskid.h"
#include "qor_handlers.h"
#include "qor_lock.h"
#include "qor_mirror.h"
#include "qor_model.h"
#include "qor_parse.h"

namespace {

// The request's pairs on their way: each record is on exactly one of the
// three lists, in request order, and whatever is left on them when the
// command ends is freed with them.
class PairLists {
 public:
  PairLists() {
    INIT_LIST_HEAD(&pending);
    INIT_LIST_HEAD(&failed);
    INIT_LIST_HEAD(&done);
  }
  ~PairLists() {
    cdpsch_list_free(&pending);
    cdpsch_list_free(&failed);
    cdpsch_list_free(&done);
  }
  PairLists(const PairLists&) = delete;
  PairLists& operator=(const PairLists&) = delete;

  struct list_head pending;  // as parsed; the pairs that passed their checks
  struct list_head failed;
  struct list_head done;     // protected
};

void move_to(cdpsch* pair, struct list_head* to) {
  list_del(&pair->list);
  list_add_tail(&pair->list, to);
}

bool has_text(const char* text) { return text != nullptr && text[0] != '\0'; }

// Whether zelmird holds a protection of this primary.  A daemon that does
// not answer counts as none.
bool is_protected(const char* guid) {
  hm_disk_stat_t* st = hm_disk_stat(guid);
  if (st == nullptr) return false;
  hm_disk_stat_release(st);
  return true;
}

// A new LUN may take a while to show up: the full disk wait, with a test
// after every pass, and the last word given by one more test.
bool mirror_comes_online(const char* guid) {
  for (int pass = 0; pass < QOR_WAIT_PASSES; pass++) {
    qor_wait_pass(pass);
    if (qor_guid_online(guid)) {
      HM_LOG(LOG_INFO, "Mirror %s is finally online.", guid);
      break;
    }
  }
  return qor_guid_online(guid) == 1;
}

// The checks of one pair, logged as each fails.
bool pair_ready(const cdpsch* pair) {
  // A pair without a GUID never reaches libmirapi: a null primary asks
  // hm_disk_stat about every protection at once.
  if (!has_text(pair->local_guid) || !has_text(pair->mirror_guid)) {
    HM_LOG(LOG_ERR, "Failed to apply HM protection, pair (%s -> %s) lacks a GUID.",
           pair->local_guid != nullptr ? pair->local_guid : "",
           pair->mirror_guid != nullptr ? pair->mirror_guid : "");
    return false;
  }
  if (is_protected(pair->local_guid)) {
    HM_LOG(LOG_ERR, "Failed to apply HM protection, disk %s is already protected.", pair->local_guid);
    return false;
  }
  if (!qor_guid_online(pair->local_guid)) {
    HM_LOG(LOG_ERR, "Failed to apply HM protection, disk %s is offline.", pair->local_guid);
    return false;
  }
  if (!mirror_comes_online(pair->mirror_guid)) {
    HM_LOG(LOG_ERR, "Failed to apply HM protection, mirror %s is still offline.", pair->mirror_guid);
    return false;
  }
  return true;
}

void protect_all(PairLists* lists) {
  struct list_head *pos, *n;
  list_for_each_safe(pos, n, &lists->pending) {
    cdpsch* pair = list_entry(pos, cdpsch, list);
    HM_LOG(LOG_INFO, "Applying HM protection for disk %s.", pair->local_guid);
    if (hm_disk_protect(pair->local_guid, pair->mirror_guid) < 0) {
      HM_LOG(LOG_ERR, "Failed to apply hostmirror protection (%s -> %s).", pair->local_guid,
             pair->mirror_guid);
      move_to(pair, &lists->failed);
    } else {
      HM_LOG(LOG_INFO, "Protection is applied successfully to local disk: %s.", pair->local_guid);
      move_to(pair, &lists->done);
    }
  }
}

// A group is protected whole or not at all.
void rollback(const char* group, struct list_head* done) {
  HM_LOG(LOG_INFO, "Application of HM protection for group %s has failed, rollback.", group);
  struct list_head *pos, *n;
  list_for_each_safe(pos, n, done) {
    cdpsch* pair = list_entry(pos, cdpsch, list);
    HM_LOG(LOG_INFO, "Removing HM protection for disk %s.", pair->local_guid);
    if (hm_disk_unprotect(pair->local_guid) < 0)
      HM_LOG(LOG_ERR, "Failed to remove HM protection for disk %s.", pair->local_guid);
    list_del(&pair->list);
    cdpsch_free(pair);
  }
  HM_LOG(LOG_INFO, "Rollback complete.");
}

void schedule_group(const char* group, uint64_t con_start, uint64_t start, uint32_t interval) {
  HM_LOG(LOG_INFO, "Apply CDP schedule for group.");
  MutexLock l(&g_qor->mutex);
  // A host released while its protections were made keeps no schedule.
  if (!qor_managed_locked()) return;
  struct list_head* pos;
  list_for_each(pos, &g_qor->groups) {
    backup_group* grp = list_entry(pos, backup_group, list);
    if (grp->name == nullptr || strcmp(grp->name, group) != 0) continue;
    HM_LOG(LOG_INFO, "Found group %s, applying CDP schedule.", grp->name);
    grp->con_start_time = con_start;
    grp->start_time = start;
    grp->interval = interval;
    qor_save_config(g_qor);
    _register_for_grpsch(grp);
  }
}

// The disk's schedule moves from the request's lists into the
// configuration, in place of any schedule the disk had.
void schedule_disk(cdpsch* pair, uint64_t con_start, uint64_t start, uint32_t interval) {
  HM_LOG(LOG_INFO, "Apply CDP schedule for single disk.");
  list_del(&pair->list);
  pair->con_start_time = con_start;
  pair->start_time = start;
  pair->interval = interval;
  MutexLock l(&g_qor->mutex);
  if (!qor_managed_locked()) {
    cdpsch_free(pair);
    return;
  }
  qor_remove_cdpsch(pair->local_guid, nullptr);
  list_add_tail(&pair->list, &g_qor->cdpschs);
  qor_save_config(g_qor);
  // Registered under the lock: once it is released the record is the
  // configuration's, and a DEL_BACKUP may free it.
  _register_for_cdpsch(pair);
}

void apply_schedule(const qor_schedule& sched, const char* group, cdpsch* single,
                    PairLists* lists) {
  HM_LOG(LOG_INFO, "Received Schedule information Console StartTime: %lu, Interval: %u",
         static_cast<unsigned long>(sched.start_time), sched.interval);
  if (sched.start_time == 0 || sched.interval == 0) {
    HM_LOG(LOG_INFO, "The request doesn't specify any CDP schedule.");
    return;
  }
  uint64_t start = qor_sched_start(sched.start_time, sched.interval, hl_time(nullptr));
  if (group[0] != '\0') {
    schedule_group(group, sched.start_time, start, sched.interval);
    if (!list_empty(&lists->done)) HM_LOG(LOG_DEBUG, "free success list");
  } else if (single != nullptr) {
    schedule_disk(single, sched.start_time, start, sched.interval);
  } else {
    HM_LOG(LOG_WARNING, "No disk in the request to keep the CDP schedule.");
  }
}

void reply_failures(qorc_req* req, const struct list_head* failed) {
  std::vector<qor_failure_item> items;
  const struct list_head* pos;
  list_for_each(pos, failed) {
    const cdpsch* pair = list_entry(pos, cdpsch, list);
    items.push_back({pair->local_guid, pair->mirror_guid});
  }
  uint32_t len = 0;
  char* text = qor_failure_xml(QOR_FAIL_ADD_BACKUP, items.data(), items.size(), &len);
  qor_reply_document(req, text, len);
}

}  // namespace

int add_backup(qorc_req* req) {
  HM_LOG(LOG_INFO, "Recv cmd: ADD_BACKUP");
  if (req == nullptr) {
    HM_LOG(LOG_ERR, "Failed to parse null request.");
    return 1;
  }
  if (!qor_managed()) {
    HM_LOG(LOG_ERR, "Failed to add backup relationships for unprotected client.");
    return 50;
  }
  PairLists lists;
  qor_schedule sched = {0, 0};
  char group[QOR_ARG_BUF] = {0};
  if (xml_to_cdpsch_list(req->recvxml, &lists.pending, &sched, group) != 0) {
    HM_LOG(LOG_ERR, "Failed to fetch backup info from xml");
    return 4;
  }

  cdpsch* single = nullptr;  // a single-disk request's last pair keeps the schedule
  struct list_head *pos, *n;
  list_for_each_safe(pos, n, &lists.pending) {
    cdpsch* pair = list_entry(pos, cdpsch, list);
    if (group[0] != '\0') {
      HM_LOG(LOG_INFO, "Request contains group name %s, add backup for group.", group);
    } else {
      HM_LOG(LOG_INFO, "Request doesn't contain group name, add backup for single disk.");
      single = pair;
    }
    if (!pair_ready(pair)) move_to(pair, &lists.failed);
  }
  HM_LOG(LOG_INFO, "Finished scanning all the disks.");

  if (list_empty(&lists.failed)) {
    HM_LOG(LOG_INFO, "All the disks are ready for protection application.");
    protect_all(&lists);
  }
  if (group[0] != '\0' && !list_empty(&lists.failed) && !list_empty(&lists.done))
    rollback(group, &lists.done);

  HM_LOG(LOG_INFO, "Update backup relationships in global variables g_client.");
  qor_reload_backups();

  if (list_empty(&lists.failed)) apply_schedule(sched, group, single, &lists);

  if (list_empty(&lists.failed)) {
    HM_LOG(LOG_INFO, "Operation ADD_BACKUP successed.");
    return 0;
  }
  HM_LOG(LOG_INFO, "List containing failed backup relationships is not empty.");
  HM_LOG(LOG_INFO, "Dump failed backup relationships into XML document.");
  reply_failures(req, &lists.failed);
  HM_LOG(LOG_INFO, "Operation ADD_BACKUP failed.");
  return 1;
}
