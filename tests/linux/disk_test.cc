// Simulated disks: user I/O, fault injection, removal, renaming,
// partitions, and the SCSI model behind SG_IO.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "sim_env.h"

namespace {

const char kGuid[] = "6F9619FF-8B86-D011-B42D-00C04FC964FF";

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; i++) v[i] = (uint8_t)(seed + i * 7);
  return v;
}

TEST(DiskTest, UserIoWritesTheImageAndReadsItBack) {
  simtest::Disk disk("sdb", 8 << 20);
  ASSERT_EQ(disk.add_result(), 0);
  // Larger than one bio (512 KiB) and not page-aligned in memory.
  std::vector<uint8_t> buf = pattern(1 << 20, 3);
  std::vector<uint8_t> src(buf.size() + 1);
  memcpy(&src[1], buf.data(), buf.size());
  ASSERT_EQ(simk::user_io("sdb", true, 65536, &src[1], buf.size()), 0);
  EXPECT_EQ(disk.read_image(65536, buf.size()), buf);
  std::vector<uint8_t> back(buf.size());
  ASSERT_EQ(simk::user_io("sdb", false, 65536, back.data(), back.size()), 0);
  EXPECT_EQ(back, buf);
  EXPECT_EQ(simk::user_flush("sdb"), 0);
  EXPECT_EQ(simk::user_io("sdb", false, 8 << 20, back.data(), 4096), -EIO) << "past the end";
  EXPECT_EQ(simk::user_io("nosuch", false, 0, back.data(), 4096), -ENXIO);
}

TEST(DiskTest, UnalignedUserIoPatchesTheSectorsAround) {
  simtest::Disk disk("sdr", 1 << 20);
  std::vector<uint8_t> base = pattern(2048, 5);
  disk.write_image(0, base);
  uint8_t piece[3] = {0xee, 0xef, 0xf0};
  ASSERT_EQ(simk::user_io("sdr", true, 1000, piece, sizeof(piece)), 0);
  memcpy(&base[1000], piece, sizeof(piece));
  EXPECT_EQ(disk.read_image(0, 2048), base);
  uint8_t back[5];
  ASSERT_EQ(simk::user_io("sdr", false, 999, back, sizeof(back)), 0);
  EXPECT_EQ(std::vector<uint8_t>(back, back + 5), std::vector<uint8_t>(&base[999], &base[1004]));
}

TEST(DiskTest, FaultInjectionGivesEioAndHealRestores) {
  simtest::Disk disk("sdc", 1 << 20);
  ASSERT_EQ(disk.add_result(), 0);
  std::vector<uint8_t> buf(4096, 1);
  struct Case {
    const char *what;
    void (*inject)();
    int read, write;
  } cases[] = {
      {"read", [] { simk::disk_fail("sdc", simk::kFailRead); }, -EIO, 0},
      {"write", [] { simk::disk_fail("sdc", simk::kFailWrite); }, 0, -EIO},
      {"all", [] { simk::disk_fail("sdc", simk::kFailAll); }, -EIO, -EIO},
      {"offline", [] { simk::disk_offline("sdc"); }, -EIO, -EIO},
  };
  for (const Case &c : cases) {
    c.inject();
    EXPECT_EQ(simk::user_io("sdc", false, 0, buf.data(), buf.size()), c.read) << c.what;
    EXPECT_EQ(simk::user_io("sdc", true, 0, buf.data(), buf.size()), c.write) << c.what;
    ASSERT_EQ(simk::disk_heal("sdc"), 0);
    EXPECT_EQ(simk::user_io("sdc", false, 0, buf.data(), buf.size()), 0) << c.what;
    EXPECT_EQ(simk::user_io("sdc", true, 0, buf.data(), buf.size()), 0) << c.what;
  }
  auto info = simk::disks();
  ASSERT_EQ(info.size(), 1u);
  EXPECT_EQ(info[0].fail, simk::kFailNone);
  EXPECT_FALSE(info[0].offline);
}

TEST(DiskTest, RemoveFailsFurtherIoAndRenameKeepsData) {
  std::vector<uint8_t> data = pattern(4096, 9);
  {
    simtest::Disk disk("sdd", 1 << 20);
    ASSERT_EQ(simk::user_io("sdd", true, 4096, data.data(), data.size()), 0);
    ASSERT_EQ(simk::disk_rename("sdd", "sde"), 0);
    EXPECT_EQ(simk::user_io("sdd", false, 4096, data.data(), 4096), -ENXIO);
    std::vector<uint8_t> back(4096);
    ASSERT_EQ(simk::user_io("sde", false, 4096, back.data(), back.size()), 0);
    EXPECT_EQ(back, data);
    auto info = simk::disks();
    ASSERT_EQ(info.size(), 1u);
    EXPECT_EQ(info[0].name, "sde");
    EXPECT_EQ(simk::disk_remove("sde"), 0);
    EXPECT_EQ(simk::user_io("sde", false, 0, back.data(), 4096), -ENXIO);
    EXPECT_TRUE(simk::disks().empty());
  }
}

TEST(DiskTest, RemovalWhileIoIsInFlightFailsItCleanly) {
  simtest::Disk disk("sds", 4 << 20);
  std::atomic<bool> stop{false};
  std::atomic<int> ok{0}, eio{0}, gone{0}, other{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++)
    threads.emplace_back([&, t] {
      std::vector<uint8_t> buf(65536, (uint8_t)t);
      while (!stop) {
        int r = simk::user_io("sds", t % 2, (uint64_t)t * 65536, buf.data(), buf.size());
        (r == 0 ? ok : r == -EIO ? eio : r == -ENXIO ? gone : other)++;
        if (r == -ENXIO) break;
      }
    });
  while (ok < 20) std::this_thread::yield();
  EXPECT_EQ(simk::disk_remove("sds"), 0);
  for (auto &th : threads) th.join();
  EXPECT_EQ(other.load(), 0);
  EXPECT_EQ(gone.load(), 4) << "every thread sees the disk go";
}

TEST(DiskTest, PartitionsComeFromTheMbrsPrimaryEntries) {
  simtest::Disk disk("sdf", 16 << 20, "", simtest::mbr({{2048, 8192}, {10240, 4096}}));
  ASSERT_EQ(disk.add_result(), 0);
  auto info = simk::disks();
  ASSERT_EQ(info.size(), 1u);
  ASSERT_EQ(info[0].parts.size(), 2u);
  EXPECT_EQ(info[0].parts[0].name, "sdf1");
  EXPECT_EQ(info[0].parts[0].start_sect, 2048u);
  EXPECT_EQ(info[0].parts[0].nr_sects, 8192u);
  EXPECT_EQ(info[0].parts[1].name, "sdf2");
  EXPECT_EQ(info[0].parts[1].minor, info[0].minor + 2);
  std::vector<uint8_t> data = pattern(4096, 1);
  ASSERT_EQ(simk::user_io("sdf2", true, 0, data.data(), data.size()), 0);
  EXPECT_EQ(disk.read_image(10240ull * 512, 4096), data);
  EXPECT_EQ(simk::user_io("sdf2", true, 4096ull * 512, data.data(), 4096), -EIO)
      << "past the partition's end";
}

TEST(DiskTest, DiskChangesAreReported) {
  int calls = 0;
  simk::on_disks_changed([&calls] { calls++; });
  {
    simtest::Disk disk("sdg", 1 << 20);
    simk::disk_rename("sdg", "sdg");
  }
  simk::on_disks_changed(nullptr);
  EXPECT_EQ(calls, 2);   // add and remove; a rename to the same name changes nothing
}

// SG_IO helpers.
struct Scsi {
  uint8_t sense[32];
  simk::SgIo io;
  int ret;
  Scsi(const std::string &dev, std::vector<uint8_t> cdb, std::vector<uint8_t> *data, int dir) {
    memset(sense, 0, sizeof(sense));
    io.cdb = cdb.data();
    io.cdb_len = (uint8_t)cdb.size();
    io.dxfer_direction = dir;
    io.dxferp = data ? data->data() : nullptr;
    io.dxfer_len = data ? (uint32_t)data->size() : 0;
    io.sbp = sense;
    io.mx_sb_len = sizeof(sense);
    ret = simk::sg_io(dev, io);
  }
};
constexpr int kFromDev = -3, kToDev = -2, kNone = -1;

std::vector<uint8_t> inquiry(const std::string &dev) {
  std::vector<uint8_t> d(98);
  Scsi s(dev, {0x12, 0, 0, 0, 0x62, 0}, &d, kFromDev);
  EXPECT_EQ(s.ret, 0);
  EXPECT_EQ(s.io.status, 0);
  return d;
}

// The GUID as the library reads it: the first type-1 designator, its text
// at designator byte 13; "" when the page does not hold one.
std::string guid_of(const std::string &dev, int *page_len = nullptr) {
  std::vector<uint8_t> d(256);
  Scsi s(dev, {0x12, 1, 0x83, 0, 0xFC, 0}, &d, kFromDev);
  if (s.ret || s.io.status) return "";
  int len = (d[2] << 8) | d[3];
  if (page_len) *page_len = len;
  if (len > 252) return "";
  const uint8_t *list = &d[4];
  for (int off = 0; off + 3 < len; off += 4 + list[off + 3]) {
    if ((list[off + 1] & 0x0f) != 1) continue;
    if (len < off + 49) return "";
    std::string g((const char *)list + off + 13, 36);
    for (char c : g)
      if (!(c == '-' || isalnum((unsigned char)c))) return "";
    return g;
  }
  return "";
}

TEST(ScsiTest, LunAnswersWithItsProductAndGuid) {
  simtest::Disk lun("sdn", 64 << 20, kGuid);
  ASSERT_EQ(lun.add_result(), 0);
  auto d = inquiry("sdn");
  EXPECT_EQ(std::string((char *)&d[8], 8), "UVO     ");
  EXPECT_EQ(std::string((char *)&d[16], 16), "ZELSolution     ");
  EXPECT_EQ(guid_of("sdn"), kGuid);

  std::vector<uint8_t> pages(16);
  Scsi p("sdn", {0x12, 1, 0x00, 0, 16, 0}, &pages, kFromDev);
  EXPECT_EQ(pages[1], 0x00);
  EXPECT_NE(std::string((char *)&pages[4], pages[3]).find('\x83'), std::string::npos);

  std::vector<uint8_t> cap(32);
  Scsi c("sdn", {0x9E, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x20, 0, 0}, &cap, kFromDev);
  ASSERT_EQ(c.io.status, 0);
  uint64_t last = 0;
  for (int i = 0; i < 8; i++) last = last << 8 | cap[i];
  uint32_t blk = (cap[8] << 24) | (cap[9] << 16) | (cap[10] << 8) | cap[11];
  EXPECT_EQ((last + 1) * blk, 64ull << 20);

  Scsi t("sdn", {0, 0, 0, 0, 0, 0}, nullptr, kNone);
  EXPECT_EQ(t.io.status, 0);
}

TEST(ScsiTest, PlainDiskHasAnotherVendorAndNoGuid) {
  simtest::Disk disk("sdo", 8 << 20);
  auto d = inquiry("sdo");
  EXPECT_NE(std::string((char *)&d[8], 8), "UVO     ");
  EXPECT_NE(std::string((char *)&d[16], 11), "ZELSolution");
  int len = -1;
  EXPECT_EQ(guid_of("sdo", &len), "");
  EXPECT_GT(len, 0) << "the page exists, without the designator";
}

TEST(ScsiTest, KnobsMakeTheMalformedPagesAndStandby) {
  simtest::Disk lun("sdp", 8 << 20, kGuid);
  int len = 0;
  ASSERT_EQ(simk::scsi_knob("sdp", "vpd_page_len_over"), 0);
  EXPECT_EQ(guid_of("sdp", &len), "");
  EXPECT_EQ(len, 253);
  ASSERT_EQ(simk::scsi_knob("sdp", "short_designator"), 0);
  EXPECT_EQ(guid_of("sdp"), "");
  ASSERT_EQ(simk::scsi_knob("sdp", "bad_guid_char"), 0);
  EXPECT_EQ(guid_of("sdp"), "");
  ASSERT_EQ(simk::scsi_knob("sdp", "standby"), 0);
  Scsi t("sdp", {0, 0, 0, 0, 0, 0}, nullptr, kNone);
  EXPECT_EQ(t.io.status, 2);
  ASSERT_GE(t.io.sb_len_wr, 14);
  EXPECT_EQ(t.sense[0] & 0x7f, 0x70);
  EXPECT_EQ(t.sense[2] & 0x0f, 0x02);
  EXPECT_EQ(t.sense[12], 0x04);
  EXPECT_EQ(t.sense[13], 0x0B);
  ASSERT_EQ(simk::scsi_knob("sdp", "none"), 0);
  EXPECT_EQ(guid_of("sdp"), kGuid);
  EXPECT_EQ(simk::scsi_knob("sdp", "bogus"), -EINVAL);
}

TEST(ScsiTest, ModeSelectIsKeptAndOtherCommandsAreIllegal) {
  simtest::Disk lun("sdq", 8 << 20, kGuid);
  std::vector<uint8_t> param = {0x00, 0x10, 0, 0, 0, 0, 0, 0, 0x22, 0x10, 0, 0, 0, 0, 0, 0};
  Scsi m("sdq", {0x55, 0, 0, 0, 0, 0, 0, 0, 0x10, 0}, &param, kToDev);
  EXPECT_EQ(m.io.status, 0);
  EXPECT_EQ(simk::scsi_last_mode_select("sdq"), param);

  std::vector<uint8_t> d(512);
  Scsi r("sdq", {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, &d, kFromDev);   // READ(10)
  EXPECT_EQ(r.io.status, 2);
  EXPECT_EQ(r.sense[2] & 0x0f, 0x05);

  simk::disk_offline("sdq");
  Scsi t("sdq", {0, 0, 0, 0, 0, 0}, nullptr, kNone);
  EXPECT_EQ(t.io.status, 2);
  EXPECT_EQ(t.sense[2] & 0x0f, 0x02);
  simk::disk_heal("sdq");

  EXPECT_EQ(Scsi("nosuch", {0, 0, 0, 0, 0, 0}, nullptr, kNone).ret, -ENXIO);
}

}  // namespace
