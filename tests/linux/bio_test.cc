// Bios and submission: cloning, completion rules, queue limits, the
// replaceable make_request_fn, partition remapping and the flattened
// recursion of generic_make_request.
#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <condition_variable>
#include <deque>
#include <initializer_list>
#include <mutex>
#include <thread>
#include <vector>

#include "eventually.h"
#include "internal.h"
#include "sim_env.h"

#include <linux/bio.h>
#include <linux/blkdev.h>
#include <linux/completion.h>
#include <linux/fs.h>
#include <linux/hardirq.h>
#include <linux/slab.h>

namespace {

// A block device of the test's own, with a queue whose function the test
// chooses.  bd_contains is itself unless a whole disk is given.
struct FakeDev {
  struct gendisk disk;
  struct block_device bdev;
  struct inode inode;
  struct hd_struct part;
  struct request_queue *q;

  FakeDev(make_request_fn *fn, sector_t sectors, FakeDev *whole = nullptr, sector_t start = 0) {
    memset(&disk, 0, sizeof(disk));
    memset(&bdev, 0, sizeof(bdev));
    memset(&inode, 0, sizeof(inode));
    memset(&part, 0, sizeof(part));
    q = whole ? whole->q : blk_alloc_queue(GFP_KERNEL);
    if (!whole) blk_queue_make_request(q, fn);
    disk.queue = q;
    disk.part0.nr_sects = sectors;
    snprintf(disk.disk_name, sizeof(disk.disk_name), "fake");
    inode.i_size = (loff_t)sectors << 9;
    inode.i_bdev = &bdev;
    bdev.bd_inode = &inode;
    bdev.bd_disk = whole ? &whole->disk : &disk;
    if (whole) {
      part.start_sect = start;
      part.nr_sects = sectors;
      part.partno = 1;
      bdev.bd_part = &part;
      bdev.bd_contains = &whole->bdev;
    } else {
      bdev.bd_part = &disk.part0;
      bdev.bd_contains = &bdev;
    }
  }
  ~FakeDev() {
    if (bdev.bd_contains == &bdev) blk_cleanup_queue(q);
  }
};

struct Seen {
  struct request_queue *q;
  struct bio *bio;
  sector_t sector;
  struct block_device *bdev;
  const char *who;
};
std::vector<Seen> seen;

int record_a(struct request_queue *q, struct bio *bio) {
  seen.push_back({q, bio, bio->bi_sector, bio->bi_bdev, "a"});
  return 0;
}

int record_b(struct request_queue *q, struct bio *bio) {
  seen.push_back({q, bio, bio->bi_sector, bio->bi_bdev, "b"});
  return 0;
}

struct bio *data_bio(struct block_device *bdev, sector_t sector, int pages,
                     std::vector<struct page *> *owned) {
  struct bio *bio = bio_alloc(GFP_NOIO, pages);
  bio->bi_bdev = bdev;
  bio->bi_sector = sector;
  for (int i = 0; i < pages; i++) {
    struct page *p = alloc_page(GFP_KERNEL);
    owned->push_back(p);
    EXPECT_EQ(bio_add_page(bio, p, PAGE_SIZE, 0), (int)PAGE_SIZE);
  }
  return bio;
}

void free_pages_of(std::vector<struct page *> &pages) {
  for (struct page *p : pages) __free_page(p);
  pages.clear();
}

class BioTest : public ::testing::Test {
 protected:
  void SetUp() override { seen.clear(); }
  std::vector<struct page *> pages_;
  void TearDown() override { free_pages_of(pages_); }
};

TEST_F(BioTest, CloneSharesPagesNotVectorOrCompletion) {
  FakeDev dev(record_a, 1 << 20);
  struct bio *orig = data_bio(&dev.bdev, 100, 2, &pages_);
  orig->bi_rw = WRITE;
  orig->bi_private = &dev;

  struct bio *clone = bio_clone(orig, GFP_NOIO);
  ASSERT_NE(clone, nullptr);
  EXPECT_TRUE(bio_flagged(clone, BIO_CLONED));
  EXPECT_EQ(clone->bi_vcnt, 2);
  EXPECT_EQ(clone->bi_size, 2 * PAGE_SIZE);
  EXPECT_EQ(clone->bi_sector, 100u);
  EXPECT_EQ(clone->bi_rw, (unsigned long)WRITE);
  EXPECT_EQ(clone->bi_bdev, &dev.bdev);
  EXPECT_EQ(clone->bi_end_io, nullptr);
  EXPECT_EQ(clone->bi_private, nullptr);
  for (int i = 0; i < 2; i++) EXPECT_EQ(clone->bi_io_vec[i].bv_page, orig->bi_io_vec[i].bv_page);

  // The data is shared, the vector is not.
  memset(page_address(clone->bi_io_vec[0].bv_page), 0x5a, 8);
  EXPECT_EQ(((unsigned char *)page_address(orig->bi_io_vec[0].bv_page))[0], 0x5a);
  clone->bi_io_vec[0].bv_offset = 512;
  EXPECT_EQ(orig->bi_io_vec[0].bv_offset, 0u);

  // A clone never grows.
  struct page *extra = alloc_page(GFP_KERNEL);
  pages_.push_back(extra);
  EXPECT_EQ(bio_add_page(clone, extra, 512, 0), 0);

  bio_put(clone);   // the pages stay: they belong to the original's owner
  EXPECT_EQ(page_count(orig->bi_io_vec[0].bv_page), 1);
  bio_put(orig);
}

struct EndioCase {
  bool uptodate_before;
  int error;
  int error_seen;
  bool uptodate_after;
};

int endio_error;
void endio_record(struct bio *bio, int error) {
  (void)bio;
  endio_error = error;
}

TEST_F(BioTest, EndioErrorRules) {
  const EndioCase cases[] = {
      {true, 0, 0, true},
      {true, -EIO, -EIO, false},
      {true, -ENOSPC, -ENOSPC, false},
      {false, 0, -EIO, false},       // not uptodate without an error is an I/O error
      {false, -ENXIO, -ENXIO, false},
  };
  for (const EndioCase &c : cases) {
    struct bio *bio = bio_alloc(GFP_NOIO, 1);
    EXPECT_TRUE(test_bit(BIO_UPTODATE, &bio->bi_flags)) << "a new bio is uptodate";
    if (!c.uptodate_before) clear_bit(BIO_UPTODATE, &bio->bi_flags);
    bio->bi_end_io = endio_record;
    endio_error = 12345;
    bio_endio(bio, c.error);
    EXPECT_EQ(endio_error, c.error_seen) << c.uptodate_before << " " << c.error;
    EXPECT_EQ(!!test_bit(BIO_UPTODATE, &bio->bi_flags), c.uptodate_after);
    bio_put(bio);
  }
}

TEST_F(BioTest, GetAndPutCountReferences) {
  struct bio *bio = bio_alloc(GFP_NOIO, 0);
  bio_get(bio);
  EXPECT_EQ(atomic_read(&bio->bi_cnt), 2);
  bio_put(bio);
  EXPECT_EQ(atomic_read(&bio->bi_cnt), 1);
  bio_put(bio);   // freed: ASan sees a use after this
}

TEST_F(BioTest, AddPageStopsAtQueueLimits) {
  FakeDev dev(record_a, 1 << 20);
  struct page *p[4];
  for (auto &x : p) pages_.push_back(x = alloc_page(GFP_KERNEL));

  // max_sectors: 16 sectors fit two pages.
  blk_queue_max_sectors(dev.q, 16);
  struct bio *bio = bio_alloc(GFP_NOIO, 4);
  bio->bi_bdev = &dev.bdev;
  EXPECT_EQ(bio_add_page(bio, p[0], PAGE_SIZE, 0), (int)PAGE_SIZE);
  EXPECT_EQ(bio_add_page(bio, p[1], PAGE_SIZE, 0), (int)PAGE_SIZE);
  EXPECT_EQ(bio_add_page(bio, p[2], PAGE_SIZE, 0), 0);
  EXPECT_EQ(bio->bi_size, 2 * PAGE_SIZE);
  bio_put(bio);

  // Segments: two allowed; a piece continuing the last one merges into it.
  blk_queue_max_sectors(dev.q, 1024);
  blk_queue_max_phys_segments(dev.q, 2);
  bio = bio_alloc(GFP_NOIO, 4);
  bio->bi_bdev = &dev.bdev;
  EXPECT_EQ(bio_add_page(bio, p[0], 1024, 0), 1024);
  EXPECT_EQ(bio_add_page(bio, p[0], 1024, 1024), 1024);
  EXPECT_EQ(bio->bi_vcnt, 1);
  EXPECT_EQ(bio_add_page(bio, p[1], 512, 0), 512);
  EXPECT_EQ(bio_add_page(bio, p[2], 512, 0), 0);
  EXPECT_EQ(bio->bi_vcnt, 2);
  bio_put(bio);

  // The bio's own vector.
  blk_queue_max_phys_segments(dev.q, 128);
  bio = bio_alloc(GFP_NOIO, 1);
  bio->bi_bdev = &dev.bdev;
  EXPECT_EQ(bio_add_page(bio, p[0], 512, 0), 512);
  EXPECT_EQ(bio_add_page(bio, p[1], 512, 0), 0);
  bio_put(bio);
}

TEST_F(BioTest, SwappedMakeRequestSeesTheNextBio) {
  FakeDev dev(record_a, 1 << 20);
  struct bio *b1 = data_bio(&dev.bdev, 8, 1, &pages_);
  generic_make_request(b1);
  dev.q->make_request_fn = record_b;
  struct bio *b2 = data_bio(&dev.bdev, 16, 1, &pages_);
  submit_bio(WRITE, b2);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_STREQ(seen[0].who, "a");
  EXPECT_EQ(seen[0].bio, b1);
  EXPECT_STREQ(seen[1].who, "b");
  EXPECT_EQ(seen[1].bio, b2);
  EXPECT_EQ(b2->bi_rw & WRITE, (unsigned long)WRITE);
  bio_put(b1);
  bio_put(b2);
}

TEST_F(BioTest, PartitionRemapsOntoTheWholeDisk) {
  FakeDev whole(record_a, 1 << 20);
  FakeDev part(nullptr, 4096, &whole, 2048);
  struct bio *bio = data_bio(&part.bdev, 10, 1, &pages_);
  generic_make_request(bio);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].sector, 2058u);
  EXPECT_EQ(seen[0].bdev, &whole.bdev);
  bio_put(bio);
}

TEST_F(BioTest, BeyondTheDeviceEndIsAnErrorBeforeTheQueue) {
  FakeDev whole(record_a, 1 << 20);
  FakeDev part(nullptr, 4096, &whole, 2048);
  // The partition's own end counts, not the disk's.
  struct bio *bio = data_bio(&part.bdev, 4096 - 4, 1, &pages_);
  bio->bi_end_io = endio_record;
  endio_error = 0;
  generic_make_request(bio);
  EXPECT_TRUE(seen.empty());
  EXPECT_EQ(endio_error, -EIO);
  EXPECT_TRUE(bio_flagged(bio, BIO_EOF));
  bio_put(bio);
}

// Redirects a bio to another device and asks for another round.
FakeDev *redirect_to;
int redirect(struct request_queue *q, struct bio *bio) {
  seen.push_back({q, bio, bio->bi_sector, bio->bi_bdev, "redirect"});
  bio->bi_bdev = &redirect_to->bdev;
  return 1;
}

TEST_F(BioTest, NonZeroResultResubmitsToTheNewDevice) {
  FakeDev first(redirect, 1 << 20);
  FakeDev second(record_b, 1 << 20);
  redirect_to = &second;
  struct bio *bio = data_bio(&first.bdev, 0, 1, &pages_);
  generic_make_request(bio);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_STREQ(seen[0].who, "redirect");
  EXPECT_STREQ(seen[1].who, "b");
  EXPECT_EQ(seen[1].q, second.q);
  bio_put(bio);
}

// A stacked driver: its function submits two clones below and returns;
// they must be sent after it returns, in order, and never inside it.
FakeDev *lower;
int depth;
std::vector<struct bio *> clones;
int stacked(struct request_queue *q, struct bio *bio) {
  depth++;
  seen.push_back({q, bio, bio->bi_sector, bio->bi_bdev, "upper"});
  for (int i = 0; i < 2; i++) {
    struct bio *c = bio_clone(bio, GFP_NOIO);
    c->bi_bdev = &lower->bdev;
    c->bi_sector += i;
    clones.push_back(c);
    generic_make_request(c);
  }
  EXPECT_EQ(seen.size(), 1u) << "a bio went down while its submitter ran";
  depth--;
  return 0;
}
int lower_fn(struct request_queue *q, struct bio *bio) {
  EXPECT_EQ(depth, 0);
  seen.push_back({q, bio, bio->bi_sector, bio->bi_bdev, "lower"});
  return 0;
}

TEST_F(BioTest, StackedSubmissionIsFlattenedInOrder) {
  FakeDev upper(stacked, 1 << 20);
  FakeDev low(lower_fn, 1 << 20);
  lower = &low;
  clones.clear();
  struct bio *bio = data_bio(&upper.bdev, 40, 1, &pages_);
  generic_make_request(bio);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_STREQ(seen[1].who, "lower");
  EXPECT_EQ(seen[1].sector, 40u);
  EXPECT_EQ(seen[2].sector, 41u);
  EXPECT_EQ(current->bio_list, nullptr);
  for (struct bio *c : clones) bio_put(c);
  bio_put(bio);
}

// A hook on a simulated disk's queue, as the module hooks one: it sees
// user I/O on a partition already remapped, and passes it on.
make_request_fn *saved_fn;
int hook(struct request_queue *q, struct bio *bio) {
  seen.push_back({q, bio, bio->bi_sector, bio->bi_bdev, "hook"});
  return saved_fn(q, bio);
}

TEST_F(BioTest, HookedDiskQueueSeesUserIoOnAPartition) {
  simtest::Disk disk("sdh", 8 << 20, "", simtest::mbr({{2048, 4096}}));
  ASSERT_EQ(disk.add_result(), 0);
  struct file *f = filp_open("/dev/sdh", O_RDONLY, 0);
  ASSERT_FALSE(IS_ERR(f));
  struct block_device *whole = f->f_dentry->d_inode->i_bdev;
  struct request_queue *q = bdev_get_queue(whole);
  saved_fn = q->make_request_fn;
  q->make_request_fn = hook;

  std::vector<uint8_t> buf(8192, 0xab);
  EXPECT_EQ(simk::user_io("sdh1", true, 4096, buf.data(), buf.size()), 0);
  q->make_request_fn = saved_fn;

  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen[0].sector, 2048u + 8);
  EXPECT_EQ(seen[0].bdev, whole);
  EXPECT_EQ(disk.read_image((2048 + 8) * 512, buf.size()), buf);
  filp_close(f, NULL);
}

// A thread waiting in user I/O runs queued disk work itself, and the last
// bio it submits wakes nobody, as it runs that a moment later.  These hooks
// stand where the mirror stands: one waits for the disk inside the submit
// call, one hands every bio to a thread of its own that sends a clone on.
struct CloneWait {
  struct completion done;
  int err;
};

void clone_waited(struct bio *clone, int err) {
  auto *w = (CloneWait *)clone->bi_private;
  w->err = err;
  complete(&w->done);
}

int waiting_hook(struct request_queue *q, struct bio *bio) {
  CloneWait w;
  init_completion(&w.done);
  w.err = 0;
  struct bio *clone = bio_clone(bio, GFP_NOIO);
  clone->bi_end_io = clone_waited;
  clone->bi_private = &w;
  saved_fn(q, clone);
  wait_for_completion(&w.done);  // the held wake-up must be given now
  bio_put(clone);
  bio_endio(bio, w.err);
  return 0;
}

struct Forwarder;
Forwarder *forwarder;

struct Forwarder {
  std::mutex mu;
  std::condition_variable cv;
  std::deque<struct bio *> q;
  bool stop = false;
  std::thread t;

  Forwarder() {
    forwarder = this;
    t = std::thread([this] { run(); });
  }
  ~Forwarder() {
    {
      std::lock_guard<std::mutex> l(mu);
      stop = true;
    }
    cv.notify_one();
    t.join();
    forwarder = nullptr;
  }
  void push(struct bio *bio) {
    {
      std::lock_guard<std::mutex> l(mu);
      q.push_back(bio);
    }
    cv.notify_one();
  }

  // Sends what has queued up, then unplugs the disk's queue, as a
  // driver's thread does after each pass: that hands the batch over.
  void run() {
    std::unique_lock<std::mutex> l(mu);
    for (;;) {
      cv.wait(l, [&] { return stop || !q.empty(); });
      if (q.empty()) return;
      std::deque<struct bio *> batch;
      batch.swap(q);
      l.unlock();
      struct request_queue *disk_q = bdev_get_queue(batch.front()->bi_bdev);
      for (struct bio *bio : batch) {
        struct bio *clone = bio_clone(bio, GFP_NOIO);
        clone->bi_end_io = forwarded;
        clone->bi_private = bio;
        saved_fn(disk_q, clone);
      }
      blk_unplug(disk_q);
      l.lock();
    }
  }
  static void forwarded(struct bio *clone, int err) {
    if (!in_interrupt()) outside_irq++;
    struct bio *bio = (struct bio *)clone->bi_private;
    bio_put(clone);
    bio_endio(bio, err);
  }
  static std::atomic<int> outside_irq;
};
std::atomic<int> Forwarder::outside_irq{0};

int forwarding_hook(struct request_queue *, struct bio *bio) {
  forwarder->push(bio);
  return 0;
}

std::vector<uint8_t> pattern_of(size_t n, int seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; i++) v[i] = (uint8_t)(seed + i * 13 + (i >> 12));
  return v;
}

// 4 KiB, 8 KiB, or three bios (1 MiB + 4 KiB).
size_t request_len(int round) { return round % 3 == 2 ? (1 << 20) + 4096 : 4096u * (1 + round % 3); }

// Runs fn on its own thread and gives whether it ended within 20 s; a
// thread that hangs is left behind, the test failing on it.
template <typename Fn>
bool finishes(Fn fn) {
  auto ended = std::make_shared<std::atomic<bool>>(false);
  std::thread t([fn, ended] {
    fn();
    *ended = true;
  });
  bool ok = testsupport::eventually([&] { return ended->load(); }, std::chrono::seconds(20));
  if (ok)
    t.join();
  else
    t.detach();
  return ok;
}

// Writes of each length through @hook on a disk of its own: each must end
// within the time finishes allows, succeed, and land whole.
void hooked_writes_end_and_land(const char *name, make_request_fn *hook,
                                std::initializer_list<size_t> lens) {
  simtest::Disk disk(name, 8 << 20);
  ASSERT_EQ(disk.add_result(), 0);
  struct block_device *bdev = simlinux::bdev_lookup(name);
  struct request_queue *q = bdev_get_queue(bdev);
  saved_fn = q->make_request_fn;
  q->make_request_fn = hook;
  for (size_t len : lens) {
    std::vector<uint8_t> buf = pattern_of(len, (int)len);
    int rc = -1;
    EXPECT_TRUE(finishes([&] { rc = simk::user_io(name, true, 8192, buf.data(), buf.size()); }))
        << len;
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(disk.read_image(8192, len), buf) << len;
  }
  q->make_request_fn = saved_fn;
  bdput(bdev);
}

TEST_F(BioTest, UserIoWhoseDriverSleepsInTheSubmitEnds) {
  // One bio and three (1 MiB + 4 KiB: two full and one short).
  hooked_writes_end_and_land("sdw", waiting_hook, {4096, (1 << 20) + 4096});
}

TEST_F(BioTest, UserIoHandedToAnotherThreadEndsAndLandsWhole) {
  simtest::Disk disk("sdx", 64 << 20);
  ASSERT_EQ(disk.add_result(), 0);
  struct block_device *bdev = simlinux::bdev_lookup("sdx");
  struct request_queue *q = bdev_get_queue(bdev);
  Forwarder fwd;
  Forwarder::outside_irq = 0;
  saved_fn = q->make_request_fn;
  q->make_request_fn = forwarding_hook;

  // Eight writers of small and large requests at once, each to four slots
  // of its own 8 MiB: the helpers hand work to each other and to the I/O
  // threads.
  constexpr int kWriters = 8;
  std::atomic<int> failed{0};
  EXPECT_TRUE(finishes([&] {
    std::vector<std::thread> ws;
    for (int i = 0; i < kWriters; i++)
      ws.emplace_back([&, i] {
        for (int round = 0; round < 40; round++) {
          size_t len = request_len(round);
          std::vector<uint8_t> buf = pattern_of(len, i * 64 + round);
          uint64_t off = ((uint64_t)i << 23) + (uint64_t)(round % 4) * (2 << 20);
          if (simk::user_io("sdx", true, off, buf.data(), buf.size()) != 0) failed++;
        }
      });
    for (auto &w : ws) w.join();
  }));
  q->make_request_fn = saved_fn;
  EXPECT_EQ(failed.load(), 0);
  EXPECT_EQ(Forwarder::outside_irq.load(), 0) << "disk completions run in interrupt context";
  // The last round at each slot is what the image holds.
  for (int i = 0; i < kWriters; i++)
    for (int round = 36; round < 40; round++) {
      size_t len = request_len(round);
      uint64_t off = ((uint64_t)i << 23) + (uint64_t)(round % 4) * (2 << 20);
      EXPECT_EQ(disk.read_image(off, len), pattern_of(len, i * 64 + round)) << i << " " << round;
    }
  bdput(bdev);
}

// The two above at once: the submitter sleeps in its submit call until a
// clone that another thread sent on ends.  That clone is the submitter's
// own small work, which would rather wait for it than wake another thread;
// a submitter asleep elsewhere must not be waited for.
int forward_and_wait_hook(struct request_queue *, struct bio *bio) {
  CloneWait w;
  init_completion(&w.done);
  w.err = 0;
  struct bio *clone = bio_clone(bio, GFP_NOIO);
  clone->bi_end_io = clone_waited;
  clone->bi_private = &w;
  forwarder->push(clone);
  wait_for_completion(&w.done);
  bio_put(clone);
  bio_endio(bio, w.err);
  return 0;
}

TEST_F(BioTest, UserIoWhoseDriverWaitsForAnotherThreadsCloneEnds) {
  Forwarder fwd;
  hooked_writes_end_and_land("sdu", forward_and_wait_hook, {4096, (512 << 10) + 4096});
}

// Two disks, the first with a hook for its make_request function: the
// writers' bios stop there, and the test's thread sends clones of them to
// the second disk as a driver's thread does.
struct HookedPair {
  simtest::Disk a{"sdr", 8 << 20}, b{"sds", 8 << 20};
  struct block_device *abdev = nullptr, *bbdev = nullptr;
  struct request_queue *aq = nullptr;

  void hook(make_request_fn *fn) {
    ASSERT_EQ(a.add_result(), 0);
    ASSERT_EQ(b.add_result(), 0);
    abdev = simlinux::bdev_lookup("sdr");
    bbdev = simlinux::bdev_lookup("sds");
    aq = bdev_get_queue(abdev);
    saved_fn = aq->make_request_fn;
    aq->make_request_fn = fn;
  }
  ~HookedPair() {
    if (aq) aq->make_request_fn = saved_fn;
    if (abdev) bdput(abdev);
    if (bbdev) bdput(bbdev);
  }
};

// A driver's thread that unplugs a batch while one request is in flight
// runs the batch's last request itself if it is small, beside the first,
// which is left to the writer; a large one, or with more requests in
// flight, it runs none.  The writers here are busy in the hook on their
// disk, holding their bios (present, not yet waiting), while the test's
// thread sends clones of the first writer's bio to another disk as a
// driver does.
struct Held {
  std::atomic<struct bio *> bios[2] = {nullptr, nullptr};
  std::atomic<int> n{0};
  std::atomic<bool> release{false};
};
Held *held;

int holding_hook(struct request_queue *q, struct bio *bio) {
  held->bios[held->n++] = bio;
  while (!held->release) __builtin_ia32_pause();
  // The first writer's bio ends with its clones; any other goes on.
  return bio == held->bios[0] ? 0 : saved_fn(q, bio);
}

struct CloneRuns {
  struct bio *master;
  std::atomic<int> left;
  std::atomic<int> ended{0};
  struct bio *clones[2] = {nullptr, nullptr};
  std::thread::id by[2];
  bool irq[2];
};

void clone_ran(struct bio *clone, int err) {
  auto *r = (CloneRuns *)clone->bi_private;
  int i = clone == r->clones[0] ? 0 : 1;  // the disk moves bi_sector on as it ends
  r->by[i] = std::this_thread::get_id();
  r->irq[i] = in_interrupt();
  bio_put(clone);
  r->ended++;
  if (--r->left == 0) bio_endio(r->master, err);
}

TEST_F(BioTest, DriverThreadRunsTheLastOfItsBatchForTheOneRequestInFlight) {
  struct Case {
    int writers, clones;
    size_t len;
    bool last_by_driver;  // else none runs on the driver's thread (small ones on the writer)
  };
  const Case cases[] = {
      {1, 1, 4096, false},
      {1, 2, 4096, true},
      {1, 2, 128 << 10, false},
      {2, 2, 4096, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.writers << " writers, " << c.clones << " clones of "
                                    << c.len);
    HookedPair pair;
    ASSERT_NO_FATAL_FAILURE(pair.hook(holding_hook));
    struct block_device *bbdev = pair.bbdev;
    Held h;
    held = &h;

    std::vector<uint8_t> buf = pattern_of(c.len, c.clones);
    sector_t apart = (sector_t)(c.len >> 9) + 8;  // contiguous writes would merge
    std::vector<int> rc(c.writers, -1);
    std::vector<std::thread> ws;
    std::thread::id first;
    ws.emplace_back([&] {
      first = std::this_thread::get_id();
      rc[0] = simk::user_io("sdr", true, 0, buf.data(), buf.size());
    });
    ASSERT_TRUE(testsupport::eventually([&] { return h.n.load() == 1; }));
    if (c.writers == 2) {
      ws.emplace_back([&] { rc[1] = simk::user_io("sdr", true, 1 << 20, buf.data(), buf.size()); });
      ASSERT_TRUE(testsupport::eventually([&] { return h.n.load() == 2; }));
    }
    CloneRuns runs;
    runs.master = h.bios[0];
    runs.left = c.clones;
    for (int i = 0; i < c.clones; i++) {
      struct bio *clone = bio_clone(runs.master, GFP_NOIO);
      clone->bi_bdev = bbdev;
      clone->bi_sector = (sector_t)i * apart;
      clone->bi_end_io = clone_ran;
      clone->bi_private = &runs;
      runs.clones[i] = clone;
      generic_make_request(clone);
    }
    blk_unplug(bdev_get_queue(bbdev));
    // What the unplug ran, it ran before it returned.
    bool small = c.len <= (64 << 10);
    if (c.last_by_driver) {
      EXPECT_EQ(runs.ended.load(), 1);
      EXPECT_EQ(runs.by[c.clones - 1], std::this_thread::get_id());
    } else if (small) {
      EXPECT_EQ(runs.ended.load(), 0);  // left for the busy writer: nobody was woken
    }
    h.release = true;
    for (auto &w : ws) w.join();
    for (int r : rc) EXPECT_EQ(r, 0);
    for (int i = 0; i < c.clones; i++) {
      if (c.last_by_driver && i == c.clones - 1) continue;
      EXPECT_NE(runs.by[i], std::this_thread::get_id()) << i;
      if (small) {
        EXPECT_EQ(runs.by[i], first) << i;
      }
    }
    for (int i = 0; i < c.clones; i++) {
      EXPECT_TRUE(runs.irq[i]) << "disk completions run in interrupt context";
      EXPECT_EQ(pair.b.read_image((uint64_t)i * apart * 512, c.len), buf) << i;
    }
    held = nullptr;
  }
}

// A driver's thread sending the clones of several requests in one pass
// gives each request's owner its work as soon as it goes on to the next
// request's, not at its unplug: the first writer here, asleep in user I/O,
// is woken and writes its two clones while the second writer's clone is
// still held.  The writers' bios are kept by the hook, as a mirror's
// make_request function keeps them for its thread.
struct Kept {
  std::atomic<struct bio *> bios[2] = {nullptr, nullptr};
  std::atomic<int> n{0};
};
Kept *kept;

int keeping_hook(struct request_queue *, struct bio *bio) {
  kept->bios[kept->n++] = bio;
  return 0;
}

// The state letter of thread @tid of this process, as /proc shows it.
char thread_state(pid_t tid) {
  char path[64], buf[256] = {};
  snprintf(path, sizeof path, "/proc/self/task/%d/stat", (int)tid);
  FILE *f = fopen(path, "r");
  if (!f) return '?';
  size_t n = fread(buf, 1, sizeof buf - 1, f);
  fclose(f);
  const char *p = (const char *)memrchr(buf, ')', n);
  return p && p[1] == ' ' ? p[2] : '?';
}

TEST_F(BioTest, DriverThreadHandsEachRequestItsWorkWhenItGoesOnToTheNext) {
  HookedPair pair;
  ASSERT_NO_FATAL_FAILURE(pair.hook(keeping_hook));
  struct block_device *bbdev = pair.bbdev;
  Kept k;
  kept = &k;

  std::vector<uint8_t> one = pattern_of(4096, 1), two = pattern_of(4096, 2);
  std::atomic<pid_t> first_tid{0};
  std::atomic<int> first_rc{-1}, second_rc{-1};
  std::thread first([&] {
    first_tid = (pid_t)syscall(SYS_gettid);
    first_rc = simk::user_io("sdr", true, 0, one.data(), one.size());
  });
  ASSERT_TRUE(testsupport::eventually([&] { return k.n.load() == 1; }));
  // Asleep, its spin over: only a wake-up brings it back to the queue.
  ASSERT_TRUE(testsupport::eventually([&] { return thread_state(first_tid) == 'S'; }));
  std::thread second([&] { second_rc = simk::user_io("sdr", true, 1 << 20, two.data(), two.size()); });
  ASSERT_TRUE(testsupport::eventually([&] { return k.n.load() == 2; }));

  CloneRuns runs[2];
  for (int r = 0; r < 2; r++) {
    runs[r].master = k.bios[r];
    runs[r].left = r == 0 ? 2 : 1;
    for (int i = 0; i < runs[r].left; i++) {
      struct bio *clone = bio_clone(runs[r].master, GFP_NOIO);
      clone->bi_bdev = bbdev;
      clone->bi_sector = (sector_t)(r * 2 + i) * 16;
      clone->bi_end_io = clone_ran;
      clone->bi_private = &runs[r];
      runs[r].clones[i] = clone;
      generic_make_request(clone);
    }
  }
  EXPECT_TRUE(testsupport::eventually([&] { return first_rc.load() == 0; }))
      << "the first request's work waited for the unplug";
  blk_unplug(bdev_get_queue(bbdev));
  first.join();
  second.join();
  EXPECT_EQ(second_rc.load(), 0);
  EXPECT_EQ(pair.b.read_image(0, 4096), one);
  EXPECT_EQ(pair.b.read_image(16 * 512, 4096), one);
  EXPECT_EQ(pair.b.read_image(32 * 512, 4096), two);
  kept = nullptr;
}

// Writes sent one after another under one plug, as a driver's pass sends
// them: contiguous ones are merged into one request.  Each still ends once,
// with its own result, and lands where it was sent.
struct PlugEnd {
  std::atomic<int> ends{0};
  std::atomic<int> error{0};
};

void plug_ended(struct bio *bio, int err) {
  auto *e = (PlugEnd *)bio->bi_private;
  e->error = err;
  e->ends++;
  bio_put(bio);
}

TEST_F(BioTest, WritesMergedInOnePlugEachEndAndLand) {
  struct Case {
    const char *name;
    std::vector<std::pair<sector_t, int>> bios;  // sector, pages
    bool failing;
  };
  const std::vector<Case> cases = {
      {"three contiguous", {{0, 8}, {64, 8}, {128, 2}}, false},
      {"a gap, then two contiguous", {{0, 8}, {200, 4}, {232, 4}}, false},
      {"contiguous on a failing disk", {{0, 8}, {64, 8}}, true},
  };
  for (const Case &c : cases) {
    simtest::Disk disk("sdv", 8 << 20);
    ASSERT_EQ(disk.add_result(), 0);
    if (c.failing) {
      ASSERT_EQ(simk::disk_fail("sdv", simk::kFailWrite), 0);
    }
    struct block_device *bdev = simlinux::bdev_lookup("sdv");
    std::vector<PlugEnd> ends(c.bios.size());
    std::vector<std::vector<uint8_t>> data;
    for (size_t i = 0; i < c.bios.size(); i++) {
      std::vector<struct page *> owned;
      struct bio *bio = data_bio(bdev, c.bios[i].first, c.bios[i].second, &owned);
      data.push_back(pattern_of(bio->bi_size, (int)i + 1));
      for (int p = 0; p < c.bios[i].second; p++)
        memcpy(page_address(owned[p]), data[i].data() + p * PAGE_SIZE, PAGE_SIZE);
      pages_.insert(pages_.end(), owned.begin(), owned.end());
      bio->bi_rw = WRITE;
      bio->bi_end_io = plug_ended;
      bio->bi_private = &ends[i];
      generic_make_request(bio);
    }
    blk_unplug(bdev_get_queue(bdev));
    EXPECT_TRUE(testsupport::eventually([&] {
      for (auto &e : ends)
        if (e.ends.load() == 0) return false;
      return true;
    })) << c.name;
    for (size_t i = 0; i < c.bios.size(); i++) {
      EXPECT_EQ(ends[i].ends.load(), 1) << c.name << " bio " << i;
      EXPECT_EQ(ends[i].error.load(), c.failing ? -EIO : 0) << c.name << " bio " << i;
      if (!c.failing) {
        EXPECT_EQ(disk.read_image((uint64_t)c.bios[i].first << 9, data[i].size()), data[i])
            << c.name << " bio " << i;
      }
    }
    bdput(bdev);
    free_pages_of(pages_);
  }
}

}  // namespace
