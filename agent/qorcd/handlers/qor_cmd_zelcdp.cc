// The CDP agent's mark and schedule commands: ZEL_CREATE_CDP (a mark now),
// ZEL_GET_CDP_SCHEDULE and ZEL_DEL_CDP_SCHEDULE.  ZEL_SET_CDP_SCHEDULE
// shares its body with the server's command (qor_cmd_schedule.cc).
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>

#include "mirapi/log.h"
#include "qor_cdp.h"
#include "qor_client.h"
#include "qor_conf.h"
#include "qor_dispatch.h"
#include "qor_handlers.h"
#include "qor_lock.h"
#include "qor_parse.h"
#include "qor_xml.h"
#include "zel/zel_outside.h"

namespace {

// The Snap request's source and whether it names a disk; the status of a
// request that cannot be read when it fails (after its log), else 0.
int read_source(const char* xml, const char* parse_failed, QorText* source, bool* disk) {
  char* src = nullptr;
  int type = 0, cluster = 0;
  int rc = xml_zel_to_snapshot(xml, &src, &type, &cluster);
  source->reset(src);
  if (rc != 0) {
    HM_LOG(LOG_ERR, "%s", parse_failed);
    return 4;
  }
  if (src == nullptr || src[0] == '\0') {
    HM_LOG(LOG_ERR, "Failed to get source from xml for snapshot creation.");
    return 4;
  }
  *disk = type == QOR_SOURCE_DISK;
  return 0;
}

backup_group* find_group_locked(const char* name, bool log_unnamed) {
  list_head* pos;
  list_for_each(pos, &g_qor->groups) {
    backup_group* grp = list_entry(pos, backup_group, list);
    if (grp->name == nullptr) {
      if (log_unnamed) HM_LOG(LOG_WARNING, "Failed to get group name.");
      continue;
    }
    if (strcmp(grp->name, name) == 0) return grp;
  }
  return nullptr;
}

cdpsch* find_cdpsch_locked(const char* local_guid) {
  list_head* pos;
  list_for_each(pos, &g_qor->cdpschs) {
    cdpsch* sch = list_entry(pos, cdpsch, list);
    if (sch->local_guid != nullptr && strcmp(sch->local_guid, local_guid) == 0) return sch;
  }
  return nullptr;
}

int create_disk_mark(const char* guid) {
  HM_LOG(LOG_INFO, "Creating snapshot for single disk: %s.", guid);
  QorText mirror;
  {
    MutexLock l(&g_client.lock);
    mirror.reset(get_mirror_guid_of_local(guid, &g_client));
  }
  if (mirror == nullptr) {
    HM_LOG(LOG_ERR, "Failed to get mirror guid of %s.", guid);
    return 1;
  }
  char name[QOR_MARK_NAME];
  if (qor_braced_guid(name, sizeof(name), mirror.get()) != 0) return 1;
  switch (qor_mirror_sync_state(mirror.get())) {
    case QOR_UNSYNCED:
      HM_LOG(LOG_ERR, "Snapshot creation failed, source disk is not synchronized yet.");
      return 1;
    case QOR_NO_RELATIONSHIP:
      HM_LOG(LOG_ERR, "Failed to find backup relationship, snapshot creation canceled.");
      return 1;
  }
  HM_LOG(LOG_INFO, "Disk status check finished.");
  if (zel_call_disk_markcdp(name) < 0) {
    HM_LOG(LOG_ERR, "Failed to create snapshot for disk %s.", guid);
    return 1;
  }
  HM_LOG(LOG_INFO, "Single disk snapshot creation is completed successfully.");
  return 0;
}

int create_group_mark(const char* name) {
  // Held to the end of the library call, as the scheduled group mark does.
  MutexLock config(&g_qor->mutex);
  HM_LOG(LOG_INFO, "Creating snapshot for group: %s.", name);
  const backup_group* grp = find_group_locked(name, true);
  if (grp == nullptr) {
    // Nothing to mark is no mark made.
    HM_LOG(LOG_ERR, "Failed to find group %s, nothing is marked.", name);
    return 1;
  }
  HM_LOG(LOG_INFO, "Found group %s.", name);
  list_head* pos;
  list_for_each(pos, &grp->members) {
    const char* member = list_entry(pos, guid_entry, list)->guid;
    if (member == nullptr) {
      HM_LOG(LOG_WARNING, "Failed to get group member GUID.");
      continue;
    }
    switch (qor_source_sync_state(member)) {
      case QOR_UNSYNCED:
        HM_LOG(LOG_ERR, "Disk %s is not synchronized yet, snapshort creation canceled.", member);
        return 1;
      case QOR_NO_RELATIONSHIP:
        HM_LOG(LOG_ERR, "Unable to find backup relationship of disk %s, snapshot creation canceled.",
               member);
        return 1;
    }
  }
  ZeldevgrpGuard devs{_bkup_grp_to_cdp_zelgrp(grp)};
  if (devs.grp == nullptr) {
    HM_LOG(LOG_ERR, "Failed to convert backup_group to zeldevgrp.");
    return 1;
  }
  if (zel_call_grp_markcdp(devs.grp) < 0) {
    HM_LOG(LOG_ERR, "Failed to create snapshot for group: %s.", name);
    return 1;
  }
  HM_LOG(LOG_INFO, "Group snapshot creation is completed successfully.");
  return 0;
}

// A schedule's two numbers as the reply and the log show them.
struct Shown {
  uint64_t con_start_time = 0;
  uint32_t interval = 0;
};

void log_shown(const char* what, const char* source, const Shown& s) {
  char start[24], interval[16];
  snprintf(start, sizeof(start), "%lu", static_cast<unsigned long>(s.con_start_time));
  snprintf(interval, sizeof(interval), "%u", s.interval);
  HM_LOG(LOG_INFO, "Schedule for %s %s,console start time:%s,interval:%s.", what, source, start,
         interval);
}

// The schedule to show; 0, or 1 when the group or disk has none to show.
int find_shown(const char* source, bool disk, Shown* out) {
  if (!disk) {
    HM_LOG(LOG_INFO, "Get CDP schedule for group %s.", source);
    MutexLock config(&g_qor->mutex);
    const backup_group* grp = find_group_locked(source, false);
    if (grp == nullptr) {
      HM_LOG(LOG_ERR, "Failed to find group %s in existing gropu list.", source);
      return 1;
    }
    out->con_start_time = grp->con_start_time;
    out->interval = grp->interval;
    log_shown("group", source, *out);
    return 0;
  }
  HM_LOG(LOG_INFO, "Get CDP schedule for Single disk %s.", source);
  {
    MutexLock config(&g_qor->mutex);
    const cdpsch* sch = find_cdpsch_locked(source);
    if (sch != nullptr) {
      out->con_start_time = sch->con_start_time;
      out->interval = sch->interval;
      log_shown("disk", source, *out);
      return 0;
    }
  }
  HM_LOG(LOG_INFO, "Failed to find disk %s in existing schedule list.", source);
  HM_LOG(LOG_INFO, "Looking for disk %s in backup list.", source);
  MutexLock l(&g_client.lock);
  list_head* pos;
  list_for_each(pos, &g_client.backups) {
    const qor_backup* bk = list_entry(pos, qor_backup, list);
    if (strncmp(bk->src_guid, source, sizeof(bk->src_guid)) != 0) continue;
    out->con_start_time = bk->con_start_time;
    out->interval = bk->interval;
    log_shown("disk", source, *out);
    return 0;
  }
  HM_LOG(LOG_INFO, "Failed to find disk %s in backup list.", source);
  return 1;
}

int delete_group_schedule(const char* name) {
  HM_LOG(LOG_INFO, "Delete CDP schedule for group %s.", name);
  {
    MutexLock config(&g_qor->mutex);
    backup_group* grp = find_group_locked(name, false);
    if (grp != nullptr) {
      HM_LOG(LOG_INFO, "Found CDP schedule for group %s.", name);
      // Whatever its times show: a schedule changed to one zero time keeps
      // the job of its old times, which must not outlive the schedule.
      unregister_grp_job(name);
      if (grp->con_start_time != 0 && grp->interval != 0)
        HM_LOG(LOG_INFO, "Background running CDP schedule for group %s is removed.", name);
      grp->con_start_time = 0;
      grp->start_time = 0;
      grp->interval = 0;
      qorcfg_write(QOR_CONF_PATH, g_qor);
      return 0;
    }
  }
  HM_LOG(LOG_ERR, "Failed to found CDP schedule for group %s.", name);
  HM_LOG(LOG_INFO, "Complete cmd ZEL_DEL_CDP_SCHEDULE");
  return 1;
}

int delete_disk_schedule(const char* guid) {
  HM_LOG(LOG_INFO, "Looking for CDP schedule for disk %s.", guid);
  {
    MutexLock config(&g_qor->mutex);
    cdpsch* sch = find_cdpsch_locked(guid);
    if (sch != nullptr) {
      HM_LOG(LOG_INFO, "Found CDP schedule for disk %s.", guid);
      list_del(&sch->list);
      cdpsch_free(sch);
      unregister_cdp_job(guid);
      HM_LOG(LOG_INFO, "Background-running CDP Schedule for disk %s is removed.", guid);
      qorcfg_write(QOR_CONF_PATH, g_qor);
      return 0;
    }
  }
  HM_LOG(LOG_INFO, "Failed to find disk %s in backup list.", guid);
  return 1;
}

}  // namespace

int zel_create_cdp(qorc_req* req) {
  HM_LOG(LOG_INFO, "Recv cmd: ZEL_CREATE_CDP");
  if (int refused = qor_zel_command_head(req)) return refused;
  QorText source;
  bool disk = false;
  if (int bad = read_source(req->recvxml, "Failed to parse snapshot creation request.", &source,
                            &disk))
    return bad;
  int status = disk ? create_disk_mark(source.get()) : create_group_mark(source.get());
  if (status == 0) HM_LOG(LOG_INFO, "Complete work: ZEL_CREATE_CDP");
  return status;
}

int zel_get_cdp_schedule(qorc_req* req) {
  HM_LOG(LOG_INFO, "Recv cmd: ZEL_GET_CDP_SCHEDULE");
  if (int refused = qor_zel_command_head(req)) return refused;
  QorText source;
  bool disk = false;
  if (int bad = read_source(req->recvxml, "'Failed to parse snapshot creation request.", &source,
                            &disk))
    return bad;
  Shown shown;
  if (find_shown(source.get(), disk, &shown) != 0) return 1;

  QorDocBuilder doc;
  xmlNode* sched = doc.child(doc.root(), "Schedule");
  doc.attrf(sched, "StartTime", "%lu", static_cast<unsigned long>(shown.con_start_time));
  doc.attrf(sched, "IntervalSeconds", "%u", shown.interval);
  uint32_t len = 0;
  char* xml = doc.dump(&len);
  if (xml == nullptr) {
    HM_LOG(LOG_ERR, "req->sendxml is NULL");
    return 1;
  }
  HM_LOG(LOG_INFO, "%s", xml);
  qor_reply_document(req, xml, len);
  HM_LOG(LOG_INFO, "Complete work: ZEL_GET_CDP_SCHEDULE");
  return 0;
}

int zel_del_cdp_schedule(qorc_req* req) {
  HM_LOG(LOG_INFO, "Recv cmd: ZEL_DEL_CDP_SCHEDULE");
  if (int refused = qor_zel_command_head(req)) return refused;
  QorText source;
  bool disk = false;
  if (int bad = read_source(req->recvxml, "'Failed to parse snapshot creation request.", &source,
                            &disk))
    return bad;
  int status = disk ? delete_disk_schedule(source.get()) : delete_group_schedule(source.get());
  if (status == 0) HM_LOG(LOG_INFO, "Complete work: ZEL_DEL_CDP_SCHEDULE.");
  return status;
}
