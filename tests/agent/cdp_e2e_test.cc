// CDP schedules and marks of qorcd in whole hosts: a host-mirror protection
// made with zelmird and mirctl, qorcd managed by the tests' server, the
// marks seen in the CDP agent library's call log and the schedules in
// qorcd.conf.
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "eventually.h"
#include "qor_server.h"
#include "simhost.h"

namespace {

using testsupport::eventually;
using testsupport::ExecResult;
using testsupport::QorConf;
using testsupport::QorReply;
using testsupport::QorServer;
using testsupport::SimHost;

const char kLun[] = "6f1d2c3b-aaaa-bbbb-cccc-0123456789ab";
const char kLone[] = "deadbeef-0000-0000-0000-000000000000";  // a disk without relationship
const char kCalls[] = "/var/log/zelcdpagt-calls.log";
const char kMirctl[] = "/usr/local/zelmir/bin/mirctl";
constexpr uint16_t kPort = 7300;

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
  return n;
}

// The host's syslog is written apart from the programs that log: a count
// taken as a base first waits for a line sent after all that came before.
std::string settled(SimHost& h) {
  static int marks = 0;
  const std::string mark = "test mark " + std::to_string(++marks);
  EXPECT_EQ(0, h.exec({"logger", mark}).status);
  std::string log;
  EXPECT_TRUE(eventually([&] {
    log = h.read_file("/var/log/messages");
    return log.find(mark) != std::string::npos;
  }));
  return log;
}

std::string doc(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Tidewell>" + body + "</Tidewell>\n";
}
std::string snap(const std::string& type, const std::string& source) {
  return doc("<Snap SourceType=\"" + type + "\" Source=\"" + source + "\"/>");
}
std::string schedule(const std::string& element, const std::string& type,
                     const std::string& source, uint64_t start, uint32_t interval) {
  return doc("<" + element + " SourceType=\"" + type + "\" Source=\"" + source +
             "\"><Schedule StartTime=\"" + std::to_string(start) + "\" IntervalSeconds=\"" +
             std::to_string(interval) + "\"/></" + element + ">");
}

class CdpHost : public ::testing::Test {
 protected:
  CdpHost()
      : h_({"--disk", "sdb:8M", "--lun", std::string("sdc:8M:") + kLun, "--disk", "sdd:8M"}),
        srv_(h_.dir()) {}

  void TearDown() override {
    EXPECT_EQ(std::string::npos, settled(h_).find("restart working process.")) << syslog();
  }

  // zelmird runs and /dev/sdb is protected onto the LUN; the primary's GUID
  // is the signature mirctl gave it.
  void protect() {
    ExecResult r = h_.exec({"/usr/local/zelmir/bin/zelmird"});
    ASSERT_EQ(r.status, 0) << r.out;
    ASSERT_TRUE(eventually([&] { return h_.exec({"test", "-S", "/var/run/hm_unix"}).status == 0; }));
    r = h_.exec({kMirctl, "disk", "protect", "primary=/dev/sdb", "mirror=/dev/sdc"});
    ASSERT_NE(r.out.find("success"), std::string::npos) << r.out;
    char sector[512] = {};
    int fd = open(h_.image("sdb").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pread(fd, sector, sizeof(sector), 0), 512);
    close(fd);
    uint32_t sig;
    memcpy(&sig, sector + 440, 4);
    char guid[64];
    snprintf(guid, sizeof(guid), "%08x-0000-0000-0000-000000000000", sig);
    primary_ = guid;
  }
  void sync(const std::string& speed) {
    ExecResult r = h_.exec({kMirctl, "disk", "sync", "/dev/sdb", "speed=" + speed});
    ASSERT_EQ(r.status, 0) << r.out;
  }
  bool sync_status(const std::string& status) {
    return eventually(
        [&] {
          return h_.exec({kMirctl, "disk", "stat", "/dev/sdb"}).out.find("Sync Status:\t" + status) !=
                 std::string::npos;
        },
        std::chrono::seconds(120), std::chrono::milliseconds(300));
  }

  QorConf conf() const {
    QorConf c;
    c.client_guid = "c0ffee00-1111-4222-8333-444455556666";
    c.client_port = kPort;
    c.server_port = kPort + 1;
    c.has_manager = true;
    c.manager_guid = "ma0000aa-0000-4000-8000-000000000001";
    c.manager_ips = {"127.0.0.1"};
    return c;
  }
  void start(const QorConf& c) {
    srv_.listen(kPort + 1);
    srv_.write_conf(c);
    std::string why;
    ASSERT_TRUE(srv_.start_qorcd(kPort, {"-d"}, &why)) << why << "\n" << syslog();
  }

  // The inventory's relationships are read anew by every client scan (the
  // heartbeat's tick asks for one); two finished scans after a change mean
  // one began after it.
  void await_fresh_inventory() {
    const std::string done = "Finished once client scan thread.";
    size_t base = count(settled_syslog(), done);
    ASSERT_TRUE(eventually([&] { return count(syslog(), done) >= base + 2; },
                           std::chrono::seconds(60)))
        << syslog();
  }

  QorConf saved() {
    QorConf c;
    EXPECT_TRUE(srv_.read_conf(&c));
    return c;
  }
  uint16_t status_of(uint32_t cmd, const std::string& body, std::string* reply = nullptr) {
    QorReply r = srv_.request(kPort, cmd, body, 9);
    EXPECT_TRUE(r.replied) << cmd << " " << body;
    if (reply != nullptr) *reply = r.body;
    return r.head.status;
  }

  std::string syslog() const { return h_.read_file("/var/log/messages"); }
  std::string settled_syslog() { return settled(h_); }
  std::string calls() const { return h_.read_file(kCalls); }
  bool logged(const std::string& text, size_t times = 1) const {
    return eventually([&] { return count(syslog(), text) >= times; });
  }
  void advance(int seconds) {
    ASSERT_EQ(0, h_.simctl({"clock", "advance", std::to_string(seconds)}).status);
  }

  SimHost h_;
  QorServer srv_;
  std::string primary_;
};

TEST_F(CdpHost, ScheduledMarksFireAtTheirIntervalAndNotWhileTheCopyRuns) {
  ASSERT_NO_FATAL_FAILURE(protect());
  ASSERT_NO_FATAL_FAILURE(start(conf()));
  const uint64_t at = static_cast<uint64_t>(time(nullptr)) + 1000;
  ASSERT_EQ(0, status_of(15, schedule("Backup", "0", primary_, at, 1000)));
  QorConf c = saved();
  ASSERT_EQ(1u, c.schedules.size());
  EXPECT_EQ(primary_, c.schedules[0].local_guid);
  EXPECT_EQ(kLun, c.schedules[0].mirror_guid);
  EXPECT_EQ(at, c.schedules[0].con_start_time);
  EXPECT_EQ(at, c.schedules[0].start_time);
  EXPECT_EQ(1000u, c.schedules[0].interval);

  const std::string fired =
      "Background task: CDP task for disk " + primary_ + " - " + kLun + " fired!";
  const std::string marked = std::string("zel_call_disk_markcdp end {") + kLun + "} result=";

  // Slow enough that the copy still runs when the schedule falls due.
  ASSERT_NO_FATAL_FAILURE(sync("200"));
  ASSERT_TRUE(sync_status("Sync On"));
  ASSERT_NO_FATAL_FAILURE(await_fresh_inventory());
  advance(1010);
  ASSERT_TRUE(logged(fired)) << syslog();
  EXPECT_TRUE(logged("Snapshot creation failed, source disk is not synchronized yet, abort."));
  EXPECT_EQ(0u, count(calls(), "zel_call_disk_markcdp"));

  ASSERT_TRUE(sync_status("Sync Finished"));
  ASSERT_NO_FATAL_FAILURE(await_fresh_inventory());
  advance(1000);
  EXPECT_TRUE(eventually([&] { return count(calls(), marked + "0") == 1; })) << calls();
  advance(1000);
  EXPECT_TRUE(eventually([&] { return count(calls(), marked + "0") == 2; })) << calls();
  EXPECT_TRUE(logged("Complete snapshot", 2));
  EXPECT_EQ(3u, count(syslog(), fired));

  // A failed mark: the devices probed once, no second attempt.
  h_.write_file("/etc/zelcdpagt/disk_markcdp.answer", "-5 0\n");
  const std::string probe = "Probing all SCSI Device";
  const size_t probes = count(calls(), probe);
  const size_t completed = count(settled_syslog(), "Complete snapshot");
  advance(1000);
  ASSERT_TRUE(logged("Complete snapshot", completed + 1));
  EXPECT_TRUE(logged(std::string("CDP Schedule: Failed to create snapshot for {") + kLun + "}."));
  EXPECT_EQ(1u, count(calls(), marked + "-5"));
  EXPECT_TRUE(eventually([&] { return count(calls(), probe) == probes + 1; }));
}

TEST_F(CdpHost, CommandsAnswerTheirStatusesAndKeepTheFile) {
  ASSERT_NO_FATAL_FAILURE(protect());
  ASSERT_NO_FATAL_FAILURE(sync("200000"));
  ASSERT_TRUE(sync_status("Sync Finished"));
  QorConf c = conf();
  c.groups = {{"G1", 0, 0, 0, {primary_}}, {"G2", 0, 0, 0, {primary_, kLone}}};
  ASSERT_NO_FATAL_FAILURE(start(c));
  const uint64_t later = static_cast<uint64_t>(time(nullptr)) + 5000;
  const std::string braced = "zel_{" + primary_ + "}";
  auto schedule_reply = [](uint64_t start, uint32_t interval) {
    return doc("<Schedule StartTime=\"" + std::to_string(start) + "\" IntervalSeconds=\"" +
               std::to_string(interval) + "\"/>");
  };

  struct Step {
    const char* what;
    uint32_t cmd;
    std::string body;
    uint16_t status;
    std::string reply;  // the reply document, when one is expected
  };
  const std::vector<Step> steps = {
      // Marks now.
      {"disk mark", 30000, snap("0", braced), 0, ""},
      {"group mark", 30000, snap("2", "G1"), 0, ""},
      {"member without relationship", 30000, snap("1", "G2"), 1, ""},
      {"unknown group", 30000, snap("1", "nosuch"), 1, ""},
      {"disk without relationship", 30000, snap("0", std::string("zel_{") + kLone + "}"), 1, ""},
      {"no body", 30000, "", 4, ""},
      {"other root", 30000, "<Other><Snap SourceType=\"0\" Source=\"{x}\"/></Other>", 4, ""},
      {"no source", 30000, doc("<Snap SourceType=\"0\"/>"), 4, ""},
      // A disk schedule set, read, changed and deleted.
      {"no schedule applied", 30001, schedule("Snap", "0", primary_, 0, 3600), 1, ""},
      {"new disk schedule", 30001, schedule("Snap", "0", primary_, later, 600), 0, ""},
      {"read it", 30002, snap("0", braced), 0, schedule_reply(later, 600)},
      {"interval 0 keeps it", 30001, schedule("Snap", "0", primary_, later, 0), 0, ""},
      {"read it again", 30002, snap("0", braced), 0, schedule_reply(later, 0)},
      {"delete it", 30003, snap("0", braced), 0, ""},
      {"delete none", 30003, snap("0", braced), 1, ""},
      {"the relationship's times", 30002, snap("0", braced), 0, schedule_reply(0, 0)},
      {"nothing known", 30002, snap("0", std::string("zel_{") + kLone + "}"), 1, ""},
      // A group schedule.
      {"group schedule", 30001, schedule("Snap", "1", "G1", later, 600), 0, ""},
      {"read the group's", 30002, snap("2", "G1"), 0, schedule_reply(later, 600)},
      {"group schedule off", 30001, schedule("Snap", "1", "G1", 0, 0), 0, ""},
      {"read it off", 30002, snap("2", "G1"), 0, schedule_reply(0, 0)},
      {"delete group schedule", 30003, snap("2", "G1"), 0, ""},
      {"unknown group's schedule", 30001, schedule("Snap", "1", "nosuch", later, 600), 1, ""},
      {"delete unknown group's", 30003, snap("2", "nosuch"), 1, ""},
      {"read unknown group's", 30002, snap("2", "nosuch"), 1, ""},
      // Requests that cannot be read.
      {"set without body", 30001, "", 4, ""},
      {"set without Snap", 30001, schedule("Backup", "0", primary_, later, 600), 4, ""},
      {"set without IntervalSeconds", 30001,
       doc("<Snap SourceType=\"0\" Source=\"x\"><Schedule StartTime=\"1\"/></Snap>"), 4, ""},
      {"server's without Backup", 15, schedule("Snap", "0", primary_, later, 600), 1, ""},
      {"server's without body", 15, "", 1, ""},
      {"server's without Schedule", 15, doc("<Backup SourceType=\"0\" Source=\"x\"/>"), 1, ""},
      {"server's unknown disk", 15, schedule("Backup", "0", kLone, later, 600), 1, ""},
      {"server's zero times", 15, schedule("Backup", "0", primary_, 0, 0), 1, ""},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.what);
    std::string reply;
    EXPECT_EQ(s.status, status_of(s.cmd, s.body, &reply));
    EXPECT_EQ(s.reply, reply);
  }
  const std::string log = calls();
  EXPECT_EQ(1u, count(log, std::string("zel_call_disk_markcdp begin {") + kLun + "}"));
  // The group as the library walked it: the member's mirror, flag 1, its path.
  EXPECT_EQ(1u, count(log, std::string("zel_call_grp_markcdp begin G1 members=1 {") + kLun +
                               "},1,/dev/sdc"))
      << log;
  EXPECT_EQ(1u, count(log, "zel_call_grp_markcdp begin"));

  // What the file holds now: no disk schedule, both groups without one.
  QorConf now = saved();
  EXPECT_TRUE(now.schedules.empty());
  ASSERT_EQ(2u, now.groups.size());
  EXPECT_EQ(0u, now.groups[0].interval);
  EXPECT_EQ(0u, now.groups[0].con_start_time);
  EXPECT_EQ(std::vector<std::string>{primary_}, now.groups[0].members);

  // The server's schedule with a console start in the past: the next
  // boundary of its grid, written to the file.
  const uint64_t before = static_cast<uint64_t>(time(nullptr));
  ASSERT_EQ(0, status_of(15, schedule("Backup", "0", primary_, 1000, 600)));
  now = saved();
  ASSERT_EQ(1u, now.schedules.size());
  EXPECT_EQ(1000u, now.schedules[0].con_start_time);
  EXPECT_EQ(1000u % 600, now.schedules[0].start_time % 600);
  EXPECT_GT(now.schedules[0].start_time, before);
  EXPECT_LE(now.schedules[0].start_time, before + 600 + 60);
  // Both times 0: gone from the file.
  ASSERT_EQ(0, status_of(15, schedule("Backup", "0", primary_, 0, 0)));
  EXPECT_TRUE(saved().schedules.empty());

  // A group schedule fires through the group's device group.
  const uint64_t soon = static_cast<uint64_t>(time(nullptr)) + 100;
  ASSERT_EQ(0, status_of(30001, schedule("Snap", "1", "G1", soon, 600)));
  advance(110);
  EXPECT_TRUE(logged("CDP Schedule: Snapshot is complete successfully.")) << syslog();
  EXPECT_EQ(2u, count(calls(), std::string("zel_call_grp_markcdp begin G1 members=1 {") + kLun +
                                   "},1,/dev/sdc"));
  // The group with a member without relationship: its job fires, no mark.
  // (The host's wall clock is 110 seconds ahead now.)
  const uint64_t next = static_cast<uint64_t>(time(nullptr)) + 110 + 50;
  ASSERT_EQ(0, status_of(30001, schedule("Snap", "1", "G2", next, 600)));
  advance(70);
  EXPECT_TRUE(logged(std::string("Unable to find backup relationship of disk ") + kLone +
                     ", snapshot creation canceled.", 2));
  EXPECT_EQ(2u, count(calls(), "zel_call_grp_markcdp begin"));
}

// REFRESH_SERVER and LOCAL_WITHDRAW: a host with an address of its own (the
// iSCSI channel is set up from it) whose manager first sits at an address
// where nothing answers.
class ManagerHost : public ::testing::Test {
 protected:
  ManagerHost() : h_({"--disk", "sdb:8M", "--nic", "eth0:192.0.2.10/24"}), srv_(h_.dir()) {}

  void TearDown() override {
    EXPECT_EQ(std::string::npos, settled(h_).find("restart working process.")) << syslog();
  }

  std::string syslog() const { return h_.read_file("/var/log/messages"); }
  size_t heartbeats() const {
    size_t n = 0;
    for (const auto& a : srv_.arrivals()) n += a.head.cmd == 32;
    return n;
  }
  // The local tool's exchange on the unix socket: its reply's status.
  std::string local(uint32_t cmd) {
    ExecResult r = h_.exec({testsupport::test_program("qorcd_unix_probe"), "2",
                            std::to_string(cmd), "1"});
    EXPECT_EQ(0, r.status) << r.out;
    return r.out;
  }
  // Heartbeats to an address where nothing listens until the backoff is at
  // its longest: the next one is due 69 seconds after the last.
  void fail_heartbeats() {
    const std::string failed = "Failed to connect to manager";
    ASSERT_TRUE(eventually(
        [&] {
          ExecResult r = h_.simctl({"clock", "advance", "70"});
          return r.status == 0 && count(syslog(), failed) >= 16;
        },
        std::chrono::seconds(60), std::chrono::milliseconds(300)))
        << syslog();
  }

  QorConf conf() const {
    QorConf c;
    c.client_guid = "c0ffee00-1111-4222-8333-444455556666";
    c.client_port = kPort;
    c.server_port = kPort + 1;
    c.has_manager = true;
    c.manager_guid = "ma0000aa-0000-4000-8000-000000000001";
    c.manager_ips = {"127.0.0.9"};
    return c;
  }
  void start(const QorConf& c) {
    srv_.write_conf(c);
    srv_.listen(kPort + 1, "127.0.0.1");
    std::string why;
    ASSERT_TRUE(srv_.start_qorcd(kPort, {"-d"}, &why)) << why;
  }
  uint16_t refresh(const std::string& ips, const std::string& iqn) {
    QorReply r = srv_.request(kPort, 54,
                              doc("<Server ID=\"" + conf().manager_guid + "\" IPs=\"" + ips +
                                  "\" TargetIqn=\"" + iqn + "\"/>"),
                              4);
    EXPECT_TRUE(r.replied);
    return r.head.status;
  }
  bool logged(const std::string& text, size_t times = 1) const {
    return eventually([&] { return count(syslog(), text) >= times; });
  }

  SimHost h_;
  QorServer srv_;
};

TEST_F(ManagerHost, RefreshTakesTheAddressesAndHastensTheHeartbeat) {
  // An old target whose name is as long as an iSCSI name may be.
  const std::string old_iqn = "iqn.2026-12.test:" + std::string(223 - 17, 'o');
  ASSERT_EQ(0, h_.simctl({"iscsi", "session", "add", old_iqn}).status);
  QorConf c = conf();
  c.target_iqn = old_iqn;
  ASSERT_NO_FATAL_FAILURE(start(c));
  ASSERT_NO_FATAL_FAILURE(fail_heartbeats());
  ASSERT_EQ(0u, heartbeats());

  // New addresses and a target that none of them has: answered 0, the
  // addresses taken, the old channel and the target that names it kept.
  ASSERT_EQ(0, refresh("127.0.0.1", "iqn.2026-12.test:nowhere"));
  QorConf now;
  ASSERT_TRUE(srv_.read_conf(&now));
  EXPECT_EQ(std::vector<std::string>{"127.0.0.1"}, now.manager_ips);
  EXPECT_EQ(old_iqn, now.target_iqn);
  EXPECT_EQ(std::string::npos, h_.read_file("/var/log/iscsiadm.log").find("\"-u\""));
  EXPECT_TRUE(logged("Failed to connect to 'iqn.2026-12.test:nowhere'"));
  EXPECT_TRUE(logged("Zeldisk rescan all of"));

  // The next heartbeat within 5 seconds, at the new address.
  h_.simctl({"clock", "advance", "5"});
  EXPECT_TRUE(eventually([&] { return heartbeats() >= 1; })) << syslog();

  // While the server answers, the local tool cannot withdraw the host.
  EXPECT_EQ(0u, local(30011).find("replied version=2 status=1 tag=1 cmd=30011"));

  // The same addresses again: nothing to move, still a status 0.
  ASSERT_EQ(0, refresh("127.0.0.1", "iqn.2026-12.test:nowhere"));
  EXPECT_TRUE(logged("Zeldisk rescan all of", 2));
  EXPECT_EQ(1u, count(syslog(), "Failed to connect to 'iqn.2026-12.test:nowhere'"));

  // A server gone silent: the local tool withdraws the host.
  srv_.stop_listening();
  const size_t failed = count(settled(h_), "Failed to connect to manager");
  ASSERT_TRUE(eventually([&] {
    h_.simctl({"clock", "advance", "10"});
    return count(syslog(), "Failed to connect to manager") > failed;
  }));
  EXPECT_EQ(0u, local(30011).find("replied version=2 status=0 tag=1 cmd=30011"));
  ASSERT_TRUE(srv_.read_conf(&now));
  EXPECT_FALSE(now.has_manager);
  EXPECT_EQ(c.client_guid, now.client_guid);
  // The list shows what is left: status 0 and a document.
  std::string list = local(30010);
  EXPECT_EQ(0u, list.find("replied version=2 status=0 tag=1 cmd=30010 len=")) << list;
  EXPECT_EQ(std::string::npos, list.find("len=0\n"));
}

TEST_F(ManagerHost, RefreshMovesTheChannelOnceTheNewLoginIsUp) {
  const std::string old_iqn = "iqn.2026-12.test:" + std::string(223 - 17, 'o');
  const std::string new_iqn = "iqn.2026-12.test:new";
  h_.write_file("/etc/simhost/iscsi-targets", "target " + new_iqn + " 127.0.0.2\n");
  ASSERT_EQ(0, h_.simctl({"iscsi", "session", "add", old_iqn}).status);
  QorConf c = conf();
  c.target_iqn = old_iqn;
  ASSERT_NO_FATAL_FAILURE(start(c));

  // The first address has no such target, the second has.
  ASSERT_EQ(0, refresh("127.0.0.1 127.0.0.2", new_iqn));
  QorConf now;
  ASSERT_TRUE(srv_.read_conf(&now));
  EXPECT_EQ(new_iqn, now.target_iqn);
  EXPECT_TRUE(logged("Connect to '" + new_iqn + "'(127.0.0.2:"));
  const std::string iscsi = h_.read_file("/var/log/iscsiadm.log");
  // Logged in before the old target, named whole, was logged out.
  const size_t login = iscsi.find("\"" + new_iqn + "\"");
  const size_t logout = iscsi.find("\"" + old_iqn + "\"");
  EXPECT_NE(std::string::npos, login) << iscsi;
  EXPECT_NE(std::string::npos, logout) << iscsi;
  EXPECT_LT(login, logout) << iscsi;
  if (logout != std::string::npos) {
    const size_t from = iscsi.rfind('\n', logout) + 1;
    const std::string line = iscsi.substr(from, iscsi.find('\n', logout) - from);
    EXPECT_NE(std::string::npos, line.find("\"-u\"")) << line;
  }
  EXPECT_EQ(std::string::npos, iscsi.find("\"" + new_iqn + "\",\"-u\"")) << iscsi;
}

TEST_F(ManagerHost, RefreshToTheSameTargetEndsTheSessionsAtTheOldPortal) {
  const char kIscsiadm[] = "/usr/local/sbin/iscsiadm";
  const std::string iqn = "iqn.2026-12.test:mirror";
  h_.write_file("/etc/simhost/iscsi-targets",
                "target " + iqn + " 127.0.0.9\ntarget " + iqn + " 127.0.0.2\n");
  // The channel as the host has it: a session at the old address.
  for (const std::vector<std::string>& argv :
       {std::vector<std::string>{kIscsiadm, "-m", "discovery", "-t", "st", "-p", "127.0.0.9"},
        std::vector<std::string>{kIscsiadm, "-m", "node", "-T", iqn, "-p", "127.0.0.9", "-l"}}) {
    ExecResult r = h_.exec(argv);
    ASSERT_EQ(0, r.status) << r.out;
  }
  QorConf c = conf();
  c.target_iqn = iqn;
  ASSERT_NO_FATAL_FAILURE(start(c));

  ASSERT_EQ(0, refresh("127.0.0.2", iqn));
  EXPECT_TRUE(logged("Connect to '" + iqn + "'(127.0.0.2:"));
  // One session is left, at the new portal.
  ExecResult portals = h_.exec(
      {"sh", "-c", "cat /sys/class/iscsi_connection/*/persistent_address 2>/dev/null"});
  EXPECT_EQ("127.0.0.2\n", portals.out);
  EXPECT_EQ("1\n", h_.exec({"sh", "-c", "ls /sys/class/iscsi_session | wc -l"}).out);
  // The old portal was logged out after the new login, by its portal.
  const std::string iscsi = h_.read_file("/var/log/iscsiadm.log");
  const size_t login = iscsi.find("\"-p\",\"127.0.0.2\",\"-T\",\"" + iqn + "\"");
  const size_t logout = iscsi.find("\"-T\",\"" + iqn + "\",\"-p\",\"127.0.0.9\",\"-u\"");
  EXPECT_NE(std::string::npos, login) << iscsi;
  EXPECT_NE(std::string::npos, logout) << iscsi;
  EXPECT_LT(login, logout) << iscsi;
  QorConf now;
  ASSERT_TRUE(srv_.read_conf(&now));
  EXPECT_EQ(iqn, now.target_iqn);
}

TEST_F(ManagerHost, AStreamOfRefreshesDoesNotSilenceTheHeartbeat) {
  QorConf c = conf();
  c.manager_ips = {"127.0.0.1"};
  ASSERT_NO_FATAL_FAILURE(start(c));
  ASSERT_TRUE(eventually([&] { return heartbeats() >= 1; })) << syslog();
  const size_t before = heartbeats();
  // A refresh every 4 seconds: each brings the heartbeat within 5 seconds,
  // none puts it off past when it was due.
  for (int i = 0; i < 8; i++) {
    h_.simctl({"clock", "advance", "4"});
    ASSERT_EQ(0, refresh("127.0.0.1", "iqn.2026-12.test:nowhere"));
  }
  // Soon, in this machine's time: the last refresh alone would bring one
  // only 5 seconds after it.
  EXPECT_TRUE(eventually([&] { return heartbeats() >= before + 3; }, std::chrono::seconds(3)))
      << heartbeats() - before << " heartbeats in 32 seconds";
}

}  // namespace
