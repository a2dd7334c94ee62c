// Stand-in until the heartbeat exchange is built: the job is registered
// with its true times and fires, but no exchange starts.
#include "mirapi/log.h"
#include "qor_heartbeat.h"

int _register_for_heartbeat(void) {
  job_status* job = _alloc_job_status();
  if (job == nullptr) return -1;
  job->type = JOB_HEARTBEAT;
  job->callback = process_heartbeat;
  job->next_time = 0;
  job->interval = 5;
  job->backoff = 1;
  int rc = job_add_unique(job);
  if (rc != 0) job_free(job);
  if (rc < 0) {
    HM_LOG(LOG_ERR, "Failed to register heartbeat job.");
    return -1;
  }
  if (rc == 0) HM_LOG(LOG_INFO, "Heartbeat registered.");
  return 0;
}

int process_heartbeat(job_status*) { return heartbeat_running() ? 0 : -1; }
