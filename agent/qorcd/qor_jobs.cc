// The job list and the timer's pass over it.
#include "qor_jobs.h"

#include <stdlib.h>
#include <string.h>

#include "mirapi/log.h"
#include "qor_lock.h"

namespace {

// ---- The list ----

LIST_HEAD(job_list);
pthread_mutex_t job_lock = PTHREAD_MUTEX_INITIALIZER;

job_status* entry(list_head* pos) { return list_entry(pos, job_status, list); }

bool matches(const job_status* job, int type, const char* key) {
  if (job->deleted || job->type != type) return false;
  switch (type) {
    case JOB_DISK_CDP:
      return key != nullptr && strcmp(job->local_guid, key) == 0;
    case JOB_GROUP_CDP:
      return key != nullptr && strcmp(job->group_name, key) == 0;
    default:
      return true;
  }
}

const char* key_of(const job_status* job) {
  switch (job->type) {
    case JOB_DISK_CDP:
      return job->local_guid;
    case JOB_GROUP_CDP:
      return job->group_name;
    default:
      return nullptr;
  }
}

// The first live job of this type and key; job_lock held.
job_status* find_locked(int type, const char* key, const job_status* except = nullptr) {
  list_head* pos;
  list_for_each(pos, &job_list) {
    job_status* job = entry(pos);
    if (job != except && matches(job, type, key)) return job;
  }
  return nullptr;
}

// Unlinks and frees every live job of this type and key but `keep`;
// job_lock held.  How many went.
int remove_locked(int type, const char* key, const job_status* keep) {
  int removed = 0;
  list_head *pos, *n;
  list_for_each_safe(pos, n, &job_list) {
    job_status* job = entry(pos);
    if (job == keep || !matches(job, type, key)) continue;
    list_del(pos);
    free(job);
    removed++;
  }
  return removed;
}

bool acceptable(const job_status* job) {
  if (job == nullptr) return false;
  if (job->interval == 0) {
    HM_LOG(LOG_ERR, "Job of type %d refused: its interval is 0.", job->type);
    return false;
  }
  return true;
}

}  // namespace

job_status* _alloc_job_status(void) {
  auto* job = static_cast<job_status*>(calloc(1, sizeof(job_status)));
  if (job == nullptr) HM_LOG(LOG_ERR, "Failed to allocate memory for job_status");
  return job;
}

void job_free(job_status* job) { free(job); }

int job_add(job_status* job) {
  if (!acceptable(job)) return -1;
  {
    MutexLock l(&job_lock);
    list_add_tail(&job->list, &job_list);
  }
  timer_wake();
  return 0;
}

int job_replace(job_status* job) {
  if (!acceptable(job)) return -1;
  int replaced;
  {
    MutexLock l(&job_lock);
    list_add_tail(&job->list, &job_list);
    replaced = remove_locked(job->type, key_of(job), job) > 0 ? 1 : 0;
  }
  timer_wake();
  return replaced;
}

int job_add_unique(job_status* job) {
  if (!acceptable(job)) return -1;
  {
    MutexLock l(&job_lock);
    if (find_locked(job->type, key_of(job)) != nullptr) return 1;
    list_add_tail(&job->list, &job_list);
  }
  timer_wake();
  return 0;
}

int job_remove_key(int type, const char* key) {
  MutexLock l(&job_lock);
  return remove_locked(type, key, nullptr);
}

int job_exists(int type, const char* key) {
  MutexLock l(&job_lock);
  return find_locked(type, key) != nullptr ? 1 : 0;
}

int job_update(int type, const char* key, const std::function<void(job_status*)>& fn) {
  MutexLock l(&job_lock);
  job_status* job = find_locked(type, key);
  if (job == nullptr) return 0;
  fn(job);
  return 1;
}

void jobs_free_all(void) {
  MutexLock l(&job_lock);
  list_head *pos, *n;
  list_for_each_safe(pos, n, &job_list) {
    list_del(pos);
    free(entry(pos));
  }
}

void jobs_mark_deleted(void) {
  MutexLock l(&job_lock);
  list_head* pos;
  list_for_each(pos, &job_list) entry(pos)->deleted = 1;
}

int find_cdp_job(const char* local_guid) {
  return local_guid != nullptr ? job_exists(JOB_DISK_CDP, local_guid) : 0;
}

int find_grp_job(const char* group_name) {
  return group_name != nullptr ? job_exists(JOB_GROUP_CDP, group_name) : 0;
}

int heartbeat_is_healthy(void) {
  MutexLock l(&job_lock);
  list_head* pos;
  list_for_each(pos, &job_list) {
    const job_status* job = entry(pos);
    if (matches(job, JOB_HEARTBEAT, nullptr) && job->backoff == 1) return 1;
  }
  return 0;
}


int64_t timer_pass(void) {
  {
    MutexLock l(&job_lock);
    list_head *pos, *n;
    list_for_each_safe(pos, n, &job_list) {
      if (!entry(pos)->deleted) continue;
      list_del(pos);
      free(entry(pos));
    }
  }

  const int64_t now = job_now();
  int64_t wake = now + 600;
  int counter = 0;
  MutexLock l(&job_lock);
  list_head* pos;
  list_for_each(pos, &job_list) {
    job_status* job = entry(pos);
    // Marked since the reap above: as good as gone.
    if (job->deleted) continue;
    HM_LOG(LOG_DEBUG, "[#%d]%d next: %d, timeout: %d(%s)\n", counter, job->type,
           static_cast<int>(job->next_time - now), static_cast<int>(job->interval + job->backoff / 2),
           job->mirror_guid);
    counter++;
    if (job->next_time <= now) {
      // Counted from the firing, not from the old due time: a late pass
      // shifts the schedule rather than firing twice to catch up.
      job->next_time = now + job->interval + (job->backoff >> 1);
      int rc = -1;
      switch (job->type) {
        case JOB_HEARTBEAT:
          scan_wake();
          if (job->callback != nullptr) rc = job->callback(nullptr);
          break;
        case JOB_DISK_CDP:
          HM_LOG(LOG_INFO, "Background task: CDP task for disk %s - %s fired!", job->local_guid,
                 job->mirror_guid);
          if (job->callback != nullptr) rc = job->callback(job);
          break;
        case JOB_GROUP_CDP:
          HM_LOG(LOG_INFO, "Background task: CDP task for group %s fired!", job->group_name);
          if (job->callback != nullptr) rc = job->callback(job);
          break;
        default:
          HM_LOG(LOG_ERR, "Unkown job type: %d", job->type);
          break;
      }
      if (rc < 0) HM_LOG(LOG_ERR, "Failed to process job");
    }
    if (job->next_time < wake) wake = job->next_time;
  }
  return wake;
}
