// The block-device scan against a fake root.
#include "blkdev.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "files.h"

namespace {

class BlkdevScan : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/mirctl-blkdev-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    blkdev_set_root_for_test(root_.c_str());
  }
  void TearDown() override {
    blkdev_set_root_for_test(nullptr);
    ASSERT_TRUE(testsupport::remove_tree(root_));
  }

  std::string path(const std::string& rel) const { return root_ + rel; }
  void mkdir_p(const std::string& rel) const {
    ASSERT_TRUE(testsupport::make_dirs(path(rel)));
  }
  void write(const std::string& rel, const std::string& text) const {
    std::ofstream(path(rel)) << text;
  }
  // Every path of a scan, in list order.
  std::vector<std::string> scan(int* result = nullptr) const {
    blkdev_link head;
    blkdev_list_init(&head);
    int r = scan_block_devices(&head);
    if (result != nullptr) *result = r;
    std::vector<std::string> paths;
    for (blkdev_link* p = head.next; p != &head; p = p->next)
      paths.push_back(blkdev_entry_of(p)->path);
    free_block_devices(&head);
    EXPECT_EQ(head.next, &head);
    return paths;
  }
  // The names of a directory in the order readdir gives them.
  std::vector<std::string> dir_order(const std::string& rel) const {
    std::vector<std::string> names;
    DIR* d = opendir(path(rel).c_str());
    for (struct dirent* de; d != nullptr && (de = readdir(d)) != nullptr;)
      names.push_back(de->d_name);
    if (d != nullptr) closedir(d);
    return names;
  }

  std::string root_;
};

TEST_F(BlkdevScan, SysBlockKeepsDisksNewestFirst) {
  const std::string long_name = "sd" + std::string(249, 'x');  // 251 characters
  for (const char* n : {"sda", "sdb", "sr0", "loop0", "dm-0", "cciss!c0d0", "hdc"})
    mkdir_p(std::string("/sys/block/") + n);
  mkdir_p("/sys/block/" + long_name);

  std::vector<std::string> expected;
  for (const std::string& n : dir_order("/sys/block")) {
    if (n == "sda" || n == "sdb" || n == "hdc") expected.push_back("/dev/" + n);
    if (n == "cciss!c0d0") expected.push_back("/dev/cciss/c0d0");
  }
  std::reverse(expected.begin(), expected.end());

  int result = -2;
  EXPECT_EQ(scan(&result), expected);
  EXPECT_EQ(result, 0);
}

TEST_F(BlkdevScan, EmptySysBlockGivesEmptyList) {
  mkdir_p("/sys/block");
  // /proc/partitions is only read when /sys/block cannot be opened.
  mkdir_p("/proc");
  write("/proc/partitions", "   8        0   1000 sda\n");
  int result = -2;
  EXPECT_TRUE(scan(&result).empty());
  EXPECT_EQ(result, 0);
}

TEST_F(BlkdevScan, ProcPartitionsWholeDisksAndDeviceMapper) {
  mkdir_p("/proc");
  write("/proc/partitions",
        "major minor  #blocks  name\n"
        "\n"
        "   8        0   1048576 sda\n"
        "   8        1    524288 sda1\n"
        "   3        0   1048576 hda\n"
        "   7        0      1000 loop0\n"
        " 253        0      1000 dm-0\n"
        "   8       16   1048576 sdb\n");
  write("/proc/devices",
        "Character devices:\n  1 mem\n 10 misc\n\nBlock devices:\n  8 sd\n"
        "253 device-mapper\n");
  mkdir_p("/dev/mapper");

  bool nodes = mknod(path("/dev/mapper/vg-root").c_str(), S_IFBLK | 0600,
                     makedev(253, 0)) == 0 &&
               mknod(path("/dev/mapper/control").c_str(), S_IFCHR | 0600,
                     makedev(10, 236)) == 0;
  write("/dev/mapper/.hidden", "");

  std::vector<std::string> expected = {"/dev/sdb", "/dev/hda", "/dev/sda"};
  if (nodes) expected.insert(expected.begin(), "/dev/mapper/vg-root");
  int result = -2;
  EXPECT_EQ(scan(&result), expected);
  EXPECT_EQ(result, 0);
  if (!nodes) GTEST_SKIP() << "no device nodes can be made here: " << strerror(errno);
}

TEST_F(BlkdevScan, ProcPartitionsWithoutDevMapper) {
  mkdir_p("/proc");
  write("/proc/partitions", "   8        0   1048576 sda\n");
  int result = -2;
  EXPECT_EQ(scan(&result), std::vector<std::string>{"/dev/sda"});
  EXPECT_EQ(result, 0);
}

TEST_F(BlkdevScan, NothingToReadFails) {
  int result = 0;
  EXPECT_TRUE(scan(&result).empty());
  EXPECT_EQ(result, -1);
  EXPECT_EQ(scan_block_devices(nullptr), -1);
}

TEST_F(BlkdevScan, DeviceMapperMajor) {
  EXPECT_EQ(is_dm_major(253), 0);  // no /proc/devices
  mkdir_p("/proc");
  write("/proc/devices", "Block devices:\n  8 sd\n253 device-mapper\n254 mdp\n");
  EXPECT_EQ(is_dm_major(253), 1);
  EXPECT_EQ(is_dm_major(8), 0);
  EXPECT_EQ(is_dm_major(254), 0);
  EXPECT_EQ(is_dm_major(25), 0);
}

}  // namespace
