// The mirror-relationship and snapshot commands on one whole host: the
// module, zelmird, libmirapi and qorcd, driven by the tests' managing
// server.  Two plain disks are the primaries (signed before the host
// starts, so their GUIDs are known) and two LUNs the mirrors; more LUNs
// appear at the rescan of a disk wait.  Each test starts qorcd afresh with
// its own configuration and leaves no protection behind; zelmird runs for
// the whole suite.
#include <fcntl.h>
#include <stdint.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "eventually.h"
#include "qor_server.h"
#include "simhost.h"

namespace {

using testsupport::ExecResult;
using testsupport::eventually;
using testsupport::QorConf;
using testsupport::QorReply;
using testsupport::QorServer;
using testsupport::SimHost;

constexpr uint32_t kAddBackup = 4;
constexpr uint32_t kGetClientInfo = 6;
constexpr uint32_t kDelBackup = 14;
constexpr uint32_t kInitMirror = 16;
constexpr uint32_t kCancelInit = 17;
constexpr uint32_t kCreateSnapshot = 21;
constexpr uint32_t kSnapRestore = 23;
constexpr uint16_t kPort = 7240;

const char kMirctl[] = "/usr/local/zelmir/bin/mirctl";
const char kHmConf[] = "/usr/local/zelmir/conf/hmdev.conf";
const char kBootReg[] = "/boot/hmdevs.reg";
const char kCalls[] = "/var/log/zelcdpagt-calls.log";
const char kPending[] = "/etc/zelcdpagt/pending.disks";

// The primaries, by the signatures written into their images.
constexpr uint32_t kSigB = 0x5eed0b0b;
constexpr uint32_t kSigC = 0x5eed0c0c;
const std::string kSrcB = "5eed0b0b-0000-0000-0000-000000000000";  // sdb
const std::string kSrcC = "5eed0c0c-0000-0000-0000-000000000000";  // sdc
// The mirrors.
const std::string kLunA = "6a1d0000-aaaa-4aaa-8aaa-00000000000a";  // sdd
const std::string kLunB = "6b1d0000-bbbb-4bbb-8bbb-00000000000b";  // sde
// LUNs that are not there when a command starts waiting.
const std::string kLunLate = "6c1d0000-cccc-4ccc-8ccc-00000000000c";
const std::string kLunNever = "6d1d0000-dddd-4ddd-8ddd-00000000000d";
const std::string kVolLate = "6e1d0000-eeee-4eee-8eee-00000000000e";
const std::string kVolNever = "6f1d0000-ffff-4fff-8fff-00000000000f";

// The host's wall clock while a test computes schedules.
constexpr uint64_t kWall = 2000000000;

// What a log holds past offset from (nothing when it is shorter).
std::string tail(const std::string& text, size_t from) {
  return from < text.size() ? text.substr(from) : std::string();
}

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
  return n;
}

// ---- Request documents ----

std::string backup(const std::string& src, const std::string& mirror) {
  return "<Backup SrcGUID=\"" + src + "\" ZelGUID=\"zel_{" + mirror + "}\"/>";
}

std::string add_doc(const std::vector<std::string>& backups, uint64_t start, uint32_t interval,
                    const std::string& group = "") {
  std::string d = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Tidewell>\n  <BackupList>\n";
  for (const std::string& b : backups) d += "    " + b + "\n";
  d += "  </BackupList>\n  <Schedule StartTime=\"" + std::to_string(start) + "\" IntervalSeconds=\"" +
       std::to_string(interval) + "\" Source=\"" + (group.empty() ? "zel_{disk}" : group) +
       "\" SourceType=\"" + (group.empty() ? "0" : "1") + "\"/>\n</Tidewell>\n";
  return d;
}

std::string src_list(const std::vector<std::string>& srcs) {
  std::string d = "<Tidewell><BackupList>";
  for (const std::string& s : srcs) d += "<Backup SrcGUID=\"" + s + "\"/>";
  return d + "</BackupList></Tidewell>";
}

std::string snap_disk(const std::string& src) {
  return "<Tidewell><Snap SourceType=\"0\" Source=\"zel_{" + src + "}\" IsCluster=\"0\"/></Tidewell>";
}

std::string snap_group(const std::string& name) {
  return "<Tidewell><Snap SourceType=\"1\" Source=\"" + name + "\" IsCluster=\"0\"/></Tidewell>";
}

std::string restore_doc(const std::vector<std::string>& vols) {
  std::string d = "<Tidewell>";
  for (const std::string& v : vols) d += "<Snap SnapVolGUID=\"zel_{" + v + "}\"/>";
  return d + "</Tidewell>";
}

// A reply document as qorcd writes it.
std::string reply(const std::string& inner) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Tidewell>" + inner + "</Tidewell>\n";
}

// ---- The host ----

class MirrorHost : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    host_ = new SimHost({"--disk", "sdb:16M", "--disk", "sdc:16M", "--lun", "sdd:16M:" + kLunA,
                         "--lun", "sde:16M:" + kLunB},
                        false);
    sign(*host_, "sdb", kSigB);
    sign(*host_, "sdc", kSigC);
    host_->start();
    srv_ = new QorServer(host_->dir());
    ExecResult r = host_->exec({"mkdir", "-p", "/usr/local/zelmir/conf", "/boot/vyrbitmap"});
    if (r.status != 0) return;
    r = host_->exec({"/usr/local/zelmir/bin/zelmird"});
    if (r.status != 0) return;
    ready_ = eventually([] { return host_->exec({"test", "-S", "/var/run/hm_unix"}).status == 0; });
  }
  static void TearDownTestSuite() {
    delete srv_;
    delete host_;
    srv_ = nullptr;
    host_ = nullptr;
  }

  // The host's logs are the suite's: each test reads what came after its
  // start.
  void SetUp() override {
    ASSERT_TRUE(ready_) << "zelmird did not start";
    // What the test before logged has all come once a line sent now has.
    log_from_ = 0;
    log_from_ = settled().size();
    calls_from_ = host_->read_file(kCalls).size();
  }

  // No working process may have died (a sanitizer's report, a fault), and
  // no protection outlives its test.
  void TearDown() override {
    EXPECT_EQ(std::string::npos, settled().find("restart working process.")) << syslog();
    srv_->stop_qorcd();
    for (const char* dev : {"/dev/sdb", "/dev/sdc"}) host_->exec({kMirctl, "disk", "unprotect", dev});
  }

  static void sign(const SimHost& h, const std::string& disk, uint32_t sig) {
    int fd = open(h.image(disk).c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, &sig, sizeof(sig), 440), static_cast<ssize_t>(sizeof(sig)));
    close(fd);
  }

  static QorConf managed() {
    QorConf c;
    c.client_guid = "c11e0000-0000-4000-8000-0000000000c1";
    c.client_port = kPort;
    c.server_port = kPort + 1;
    c.has_manager = true;
    c.manager_guid = "ma0000aa-0000-4000-8000-000000000001";
    c.manager_ips = {"127.0.0.1"};
    return c;
  }

  void start(const QorConf& c) {
    srv_->stop_qorcd();
    srv_->write_conf(c);
    std::string why;
    ASSERT_TRUE(srv_->start_qorcd(kPort, {"-d"}, &why)) << why << "\n" << syslog();
  }

  QorReply send(uint32_t cmd, const std::string& doc) { return srv_->request(kPort, cmd, doc); }

  // A request whose handler waits for disks: the host's clocks move on
  // until its reply has come.
  QorReply send_moving_clock(uint32_t cmd, const std::string& doc) {
    QorReply r;
    std::atomic<bool> done{false};
    std::thread t([&] {
      r = send(cmd, doc);
      done = true;
    });
    eventually(
        [&] {
          host_->simctl({"clock", "advance", "5"});
          return done.load();
        },
        std::chrono::seconds(120), std::chrono::milliseconds(100));
    t.join();
    return r;
  }

  static void expect_reply(const QorReply& r, int status, const std::string& body) {
    ASSERT_TRUE(r.replied) << r.error;
    EXPECT_EQ(status, r.head.status);
    EXPECT_EQ(body, r.body);
    EXPECT_EQ(body.size(), r.head.data_len);
  }

  QorConf conf() const {
    QorConf c;
    EXPECT_TRUE(srv_->read_conf(&c));
    return c;
  }

  // The full client report (GET_CLIENT_INFO).
  std::string report() {
    QorReply r = send(kGetClientInfo, "");
    EXPECT_EQ(0, r.head.status);
    return r.body;
  }

  std::string syslog() const { return tail(host_->read_file("/var/log/messages"), log_from_); }
  // The host's syslog is written apart from the programs that log, so lines
  // come late: a line is awaited, and what has not come is judged only once
  // a line sent after it has (what settled() returns).
  bool logged(const std::string& text, size_t times = 1) const {
    return eventually([&] { return count(syslog(), text) >= times; });
  }
  std::string settled() const {
    static int marks = 0;
    const std::string mark = "test mark " + std::to_string(++marks);
    EXPECT_EQ(0, host_->exec({"logger", mark}).status);
    std::string log;
    EXPECT_TRUE(eventually([&] { return (log = syslog()).find(mark) != std::string::npos; }));
    return log;
  }
  std::string calls() const { return tail(host_->read_file(kCalls), calls_from_); }
  std::string stat(const std::string& dev) { return host_->exec({kMirctl, "disk", "stat", dev}).out; }
  bool protected_now(const std::string& dev) { return stat(dev).find("Sync Status:") != std::string::npos; }
  bool wait_stat(const std::string& dev, const std::string& text) {
    return eventually([&] { return stat(dev).find(text) != std::string::npos; },
                      std::chrono::seconds(120), std::chrono::milliseconds(300));
  }
  // A disk event makes qorcd's scan thread read the relationships afresh
  // (their copy state among them) without moving the clocks.
  void disk_event() {
    static int n = 0;
    ASSERT_EQ(0, host_->simctl({"disk", "add", "ev" + std::to_string(n++), "1M"}).status);
  }
  void set_wall(uint64_t epoch) {
    ASSERT_EQ(0, host_->simctl({"clock", "set-wall", std::to_string(epoch)}).status);
  }

  static SimHost* host_;
  static QorServer* srv_;
  static bool ready_;
  size_t log_from_ = 0;
  size_t calls_from_ = 0;
};

SimHost* MirrorHost::host_ = nullptr;
QorServer* MirrorHost::srv_ = nullptr;
bool MirrorHost::ready_ = false;

TEST_F(MirrorHost, AnUnmanagedHostRefusesAllSix) {
  QorConf c = managed();
  c.has_manager = false;
  start(c);
  const std::pair<uint32_t, std::string> cases[] = {
      {kAddBackup, add_doc({backup(kSrcB, kLunA)}, 0, 0)},
      {kDelBackup, src_list({kSrcB})},
      {kInitMirror, src_list({kSrcB})},
      {kCancelInit, src_list({kSrcB})},
      {kCreateSnapshot, snap_disk(kSrcB)},
      {kSnapRestore, restore_doc({kVolNever})},
  };
  for (const auto& [cmd, doc] : cases) {
    SCOPED_TRACE(cmd);
    expect_reply(send(cmd, doc), 50, "");
  }
  EXPECT_FALSE(protected_now("/dev/sdb"));
  EXPECT_EQ("", host_->read_file(kHmConf));
}

// Requests answered without a protection: documents that cannot be read,
// items that name nothing, and pairs refused before any call to zelmird.
// The host's clocks never move here: a pair that reached the wait for a
// mirror that never comes would hold its answer past the reply limit.
TEST_F(MirrorHost, RequestsThatChangeNothing) {
  start(managed());
  const std::string unknown = "0badd15c-0000-0000-0000-000000000000";
  const struct {
    uint32_t cmd;
    std::string doc;
    int status;
    std::string body;
  } cases[] = {
      {kAddBackup, "", 4, ""},
      {kAddBackup, "<Tidewell><BackupList/></Tidewell>", 4, ""},
      {kAddBackup, "<Tidewell", 4, ""},
      // A pair lacking a GUID, or with a ZelGUID too short to hold one, is
      // refused before libmirapi sees it.
      {kAddBackup, add_doc({"<Backup ZelGUID=\"zel_{" + kLunA + "}\"/>"}, 0, 0), 1,
       reply("<BackupList><Device SrcGUID=\"\" rtnStatus=\"1\" DestGUID=\"" + kLunA +
             "\"/></BackupList>")},
      {kAddBackup, add_doc({"<Backup SrcGUID=\"" + kSrcB + "\"/>", backup(kSrcC, kLunB)}, 0, 0), 1,
       reply("<BackupList><Device SrcGUID=\"" + kSrcB +
             "\" rtnStatus=\"1\" DestGUID=\"\"/></BackupList>")},
      {kAddBackup, add_doc({"<Backup SrcGUID=\"" + kSrcB + "\" ZelGUID=\"zel_{\"/>"}, 0, 0), 1,
       reply("<BackupList><Device SrcGUID=\"" + kSrcB +
             "\" rtnStatus=\"1\" DestGUID=\"\"/></BackupList>")},
      // A local disk the host does not have.
      {kAddBackup, add_doc({backup(unknown, kLunA)}, 0, 0), 1,
       reply("<BackupList><Device SrcGUID=\"" + unknown + "\" rtnStatus=\"1\" DestGUID=\"" + kLunA +
             "\"/></BackupList>")},
      // No pair to carry the schedule: nothing to do.
      {kAddBackup, add_doc({}, 1999999000, 300), 0, ""},
      {kDelBackup, "", 1, ""},
      {kDelBackup, "<Tidewell", 1, ""},
      {kDelBackup, "<Tidewell/>", 1, ""},
      {kDelBackup, "<Tidewell><Other/><BackupList/></Tidewell>", 1, ""},
      // The root's name is not read; a Backup without SrcGUID is skipped.
      {kDelBackup, "<Other><BackupList><Backup/><Backup SrcGUID=\"" + unknown + "\"/></BackupList></Other>",
       1,
       reply("<BackupList Count=\"1\" IsCluster=\"0\"><Device SrcGUID=\"" + unknown +
             "\" RtnStatus=\"10016\"/></BackupList>")},
      {kDelBackup, src_list({kSrcB, ""}), 1,
       reply("<BackupList Count=\"2\" IsCluster=\"0\"><Device SrcGUID=\"" + kSrcB +
             "\" RtnStatus=\"10016\"/><Device SrcGUID=\"\" RtnStatus=\"10016\"/></BackupList>")},
      {kInitMirror, "", 4, ""},
      {kInitMirror, "<Tidewell/>", 4, ""},
      {kInitMirror, src_list({kSrcB, kSrcC}), 1,
       reply("<BackupList Count=\"2\"><Backup SrcGUID=\"" + kSrcB +
             "\" RtnStatus=\"10018\"/><Backup SrcGUID=\"" + kSrcC + "\" RtnStatus=\"10018\"/></BackupList>")},
      // An empty GUID names no disk: a failure like any other, logged too.
      {kInitMirror, src_list({""}), 1,
       reply("<BackupList Count=\"1\"><Backup SrcGUID=\"\" RtnStatus=\"10018\"/></BackupList>")},
      {kCancelInit, "<Tidewell", 4, ""},
      // Nothing is copying: the failures are listed, the status stays 0.
      {kCancelInit, src_list({kSrcB}), 0,
       reply("<BackupList Count=\"1\"><Backup SrcGUID=\"" + kSrcB +
             "\" RtnStatus=\"10019\"/></BackupList>")},
      {kCreateSnapshot, "", 4, ""},
      {kCreateSnapshot, "<Tidewell><Snap SourceType=\"0\" Source=\"zel_{" + kSrcB + "}\"/></Tidewell>", 4,
       ""},
      {kCreateSnapshot, "<Tidewell><Snap SourceType=\"0\" Source=\"\" IsCluster=\"0\"/></Tidewell>", 1, ""},
      // No relationship: the mirror lookup fails first.
      {kCreateSnapshot, snap_disk(kSrcB), 1, ""},
      // A group the configuration does not have marks nothing.
      {kCreateSnapshot, snap_group("nogroup"), 10024, ""},
      {kSnapRestore, "", 4, ""},
      {kSnapRestore, "<Tidewell", 4, ""},
      // Nothing to wait for: answered at once.
      {kSnapRestore, "<Tidewell/>", 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.cmd << " " << c.doc);
    expect_reply(send(c.cmd, c.doc), c.status, c.body);
  }
  EXPECT_EQ("", host_->read_file(kHmConf));
  EXPECT_TRUE(conf().schedules.empty());
  EXPECT_EQ(std::string::npos, calls().find("markcdp")) << calls();
  // The refused pairs never reached zelmird: a missing primary GUID would
  // have asked it about every protection.
  EXPECT_TRUE(logged("lacks a GUID.", 3)) << syslog();
  EXPECT_TRUE(logged("Failed to initialize mirror ", 3)) << syslog();
  EXPECT_EQ(3u, count(syslog(), "lacks a GUID.")) << syslog();
  EXPECT_EQ(3u, count(syslog(), "Failed to initialize mirror ")) << syslog();
  EXPECT_EQ(std::string::npos, syslog().find("is already protected")) << syslog();
}

// One disk through its whole life: protected with a schedule, copied,
// marked, its copy stopped, removed.
TEST_F(MirrorHost, ADiskFromProtectionToRemoval) {
  QorConf c = managed();
  // A schedule the disk kept from an earlier relationship.
  c.schedules = {{kSrcB, "old-mirror", 4000000000u, 4000000000u, 600}};
  start(c);
  set_wall(kWall);

  // A console start 1000 s in the past on an hourly grid: the next due time
  // on that grid.
  expect_reply(send(kAddBackup, add_doc({backup(kSrcB, kLunA)}, kWall - 1000, 3600)), 0, "");
  EXPECT_TRUE(protected_now("/dev/sdb"));
  std::string hm = host_->read_file(kHmConf);
  EXPECT_NE(std::string::npos, hm.find("/dev/sdb")) << hm;
  EXPECT_NE(std::string::npos, hm.find("/dev/sdd")) << hm;
  EXPECT_NE("", host_->read_file(kBootReg));
  EXPECT_EQ(0, host_->exec({"test", "-s", "/boot/vyrbitmap/hm_" + kSrcB + ".bitmap"}).status);
  QorConf after = conf();
  ASSERT_EQ(1u, after.schedules.size()) << "the new schedule takes the old one's place";
  EXPECT_EQ(kSrcB, after.schedules[0].local_guid);
  EXPECT_EQ(kLunA, after.schedules[0].mirror_guid);
  EXPECT_EQ(kWall - 1000, after.schedules[0].con_start_time);
  EXPECT_EQ(kWall + 2600, after.schedules[0].start_time);
  EXPECT_EQ(3600u, after.schedules[0].interval);

  // The report shows the relationship, not yet copied, and leaves its
  // mirror out of the disks.
  std::string info = report();
  EXPECT_NE(std::string::npos,
            info.find("<Backup Type=\"1\" State=\"1\" Percent=\"0\" Speed=\"-1\" SrcGUID=\"" + kSrcB +
                      "\" SrcName=\"sdb\" DestGUID=\"zel_{" + kLunA + "}\""))
      << info;
  EXPECT_EQ(std::string::npos, info.find("<Disk Name=\"sdd\"")) << info;
  EXPECT_NE(std::string::npos, info.find("<Disk Name=\"sde\"")) << info;

  // Already protected: listed, nothing changed.
  expect_reply(send(kAddBackup, add_doc({backup(kSrcB, kLunA)}, kWall + 50, 60)), 1,
               reply("<BackupList><Device SrcGUID=\"" + kSrcB + "\" rtnStatus=\"1\" DestGUID=\"" + kLunA +
                     "\"/></BackupList>"));
  EXPECT_EQ(1u, conf().schedules.size());
  EXPECT_EQ(kWall + 2600, conf().schedules[0].start_time);

  // Not copied yet: no mark.
  expect_reply(send(kCreateSnapshot, snap_disk(kSrcB)), 10023, "");
  EXPECT_EQ(std::string::npos, calls().find("zel_call_disk_markcdp")) << calls();

  expect_reply(send(kInitMirror, src_list({kSrcB})), 0, "");
  ASSERT_TRUE(wait_stat("/dev/sdb", "Sync Status:\tSync Finished")) << stat("/dev/sdb");
  disk_event();
  QorReply r;
  EXPECT_TRUE(eventually([&] { return (r = send(kCreateSnapshot, snap_disk(kSrcB))).head.status == 0; },
                         std::chrono::seconds(60), std::chrono::milliseconds(300)))
      << r.head.status;
  EXPECT_EQ("", r.body);
  EXPECT_EQ(1u, count(calls(), "zel_call_disk_markcdp begin")) << calls();
  EXPECT_EQ(1u, count(calls(), "zel_call_disk_markcdp begin {" + kLunA + "}\n")) << calls();

  // The storage refuses the mark.
  host_->write_file("/etc/zelcdpagt/disk_markcdp.answer", "-1\n");
  expect_reply(send(kCreateSnapshot, snap_disk(kSrcB)), 10021, "");
  EXPECT_EQ(2u, count(calls(), "zel_call_disk_markcdp begin {" + kLunA + "}\n")) << calls();
  ASSERT_EQ(0, host_->exec({"rm", "/etc/zelcdpagt/disk_markcdp.answer"}).status);

  // A copy held to 100 KB/s (the cap the protection keeps) is stopped; a
  // second stop finds nothing to stop.
  ExecResult x = host_->exec({kMirctl, "disk", "sync", "/dev/sdb", "speed=100"});
  ASSERT_EQ(0, x.status) << x.out;
  expect_reply(send(kInitMirror, src_list({kSrcB})), 0, "");
  ASSERT_TRUE(wait_stat("/dev/sdb", "Sync Status:\tSync On")) << stat("/dev/sdb");
  expect_reply(send(kCancelInit, src_list({kSrcB})), 0, "");
  EXPECT_TRUE(wait_stat("/dev/sdb", "Sync Status:\tSync Cancelled")) << stat("/dev/sdb");
  expect_reply(send(kCancelInit, src_list({kSrcB})), 0,
               reply("<BackupList Count=\"1\"><Backup SrcGUID=\"" + kSrcB +
                     "\" RtnStatus=\"10019\"/></BackupList>"));

  // Removed with its schedule; the relationship is gone from the inventory.
  expect_reply(send(kDelBackup, src_list({kSrcB})), 0, "");
  EXPECT_FALSE(protected_now("/dev/sdb"));
  EXPECT_EQ("", host_->read_file(kHmConf));
  EXPECT_TRUE(conf().schedules.empty());
  expect_reply(send(kCreateSnapshot, snap_disk(kSrcB)), 1, "");
  info = report();
  EXPECT_EQ(std::string::npos, info.find("<Backup ")) << info;
  EXPECT_NE(std::string::npos, info.find("<Disk Name=\"sdd\"")) << info;
  expect_reply(send(kDelBackup, src_list({kSrcB})), 1,
               reply("<BackupList Count=\"1\" IsCluster=\"0\"><Device SrcGUID=\"" + kSrcB +
                     "\" RtnStatus=\"10016\"/></BackupList>"));
}

// A group is protected whole or not at all; a single-disk request keeps
// what it protected.  The group's mark goes through its device group.
TEST_F(MirrorHost, GroupsProtectWholeAndMarkTogether) {
  QorConf c = managed();
  const uint64_t later = kWall + 90000;  // far enough that no job falls due
  c.groups = {{"g0", later, later, 86400, {kSrcC}},
              {"g1", 0, 0, 0, {kSrcB, kSrcC}},
              {"g2", 0, 0, 0, {"0badd15c-0000-0000-0000-000000000000"}},
              {"g3", 0, 0, 0, {}}};
  start(c);
  set_wall(kWall);

  // Both pairs pass their checks; the second protect fails (its mirror is
  // the first one's): the first is undone, only the second is listed.
  const std::string fails_second =
      reply("<BackupList><Device SrcGUID=\"" + kSrcC + "\" rtnStatus=\"1\" DestGUID=\"" + kLunA +
            "\"/></BackupList>");
  expect_reply(send(kAddBackup, add_doc({backup(kSrcB, kLunA), backup(kSrcC, kLunA)}, later, 86400, "g1")),
               1, fails_second);
  EXPECT_FALSE(protected_now("/dev/sdb"));
  EXPECT_FALSE(protected_now("/dev/sdc"));
  EXPECT_EQ(0u, conf().groups[1].interval);
  EXPECT_TRUE(logged("Rollback complete.")) << syslog();

  // The same as a single-disk request: the first stays protected.
  expect_reply(send(kAddBackup, add_doc({backup(kSrcB, kLunA), backup(kSrcC, kLunA)}, later, 86400)), 1,
               fails_second);
  EXPECT_TRUE(protected_now("/dev/sdb"));
  EXPECT_TRUE(conf().schedules.empty());
  expect_reply(send(kDelBackup, src_list({kSrcB})), 0, "");

  expect_reply(send(kAddBackup, add_doc({backup(kSrcB, kLunA), backup(kSrcC, kLunB)}, later, 86400, "g1")),
               0, "");
  EXPECT_TRUE(protected_now("/dev/sdb"));
  EXPECT_TRUE(protected_now("/dev/sdc"));
  QorConf after = conf();
  ASSERT_EQ(4u, after.groups.size());
  EXPECT_EQ(later, after.groups[1].con_start_time);
  EXPECT_EQ(later, after.groups[1].start_time);
  EXPECT_EQ(86400u, after.groups[1].interval);
  EXPECT_TRUE(after.schedules.empty()) << "a group's disks keep no schedule of their own";

  // Marks: members not copied yet, a member without relationship, then all
  // members copied.
  expect_reply(send(kCreateSnapshot, snap_group("g1")), 10023, "");
  expect_reply(send(kCreateSnapshot, snap_group("g2")), 10024, "");
  expect_reply(send(kInitMirror, src_list({kSrcB, kSrcC})), 0, "");
  ASSERT_TRUE(wait_stat("/dev/sdb", "Sync Status:\tSync Finished"));
  ASSERT_TRUE(wait_stat("/dev/sdc", "Sync Status:\tSync Finished"));
  disk_event();
  QorReply r;
  EXPECT_TRUE(eventually([&] { return (r = send(kCreateSnapshot, snap_group("g1"))).head.status == 0; },
                         std::chrono::seconds(60), std::chrono::milliseconds(300)))
      << r.head.status;
  EXPECT_EQ(1u, count(calls(), "zel_call_grp_markcdp begin")) << calls();
  EXPECT_NE(std::string::npos, calls().find("zel_call_grp_markcdp begin g1 members=2 {" + kLunA +
                                            "},1,/dev/sdd {" + kLunB + "},1,/dev/sde\n"))
      << calls();
  host_->write_file("/etc/zelcdpagt/grp_markcdp.answer", "-1\n");
  expect_reply(send(kCreateSnapshot, snap_group("g1")), 10021, "");
  ASSERT_EQ(0, host_->exec({"rm", "/etc/zelcdpagt/grp_markcdp.answer"}).status);

  // Removing each disk zeroes the schedule of the first group holding it
  // (sdc: g0); both stay members.
  expect_reply(send(kDelBackup, src_list({kSrcB, kSrcC})), 0, "");
  after = conf();
  ASSERT_EQ(4u, after.groups.size());
  for (int i : {0, 1}) {
    SCOPED_TRACE(after.groups[i].name);
    EXPECT_EQ(0u, after.groups[i].con_start_time);
    EXPECT_EQ(0u, after.groups[i].start_time);
    EXPECT_EQ(0u, after.groups[i].interval);
  }
  EXPECT_EQ(std::vector<std::string>({kSrcB, kSrcC}), after.groups[1].members);
  EXPECT_EQ(std::vector<std::string>({kSrcC}), after.groups[0].members);

  // A group without members has nothing to wait for: its device group holds
  // none, and the mark is still asked for.
  expect_reply(send(kCreateSnapshot, snap_group("g3")), 0, "");
  EXPECT_NE(std::string::npos, calls().find("zel_call_grp_markcdp begin g3 members=0\n")) << calls();
}

// Disks that appear late: a mirror and a restored volume that show up at
// the rescan of the wait's fifth pass are accepted; those that never do
// fail once the wait has run out.
TEST_F(MirrorHost, WaitsForDisksOnTheHostsClock) {
  start(managed());
  const size_t rescans = count(calls(), "zeldisk_rescan_dev 0 result=");

  host_->write_file(kPending, "sdf 16M " + kLunLate + "\n");
  expect_reply(send_moving_clock(kAddBackup, add_doc({backup(kSrcB, kLunLate)}, 0, 0)), 0, "");
  EXPECT_TRUE(protected_now("/dev/sdb"));
  EXPECT_EQ(rescans + 1, count(calls(), "zeldisk_rescan_dev 0 result="));
  EXPECT_TRUE(conf().schedules.empty()) << "a request without schedule stores none";

  // While one request waits for its mirror, the configuration and the
  // inventory stay free for others.
  QorReply waiting;
  std::atomic<bool> done{false};
  std::thread t([&] {
    waiting = send(kAddBackup, add_doc({backup(kSrcC, kLunNever)}, 0, 0));
    done = true;
  });
  ASSERT_TRUE(eventually([&] { return count(syslog(), "add backup for single disk.") == 2; }));
  expect_reply(send(kCreateSnapshot, snap_group("nogroup")), 10024, "");
  expect_reply(send(kCreateSnapshot, snap_disk(kSrcB)), 10023, "");
  EXPECT_FALSE(done.load());
  eventually(
      [&] {
        host_->simctl({"clock", "advance", "5"});
        return done.load();
      },
      std::chrono::seconds(120), std::chrono::milliseconds(100));
  t.join();
  expect_reply(waiting, 1,
               reply("<BackupList><Device SrcGUID=\"" + kSrcC + "\" rtnStatus=\"1\" DestGUID=\"" +
                     kLunNever + "\"/></BackupList>"));
  EXPECT_FALSE(protected_now("/dev/sdc"));
  EXPECT_EQ(rescans + 2, count(calls(), "zeldisk_rescan_dev 0 result="));
  EXPECT_TRUE(logged("mirror " + kLunNever + " is still offline.")) << syslog();
  expect_reply(send(kDelBackup, src_list({kSrcB})), 0, "");

  // Restored volumes.
  host_->write_file(kPending, "sdg 16M " + kVolLate + "\n");
  expect_reply(send_moving_clock(kSnapRestore, restore_doc({kLunA, kVolLate})), 0, "");
  EXPECT_EQ(rescans + 3, count(calls(), "zeldisk_rescan_dev 0 result="));
  expect_reply(send_moving_clock(kSnapRestore, restore_doc({kLunB, kVolNever})), 1, "");
  EXPECT_TRUE(logged("Volume " + kVolNever + " is not restored.")) << syslog();
  // The volumes not restored are logged one after another: a line sent
  // after them shows the whole list was written.
  EXPECT_EQ(std::string::npos, settled().find("Volume " + kLunB + " is not restored.")) << syslog();
}

}  // namespace
