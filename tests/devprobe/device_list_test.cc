// The probed-device list and the architecture hook, through a fake inquiry
// and a fake architecture.
#include <gtest/gtest.h>
#include <sys/time.h>

#include <string>
#include <thread>
#include <vector>

#include "fake_outside.h"
#include "zel/zel_device.h"

namespace {

using fake::LogLine;

const std::string kGuid1 = "{6a3e1d3c-0b61-4bde-9d2c-6f3a4d5e6f70}";
const std::string kGuid2 = "{0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0}";

fake::Disk lun(const std::string& braced_guid) { return {0, braced_guid + std::string(1, '\0'), 0}; }
fake::Disk plain() { return {0, "", 0}; }
fake::Disk failing() { return {-5, "", 0}; }

LogLine probing() { return {"debug", "zel_device_probe_all", 121, 3, "Probing all SCSI Device ......"}; }
LogLine registered(const std::string& path) {
  return {"debug", "zel_device_add", 91, 3, "Register device " + path};
}

std::vector<std::string> listed() {
  std::vector<std::string> names;
  for (zel_device_t* d = zel_device_get_next(nullptr); d; d = zel_device_get_next(d))
    names.push_back(d->name);
  return names;
}

class DeviceList : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::reset();
    zel_device_free_all();
    Zel_set_architecture(&fake::arch);
  }
  void TearDown() override {
    zel_device_free_all();
    Zel_set_architecture(&zel_linux_arch);
  }
  void offer(const std::vector<std::pair<std::string, fake::Disk>>& disks) {
    auto& s = fake::state();
    std::lock_guard<std::mutex> l(s.mu);
    s.offered.clear();
    for (const auto& [path, disk] : disks) {
      s.offered.push_back(path);
      s.disks[path] = disk;
    }
  }
  std::vector<LogLine> log() {
    auto& s = fake::state();
    std::lock_guard<std::mutex> l(s.mu);
    return s.log;
  }
};

TEST(DeviceArch, LoadingInstallsTheLinuxArchitecture) {
  EXPECT_EQ(zel_arch, &zel_linux_arch);
  EXPECT_EQ(Zel_set_architecture(nullptr), 1);
  EXPECT_EQ(zel_arch, nullptr);
  EXPECT_EQ(Zel_set_architecture(&zel_linux_arch), 1);
  EXPECT_EQ(using_little_endian(), 1);
}

TEST_F(DeviceList, ProbeKeepsLunsInOrderAndLogsEachDevice) {
  offer({{"/dev/sdb", lun(kGuid1)},
         {"/dev/sdc", plain()},
         {"/dev/sdd", lun(kGuid2)},
         {"/dev/sde", failing()}});
  fake::state().probe_result = 7;
  EXPECT_EQ(zel_device_probe_all(1), 7);
  EXPECT_EQ(fake::state().probe_flags, std::vector<int>{1});
  EXPECT_EQ(listed(), (std::vector<std::string>{"/dev/sdb", "/dev/sdd"}));

  zel_device_t* first = zel_device_get_next(nullptr);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->value, 0);
  EXPECT_EQ(std::string(first->guid), kGuid1);
  EXPECT_EQ(zel_device_get_next(first)->value, 2);

  EXPECT_EQ(log(), (std::vector<LogLine>{
                       probing(),
                       registered("/dev/sdb"),
                       {"debug", "zel_device_add", 95, 3, "Device /dev/sdc(GUID )is not a ZEL Device"},
                       registered("/dev/sdd"),
                       {"error", "zel_device_add", 100, -1, "failed to register device /dev/sde (T10)"},
                   }));
}

TEST_F(DeviceList, DuplicatesByNameAndByGuid) {
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, fake::Disk>> disks;
    int refuse_dup_guid;
    std::vector<std::string> want;
  };
  const Case cases[] = {
      {"same path twice", {{"/dev/sdb", lun(kGuid1)}, {"/dev/sdb", lun(kGuid1)}}, 0, {"/dev/sdb"}},
      {"second path to a LUN, refused",
       {{"/dev/sdb", lun(kGuid1)}, {"/dev/sdc", lun(kGuid1)}, {"/dev/sdd", lun(kGuid2)}},
       1,
       {"/dev/sdb", "/dev/sdd"}},
      {"second path to a LUN, kept",
       {{"/dev/sdb", lun(kGuid1)}, {"/dev/sdc", lun(kGuid1)}},
       0,
       {"/dev/sdb", "/dev/sdc"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fake::reset();
    offer(c.disks);
    fake::state().refuse_dup_guid = c.refuse_dup_guid;
    zel_device_probe_all(1);
    EXPECT_EQ(listed(), c.want);
    // A duplicate is logged as registered all the same.
    std::vector<LogLine> want_log = {probing()};
    for (const auto& d : c.disks) want_log.push_back(registered(d.first));
    EXPECT_EQ(log(), want_log);
  }
}

TEST_F(DeviceList, EveryProbeRebuildsTheList) {
  offer({{"/dev/sdb", lun(kGuid1)}, {"/dev/sdc", lun(kGuid2)}});
  zel_device_probe_all(1);
  offer({{"/dev/sdd", lun(kGuid1)}});
  zel_device_probe_all(1);
  EXPECT_EQ(listed(), std::vector<std::string>{"/dev/sdd"});
  EXPECT_EQ(fake::state().probes, 2);
}

TEST_F(DeviceList, WithoutArchitectureAProbeOnlyEmptiesTheList) {
  EXPECT_EQ(zel_device_get_next(nullptr), nullptr);
  offer({{"/dev/sdb", lun(kGuid1)}});
  zel_device_probe_all(1);
  ASSERT_EQ(listed().size(), 1u);
  fake::reset();
  Zel_set_architecture(nullptr);
  zel_device_probe_all(1);
  EXPECT_EQ(zel_device_get_next(nullptr), nullptr);
  EXPECT_EQ(fake::state().probes, 0);
  EXPECT_TRUE(log().empty());
}

// The inquiry's record need not hold a terminator after the braced GUID (or
// anywhere): the list compares and logs the 38 bytes from byte 51 only.
TEST_F(DeviceList, TextsOfTheRecordAreBoundedToTheBracedGuid) {
  std::string no_braces(38, 'x');
  offer({{"/dev/sdb", {0, kGuid1, 'a'}},  // braced, then 'a' to the end of the record
         {"/dev/sdc", {0, kGuid1, 'b'}},  // the same GUID, other bytes after it
         {"/dev/sdd", {0, "", 'x'}}});    // no braces, no terminator anywhere
  zel_device_probe_all(1);
  EXPECT_EQ(listed(), std::vector<std::string>{"/dev/sdb"});
  std::vector<LogLine> l = log();
  ASSERT_EQ(l.size(), 4u);
  EXPECT_EQ(l[3], (LogLine{"debug", "zel_device_add", 95, 3,
                           "Device /dev/sdd(GUID " + no_braces + ")is not a ZEL Device"}));
}

// The udev monitor and mark threads probe at once: each probe empties and
// rebuilds the list, and the list must come out whole every time.
TEST_F(DeviceList, ConcurrentProbesLeaveOneWholeList) {
  offer({{"/dev/sdb", lun(kGuid1)}, {"/dev/sdc", plain()}, {"/dev/sdd", lun(kGuid2)}});
  fake::state().slow = true;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++)
    threads.emplace_back([] {
      for (int i = 0; i < 200; i++) zel_device_probe_all(1);
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(listed(), (std::vector<std::string>{"/dev/sdb", "/dev/sdd"}));
}

TEST(DeviceArch, EndiannessSwap) {
  struct Case {
    std::vector<unsigned char> in;
    int len;
    std::vector<unsigned char> want;
  };
  const Case cases[] = {
      {{1, 2, 3, 4, 5}, 5, {5, 4, 3, 2, 1}},
      {{1, 2, 3, 4}, 4, {4, 3, 2, 1}},
      {{1, 2, 3, 4}, 2, {2, 1, 3, 4}},
      {{9}, 1, {9}},
      {{1, 2}, 0, {1, 2}},
      {{1, 2}, -3, {1, 2}},
  };
  for (const auto& c : cases) {
    std::vector<unsigned char> b = c.in;
    EXPECT_EQ(endianness_swap(b.data(), c.len), 0);
    EXPECT_EQ(b, c.want) << "length " << c.len;
  }
  EXPECT_EQ(endianness_swap(nullptr, 4), -1);
}

TEST(DeviceArch, TimestampIsWallClockMicroseconds) {
  struct timeval before, after;
  gettimeofday(&before, nullptr);
  uint64_t t = get_current_timestamp_microsec();
  gettimeofday(&after, nullptr);
  EXPECT_GE(t, static_cast<uint64_t>(before.tv_sec) * 1000000 + before.tv_usec);
  EXPECT_LE(t, static_cast<uint64_t>(after.tv_sec) * 1000000 + after.tv_usec);
}

}  // namespace
