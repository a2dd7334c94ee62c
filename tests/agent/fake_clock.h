// A clock for qorcd's service threads that only moves when a test moves it.
// Installed in place of the host layer's clock; a wait in progress sees a
// move at once.
#ifndef ZELMIR_TESTS_AGENT_FAKE_CLOCK_H
#define ZELMIR_TESTS_AGENT_FAKE_CLOCK_H

#include <errno.h>
#include <pthread.h>
#include <stdint.h>

#include <mutex>
#include <set>
#include <utility>

#include "qor_jobs.h"

namespace agenttest {

class FakeClock {
 public:
  // Puts the clock in place at the given times; uninstall() restores the
  // host layer's.
  static void install(int64_t mono, int64_t wall) {
    {
      std::lock_guard<std::mutex> l(s().mu);
      s().mono = mono;
      s().wall = wall;
    }
    static const qor_clock_ops ops = {mono_now, wall_now, wait_until, sleep};
    qor_set_clock(&ops);
  }
  static void uninstall() { qor_set_clock(nullptr); }

  // Both clocks forward; every wait in progress looks at the time again.
  static void advance(int64_t seconds) {
    std::set<std::pair<pthread_cond_t*, pthread_mutex_t*>> waiters;
    {
      std::lock_guard<std::mutex> l(s().mu);
      s().mono += seconds;
      s().wall += seconds;
      waiters = s().waiters;
    }
    // The waiter holds its mutex until it sleeps on the condition, so this
    // broadcast cannot come before the sleep.
    for (auto [c, m] : waiters) {
      pthread_mutex_lock(m);
      pthread_cond_broadcast(c);
      pthread_mutex_unlock(m);
    }
  }
  // The wall clock alone, as `simctl clock set-wall` moves it.
  static void set_wall(int64_t wall) {
    std::lock_guard<std::mutex> l(s().mu);
    s().wall = wall;
  }

  // Waits entered so far, and the deadline of the last one.
  static int waits() {
    std::lock_guard<std::mutex> l(s().mu);
    return s().waits;
  }
  static int sleeps() {
    std::lock_guard<std::mutex> l(s().mu);
    return s().sleeps;
  }
  static int64_t last_deadline() {
    std::lock_guard<std::mutex> l(s().mu);
    return s().deadline;
  }

 private:
  struct State {
    std::mutex mu;
    int64_t mono = 0, wall = 0;
    int waits = 0;
    int sleeps = 0;
    int64_t deadline = 0;
    std::set<std::pair<pthread_cond_t*, pthread_mutex_t*>> waiters;
  };
  static State& s() {
    static State st;
    return st;
  }
  static int64_t mono_now() {
    std::lock_guard<std::mutex> l(s().mu);
    return s().mono;
  }
  static int64_t wall_now() {
    std::lock_guard<std::mutex> l(s().mu);
    return s().wall;
  }
  static int wait_until(pthread_cond_t* c, pthread_mutex_t* m, int64_t deadline) {
    {
      std::lock_guard<std::mutex> l(s().mu);
      if (s().mono >= deadline) return ETIMEDOUT;
      s().waiters.insert({c, m});
      s().waits++;
      s().deadline = deadline;
    }
    pthread_cond_wait(c, m);
    std::lock_guard<std::mutex> l(s().mu);
    s().waiters.erase({c, m});
    return s().mono >= deadline ? ETIMEDOUT : 0;
  }
  static unsigned sleep(unsigned seconds) {
    {
      std::lock_guard<std::mutex> l(s().mu);
      s().sleeps++;
    }
    advance(seconds);
    return 0;
  }
};

}  // namespace agenttest

#endif  // ZELMIR_TESTS_AGENT_FAKE_CLOCK_H
