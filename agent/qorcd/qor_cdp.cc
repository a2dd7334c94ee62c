// The jobs of CDP schedules and the removal of schedules and groups.
#include "qor_cdp.h"

#include <inttypes.h>
#include <stdlib.h>
#include <string.h>

#include "mirapi/log.h"
#include "qor_lock.h"

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

// Copies text into a job's field; false when it does not fit, since a cut
// key would name another disk or group.
bool set_key(char (&field)[QOR_JOB_TEXT], const char* text) {
  size_t len = strlen(text);
  if (len >= sizeof(field)) return false;
  memcpy(field, text, len + 1);
  return true;
}

// A thread of fn with a copy of text; 0, or -1 when it did not start.
int start_with_copy(void* (*fn)(void*), const char* text) {
  char* copy = strdup(text);
  if (copy == nullptr) return -1;
  pthread_t tid;
  if (start_thread(&tid, fn, copy) != 0) {
    free(copy);
    return -1;
  }
  return 0;
}

}  // namespace

int _register_for_cdpsch(const cdpsch* sch) {
  if (sch == nullptr || sch->local_guid == nullptr) {
    HM_LOG(LOG_ERR, "Unknown disk name");
    return -1;
  }
  const char* mirror = sch->mirror_guid != nullptr ? sch->mirror_guid : "";
  HM_LOG(LOG_INFO,
         "Register new CDP schdule (local: %s, mirror: %s, console start time: %lu, start time: "
         "%lu, interval: %u.",
         sch->local_guid, mirror, static_cast<unsigned long>(sch->con_start_time),
         static_cast<unsigned long>(sch->start_time), sch->interval);
  if (sch->interval == 0) {
    HM_LOG(LOG_WARNING, "CDP schedule of disk %s has interval 0, not registered.", sch->local_guid);
    return 0;
  }
  HM_LOG(LOG_INFO, "Looking for old CDP schedule.");
  job_status* job = new_job(JOB_DISK_CDP, _create_snapshot, sch->start_time, sch->interval);
  if (job == nullptr) {
    HM_LOG(LOG_ERR, "Failed to allocated memory for new CDP schedule.");
    return -1;
  }
  if (!set_key(job->local_guid, sch->local_guid) || !set_key(job->mirror_guid, mirror)) {
    HM_LOG(LOG_ERR, "Failed to register new CDP schedule.");
    job_free(job);
    return -1;
  }
  // Added and the old job dropped in one hold of job_lock.
  int rc = job_replace(job);
  if (rc < 0) {
    HM_LOG(LOG_ERR, "Failed to register new CDP schedule.");
    job_free(job);
    return -1;
  }
  HM_LOG(LOG_INFO, "New CDP schedule registered.");
  if (rc == 1) HM_LOG(LOG_INFO, "Remove old CDP schedule.");
  return 0;
}

int _register_for_grpsch(const backup_group* grp) {
  if (grp == nullptr || grp->name == nullptr) return -1;
  if (grp->interval == 0) {
    HM_LOG(LOG_WARNING, "CDP schedule of group %s has interval 0, not registered.", grp->name);
    return 0;
  }
  job_status* job = new_job(JOB_GROUP_CDP, _create_grp_snapshot, grp->start_time, grp->interval);
  if (job == nullptr) return -1;
  if (!set_key(job->group_name, grp->name) || job_replace(job) < 0) {
    job_free(job);
    return -1;
  }
  return 0;
}

void unregister_cdp_job(const char* local_guid) {
  if (local_guid != nullptr) job_remove_key(JOB_DISK_CDP, local_guid);
}

void unregister_grp_job(const char* group_name) {
  if (group_name != nullptr) job_remove_key(JOB_GROUP_CDP, group_name);
}

int _create_snapshot(job_status* job) {
  if (job == nullptr) return -1;
  HM_LOG(LOG_INFO, "Mark cdp for %s", job->mirror_guid);
  return start_with_copy(mark_cdp_thread, job->mirror_guid);
}

int _create_grp_snapshot(job_status* job) {
  if (job == nullptr) return -1;
  HM_LOG(LOG_DEBUG, "Launch thread to create snapshot for group %s.", job->group_name);
  return start_with_copy(mark_grp_cdp_thread, job->group_name);
}

void qor_remove_cdpsch(const char* local_guid, pthread_mutex_t* mutex) {
  if (g_qor == nullptr) return;
  if (mutex != nullptr) pthread_mutex_lock(mutex);
  list_head *pos, *n;
  list_for_each_safe(pos, n, &g_qor->cdpschs) {
    cdpsch* sch = list_entry(pos, cdpsch, list);
    if (local_guid != nullptr &&
        (sch->local_guid == nullptr || strcmp(sch->local_guid, local_guid) != 0))
      continue;
    list_del(pos);
    cdpsch_free(sch);
  }
  if (mutex != nullptr) pthread_mutex_unlock(mutex);
}

void qor_remove_groups(void) {
  if (g_qor == nullptr) return;
  MutexLock l(&g_qor->mutex);
  backup_grp_list_free(&g_qor->groups);
}
