// Setting the CDP schedule of a disk or a group: SET_CDP_SCHEDULE from the
// Tidewell server and ZEL_SET_CDP_SCHEDULE from the CDP agent, one body with
// their few differences as a table row.
#include <stdlib.h>
#include <string.h>

#include <string>

#include "mirapi/log.h"
#include "qor_cdp.h"
#include "qor_client.h"
#include "qor_conf.h"
#include "qor_dispatch.h"
#include "qor_handlers.h"
#include "qor_jobs.h"
#include "qor_lock.h"
#include "qor_xml.h"

namespace {

// How the two commands differ.
struct ScheduleCommand {
  uint32_t code;
  const char* element;     // what carries SourceType and Source
  int bad_request;         // the status of a request that cannot be read
  bool touch_backup;       // a new disk schedule shows in g_client's relationship
  const char* registered;  // the last log of a new disk schedule
};

const ScheduleCommand kServer = {15, "Backup", 1, true, "Complete cmd SET_CDP_SCHEDULE."};
const ScheduleCommand kAgent = {30001, "Snap", 4, false, "Complete work: SET_CDP_SCHEDULE."};

struct Schedule {
  bool group = false;
  std::string source;
  uint64_t con_start_time = 0;
  uint64_t start_time = 0;
  uint32_t interval = 0;
  bool both() const { return con_start_time != 0 && interval != 0; }
  bool none() const { return con_start_time == 0 && interval == 0; }
};

// Reads the request; false (logged) when an element or attribute is missing.
bool read_schedule(const char* xml, const ScheduleCommand& cmd, Schedule* out) {
  static const QorDocTexts kTexts = {"Failed to parse XML doc.", "Failed to parse XML doc.",
                                     "Invalid XML format, unexpected root element."};
  if (xml == nullptr) {
    HM_LOG(LOG_ERR, "Failed to parse XML doc.");
    return false;
  }
  QorRequest req(xml, kTexts);
  if (req.root() == nullptr) return false;
  xmlNode* source = xml_find_child(req.root(), cmd.element);
  if (source == nullptr) {
    HM_LOG(LOG_ERR, "Failed to retrieve node Backup.");
    return false;
  }
  xmlNode* sched = xml_find_child(source, "Schedule");
  if (sched == nullptr) {
    HM_LOG(LOG_ERR, "Failed to retrieve node Schedule.");
    return false;
  }
  struct Attr {
    xmlNode* node;
    const char* name;
    const char* missing;
    std::string value;
  } attrs[] = {
      {source, "SourceType", "Failed to retrieve property SourceType of node Backup.", {}},
      {source, "Source", "Failed to retrieve property Source of node Backup.", {}},
      {sched, "StartTime", "Failed to retrieve property StartTime of node Schedule.", {}},
      {sched, "IntervalSeconds", "Failed to retrieve property IntervalSeconds of node Schedule.", {}},
  };
  for (Attr& a : attrs) {
    char* v = qor_xml_prop(a.node, a.name);
    if (v == nullptr) {
      HM_LOG(LOG_ERR, "%s", a.missing);
      return false;
    }
    a.value = v;
    free(v);
  }
  out->group = attrs[0].value == "1";
  out->source = attrs[1].value;
  HM_LOG(LOG_INFO, "Received new schedule, console start time: %s, interval: %s",
         attrs[2].value.c_str(), attrs[3].value.c_str());
  out->con_start_time = qor_dec_u64(attrs[2].value.c_str());
  out->interval = qor_dec_u32(attrs[3].value.c_str());
  out->start_time = qor_sched_start(out->con_start_time, out->interval, qor_clock()->wall_now());
  return true;
}

// The status of a host without manager.  Each hold that changes the
// schedules tests the manager again: a host released since the command's
// first test (its schedules and jobs already gone) gets no new ones.
constexpr int kUnmanaged = 50;

void log_new(const char* what, const std::string& name, const Schedule& s) {
  HM_LOG(LOG_INFO, "New schedule for %s %s, console start time: %lu, start time: %lu, interval: %u.",
         what, name.c_str(), static_cast<unsigned long>(s.con_start_time),
         static_cast<unsigned long>(s.start_time), s.interval);
}

int set_group_schedule(const Schedule& s) {
  const char* name = s.source.c_str();
  HM_LOG(LOG_INFO, "Updaing CDP schedule for group %s.", name);
  MutexLock config(&g_qor->mutex);
  if (!qor_managed_locked()) return kUnmanaged;
  HM_LOG(LOG_INFO, "Cou cou ! I'm here.");
  backup_group* grp = nullptr;
  list_head* pos;
  list_for_each(pos, &g_qor->groups) {
    backup_group* g = list_entry(pos, backup_group, list);
    if (g->name != nullptr && s.source == g->name) {
      grp = g;
      break;
    }
  }
  if (grp == nullptr) {
    HM_LOG(LOG_INFO, "Failed to find group.");
    return 1;
  }
  log_new("group", s.source, s);
  grp->con_start_time = s.con_start_time;
  grp->start_time = s.start_time;
  grp->interval = s.interval;
  if (s.both()) {
    _register_for_grpsch(grp);
    HM_LOG(LOG_INFO, "Background-running CDP schedule for group %s is updated.", name);
  } else if (s.none()) {
    unregister_grp_job(name);
    HM_LOG(LOG_INFO, "Background running CDP schedule for group %s is removed.", name);
  }
  qorcfg_write(QOR_CONF_PATH, g_qor);
  HM_LOG(LOG_INFO, "Config file is updated for group %s.", name);
  return 0;
}

// The first schedule of the disk, or null.  Configuration lock held.
cdpsch* find_disk_schedule_locked(const std::string& guid) {
  list_head* pos;
  list_for_each(pos, &g_qor->cdpschs) {
    cdpsch* c = list_entry(pos, cdpsch, list);
    if (c->local_guid != nullptr && guid == c->local_guid) return c;
  }
  return nullptr;
}

// Changes the disk's schedule sch to s: its job follows, and both times 0
// remove it.  Configuration lock held.
void change_disk_schedule_locked(cdpsch* sch, const Schedule& s) {
  const char* guid = s.source.c_str();
  log_new("disk", s.source, s);
  sch->con_start_time = s.con_start_time;
  sch->start_time = s.start_time;
  sch->interval = s.interval;
  if (s.both()) {
    _register_for_cdpsch(sch);
    HM_LOG(LOG_INFO, "Background-running CDP schedule for disk %s is updated.", guid);
  } else if (s.none()) {
    list_del(&sch->list);
    cdpsch_free(sch);
    unregister_cdp_job(guid);
    HM_LOG(LOG_INFO, "Background-running CDP Schedule for disk %s is removed.", guid);
  }
  qorcfg_write(QOR_CONF_PATH, g_qor);
  HM_LOG(LOG_INFO, "Config file is updated for disk %s.", guid);
}

// A disk that has a schedule: 0 when it was changed, -1 when the disk has
// none, kUnmanaged when the host was released meanwhile (the configuration
// lock is released either way).
int change_disk_schedule(const Schedule& s) {
  MutexLock config(&g_qor->mutex);
  if (!qor_managed_locked()) return kUnmanaged;
  HM_LOG(LOG_INFO, "Looking for disk %s in existing schedule list.", s.source.c_str());
  cdpsch* sch = find_disk_schedule_locked(s.source);
  if (sch == nullptr) return -1;
  change_disk_schedule_locked(sch, s);
  return 0;
}

// Shows the schedule in the disk's relationship record (the report's), as
// the server's own command does.
void show_in_backup(const Schedule& s) {
  MutexLock l(&g_client.lock);
  list_head* pos;
  list_for_each(pos, &g_client.backups) {
    qor_backup* bk = list_entry(pos, qor_backup, list);
    if (strncmp(bk->src_guid, s.source.c_str(), sizeof(bk->src_guid)) != 0) continue;
    bk->con_start_time = s.con_start_time;
    bk->start_time = s.start_time;
    bk->interval = s.interval;
    return;
  }
}

int set_disk_schedule(const Schedule& s, const ScheduleCommand& cmd) {
  const char* guid = s.source.c_str();
  HM_LOG(LOG_INFO, "Updating CDP schedule for disk %s.", guid);
  const int changed = change_disk_schedule(s);
  if (changed == 0) {
    HM_LOG(LOG_INFO, "Complete cmd SET_CDP_SCHEDULE.");
    return 0;
  }
  if (changed == kUnmanaged) return kUnmanaged;

  HM_LOG(LOG_INFO, "Failed to find disk %s in existing schedule list.", guid);
  HM_LOG(LOG_INFO, "Looking for disk %s in backup list.", guid);
  // Copied out of the relationship, so the configuration lock is never
  // taken while g_client.lock is held.
  std::string local, mirror;
  {
    MutexLock l(&g_client.lock);
    list_head* pos;
    list_for_each(pos, &g_client.backups) {
      const qor_backup* bk = list_entry(pos, qor_backup, list);
      if (strncmp(bk->src_guid, guid, sizeof(bk->src_guid)) != 0) continue;
      local.assign(bk->src_guid, strnlen(bk->src_guid, sizeof(bk->src_guid)));
      mirror.assign(bk->dest_guid, strnlen(bk->dest_guid, sizeof(bk->dest_guid)));
      break;
    }
  }
  if (local.empty()) {
    HM_LOG(LOG_INFO, "Failed to find disk %s in backup list.", guid);
    return 1;
  }
  auto* sch = static_cast<cdpsch*>(calloc(1, sizeof(cdpsch)));
  if (sch != nullptr) {
    sch->local_guid = strdup(local.c_str());
    sch->mirror_guid = strdup(mirror.c_str());
  }
  if (sch == nullptr || sch->local_guid == nullptr || sch->mirror_guid == nullptr) {
    cdpsch_free(sch);
    HM_LOG(LOG_ERR, "Failed to allocate memory for new CDP schedule.");
    return 1;
  }
  sch->con_start_time = s.con_start_time;
  sch->start_time = s.start_time;
  sch->interval = s.interval;
  log_new("disk", s.source, s);
  if (!s.both()) {
    HM_LOG(LOG_INFO, "No schedule is applied.");
    cdpsch_free(sch);
    HM_LOG(LOG_INFO, "Failed to find disk %s in backup list.", guid);
    return 1;
  }
  // Only a schedule that is applied shows in the relationship: the report
  // must not show times the command refused.
  if (cmd.touch_backup) show_in_backup(s);
  bool raced = false;
  {
    MutexLock config(&g_qor->mutex);
    if (!qor_managed_locked()) {
      cdpsch_free(sch);
      return kUnmanaged;
    }
    // The lock was let go after the lookup: another request for this disk
    // may have given it a schedule meanwhile.  That one is changed; a second
    // would outlive the clearing of the first and come back at the next
    // start.
    if (cdpsch* had = find_disk_schedule_locked(s.source)) {
      cdpsch_free(sch);
      change_disk_schedule_locked(had, s);
      raced = true;
    } else {
      list_add_tail(&sch->list, &g_qor->cdpschs);
      // Registered in the same hold: a second request for this disk finds
      // the schedule only together with its job.
      _register_for_cdpsch(sch);
      qorcfg_write(QOR_CONF_PATH, g_qor);
      HM_LOG(LOG_INFO, "Config fie is updated for disk %s.", guid);
    }
  }
  if (raced) {
    HM_LOG(LOG_INFO, "Complete cmd SET_CDP_SCHEDULE.");
    return 0;
  }
  HM_LOG(LOG_INFO, "Background-running CDP schedule for disk %s is registered.", guid);
  HM_LOG(LOG_INFO, "%s", cmd.registered);
  return 0;
}

int set_schedule(qorc_req* req, const ScheduleCommand& cmd) {
  Schedule s;
  if (!read_schedule(req->recvxml, cmd, &s)) return cmd.bad_request;
  if (s.group) {
    int status = set_group_schedule(s);
    if (status == 0) HM_LOG(LOG_INFO, "Complete cmd SET_CDP_SCHEDULE.");
    return status;
  }
  return set_disk_schedule(s, cmd);
}

}  // namespace

int set_cdp_schedule(qorc_req* req) {
  if (req == nullptr) return 1;
  if (!qor_managed()) return 50;
  HM_LOG(LOG_INFO, "Recv cmd: SET_CDP_SCHEDULE");
  return set_schedule(req, kServer);
}

int zel_set_cdp_schedule(qorc_req* req) {
  HM_LOG(LOG_INFO, "Recv cmd:ZEL_SET_CDP_SCHEDULE");
  if (int refused = qor_zel_command_head(req)) return refused;
  return set_schedule(req, kAgent);
}
