// zelmird on simulated hosts with the real module: start and restart, a
// second instance, the local operations through libmirapi with the files
// they leave, disks that vanish, return or change name, CDP marks over TCP
// and locally, and a crash.
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "eventually.h"
#include "simhost.h"

namespace {

using testsupport::ExecResult;
using testsupport::SimHost;

const char kZelmird[] = "/usr/local/zelmir/bin/zelmird";
const std::string kClient = testsupport::test_program("zelmird_client");
const uint32_t kSig = 0x5d3f2a10;
const std::string kPrimaryGuid = "5d3f2a10-0000-0000-0000-000000000000";
const std::string kMirrorGuid = "6c3f1b2a-1111-2222-3333-444455556666";
const char kConf[] = "/usr/local/zelmir/conf/hmdev.conf";
const char kReg[] = "/boot/hmdevs.reg";
const char kCalls[] = "/var/log/zelcdpagt-calls.log";
const char kBootLog[] = "/var/log/update_bootimage.log";

bool module_built() {
  struct stat st;
  return stat((testsupport::lib_dir() + "/zelmir.so").c_str(), &st) == 0;
}

using std::chrono::milliseconds;
using std::chrono::seconds;
using testsupport::eventually;

// The first n bytes of a file outside the host.
std::string head_of(const std::string& path, size_t n) {
  std::string s(n, '\0');
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return "";
  ssize_t got = pread(fd, &s[0], n, 0);
  close(fd);
  s.resize(got > 0 ? got : 0);
  return s;
}

int count_of(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
  return n;
}

std::string conf_block(const std::string& status, const std::string& pname,
                       const std::string& mname, int mactive = 1) {
  return "hmdev {\n\tmode = 1\n\tstatus = " + status +
         "\n\tis_ha = 0\n"
         "\thmvol {\n\t\tname = " + pname + "\n\t\tid_type = 1\n\t\tsignature = 5d3f2a10\n"
         "\t\tguid = " + kPrimaryGuid + "\n\t\tmajor = 1\n\t\tactive = 1\n\t\tis_disk = 1\n"
         "\t\tlock = 0\n\t\tsize = 67108864\n\t}\n"
         "\thmvol {\n\t\tname = " + mname + "\n\t\tid_type = 2\n\t\tsignature = 0\n"
         "\t\tguid = " + kMirrorGuid + "\n\t\tmajor = 2\n\t\tactive = " + std::to_string(mactive) +
         "\n\t\tis_disk = 1\n\t\tlock = 0\n\t\tsize = 67108864\n\t}\n}\n";
}

std::string reg_line(const std::string& p, const std::string& m) {
  return p + "? volume_id_{" + kPrimaryGuid + "} " + m + "? volume_id_{" + kMirrorGuid +
         "} line_end\n";
}

std::string cdp_request(const std::string& cmd, const std::string& guid) {
  return "<?xml version=\"1.0\"?><CSocketMsgInfo><m_ParaNum>1</m_ParaNum><m_SendCommand>" + cmd +
         "</m_SendCommand><m_StrParaList><string>zel_{" + guid +
         "}</string></m_StrParaList></CSocketMsgInfo>";
}

std::string cdp_reply(const std::string& status, const std::string& code) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?><CRetMsgInfo><m_RepServiceStatus>" + status +
         "</m_RepServiceStatus><m_RetMsgInfo/><m_ErrorCode>" + code + "</m_ErrorCode></CRetMsgInfo>";
}

int error_lines_with(const std::string& log, const std::string& text);

class DaemonHost : public ::testing::Test {
 protected:
  DaemonHost() : h_({"--disk", "sdb:64M", "--lun", "sdc:64M:" + kMirrorGuid}, false) {}

  void SetUp() override {
    if (!module_built()) GTEST_SKIP() << "the zelmir module is not built";
    sign_primary();
    h_.start();
    prepare_package_dirs();
  }

  // The primary's disk signature, written into its image before the host runs.
  void sign_primary() {
    int fd = open(h_.image("sdb").c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, &kSig, sizeof(kSig), 440), (ssize_t)sizeof(kSig));
    close(fd);
  }

  // What the package places besides the programs.
  void prepare_package_dirs() {
    ExecResult r = h_.exec({"mkdir", "-p", "/usr/local/zelmir/conf", "/boot/vyrbitmap"});
    ASSERT_EQ(r.status, 0) << r.out;
  }

  // Starts the daemon and waits until it serves.
  ExecResult start_daemon(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> argv = {kZelmird};
    argv.insert(argv.end(), extra.begin(), extra.end());
    ExecResult r = h_.exec(argv);
    if (r.status == 0) {
      eventually(
          [&] {
            return h_.exec({"test", "-S", "/var/run/hm_unix"}).status == 0 && client({"stat"}).status == 0;
          },
          seconds(10), milliseconds(100));
    }
    return r;
  }

  // Kills the daemon and waits until it is gone (reaped), its pid lock free.
  void kill_daemon() {
    h_.exec({"sh", "-c", "kill -9 $(cat /var/run/zelmir.pid)"});
    EXPECT_TRUE(eventually(
        [&] { return h_.exec({"sh", "-c", "kill -0 $(cat /var/run/zelmir.pid) 2>/dev/null"}).status != 0; },
        seconds(10), milliseconds(20)));
  }

  ExecResult client(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {kClient};
    argv.insert(argv.end(), args.begin(), args.end());
    return h_.exec(argv);
  }

  void protect() {
    ExecResult r = client({"protect", kPrimaryGuid, kMirrorGuid});
    ASSERT_EQ(r.status, 0) << r.out << log();
  }

  void protect_and_sync() {
    protect();
    ExecResult r = client({"sync", kPrimaryGuid});
    ASSERT_EQ(r.status, 0) << r.out;
    r = client({"wait-sync", kPrimaryGuid, "60"});
    ASSERT_EQ(r.status, 0) << r.out << log();
  }

  std::string stat_line() { return client({"stat", kPrimaryGuid}).out; }

  // Waits until the status of the protection holds the text.
  bool wait_stat(const std::string& text, int limit_s) {
    return eventually([&] { return stat_line().find(text) != std::string::npos; }, seconds(limit_s),
                      milliseconds(250));
  }

  bool wait_log(const std::string& text, int limit_s, int times = 1) {
    return eventually([&] { return count_of(log(), text) >= times; }, seconds(limit_s), milliseconds(250));
  }

  // Passes of the status thread ended since the first line that holds text.
  int passes_after(const std::string& text) {
    std::string l = log();
    size_t at = l.find(text);
    return at == std::string::npos ? 0 : count_of(l.substr(at), "status pass ");
  }

  std::string log() { return h_.read_file("/var/log/messages"); }

  // The end of the host's kernel log, to explain a host that went away.
  std::string kernel_tail() {
    FILE* f = fopen((h_.dir() + "/run/simkernel.log").c_str(), "r");
    if (!f) return "";
    std::string all;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) all.append(buf, n);
    fclose(f);
    return "\n--- simkernel.log (end) ---\n" + all.substr(all.size() > 3000 ? all.size() - 3000 : 0);
  }
  std::string status_of_conf() {
    std::string c = h_.read_file(kConf);
    size_t at = c.find("status = ");
    if (at == std::string::npos) return "";
    at += 9;
    return c.substr(at, c.find('\n', at) - at);
  }

  SimHost h_;
};

TEST_F(DaemonHost, StartsProtectsSyncsAndUnprotects) {
  ExecResult r = start_daemon();
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(h_.exec({"stat", "-c", "%a", "/var/run/hm_unix"}).out, "600\n");
  std::string pid = h_.read_file("/var/run/zelmir.pid");
  EXPECT_TRUE(pid.size() > 1 && pid.back() == '\n' &&
              pid.find_first_not_of("0123456789") == pid.size() - 1)
      << pid;
  EXPECT_EQ(h_.read_file(kConf), "") << "no file before any protection";

  protect();
  EXPECT_EQ(h_.read_file(kReg), reg_line("/dev/sdb", "/dev/sdc"));
  std::string status = status_of_conf();
  EXPECT_EQ(h_.read_file(kConf), conf_block(status, "/dev/sdb", "/dev/sdc"));
  EXPECT_EQ(h_.read_file("/boot/vyrbitmap/hm_" + kPrimaryGuid + ".bitmap").size(), 4113u);
  // The script runs after the rewrite, on its own.
  EXPECT_TRUE(eventually([&] { return count_of(h_.read_file(kBootLog), "update_bootimage.sh run") >= 1; },
                         seconds(10), milliseconds(50)));
  EXPECT_EQ(count_of(h_.read_file(kBootLog), "update_bootimage.sh run"), 1);
  EXPECT_EQ(client({"protect", kPrimaryGuid, kMirrorGuid}).status, 1) << "already protected";
  // Another user reaches nothing: only root may command the daemon.
  r = h_.exec({"setpriv", "--reuid", "65534", "--regid", "65534", "--clear-groups", kClient, "unprotect", kPrimaryGuid});
  EXPECT_NE(r.status, 0) << r.out;
  EXPECT_NE(client({"stat"}).out.find("count=1"), std::string::npos) << "still protected";
  std::string list = client({"stat"}).out;
  EXPECT_NE(list.find("count=1"), std::string::npos) << list;
  EXPECT_NE(list.find("index=0 percent=0 sync=UnSync run=Running primary=Up,/dev/sdb"), std::string::npos)
      << list;

  r = client({"sync", kPrimaryGuid, "50000"});
  EXPECT_EQ(r.status, 0) << r.out;
  r = client({"wait-sync", kPrimaryGuid, "60"});
  ASSERT_EQ(r.status, 0) << r.out << log();
  EXPECT_NE(stat_line().find("index=0 percent=100 sync=Sync Finished run=Running primary=Up,/dev/sdb,"
                             + kPrimaryGuid + " mirror=Up,/dev/sdc," + kMirrorGuid),
            std::string::npos)
      << stat_line();

  // Writes through NBD reach both disks.
  std::string data = h_.dir() + "/pattern";
  {
    FILE* f = fopen(data.c_str(), "w");
    for (int i = 0; i < 1 << 20; i++) fputc((i * 7) & 0xff, f);
    fclose(f);
  }
  r = h_.exec({"nbdcopy", data, h_.nbd_uri("sdb")});
  EXPECT_EQ(r.status, 0) << r.out;
  // Sector 0 of a protected primary keeps its signature; compare from sector 1.
  std::string want = head_of(data, 1 << 20).substr(512);
  EXPECT_EQ(head_of(h_.image("sdb"), 1 << 20).substr(512), want);
  EXPECT_EQ(head_of(h_.image("sdc"), 1 << 20).substr(512), want) << "the mirror has the writes";
  EXPECT_EQ(head_of(h_.image("sdb"), 444).substr(440), std::string(reinterpret_cast<const char*>(&kSig), 4));

  r = client({"stopsync", kPrimaryGuid});
  EXPECT_EQ(r.status, 1) << "nothing is syncing: " << r.out;
  r = client({"resync", kPrimaryGuid});
  EXPECT_EQ(r.status, 0) << r.out;
  ASSERT_EQ(client({"wait-sync", kPrimaryGuid, "60"}).status, 0);
  EXPECT_EQ(h_.read_file(kConf), conf_block(status_of_conf(), "/dev/sdb", "/dev/sdc"));
  EXPECT_EQ(std::stoul(status_of_conf(), nullptr, 16) & 4, 4u) << "initialization finished";

  r = client({"unprotect", kPrimaryGuid});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(h_.read_file(kConf), "");
  EXPECT_EQ(h_.read_file(kReg), "");
  EXPECT_TRUE(eventually([&] { return count_of(h_.read_file(kBootLog), "update_bootimage.sh run") >= 2; },
                         seconds(10), milliseconds(50)));
  EXPECT_EQ(count_of(h_.read_file(kBootLog), "update_bootimage.sh run"), 2);
  EXPECT_NE(client({"stat"}).out.find("count=0"), std::string::npos);
  EXPECT_EQ(client({"unprotect", kPrimaryGuid}).status, 1);
}

// A slow copy can be stopped and started again; the files keep the state.
TEST_F(DaemonHost, SlowSyncStopsAndResyncs) {
  ASSERT_EQ(start_daemon().status, 0);
  protect();
  ExecResult r = client({"sync", kPrimaryGuid, "500"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(wait_stat("sync=Sync On", 5)) << stat_line();
  r = client({"stopsync", kPrimaryGuid});
  EXPECT_EQ(r.status, 0) << r.out << log();
  EXPECT_TRUE(wait_stat("sync=Sync Cancelled", 10)) << stat_line();
  EXPECT_EQ(client({"stopsync", kPrimaryGuid}).status, 1) << "nothing to stop any more";
  r = client({"resync", kPrimaryGuid});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(wait_stat("sync=Sync On", 5)) << stat_line();
  EXPECT_EQ(h_.read_file(kConf), conf_block(status_of_conf(), "/dev/sdb", "/dev/sdc"));
  r = client({"unprotect", kPrimaryGuid});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(h_.read_file(kConf), "");
}

TEST_F(DaemonHost, BadLevelAndSecondInstance) {
  EXPECT_EQ(h_.exec({kZelmird, "-d", "8"}).status, 255);
  EXPECT_EQ(h_.exec({kZelmird, "-d", "x"}).status, 255);
  ASSERT_EQ(start_daemon({"-d", "7"}).status, 0);
  protect();
  std::string conf = h_.read_file(kConf), reg = h_.read_file(kReg);
  int adds = count_of(log(), "add protect primary");
  // A second instance takes the pid lock first: it fails and touches nothing.
  // Its starter returns once it has ended: whatever it did is done.
  ExecResult r = h_.exec({kZelmird});
  EXPECT_NE(r.status, 0) << r.out;
  EXPECT_EQ(count_of(log(), "add protect primary"), adds);
  EXPECT_EQ(h_.read_file(kConf), conf);
  EXPECT_EQ(h_.read_file(kReg), reg);
  EXPECT_EQ(client({"stat"}).status, 0) << "the first instance still serves";
}

TEST_F(DaemonHost, RestartReRegistersAndFollowsARenamedPrimary) {
  ASSERT_EQ(start_daemon().status, 0);
  protect_and_sync();
  kill_daemon();
  // Stale socket and pid file do not stop the next start.
  ASSERT_EQ(start_daemon().status, 0);
  EXPECT_TRUE(wait_stat("sync=Sync Finished run=Running primary=Up,/dev/sdb", 10)) << stat_line();

  kill_daemon();
  ExecResult r = h_.simctl({"disk", "rename", "sdb", "sdd"});
  ASSERT_EQ(r.status, 0) << r.out;
  ASSERT_EQ(start_daemon().status, 0);
  EXPECT_EQ(h_.read_file(kReg), reg_line("/dev/sdd", "/dev/sdc"));
  EXPECT_EQ(h_.read_file(kConf), conf_block(status_of_conf(), "/dev/sdd", "/dev/sdc"));
  EXPECT_TRUE(wait_stat("run=Running primary=Up,/dev/sdd", 15)) << stat_line();
  EXPECT_NE(log().find("add protect primary: /dev/sdd mirror: /dev/sdc"), std::string::npos);

  // Renamed while the daemon runs: the status thread follows it.
  r = h_.simctl({"disk", "rename", "sdd", "sde"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(wait_stat("primary=Up,/dev/sde", 25)) << stat_line();
  eventually([&] { return h_.read_file(kReg) == reg_line("/dev/sde", "/dev/sdc"); }, seconds(5),
             milliseconds(250));
  EXPECT_EQ(h_.read_file(kReg), reg_line("/dev/sde", "/dev/sdc"));
}

// A second plain disk carries the primary's signature (a clone, a restored
// snapshot): the signature names no disk.  volreadd, the library's protect
// by signature and a daemon start with the clone sorting first each refuse
// it, say so and send nothing; the protection waits, its status says why,
// until the clone is signed anew.
TEST_F(DaemonHost, ClonedPrimarySignatureIsRefusedEverywhere) {
  const char kMirctl[] = "/usr/local/zelmir/bin/mirctl";
  ASSERT_EQ(start_daemon().status, 0);
  protect_and_sync();
  ExecResult r = h_.simctl({"disk", "add", "sdd", "64M"});
  ASSERT_EQ(r.status, 0) << r.out;
  r = h_.exec({kMirctl, "disk", "mark", "/dev/sdd", "Signature=5d3f2a10"});
  ASSERT_EQ(r.status, 0) << r.out;
  int adds = count_of(log(), "add protect primary");

  ASSERT_EQ(h_.exec({"mkdir", "-p", "/vyrboot"}).status, 0);
  h_.write_file("/vyrboot/hmdevs.reg", h_.read_file(kReg));
  r = h_.exec({"/usr/local/zelmir/bin/volreadd", "/dev/sdd"});
  EXPECT_NE(r.out.find("The signature of /dev/sdd is on /dev/sdb and on /dev/sdd"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("Inform Kernel"), std::string::npos) << r.out;

  r = client({"protect", kPrimaryGuid, "7c3f1b2a-1111-2222-3333-444455556666"});
  EXPECT_NE(r.status, 0) << r.out;
  EXPECT_TRUE(wait_log("disk signature 5d3f2a10 is on /dev/sdb and /dev/sdd: it identifies no disk", 5))
      << log();

  // The daemon starts again, the primary renamed so that the clone sorts
  // first; the module still runs the protection on the primary.
  kill_daemon();
  r = h_.simctl({"disk", "rename", "sdb", "sdf"});
  ASSERT_EQ(r.status, 0) << r.out;
  ASSERT_EQ(start_daemon().status, 0);
  const std::string said = "identity " + kPrimaryGuid + " is on /dev/sdd and on /dev/sdf";
  EXPECT_EQ(error_lines_with(log(), said), 1) << log();
  EXPECT_TRUE(eventually([&] { return passes_after(said) >= 2; }, seconds(30), milliseconds(250)));
  EXPECT_EQ(count_of(log(), "add protect primary"), adds) << log();
  EXPECT_EQ(count_of(log(), "update hmdev: disk"), 0) << log();
  EXPECT_NE(stat_line().find("primary=Up,/dev/sdb,"), std::string::npos) << stat_line();

  // Loaded again, the module holds the protection closed: it waits.
  kill_daemon();
  ASSERT_EQ(h_.simctl({"rmmod"}).status, 0);
  ASSERT_EQ(h_.simctl({"insmod"}).status, 0);
  ASSERT_EQ(start_daemon().status, 0);
  EXPECT_TRUE(wait_stat("primary=Ambiguous,", 25)) << stat_line() << log();
  EXPECT_EQ(count_of(log(), "add protect primary"), adds) << log();

  // Signed anew, the clone is another disk: the primary is found again.
  r = h_.exec({kMirctl, "disk", "mark", "/dev/sdd", "Signature=0badcafe"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(wait_stat("run=Running primary=Up,/dev/sdf,", 40)) << stat_line() << log();
  EXPECT_NE(log().find("add protect primary: /dev/sdf mirror: /dev/sdc"), std::string::npos);
  EXPECT_EQ(log().find("add protect primary: /dev/sdd"), std::string::npos);
}

// A protect request whose paths are not the disks its identities name is
// refused with the primary's or the mirror's code, and nothing is made.
TEST_F(DaemonHost, ProtectRequestWithTheWrongDisksIsRefused) {
  const std::string kOtherGuid = "7d4e2c3b-1111-2222-3333-444455556666";
  ASSERT_EQ(start_daemon().status, 0);
  ASSERT_EQ(h_.simctl({"disk", "add", "sdd", "64M"}).status, 0);   // plain, unsigned
  ASSERT_EQ(h_.simctl({"disk", "add", "sde", "32M", "--lun", kOtherGuid}).status, 0);
  // sdf: a LUN with the mirror's GUID and a partition table; sdf1 answers
  // SCSI commands as sdf does.
  const std::string kPartedGuid = "8e5f3d4c-1111-2222-3333-444455556666";
  ASSERT_TRUE(testsupport::write_partition_table(h_.image("sdf"), 2048, 16384));
  ASSERT_EQ(h_.simctl({"disk", "add", "sdf", "128M", "--lun", kPartedGuid}).status, 0);
  ASSERT_EQ(h_.exec({"test", "-e", "/dev/sdf1"}).status, 0);
  const std::string sig = "5d3f2a10";
  struct Case {
    const char* what;
    std::vector<std::string> args;  // signature, primary, mirror, mirror GUID
    const char* code;
  } cases[] = {
      {"the primary carries another signature", {sig, "/dev/sdd", "/dev/sdc", kMirrorGuid}, "3"},
      {"signature 0", {"0", "/dev/sdd", "/dev/sdc", kMirrorGuid}, "3"},
      {"the mirror is no LUN", {sig, "/dev/sdb", "/dev/sdd", kMirrorGuid}, "4"},
      {"the mirror LUN has another GUID", {sig, "/dev/sdb", "/dev/sde", kMirrorGuid}, "4"},
      {"the mirror is the primary", {sig, "/dev/sdb", "/dev/sdb", kMirrorGuid}, "4"},
      {"the mirror is smaller", {sig, "/dev/sdb", "/dev/sde", kOtherGuid}, "4"},
      {"the mirror is a partition", {sig, "/dev/sdb", "/dev/sdf1", kPartedGuid}, "4"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv = {"rawprotect"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    ExecResult r = client(argv);
    EXPECT_EQ(r.out, std::string("retcode=") + c.code + "\n") << c.what;
  }
  EXPECT_EQ(count_of(log(), "add protect primary"), 0) << log();
  EXPECT_EQ(h_.read_file(kConf), "");
  EXPECT_EQ(h_.read_file(kReg), "");
  EXPECT_NE(client({"stat"}).out.find("count=0"), std::string::npos);
  // The right disks are taken.
  ExecResult r = client({"rawprotect", sig, "/dev/sdb", "/dev/sdc", kMirrorGuid});
  EXPECT_EQ(r.out, "retcode=0\n") << log();
}

// The mirror's path fails and returns (the disk stays): the daemon tells the
// module once, then adds the protection again.
TEST_F(DaemonHost, MirrorGoesOfflineAndReturns) {
  ASSERT_EQ(start_daemon().status, 0);
  protect_and_sync();
  ExecResult r = h_.simctl({"disk", "offline", "sdc"});
  ASSERT_EQ(r.status, 0) << r.out;
  const std::string offline = "mirror '/dev/sdc?(" + kMirrorGuid + ")' offline!";
  ASSERT_TRUE(wait_log(offline, 30)) << log() << kernel_tail();
  EXPECT_TRUE(wait_stat("mirror=", 1));
  // The pass that told the module ends, then the next one, which finds the
  // mirror still offline.
  ASSERT_TRUE(eventually([&] { return passes_after(offline) >= 2; }, seconds(30), milliseconds(250)))
      << log();
  EXPECT_EQ(count_of(log(), "update hmdev: disk 1"), 1) << "told once";
  r = h_.simctl({"disk", "heal", "sdc"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(wait_stat("mirror=Up,/dev/sdc", 40)) << stat_line() << kernel_tail();
  EXPECT_GE(count_of(log(), "add protect primary: /dev/sdb mirror: /dev/sdc "), 2);
  eventually([&] { return h_.read_file(kReg) == reg_line("/dev/sdb", "/dev/sdc"); }, seconds(10),
             milliseconds(250));
  EXPECT_NE(h_.read_file(kConf).find("\t\tname = /dev/sdc\n"), std::string::npos);
}

TEST_F(DaemonHost, MirrorVanishesAndReturns) {
  ASSERT_EQ(start_daemon().status, 0);
  protect_and_sync();
  ExecResult r = h_.simctl({"disk", "remove", "sdc"});
  ASSERT_EQ(r.status, 0) << r.out;
  ASSERT_TRUE(wait_stat("mirror=Lost", 30) || wait_stat("mirror=Faulty", 1))
      << stat_line() << kernel_tail();
  // The files follow the missing disk.
  eventually([&] { return h_.read_file(kConf).find("name = /dev/sdc?") != std::string::npos; }, seconds(25),
             milliseconds(250));
  EXPECT_NE(h_.read_file(kConf).find("\t\tname = /dev/sdc?\n"), std::string::npos) << h_.read_file(kConf);
  EXPECT_EQ(h_.read_file(kReg), reg_line("/dev/sdb", "/dev/sdc")) << "one mark only";

  r = h_.simctl({"disk", "add", "sdc", "64M", "--lun", kMirrorGuid});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(wait_stat("mirror=Up,/dev/sdc", 40)) << stat_line() << log();
  EXPECT_TRUE(wait_log("add protect primary: /dev/sdb mirror: /dev/sdc", 5, 2));
}

// "zelmir.conf" asks for dead mirrors to be deleted: a mirror that is DOWN
// for the kernel and the daemon, whose identity cannot be read through its
// path while its device file is still there, is deleted through sysfs only
// when the disk itself still says it is the mirror.  A disk that took the
// vanished mirror's name is left alone.
TEST_F(DaemonHost, DeadMirrorIsDeletedWhenAsked) {
  h_.write_file("/usr/local/zelmir/conf/zelmir.conf", "auto_del_faulty_mirror_disk = yes\n");
  ASSERT_EQ(start_daemon().status, 0);
  protect_and_sync();
  ExecResult r = h_.simctl({"disk", "remove", "sdc"});
  ASSERT_EQ(r.status, 0) << r.out;
  // A plain disk, never signed, under the mirror's name: it has no identity.
  {
    int fd = open(h_.image("sdc").c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    const uint32_t zero = 0;
    ASSERT_EQ(pwrite(fd, &zero, sizeof(zero), 440), (ssize_t)sizeof(zero));
    close(fd);
  }
  r = h_.simctl({"disk", "add", "sdc", "64M"});
  ASSERT_EQ(r.status, 0) << r.out;
  const std::string left = "mirror device /dev/sdc is DOWN in both of kernel and daemon, but it is not " +
                           kMirrorGuid + ": left alone";
  EXPECT_TRUE(wait_log(left, 45)) << log() << kernel_tail();
  EXPECT_EQ(h_.exec({"test", "-e", "/sys/class/block/sdc"}).status, 0) << "another disk stays";
  EXPECT_EQ(count_of(log(), "delete it from sys"), 0);

  r = h_.simctl({"disk", "remove", "sdc"});
  ASSERT_EQ(r.status, 0) << r.out;
  r = h_.simctl({"disk", "add", "sdc", "64M", "--lun", kMirrorGuid});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(wait_stat("mirror=Up,/dev/sdc", 40)) << stat_line() << log();
  r = h_.simctl({"disk", "fail", "sdc", "all"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(wait_log("is DOWN in both of kernel and daemon, and failed to get uuid, delete it from sys", 45))
      << log() << kernel_tail();
  EXPECT_TRUE(eventually([&] { return h_.exec({"test", "-e", "/sys/class/block/sdc"}).status != 0; },
                         seconds(5), milliseconds(250)))
      << "the disk was deleted" << kernel_tail();
}

TEST_F(DaemonHost, CdpMarksOverTcpAndLocally) {
  ASSERT_EQ(start_daemon().status, 0);
  protect_and_sync();
  ExecResult r = client({"tcp", cdp_request("ZEL_RC_CMD_CREATE_CDP", kMirrorGuid)});
  EXPECT_EQ(r.out, cdp_reply("RS_SUCCESS_START_CREATE_CDP", "0") + "\n");
  ASSERT_TRUE(wait_log("create_cdp_finished", 10));
  std::string calls = h_.read_file(kCalls);
  EXPECT_NE(calls.find("zel_log_init init system_log_off=1 printf_log_off=1"), std::string::npos)
      << calls;
  EXPECT_NE(calls.find("zel_set_logdaemon 1"), std::string::npos);
  EXPECT_NE(calls.find("zel_set_loglevel 9"), std::string::npos);
  EXPECT_NE(calls.find("Zel_parse_cfgfile /etc/ferrolux/zel.cfg"), std::string::npos);
  EXPECT_NE(calls.find("zel_call_markcdp end {" + kMirrorGuid + "} 0 result=0"), std::string::npos);

  r = client({"tcp", cdp_request("ZEL_RC_CMD_CREATE_TIMECDP", kMirrorGuid)});
  EXPECT_EQ(r.out, cdp_reply("RS_SUCCESS_START_CREATE_CDP", "0") + "\n");
  r = client({"tcp", cdp_request("ZEL_RC_CMD_NOPE", kMirrorGuid)});
  EXPECT_EQ(r.out, cdp_reply("RS_FAILED", "ffffffea") + "\n");
  r = client({"tcp", "<Wrong/>"});
  EXPECT_EQ(r.out, cdp_reply("RS_FAILED", "2a00002e") + "\n");
  r = client({"tcp", cdp_request("ZEL_RC_CMD_CREATE_CDP", kMirrorGuid) + std::string(2000, ' ')});
  EXPECT_EQ(r.out, cdp_reply("RS_SUCCESS_START_CREATE_CDP", "0") + "\n") << "oversized: first 1024 bytes";
  r = client({"mark", kMirrorGuid});
  EXPECT_EQ(r.status, 0) << r.out;
  eventually([&] { return count_of(h_.read_file(kCalls), "zel_call_markcdp end") >= 4; }, seconds(20),
             milliseconds(250));
  calls = h_.read_file(kCalls);
  EXPECT_EQ(count_of(calls, "zel_call_markcdp end"), 4) << calls;
  EXPECT_EQ(count_of(calls, "zel_call_markcdp begin {" + kMirrorGuid + "} 1"), 1);

  // A failing mark: the local road reports it, the network road only logs.
  h_.write_file("/etc/zelcdpagt/markcdp.answer", "-5 0\n");
  EXPECT_EQ(client({"mark", kMirrorGuid}).status, 1);
  r = client({"tcp", cdp_request("ZEL_RC_CMD_CREATE_CDP", kMirrorGuid)});
  EXPECT_EQ(r.out, cdp_reply("RS_SUCCESS_START_CREATE_CDP", "0") + "\n");

  // Both failing marks have ended (the network one runs after its reply),
  // and the host's syslog, written apart from the daemon, has every line
  // logged before a line sent now: only then are the guard's lines counted.
  EXPECT_TRUE(eventually([&] { return count_of(h_.read_file(kCalls), "zel_call_markcdp end") >= 6; },
                         seconds(20), milliseconds(100)))
      << h_.read_file(kCalls);
  h_.exec({"logger", "guard count mark"});
  EXPECT_TRUE(eventually([&] { return count_of(log(), "guard count mark") > 0; }, seconds(20),
                         milliseconds(50)));

  // Overlapping marks: the guard of all mirrors is lifted once and restored
  // once; an idle peer meanwhile does not stop the loop.
  h_.write_file("/etc/zelcdpagt/markcdp.answer", "0 1500\n");
  int lifts = count_of(log(), "CANCLE FORBID mirror all");
  int restores = count_of(log(), "FORBID mirror all") - lifts;
  std::thread idle([&] { client({"tcpidle", "8000", "/tmp/idle-connected"}); });
  EXPECT_TRUE(eventually([&] { return h_.exec({"test", "-e", "/tmp/idle-connected"}).status == 0; },
                         seconds(5), milliseconds(20)))
      << "the idle peer is connected";
  std::thread local([&] { client({"mark", kMirrorGuid}); });
  EXPECT_TRUE(eventually([&] { return count_of(log(), "CANCLE FORBID mirror all") > lifts; }, seconds(20),
                         milliseconds(20)))
      << "the local mark runs";
  r = client({"tcp", cdp_request("ZEL_RC_CMD_CREATE_CDP", kMirrorGuid)});
  EXPECT_EQ(r.out, cdp_reply("RS_SUCCESS_START_CREATE_CDP", "0") + "\n");
  local.join();
  idle.join();
  ASSERT_TRUE(wait_log("create_cdp_finished", 10, 8));
  // The last mark restores the guard after it logs its end.
  auto restored = [&] {
    std::string l = log();
    return count_of(l, "FORBID mirror all") - count_of(l, "CANCLE FORBID mirror all");
  };
  EXPECT_TRUE(eventually([&] { return restored() >= restores + 1; }, seconds(20), milliseconds(100)));
  std::string l = log();
  EXPECT_EQ(count_of(l, "CANCLE FORBID mirror all"), lifts + 1);
  EXPECT_EQ(count_of(l, "FORBID mirror all") - count_of(l, "CANCLE FORBID mirror all"), restores + 1);
}

// A boot image script that hangs holds up nobody: the protect that ran it,
// a status request and a mark are answered at once, and the script is
// killed once its time on the host's clock is up.
TEST_F(DaemonHost, HangingBootImageScriptWedgesNothing) {
  const char script[] = "/usr/local/zelmir/bin/update_bootimage.sh";
  ASSERT_EQ(start_daemon().status, 0);
  protect_and_sync();
  h_.write_file(script, "#!/bin/sh\necho hanging >> /var/log/update_bootimage.log\nexec sleep 600\n");
  ASSERT_EQ(h_.exec({"chmod", "755", script}).status, 0);
  ASSERT_EQ(client({"unprotect", kPrimaryGuid}).status, 0);
  auto timed = [&](const std::vector<std::string>& args, double* s) {
    auto t0 = std::chrono::steady_clock::now();
    ExecResult r = client(args);
    *s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return r;
  };
  double protect_s, stat_s;
  ExecResult r = timed({"protect", kPrimaryGuid, kMirrorGuid}, &protect_s);
  EXPECT_EQ(r.status, 0) << r.out;
  ASSERT_TRUE(eventually([&] { return count_of(h_.read_file(kBootLog), "hanging") >= 1; }, seconds(10),
                         milliseconds(50)));
  r = timed({"stat", kPrimaryGuid}, &stat_s);
  EXPECT_NE(r.out.find("count=1"), std::string::npos) << r.out;
  EXPECT_LT(protect_s, 5);
  EXPECT_LT(stat_s, 2);
  r = client({"tcp", cdp_request("ZEL_RC_CMD_CREATE_CDP", kMirrorGuid)});
  EXPECT_EQ(r.out, cdp_reply("RS_SUCCESS_START_CREATE_CDP", "0") + "\n");
  EXPECT_TRUE(wait_log("hmdev initialize not finished", 10)) << "the mark ran while the script hangs" << log();

  h_.simctl({"clock", "advance", "301"});
  EXPECT_TRUE(wait_log(std::string(script) + " still running after 300 s: killed", 10)) << log();
}

TEST_F(DaemonHost, MarkOnUnsyncedProtectionIsRefused) {
  ASSERT_EQ(start_daemon().status, 0);
  protect();
  EXPECT_EQ(client({"mark", kMirrorGuid}).status, 1);
  EXPECT_NE(log().find("hmdev initialize not finished"), std::string::npos);
  EXPECT_EQ(count_of(h_.read_file(kCalls), "zel_call_markcdp"), 0);
}

// A protection the file records as stopped is not handed to the kernel, and
// the status thread removes it from the registry and the files.
TEST_F(DaemonHost, StoppedProtectionFromTheFileIsRemoved) {
  h_.write_file(kConf, conf_block("10000004", "/dev/sdb", "/dev/sdc"));
  ASSERT_EQ(start_daemon().status, 0);
  EXPECT_NE(log().find("hmdev /dev/sdb  has stopped"), std::string::npos) << log();
  bool gone = eventually(
      [&] { return h_.read_file(kConf).empty() && count_of(h_.read_file(kBootLog), "run") == 1; },
      seconds(30), milliseconds(200));
  EXPECT_TRUE(gone) << h_.read_file(kConf) << log();
  // The status pass that removed it never handed it to the kernel.
  EXPECT_EQ(count_of(log(), "add protect primary"), 0) << log();
  EXPECT_EQ(h_.read_file(kReg), "");
  EXPECT_NE(client({"stat"}).out.find("count=0"), std::string::npos);
}

// Lines of the host's syslog logged at the error level that hold the text.
int error_lines_with(const std::string& log, const std::string& text) {
  int n = 0;
  size_t at = 0;
  while (at < log.size()) {
    size_t end = log.find('\n', at);
    if (end == std::string::npos) end = log.size();
    std::string line = log.substr(at, end - at);
    at = end + 1;
    if (line.size() < 3 || line[0] != '<' || line.find(text) == std::string::npos) continue;
    if (atoi(line.c_str() + 1) % 8 == LOG_ERR) n++;
  }
  return n;
}

// A bitmap file damaged while the host was down makes the module refuse it
// at the next start: the protection does not run and writes miss the mirror.
// The daemon must say so and never call it running; it takes the road of a
// first protect (a fresh file, a full copy), after which the mirror holds
// what was written meanwhile.  A file it cannot make again leaves the
// protection reported as stopped.
TEST_F(DaemonHost, DamagedBitmapFileIsSaidAndTheMirrorMadeWholeAgain) {
  const std::string bitmap = "/boot/vyrbitmap/hm_" + kPrimaryGuid + ".bitmap";
  auto put32 = [](std::string f, size_t off, uint32_t v) {
    memcpy(&f[off], &v, 4);
    return f;
  };
  struct Case {
    const char* what;
    std::function<std::string(const std::string&)> damage;
  } cases[] = {
      {"cut to 100 bytes", [](const std::string& f) { return f.substr(0, 100); }},
      {"bad magic", [&](const std::string& f) { return put32(f, 0, 0x12345678); }},
      {"bad version", [&](const std::string& f) { return put32(f, 4, 5); }},
      {"bad chunk size", [&](const std::string& f) { return put32(f, 44, 1000); }},
      {"bit pages over the superblock", [&](const std::string& f) { return put32(f, 24, 0); }},
  };
  ASSERT_EQ(start_daemon().status, 0);
  protect_and_sync();
  uint64_t off = 8 << 20;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    kill_daemon();
    h_.stop();
    h_.write_file(bitmap, c.damage(h_.read_file(bitmap)));
    h_.start();
    // Written while nothing mirrors: only a full copy brings it over.
    off += 1 << 20;
    std::string cmd = "write -P " + std::to_string(off >> 20) + " " + std::to_string(off) + " 1M";
    ExecResult r = h_.exec({"qemu-io", "-f", "raw", "-c", cmd, h_.nbd_uri("sdb")});
    ASSERT_EQ(r.status, 0) << r.out;
    ASSERT_NE(head_of(h_.image("sdb"), off + 4096).substr(off), head_of(h_.image("sdc"), off + 4096).substr(off));

    ASSERT_EQ(start_daemon().status, 0);
    ASSERT_TRUE(wait_stat("sync=Sync Finished run=Running", 60)) << stat_line() << log();
    EXPECT_EQ(head_of(h_.image("sdc"), off + (1 << 20)).substr(off),
              head_of(h_.image("sdb"), off + (1 << 20)).substr(off))
        << "finished means the mirror has it";
    std::string l = log();
    EXPECT_EQ(error_lines_with(l, "bitmap file " + bitmap + " refused by the kernel module"), 1) << l;
    EXPECT_EQ(error_lines_with(l, "bitmap file " + bitmap + " made again"), 1) << l;
    h_.exec({"sh", "-c", ": > /var/log/messages"});
  }

  // In its place a directory the daemon cannot replace: the protection stays
  // out of work, and says so.
  kill_daemon();
  h_.stop();
  std::string upper = h_.file(bitmap);
  ASSERT_EQ(unlink(upper.c_str()), 0);
  ASSERT_EQ(mkdir(upper.c_str(), 0755), 0);
  h_.start();
  ASSERT_EQ(start_daemon().status, 0);
  EXPECT_TRUE(wait_log("bitmap file " + bitmap + " cannot be made again", 20)) << log();
  EXPECT_NE(stat_line().find("run=Stopped primary=Up,/dev/sdb"), std::string::npos) << stat_line();
  EXPECT_GE(error_lines_with(log(), "bitmap file " + bitmap + " refused by the kernel module"), 1);
}

// Random bytes over the block of "hmdev.conf": the block is skipped, which
// the daemon says at the error level with the file and the lines; neither
// that file nor the boot registry (from which the module rebuilt the
// protection) is rewritten without it, not even when another disk is
// protected meanwhile, and that is said too.
TEST_F(DaemonHost, DamagedConfigurationIsSaidAndLeftForRepair) {
  ASSERT_EQ(start_daemon().status, 0);
  protect_and_sync();
  kill_daemon();
  std::string damaged = conf_block(status_of_conf(), "/dev/sdb", "/dev/sdc");
  for (size_t i = 40; i < 200; i++) damaged[i] = static_cast<char>((i * 37) ^ 0x5a);
  h_.write_file(kConf, damaged);
  std::string reg = h_.read_file(kReg);

  ASSERT_EQ(start_daemon().status, 0);
  std::string conf_path = "/usr/local/zelmir/conf//hmdev.conf";
  std::string l = log();
  EXPECT_GE(error_lines_with(l, conf_path + ": "), 1) << l;
  EXPECT_GE(error_lines_with(l, "lacks a volume or is damaged, skipped") +
                error_lines_with(l, "are no part of an hmdev block, skipped"),
            1)
      << l;
  EXPECT_NE(stat_line().find("count=0"), std::string::npos) << stat_line();

  // Another pair is protected: the registry changes, the files do not.
  const std::string other_guid = "7d3f1b2a-1111-2222-3333-444455556666";
  ASSERT_EQ(h_.simctl({"disk", "add", "sdd", "64M"}).status, 0);
  ASSERT_EQ(h_.simctl({"disk", "add", "sde", "64M", "--lun", other_guid}).status, 0);
  uint32_t sig = 0x11223344;
  int fd = open(h_.image("sdd").c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, &sig, sizeof(sig), 440), (ssize_t)sizeof(sig));
  close(fd);
  ExecResult r = client({"protect", "11223344-0000-0000-0000-000000000000", other_guid});
  ASSERT_EQ(r.status, 0) << r.out << log();
  EXPECT_TRUE(wait_log(conf_path + " was damaged when read: it and /boot/hmdevs.reg are left as "
                       "they are for repair; this change is not saved", 5))
      << log();
  EXPECT_EQ(h_.read_file(kConf), damaged);
  EXPECT_EQ(h_.read_file(kReg), reg);
}

// The daemon at the 1,024 open files a server's init gives it, under 1,100
// local peers that each sent 3 bytes of a header and 600 silent TCP peers:
// it keeps serving, mirroring and judging disks right, and closes them all.
TEST_F(DaemonHost, SlowAndIdlePeersDoNotStarveTheDaemon) {
  ExecResult r = h_.exec({"sh", "-c", std::string("ulimit -n 1024 && exec ") + kZelmird});
  ASSERT_EQ(r.status, 0) << r.out;
  ASSERT_TRUE(eventually([&] { return client({"stat"}).status == 0; }, seconds(10), milliseconds(100)));
  protect_and_sync();
  int passes_before = count_of(log(), "status pass ");
  auto daemon_fds = [&] { return h_.exec({"sh", "-c", "ls /proc/$(cat /var/run/zelmir.pid)/fd | wc -l"}).out; };
  std::string fds_before = daemon_fds();

  std::string flood_out;
  std::thread flood([&] { flood_out = client({"flood", "1100", "600", "20000", "/tmp/flood-ready"}).out; });
  bool ready = eventually([&] { return h_.exec({"test", "-e", "/tmp/flood-ready"}).status == 0; },
                          seconds(60), milliseconds(50));
  auto t0 = std::chrono::steady_clock::now();
  ExecResult st = h_.exec({"timeout", "90", "/usr/local/zelmir/bin/mirctl", "disk", "stat", "/dev/sdb"});
  double stat_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::string fds = daemon_fds();

  // Writes still reach both disks.
  std::string cmd = "write -P 0x5a 2097152 1M";
  ExecResult w = h_.exec({"qemu-io", "-f", "raw", "-c", cmd, h_.nbd_uri("sdb")});
  std::string written = head_of(h_.image("sdb"), (3 << 20)).substr(2 << 20);
  std::string mirrored = head_of(h_.image("sdc"), (3 << 20)).substr(2 << 20);

  // The local peers' deadline passes on the host's clock.
  h_.simctl({"clock", "advance", "41"});
  flood.join();
  printf("flood: %s\nmirctl disk stat: %.2fs; descriptors in use: %s, before the flood: %s", flood_out.c_str(),
         stat_s, fds.c_str(), fds_before.c_str());
  ASSERT_TRUE(ready) << flood_out;
  EXPECT_NE(st.out.find("cmd: GET_STATUS success"), std::string::npos) << st.out;
  EXPECT_LT(stat_s, 2.5);
  EXPECT_LT(std::stoi(fds), 1000);
  EXPECT_EQ(w.status, 0) << w.out;
  EXPECT_EQ(written, std::string(1 << 20, 0x5a));
  EXPECT_EQ(mirrored, written) << "the mirror has the write";
  auto field = [&](const std::string& kind, const std::string& key) {
    size_t at = flood_out.find(kind + " held=");
    at = flood_out.find(key + "=", at);
    return at == std::string::npos ? -1 : atoi(flood_out.c_str() + at + key.size() + 1);
  };
  EXPECT_GT(field("unix", "held"), 0) << flood_out;
  EXPECT_EQ(field("unix", "closed"), field("unix", "held")) << flood_out;
  // A TCP peer whose handshake the full backlog never finished holds nothing
  // in the daemon, so its end is seen from the daemon's side: every
  // connection it took is closed, and it holds what it held before.
  EXPECT_GT(field("tcp", "closed"), 0) << flood_out;
  EXPECT_TRUE(eventually([&] { return daemon_fds() == fds_before; }, seconds(10), milliseconds(200)))
      << daemon_fds() << " descriptors, " << fds_before << " before";
  // A status pass ran meanwhile, and judged no disk down.
  EXPECT_GT(count_of(log(), "status pass "), passes_before) << log();
  EXPECT_EQ(count_of(log(), "offline!"), 0) << log();
  EXPECT_EQ(count_of(log(), "update hmdev"), 0) << log();
  EXPECT_NE(stat_line().find("primary=Up,/dev/sdb," + kPrimaryGuid + " mirror=Up,/dev/sdc"), std::string::npos)
      << stat_line();
}

TEST_F(DaemonHost, CrashAndStartAgain) {
  ASSERT_EQ(start_daemon().status, 0);
  protect_and_sync();
  h_.crash();
  h_.start();
  ASSERT_EQ(start_daemon().status, 0);
  EXPECT_TRUE(wait_stat("run=Running primary=Up,/dev/sdb," + kPrimaryGuid + " mirror=Up,/dev/sdc", 20))
      << stat_line() << log();
  EXPECT_EQ(h_.read_file(kReg), reg_line("/dev/sdb", "/dev/sdc"));
}

}  // namespace
