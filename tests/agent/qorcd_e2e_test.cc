// qorcd as a host runs it, driven by the tests' managing server: the
// command line and pid file, the supervisor, the heads and statuses on both
// listeners, the address filter, the timer on the host's clock and the udev
// path.
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "eventually.h"
#include "qor_server.h"
#include "simhost.h"

namespace {

using testsupport::ExecResult;
using testsupport::eventually;
using testsupport::QorConf;
using testsupport::QorHead;
using testsupport::QorReply;
using testsupport::QorServer;
using testsupport::SimHost;

const char kQorcd[] = "/usr/local/zelmir/bin/qorcd";
const char kPidFile[] = "/var/run/qorcd.pid";
constexpr uint16_t kPort = 7030;

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
  return n;
}

class QorcdTest : public ::testing::Test {
 protected:
  QorcdTest() : h_({"--disk", "sdb:8M"}), srv_(h_.dir()) {}

  // A working process that crashed (a sanitizer's report, a fault) shows as
  // a restart; only a test that kills one expects that.
  void TearDown() override {
    if (restarts_expected_) return;
    std::string log = settled();
    EXPECT_EQ(std::string::npos, log.find("restart working process.")) << log;
  }

  QorConf conf() const {
    QorConf c;
    c.client_guid = "6f1c7a52-0000-0000-0000-0000000000aa";
    c.client_port = kPort;
    c.server_port = kPort + 1;
    return c;
  }
  void start(const QorConf& c, const std::vector<std::string>& args = {"-d"}) {
    srv_.write_conf(c);
    std::string why;
    ASSERT_TRUE(srv_.start_qorcd(kPort, args, &why)) << why << "\n" << syslog();
  }

  std::string syslog() const { return h_.read_file("/var/log/messages"); }
  bool logged(const std::string& text) const {
    return eventually([&] { return syslog().find(text) != std::string::npos; });
  }
  // The host's syslog is written apart from the programs that log: what has
  // not come is judged only once a line sent after it has.
  std::string settled() {
    static int marks = 0;
    const std::string mark = "test mark " + std::to_string(++marks);
    EXPECT_EQ(0, h_.exec({"logger", mark}).status);
    std::string log;
    EXPECT_TRUE(eventually([&] { return (log = syslog()).find(mark) != std::string::npos; }));
    return log;
  }
  ExecResult in_host(const std::vector<std::string>& argv) { return h_.exec(argv); }
  bool exists_in_host(const std::string& path) { return in_host({"test", "-e", path}).status == 0; }

  // The supervisor's pid as the host numbers it, from the pid file.
  int supervisor() const { return atoi(h_.read_file(kPidFile).c_str()); }
  // Its working process, 0 while it has none.
  int worker() {
    std::string sup = std::to_string(supervisor());
    ExecResult r = in_host({"cat", "/proc/" + sup + "/task/" + sup + "/children"});
    return r.status == 0 ? atoi(r.out.c_str()) : 0;
  }
  std::string unix_probe(int version, uint32_t cmd, int tag) {
    ExecResult r = in_host({testsupport::test_program("qorcd_unix_probe"), std::to_string(version),
                            std::to_string(cmd), std::to_string(tag)});
    EXPECT_EQ(0, r.status) << r.out;
    return r.out;
  }

  SimHost h_;
  QorServer srv_;
  bool restarts_expected_ = false;
};

TEST_F(QorcdTest, UsageStartsNothing) {
  ExecResult r = in_host({kQorcd, "-h"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(std::string(kQorcd) +
                ": zel tidewell daemon\n"
                "  -d    set debug mode, print transport information into logfile\n"
                "  -h    show this information and exit\n",
            r.out);
  EXPECT_FALSE(exists_in_host(kPidFile));
}

TEST_F(QorcdTest, PidFileAndASecondInstance) {
  start(conf());
  const std::string pid_text = h_.read_file(kPidFile);
  const int sup = supervisor();
  ASSERT_GT(sup, 0);
  EXPECT_EQ(std::to_string(sup) + "\n", pid_text);
  EXPECT_EQ("644\n", in_host({"stat", "-c", "%a", kPidFile}).out);
  EXPECT_TRUE(exists_in_host("/proc/" + std::to_string(sup)));
  ASSERT_TRUE(eventually([&] { return worker() > 0; }));

  // The second launcher succeeds; its daemon finds the lock taken and ends.
  ExecResult second = in_host({kQorcd});
  EXPECT_EQ(0, second.status) << second.out;
  EXPECT_TRUE(logged("Unable to lock pid file")) << syslog();
  EXPECT_EQ(pid_text, h_.read_file(kPidFile));
  QorReply r = srv_.request(kPort, 57, "", 5);
  EXPECT_TRUE(r.replied);
}

TEST_F(QorcdTest, HeadsAndStatusesOnBothListeners) {
  start(conf());

  // A head of another version: status 1, command 0, the tag, nothing more.
  QorHead old;
  old.version = 1;
  old.cmd = 57;
  old.tag = 0x4321;
  QorReply r = srv_.send(kPort, old, "");
  ASSERT_TRUE(r.replied) << r.error;
  EXPECT_EQ(2, r.head.version);
  EXPECT_EQ(1, r.head.status);
  EXPECT_EQ(0x4321, r.head.tag);
  EXPECT_EQ(0u, r.head.cmd);
  EXPECT_EQ(0u, r.head.data_len);
  EXPECT_EQ(16u, r.raw.size());

  // Replies carry version 2, the tag and the command; an unmanaged host
  // refuses a relationship command with 50.
  r = srv_.request(kPort, 4, "", 77);
  ASSERT_TRUE(r.replied);
  EXPECT_EQ(2, r.head.version);
  EXPECT_EQ(50, r.head.status);
  EXPECT_EQ(77, r.head.tag);
  EXPECT_EQ(4u, r.head.cmd);
  EXPECT_EQ(0, r.head.reserved1);
  EXPECT_EQ(0, r.head.reserved2);

  // No command: the connection closes without a byte.  The local tool's
  // commands are no commands on TCP.
  for (uint32_t cmd : {0u, 7u, 32u, 30009u, 30012u, 30010u, 30011u}) {
    SCOPED_TRACE(cmd);
    r = srv_.request(kPort, cmd, "", 3);
    EXPECT_TRUE(r.connected);
    EXPECT_TRUE(r.closed);
    EXPECT_EQ("", r.raw);
  }

  // The unix socket serves them.
  EXPECT_EQ("replied version=2 status=1 tag=0 cmd=0 len=0\n", unix_probe(1, 30010, 0));
  std::string local = unix_probe(2, 30010, 12);
  EXPECT_EQ(0u, local.find("replied version=2 ")) << local;
  EXPECT_NE(std::string::npos, local.find(" tag=12 cmd=30010 ")) << local;
  EXPECT_EQ("closed\n", unix_probe(2, 0, 12));
  EXPECT_EQ("closed\n", unix_probe(2, 40000, 12));
}

TEST_F(QorcdTest, AShortHeadIsNoCommand) {
  start(conf());
  // The version and the first byte of command 1, then silence: when the
  // connection's time-out passes on the host's clock, the connection is
  // closed without a reply.
  srv_.set_keep_open(true);
  srv_.set_reply_limit(std::chrono::seconds(60));
  QorReply r;
  std::atomic<bool> done{false};
  std::thread t([&] {
    r = srv_.send_raw(kPort, std::string("\x02\0\0\0\0\0\x07\0\x01", 9));
    done = true;
  });
  EXPECT_TRUE(eventually(
      [&] {
        h_.simctl({"clock", "advance", "41"});
        return done.load();
      },
      std::chrono::seconds(50), std::chrono::milliseconds(500)));
  t.join();
  EXPECT_TRUE(r.connected);
  EXPECT_TRUE(r.closed);
  EXPECT_EQ("", r.raw);
  EXPECT_EQ(std::string::npos, settled().find("Received command code: 1."));
}

TEST_F(QorcdTest, TricklingPeersHoldNeitherTheUnixSocketNorThePortForLong) {
  QorConf c = conf();
  c.has_manager = true;
  c.manager_guid = "5e1d0000-0000-0000-0000-0000000000bb";
  c.manager_ips = {"127.0.0.1"};
  srv_.listen(kPort + 1);
  start(c);
  ASSERT_TRUE(eventually([&] { return !srv_.arrivals().empty(); })) << "no first heartbeat";

  // More peers than the port serves at once, each with the first byte of a
  // head and then silence.
  constexpr int kPeers = 80;
  constexpr int kServedAtOnce = 64;
  std::vector<int> peers;
  for (int i = 0; i < kPeers; i++) {
    std::string why;
    int fd = srv_.connect_to(kPort, &why);
    ASSERT_GE(fd, 0) << why;
    peers.push_back(fd);
    ASSERT_EQ(1, ::send(fd, "\x02", 1, MSG_NOSIGNAL));
  }
  auto trickle = [&] {
    for (int fd : peers) ::send(fd, "\0", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
  };
  auto closed_by_qorcd = [&] {
    int n = 0;
    char byte;
    for (int fd : peers) n += ::recv(fd, &byte, 1, MSG_DONTWAIT) == 0;
    return n;
  };
  // Every connection qorcd serves has read its first byte.
  ASSERT_TRUE(eventually([&] { return count(syslog(), "total:1 left:15") >= kServedAtOnce; }));

  // The local tool is served at once, whatever the port's peers hold.
  const auto asked = std::chrono::steady_clock::now();
  ExecResult list = in_host({"timeout", "10", "qorctl", "-l"});
  EXPECT_EQ(0, list.status) << list.out;
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(10));

  // A byte every 20 s restarts no limit: 40 s after its acceptance a
  // request that has not arrived whole ends its connection.  (A limit
  // restarted by each byte would end them only some 20 s later, in this
  // machine's time.)
  h_.simctl({"clock", "advance", "20"});
  trickle();
  h_.simctl({"clock", "advance", "21"});
  EXPECT_TRUE(eventually([&] { return closed_by_qorcd() >= kServedAtOnce; },
                         std::chrono::seconds(5)))
      << closed_by_qorcd() << " closed";

  // The port serves again: the peers from the backlog took slots of their
  // own, the new request one more.
  srv_.set_reply_limit(std::chrono::seconds(10));
  QorReply r = srv_.request(kPort, 57, "", 9);
  EXPECT_TRUE(r.replied) << r.error;
  EXPECT_EQ(0, r.head.status);

  // The heartbeat kept its period throughout.
  for (int i = 0; i < 3; i++) {
    const size_t before = srv_.arrivals().size();
    h_.simctl({"clock", "advance", "5"});
    EXPECT_TRUE(eventually([&] { return srv_.arrivals().size() > before; })) << "period " << i;
  }
  for (int fd : peers) close(fd);
}

TEST_F(QorcdTest, FilteredLocalAddressIsClosedUnread) {
  QorConf c = conf();
  c.ip_filter = {"127.0.0.2"};
  start(c);
  srv_.set_target_address("127.0.0.2");
  QorReply r = srv_.request(kPort, 4, "", 1);
  EXPECT_TRUE(r.connected);
  EXPECT_TRUE(r.closed);
  EXPECT_EQ("", r.raw);
  srv_.set_target_address("127.0.0.1");
  r = srv_.request(kPort, 4, "", 1);
  EXPECT_TRUE(r.replied);
  EXPECT_EQ(0u, unix_probe(2, 4, 1).find("replied version=2 status=50 "));
  // The filtered connection was never read: only the other two arrived.
  EXPECT_EQ(2u, count(settled(), "Received command code: 4."));
}

TEST_F(QorcdTest, SupervisorReplacesAKilledWorkingProcess) {
  restarts_expected_ = true;
  start(conf());
  int first = 0;
  ASSERT_TRUE(eventually([&] { return (first = worker()) > 0; }));
  // Long enough alive for a restart without a pause.
  ASSERT_TRUE(logged("Waiting timeout_thread for 1 second"));

  ASSERT_EQ(0, in_host({"kill", "-9", std::to_string(first)}).status);
  EXPECT_TRUE(logged("Try to restart working process.")) << syslog();
  std::string log = syslog();
  for (const char* line : {"Working process has NOT exited normally, read returned status.",
                           "WIFSIGNALED: [1]", "WTERMSIG: [9]", "WCOREDUMP: [0]",
                           "WIFSTOPPED: [0]", "WSTOPSIG: [0]"})
    EXPECT_NE(std::string::npos, log.find(line)) << line;
  EXPECT_TRUE(eventually([&] { return count(syslog(), "Create working process.") == 2; }));
  int second = 0;
  EXPECT_TRUE(eventually([&] { return (second = worker()) > 0 && second != first; }));
  // The new process listens on the port again.
  EXPECT_TRUE(eventually([&] { return srv_.request(kPort, 4, "", 2).replied; }));
}

TEST_F(QorcdTest, MissingConfigurationEndsTheDaemon) {
  ExecResult r = in_host({kQorcd});
  EXPECT_EQ(0, r.status) << r.out;
  EXPECT_TRUE(logged("Working process has exited normally.")) << syslog();
  EXPECT_NE(std::string::npos, syslog().find("Working process has exited with code [0]."));
  const std::string sup = std::to_string(supervisor());
  EXPECT_TRUE(eventually([&] { return !exists_in_host("/proc/" + sup + "/status"); }));
  EXPECT_EQ(1u, count(syslog(), "Create working process."));
}

TEST_F(QorcdTest, ABusyPortEndsTheDaemonAfterItsThreadsStarted) {
  // Something else holds ClientPort: the listener fails after the service
  // threads run, and the working process ends without pulling their state
  // from under them.
  srv_.listen(kPort);
  srv_.write_conf(conf());
  ExecResult r = in_host({kQorcd, "-d"});
  EXPECT_EQ(0, r.status) << r.out;
  EXPECT_TRUE(logged("Working process has exited normally.")) << syslog();
  std::string log = syslog();
  EXPECT_NE(std::string::npos, log.find("Failed to bind (Address already in use)"));
  EXPECT_NE(std::string::npos, log.find("g_timeout_thread_running = 1"));
  EXPECT_NE(std::string::npos, log.find("Working process has exited with code [0]."));
}

TEST_F(QorcdTest, ScheduleFiresOnTheHostClock) {
  // A disk schedule an hour from now, every 10 minutes.
  QorConf c = conf();
  QorConf::Schedule s;
  s.local_guid = "aaaa0001-0000-0000-0000-000000000000";
  s.mirror_guid = "60030d90-aaaa-bbbb-cccc-000000000001";
  s.interval = 600;
  s.start_time = s.con_start_time = static_cast<uint64_t>(time(nullptr)) + 3600;
  // A stored schedule with interval 0 would fire on every pass: refused,
  // without ending the daemon.
  QorConf::Schedule zero = s;
  zero.local_guid = "aaaa0002-0000-0000-0000-000000000000";
  zero.interval = 0;
  c.schedules = {s, zero};
  start(c);
  EXPECT_TRUE(logged("CDP schedule of disk " + zero.local_guid + " has interval 0, not registered."));
  const std::string fired = "Background task: CDP task for disk " + s.local_guid + " - " +
                            s.mirror_guid + " fired!";
  // What each pass of the timer made of the job: its due time less the
  // pass's now, logged as the pass considers the job, before it would fire.
  auto dues = [&] {
    std::vector<int> out;
    const std::regex line("\\]2 next: (-?\\d+), timeout: \\d+\\(" + s.mirror_guid + "\\)");
    const std::string log = syslog();
    for (std::sregex_iterator it(log.begin(), log.end(), line), end; it != end; ++it)
      out.push_back(std::stoi((*it)[1]));
    return out;
  };

  // Most of the hour: the timer wakes (its longest sleep is 600 seconds)
  // and finds the job due only in about 100 seconds, so it does not fire.
  const size_t before = dues().size();
  h_.simctl({"clock", "advance", "3500"});
  std::vector<int> seen;
  ASSERT_TRUE(eventually([&] {
    seen = dues();
    return seen.size() > before && seen.back() > 0 && seen.back() <= 100;
  })) << syslog();
  EXPECT_EQ(0u, count(syslog(), fired));

  // The wall clock set back a day does not move the job.
  h_.simctl({"clock", "set-wall", std::to_string(time(nullptr) - 86400)});
  h_.simctl({"clock", "advance", "200"});
  EXPECT_TRUE(eventually([&] { return count(syslog(), fired) == 1; })) << syslog();
  h_.simctl({"clock", "advance", "600"});
  EXPECT_TRUE(eventually([&] { return count(syslog(), fired) == 2; }));
}

TEST_F(QorcdTest, DiskEventsProbeOnceAndTheCdDriveNever) {
  start(conf());
  const std::string probe = "Probing all SCSI Device";
  auto probes = [&] { return count(h_.read_file("/var/log/zelcdpagt-calls.log"), probe); };
  // Start-up is over once the monitor is listening.
  ASSERT_TRUE(logged("Start listening disk thread."));
  const size_t base = probes();

  ASSERT_EQ(0, h_.simctl({"disk", "add", "sdc", "8M"}).status);
  EXPECT_TRUE(logged("Get device: node :/dev/sdc subsystem :block devtype :disk action :add"))
      << syslog();
  EXPECT_TRUE(eventually([&] { return probes() == base + 1; }));

  // A CD drive and a device without a node, then a disk whose event shows
  // that the two before it were read.
  ExecResult sr0 = h_.simctl({"uevent", "add", "sr0"});
  ASSERT_EQ(0, sr0.status) << sr0.out;
  ASSERT_EQ(0, h_.simctl({"uevent", "change", "sdq", "--no-node"}).status);
  ASSERT_EQ(0, h_.simctl({"uevent", "change", "sdc"}).status);
  EXPECT_TRUE(logged("node :/dev/sdc subsystem :block devtype :disk action :change"));
  EXPECT_TRUE(eventually([&] { return probes() == base + 2; }));
  EXPECT_EQ(std::string::npos, syslog().find("/dev/sr0"));
  EXPECT_EQ(std::string::npos, syslog().find("sdq"));
}

}  // namespace
