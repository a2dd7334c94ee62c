// Whole simulated hosts: real NBD clients against simkernel's disks, error
// injection, hosts side by side, crash and restart, the reboot chain, and
// simhost's own command line.
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "files.h"
#include "simhost.h"

namespace {

using testsupport::ExecResult;
using testsupport::SimHost;

constexpr char kGuid[] = "5a3c1e2f-0b4d-4c6e-8f10-2233445566aa";
constexpr size_t kDataSize = 16 << 20;

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string parent_of(const std::string& path) { return path.substr(0, path.rfind('/')); }

// A file of random bytes outside the host, in the test's own temp dir (which
// the host sees at the same path through its overlay).
std::string random_file(const SimHost& h, const std::string& name, size_t size) {
  std::string path = parent_of(h.dir()) + "/" + name;
  std::ifstream rnd("/dev/urandom", std::ios::binary);
  std::string data(size, '\0');
  rnd.read(data.data(), size);
  std::ofstream(path, std::ios::binary) << data;
  return path;
}

std::string read_prefix(const std::string& path, size_t size) {
  std::ifstream in(path, std::ios::binary);
  std::string data(size, '\0');
  in.read(data.data(), size);
  data.resize(in.gcount());
  return data;
}

bool same_prefix(const std::string& a, const std::string& b, size_t size) {
  std::string x = read_prefix(a, size), y = read_prefix(b, size);
  return x.size() == size && x == y;
}

// Runs simhost itself outside any host; returns its exit status.
int simhost(const std::vector<std::string>& args, std::string* out = nullptr) {
  std::string cmd = "'" + testsupport::bin_dir() + "/simhost'";
  for (const std::string& a : args) cmd += " '" + a + "'";
  cmd += " 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return -1;
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
  int st = pclose(p);
  if (out) *out = text;
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

std::string make_tmp() {
  char tmpl[] = "/tmp/zelmir-test-XXXXXX";
  return mkdtemp(tmpl) ? tmpl : "";
}

void remove_tmp(const std::string& dir) {
  if (dir.compare(0, 17, "/tmp/zelmir-test-") == 0) testsupport::remove_tree(dir);
}

// ---- real NBD clients ------------------------------------------------------

struct Client {
  const char* name;
  std::vector<std::string> (*write)(const std::string& file, const std::string& uri);
  std::vector<std::string> (*read)(const std::string& uri, const std::string& file);
};

const Client kClients[] = {
    {"nbdcopy",
     [](const std::string& f, const std::string& u) { return std::vector<std::string>{"nbdcopy", f, u}; },
     [](const std::string& u, const std::string& f) { return std::vector<std::string>{"nbdcopy", u, f}; }},
    {"qemu-img",
     [](const std::string& f, const std::string& u) {
       return std::vector<std::string>{"qemu-img", "convert", "-n", "-f", "raw", "-O", "raw", f, u};
     },
     [](const std::string& u, const std::string& f) {
       return std::vector<std::string>{"qemu-img", "convert", "-f", "raw", "-O", "raw", u, f};
     }},
};

TEST(Host, RealClientsWriteAnImageAndReadItBackIdentical) {
  SimHost h({"--disk", "sdb:64M", "--lun", std::string("sdc:64M:") + kGuid});
  std::string data = random_file(h, "data", kDataSize);
  const char* disks[] = {"sdb", "sdc"};
  for (size_t i = 0; i < 2; ++i) {
    const Client& c = kClients[i];
    SCOPED_TRACE(std::string(c.name) + " on " + disks[i]);
    ExecResult r = h.exec(c.write(data, h.nbd_uri(disks[i])));
    ASSERT_EQ(r.status, 0) << r.out;
    // Read back inside, into the host's own /tmp, and compare there.
    std::string back = std::string("/tmp/back-") + disks[i];
    r = h.exec(c.read(h.nbd_uri(disks[i]), back));
    ASSERT_EQ(r.status, 0) << r.out;
    r = h.exec({"cmp", "-n", std::to_string(kDataSize), data, back});
    EXPECT_EQ(r.status, 0) << r.out;
    // The image outside holds the same bytes: the write went to the disk.
    EXPECT_TRUE(same_prefix(data, h.image(disks[i]), kDataSize));
  }
}

TEST(Host, InjectedErrorsReachRealClientsAndHealedDiskWorksAgain) {
  SimHost h({"--disk", "sdb:16M"});
  auto qemu_io = [&](const std::string& cmd) {
    return h.exec({"qemu-io", "-f", "raw", "-c", cmd, h.nbd_uri("sdb")});
  };
  ASSERT_EQ(qemu_io("write -P 0x5a 0 64k").status, 0);
  struct Case {
    const char* mode;
    bool read_fails, write_fails;
  } cases[] = {{"write", false, true}, {"read", true, false}, {"all", true, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("disk fail sdb ") + c.mode);
    ExecResult r = h.simctl({"disk", "fail", "sdb", c.mode});
    ASSERT_EQ(r.status, 0) << r.out;
    r = qemu_io("write -P 0x33 64k 64k");
    EXPECT_EQ(r.status != 0, c.write_fails) << r.out;
    if (c.write_fails) {
      EXPECT_TRUE(has(r.out, "Input/output error")) << r.out;
    }
    r = qemu_io("read -P 0x5a 0 64k");
    EXPECT_EQ(r.status != 0, c.read_fails) << r.out;
    if (c.read_fails) {
      EXPECT_TRUE(has(r.out, "Input/output error")) << r.out;
    }
    // A whole-image copy fails as a whole when writes fail.
    if (c.write_fails) {
      std::string data = random_file(h, "data", 1 << 20);
      EXPECT_NE(h.exec({"nbdcopy", data, h.nbd_uri("sdb")}).status, 0);
    }
    r = h.simctl({"disk", "heal", "sdb"});
    ASSERT_EQ(r.status, 0) << r.out;
    r = qemu_io("write -P 0x5a 0 64k");
    EXPECT_EQ(r.status, 0) << r.out;
    r = qemu_io("read -P 0x5a 0 64k");
    EXPECT_EQ(r.status, 0) << r.out;
  }
}

// ---- hosts side by side ----------------------------------------------------

TEST(Host, TwoHostsRunningAtOnceKeepTheirFilesDisksAndPortsApart) {
  SimHost a({"--disk", "sdb:16M"});
  SimHost b({"--disk", "sdb:16M"});
  std::string marker = "/etc/zelmir-e2e-" + a.dir().substr(a.dir().size() - 6);

  ASSERT_EQ(a.exec({"sh", "-c", "echo a > " + marker + "; echo a > /var/run/e2e-a; echo a > /tmp/e2e-a"}).status, 0);
  EXPECT_EQ(a.read_file(marker), "a\n");
  for (const char* path : {"", "/var/run/e2e-a", "/tmp/e2e-a"}) {
    std::string p = *path ? path : marker;
    EXPECT_NE(b.exec({"test", "-e", p}).status, 0) << p << " leaked into the other host";
  }
  struct stat st;
  EXPECT_NE(stat(marker.c_str(), &st), 0) << "the host wrote this machine's " << marker;

  EXPECT_NE(a.exec({"hostname"}).out, b.exec({"hostname"}).out);

  // Each kernel has its own disks: a disk added in one is not in the other,
  // and data written into one host's sdb is not in the other's.
  ASSERT_EQ(a.simctl({"disk", "add", "sdd", "8M"}).status, 0);
  EXPECT_TRUE(has(a.simctl({"disks"}).out, "sdd"));
  EXPECT_FALSE(has(b.simctl({"disks"}).out, "sdd"));
  EXPECT_NE(b.exec({"test", "-e", "/sys/block/sdd"}).status, 0);
  std::string data = random_file(a, "data", 1 << 20);
  ASSERT_EQ(a.exec({"nbdcopy", data, a.nbd_uri("sdb")}).status, 0);
  EXPECT_TRUE(same_prefix(data, a.image("sdb"), 1 << 20));
  EXPECT_EQ(read_prefix(b.image("sdb"), 1 << 20), std::string(1 << 20, '\0'));

  // The same port is free in both: each host has its own network.
  for (SimHost* h : {&a, &b}) {
    ExecResult r = h->exec({"sh", "-c",
                            "nbdkit -p 10809 -P /var/run/e2e-nbdkit.pid memory 1M </dev/null >/dev/null 2>&1 "
                            "&& nbdinfo --size nbd://localhost:10809"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, "1048576")) << r.out;
  }
}

// ---- crash, stop and start again -------------------------------------------

TEST(Host, CrashAndStartAgainKeepsWhatWasWritten) {
  SimHost h({"--disk", "sdb:64M"});
  std::string data = random_file(h, "data", kDataSize);
  ASSERT_EQ(h.exec({"nbdcopy", data, h.nbd_uri("sdb")}).status, 0);
  ASSERT_EQ(h.exec({"sh", "-c", "echo kept > /etc/e2e-kept; echo stale > /var/run/e2e-stale"}).status, 0);
  ASSERT_EQ(h.simctl({"disk", "add", "sdd", "8M"}).status, 0);

  h.crash();
  h.start();

  ExecResult r = h.exec({"nbdcopy", h.nbd_uri("sdb"), "/tmp/back"});
  ASSERT_EQ(r.status, 0) << r.out;
  r = h.exec({"cmp", "-n", std::to_string(kDataSize), data, "/tmp/back"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(h.read_file("/etc/e2e-kept"), "kept\n");
  // /var/run is emptied at boot, as on a real host; the disk set survives.
  EXPECT_NE(h.exec({"test", "-e", "/var/run/e2e-stale"}).status, 0);
  EXPECT_TRUE(has(h.simctl({"disks"}).out, "sdd"));
}

TEST(Host, RebootChainRunsOnStopAndNotOnCrash) {
  SimHost h({"--disk", "sdb:16M", "--module", testsupport::tests_dir() + "/e2e_rebootmod.so"});
  const std::string line = "e2e_rebootmod: reboot notifier ran";
  EXPECT_TRUE(has(h.simctl({"dmesg"}).out, "e2e_rebootmod: loaded"));
  EXPECT_FALSE(has(h.read_file("/var/run/simkernel/kmsg"), line));

  h.stop();   // the log of a stopped host stays until the next boot empties /var/run
  EXPECT_TRUE(has(h.read_file("/var/run/simkernel/kmsg"), line)) << h.read_file("/var/run/simkernel/kmsg");

  h.start();
  EXPECT_FALSE(has(h.read_file("/var/run/simkernel/kmsg"), line));
  h.crash();
  std::string kmsg = h.read_file("/var/run/simkernel/kmsg");
  EXPECT_TRUE(has(kmsg, "e2e_rebootmod: loaded")) << kmsg;
  EXPECT_FALSE(has(kmsg, line)) << kmsg;
}

// The namespaces of a running host, by their inode texts ("pid:[4026532...]").
std::set<std::string> namespaces_of(pid_t pid) {
  std::set<std::string> ns;
  for (const char* kind : {"pid", "mnt", "net"}) {
    char buf[64];
    ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/ns/" + kind).c_str(), buf, sizeof buf);
    if (n > 0) ns.insert(std::string(buf, n));
  }
  return ns;
}

// Start time of a process (field 22 of /proc/PID/stat); empty when gone.
std::string start_time(const std::string& pid) {
  std::string stat = read_prefix("/proc/" + pid + "/stat", 1024);
  size_t close = stat.rfind(')');
  if (close == std::string::npos) return "";
  std::istringstream in(stat.substr(close + 2));
  std::string field;
  for (int i = 3; i <= 22 && in >> field; ++i) {
  }
  return field;
}

// The processes of this machine in any of those namespaces, by pid and start
// time (namespace inode numbers are recycled, so a later check goes by these).
std::set<std::pair<std::string, std::string>> processes_in(const std::set<std::string>& ns) {
  std::set<std::pair<std::string, std::string>> procs;
  DIR* d = opendir("/proc");
  while (struct dirent* e = d ? readdir(d) : nullptr) {
    if (e->d_name[0] < '1' || e->d_name[0] > '9') continue;
    for (const char* kind : {"pid", "mnt", "net"}) {
      char buf[64];
      ssize_t n = readlink((std::string("/proc/") + e->d_name + "/ns/" + kind).c_str(), buf, sizeof buf);
      if (n > 0 && ns.count(std::string(buf, n))) {
        procs.insert({e->d_name, start_time(e->d_name)});
        break;
      }
    }
  }
  if (d) closedir(d);
  return procs;
}

TEST(Host, StopAndCrashEndEveryProcessOfTheHost) {
  SimHost h({"--disk", "sdb:16M"});
  for (bool crash : {false, true}) {
    SCOPED_TRACE(crash ? "crash" : "stop");
    // Background programs that would outlive a careless shutdown.
    ASSERT_EQ(h.exec({"sh", "-c", "sleep 600 </dev/null >/dev/null 2>&1 & "
                                  "nbdkit -p 10809 memory 1M </dev/null >/dev/null 2>&1"}).status, 0);
    std::string pid_text = read_prefix(h.dir() + "/run/pid", 64);
    pid_t first = atoi(pid_text.c_str());
    ASSERT_GT(first, 1) << pid_text;
    std::set<std::string> ns = namespaces_of(first);
    ASSERT_EQ(ns.size(), 3u);
    auto procs = processes_in(ns);
    EXPECT_GE(procs.size(), 3u);
    if (crash) h.crash();
    else h.stop();
    for (const auto& [pid, started] : procs)
      EXPECT_NE(start_time(pid), started) << "process " << pid << " outlived its host";
    std::string status;
    EXPECT_EQ(simhost({"status", h.dir()}, &status), 3) << status;
    if (!crash) h.start();
  }
  h.start();   // boots again on the same directory
  EXPECT_EQ(h.simctl({"disks"}).status, 0);
}

// ---- simhost's command line ------------------------------------------------

TEST(Host, SimhostCreateRefusesBadArgumentsAndCreatesNothing) {
  std::string tmp = make_tmp();
  ASSERT_FALSE(tmp.empty());
  std::string dir = tmp + "/host";
  const std::string long_guid = std::string(kGuid) + "0";
  const std::string bad_char_guid = std::string(kGuid).replace(8, 1, "_");
  struct Case {
    std::vector<std::string> args;
    int status;
  } cases[] = {
      {{"--disk", "sdb"}, 1},
      {{"--disk", "sdb:0"}, 1},
      {{"--disk", "sdb:12X"}, 1},
      {{"--disk", "sdb:1000"}, 1},          // not whole sectors
      {{"--disk", "sdb:-1M"}, 1},
      {{"--disk", "sdb:99999999999999999999"}, 1},
      {{"--disk", "hda:64M"}, 1},
      {{"--disk", "sd1:64M"}, 1},
      {{"--disk", "sdb:64M", "--disk", "sdb:32M"}, 1},
      {{"--disk", "sdb:64M", "--lun", std::string("sdb:64M:") + kGuid}, 1},
      {{"--lun", "sdc:64M"}, 1},
      {{"--lun", "sdc:64M:short"}, 1},
      {{"--lun", "sdc:64M:" + long_guid}, 1},
      {{"--lun", "sdc:64M:" + bad_char_guid}, 1},
      {{"--lun", std::string("sdc:64M:") + kGuid, "--lun", std::string("sdd:64M:") + kGuid}, 1},
      {{"--module", tmp + "/no-such-module.so"}, 1},
      {{"--bogus"}, 2},
      {{"--disk"}, 2},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"create", dir};
    args.insert(args.end(), c.args.begin(), c.args.end());
    std::string out, shown;
    for (const std::string& a : c.args) shown += a + " ";
    EXPECT_EQ(simhost(args, &out), c.status) << shown << out;
    EXPECT_TRUE(has(out, "simhost:") || has(out, "usage:")) << shown << out;
    struct stat st;
    EXPECT_NE(stat(dir.c_str(), &st), 0) << shown << "left " << dir;
    testsupport::remove_tree(dir);   // a failed case must not spoil the next
  }

  // A directory that is not empty is never reused.
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  std::ofstream(dir + "/keep") << "mine";
  EXPECT_EQ(simhost({"create", dir, "--disk", "sdb:1M"}), 1);
  EXPECT_EQ(read_prefix(dir + "/keep", 16), "mine");
  struct stat st;
  EXPECT_NE(stat((dir + "/disks").c_str(), &st), 0);
  remove_tmp(tmp);
}

TEST(Host, SimhostCreateWritesTheHostDescriptionWithLinuxDeviceNumbers) {
  std::string tmp = make_tmp();
  std::string dir = tmp + "/host";
  std::string mod = tmp + "/mod.so";
  std::ofstream(mod) << "";
  ASSERT_EQ(simhost({"create", dir, "--disk", "sdb:64M", "--lun", std::string("sdc:1G:") + kGuid,
                     "--disk", "sdq:512", "--disk", "sdab:2K", "--module", mod}), 0);
  std::string conf = read_prefix(dir + "/host.conf", 4096);
  EXPECT_EQ(conf, "module " + mod + "\n"
                  "disk sdb /var/lib/simhost/disks/sdb.img 67108864 8:16\n"
                  "disk sdc /var/lib/simhost/disks/sdc.img 1073741824 8:32 " + kGuid + "\n"
                  "disk sdq /var/lib/simhost/disks/sdq.img 512 65:0\n"
                  "disk sdab /var/lib/simhost/disks/sdab.img 2048 65:176\n");
  EXPECT_EQ(read_prefix(dir + "/upper/etc/simhost/host.conf", 4096), conf);
  struct stat st;
  ASSERT_EQ(stat((dir + "/disks/sdc.img").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 1 << 30);
  EXPECT_LT(st.st_blocks, 64) << "the image is not sparse";
  // Not a host that runs: every command that needs one says so.
  std::string out;
  EXPECT_EQ(simhost({"exec", dir, "--", "true"}, &out), 1) << out;
  EXPECT_EQ(simhost({"stop", dir}, &out), 1) << out;
  EXPECT_EQ(simhost({"crash", dir}, &out), 1) << out;
  EXPECT_EQ(simhost({"status", dir}, &out), 3) << out;
  EXPECT_EQ(simhost({"start", tmp}, &out), 1) << out;   // not a host directory
  EXPECT_EQ(simhost({}, &out), 2);
  EXPECT_EQ(simhost({"exec", dir, "true"}, &out), 2);
  EXPECT_EQ(simhost({"stop"}, &out), 2);
  EXPECT_EQ(simhost({"reboot", dir}, &out), 2);
  remove_tmp(tmp);
}

TEST(Host, SimhostExecPassesStatusAndRefusesASecondStart) {
  SimHost h({"--disk", "sdb:16M"});
  EXPECT_EQ(h.exec({"sh", "-c", "exit 7"}).status, 7);
  EXPECT_EQ(h.exec({"sh", "-c", "kill -9 $$"}).status, 128 + 9);
  EXPECT_EQ(h.exec({"no-such-program"}).status, 127);
  ExecResult r = h.exec({"sh", "-c", "echo out; echo err >&2; echo $PATH; pwd; id -u"});
  EXPECT_EQ(r.out, "out\nerr\n/usr/local/zelmir/bin:/usr/sbin:/usr/bin:/sbin:/bin\n/\n0\n");
  // The system is installed where its package puts it.
  EXPECT_EQ(h.exec({"test", "-x", "/usr/local/zelmir/bin/simctl"}).status, 0);
  // ...with the empty directories the system expects and never makes itself.
  EXPECT_EQ(h.exec({"test", "-d", "/usr/local/zelmir/conf", "-a", "-d", "/boot/vyrbitmap"}).status, 0);
  std::string out;
  EXPECT_EQ(simhost({"start", h.dir()}, &out), 1);
  EXPECT_TRUE(has(out, "already running")) << out;
  EXPECT_EQ(simhost({"status", h.dir()}, &out), 0) << out;
  EXPECT_EQ(h.simctl({"disks"}).status, 0);   // and the first one still runs
}

}  // namespace
