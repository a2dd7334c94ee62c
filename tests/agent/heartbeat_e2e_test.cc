// qorcd taken under management and released again, in whole hosts driven by
// the tests' managing server: the client commands, the heartbeats with their
// bytes, period and backoff on the host's clock, the answers a heartbeat can
// get, and the client reset as the configuration file and zelmird show it.
#include <string.h>

#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "eventually.h"
#include "qor_server.h"
#include "simhost.h"

namespace {

using testsupport::ExecResult;
using testsupport::eventually;
using testsupport::QorAnswer;
using testsupport::QorArrival;
using testsupport::QorConf;
using testsupport::QorReply;
using testsupport::QorServer;
using testsupport::SimHost;

constexpr uint16_t kPort = 7040;
constexpr uint16_t kServerPort = 7041;
constexpr uint32_t kHeartbeat = 32;
const char kClient[] = "6f1c7a52-0000-0000-0000-0000000000bb";
const char kManager[] = "MANAGER-0001";
const char kLunGuid[] = "6f1d2c3b-aaaa-bbbb-cccc-0123456789cd";

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
  return n;
}

std::string server_doc(const std::string& id, const std::string& ips) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Tidewell><Server ID=\"" + id + "\" IPs=\"" +
         ips + "\" TargetIqn=\"\"/></Tidewell>\n";
}

std::string pair_doc(const std::string& server, const std::string& client) {
  return "<?xml version=\"1.0\"?><Tidewell><Server ID=\"" + server + "\"/><Client ID=\"" + client +
         "\"/></Tidewell>";
}

class HeartbeatTest : public ::testing::Test {
 protected:
  explicit HeartbeatTest(std::vector<std::string> disks = {"--disk", "sdb:8M"})
      : h_(disks), srv_(h_.dir()) {}

  void TearDown() override {
    std::string log = syslog();
    EXPECT_EQ(std::string::npos, log.find("restart working process.")) << log;
  }

  QorConf unmanaged() const {
    QorConf c;
    c.client_guid = kClient;
    c.client_port = kPort;
    c.server_port = kServerPort;
    c.ip_filter = {"192.0.2.77"};
    return c;
  }
  QorConf managed(std::vector<std::string> ips = {"127.0.0.1"}) const {
    QorConf c = unmanaged();
    c.has_manager = true;
    c.manager_guid = kManager;
    c.manager_ips = std::move(ips);
    return c;
  }
  void start(const QorConf& c) {
    srv_.write_conf(c);
    std::string why;
    ASSERT_TRUE(srv_.start_qorcd(kPort, {"-d"}, &why)) << why << "\n" << syslog();
  }
  QorConf conf() const {
    QorConf c;
    EXPECT_TRUE(srv_.read_conf(&c));
    return c;
  }

  std::string syslog() const { return h_.read_file("/var/log/messages"); }
  size_t logged_count(const std::string& text) const { return count(syslog(), text); }
  // A count taken as a base: it first waits for a line sent after all that
  // were logged before it.
  size_t settled_count(const std::string& text) {
    static int marks = 0;
    const std::string mark = "test mark " + std::to_string(++marks);
    EXPECT_EQ(0, h_.exec({"logger", mark}).status);
    std::string log;
    EXPECT_TRUE(eventually([&] { return (log = syslog()).find(mark) != std::string::npos; }));
    return count(log, text);
  }
  bool logged(const std::string& text) const {
    return eventually([&] { return logged_count(text) > 0; });
  }
  // Lines in the order they must have been logged, each after the one before.
  // The host's syslog is written apart from the program that logs, so the
  // last line is awaited first.
  void expect_in_order(const std::vector<std::string>& lines, size_t from = 0) const {
    std::string log;
    eventually([&] {
      log = syslog();
      return lines.empty() || log.find(lines.back(), from) != std::string::npos;
    });
    size_t at = from;
    for (const std::string& line : lines) {
      size_t next = log.find(line, at);
      ASSERT_NE(std::string::npos, next) << "missing after " << at << ": " << line << "\n" << log;
      at = next + line.size();
    }
  }

  std::vector<QorArrival> heartbeats() const {
    std::vector<QorArrival> out;
    for (const QorArrival& a : srv_.arrivals())
      if (a.head.cmd == kHeartbeat) out.push_back(a);
    return out;
  }
  bool heartbeats_reach(size_t n) const {
    return eventually([&] { return heartbeats().size() >= n; });
  }
  // Exchanges that ended, whatever their outcome.
  size_t exchanges() const { return logged_count(":Complete heartbeat"); }
  // Timer passes that ran to their end.
  size_t passes() const { return logged_count("Waiting for timeout("); }

  // Moves the host's clock and waits for the timer's pass that saw it.
  void advance(int seconds) {
    size_t before = passes();
    ASSERT_EQ(0, h_.simctl({"clock", "advance", std::to_string(seconds)}).status);
    ASSERT_TRUE(eventually([&] { return passes() > before; })) << syslog();
  }
  // One more firing: the clock moved well past the due time (the host's
  // clock also runs on by itself, so a firing is never timed to the
  // second), and its exchange waited for.
  // Every exchange that started has ended (one that found another running
  // ends at once, without an exchange).
  bool none_in_flight() const {
    return logged_count("Start to process heartbeat") ==
           exchanges() + logged_count("The pthread of heartbeat had exist");
  }
  // settle: first wait until no exchange is in flight.  The host's clock
  // runs on by itself, so a firing may have started on its own: moved past
  // its waits, that exchange would fail and back off.
  void fire(bool settle = true) {
    if (settle) {
      ASSERT_TRUE(eventually([&] { return none_in_flight(); })) << syslog();
    }
    const size_t done = exchanges();
    advance(100);
    ASSERT_TRUE(eventually([&] { return exchanges() > done; })) << syslog();
  }
  // The delay each firing of the heartbeat set until its next one, in
  // order: interval + backoff / 2 as the timer's pass logs it.
  std::vector<int> firing_delays() const {
    std::vector<int> out;
    static const std::regex line(R"(\[#\d+\]1 next: (-?\d+), timeout: (\d+)\()");
    const std::string log = syslog();
    for (std::sregex_iterator it(log.begin(), log.end(), line), end; it != end; ++it) {
      if (std::stoi((*it)[1]) <= 0) out.push_back(std::stoi((*it)[2]));
    }
    return out;
  }

  QorReply request(uint32_t cmd, const std::string& doc = {}) {
    return srv_.request(kPort, cmd, doc, 9);
  }

  SimHost h_;
  QorServer srv_;
};

std::string head_bytes(const QorArrival& a) {
  std::string raw(reinterpret_cast<const char*>(&a.head), sizeof(a.head));
  return raw.substr(0, 12);
}

void expect_heartbeat(const QorArrival& a) {
  EXPECT_TRUE(a.complete);
  EXPECT_EQ(std::string("\x02\x00\x00\x00\x00\x00\x03\x00\x20\x00\x00\x00", 12), head_bytes(a));
  EXPECT_EQ(a.body.size(), a.head.data_len);
  // The full report, without a terminating NUL.
  EXPECT_EQ(0u, a.body.find("<?xml version=\"1.0\" encoding=\"utf-8\"?>")) << a.body;
  EXPECT_NE(std::string::npos, a.body.find(std::string("ID=\"") + kClient + "\"")) << a.body;
  EXPECT_NE(std::string::npos, a.body.find("<DiskList>")) << a.body;
  EXPECT_EQ(std::string::npos, a.body.find('\0'));
}

TEST_F(HeartbeatTest, UnmanagedHostAnswersFindingCommandsOnly) {
  start(unmanaged());

  QorReply r = request(57);
  ASSERT_TRUE(r.replied);
  EXPECT_EQ(0, r.head.status);
  EXPECT_EQ(0u, r.head.data_len);

  // The short report: host facts only.
  r = request(1);
  ASSERT_TRUE(r.replied);
  EXPECT_EQ(0, r.head.status);
  EXPECT_EQ(r.body.size(), r.head.data_len);
  EXPECT_NE(std::string::npos, r.body.find(std::string("ID=\"") + kClient + "\"")) << r.body;
  for (const char* absent : {"DiskList", "ChannelList", "BackupList", "DataBaseList", "GroupList",
                             "Alias="})
    EXPECT_EQ(std::string::npos, r.body.find(absent)) << absent;

  // Commands for a managed host answer 1 here, not 50; a withdrawal must
  // name this host's manager.
  const struct {
    uint32_t cmd;
    std::string doc;
  } refused[] = {
      {6, ""},
      {8, "<Tidewell><Client Alias=\"x\"/></Tidewell>"},
      {3, pair_doc("", kClient)},
      {3, pair_doc(kManager, kClient)},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.cmd);
    r = request(c.cmd, c.doc);
    ASSERT_TRUE(r.replied);
    EXPECT_EQ(1, r.head.status);
    EXPECT_EQ(0u, r.head.data_len);
  }

  // The disk rescan answers what the outside library says.
  EXPECT_EQ(0, request(55).head.status);
  h_.write_file("/etc/zelcdpagt/rescan.answer", "0\n");
  EXPECT_EQ(1, request(55).head.status);

  // An ADD_CLIENT without a Server names no manager.
  r = request(2, "<Tidewell><Client ID=\"x\"/></Tidewell>");
  EXPECT_EQ(1, r.head.status);
  EXPECT_TRUE(logged("Failed to fetch manager from xml"));
  EXPECT_FALSE(conf().has_manager);
  EXPECT_EQ(0u, srv_.arrivals().size());
}

TEST_F(HeartbeatTest, AddRenameAndDeleteTheClient) {
  srv_.listen(kServerPort);
  start(unmanaged());

  // Taken under management: the full report comes back, the manager is in
  // the file, and the first heartbeat comes at once, without the clock
  // moving.
  QorReply r = request(2, server_doc(kManager, "127.0.0.1"));
  ASSERT_TRUE(r.replied);
  EXPECT_EQ(0, r.head.status);
  EXPECT_EQ(r.body.size(), r.head.data_len);
  EXPECT_NE(std::string::npos, r.body.find("<DiskList>")) << r.body;
  EXPECT_NE(std::string::npos, r.body.find("Alias=\"\"")) << r.body;
  QorConf c = conf();
  EXPECT_TRUE(c.has_manager);
  EXPECT_EQ(kManager, c.manager_guid);
  EXPECT_EQ(std::vector<std::string>{"127.0.0.1"}, c.manager_ips);
  EXPECT_EQ("", c.target_iqn);
  ASSERT_TRUE(heartbeats_reach(1)) << syslog();
  expect_heartbeat(heartbeats()[0]);
  // Its first firing found heartbeats wanted.
  EXPECT_EQ(0u, logged_count("g_heartbeat_running = 0"));

  // A second server is refused and changes nothing.
  r = request(2, server_doc("ANOTHER", "127.0.0.9"));
  EXPECT_EQ(52, r.head.status);
  EXPECT_EQ(0u, r.head.data_len);
  EXPECT_EQ(kManager, conf().manager_guid);
  EXPECT_EQ(52, request(1).head.status);

  // Every 5 seconds while the server answers.
  ASSERT_TRUE(eventually([&] { return exchanges() >= 1; }));
  fire();
  fire();
  // (The host's clock runs on by itself too: more firings may have come.)
  std::vector<int> delays = firing_delays();
  EXPECT_LE(3u, delays.size());
  EXPECT_EQ(std::vector<int>(delays.size(), 5), delays);

  // The client information carries the signature qorcd gave the blank disk
  // at start.
  r = request(6);
  EXPECT_EQ(0, r.head.status);
  EXPECT_TRUE(std::regex_search(
      r.body, std::regex("<Disk Name=\"sdb\"[^>]* Guid=\"[0-9a-f]{8}-0000-0000-0000-000000000000\"")))
      << r.body;

  // Renamed: in the file and in the next heartbeat.
  r = request(8, "<?xml version=\"1.0\"?><Tidewell><Client Alias=\"web &amp; db\"/></Tidewell>");
  EXPECT_EQ(0, r.head.status);
  EXPECT_EQ("web & db", conf().client_alias);
  size_t seen = heartbeats().size();
  fire();
  ASSERT_TRUE(heartbeats_reach(seen + 1));
  EXPECT_NE(std::string::npos, heartbeats().back().body.find("Alias=\"web &amp; db\""));

  // A withdrawal that names another host changes nothing.
  r = request(3, pair_doc(kManager, "not-this-client"));
  EXPECT_EQ(1, r.head.status);
  EXPECT_TRUE(logged("Server(MANAGER-0001) or client(not-this-client) error"));
  EXPECT_TRUE(conf().has_manager);
  fire();

  // Withdrawn: the reset in its order, the file keeps the client GUID, the
  // ports and the filter only.
  const size_t from = syslog().size();
  r = request(3, pair_doc(kManager, kClient));
  EXPECT_EQ(0, r.head.status);
  expect_in_order({"Resetting client.", "Releasing all background task.", "Stop heartbeat.",
                   "Remove all CDP schedules.", "Remove all backup groups.",
                   "Shutdown iSCSI channels.", "Removing manager config informations.",
                   "config file is updated correctly.", "Client reset.",
                   "Complete work: DEL_CLIENT"},
                  from);
  c = conf();
  EXPECT_FALSE(c.has_manager);
  EXPECT_EQ(kClient, c.client_guid);
  EXPECT_EQ("", c.client_alias);
  EXPECT_EQ(kPort, c.client_port);
  EXPECT_EQ(kServerPort, c.server_port);
  EXPECT_EQ(std::vector<std::string>{"192.0.2.77"}, c.ip_filter);

  // No heartbeat after it.
  seen = heartbeats().size();
  const size_t fired = settled_count("g_heartbeat_running = ");
  // (With no job left the timer sleeps its longest, 600 seconds.)
  advance(601);
  EXPECT_EQ(fired, logged_count("g_heartbeat_running = "));
  EXPECT_EQ(seen, heartbeats().size());
  EXPECT_EQ(0, request(1).head.status);

  // Taken again before the timer's next pass: the new heartbeat job is not
  // mistaken for the one the reset left marked, and fires at once.
  r = request(2, server_doc(kManager, "127.0.0.1"));
  EXPECT_EQ(0, r.head.status);
  ASSERT_TRUE(heartbeats_reach(seen + 1));
  r = request(3, pair_doc(kManager, kClient));
  EXPECT_EQ(0, r.head.status);
  r = request(2, server_doc("MANAGER-0002", "127.0.0.1"));
  EXPECT_EQ(0, r.head.status);
  EXPECT_TRUE(eventually([&] { return heartbeats().size() >= seen + 2; })) << syslog();
  EXPECT_EQ("MANAGER-0002", conf().manager_guid);
}

TEST_F(HeartbeatTest, BackoffWhileNoAddressAnswers) {
  // Nothing listens at the server port: every connection is refused.
  start(managed());
  ASSERT_TRUE(eventually([&] { return exchanges() >= 1; })) << syslog();
  EXPECT_TRUE(logged("Failed to connect to manager 'MANAGER-0001'"));
  for (int i = 0; i < 8; i++) fire();
  EXPECT_EQ(0u, srv_.arrivals().size());
  // Whatever moved the clock (the test, or the host's clock running on by
  // itself), each failed firing backs off one step further.
  const std::vector<int> backing_off = {5, 6, 7, 9, 13, 21, 37, 69};
  std::vector<int> delays = firing_delays();
  ASSERT_LE(9u, delays.size());
  for (size_t i = 0; i < delays.size(); i++)
    EXPECT_EQ(i < backing_off.size() ? backing_off[i] : 69, delays[i]) << "firing " << i;
  const size_t failed = delays.size();

  // The server is back: the next firing connects, and from then on every 5
  // seconds again.
  srv_.listen(kServerPort);
  fire();
  ASSERT_TRUE(heartbeats_reach(1));
  expect_heartbeat(heartbeats()[0]);
  fire();
  fire();
  EXPECT_TRUE(heartbeats_reach(3));
  // The connecting firing was set 69 seconds ahead like the ones before it;
  // every firing after it, 5.
  delays = firing_delays();
  ASSERT_LE(failed + 3, delays.size());
  EXPECT_EQ(69, delays[failed]);
  EXPECT_EQ(std::vector<int>(delays.size() - failed - 1, 5),
            std::vector<int>(delays.begin() + failed + 1, delays.end()));
}

TEST_F(HeartbeatTest, ALiveSecondAddressIsUsed) {
  // The first address refuses, the second accepts.
  srv_.listen(kServerPort, "127.0.0.2");
  start(managed({"127.0.0.1", "127.0.0.2"}));
  ASSERT_TRUE(heartbeats_reach(1)) << syslog();
  expect_heartbeat(heartbeats()[0]);
  ASSERT_TRUE(eventually([&] { return exchanges() >= 1; }));
  fire();
  EXPECT_TRUE(heartbeats_reach(2));
}

TEST_F(HeartbeatTest, AnswersAdoptNewAddressesAndIgnoreAnotherManager) {
  srv_.listen(kServerPort);
  QorConf c = managed({"127.0.0.1", "127.0.0.3"});
  c.client_alias = "kept";
  c.target_iqn = "iqn.2026-01.com.example:kept";
  auto inode = [&] { return h_.exec({"stat", "-c", "%i", QorServer::kConfPath}).out; };
  // Each answer is queued just before the firing meant for it (a firing of
  // the host's own clock may take it first, which changes nothing below).
  // The same addresses in the same order: nothing is written.
  srv_.answer_next(QorAnswer::reply(0, server_doc(kManager, "127.0.0.1 127.0.0.3")));
  start(c);
  const std::string first_inode = inode();
  ASSERT_TRUE(eventually([&] { return exchanges() >= 1; }));
  EXPECT_EQ(first_inode, inode());

  // Another manager: named, nothing stored.
  srv_.answer_next(QorAnswer::reply(0, server_doc("INTRUDER", "127.0.0.5")));
  fire();
  EXPECT_TRUE(logged("'INTRUDER' is not the right manager, 'MANAGER-0001' is"));
  // Another error status changes nothing either.
  srv_.answer_next(QorAnswer::reply(7));
  fire();
  EXPECT_TRUE(logged("Tidewell server return error"));
  EXPECT_EQ(first_inode, inode());

  // New addresses: adopted and saved.
  srv_.answer_next(QorAnswer::reply(0, server_doc(kManager, "127.0.0.1 127.0.0.2")));
  fire();
  EXPECT_TRUE(eventually([&] {
    return conf().manager_ips == std::vector<std::string>{"127.0.0.1", "127.0.0.2"};
  }));
  c = conf();
  EXPECT_EQ(kManager, c.manager_guid);
  EXPECT_EQ("kept", c.client_alias);
  // Still the same server: its channel's target is kept.
  EXPECT_EQ("iqn.2026-01.com.example:kept", c.target_iqn);
  EXPECT_LE(4u, heartbeats().size());
}

TEST_F(HeartbeatTest, ASilentServerEndsTheExchangeAndAShortHeadIsNoAnswer) {
  srv_.listen(kServerPort);
  // The first bytes of a head that would say 50, then silence.
  srv_.answer_next(QorAnswer::silent(std::string("\x02\x00\x32\x00", 4)));
  start(managed());
  ASSERT_TRUE(heartbeats_reach(1));
  // Later firings are not held back by the waiting exchange.
  fire(false);
  ASSERT_TRUE(heartbeats_reach(2));

  ASSERT_EQ(0, h_.simctl({"clock", "advance", "41"}).status);
  EXPECT_TRUE(logged("Failed to receive msg from manager")) << syslog();
  EXPECT_EQ(0u, logged_count("Localhost is unprotected anymore"));
  EXPECT_TRUE(conf().has_manager);
}

TEST_F(HeartbeatTest, StatusFiftyFromAFormerManagerIsIgnored) {
  srv_.listen(kServerPort);
  // The heartbeat to the first manager is answered only later, with 50.
  srv_.answer_next(QorAnswer::held(50));
  start(managed());
  ASSERT_TRUE(heartbeats_reach(1));

  // Meanwhile the host is withdrawn and taken by another server.
  EXPECT_EQ(0, request(3, pair_doc(kManager, kClient)).head.status);
  EXPECT_EQ(0, request(2, server_doc("MANAGER-0002", "127.0.0.1")).head.status);
  ASSERT_TRUE(heartbeats_reach(2));

  srv_.release_silent();
  EXPECT_TRUE(logged("'MANAGER-0001' is not the right manager, 'MANAGER-0002' is")) << syslog();
  EXPECT_EQ(0u, logged_count("Localhost is unprotected anymore"));
  EXPECT_EQ("MANAGER-0002", conf().manager_guid);
}

// A host with zelmird and one protection.
class ProtectedHostTest : public HeartbeatTest {
 protected:
  ProtectedHostTest()
      : HeartbeatTest({"--disk", "sdb:32M", "--lun", std::string("sdc:32M:") + kLunGuid}) {}

  void protect() {
    ExecResult r = h_.exec({"/usr/local/zelmir/bin/zelmird"});
    ASSERT_EQ(0, r.status) << r.out;
    ASSERT_TRUE(eventually([&] { return h_.exec({"test", "-S", "/var/run/hm_unix"}).status == 0; }));
    h_.write_file("/etc/zelcdpagt/devs.reg", std::string(kLunGuid) + "\n");
    r = h_.exec({"/usr/local/zelmir/bin/mirctl", "disk", "protect", "primary=/dev/sdb",
                 "mirror=/dev/sdc"});
    ASSERT_NE(std::string::npos, r.out.find("success")) << r.out;
  }
  std::string statall() { return h_.exec({"/usr/local/zelmir/bin/mirctl", "disk", "statall"}).out; }
};

TEST_F(ProtectedHostTest, StatusFiftyWithdrawsTheHost) {
  ASSERT_NO_FATAL_FAILURE(protect());
  const std::string protected_stat = statall();
  ASSERT_NE(std::string::npos, protected_stat.find(kLunGuid)) << protected_stat;

  srv_.listen(kServerPort);
  QorConf c = managed();
  c.client_alias = "db-7";
  c.target_iqn = "iqn.2026-01.com.example:target";
  QorConf::Group g;
  g.name = "nightly";
  g.members = {"aaaa0001-0000-0000-0000-000000000000"};
  c.groups = {g};
  QorConf::Schedule s;
  s.local_guid = "aaaa0001-0000-0000-0000-000000000000";
  s.mirror_guid = kLunGuid;
  s.con_start_time = s.start_time = 4000000000u;
  s.interval = 600;
  c.schedules = {s};
  start(c);
  ASSERT_TRUE(heartbeats_reach(1));

  // A withdrawal while a protection exists is refused and changes nothing.
  QorReply r = request(3, pair_doc(kManager, kClient));
  EXPECT_EQ(10000, r.head.status);
  EXPECT_TRUE(logged("Client resetting failed due to existing hostmirror protection."));
  QorConf after = conf();
  EXPECT_TRUE(after.has_manager);
  EXPECT_EQ(1u, after.schedules.size());
  EXPECT_EQ(protected_stat, statall());
  ASSERT_TRUE(eventually([&] { return exchanges() >= 1; }));
  fire();

  // The server says the host is no longer managed.
  const size_t from = syslog().size();
  srv_.answer_next(QorAnswer::reply(50));
  fire();
  EXPECT_TRUE(logged("config file is updated correctly.")) << syslog();
  expect_in_order({"Localhost is unprotected anymore", "Releasing all background task.",
                   "Stop heartbeat.", "Remove hostmirror protection.", "Remove all CDP schedules.",
                   "Remove all backup groups.", "Shutdown iSCSI channels.",
                   "Removing manager config informations.", "config file is updated correctly."},
                  from);
  after = conf();
  EXPECT_FALSE(after.has_manager);
  EXPECT_EQ(kClient, after.client_guid);
  EXPECT_EQ("", after.client_alias);
  EXPECT_EQ("", after.target_iqn);
  EXPECT_TRUE(after.groups.empty());
  EXPECT_TRUE(after.schedules.empty());
  EXPECT_EQ(kPort, after.client_port);
  EXPECT_EQ(kServerPort, after.server_port);
  EXPECT_EQ(std::vector<std::string>{"192.0.2.77"}, after.ip_filter);
  // zelmird holds no protection, the mirror is gone from the device registry.
  EXPECT_TRUE(eventually([&] { return statall().find(kLunGuid) == std::string::npos; }))
      << statall();
  std::string calls = h_.read_file("/var/log/zelcdpagt-calls.log");
  EXPECT_NE(std::string::npos, calls.find(std::string("Zel_delete_dev 0 ") + kLunGuid + " result=0"))
      << calls;

  // No heartbeat after it; the host answers as an unmanaged one.  An
  // exchange the pass started would arrive only later: the pass itself shows
  // whether the heartbeat job was still there to fire.
  const size_t seen = heartbeats().size();
  const size_t fired = settled_count("g_heartbeat_running = ");
  // (With no job left the timer sleeps its longest, 600 seconds.)
  advance(601);
  EXPECT_EQ(fired, logged_count("g_heartbeat_running = "));
  EXPECT_EQ(seen, heartbeats().size());
  EXPECT_EQ(0, request(1).head.status);
}

// A host with an address of its own (the channel is set up from the host's
// addresses, loopback left out) and a storage target at the manager's
// address.
class ChannelHostTest : public HeartbeatTest {
 protected:
  static constexpr const char* kIqn = "iqn.2026-01.com.example:store";
  ChannelHostTest() : HeartbeatTest({"--disk", "sdb:8M", "--nic", "eth0:192.0.2.10/24"}) {}

  size_t sessions() {
    ExecResult r = h_.exec({"ls", "/sys/class/iscsi_session"});
    return count(r.out, "session");
  }
};

TEST_F(ChannelHostTest, HeartbeatsBringTheChannelBackAndTheResetLogsOut) {
  h_.write_file("/etc/simhost/iscsi-targets",
                std::string("target ") + kIqn + " 127.0.0.1 lun sdq:16M:" + kLunGuid + "\n");
  srv_.listen(kServerPort);
  srv_.answer_default(QorAnswer::reply(0, server_doc(kManager, "127.0.0.1")));
  QorConf c = managed();
  c.target_iqn = kIqn;
  start(c);

  // No session to the manager's target: the heartbeat sets it up.
  EXPECT_TRUE(logged("Channel auto login success.")) << syslog();
  EXPECT_EQ(1u, sessions());
  // With the session there, nothing more is done.
  fire();
  EXPECT_TRUE(logged("It need not establish channel."));
  EXPECT_EQ(1u, logged_count("Channel auto login success."));

  // The session went away: the next heartbeat brings it back.
  ASSERT_EQ(0, h_.simctl({"iscsi", "session", "remove", kIqn}).status);
  EXPECT_EQ(0u, sessions());
  fire();
  EXPECT_TRUE(eventually([&] { return logged_count("Channel auto login success.") == 2; }));
  EXPECT_EQ(1u, sessions());

  // Withdrawn: logged out of the target, the file without the manager.
  srv_.answer_next(QorAnswer::reply(50));
  fire();
  EXPECT_TRUE(logged("config file is updated correctly."));
  EXPECT_NE(std::string::npos,
            h_.read_file("/var/log/iscsiadm.log")
                .find(std::string("[\"iscsiadm\",\"-m\",\"node\",\"-T\",\"") + kIqn + "\",\"-u\"]"))
      << h_.read_file("/var/log/iscsiadm.log");
  EXPECT_EQ(0u, sessions());
  EXPECT_FALSE(conf().has_manager);
}

}  // namespace
