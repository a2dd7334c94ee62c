// Sleeping and waking: mempools that wait, kthread_stop, the wait_event
// family's results, signals of kernel threads, completions.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "eventually.h"
#include "internal.h"
#include "sim_env.h"

#include <linux/completion.h>
#include <linux/delay.h>
#include <linux/kthread.h>
#include <linux/mempool.h>
#include <linux/sched.h>
#include <linux/slab.h>
#include <linux/wait.h>
#include <linux/bitops.h>

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using testsupport::eventually;

// The task is blocked in a sleep (not merely about to sleep).
bool asleep(struct task_struct *t) { return t->sim->asleep.load(); }

// Sleeps until kthread_stop, as a kernel thread with nothing left to do.
void sleep_until_stopped() {
  for (;;) {
    set_current_state(TASK_UNINTERRUPTIBLE);
    if (kthread_should_stop()) break;
    schedule();
  }
  __set_current_state(TASK_RUNNING);
}

bool has_waiter(wait_queue_head_t *q) {
  unsigned long flags;
  spin_lock_irqsave(&q->lock, flags);
  bool w = waitqueue_active(q);
  spin_unlock_irqrestore(&q->lock, flags);
  return w;
}

// Pool elements come only from the reserve: the allocation function gives
// its first `budget` elements and then fails, as memory under pressure does.
std::atomic<int> budget;
void *tight_alloc(gfp_t gfp, void *data) {
  (void)gfp;
  (void)data;
  if (budget.fetch_sub(1) <= 0) return NULL;
  return kmalloc(64, GFP_ATOMIC);
}
void tight_free(void *e, void *data) {
  (void)data;
  kfree(e);
}

TEST(MempoolTest, WaitingAllocationReturnsOnceAnElementIsFreed) {
  budget = 2;
  mempool_t *pool = mempool_create(2, tight_alloc, tight_free, NULL);
  ASSERT_NE(pool, nullptr);
  void *a = mempool_alloc(pool, GFP_NOIO);
  void *b = mempool_alloc(pool, GFP_NOIO);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(mempool_alloc(pool, GFP_ATOMIC), nullptr) << "no wait without a waiting flag";

  std::atomic<void *> got{nullptr};
  std::thread waiter([&] { got = mempool_alloc(pool, GFP_NOIO); });
  // It found the pool empty and waits on it.
  EXPECT_TRUE(eventually([&] { return has_waiter(&pool->wait); }, seconds(5), milliseconds(1)));
  EXPECT_EQ(got.load(), nullptr) << "returned before anything was freed";
  mempool_free(a, pool);
  waiter.join();
  EXPECT_EQ(got.load(), a);

  mempool_free(b, pool);
  mempool_free(got.load(), pool);
  mempool_destroy(pool);
}

TEST(MempoolTest, FreeRefillsTheReserveFirst) {
  budget = 1000;
  mempool_t *pool = mempool_create_kmalloc_pool(1, 32);
  void *x = mempool_alloc(pool, GFP_KERNEL);   // from the allocator, the reserve stays full
  EXPECT_EQ(pool->curr_nr, 1);
  mempool_free(x, pool);                       // the reserve is full: really freed
  EXPECT_EQ(pool->curr_nr, 1);
  mempool_destroy(pool);
}

int sleeper(void *data) {
  auto *ran = static_cast<std::atomic<int> *>(data);
  ran->store(1);
  while (!kthread_should_stop()) {
    set_current_state(TASK_INTERRUPTIBLE);
    if (kthread_should_stop()) break;
    schedule();
  }
  __set_current_state(TASK_RUNNING);
  return 42;
}

int timed_sleeper(void *data) {
  auto *ran = static_cast<std::atomic<int> *>(data);
  ran->store(1);
  while (!kthread_should_stop())
    schedule_timeout_uninterruptible(MAX_SCHEDULE_TIMEOUT);
  return 7;
}

int long_sleeper(void *data) {
  auto *ran = static_cast<std::atomic<int> *>(data);
  ran->store(1);
  while (!kthread_should_stop())
    schedule_timeout_uninterruptible(MAX_JIFFY_OFFSET);
  return 9;
}

TEST(KthreadTest, StopEndsASleepingThreadAndGivesItsResult) {
  struct Case {
    int (*fn)(void *);
    int result;
  } cases[] = {{sleeper, 42}, {timed_sleeper, 7}, {long_sleeper, 9}};
  for (const Case &c : cases) {
    std::atomic<int> ran{0};
    struct task_struct *t = kthread_run(c.fn, &ran, "sleeper/%d", c.result);
    ASSERT_FALSE(IS_ERR(t));
    EXPECT_EQ(std::string(t->comm), "sleeper/" + std::to_string(c.result));
    EXPECT_TRUE(t->flags & PF_KTHREAD);
    EXPECT_TRUE(eventually([&] { return ran.load() && asleep(t); }, seconds(5), milliseconds(1)));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(kthread_stop(t), c.result);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  }
}

TEST(KthreadTest, StopBeforeItRanGivesEintrAndNeverRunsIt) {
  std::atomic<int> ran{0};
  struct task_struct *t = kthread_create(sleeper, &ran, "never");
  ASSERT_FALSE(IS_ERR(t));
  // Blocked in its first sleep, where nothing but a wake-up moves it on.
  EXPECT_TRUE(eventually([&] { return asleep(t); }, seconds(5), milliseconds(1)));
  EXPECT_EQ(kthread_stop(t), -EINTR);
  EXPECT_EQ(ran.load(), 0);
}

// The waits run in a kernel thread, where signals are what allow_signal lets in.
struct WaitCase {
  const char *what;
  long timeout;
  int set_after_ms;   // -1: never
  bool signal;
  long min_ret, max_ret;
};

struct WaitRun {
  const WaitCase *c;
  bool polls;  // the wait is ended while the thread polls for its wake-up
  wait_queue_head_t wq;
  std::atomic<int> cond{0};
  std::atomic<long> ret{0};
  std::atomic<int> started{0};
};

int wait_body(void *data) {
  auto *r = static_cast<WaitRun *>(data);
  allow_signal(SIGHUP);
  // A window longer than any case: whatever ends the wait ends the poll.
  if (r->polls) current->sim->poll_window = std::chrono::seconds(10);
  r->started = 1;
  r->ret = wait_event_interruptible_timeout(r->wq, r->cond.load() != 0, r->c->timeout);
  current->sim->poll_window = std::chrono::nanoseconds(0);
  sleep_until_stopped();
  return 0;
}

TEST(WaitTest, InterruptibleTimeoutGivesTicksLeftZeroOrRestart) {
  const WaitCase cases[] = {
      {"condition", 2000, 50, false, 1500, 1960},
      {"already true", 2000, 0, false, 2000, 2000},
      {"time-out", 60, -1, false, 0, 0},
      {"signal", 2000, -1, true, -ERESTARTSYS, -ERESTARTSYS},
  };
  for (bool polls : {false, true}) {
    for (const WaitCase &c : cases) {
      WaitRun r;
      r.c = &c;
      r.polls = polls;
      init_waitqueue_head(&r.wq);
      if (c.set_after_ms == 0) r.cond = 1;
      struct task_struct *t = kthread_run(wait_body, &r, "waiter");
      EXPECT_TRUE(eventually([&] { return r.started.load() != 0; }, seconds(5), milliseconds(1)));
      if (c.set_after_ms > 0) {
        msleep(c.set_after_ms);  // the condition comes this late: the ticks left say so
        r.cond = 1;
        wake_up_interruptible(&r.wq);
      } else if (c.signal) {
        // The signal comes while the thread sleeps in the wait, or polls in it.
        if (!polls) {
          EXPECT_TRUE(eventually([&] { return asleep(t); }, seconds(5), milliseconds(1)));
        }
        send_sig(SIGHUP, t, 0);
      }
      kthread_stop(t);
      EXPECT_GE(r.ret.load(), c.min_ret) << c.what << (polls ? ", polling" : "");
      EXPECT_LE(r.ret.load(), c.max_ret) << c.what << (polls ? ", polling" : "");
    }
  }
}

// A task polls for its wake-up only while its sleeps end soon: one that
// sleeps long must stop polling, or every idle thread would hold a CPU.
TEST(WaitTest, PollWindowGrowsWhileSleepsEndSoonAndClosesWhenTheyDoNot) {
  using std::chrono::microseconds;
  const struct {
    long window_us, slept_us, next_us;
  } cases[] = {
      {0, 5, 10},       // a short sleep opens the window
      {10, 15, 20},     // woken just after it: twice as long
      {160, 170, 200},  // never past the longest
      {200, 170, 200},
      {20, 15, 20},     // woken while it polled: kept
      {200, 1000, 100}, // a long sleep halves it
      {20, 1000, 10},
      {15, 1000, 0},    // and closes it below the first step
      {0, 100000, 0},   // an idle thread never polls
  };
  for (const auto &c : cases)
    EXPECT_EQ(simlinux::poll_window_next(microseconds(c.window_us), microseconds(c.slept_us)),
              microseconds(c.next_us))
        << c.window_us << " µs window, slept " << c.slept_us << " µs";
}

struct SigRun {
  std::atomic<int> phase{0};
  std::atomic<int> pending_before{-1}, pending_after{-1}, flushed{-1};
};

int signal_body(void *data) {
  auto *r = static_cast<SigRun *>(data);
  r->phase = 1;
  eventually([r] { return r->phase != 1; });
  r->pending_before = signal_pending(current);   // SIGHUP sent while not allowed
  allow_signal(SIGHUP);
  r->phase = 3;
  eventually([r] { return r->phase != 3; });
  r->pending_after = signal_pending(current);
  flush_signals(current);
  r->flushed = signal_pending(current);
  sleep_until_stopped();
  return 0;
}

TEST(SignalTest, KernelThreadsIgnoreWhatTheyDidNotAllow) {
  SigRun r;
  struct task_struct *t = kthread_run(signal_body, &r, "sig");
  EXPECT_TRUE(eventually([&] { return r.phase == 1; }, seconds(5), milliseconds(1)));
  send_sig(SIGHUP, t, 0);
  r.phase = 2;
  EXPECT_TRUE(eventually([&] { return r.phase == 3; }, seconds(5), milliseconds(1)));
  send_sig(SIGHUP, t, 0);
  r.phase = 4;
  kthread_stop(t);
  EXPECT_EQ(r.pending_before.load(), 0);
  EXPECT_EQ(r.pending_after.load(), 1);
  EXPECT_EQ(r.flushed.load(), 0);
}

struct SleepRun {
  std::atomic<int> started{0};
  std::atomic<long> left{-1};
};

int interruptible_sleep(void *data) {
  auto *r = static_cast<SleepRun *>(data);
  allow_signal(SIGHUP);
  r->started = 1;
  r->left.store((long)msleep_interruptible(5000));
  sleep_until_stopped();
  return 0;
}

TEST(SignalTest, MsleepInterruptibleEndsEarlyOnASignal) {
  SleepRun r;
  struct task_struct *t = kthread_run(interruptible_sleep, &r, "msleep");
  // The signal comes while the thread sleeps in msleep_interruptible.
  EXPECT_TRUE(eventually([&] { return r.started.load() && asleep(t); }, seconds(5), milliseconds(1)));
  send_sig(SIGHUP, t, 0);
  kthread_stop(t);
  EXPECT_GT(r.left.load(), 4000);
}

TEST(CompletionTest, TimeoutAndCompleteAll) {
  struct completion c;
  init_completion(&c);
  EXPECT_EQ(wait_for_completion_timeout(&c, 30), 0u);
  complete(&c);
  EXPECT_GT(wait_for_completion_timeout(&c, 30), 0u);
  EXPECT_FALSE(try_wait_for_completion(&c)) << "one complete, one waiter";
  complete_all(&c);
  wait_for_completion(&c);
  wait_for_completion(&c);   // complete_all lets every later wait through
}

TEST(TimeTest, JiffiesAdvanceAtHz1000) {
  unsigned long a = jiffies;
  msleep(100);
  unsigned long b = jiffies;
  EXPECT_TRUE(time_after(b, a));
  EXPECT_GE(b - a, 100u);
  EXPECT_LT(b - a, 1000u);
  EXPECT_EQ(msecs_to_jiffies(250), 250u);
  EXPECT_TRUE(time_before(a, a + 1));
  EXPECT_TRUE(time_after_eq(a, a));
}

TEST(TimeTest, ScheduleTimeoutWhileRunningReturnsAtOnce) {
  // Without a sleeping state the call only yields (the kernel's behaviour).
  auto start = std::chrono::steady_clock::now();
  long left = schedule_timeout(1000);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  EXPECT_GT(left, 900);
}

}  // namespace

namespace {

TEST(BitopsTest, SearchesAndAtomicForms) {
  unsigned long map[3] = {0, 0, 0};
  EXPECT_EQ(find_first_bit(map, 150), 150u);
  EXPECT_EQ(find_first_zero_bit(map, 150), 0u);
  set_bit(70, map);
  __set_bit(149, map);
  EXPECT_TRUE(test_bit(70, map));
  EXPECT_EQ(find_first_bit(map, 150), 70u);
  EXPECT_EQ(find_next_bit(map, 150, 71), 149u);
  EXPECT_EQ(find_next_bit(map, 149, 71), 149u) << "nothing below the size";
  EXPECT_TRUE(test_and_clear_bit(70, map));
  EXPECT_FALSE(test_and_clear_bit(70, map));
  EXPECT_FALSE(test_and_set_bit(3, map));
  EXPECT_TRUE(__test_and_clear_bit(3, map));
  map[0] = ~0UL;
  EXPECT_EQ(find_first_zero_bit(map, 150), 64u);
  EXPECT_EQ(__ffs(0x80UL), 7u);
  EXPECT_EQ(fls(0x80), 8);
}

}  // namespace
