// Unit tests of the module's pure parts, compiled into this test: bitmap
// geometry and counters, the netlink checks, registry parsing, the sector-0
// stamp and the thread wrapper.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "eventually.h"
#include "sim/kernel.h"

#include <linux/kernel.h>
#include <linux/slab.h>
#include <linux/mm.h>
#include <linux/bio.h>
#include <linux/fs.h>
#include <linux/delay.h>
#include <linux/jiffies.h>

#include "hm.h"
#include "hm_bitmap.h"
#include "hm_thread.h"
#include "hmk_nl.h"

namespace {

// The simulated kernel runs under every test: jiffies, kthreads, files.
class KernelEnv : public ::testing::Environment {
 public:
  void SetUp() override {
    char dir[] = "/tmp/kernel_unit_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    dir_ = dir;
    ASSERT_EQ(0, simk::boot(dir_));
  }
  void TearDown() override {
    simk::shutdown();
    std::string cmd = "rm -rf " + dir_;
    (void)!system(cmd.c_str());
  }

 private:
  std::string dir_;
};
const auto* const g_env = ::testing::AddGlobalTestEnvironment(new KernelEnv);

// ---------------------------------------------------------------- geometry

struct GeometryCase {
  uint64_t sectors;
  uint32_t chunksize;
  unsigned long chunks, pages, num_bp;
};

TEST(KernelBitmapGeometry, Table) {
  const GeometryCase cases[] = {
      {2097152, 524288, 2048, 1, 1},        // 1 GiB: one counter page, exactly full
      {2097153, 524288, 2049, 2, 1},        // one sector more: a second counter page
      {1, 524288, 1, 1, 1},
      {131072, 524288, 128, 1, 1},          // 64 MiB
      {1024ULL * 32768 + 1, 524288, 32769, 17, 2},   // spills into a second bit page
      {2048, 512, 2048, 1, 1},
  };
  for (const auto& c : cases) {
    struct hm_bitmap b;
    memset(&b, 0, sizeof(b));
    b.chunksize = c.chunksize;
    ASSERT_EQ(0, bitmap_geometry(&b, c.sectors)) << c.sectors;
    EXPECT_EQ(c.chunks, b.chunks) << c.sectors;
    EXPECT_EQ(c.pages, b.pages) << c.sectors;
    EXPECT_EQ(c.num_bp, b.num_bp) << c.sectors;
    EXPECT_EQ(b.pages, b.missing_pages);
  }
  for (uint32_t bad : {0u, 256u, 1000u, 524289u}) {
    struct hm_bitmap b;
    memset(&b, 0, sizeof(b));
    b.chunksize = bad;
    EXPECT_EQ(-EINVAL, bitmap_geometry(&b, 2048)) << bad;
  }
}

// ---------------------------------------------------------------- counters

// An in-memory bitmap: the bit pages have no buffers, so page "writes" do
// no I/O, and the counters and attributes behave as in the module.
class Counters : public ::testing::Test {
 protected:
  void Build(uint64_t sectors, uint32_t chunksize = 524288) {
    b_ = (struct hm_bitmap*)kzalloc(sizeof(*b_), GFP_KERNEL);
    spin_lock_init(&b_->lock);
    init_waitqueue_head(&b_->write_wait);
    b_->chunksize = chunksize;
    b_->bp_off = 1;
    b_->daemon_sleep = BITMAP_DAEMON_SLEEP;
    b_->daemon_lastrun = jiffies;
    ASSERT_EQ(0, bitmap_geometry(b_, sectors));
    ASSERT_EQ(0, bitmap_alloc_tables(b_));
    for (unsigned long i = 0; i < b_->num_bp; i++) {
      b_->filemap[i].bitmap = b_;
      b_->filemap[i].index = b_->bp_off + i;
      b_->filemap[i].page = alloc_page(GFP_KERNEL);
      memset(page_address(b_->filemap[i].page), 0, PAGE_SIZE);
    }
    b_->file_pages = b_->num_bp;
    memset(&dev_, 0, sizeof(dev_));
    b_->hmdev = &dev_;   // no threads: only its status bits are looked at
    k_ = chunksize / 512;
  }
  void TearDown() override {
    if (b_) bitmap_free(b_);
  }
  bitmap_counter_t Counter(unsigned long chunk) {
    int blocks;
    unsigned long flags;
    spin_lock_irqsave(&b_->lock, flags);
    bitmap_counter_t* c = bitmap_get_counter(b_, (sector_t)chunk * k_, &blocks, 0, nullptr);
    bitmap_counter_t v = c ? *c : 0xFFFF;
    spin_unlock_irqrestore(&b_->lock, flags);
    return v;
  }
  bool Bit(unsigned long chunk) {
    return test_bit(bitmap_chunk_bit(chunk), bitmap_fpage_bits(bitmap_chunk_fpage(b_, chunk)));
  }
  bool Attr(unsigned long chunk, int attr) {
    return test_page_attr(b_, bitmap_chunk_fpage(b_, chunk), attr);
  }
  void RunDaemon() {
    b_->daemon_lastrun = jiffies - BITMAP_DAEMON_SLEEP - 1;
    bitmap_daemon_work(b_);
  }
  // What the copy asks before it reads a stretch.
  int Ask(sector_t sector) {
    int blocks;
    return bitmap_start_sync(b_, sector, &blocks);
  }
  // A unit read and written to the mirror.
  void Copy(sector_t sector, int sectors) {
    hmbio_t u = Unit(sector, sectors);
    bitmap_start_sync_write(b_, &u);
    bitmap_end_sync(b_, &u, 0);
  }
  void MissTheMirror(unsigned long chunk) {
    bitmap_startwrite(b_, chunk * k_, 8);
    bitmap_endwrite(b_, chunk * k_, 8, 0);
  }
  bool RecoveryNeeded() { return test_bit(HM_RECOVERY_NEEDED, &dev_.flags); }
  hmbio_t Unit(sector_t sector, int sectors) {
    hmbio_t u;
    memset(&u, 0, sizeof(u));
    u.sector = sector;
    u.sectors = sectors;
    return u;
  }

  struct hm_bitmap* b_ = nullptr;
  hmdev_t dev_;
  sector_t k_ = 0;
};

TEST_F(Counters, WriteSetsBitAndIdleChunkIsCleanedByTheDaemon) {
  Build(2097152);
  bitmap_startwrite(b_, 5 * k_ + 8, 8);
  EXPECT_TRUE(Bit(5));
  EXPECT_TRUE(Attr(5, BITMAP_PAGE_DIRTY));
  EXPECT_EQ(2, Counter(5));
  EXPECT_EQ(0u, b_->missing_pages);

  bitmap_endwrite(b_, 5 * k_ + 8, 8, 1);
  EXPECT_EQ(1, Counter(5));
  EXPECT_TRUE(Attr(5, BITMAP_PAGE_CLEAN));
  EXPECT_EQ(0u, b_->chunk_needed);

  // Not yet: the daemon waits its period.
  b_->daemon_lastrun = jiffies;
  bitmap_daemon_work(b_);
  EXPECT_TRUE(Bit(5));

  RunDaemon();
  EXPECT_FALSE(Bit(5));
  EXPECT_EQ(0xFFFF, Counter(5)) << "the counter page is freed with its last counter";
  EXPECT_EQ(1u, b_->missing_pages);
  // The cleared page is written on this run or the next one.
  EXPECT_TRUE(Attr(5, BITMAP_PAGE_NEEDWRITE));
  RunDaemon();
  EXPECT_FALSE(Attr(5, BITMAP_PAGE_NEEDWRITE));
}

TEST_F(Counters, WriteSpanningChunksCountsEach) {
  Build(2097152);
  bitmap_startwrite(b_, 2 * k_ - 8, 16);
  EXPECT_EQ(2, Counter(1));
  EXPECT_EQ(2, Counter(2));
  EXPECT_EQ(0, Counter(3));
  bitmap_endwrite(b_, 2 * k_ - 8, 16, 1);
  EXPECT_EQ(1, Counter(1));
  EXPECT_EQ(1, Counter(2));
}

TEST_F(Counters, FailedWriteLeavesChunkNeeded) {
  Build(2097152);
  bitmap_startwrite(b_, 0, 8);
  bitmap_endwrite(b_, 0, 8, 0);
  EXPECT_EQ(0x8001, Counter(0));
  EXPECT_EQ(1u, b_->chunk_needed);
  RunDaemon();
  EXPECT_TRUE(Bit(0)) << "a chunk that needs copying is never cleaned";
  int blocks;
  EXPECT_EQ(1, bitmap_start_sync(b_, 0, &blocks));
  EXPECT_EQ((int)k_, blocks);
}

TEST_F(Counters, CopyUnitTurnsNeededIntoResyncAndIdle) {
  Build(2097152);
  bitmap_startwrite(b_, 0, 8);
  bitmap_endwrite(b_, 0, 8, 0);
  ASSERT_EQ(0x8001, Counter(0));

  EXPECT_EQ(1, Ask(0));
  hmbio_t u = Unit(0, (int)k_);
  bitmap_start_sync_write(b_, &u);
  EXPECT_EQ(0x4002, Counter(0));
  EXPECT_EQ(0u, b_->chunk_needed);
  bitmap_end_sync(b_, &u, 0);
  EXPECT_EQ(0x4001, Counter(0));
  EXPECT_TRUE(Attr(0, BITMAP_PAGE_CLEAN));
  RunDaemon();
  EXPECT_FALSE(Bit(0));
}

TEST_F(Counters, PartialUnitsClearNeededOnlyWithTheLastPiece) {
  Build(2097152);
  bitmap_startwrite(b_, 0, 8);
  bitmap_endwrite(b_, 0, 8, 0);
  hmbio_t first = Unit(0, 128), last = Unit(k_ - 128, 128);
  EXPECT_EQ(1, Ask(0));
  bitmap_start_sync_write(b_, &first);
  EXPECT_EQ(0xC002, Counter(0)) << "the pass is under way, NEEDED stays";
  bitmap_end_sync(b_, &first, 0);
  bitmap_start_sync_write(b_, &last);
  EXPECT_EQ(0x4002, Counter(0));
  bitmap_end_sync(b_, &last, 0);
  EXPECT_EQ(0x4001, Counter(0));
}

TEST_F(Counters, AbandonedUnitIsNeededAgain) {
  Build(2097152);
  bitmap_startwrite(b_, 0, 8);
  bitmap_endwrite(b_, 0, 8, 0);
  hmbio_t u = Unit(0, (int)k_);
  bitmap_start_sync_write(b_, &u);
  bitmap_end_sync(b_, &u, 1);
  EXPECT_EQ(0x8001, Counter(0));
  EXPECT_EQ(1u, b_->chunk_needed);
}

// A copy run ends with chunk 0 copied and idle (0x4001); a new run asks
// about it (RESYNC says yes) and the daemon cleans it before the unit's read
// completes.  The unit must not count in on the clean chunk without its bit:
// a later write would then find its counter above 0 and never set the bit.
TEST_F(Counters, CopyRestartedOnACleanedChunkLeavesLaterWritesTheirBit) {
  Build(2097152);
  MissTheMirror(0);
  ASSERT_EQ(1, Ask(0));
  Copy(0, (int)k_);
  ASSERT_EQ(0x4001, Counter(0));
  bitmap_startwrite(b_, 5 * k_, 8);   // chunk 5 in use keeps the counter page
  EXPECT_EQ(1, Ask(0));
  RunDaemon();
  ASSERT_FALSE(Bit(0));
  ASSERT_EQ(0, Counter(0));
  Copy(0, (int)k_);

  bitmap_startwrite(b_, 0, 8);
  EXPECT_TRUE(Bit(0)) << "a counted chunk has its bit";
  EXPECT_EQ(2, COUNTER(Counter(0)));
  EXPECT_TRUE(Attr(0, BITMAP_PAGE_DIRTY)) << "written before the write goes out";
  // Both users leave; the page count must come back to 0, not below.
  bitmap_endwrite(b_, 0, 8, 1);
  bitmap_endwrite(b_, 5 * k_ + 0, 8, 1);
  RunDaemon();
  EXPECT_FALSE(Bit(0));
  EXPECT_FALSE(Bit(5));
  EXPECT_EQ(0u, b_->bp[0].count);
  EXPECT_EQ(1u, b_->missing_pages);
}

// Units of one chunk: unit 1 is abandoned (the mirror was locked and
// unlocked between two checks of the copy) before the last unit's read
// completes.  The last unit must not clear NEEDED: unit 1's range was never
// written, and the copy must be told to look again.
TEST_F(Counters, UnitAbandonedBeforeTheLastOneKeepsTheChunkNeeded) {
  Build(2097152);
  MissTheMirror(0);
  dev_.flags = 0;
  ASSERT_EQ(1, Ask(0));
  hmbio_t lost = Unit(128, 128), last = Unit(k_ - 128, 128);
  bitmap_start_sync_write(b_, &lost);
  bitmap_end_sync(b_, &lost, 1);
  EXPECT_TRUE(RecoveryNeeded());
  bitmap_start_sync_write(b_, &last);
  bitmap_end_sync(b_, &last, 0);
  EXPECT_TRUE(NEEDED(Counter(0)));
  EXPECT_EQ(1u, b_->chunk_needed);
  RunDaemon();
  EXPECT_TRUE(Bit(0));
  // The next pass copies it whole.
  ASSERT_EQ(1, Ask(0));
  Copy(0, (int)k_);
  EXPECT_EQ(0x4001, Counter(0));
  EXPECT_EQ(0u, b_->chunk_needed);
}

// The disk ends inside its last chunk: the unit that reaches the end of the
// disk ends the pass over that chunk.
TEST_F(Counters, LastChunkShorterThanTheOthersIsCopiedToo) {
  Build(2097152 - 24);
  const unsigned long last = b_->chunks - 1;
  MissTheMirror(last);
  ASSERT_EQ(1, Ask(last * k_));
  Copy(last * k_, (int)(k_ - 24));
  EXPECT_EQ(0x4001, Counter(last));
  EXPECT_EQ(0u, b_->chunk_needed);
}

// A write that missed the mirror marks its chunk behind a copy that may have
// passed it: the copy is told to look again.  Once the chunk already waits
// for a copy, further misses change nothing and tell nobody.
TEST_F(Counters, ChunkMarkedNeededRaisesRecoveryNeeded) {
  Build(2097152);
  bitmap_startwrite(b_, 3 * k_, 8);
  bitmap_endwrite(b_, 3 * k_, 8, 1);
  EXPECT_FALSE(RecoveryNeeded());
  MissTheMirror(3);
  EXPECT_TRUE(RecoveryNeeded());
  dev_.flags = 0;
  MissTheMirror(3);
  EXPECT_FALSE(RecoveryNeeded());
  EXPECT_EQ(1u, b_->chunk_needed);
}

TEST_F(Counters, HijackedPageSetsOneBitAndCleansTheHalf) {
  Build(2097152);
  b_->bp[0].hijacked = 1;   // as when its counter page could not be allocated
  bitmap_startwrite(b_, 7 * k_, 8);
  EXPECT_TRUE(Bit(7));
  EXPECT_FALSE(Bit(6));
  EXPECT_FALSE(Bit(8));
  EXPECT_EQ(2, Counter(7));
  EXPECT_EQ(2, Counter(1000)) << "one counter stands for the half page";
  bitmap_endwrite(b_, 7 * k_, 8, 0);
  EXPECT_EQ(0x8001, Counter(7));
  EXPECT_EQ((unsigned long)HIJACK_CHUNKS, b_->chunk_needed);
  // Another set bit in the same half, as after a load.
  set_bit(bitmap_chunk_bit(9), bitmap_fpage_bits(bitmap_chunk_fpage(b_, 9)));
  b_->bp[0].count++;
  EXPECT_EQ(1, Ask(0));
  hmbio_t u = Unit(0, (int)(k_ * HIJACK_CHUNKS));
  bitmap_start_sync_write(b_, &u);
  bitmap_end_sync(b_, &u, 0);
  EXPECT_EQ(0x4001, Counter(7));
  RunDaemon();
  EXPECT_FALSE(Bit(7));
  EXPECT_FALSE(Bit(9));
  EXPECT_EQ(0, b_->bp[0].hijacked) << "an empty hijacked page goes back to unallocated";
}

TEST_F(Counters, OffsetPastTheEndHasNoCounter) {
  Build(2048 * 1024);   // 2048 chunks, one counter page
  int blocks;
  unsigned long flags;
  spin_lock_irqsave(&b_->lock, flags);
  EXPECT_EQ(nullptr, bitmap_get_counter(b_, (sector_t)4096 * k_, &blocks, 1, nullptr));
  spin_unlock_irqrestore(&b_->lock, flags);
  EXPECT_EQ((int)k_, blocks);
  bitmap_startwrite(b_, (sector_t)4096 * k_, 8);   // nothing to count, no crash
}

TEST_F(Counters, MarkAllNeededKeepsCountsOfWritesInFlight) {
  Build(2097152 + 1);
  bitmap_startwrite(b_, 3 * k_, 8);   // in flight
  bitmap_mark_all_needed(b_);
  EXPECT_EQ(b_->chunks, b_->chunk_needed);
  EXPECT_EQ(0x8001, Counter(0));
  EXPECT_EQ(0x8002, Counter(3));
  EXPECT_EQ(0x8001, Counter(2048));
  EXPECT_TRUE(Bit(2048));
  bitmap_endwrite(b_, 3 * k_, 8, 1);
  EXPECT_EQ(0x8001, Counter(3));
}

TEST_F(Counters, FinishedInitializeDoesNotUnderflowWritesInFlight) {
  Build(2097152);
  bitmap_mark_all_needed(b_);
  bitmap_startwrite(b_, 3 * k_, 8);   // in flight across the finish
  ASSERT_EQ(0, bitmap_finished_initialize(b_));
  EXPECT_EQ(0u, b_->chunk_needed);
  EXPECT_FALSE(Bit(0));
  EXPECT_EQ(2, Counter(3)) << "its user is still counted, without NEEDED";
  EXPECT_TRUE(Bit(3));
  bitmap_endwrite(b_, 3 * k_, 8, 1);
  EXPECT_EQ(1, Counter(3)) << "counted out without wrapping";
  RunDaemon();
  EXPECT_FALSE(Bit(3));
}


// A write has counted in (its bit set, its page dirty) and waits in the
// queue for the hmd thread, which will write the dirty pages and wait for
// them before it sends the write's clones.  Initialize or Finished
// Initialize writes every page from the control path meanwhile: that page
// write may still be in flight when the hmd thread looks, so the page must
// stay dirty for it, or the write goes out before its bit is on disk.
TEST_F(Counters, PagesWrittenByTheControlPathStayDirtyForQueuedWrites) {
  const std::pair<const char*, std::function<void()>> writers[] = {
      {"initialize", [this] { bitmap_mark_all_needed(b_); }},
      {"finished initialize", [this] { ASSERT_EQ(0, bitmap_finished_initialize(b_)); }},
  };
  for (const auto& w : writers) {
    Build(2097152);
    bitmap_startwrite(b_, 3 * k_, 8);
    ASSERT_TRUE(Attr(3, BITMAP_PAGE_DIRTY)) << w.first;
    w.second();
    EXPECT_TRUE(Bit(3)) << w.first;
    EXPECT_TRUE(Attr(3, BITMAP_PAGE_DIRTY)) << w.first;
    bitmap_free(b_);
    b_ = nullptr;
  }
}
// ---------------------------------------------------------------- netlink

std::vector<uint8_t> Msg(uint32_t nl_len, uint16_t msg_len, size_t size) {
  std::vector<uint8_t> m(size, 0);
  if (size >= 4) memcpy(&m[0], &nl_len, 4);
  if (size >= 20) memcpy(&m[18], &msg_len, 2);
  return m;
}

TEST(KernelNetlinkCheck, MalformedMessagesGetNothing) {
  struct Case {
    const char* what;
    uint32_t nl_len;
    uint16_t msg_len;
    size_t arrived;
    bool served;
  };
  const Case cases[] = {
      {"empty", 0, 0, 0, false},
      {"15 bytes", 15, 0, 15, false},
      {"16 bytes, no header", 16, 0, 16, false},
      {"27 bytes, cut header", 27, 0, 27, false},
      {"netlink length below the header", 20, 0, 2064, false},
      {"netlink length beyond what arrived", 2064, 0, 100, false},
      {"msg_len beyond the netlink length", 100, 73, 2064, false},
      {"msg_len beyond the message", 2064, 2037, 2064, false},
      {"header only", 28, 0, 28, true},
      {"body fits exactly", 100, 72, 100, true},
      {"full message", 2064, 2036, 2064, true},
  };
  for (const auto& c : cases) {
    auto m = Msg(c.nl_len, c.msg_len, c.arrived);
    hm_nl_header_t h;
    const char* body = hm_nl_check_msg(m.data(), (unsigned)m.size(), &h);
    EXPECT_EQ(c.served, body != nullptr) << c.what;
    if (body) {
      EXPECT_EQ((const char*)m.data() + 28, body) << c.what;
    }
  }
}

std::vector<char> Body(uint16_t path_off, uint16_t path_len, size_t size, const char* path = "") {
  std::vector<char> b(size, 0);
  hm_nl_volume_t rec{};
  strcpy(rec.uuid, "12345678-0000-0000-0000-000000000000");
  rec.dev_name_off = path_off;
  rec.dev_name_len = path_len;
  memcpy(b.data(), &rec, size < sizeof(rec) ? size : sizeof(rec));
  if (path_off + strlen(path) <= size) memcpy(b.data() + path_off, path, strlen(path));
  return b;
}

TEST(KernelNetlinkCheck, RecordsAndPathsAreBoundedByTheBody) {
  struct Case {
    const char* what;
    uint16_t off, len;
    size_t size;
    int need_path;
    int want;
    const char* path;
  };
  const Case cases[] = {
      {"record only, no path", 160, 0, 160, 0, 0, ""},
      {"record only, path needed", 160, 0, 160, 1, -EINVAL, ""},
      {"short record", 160, 8, 159, 0, -EINVAL, ""},
      {"path past the body", 160, 8, 167, 0, -EINVAL, ""},
      {"path offset far away", 60000, 8, 168, 0, -EINVAL, ""},
      {"path of 128 bytes", 160, 128, 2036, 0, -EINVAL, ""},
      {"path of 127 bytes", 160, 127, 2036, 0, 0, ""},
      {"usual", 160, 8, 168, 1, 0, "/dev/sdb"},
  };
  for (const auto& c : cases) {
    auto b = Body(c.off, c.len, c.size, c.path);
    hm_nl_volume_t rec;
    char path[HM_NAME_LEN];
    memset(path, 'x', sizeof(path));
    EXPECT_EQ(c.want, hm_nl_get_record(b.data(), (int)b.size(), 0, &rec, path, c.need_path))
        << c.what;
    EXPECT_EQ('\0', path[127]) << c.what;
    if (c.want == 0 && c.len != 127) {
      EXPECT_STREQ(c.path, path) << c.what;
    }
  }
  auto b = Body(160, 8, 168, "/dev/sdb");
  hm_nl_volume_t rec;
  char path[HM_NAME_LEN];
  EXPECT_EQ(-EINVAL, hm_nl_get_record(b.data(), (int)b.size(), 9, &rec, path, 0))
      << "a record offset that leaves no room";
  EXPECT_EQ(-EINVAL, hm_nl_get_record(b.data(), (int)b.size(), -1, &rec, path, 0));
}

// ---------------------------------------------------------------- registry

TEST(KernelRegistry, ParseInfo) {
  struct Case {
    const char* line;
    int want;
    const char *name, *uuid, *name2, *uuid2;
  };
  const std::string p32(32, 'p');
  const std::string g128(128, 'a');
  const std::string long_path = "/dev/" + p32 + "? volume_id_{1234} ";
  const std::string long_guid = "/dev/sdb? volume_id_{" + g128 + "} ";
  const Case cases[] = {
      {"/dev/sdb? volume_id_{5fa1c2d3-0000-0000-0000-000000000000} /dev/sdc? "
       "volume_id_{60000000-1111-2222-3333-444455556666} ",
       0, "/dev/sdb?", "5fa1c2d3-0000-0000-0000-000000000000", "/dev/sdc?",
       "60000000-1111-2222-3333-444455556666"},
      {"/dev/sdb? volume_id_{5fa1c2d3-0000-0000-0000-000000000000} ", 0, "/dev/sdb?",
       "5fa1c2d3-0000-0000-0000-000000000000", "", ""},
      {" /dev/sdb? volume_id_{1}", -1, "", "", "", ""},
      {"", -1, "", "", "", ""},
      {"/dev/sdb?", -1, "", "", "", ""},
      {"/dev/sdb? volume_id_{1234", -1, "", "", "", ""},
      {long_path.c_str(), -1, "", "", "", ""},
      {long_guid.c_str(), -1, "", "", "", ""},
  };
  for (const auto& c : cases) {
    char name[32] = {0}, uuid[128] = {0}, name2[32] = {0}, uuid2[128] = {0};
    int r = parse_info(c.line, (int)strlen(c.line), name, uuid, name2, uuid2);
    EXPECT_EQ(c.want, r) << c.line;
    if (r == 0) {
      EXPECT_STREQ(c.name, name);
      EXPECT_STREQ(c.uuid, uuid);
      EXPECT_STREQ(c.name2, name2);
      EXPECT_STREQ(c.uuid2, uuid2);
    }
  }
}

TEST(KernelRegistry, UuidToGuid) {
  guid_t g;
  uuid_to_guid("5fa1c2d3-0102-a0b0-c1d2-e3f405060708", &g);
  EXPECT_EQ(0x5fa1c2d3u, g.data1);
  EXPECT_EQ(0x0102, g.data2);
  EXPECT_EQ(0xa0b0, g.data3);
  const uint8_t d4[8] = {0xc1, 0xd2, 0xe3, 0xf4, 0x05, 0x06, 0x07, 0x08};
  EXPECT_EQ(0, memcmp(d4, g.data4, 8));
  uuid_to_guid("1234", &g);   // short texts read no further than they go
  EXPECT_EQ(0x1234u, g.data1);
  EXPECT_EQ(0, g.data2);
  EXPECT_EQ(0xabcu, hm_strtoul("0xabc", nullptr, 0));
  EXPECT_EQ(010u, hm_strtoul("010", nullptr, 0));
  EXPECT_EQ(-42, hm_strtol("-42", nullptr, 10));
}

TEST(KernelRegistry, RecordsAreReadOneAfterTheOther) {
  char tmpl[] = "/tmp/kernel_reg_XXXXXX";
  int fd = mkstemp(tmpl);
  ASSERT_GE(fd, 0);
  std::string a = "/dev/sdb? volume_id_{11111111-0000-0000-0000-000000000000} /dev/sdc? "
                  "volume_id_{22222222-0000-0000-0000-000000000000} line_end\n";
  std::string b = "/dev/sdd? volume_id_{33333333-0000-0000-0000-000000000000} line_end";
  std::string all = a + b + "\n" + std::string(300, 'z');
  ASSERT_EQ((ssize_t)all.size(), write(fd, all.data(), all.size()));
  close(fd);

  struct file* f = filp_open(tmpl, O_RDONLY, 0);
  ASSERT_FALSE(IS_ERR(f));
  char buf[257];
  ASSERT_NE(nullptr, get_next_device_info(f, buf, sizeof(buf)));
  EXPECT_EQ(a.substr(0, a.find("line_end")), std::string(buf));
  ASSERT_NE(nullptr, get_next_device_info(f, buf, sizeof(buf)));
  EXPECT_EQ(b.substr(0, b.find("line_end")), std::string(buf));
  EXPECT_EQ(nullptr, get_next_device_info(f, buf, sizeof(buf))) << "no marker: reading stops";
  filp_close(f, nullptr);
  unlink(tmpl);
}

// ---------------------------------------------------------------- stamp

// A write whose bytes 440-443 lie in one or across two segments.
TEST(KernelStamp, SignatureLandsAcrossSegments) {
  for (unsigned split : {100u, 438u, 440u, 441u, 443u, 444u, 512u}) {
    struct page* p1 = alloc_page(GFP_KERNEL);
    struct page* p2 = alloc_page(GFP_KERNEL);
    memset(page_address(p1), 0, PAGE_SIZE);
    memset(page_address(p2), 0, PAGE_SIZE);
    // Two segments as a request to a disk carries them.
    struct bio* bio = bio_alloc(GFP_KERNEL, 2);
    bio->bi_io_vec[0].bv_page = p1;
    bio->bi_io_vec[0].bv_len = split;
    bio->bi_io_vec[0].bv_offset = 0;
    bio->bi_io_vec[1].bv_page = p2;
    bio->bi_io_vec[1].bv_len = 1024 - split;
    bio->bi_io_vec[1].bv_offset = 16;
    bio->bi_vcnt = 2;
    bio->bi_idx = 0;
    bio->bi_size = 1024;
    EXPECT_EQ(4, hm_stamp_signature(bio, 0xA1B2C3D4));
    uint8_t got[4];
    for (unsigned b = 440; b < 444; b++) {
      got[b - 440] = b < split ? ((uint8_t*)page_address(p1))[b]
                               : ((uint8_t*)page_address(p2))[16 + b - split];
    }
    const uint8_t want[4] = {0xD4, 0xC3, 0xB2, 0xA1};
    EXPECT_EQ(0, memcmp(want, got, 4)) << "split at " << split;
    bio_put(bio);
    __free_page(p1);
    __free_page(p2);
  }
}

// ---------------------------------------------------------------- threads

std::atomic<int> g_passes{0};
void CountPass(struct hmdev_s*) {
  g_passes++;
  msleep(50);  // a pass takes its time
}

// A pass that lasts until the test lets it end.
std::atomic<int> g_held{0}, g_let_end{0};
DECLARE_WAIT_QUEUE_HEAD(g_let_end_wait);
void HeldPass(struct hmdev_s*) {
  int n = ++g_held;
  wait_event(g_let_end_wait, g_let_end.load() >= n);
}

TEST(KernelThread, StopBeforeTheFirstPassIsSafe) {
  for (int i = 0; i < 20; i++) {
    hm_thread_t* t = hm_register_thread(CountPass, nullptr, "hmtest");
    ASSERT_NE(nullptr, t);
    hm_unregister_thread(t);
  }
}

TEST(KernelThread, WakeUpsDuringAPassCollapseIntoOne) {
  g_held = 0;
  g_let_end = 0;
  hm_thread_t* t = hm_register_thread(HeldPass, nullptr, "hmtest");
  hm_wakeup_thread(t);
  EXPECT_TRUE(testsupport::eventually([] { return g_held.load() == 1; }, std::chrono::seconds(5),
                                      std::chrono::milliseconds(1)));
  for (int i = 0; i < 10; i++) hm_wakeup_thread(t);  // all inside the first pass
  g_let_end = 1;
  wake_up(&g_let_end_wait);
  EXPECT_TRUE(testsupport::eventually([] { return g_held.load() >= 2; }, std::chrono::seconds(5),
                                      std::chrono::milliseconds(1)));
  // The second pass took every wake-up: none is left for a third.
  EXPECT_EQ(2, g_held.load());
  EXPECT_FALSE(test_bit(THREAD_WAKEUP, &t->flags));
  g_let_end = 1 << 30;  // this pass and the last one a stop makes end at once
  wake_up(&g_let_end_wait);
  hm_unregister_thread(t);
}

}  // namespace
