// The layer's clocks inside a simulated host, against simkernel's own clock
// keeper in a private /run: clocks read the host's time, and waits in
// progress end at once when the host's clock passes their deadline. Each test
// runs in a fresh child process, so the layer maps the clock afresh.
#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "clock_keeper.h"
#include "eventually.h"
#include "host/host.h"
#include "namespaces.h"

namespace {

constexpr int64_t kSec = 1000000000;
constexpr int64_t kHour = 3600 * kSec;
// The waits that a move must end: long enough that ending on this machine's
// time shows as late, short enough that a fault fails rather than hangs.
constexpr int kWaitSec = 15;

int64_t ns_of(const timespec& ts) { return static_cast<int64_t>(ts.tv_sec) * kSec + ts.tv_nsec; }

int64_t real_ns(clockid_t clk) {
  timespec ts;
  clock_gettime(clk, &ts);
  return ns_of(ts);
}

int64_t host_ns(clockid_t clk) {
  timespec ts;
  hl_clock_gettime(clk, &ts);
  return ns_of(ts);
}

// A host as far as the clock goes: a control socket (so the layer knows it is
// simulated) and the clock page, both in a private /run.
std::string in_clock_host(const std::function<std::string(sim::ClockKeeper&)>& body) {
  return testsupport::run_isolated(0, [&] {
    if (mount("tmpfs", "/run", "tmpfs", 0, "size=1m") < 0) return std::string("mount /run");
    mkdir("/run/simkernel", 0755);
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    strcpy(sa.sun_path, "/var/run/simkernel/ctl.sock");
    if (bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0) return std::string("bind ctl.sock");
    static sim::ClockKeeper keeper;
    if (keeper.open("/var/run/simkernel/clock") < 0) return std::string("clock page");
    std::string r = body(keeper);
    return r.empty() ? std::string("ok") : r;
  });
}

#define CHECK(c)                                                              \
  do {                                                                        \
    if (!(c)) r += "line " + std::to_string(__LINE__) + ": " #c "\n";          \
  } while (0)

// Runs wait() on a thread while the host's clock is moved by step() every
// 100 ms (a move made before the wait took its deadline is not the one that
// ends it), and says how long the wait took on this machine's clock.
struct MovedWait {
  int result = -1;
  int64_t took_ms = -1;
  int64_t host_elapsed = 0;  // on the host's monotonic clock
};

MovedWait move_until_done(const std::function<int()>& wait, const std::function<void()>& step) {
  MovedWait m;
  std::atomic<bool> done{false};
  std::thread t([&] {
    int64_t real0 = real_ns(CLOCK_MONOTONIC), host0 = host_ns(CLOCK_MONOTONIC);
    m.result = wait();
    m.took_ms = (real_ns(CLOCK_MONOTONIC) - real0) / 1000000;
    m.host_elapsed = host_ns(CLOCK_MONOTONIC) - host0;
    done = true;
  });
  testsupport::eventually(
      [&] {
        if (done) return true;
        step();
        return false;
      },
      std::chrono::seconds(30), std::chrono::milliseconds(100));
  t.join();  // the waits are short enough to end by this machine's time too
  return m;
}

TEST(HostClock, ReadsTheHostsTimeAsItMoves) {
  std::string out = in_clock_host([](sim::ClockKeeper& k) {
    std::string r;
    CHECK(hl_simulated() == 1);
    // A fresh boot runs on this machine's time.
    CHECK(std::llabs(host_ns(CLOCK_MONOTONIC) - real_ns(CLOCK_MONOTONIC)) < kSec);
    CHECK(std::llabs(host_ns(CLOCK_REALTIME) - real_ns(CLOCK_REALTIME)) < kSec);

    CHECK(k.advance(kHour) == 0);
    CHECK(std::llabs(host_ns(CLOCK_MONOTONIC) - real_ns(CLOCK_MONOTONIC) - kHour) < kSec);
    CHECK(std::llabs(host_ns(CLOCK_BOOTTIME) - real_ns(CLOCK_BOOTTIME) - kHour) < kSec);
    CHECK(std::llabs(host_ns(CLOCK_REALTIME) - real_ns(CLOCK_REALTIME) - kHour) < kSec);
    CHECK(std::llabs(hl_time(nullptr) - time(nullptr) - 3600) <= 1);

    // The wall clock set back: the monotonic clock stays where it was.
    int64_t mono = host_ns(CLOCK_MONOTONIC);
    CHECK(k.set_wall(1000000000 * kSec) == 0);
    time_t t = 0;
    CHECK(hl_time(&t) >= 1000000000 && hl_time(nullptr) <= 1000000002 && t >= 1000000000);
    CHECK(host_ns(CLOCK_MONOTONIC) >= mono && host_ns(CLOCK_MONOTONIC) - mono < kSec);
    // Other clocks are this machine's.
    CHECK(std::llabs(host_ns(CLOCK_PROCESS_CPUTIME_ID) - real_ns(CLOCK_PROCESS_CPUTIME_ID)) < kSec);

    // The monotonic clock never goes back, and stays within what it can hold.
    CHECK(k.advance(-1) == -EINVAL);
    CHECK(k.advance(INT64_MAX) == -EINVAL);
    CHECK(k.set_wall(-1) == -EINVAL);
    return r;
  });
  EXPECT_EQ(out, "ok");
}

TEST(HostClock, AMoveEndsEveryKindOfWaitAtOnce) {
  std::string out = in_clock_host([](sim::ClockKeeper& k) {
    std::string r;
    auto advance = [&] { k.advance(kWaitSec * kSec); };

    // Ending on this machine's time would take kWaitSec; a move ends it within
    // the 100 ms to the next one.
    const int64_t kAtOnceMs = 3000;
    MovedWait m = move_until_done([] { return static_cast<int>(hl_sleep(kWaitSec)); }, advance);
    CHECK(m.result == 0 && m.took_ms < kAtOnceMs);
    CHECK(m.host_elapsed >= kWaitSec * kSec);

    m = move_until_done([] { return hl_usleep(kWaitSec * 1000000u); }, advance);
    CHECK(m.result == 0 && m.took_ms < kAtOnceMs);

    int p[2];
    CHECK(pipe(p) == 0);
    m = move_until_done(
        [&] {
          pollfd f{p[0], POLLIN, 0};
          return hl_poll(&f, 1, kWaitSec * 1000);
        },
        advance);
    CHECK(m.result == 0 && m.took_ms < kAtOnceMs);

    for (clockid_t clk : {CLOCK_MONOTONIC, CLOCK_REALTIME}) {
      pthread_mutex_t mu = PTHREAD_MUTEX_INITIALIZER;
      pthread_cond_t cv = PTHREAD_COND_INITIALIZER;  // made on the wall clock: the wait says which
      m = move_until_done(
          [&] {
            timespec until;
            hl_clock_gettime(clk, &until);
            until.tv_sec += kWaitSec;
            pthread_mutex_lock(&mu);
            int rc;
            do rc = hl_cond_timedwait(&cv, &mu, clk, &until);
            while (rc == 0);
            pthread_mutex_unlock(&mu);
            return rc;
          },
          advance);
      CHECK(m.result == ETIMEDOUT && m.took_ms < kAtOnceMs);
    }
    return r;
  });
  EXPECT_EQ(out, "ok");
}

TEST(HostClock, WaitsStillEndOnSignalsAndDataAndOnTime) {
  std::string out = in_clock_host([](sim::ClockKeeper& k) {
    std::string r;
    k.advance(kHour);

    // A condition signalled: 0, the mutex held.
    pthread_mutex_t mu = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cv = PTHREAD_COND_INITIALIZER;
    bool flag = false;
    std::thread sig([&] {
      pthread_mutex_lock(&mu);
      flag = true;
      pthread_cond_signal(&cv);
      pthread_mutex_unlock(&mu);
    });
    timespec until;
    hl_clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += kWaitSec;
    pthread_mutex_lock(&mu);
    int rc = 0;
    while (!flag && rc == 0) rc = hl_cond_timedwait(&cv, &mu, CLOCK_MONOTONIC, &until);
    CHECK(rc == 0 && flag);
    CHECK(pthread_mutex_trylock(&mu) == EBUSY);  // held by us
    pthread_mutex_unlock(&mu);
    sig.join();

    // Short waits end on time by this machine's pace; a deadline already
    // passed on the host's clock ends at once.
    int64_t t0 = real_ns(CLOCK_MONOTONIC);
    hl_clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_nsec += 50000000;
    if (until.tv_nsec >= kSec) until.tv_sec++, until.tv_nsec -= kSec;
    pthread_mutex_lock(&mu);
    do rc = hl_cond_timedwait(&cv, &mu, CLOCK_MONOTONIC, &until);
    while (rc == 0);
    pthread_mutex_unlock(&mu);
    int64_t took = real_ns(CLOCK_MONOTONIC) - t0;
    CHECK(rc == ETIMEDOUT && took >= 45000000 && took < 5 * kSec);
    timespec past = {1, 0};
    pthread_mutex_lock(&mu);
    CHECK(hl_cond_timedwait(&cv, &mu, CLOCK_MONOTONIC, &past) == ETIMEDOUT);
    timespec bad = {1, kSec};
    CHECK(hl_cond_timedwait(&cv, &mu, CLOCK_MONOTONIC, &bad) == EINVAL);
    CHECK(hl_cond_timedwait(&cv, &mu, CLOCK_PROCESS_CPUTIME_ID, &past) == EINVAL);
    pthread_mutex_unlock(&mu);

    t0 = real_ns(CLOCK_MONOTONIC);
    CHECK(hl_usleep(50000) == 0);
    took = real_ns(CLOCK_MONOTONIC) - t0;
    CHECK(took >= 45000000 && took < 5 * kSec);

    // Data on a descriptor ends a poll, with revents as poll gives them.
    int p[2];
    CHECK(pipe(p) == 0);
    std::thread w([&] { CHECK(write(p[1], "x", 1) == 1); });
    pollfd f[2] = {{p[1], 0, 0}, {p[0], POLLIN, 0}};
    CHECK(hl_poll(f, 2, kWaitSec * 1000) == 1 && f[1].revents == POLLIN && f[0].revents == 0);
    w.join();
    CHECK(hl_poll(f, 2, 0) == 1);
    return r;
  });
  EXPECT_EQ(out, "ok");
}

TEST(HostClock, WallClockSetBackHoldsAWallWaitUntilTheHostReachesIt) {
  std::string out = in_clock_host([](sim::ClockKeeper& k) {
    std::string r;
    pthread_mutex_t mu = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cv = PTHREAD_COND_INITIALIZER;
    timespec until;
    hl_clock_gettime(CLOCK_REALTIME, &until);
    int64_t deadline = ns_of(until) + 200000000;  // 0.2 s ahead on the host's wall clock
    until.tv_sec = deadline / kSec;
    until.tv_nsec = deadline % kSec;
    std::atomic<bool> done{false};
    int rc = -1;
    int64_t host_at_end = 0;
    std::thread t([&] {
      pthread_mutex_lock(&mu);
      do rc = hl_cond_timedwait(&cv, &mu, CLOCK_REALTIME, &until);
      while (rc == 0);
      host_at_end = host_ns(CLOCK_REALTIME);
      pthread_mutex_unlock(&mu);
      done = true;
    });
    // Back a day while it waits; this machine's deadline then passes.
    CHECK(k.set_wall(deadline - 86400 * kSec) == 0);
    int64_t real_deadline = real_ns(CLOCK_MONOTONIC) + 400000000;
    testsupport::eventually([&] { return done || real_ns(CLOCK_MONOTONIC) > real_deadline; },
                            std::chrono::seconds(5));
    // Forward past it: the wait ends, at a host time past its deadline.
    CHECK(k.set_wall(deadline + kSec) == 0);
    CHECK(testsupport::eventually([&] { return done.load(); }, std::chrono::seconds(5)));
    t.join();
    CHECK(rc == ETIMEDOUT && host_at_end >= deadline);
    return r;
  });
  EXPECT_EQ(out, "ok");
}

}  // namespace
