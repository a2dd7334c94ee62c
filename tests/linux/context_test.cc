// Contexts: completions run on the I/O threads in interrupt context, and a
// sleeping call there (or under a spinlock) is caught as a bug.
#include <gtest/gtest.h>

#include <atomic>

#include "sim_env.h"

#include <linux/bio.h>
#include <linux/blkdev.h>
#include <linux/completion.h>
#include <linux/delay.h>
#include <linux/fs.h>
#include <linux/mempool.h>
#include <linux/mutex.h>
#include <linux/sched.h>
#include <linux/slab.h>
#include <linux/spinlock.h>

namespace {

struct EndInfo {
  struct completion done;
  std::atomic<int> in_irq{-1};
  std::atomic<pid_t> pid{0};
  void (*sleep)() = nullptr;
};

void end_io(struct bio *bio, int err) {
  (void)err;
  auto *info = static_cast<EndInfo *>(bio->bi_private);
  info->in_irq = in_interrupt() ? 1 : 0;
  info->pid = current->pid;
  if (info->sleep) info->sleep();
  complete(&info->done);
}

// Sends one 4 KiB read to the disk and waits for its completion.
void read_one(const char *dev, EndInfo *info) {
  struct file *f = filp_open(dev, O_RDONLY, 0);
  ASSERT_FALSE(IS_ERR(f));
  struct page *page = alloc_page(GFP_KERNEL);
  struct bio *bio = bio_alloc(GFP_NOIO, 1);
  bio->bi_bdev = f->f_dentry->d_inode->i_bdev;
  bio->bi_sector = 0;
  bio->bi_end_io = end_io;
  bio->bi_private = info;
  bio_add_page(bio, page, PAGE_SIZE, 0);
  init_completion(&info->done);
  submit_bio(READ, bio);
  wait_for_completion(&info->done);
  bio_put(bio);
  __free_page(page);
  filp_close(f, NULL);
}

TEST(ContextTest, CompletionRunsInInterruptContextOnAnotherThread) {
  simtest::Disk disk("sdi", 1 << 20);
  ASSERT_EQ(disk.add_result(), 0);
  EndInfo info;
  read_one("/dev/sdi", &info);
  EXPECT_EQ(info.in_irq.load(), 1);
  EXPECT_NE(info.pid.load(), current->pid);
  EXPECT_FALSE(in_interrupt());
}

DEFINE_MUTEX(test_mutex);
struct completion never;
DECLARE_WAIT_QUEUE_HEAD(test_wq);

void do_msleep() { msleep(1); }
void do_mutex() { mutex_lock(&test_mutex); mutex_unlock(&test_mutex); }
void do_kmalloc() { kfree(kmalloc(16, GFP_KERNEL)); }
void do_wait_event() { wait_event(test_wq, 1); }
void do_wait_completion() { wait_for_completion_timeout(&never, 1); }
void do_schedule() { schedule_timeout_uninterruptible(1); }
void do_mempool() {
  mempool_t *pool = mempool_create_kmalloc_pool(1, 8);
  mempool_alloc(pool, GFP_NOIO);
}

TEST(ContextDeathTest, SleepingInCompletionContextIsABug) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct Case {
    const char *what;
    void (*sleep)();
  } cases[] = {{"msleep", do_msleep},       {"mutex_lock", do_mutex},
               {"kmalloc", do_kmalloc},     {"wait_event", do_wait_event},
               {"wait_for_completion", do_wait_completion},
               {"schedule", do_schedule},   {"mempool_alloc", do_mempool}};
  for (const Case &c : cases) {
    EXPECT_DEATH(
        {
          simtest::Disk disk("sdj", 1 << 20);
          EndInfo info;
          info.sleep = c.sleep;
          read_one("/dev/sdj", &info);
        },
        "BUG: (sleeping function called from invalid context|scheduling while atomic)")
        << c.what;
  }
}

TEST(ContextDeathTest, SleepingUnderASpinlockIsABug) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        DEFINE_SPINLOCK(lock);
        unsigned long flags;
        spin_lock_irqsave(&lock, flags);
        msleep(1);
        spin_unlock_irqrestore(&lock, flags);
      },
      "BUG: (sleeping function called from invalid context|scheduling while atomic)");
}

TEST(ContextTest, AtomicAllocationInCompletionContextIsAllowed) {
  simtest::Disk disk("sdk", 1 << 20);
  EndInfo info;
  info.sleep = [] { kfree(kmalloc(16, GFP_ATOMIC)); };
  read_one("/dev/sdk", &info);
  EXPECT_EQ(info.in_irq.load(), 1);
}

}  // namespace
