// The service threads' ground: the agent's clock, the common thread start,
// the wake-ups of the timer and the client scan, and the timer thread.
#include <errno.h>
#include <stdlib.h>
#include <time.h>

#include <atomic>
#include <mutex>
#include <new>

#include "host/host.h"
#include "mirapi/log.h"
#include "qor_jobs.h"
#include "qor_lock.h"

namespace {

// ---- The host layer's clock, the default ----

int64_t host_now(clockid_t clk) {
  timespec ts{};
  hl_clock_gettime(clk, &ts);
  return ts.tv_sec;
}
int64_t host_mono_now() { return host_now(CLOCK_MONOTONIC); }
int64_t host_wall_now() { return host_now(CLOCK_REALTIME); }
int host_wait_until(pthread_cond_t* c, pthread_mutex_t* m, int64_t mono_sec) {
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(mono_sec);
  return hl_cond_timedwait(c, m, CLOCK_MONOTONIC, &ts);
}
unsigned host_sleep(unsigned seconds) { return hl_sleep(seconds); }

const qor_clock_ops kHostClock = {host_mono_now, host_wall_now, host_wait_until, host_sleep};
std::atomic<const qor_clock_ops*> clock_ops{&kHostClock};

// ---- Threads ----

struct ThreadStart {
  void* (*fn)(void*);
  void* arg;
};

void* detached(void* p) {
  pthread_detach(pthread_self());
  ThreadStart start = *static_cast<ThreadStart*>(p);
  delete static_cast<ThreadStart*>(p);
  return start.fn(start.arg);
}

// ---- Wake-ups ----
//
// Each wake-up is a flag beside its condition, both under a leaf lock.  A
// waiter waits only while the flag is clear and clears it when it returns,
// so a wake-up is never lost between the moment a thread decided to wait
// and the wait itself, which a bare signal would be.

pthread_cond_t timer_cond;
pthread_mutex_t timer_running_lock = PTHREAD_MUTEX_INITIALIZER;
int g_timeout_thread_running = 0;  // under timer_running_lock
int timer_kicked = 0;              // under timer_running_lock

pthread_cond_t scan_cond;
pthread_mutex_t scan_wake_lock = PTHREAD_MUTEX_INITIALIZER;
int scan_asked = 0;  // under scan_wake_lock

std::once_flag signals_made;

// A condition on the monotonic clock; failures end the working process, as
// a thread that cannot wait could never do its work.
void make_cond(pthread_cond_t* cond) {
  pthread_condattr_t attr;
  if (pthread_condattr_init(&attr) != 0) {
    HM_LOG(LOG_ERR, "Func pthread_cond_attr_init() error!");
    exit(1);
  }
  if (pthread_condattr_setclock(&attr, CLOCK_MONOTONIC) != 0) {
    HM_LOG(LOG_ERR, "Func pthread_condattr_setclock() error!");
    exit(1);
  }
  if (pthread_cond_init(cond, &attr) != 0) {
    HM_LOG(LOG_ERR, "Func pthread_cond_setclock() error!");
    exit(1);
  }
  pthread_condattr_destroy(&attr);
}

}  // namespace

void qor_set_clock(const qor_clock_ops* ops) { clock_ops.store(ops ? ops : &kHostClock); }
const qor_clock_ops* qor_clock(void) { return clock_ops.load(); }

int64_t job_now(void) { return qor_clock()->mono_now(); }

int64_t job_due_from_wall(uint64_t start) {
  const qor_clock_ops* c = qor_clock();
  // Unsigned wrap-around gives the signed difference for every start time a
  // configuration can hold.
  auto ahead = static_cast<int64_t>(start - static_cast<uint64_t>(c->wall_now()));
  return c->mono_now() + ahead;
}

int start_thread(pthread_t* tid, void* (*fn)(void*), void* arg) {
  auto* start = new (std::nothrow) ThreadStart{fn, arg};
  if (start == nullptr) return ENOMEM;
  pthread_attr_t attr;
  int rc = pthread_attr_init(&attr);
  if (rc == 0) {
    rc = pthread_attr_setstacksize(&attr, 1048576);
    if (rc == 0) rc = pthread_create(tid, &attr, detached, start);
    pthread_attr_destroy(&attr);
  }
  if (rc != 0) delete start;
  return rc;
}

void service_signals_init(void) {
  std::call_once(signals_made, [] {
    make_cond(&timer_cond);
    make_cond(&scan_cond);
  });
}

void timer_wake(void) {
  MutexLock l(&timer_running_lock);
  timer_kicked = 1;
  pthread_cond_signal(&timer_cond);
}

void timer_wait(int64_t wake) {
  HM_LOG(LOG_DEBUG, "Waiting for timeout(%d second) or condition", static_cast<int>(wake - job_now()));
  {
    MutexLock l(&timer_running_lock);
    g_timeout_thread_running = 1;
    while (!timer_kicked) {
      if (qor_clock()->wait_until(&timer_cond, &timer_running_lock, wake) == ETIMEDOUT) break;
    }
    timer_kicked = 0;
  }
  HM_LOG(LOG_DEBUG, "pthread_cond_timedwait() unblocked");
}

int timer_is_running(void) {
  MutexLock l(&timer_running_lock);
  return g_timeout_thread_running;
}

void* _timeout_thread(void* /*arg*/) {
  service_signals_init();
  for (;;) timer_wait(timer_pass());
  return nullptr;
}

void scan_wake(void) {
  MutexLock l(&scan_wake_lock);
  scan_asked = 1;
  pthread_cond_signal(&scan_cond);
}

void scan_wait_until(int64_t mono_sec) {
  MutexLock l(&scan_wake_lock);
  while (!scan_asked) {
    if (qor_clock()->wait_until(&scan_cond, &scan_wake_lock, mono_sec) == ETIMEDOUT) break;
  }
  scan_asked = 0;
}
