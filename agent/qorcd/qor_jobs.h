// qorcd's periodic work: one timer thread walks a list of jobs (the
// heartbeat and one CDP schedule per disk or group) and, when a job falls
// due, calls its callback, which only starts a short-lived thread.  Also the
// common thread start and the two wake-ups of the service threads (the
// timer's and the client scan's).
//
// Times of jobs are whole seconds of the monotonic clock, read through the
// agent's clock (below), which is the host layer's: a test moves it with
// `simctl clock advance` or puts a clock of its own in its place.
//
// Locks (see qor_model.h for the whole order): job_lock is innermost of the
// agent's data locks; the two wake-up locks (timer and scan) are leaves,
// taken only for a flag and a wait, never while waiting for anything else.
#ifndef ZELMIR_AGENT_QORCD_QOR_JOBS_H
#define ZELMIR_AGENT_QORCD_QOR_JOBS_H

#include <pthread.h>
#include <stdint.h>

#include <functional>

#include "hm_list.h"

enum qor_job_type {
  JOB_HEARTBEAT = 1,
  JOB_DISK_CDP = 2,
  JOB_GROUP_CDP = 4,
};

struct job_status;

// Called by the timer, under job_lock, when the job falls due: a CDP job's
// callback gets the job, the heartbeat's gets null (it finds its job again
// under the lock when it needs it).  It must not take job_lock or wait; it
// starts a thread and returns 0, or returns a negative value when it did
// not.  A thread it starts copies what it needs from the job first: the job
// may be freed as soon as the callback returns.
typedef int (*job_callback)(job_status* job);

#define QOR_JOB_TEXT 512

struct job_status {
  struct list_head list;       // position in the job list
  int type;                    // qor_job_type
  job_callback callback;
  int64_t next_time;           // due time, monotonic seconds
  uint32_t interval;           // period in seconds; never 0 in the list
  uint32_t backoff;            // heartbeat backoff factor 1..128; 0 for CDP jobs
  int deleted;                 // the timer frees it at its next pass; invisible to searches
  char group_name[QOR_JOB_TEXT];   // JOB_GROUP_CDP
  char local_guid[QOR_JOB_TEXT];   // JOB_DISK_CDP: primary disk
  char mirror_guid[QOR_JOB_TEXT];  // JOB_DISK_CDP: mirror disk
};

// ---- The agent's clock ----

// What the timer, the scan and the job arithmetic read and wait on.  The
// default is the host layer's; tests may put their own in place before any
// service thread runs (null restores the default).
struct qor_clock_ops {
  int64_t (*mono_now)(void);   // monotonic seconds
  int64_t (*wall_now)(void);   // wall-clock seconds since the epoch
  // Waits on c (m held) until signalled or the monotonic clock reaches
  // mono_sec; 0 when woken (possibly spuriously), ETIMEDOUT when the time
  // passed.
  int (*wait_until)(pthread_cond_t* c, pthread_mutex_t* m, int64_t mono_sec);
  unsigned (*sleep)(unsigned seconds);
};
void qor_set_clock(const qor_clock_ops* ops);
const qor_clock_ops* qor_clock(void);

// Monotonic seconds now.
int64_t job_now(void);
// A wall-clock start time (seconds since the epoch) as a due time on the
// monotonic clock: monotonic now + (start - wall now), in signed 64-bit
// arithmetic.  Converted once, so a wall clock set later does not move it.
int64_t job_due_from_wall(uint64_t start);

// ---- Threads ----

// Creates a thread with a 1 MiB stack; the thread detaches itself first
// thing.  The creation result: 0 on success.
int start_thread(pthread_t* tid, void* (*fn)(void*), void* arg);

// Makes the timer's and the scan's conditions (on the monotonic clock).
// Runs before any thread that could signal them starts; a failure logs and
// ends the working process with status 1.
void service_signals_init(void);

// ---- The job list ----

// A zeroed job, or null (logged).  job_free frees a job that is not in the
// list; null is allowed.
job_status* _alloc_job_status(void);
void job_free(job_status* job);

// Every operation below takes job_lock once and does its whole work in that
// hold, so no job is found in one hold and freed in another.  Jobs marked
// deleted are invisible to all of them.  A key is the local GUID of a disk
// job, the group name of a group job, and nothing for the heartbeat.
//
// Adding appends at the tail and wakes the timer.  A job whose interval is
// 0 would fall due on every pass and keep the timer from sleeping: it is
// refused with a log (-1; the job stays with the caller), as is null.

// 0, or -1 (refused).
int job_add(job_status* job);
// Adds job, then removes every other job of its type and key, so a
// schedule is never without a job and never has two.  1 when an older job
// was removed, 0 when there was none, -1 refused.
int job_replace(job_status* job);
// Adds job unless a job of its type and key exists.  0 added, 1 one was
// there already (job stays with the caller), -1 refused.
int job_add_unique(job_status* job);
// Removes every job of this type and key; how many were removed.
int job_remove_key(int type, const char* key);
// 1 when a job of this type and key exists, else 0.
int job_exists(int type, const char* key);
// Runs fn on the first job of this type and key under job_lock (fn must not
// take another lock or wait); 1 when there was one, else 0.  The heartbeat
// changes its backoff and due time through this; a change of next_time
// should be followed by timer_wake().
int job_update(int type, const char* key, const std::function<void(job_status*)>& fn);
// Unlinks and frees every job.  Only for a working process whose timer does
// not run.
void jobs_free_all(void);
// Marks every job deleted; the timer frees them at its next pass.
void jobs_mark_deleted(void);
// Presence of a disk's or a group's CDP job (null text: 0).
int find_cdp_job(const char* local_guid);
int find_grp_job(const char* group_name);
// 1 while a heartbeat job exists whose backoff is 1 (its last connection
// succeeded), else 0.
int heartbeat_is_healthy(void);

// ---- The timer ----

// The timer thread: never returns.
void* _timeout_thread(void* arg);
// One pass of the timer: frees the deleted jobs, fires every due job once in
// list order (a fired job is next due at now + interval + backoff / 2), and
// returns the time to wake: the earliest due time, at most now + 600.
int64_t timer_pass(void);
// Waits until the monotonic clock reaches wake or timer_wake() is called.
// A wake-up that comes at any moment after the last pass began ends this
// wait at once, so a job added while the timer walks the list is not held
// back until an old wake time.
void timer_wait(int64_t wake);
// Makes the timer look at the list again now.  Takes no lock but the timer's
// own leaf lock; callable with any other lock held.
void timer_wake(void);
// 1 once the timer thread has reached its first wait.
int timer_is_running(void);

// ---- The client scan's wake-up ----

// Asks the client-scan thread for a scan.  A request that comes while a scan
// runs gives one more scan after it.  Callable with any lock held.
void scan_wake(void);
// For the scan thread: waits until a scan is asked for or the monotonic
// clock reaches mono_sec.
void scan_wait_until(int64_t mono_sec);

#endif  // ZELMIR_AGENT_QORCD_QOR_JOBS_H
