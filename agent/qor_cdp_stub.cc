// Stand-in until the CDP marks are built: the jobs of the stored schedules
// are registered with their true times and fire, but mark nothing.
#include <stdio.h>

#include "mirapi/log.h"
#include "qor_cdp.h"

namespace {

// A job of this type with the schedule's times, or null.
job_status* new_job(int type, job_callback callback, uint64_t start_time, uint32_t interval) {
  job_status* job = _alloc_job_status();
  if (job == nullptr) return nullptr;
  job->type = type;
  job->callback = callback;
  job->interval = interval;
  job->next_time = job_due_from_wall(start_time);
  return job;
}

// In place of the disk's or group's present job.
int register_job(job_status* job) {
  if (job_replace(job) >= 0) return 0;
  job_free(job);
  return -1;
}

}  // namespace

int _register_for_cdpsch(const cdpsch* sch) {
  if (sch == nullptr || sch->local_guid == nullptr) {
    HM_LOG(LOG_ERR, "Unknown disk name");
    return -1;
  }
  if (sch->interval == 0) {
    HM_LOG(LOG_WARNING, "CDP schedule of disk %s has interval 0, not registered.", sch->local_guid);
    return 0;
  }
  job_status* job = new_job(JOB_DISK_CDP, _create_snapshot, sch->start_time, sch->interval);
  if (job == nullptr) return -1;
  snprintf(job->local_guid, sizeof(job->local_guid), "%s", sch->local_guid);
  snprintf(job->mirror_guid, sizeof(job->mirror_guid), "%s",
           sch->mirror_guid != nullptr ? sch->mirror_guid : "");
  return register_job(job);
}

int _register_for_grpsch(const backup_group* grp) {
  if (grp == nullptr || grp->name == nullptr) return -1;
  if (grp->interval == 0) {
    HM_LOG(LOG_WARNING, "CDP schedule of group %s has interval 0, not registered.", grp->name);
    return 0;
  }
  job_status* job = new_job(JOB_GROUP_CDP, _create_grp_snapshot, grp->start_time, grp->interval);
  if (job == nullptr) return -1;
  snprintf(job->group_name, sizeof(job->group_name), "%s", grp->name);
  return register_job(job);
}

void unregister_cdp_job(const char* local_guid) { job_remove_key(JOB_DISK_CDP, local_guid); }
void unregister_grp_job(const char* group_name) { job_remove_key(JOB_GROUP_CDP, group_name); }

int _create_snapshot(job_status*) { return 0; }
int _create_grp_snapshot(job_status*) { return 0; }
