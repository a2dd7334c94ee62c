// The device tree simkernel keeps: files in a scratch directory, and the
// same tree under /sys of a private mount namespace read back by libsysfs.
#include <climits>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
#include <sysfs/libsysfs.h>
}

#include "device_tree.h"
#include "namespaces.h"

namespace {

std::string slurp(const std::string& p) {
  std::ifstream in(p);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool exists(const std::string& p) {
  struct stat st;
  return lstat(p.c_str(), &st) == 0;
}

std::string real(const std::string& p) {
  char buf[PATH_MAX];
  return realpath(p.c_str(), buf) ? buf : "";
}

sim::TreeDisk disk(const std::string& name, unsigned minor, bool parts) {
  sim::TreeDisk d;
  d.name = name;
  d.minor = minor;
  d.size = 64ull << 20;
  d.vendor = "UVO";
  d.model = "ZELSolution";
  d.rev = "0001";
  if (parts) {
    d.parts.push_back({name + "1", minor + 1, 2048, 65536});
    d.parts.push_back({name + "2", minor + 2, 67584, 63488});
  }
  return d;
}

class SimDeviceTree : public ::testing::Test {
 protected:
  void SetUp() override {
    char t[] = "/tmp/simtree-XXXXXX";
    root_ = mkdtemp(t);
    paths_.sys = root_ + "/sys";
    paths_.dev = root_ + "/dev";
    paths_.partitions = root_ + "/partitions";
    paths_.devices = root_ + "/devices";
    sim::make_dirs(paths_.dev);
  }
  void TearDown() override { sim::remove_tree(root_); }
  std::string root_;
  sim::TreePaths paths_;
};

TEST_F(SimDeviceTree, ShowsDisksAndPartitionsAsLinuxDoes) {
  sim::DeviceTree t(paths_);
  ASSERT_EQ(t.init(), 0);
  auto ev = t.sync({disk("sdb", 16, true), disk("sdc", 32, false)});
  const std::string sys = paths_.sys;

  std::string b = real(sys + "/block/sdb");
  ASSERT_FALSE(b.empty());
  EXPECT_EQ(b.rfind(real(sys) + "/devices/platform/host0/target0:0:", 0), 0u) << b;
  EXPECT_EQ(slurp(sys + "/block/sdb/dev"), "8:16\n");
  EXPECT_EQ(slurp(sys + "/block/sdb/size"), "131072\n");
  EXPECT_EQ(slurp(sys + "/block/sdb/removable"), "0\n");
  EXPECT_EQ(slurp(sys + "/block/sdb/queue/hw_sector_size"), "512\n");
  EXPECT_EQ(slurp(sys + "/block/sdb/device/vendor"), "UVO     \n");
  EXPECT_EQ(slurp(sys + "/block/sdb/device/model"), "ZELSolution     \n");
  EXPECT_EQ(slurp(sys + "/block/sdb/device/state"), "running\n");
  EXPECT_TRUE(exists(sys + "/block/sdb/device/delete"));
  EXPECT_EQ(slurp(sys + "/block/sdb/sdb1/dev"), "8:17\n");
  EXPECT_EQ(slurp(sys + "/block/sdb/sdb1/start"), "2048\n");
  EXPECT_EQ(slurp(sys + "/block/sdb/sdb1/size"), "65536\n");
  EXPECT_EQ(slurp(sys + "/block/sdb/sdb2/partition"), "2\n");
  EXPECT_EQ(real(sys + "/class/block/sdb1"), real(sys + "/block/sdb/sdb1"));
  EXPECT_EQ(real(sys + "/class/block/sdc"), real(sys + "/block/sdc"));
  EXPECT_EQ(real(sys + "/dev/block/8:32"), real(sys + "/block/sdc"));
  EXPECT_EQ(real(sys + "/block/sdb/subsystem"), real(sys + "/class/block"));
  EXPECT_NE(real(sys + "/block/sdb/device"), real(sys + "/block/sdc/device"));
  for (const char* n : {"sdb", "sdb1", "sdb2", "sdc"}) {
    struct stat st;
    ASSERT_EQ(stat((paths_.dev + "/" + n).c_str(), &st), 0) << n;
    EXPECT_TRUE(S_ISREG(st.st_mode) && st.st_size == 0) << n;  // never a device node
  }
  EXPECT_EQ(slurp(paths_.partitions),
            "major minor  #blocks  name\n\n"
            "   8       16      65536 sdb\n"
            "   8       17      32768 sdb1\n"
            "   8       18      31744 sdb2\n"
            "   8       32      65536 sdc\n");
  EXPECT_NE(slurp(paths_.devices).find("Block devices:\n259 blkext\n  8 sd\n"), std::string::npos);

  ASSERT_EQ(ev.size(), 4u);
  EXPECT_EQ(ev[0].action, "add");
  EXPECT_EQ(ev[0].devtype, "disk");
  EXPECT_EQ(ev[1].devtype, "partition");
  EXPECT_EQ(ev[1].devpath, ev[0].devpath + "/sdb1");
  EXPECT_EQ("/sys" + ev[0].devpath, b.substr(real(sys).size() - 4));
}

TEST_F(SimDeviceTree, RemoveRenameAndOfflineFollowAtOnce) {
  sim::DeviceTree t(paths_);
  ASSERT_EQ(t.init(), 0);
  t.sync({disk("sdb", 16, true), disk("sdc", 32, false)});
  struct stat before;
  ASSERT_EQ(stat(paths_.partitions.c_str(), &before), 0);

  auto renamed = disk("sdd", 16, false);  // sdb renamed, its partitions gone
  auto sdc = disk("sdc", 32, false);
  sdc.offline = true;
  auto ev = t.sync({renamed, sdc});
  const std::string sys = paths_.sys;
  for (const char* gone : {"/block/sdb", "/class/block/sdb", "/class/block/sdb1", "/dev/block/8:17"})
    EXPECT_FALSE(exists(sys + gone)) << gone;
  for (const char* n : {"sdb", "sdb1", "sdb2"}) EXPECT_FALSE(exists(paths_.dev + "/" + n)) << n;
  EXPECT_TRUE(exists(paths_.dev + "/sdd"));
  EXPECT_EQ(slurp(sys + "/block/sdd/dev"), "8:16\n");
  EXPECT_EQ(slurp(sys + "/block/sdc/device/state"), "offline\n");
  EXPECT_EQ(slurp(paths_.partitions),
            "major minor  #blocks  name\n\n   8       16      65536 sdd\n   8       32      65536 sdc\n");
  // Rewritten in place: a bind mount of the file still shows the new text.
  struct stat after;
  ASSERT_EQ(stat(paths_.partitions.c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);

  std::vector<std::string> seen;
  for (const auto& e : ev) seen.push_back(e.action + " " + e.name);
  EXPECT_EQ(seen, (std::vector<std::string>{"remove sdb2", "remove sdb1", "remove sdb", "add sdd"}));

  t.sync({});
  EXPECT_FALSE(exists(sys + "/block/sdd"));
  EXPECT_FALSE(exists(sys + "/devices/platform/host0/target0:0:0"));
  EXPECT_EQ(t.delete_files().size(), 0u);
}

// libsysfs takes /sys only when /proc/mounts lists a sysfs there; a tmpfs
// over the real sysfs, as a simulated host has, satisfies it.
TEST(SimDeviceTreeSysfs, LibsysfsListsTheDisks) {
  std::string out = testsupport::run_isolated(0, [] {
    if (mount("tmpfs", "/sys", "tmpfs", 0, "size=4m") < 0) return std::string("mount /sys failed");
    char t[] = "/tmp/simtree-XXXXXX";
    std::string root = mkdtemp(t);
    sim::TreePaths p;
    p.dev = root;
    p.partitions = root + "/partitions";
    p.devices = root + "/devices";
    sim::DeviceTree tree(p);
    tree.init();
    tree.sync({disk("sdb", 16, true), disk("sdc", 32, false)});
    std::string r;
    sysfs_class* cls = sysfs_open_class("block");
    if (!cls) return std::string("sysfs_open_class failed");
    std::set<std::string> names;
    dlist* devs = sysfs_get_class_devices(cls);
    sysfs_class_device* cd;
    if (devs) {
      dlist_for_each_data(devs, cd, sysfs_class_device) {
        names.insert(cd->name);
        if (std::string(cd->name) == "sdb") {
          sysfs_attribute* a = sysfs_get_classdev_attr(cd, "dev");
          if (!a || std::string(a->value) != "8:16\n") r += "sdb dev attribute wrong; ";
          sysfs_device* dev = sysfs_get_classdev_device(cd);
          if (!dev) {
            r += "sdb has no device; ";
          } else {
            sysfs_attribute* m = sysfs_get_device_attr(dev, "model");
            if (!m || std::string(m->value) != "ZELSolution     \n") r += "model wrong; ";
          }
        }
      }
    }
    sysfs_close_class(cls);
    // With /sys/block present libsysfs lists what it holds: the whole disks,
    // as on a 2.6.32 host; partitions are found below them.
    if (names != std::set<std::string>{"sdb", "sdc"}) {
      r += "listed:";
      for (const auto& n : names) r += " " + n;
      r += "; ";
    }
    sim::remove_tree(root);
    return r.empty() ? std::string("ok") : r;
  });
  EXPECT_EQ(out, "ok");
}

}  // namespace
