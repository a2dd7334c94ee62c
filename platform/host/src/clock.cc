// The host layer's clocks and timed waits.
//
// Inside a simulated host the host's clocks are this machine's clocks plus
// two offsets that simkernel keeps in a shared page (ctlproto::ClockPage).
// Reading a clock adds the offset. A wait converts its host deadline into
// this machine's time and waits for that; so that a move of the host's clock
// ends or shortens a wait in progress, one watcher thread per process sleeps
// on the page's futex word and, on a move, wakes every wait of this process:
// a poll through an eventfd that the wait polls as well, a condition wait by
// a broadcast of its condition. Woken, a wait looks at the host's clock again.
#include "host/host.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <linux/futex.h>
#include <mutex>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

#include "ctl_proto.h"

namespace {

using ctlproto::ClockPage;

constexpr int64_t kNsPerSec = 1000000000;

enum Family { kPlain, kMono, kWall };

Family family_of(clockid_t clk) {
  switch (clk) {
    case CLOCK_MONOTONIC:
    case CLOCK_MONOTONIC_RAW:
    case CLOCK_MONOTONIC_COARSE:
    case CLOCK_BOOTTIME:
      return kMono;
    case CLOCK_REALTIME:
    case CLOCK_REALTIME_COARSE:
      return kWall;
    default:
      return kPlain;
  }
}

int64_t add_sat(int64_t a, int64_t b) {
  int64_t r;
  if (__builtin_add_overflow(a, b, &r)) return b > 0 ? INT64_MAX : INT64_MIN;
  return r;
}

int64_t sub_sat(int64_t a, int64_t b) {
  int64_t r;
  if (__builtin_sub_overflow(a, b, &r)) return b < 0 ? INT64_MAX : INT64_MIN;
  return r;
}

int64_t to_ns(const timespec& ts) {
  if (ts.tv_sec >= INT64_MAX / kNsPerSec) return INT64_MAX;
  if (ts.tv_sec <= INT64_MIN / kNsPerSec) return INT64_MIN;
  return static_cast<int64_t>(ts.tv_sec) * kNsPerSec + ts.tv_nsec;
}

timespec from_ns(int64_t ns) {
  timespec ts;
  ts.tv_sec = static_cast<time_t>(ns / kNsPerSec);
  ts.tv_nsec = static_cast<long>(ns % kNsPerSec);
  if (ts.tv_nsec < 0) {
    ts.tv_nsec += kNsPerSec;
    ts.tv_sec--;
  }
  return ts;
}

int64_t real_ns(clockid_t clk) {
  timespec ts;
  clock_gettime(clk, &ts);
  return to_ns(ts);
}

// The page of this host's clock, mapped once; null outside a simulated host
// (or in one whose kernel keeps no clock), where every call is the plain one.
const ClockPage* clock_page() {
  static const ClockPage* const page = []() -> const ClockPage* {
    if (!hl_simulated()) return nullptr;
    int fd = open(ctlproto::kClockPath, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    void* m = mmap(nullptr, ctlproto::kClockFileSize, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (m == MAP_FAILED) return nullptr;
    auto* p = static_cast<const ClockPage*>(m);
    if (__atomic_load_n(&p->magic, __ATOMIC_ACQUIRE) != ctlproto::kClockMagic) {
      munmap(m, ctlproto::kClockFileSize);
      return nullptr;
    }
    return p;
  }();
  return page;
}

struct Offsets {
  int64_t mono = 0, wall = 0;
  int64_t of(Family f) const { return f == kMono ? mono : f == kWall ? wall : 0; }
};

Offsets read_offsets(const ClockPage* p) {
  Offsets o;
  // A writer that died half-way must not hang every clock read of the host:
  // after many tries the values are taken as they are.
  for (int tries = 0;; tries++) {
    uint32_t s1 = __atomic_load_n(&p->seq, __ATOMIC_ACQUIRE);
    o.mono = __atomic_load_n(&p->mono_off_ns, __ATOMIC_RELAXED);
    o.wall = __atomic_load_n(&p->wall_off_ns, __ATOMIC_RELAXED);
    __atomic_thread_fence(__ATOMIC_ACQUIRE);
    uint32_t s2 = __atomic_load_n(&p->seq, __ATOMIC_RELAXED);
    if ((s1 == s2 && !(s1 & 1)) || tries > 100000) return o;
    sched_yield();
  }
}

int64_t host_ns(const ClockPage* p, clockid_t clk) {
  return add_sat(real_ns(clk), read_offsets(p).of(family_of(clk)));
}

// ---- the waits in progress, and the watcher that wakes them ----

struct CondWait {
  CondWait* next = nullptr;
  pthread_cond_t* cond;
  pthread_mutex_t* mutex;
  Family family;
  bool kick = false;  // to be broadcast: its clock moved
};

struct PollWait {
  PollWait* next = nullptr;
  int efd;
};

struct Waits {
  std::mutex mu;  // the lists and `watcher`; never held while blocking
  CondWait* conds = nullptr;
  PollWait* polls = nullptr;
  bool watcher = false;
};

// Never destroyed: the watcher may outlive static destructors.
Waits& waits() {
  static Waits* const w = new Waits;
  return *w;
}

template <class T>
void unlink_from(T*& head, T* me) {
  for (T** pp = &head; *pp; pp = &(*pp)->next) {
    if (*pp == me) {
      *pp = me->next;
      return;
    }
  }
}

// Wakes every wait whose clock moved. A condition is broadcast while holding
// its mutex: a waiter holds that mutex at every moment it is registered
// except while it sleeps in the condition, so taking the mutex means the
// waiter sleeps (and the broadcast reaches it) or is already awake. The
// mutex is only tried, never waited for, since its owner may be a waiter
// blocked on waits().mu; a busy mutex is tried again a moment later.
void wake_waits(bool mono, bool wall) {
  Waits& w = waits();
  {
    std::lock_guard<std::mutex> l(w.mu);
    for (CondWait* c = w.conds; c; c = c->next)
      if ((c->family == kMono && mono) || (c->family == kWall && wall)) c->kick = true;
    if (mono) {
      for (PollWait* pw = w.polls; pw; pw = pw->next) {
        uint64_t one = 1;
        ssize_t n = write(pw->efd, &one, sizeof one);
        (void)n;  // a full counter is already readable
      }
    }
  }
  for (;;) {
    bool pending = false;
    {
      std::lock_guard<std::mutex> l(w.mu);
      for (CondWait* c = w.conds; c; c = c->next) {
        if (!c->kick) continue;
        if (pthread_mutex_trylock(c->mutex) == 0) {
          pthread_cond_broadcast(c->cond);
          pthread_mutex_unlock(c->mutex);
          c->kick = false;
        } else {
          pending = true;
        }
      }
    }
    if (!pending) return;
    usleep(1000);
  }
}

void* watch(void* arg) {
  auto* p = static_cast<const ClockPage*>(arg);
  Offsets last = read_offsets(p);
  for (;;) {
    uint32_t gen = __atomic_load_n(&p->gen, __ATOMIC_ACQUIRE);
    Offsets now = read_offsets(p);
    bool mono = now.mono != last.mono, wall = now.wall != last.wall;
    last = now;
    if (mono || wall) wake_waits(mono, wall);
    // A shared futex: simkernel, another process, wakes it. The time-out is
    // only a safety net for a wake that went astray.
    timespec ten{10, 0};
    syscall(SYS_futex, &p->gen, FUTEX_WAIT, gen, &ten, nullptr, 0);
  }
  return nullptr;
}

void after_fork_in_child() {
  // Only the forking thread lives on: no wait of the parent's is ours, and
  // there is no watcher.
  Waits& w = waits();
  w.conds = nullptr;
  w.polls = nullptr;
  w.watcher = false;
  w.mu.unlock();
}

// With w.mu held. The watcher takes no signal meant for the program.
void start_watcher(Waits& w, const ClockPage* p) {
  if (w.watcher) return;
  static std::once_flag forks;
  std::call_once(forks, [] {
    pthread_atfork([] { waits().mu.lock(); }, [] { waits().mu.unlock(); }, after_fork_in_child);
  });
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  pthread_attr_t a;
  pthread_attr_init(&a);
  pthread_attr_setdetachstate(&a, PTHREAD_CREATE_DETACHED);
  pthread_t t;
  w.watcher = pthread_create(&t, &a, watch, const_cast<ClockPage*>(p)) == 0;
  pthread_attr_destroy(&a);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

// poll(2) until the host's monotonic clock reaches `until` (ns) or a
// descriptor is ready: the count of ready descriptors, 0 at the deadline,
// -1 with errno as poll sets it.
int poll_until(const ClockPage* p, struct pollfd* fds, nfds_t nfds, int64_t until) {
  Waits& w = waits();
  PollWait me;
  me.efd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (me.efd >= 0) {
    std::lock_guard<std::mutex> l(w.mu);
    start_watcher(w, p);
    me.next = w.polls;
    w.polls = &me;
  }
  std::vector<struct pollfd> all(fds, fds + nfds);
  // Without an eventfd the wait still ends on time, only not at a move.
  all.push_back({me.efd, POLLIN, 0});
  int rc;
  for (;;) {
    int64_t left = sub_sat(until, host_ns(p, CLOCK_MONOTONIC));
    int ms = left <= 0 ? 0
                       : static_cast<int>(std::min<int64_t>((left + 999999) / 1000000, INT_MAX));
    rc = ::poll(all.data(), nfds + 1, ms);
    if (rc < 0) break;
    if (all[nfds].revents) {
      uint64_t n;
      ssize_t r = read(me.efd, &n, sizeof n);
      (void)r;
      all[nfds].revents = 0;
      rc--;
    }
    if (rc > 0 || ms == 0) break;
  }
  int e = errno;
  if (me.efd >= 0) {
    {
      std::lock_guard<std::mutex> l(w.mu);
      unlink_from(w.polls, &me);
    }
    close(me.efd);
  }
  if (rc >= 0)
    for (nfds_t i = 0; i < nfds; i++) fds[i].revents = all[i].revents;
  errno = e;
  return rc;
}

}  // namespace

extern "C" {

int hl_clock_gettime(clockid_t clk, struct timespec* ts) {
  const ClockPage* p = clock_page();
  Family f = family_of(clk);
  if (!p || f == kPlain) return clock_gettime(clk, ts);
  timespec real;
  if (clock_gettime(clk, &real) < 0) return -1;
  *ts = from_ns(add_sat(to_ns(real), read_offsets(p).of(f)));
  return 0;
}

time_t hl_time(time_t* t) {
  timespec ts;
  if (hl_clock_gettime(CLOCK_REALTIME, &ts) < 0) return static_cast<time_t>(-1);
  if (t) *t = ts.tv_sec;
  return ts.tv_sec;
}

int64_t hl_monotonic_ms(void) {
  timespec ts;
  hl_clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

unsigned int hl_sleep(unsigned int seconds) {
  const ClockPage* p = clock_page();
  if (!p) return sleep(seconds);
  if (seconds == 0) return 0;
  int64_t until = add_sat(host_ns(p, CLOCK_MONOTONIC), static_cast<int64_t>(seconds) * kNsPerSec);
  if (poll_until(p, nullptr, 0, until) >= 0) return 0;
  int64_t left = sub_sat(until, host_ns(p, CLOCK_MONOTONIC));
  return left <= 0 ? 0 : static_cast<unsigned>((left + kNsPerSec - 1) / kNsPerSec);
}

int hl_usleep(useconds_t usec) {
  const ClockPage* p = clock_page();
  if (!p) return usleep(usec);
  int64_t until = add_sat(host_ns(p, CLOCK_MONOTONIC), static_cast<int64_t>(usec) * 1000);
  return poll_until(p, nullptr, 0, until) < 0 ? -1 : 0;
}

int hl_poll(struct pollfd* fds, nfds_t nfds, int timeout_ms) {
  const ClockPage* p = clock_page();
  if (!p || timeout_ms <= 0) return ::poll(fds, nfds, timeout_ms);
  int64_t until = add_sat(host_ns(p, CLOCK_MONOTONIC), static_cast<int64_t>(timeout_ms) * 1000000);
  return poll_until(p, fds, nfds, until);
}

int hl_cond_timedwait(pthread_cond_t* c, pthread_mutex_t* m, clockid_t clk,
                      const struct timespec* abstime) {
  if ((clk != CLOCK_MONOTONIC && clk != CLOCK_REALTIME) || !abstime || abstime->tv_nsec < 0 ||
      abstime->tv_nsec >= kNsPerSec)
    return EINVAL;
  const ClockPage* p = clock_page();
  if (!p) return pthread_cond_clockwait(c, m, clk, abstime);

  Waits& w = waits();
  CondWait me;
  me.cond = c;
  me.mutex = m;
  me.family = family_of(clk);
  {
    std::lock_guard<std::mutex> l(w.mu);
    start_watcher(w, p);
    me.next = w.conds;
    w.conds = &me;
  }
  const int64_t until = to_ns(*abstime);
  int rc;
  for (;;) {
    int64_t off = read_offsets(p).of(me.family);
    if (add_sat(real_ns(clk), off) >= until) {
      rc = ETIMEDOUT;
      break;
    }
    timespec real_until = from_ns(sub_sat(until, off));
    int r = pthread_cond_clockwait(c, m, clk, &real_until);
    // This machine's deadline passed: the host's clock decides (a wall
    // clock set back meanwhile has not reached abstime yet).
    if (r == ETIMEDOUT) continue;
    if (r != 0) {
      rc = r;
      break;
    }
    rc = host_ns(p, clk) >= until ? ETIMEDOUT : 0;
    break;
  }
  {
    std::lock_guard<std::mutex> l(w.mu);
    unlink_from(w.conds, &me);
  }
  return rc;
}

}  // extern "C"
