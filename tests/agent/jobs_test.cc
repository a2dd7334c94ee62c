// qorcd's job list and timer on a clock the test moves.
#include <gtest/gtest.h>
#include <stdio.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "eventually.h"
#include "fake_clock.h"
#include "log_capture.h"
#include "qor_jobs.h"

namespace {

using agenttest::FakeClock;
using testsupport::eventually;

constexpr int64_t kStart = 1000;        // monotonic seconds at each test's start
constexpr int64_t kWall = 1700000000;   // wall-clock seconds at the same moment

std::mutex fired_mu;
std::vector<std::string> fired;

// Callbacks: each records the job's key (or "heartbeat") and answers as its
// name says.
int record(job_status* job) {
  std::lock_guard<std::mutex> l(fired_mu);
  if (job == nullptr)
    fired.push_back("heartbeat");
  else
    fired.push_back(job->type == JOB_GROUP_CDP ? job->group_name : job->local_guid);
  return 0;
}
int refuse(job_status* job) {
  record(job);
  return -1;
}

std::vector<std::string> take_fired() {
  std::lock_guard<std::mutex> l(fired_mu);
  std::vector<std::string> out;
  out.swap(fired);
  return out;
}

job_status* make(int type, const char* key, int64_t next, uint32_t interval, uint32_t backoff = 0,
                 job_callback cb = record) {
  job_status* job = _alloc_job_status();
  job->type = type;
  job->callback = cb;
  job->next_time = next;
  job->interval = interval;
  job->backoff = backoff;
  if (type == JOB_DISK_CDP) snprintf(job->local_guid, sizeof(job->local_guid), "%s", key);
  if (type == JOB_GROUP_CDP) snprintf(job->group_name, sizeof(job->group_name), "%s", key);
  return job;
}

int64_t now() { return job_now(); }

class JobsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FakeClock::install(kStart, kWall);
    service_signals_init();
    jobs_free_all();
    // Wake-ups left by earlier tests are used up.
    timer_wake();
    timer_wait(0);
    scan_wake();
    scan_wait_until(0);
    take_fired();
    libtest::take_syslog();
  }
  void TearDown() override {
    jobs_free_all();
    FakeClock::uninstall();
  }
};

TEST_F(JobsTest, DueJobsFireOncePerPassInTheOrderAdded) {
  ASSERT_EQ(0, job_add(make(JOB_DISK_CDP, "late", kStart + 50, 600)));
  ASSERT_EQ(0, job_add(make(JOB_GROUP_CDP, "g1", 0, 300)));
  ASSERT_EQ(0, job_add(make(JOB_DISK_CDP, "d1", kStart, 60)));
  ASSERT_EQ(0, job_add(make(JOB_DISK_CDP, "d2", kStart - 5000, 60)));

  // "late" is not due; the wake time is the earliest next due time.
  EXPECT_EQ(kStart + 50, timer_pass());
  EXPECT_EQ((std::vector<std::string>{"g1", "d1", "d2"}), take_fired());
  // Fired jobs count from the firing: not due again in this second, however
  // far behind they were.
  EXPECT_EQ(kStart + 50, timer_pass());
  EXPECT_TRUE(take_fired().empty());

  FakeClock::advance(60);
  EXPECT_EQ(kStart + 120, timer_pass());
  EXPECT_EQ((std::vector<std::string>{"late", "d1", "d2"}), take_fired());
}

TEST_F(JobsTest, ALatePassShiftsTheSchedule) {
  ASSERT_EQ(0, job_add(make(JOB_DISK_CDP, "d", kStart + 100, 600)));
  FakeClock::advance(130);
  timer_pass();
  EXPECT_EQ(1u, take_fired().size());
  FakeClock::advance(599);
  timer_pass();
  EXPECT_TRUE(take_fired().empty());
  FakeClock::advance(1);
  timer_pass();
  EXPECT_EQ(1u, take_fired().size());
}

TEST_F(JobsTest, WithoutJobsTheTimerSleeps600Seconds) {
  EXPECT_EQ(kStart + 600, timer_pass());
  ASSERT_EQ(0, job_add(make(JOB_DISK_CDP, "d", kStart + 7200, 3600)));
  EXPECT_EQ(kStart + 600, timer_pass());
}

TEST_F(JobsTest, HeartbeatBackoffSeries) {
  // interval 5 plus half the backoff: 5, 6, 7, 9, 13, 21, 37, 69 seconds.
  const struct {
    uint32_t backoff;
    int64_t period;
  } cases[] = {{1, 5}, {2, 6}, {4, 7}, {8, 9}, {16, 13}, {32, 21}, {64, 37}, {128, 69}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.backoff);
    jobs_free_all();
    ASSERT_EQ(0, job_add(make(JOB_HEARTBEAT, nullptr, 0, 5, c.backoff)));
    EXPECT_EQ(now() + c.period, timer_pass());
    EXPECT_EQ((std::vector<std::string>{"heartbeat"}), take_fired());
  }
}

// A wait on a thread of its own; done tells when it returned.
struct Background {
  std::atomic<bool> done{false};
  std::thread t;
  explicit Background(std::function<void()> fn) : t([this, fn] {
    fn();
    done = true;
  }) {}
  ~Background() {
    // Never leave the thread blocked: move the clock past any wake time.
    if (!done) FakeClock::advance(100000);
    t.join();
  }
};

TEST_F(JobsTest, HeartbeatTickWakesTheClientScan) {
  ASSERT_EQ(0, job_add(make(JOB_HEARTBEAT, nullptr, 0, 5, 1)));
  timer_pass();
  // The scan was asked for: its wait returns without sleeping.
  const int waits = FakeClock::waits();
  Background scan([] { scan_wait_until(job_now() + 600); });
  EXPECT_TRUE(eventually([&] { return scan.done.load(); }));
  EXPECT_EQ(waits, FakeClock::waits());
}

TEST_F(JobsTest, AScanAskedForDuringAScanComesAfterIt) {
  // Asked while the scan thread was busy scanning, not yet waiting.
  scan_wake();
  Background scan([] { scan_wait_until(job_now() + 600); });
  EXPECT_TRUE(eventually([&] { return scan.done.load(); }));
}

TEST_F(JobsTest, DeletedJobsAreFreedAndNeverFire) {
  ASSERT_EQ(0, job_add(make(JOB_DISK_CDP, "d", 0, 60)));
  ASSERT_EQ(0, job_add(make(JOB_HEARTBEAT, nullptr, 0, 5, 1)));
  jobs_mark_deleted();
  // Gone for every search at once, before the timer frees them.
  EXPECT_EQ(0, find_cdp_job("d"));
  EXPECT_EQ(0, heartbeat_is_healthy());
  EXPECT_EQ(0, job_exists(JOB_HEARTBEAT, nullptr));

  // A host withdrawn and taken under management again before the next pass
  // gets its heartbeat back.
  job_status* fresh = make(JOB_HEARTBEAT, nullptr, 0, 5, 1);
  ASSERT_EQ(0, job_add_unique(fresh));

  EXPECT_EQ(now() + 5, timer_pass());
  EXPECT_EQ((std::vector<std::string>{"heartbeat"}), take_fired());
  EXPECT_EQ(1, heartbeat_is_healthy());
}

TEST_F(JobsTest, FailedCallbacksAndUnknownTypesAreLogged) {
  ASSERT_EQ(0, job_add(make(JOB_DISK_CDP, "d", 0, 60, 0, refuse)));
  ASSERT_EQ(0, job_add(make(3, "x", 0, 60)));
  timer_pass();
  EXPECT_EQ((std::vector<std::string>{"d"}), take_fired());
  int failures = 0;
  for (const auto& line : libtest::take_syslog()) {
    if (line.text.find("Failed to process job") != std::string::npos) failures++;
  }
  EXPECT_EQ(2, failures);
}

TEST_F(JobsTest, FiringIsLogged) {
  ASSERT_EQ(0, job_add(make(JOB_GROUP_CDP, "nightly", 0, 60)));
  job_status* disk = make(JOB_DISK_CDP, "LOCAL", 0, 60);
  snprintf(disk->mirror_guid, sizeof(disk->mirror_guid), "MIRROR");
  ASSERT_EQ(0, job_add(disk));
  ASSERT_EQ(0, job_add(make(3, "x", 0, 60)));
  timer_pass();
  EXPECT_TRUE(libtest::syslog_contains("Background task: CDP task for group nightly fired!"));
  EXPECT_TRUE(libtest::syslog_contains("Background task: CDP task for disk LOCAL - MIRROR fired!"));
  EXPECT_TRUE(libtest::syslog_contains("Unkown job type: 3"));
}

TEST_F(JobsTest, RefusedJobs) {
  EXPECT_EQ(-1, job_add(nullptr));
  job_status* zero = make(JOB_DISK_CDP, "d", 0, 0);
  EXPECT_EQ(-1, job_add(zero));
  EXPECT_EQ(-1, job_replace(zero));
  EXPECT_EQ(-1, job_add_unique(zero));
  EXPECT_TRUE(libtest::syslog_contains("interval is 0"));
  EXPECT_EQ(0, find_cdp_job("d"));
  job_free(zero);
  // Nothing in the list keeps the timer from sleeping.
  EXPECT_EQ(kStart + 600, timer_pass());
}

TEST_F(JobsTest, OneJobPerSchedule) {
  EXPECT_EQ(0, job_replace(make(JOB_DISK_CDP, "d", 0, 60)));
  EXPECT_EQ(1, job_replace(make(JOB_DISK_CDP, "d", 0, 120)));
  EXPECT_EQ(0, job_replace(make(JOB_DISK_CDP, "e", 0, 60)));
  EXPECT_EQ(0, job_replace(make(JOB_GROUP_CDP, "d", 0, 60)));  // a group of that name is another key
  timer_pass();
  EXPECT_EQ((std::vector<std::string>{"d", "e", "d"}), take_fired());
  // The replacement, not the first job, is the one in the list.
  EXPECT_EQ(kStart + 60, timer_pass());
  int64_t interval = 0;
  job_update(JOB_DISK_CDP, "d", [&](job_status* j) { interval = j->interval; });
  EXPECT_EQ(120, interval);

  EXPECT_EQ(1, job_remove_key(JOB_DISK_CDP, "d"));
  EXPECT_EQ(0, job_remove_key(JOB_DISK_CDP, "d"));
  EXPECT_EQ(0, find_cdp_job("d"));
  EXPECT_EQ(1, find_cdp_job("e"));
  EXPECT_EQ(1, find_grp_job("d"));
  EXPECT_EQ(0, find_cdp_job(nullptr));
  EXPECT_EQ(0, find_grp_job(nullptr));
}

TEST_F(JobsTest, OneHeartbeat) {
  job_status* first = make(JOB_HEARTBEAT, nullptr, 0, 5, 1);
  job_status* second = make(JOB_HEARTBEAT, nullptr, 0, 5, 1);
  EXPECT_EQ(0, job_add_unique(first));
  EXPECT_EQ(1, job_add_unique(second));
  job_free(second);
  EXPECT_EQ(1, heartbeat_is_healthy());
  EXPECT_EQ(1, job_update(JOB_HEARTBEAT, nullptr, [](job_status* j) { j->backoff = 2; }));
  EXPECT_EQ(0, heartbeat_is_healthy());
  EXPECT_EQ(0, job_update(JOB_DISK_CDP, "none", [](job_status*) { FAIL(); }));
}

TEST_F(JobsTest, StartTimesConvertOnceToTheMonotonicClock) {
  const struct {
    int64_t from_now;  // start time minus wall-clock now
  } cases[] = {{3600}, {0}, {-90}, {-kWall}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.from_now);
    EXPECT_EQ(kStart + c.from_now, job_due_from_wall(static_cast<uint64_t>(kWall + c.from_now)));
  }

  // A schedule an hour away with interval 600 fires at 3600 and then every
  // 600 seconds, also with the wall clock set back meanwhile.
  ASSERT_EQ(0, job_add(make(JOB_DISK_CDP, "d", job_due_from_wall(kWall + 3600), 600)));
  FakeClock::set_wall(kWall - 86400);
  FakeClock::advance(3599);
  timer_pass();
  EXPECT_TRUE(take_fired().empty());
  FakeClock::advance(1);
  EXPECT_EQ(now() + 600, timer_pass());
  EXPECT_EQ(1u, take_fired().size());
  FakeClock::advance(600);
  timer_pass();
  EXPECT_EQ(1u, take_fired().size());
}

struct Waiter : Background {
  explicit Waiter(int64_t wake) : Background([wake] { timer_wait(wake); }) {}
};

TEST_F(JobsTest, TheTimerWaitsUntilItsWakeTime) {
  const int waits = FakeClock::waits();
  Waiter w(kStart + 600);
  ASSERT_TRUE(eventually([&] { return FakeClock::waits() > waits; }));
  EXPECT_EQ(kStart + 600, FakeClock::last_deadline());
  EXPECT_EQ(1, timer_is_running());
  FakeClock::advance(599);
  // The move was seen (a second wait began) without ending the wait.
  ASSERT_TRUE(eventually([&] { return FakeClock::waits() > waits + 1; }));
  EXPECT_FALSE(w.done);
  FakeClock::advance(1);
  EXPECT_TRUE(eventually([&] { return w.done.load(); }));
}

TEST_F(JobsTest, AJobAddedWhileTheTimerWaitsShortensTheWait) {
  const int waits = FakeClock::waits();
  Waiter w(kStart + 600);
  ASSERT_TRUE(eventually([&] { return FakeClock::waits() > waits; }));
  ASSERT_EQ(0, job_add(make(JOB_DISK_CDP, "d", kStart + 10, 60)));
  EXPECT_TRUE(eventually([&] { return w.done.load(); }));
  EXPECT_EQ(kStart + 10, timer_pass());
}

TEST_F(JobsTest, AWakeUpBetweenThePassAndTheWaitIsNotLost) {
  // The timer has walked the list; a job comes before it waits.
  EXPECT_EQ(kStart + 600, timer_pass());
  ASSERT_EQ(0, job_add(make(JOB_DISK_CDP, "d", kStart + 10, 60)));
  const int waits = FakeClock::waits();
  Waiter w(kStart + 600);
  EXPECT_TRUE(eventually([&] { return w.done.load(); }));
  EXPECT_EQ(waits, FakeClock::waits());
}

TEST_F(JobsTest, StartThreadGivesOneMebibyteStacks) {
  static std::atomic<size_t> stack{0};
  static std::atomic<int> detach_result{-1};
  pthread_t tid;
  ASSERT_EQ(0, start_thread(
                   &tid,
                   [](void*) -> void* {
                     pthread_attr_t attr;
                     pthread_getattr_np(pthread_self(), &attr);
                     size_t size = 0;
                     pthread_attr_getstacksize(&attr, &size);
                     int state = -1;
                     pthread_attr_getdetachstate(&attr, &state);
                     pthread_attr_destroy(&attr);
                     detach_result = state;
                     stack = size;
                     return nullptr;
                   },
                   nullptr));
  ASSERT_TRUE(eventually([] { return stack.load() != 0; }));
  EXPECT_EQ(1048576u, stack.load());
  EXPECT_EQ(PTHREAD_CREATE_DETACHED, detach_result.load());
}

}  // namespace
