// GUID records and texts; what the lookups refuse before touching a disk.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <string>

#include "disk_id_internal.h"
#include "log_capture.h"
#include "mirapi/disk_id.h"

namespace {

TEST(LibGuidText, SignatureGuid) {
  struct Case {
    uint32_t sig;
    const char* text;
  } cases[] = {
      {0x1234abcd, "1234abcd-0000-0000-0000-000000000000"},
      {0, "00000000-0000-0000-0000-000000000000"},
      {0xffffffff, "ffffffff-0000-0000-0000-000000000000"},
      {0xa, "0000000a-0000-0000-0000-000000000000"},
  };
  for (const auto& c : cases) {
    char buf[HM_GUID_BUF_LEN];
    EXPECT_EQ(signature_to_uuid(c.sig, buf), buf);
    EXPECT_STREQ(buf, c.text);
  }
}

TEST(LibGuidText, RecordToTextAndBack) {
  guid_t g = {0x3f2a9c10, 0x77ab, 0x4c1e, {0x9d, 0x2b, 0x5e, 0x6f, 0x7a, 0x8b, 0x9c, 0x0d}};
  char buf[64];
  memset(buf, 'Z', sizeof(buf));
  ASSERT_EQ(guid_to_string(&g, buf, 37), buf);
  EXPECT_STREQ(buf, "3f2a9c10-77ab-4c1e-9d2b-5e6f7a8b9c0d");

  guid_t back;
  memset(&back, 0xee, sizeof(back));
  ASSERT_EQ(string_to_guid("3F2A9C10-77AB-4C1E-9D2B-5E6F7A8B9C0D", &back), 0);
  EXPECT_EQ(memcmp(&back, &g, sizeof(g)), 0);
}

TEST(LibGuidText, BufferAndTextLimits) {
  guid_t g = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  char buf[64];
  struct Case {
    int size;
    bool ok;
  } sizes[] = {{32, false}, {33, false}, {36, false}, {37, true}, {64, true}};
  for (const auto& c : sizes) {
    memset(buf, 'Z', sizeof(buf));
    char* r = guid_to_string(&g, buf, c.size);
    EXPECT_EQ(r != nullptr, c.ok) << c.size;
    if (!c.ok) {
      EXPECT_EQ(buf[0], 'Z') << c.size;   // nothing cut is handed back
    }
  }

  guid_t out;
  EXPECT_EQ(string_to_guid("1234abcd-0000-0000-0000-0000000", &out), -1);   // 31 characters
  EXPECT_EQ(string_to_guid("1234abcd-0000-0000-0000-00000000", &out), 0);   // 32
  EXPECT_EQ(out.data1, 0x1234abcdu);
  EXPECT_EQ(string_to_guid(nullptr, &out), -1);
}

TEST(LibDiskLookup, SignatureZeroIsNoIdentity) {
  char path[HM_NAME_LEN] = "untouched";
  EXPECT_EQ(find_disk_by_signature(0, path), -1);
  EXPECT_STREQ(path, "untouched");
  EXPECT_EQ(find_disk_by_uuid(nullptr, path), -1);
  EXPECT_EQ(find_disk_by_uuid("", path), -1);
}

TEST(LibDiskLookup, PartitionsAreKnownByTheirSysfsAttribute) {
  char dir[] = "/tmp/libtest-sysfs-dev-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  EXPECT_FALSE(mirapi::sysfs_is_partition(dir));
  std::string attr = std::string(dir) + "/partition";
  FILE* f = fopen(attr.c_str(), "w");
  fputs("1\n", f);
  fclose(f);
  EXPECT_TRUE(mirapi::sysfs_is_partition(dir));
  unlink(attr.c_str());
  rmdir(dir);
  EXPECT_FALSE(mirapi::sysfs_is_partition("/nonexistent/zelmir"));
}

TEST(LibDiskSignature, RefusesWhatIsNoBlockDevice) {
  char path[] = "/tmp/libtest-disk-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  char zeros[1024] = {};
  ASSERT_EQ(write(fd, zeros, sizeof(zeros)), 1024);
  close(fd);
  uint32_t sig = 5;
  EXPECT_EQ(get_volume_signature(path, &sig), -1);
  EXPECT_EQ(sig, 5u);
  EXPECT_EQ(write_volume_signature(path, 0x11223344), -1);
  EXPECT_TRUE(libtest::syslog_contains("is not a block device"));
  EXPECT_EQ(get_volume_signature("/nonexistent/zelmir-disk", &sig), -1);
  unlink(path);

  char buf[HM_GUID_BUF_LEN];
  EXPECT_EQ(get_guid_by_name(nullptr, buf), -1);
  EXPECT_EQ(get_guid_by_name("/dev/sdb", nullptr), -1);
}

// A file of the given size standing in for a disk.
class ShortDisk : public ::testing::Test {
 protected:
  int make(size_t size) {
    unlink(path_);
    strcpy(path_, "/tmp/libtest-short-XXXXXX");
    int fd = mkstemp(path_);
    std::string bytes(size, '\0');
    if (size >= 444) memcpy(&bytes[440], "\xcd\xab\x34\x12", 4);
    EXPECT_EQ(write(fd, bytes.data(), size), static_cast<ssize_t>(size));
    return fd;
  }
  void TearDown() override { unlink(path_); }
  char path_[64] = "/tmp/libtest-short-XXXXXX";
};

TEST_F(ShortDisk, ShortReadIsAnErrorEvenWithErrnoZero) {
  int fd = make(442);
  uint32_t sig = 0;
  const char* step = "";
  errno = 0;
  EXPECT_EQ(mirapi::signature_at(fd, &sig, false, &step), -EIO);
  EXPECT_STREQ(step, "read");
  close(fd);

  fd = make(1024);
  EXPECT_EQ(mirapi::signature_at(fd, &sig, false, &step), 0);
  EXPECT_EQ(sig, 0x1234abcdu);
  close(fd);
}

TEST_F(ShortDisk, ShortWriteIsAnErrorEvenWithErrnoZero) {
  int fd = make(0);
  // A file size limit of 442 bytes lets only 2 of the 4 bytes through.
  struct rlimit old;
  getrlimit(RLIMIT_FSIZE, &old);
  struct rlimit lim = old;
  lim.rlim_cur = 442;
  signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &lim);
  uint32_t sig = 0x11223344;
  const char* step = "";
  errno = 0;
  int rc = mirapi::signature_at(fd, &sig, true, &step);
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, SIG_DFL);
  EXPECT_EQ(rc, -EIO);
  EXPECT_STREQ(step, "write");
  close(fd);

  int ro = open(path_, O_RDONLY);
  EXPECT_EQ(mirapi::signature_at(ro, &sig, true, &step), -EBADF);
  close(ro);
}

}  // namespace
