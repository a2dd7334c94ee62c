// simkernel in whole simulated hosts: the device files follow the disks,
// libsysfs and libudev see them, NBD clients get the kernel's errors, and a
// hostile client harms nobody.
#include <cstring>
#include <fstream>
#include <sstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <chrono>

#include "eventually.h"
#include "simhost.h"

namespace {

using testsupport::SimHost;

constexpr char kGuid[] = "6a3e1d3c-0b61-4bde-9d2c-6f3a4d5e6f70";

std::string prog(const std::string& name) { return testsupport::test_program(name); }

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(SimE2e, DeviceFilesFollowEveryDiskChange) {
  SimHost h({"--disk", "sdb:64M", "--lun", std::string("sdc:32M:") + kGuid});
  auto r = h.exec({"cat", "/proc/partitions"});
  EXPECT_TRUE(has(r.out, "   8       16      65536 sdb\n")) << r.out;
  EXPECT_TRUE(has(r.out, "   8       32      32768 sdc\n")) << r.out;
  r = h.exec({"sh", "-c",
              "ls /sys/block /sys/class/block; cat /sys/block/sdc/device/model /sys/block/sdb/dev "
              "/sys/block/sdb/size; test -f /dev/sdb -a ! -s /dev/sdb && echo devfile; "
              "grep -c ' sd$' /proc/devices"});
  EXPECT_TRUE(has(r.out, "ZELSolution")) << r.out;
  EXPECT_TRUE(has(r.out, "8:16\n131072\ndevfile\n")) << r.out;
  r = h.simctl({"disks"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(has(r.out, kGuid)) << r.out;

  // libsysfs inside the host lists the disks, with their SCSI model.
  r = h.exec({prog("simtest_sysfs")});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(has(r.out, "sdb 8:16 ")) << r.out;
  EXPECT_TRUE(has(r.out, "sdc 8:32 ZELSolution\n")) << r.out;

  ASSERT_EQ(h.simctl({"disk", "remove", "sdb"}).status, 0);
  r = h.exec({"sh", "-c", "ls /sys/block /sys/class/block /dev; cat /proc/partitions"});
  EXPECT_FALSE(has(r.out, "sdb")) << r.out;
  EXPECT_FALSE(has(h.read_file("/etc/simhost/host.conf"), "disk sdb ")) << h.read_file("/etc/simhost/host.conf");

  ASSERT_EQ(h.simctl({"disk", "rename", "sdc", "sdd"}).status, 0);
  r = h.exec({"sh", "-c", "ls /sys/block /dev; cat /proc/partitions /sys/block/sdd/dev"});
  EXPECT_FALSE(has(r.out, "sdc")) << r.out;
  EXPECT_TRUE(has(r.out, "sdd")) << r.out;
  EXPECT_TRUE(has(r.out, "8:32\n")) << r.out;
  std::string conf = h.read_file("/etc/simhost/host.conf");
  EXPECT_TRUE(has(conf, std::string("disk sdd ")) && has(conf, kGuid)) << conf;

  ASSERT_EQ(h.simctl({"disk", "add", "sde", "16M"}).status, 0);
  struct stat st;
  ASSERT_EQ(stat(h.image("sde").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 16 << 20);
  r = h.exec({"sh", "-c", "cat /sys/block/sde/dev; test -f /dev/sde && echo devfile"});
  EXPECT_EQ(r.out, "8:64\ndevfile\n");

  // As on Linux, writing 1 to the SCSI device's delete removes the disk.
  h.exec({"sh", "-c", "echo 1 > /sys/block/sde/device/delete"});
  EXPECT_TRUE(testsupport::eventually([&] { return h.exec({"test", "-e", "/sys/block/sde"}).status != 0; },
                                      std::chrono::seconds(5), std::chrono::milliseconds(100)));
  EXPECT_FALSE(has(h.exec({"cat", "/proc/partitions"}).out, "sde"));

  // Bad commands fail with a reason and leave everything as it was.
  struct {
    std::vector<std::string> args;
    const char* says;
  } bad[] = {
      {{"disk", "remove", "nosuch"}, "nosuch"},
      {{"disk", "add", "../evil", "1M"}, "bad disk name"},
      {{"disk", "add", "sdd", "1M"}, "exists"},
      {{"disk", "add", "sdf", "12Q"}, "bad size"},
      {{"disk", "fail", "sdd", "sideways"}, "read, write or all"},
      {{"disk", "rename", "sdd", "a/b"}, "bad disk name"},
      {{"frobnicate"}, "usage"},
  };
  for (const auto& b : bad) {
    r = h.simctl(b.args);
    EXPECT_NE(r.status, 0) << b.args[0];
    EXPECT_TRUE(has(r.out, b.says)) << r.out;
  }
  EXPECT_TRUE(has(h.simctl({"disks"}).out, "sdd"));
}

// An MBR on the image at boot gives partitions: devices of their own whose
// I/O lands at their start on the disk.
TEST(SimE2e, PartitionsAreDevicesOfTheirOwn) {
  SimHost h({"--disk", "sdb:64M"}, false);
  {
    std::fstream img(h.image("sdb"), std::ios::in | std::ios::out | std::ios::binary);
    unsigned char mbr[512] = {};
    auto entry = [&](int i, uint32_t start, uint32_t n) {
      unsigned char* e = mbr + 446 + 16 * i;
      e[4] = 0x83;
      memcpy(e + 8, &start, 4);
      memcpy(e + 12, &n, 4);
    };
    entry(0, 2048, 32768);
    entry(1, 34816, 96256);
    mbr[510] = 0x55;
    mbr[511] = 0xaa;
    img.write(reinterpret_cast<char*>(mbr), sizeof mbr);
  }
  h.start();
  auto r = h.exec({"sh", "-c", "cat /proc/partitions /sys/class/block/sdb2/start; ls /dev"});
  EXPECT_TRUE(has(r.out, "   8       17      16384 sdb1\n   8       18      48128 sdb2\n")) << r.out;
  EXPECT_TRUE(has(r.out, "34816\n")) << r.out;
  EXPECT_TRUE(has(r.out, "sdb1\nsdb2\n")) << r.out;
  r = h.exec({prog("simtest_nbd"), "write", "sdb1", "0", "4096", "0x42"});
  EXPECT_EQ(r.out, "ok\n");
  r = h.exec({prog("simtest_nbd"), "read", "sdb", std::to_string(2048 * 512), "4096", "0x42"});
  EXPECT_EQ(r.out, "ok\n");
}

TEST(SimE2e, WriteErrorReachesTheNbdClientAndHealWorks) {
  SimHost h({"--disk", "sdb:32M"});
  ASSERT_EQ(h.simctl({"disk", "fail", "sdb", "write"}).status, 0);
  auto r = h.exec({prog("simtest_nbd"), "write", "sdb", "4096", "4096", "0x41"});
  EXPECT_EQ(r.out, "errno 5\n");
  r = h.exec({prog("simtest_nbd"), "read", "sdb", "4096", "4096", "0"});
  EXPECT_EQ(r.out, "ok\n");  // reads still work, and nothing was written
  ASSERT_EQ(h.simctl({"disk", "heal", "sdb"}).status, 0);
  r = h.exec({prog("simtest_nbd"), "write", "sdb", "4096", "4096", "0x41"});
  EXPECT_EQ(r.out, "ok\n");
  r = h.exec({prog("simtest_nbd"), "read", "sdb", "4096", "4096", "0x41"});
  EXPECT_EQ(r.out, "ok\n");
  std::ifstream img(h.image("sdb"), std::ios::binary);
  img.seekg(4096);
  char c = 0;
  img.read(&c, 1);
  EXPECT_EQ(c, 'A');
}

TEST(SimE2e, HostileNbdClientDoesNotDisturbAnother) {
  SimHost h({"--disk", "sdb:16M"});
  auto r = h.exec({prog("simtest_nbd"), "hostile", "sdb"});
  EXPECT_EQ(r.out, "ok\n");
  EXPECT_EQ(h.simctl({"disks"}).status, 0);  // and simkernel is still there
}

// simkernel is the host's first process: orphans end up its children and it
// must reap them, or the host fills with zombies.
TEST(SimE2e, OrphansAreReaped) {
  SimHost h({"--disk", "sdb:8M"});
  h.exec({"sh", "-c", "for i in 1 2 3 4 5; do (sleep 0.2; exit 3) & done; exit 0"});
  // Done once no orphan runs any more (their command line holds "exit 3")
  // and none is left a zombie.
  std::string zombies, running;
  testsupport::eventually(
      [&] {
        zombies = h.exec({"sh", "-c", "grep -l '^State:.*Z' /proc/[0-9]*/status; true"}).out;
        running = h.exec({"sh", "-c", "grep -l 'exi[t] 3' /proc/[0-9]*/cmdline; true"}).out;
        return zombies.empty() && running.empty();
      },
      std::chrono::seconds(5), std::chrono::milliseconds(100));
  EXPECT_EQ(running, "") << "the orphans have ended";
  EXPECT_EQ(zombies, "");
}

TEST(SimE2e, SyslogAndUdevEvents) {
  SimHost h({"--disk", "sdb:16M"});
  h.exec({"logger", "-t", "simtest", "hello from the host"});
  EXPECT_TRUE(testsupport::eventually([&] { return has(h.simctl({"log"}).out, "hello from the host"); },
                                      std::chrono::seconds(5), std::chrono::milliseconds(100)))
      << h.simctl({"log"}).out;
  EXPECT_TRUE(has(h.read_file("/var/log/messages"), "<13>"));

  // The monitor runs in the background; the disk comes and goes once it listens.
  h.exec({"sh", "-c", prog("simtest_udev") + " 2 </dev/null >/tmp/ev 2>&1 &"});
  EXPECT_TRUE(testsupport::eventually([&] { return has(h.read_file("/tmp/ev"), "listening\n"); },
                                      std::chrono::seconds(10), std::chrono::milliseconds(20)));
  h.exec({"sh", "-c", "simctl disk add sdf 8M; simctl disk remove sdf"});
  EXPECT_TRUE(testsupport::eventually(
      [&] { return has(h.read_file("/tmp/ev"), "add /dev/sdf disk\nremove /dev/sdf disk\n"); },
      std::chrono::seconds(10), std::chrono::milliseconds(20)))
      << h.read_file("/tmp/ev");
}

}  // namespace

namespace {

using testsupport::ExecResult;

std::string machine_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// /etc/issue, /etc/redhat-release and /etc/mtab are this machine's until a
// test writes the host's own, while the host runs or before it starts (a
// symlink such as Debian's /etc/mtab is replaced, not written through).
TEST(SimE2e, DistributionFilesAreTheMachinesUntilATestWritesItsOwn) {
  SimHost h({}, false);
  const std::string mtab = "/dev/sdb1 / ext4 rw 0 0\n/dev/sdc1 /boot ext4 rw 0 0\n";
  h.write_file("/etc/mtab", mtab);
  h.start();
  ExecResult r = h.exec({"cat", "/etc/issue"});
  EXPECT_EQ(r.out, machine_file("/etc/issue"));
  EXPECT_EQ(h.exec({"cat", "/etc/mtab"}).out, mtab);

  h.write_file("/etc/issue", "\\S\nKernel \\r on an \\m\n");
  h.write_file("/etc/redhat-release", "Red Hat Enterprise Linux Server release 6.4 (Santiago)\n");
  h.write_file("/etc/mtab", "/dev/sdd2 / ext4 rw 0 0\n");
  r = h.exec({"sh", "-c", "head -n1 /etc/issue /etc/redhat-release /etc/mtab"});
  EXPECT_EQ(r.out,
            "==> /etc/issue <==\n\\S\n\n"
            "==> /etc/redhat-release <==\nRed Hat Enterprise Linux Server release 6.4 (Santiago)\n\n"
            "==> /etc/mtab <==\n/dev/sdd2 / ext4 rw 0 0\n");
  // What the host was given stays over a reboot.
  h.stop();
  h.start();
  EXPECT_EQ(h.exec({"cat", "/etc/mtab"}).out, "/dev/sdd2 / ext4 rw 0 0\n");
}

}  // namespace
