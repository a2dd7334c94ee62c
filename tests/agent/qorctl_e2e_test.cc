// qorctl and qorguid in a simulated host, as the package installs them,
// against a stand-in for qorcd's listeners (tests/support/qor_listener) that
// answers whole, in pieces, short, refuses, or stays silent; the limits of
// the local client (40 s) and of the connection check (10 s) run on the
// host's clock, which the tests move.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "eventually.h"
#include "simhost.h"

namespace {

using testsupport::ExecResult;
using testsupport::SimHost;

const std::string kListener = testsupport::test_program("qor_listener");
const char kLunGuid[] = "6f1d2c3b-aaaa-bbbb-cccc-0123456789ab";
const uint32_t kSignature = 0x1234abcd;
const char kDiskGuid[] = "1234abcd-0000-0000-0000-000000000000";
const char kRecord[] = "/tmp/qorctl-request";

// What qorctl sends: version 2, tag 0, no payload; and the check's version 1.
const char kListHead[] = "02000000000000003a75000000000000\n";
const char kWithdrawHead[] = "02000000000000003b75000000000000\n";
const char kCheckHead[] = "01000000000000003900000000000000\n";

const char kUsage[] =
    "  -l|--list             list all qorcd knows\n"
    "  -d|--delete           delete all configuration, except client guid\n"
    "  -c|--check <ip:port>  check if connection can be established with peer\n"
    "  -h|--help             show this message and exit\n";
const char kNoInformation[] = "No information, perhaps service stopped\n";

class QorctlE2e : public ::testing::Test {
 protected:
  // sdb a plain disk signed with kSignature, sdc a LUN of the maker's.
  static void SetUpTestSuite() {
    host_ = std::make_unique<SimHost>(
        std::vector<std::string>{"--disk", "sdb:16M", "--lun", std::string("sdc:16M:") + kLunGuid},
        false);
    int fd = open(host_->image("sdb").c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, &kSignature, 4, 440), 4);
    close(fd);
    host_->start();
  }
  static void TearDownTestSuite() { host_.reset(); }

  void SetUp() override { host_->exec({"rm", "-f", kRecord}); }

  // A stand-in on qorcd's unix socket, or on a TCP port, listening when
  // this returns.
  static void listen_unix(std::vector<std::string> script) {
    script.insert(script.begin(), {kListener, "unix", "/var/run/qorcd.sock", "--record", kRecord});
    ExecResult r = host_->exec(script);
    ASSERT_EQ(r.status, 0) << r.out;
  }
  static void listen_tcp(int port, std::vector<std::string> script) {
    script.insert(script.begin(), {kListener, "tcp", std::to_string(port), "--record", kRecord});
    ExecResult r = host_->exec(script);
    ASSERT_EQ(r.status, 0) << r.out;
  }
  static void no_listener() { host_->exec({"rm", "-f", "/var/run/qorcd.sock"}); }

  // qorctl in the host, in UTC so start times read the same everywhere.
  static ExecResult qorctl(std::vector<std::string> args) {
    args.insert(args.begin(), {"env", "TZ=UTC", "qorctl"});
    return host_->exec(args);
  }

  // qorctl while the test moves the host's clock by step seconds at a time
  // until it ends: only a wait on the host's clock ends this soon.
  static ExecResult qorctl_on_moved_clock(std::vector<std::string> args, int step) {
    std::atomic<bool> done{false};
    ExecResult r;
    std::thread t([&] {
      r = qorctl(args);
      done = true;
    });
    bool ended = testsupport::eventually(
        [&] {
          if (done) return true;
          host_->simctl({"clock", "advance", std::to_string(step)});
          return done.load();
        },
        std::chrono::seconds(60), std::chrono::milliseconds(200));
    t.join();
    EXPECT_TRUE(ended);
    return r;
  }

  static std::string request() { return host_->read_file(kRecord); }

  static std::unique_ptr<SimHost> host_;
};
std::unique_ptr<SimHost> QorctlE2e::host_;

TEST_F(QorctlE2e, UsageAndExitStatus) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out;   // stdout and stderr merged
  };
  const std::string multi = "Multi-operation is forbbiden\n";
  const Case cases[] = {
      {{}, 0, kUsage},
      {{"-h"}, 255, kUsage},
      {{"--help"}, 255, kUsage},
      {{"-x"}, 255, std::string("qorctl: invalid option -- 'x'\n") + kUsage},
      {{"-c"}, 255, std::string("qorctl: option requires an argument -- 'c'\n") + kUsage},
      {{"-l", "-d"}, 255, multi},
      {{"-l", "-c", "127.0.0.1:1"}, 255, multi},
      {{"-d", "--check", "127.0.0.1:1"}, 255, multi},
      {{"stray"}, 0, ""},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv = {"qorctl"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    ExecResult r = host_->exec(argv);
    std::string name;
    for (const std::string& a : c.args) name += a + " ";
    EXPECT_EQ(r.status, c.status) << name;
    EXPECT_EQ(r.out, c.out) << name;
  }
}

// The list reply as qorcd writes it: a manager with two addresses, and
// schedules of 90 minutes, 2 hours and none.
const std::string kListReply =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    "<Tidewell><Client GUID=\"client-7\" Alias=\"\"/>"
    "<Manager GUID=\"mngr-3\" IPs=\"10.0.0.5 192.0.2.9\"/>"
    "<CDPSchedule Local=\"" + std::string(kDiskGuid) + "\" Mirror=\"" + kLunGuid +
    "\" StartTime=\"1700000000\" Timeout=\"5400\"/>"
    "<CDPSchedule Local=\"elsewhere\" Mirror=\"" + kLunGuid +
    "\" StartTime=\"1700003600\" Timeout=\"7200\"/>"
    "<CDPSchedule Local=\"" + kDiskGuid + "\" Mirror=\"gone\" StartTime=\"0\" Timeout=\"0\"/>"
    "</Tidewell>\n";

const std::string kListing =
    "Client: client-7\n"
    "  Alias: --\n"
    "\n"
    "Manager: mngr-3\n"
    "  ipaddress: 10.0.0.5\n"
    "  ipaddress: 192.0.2.9\n"
    "\n"
    "CDP Schedule:\n"
    "  Primary:     /dev/sdb (" + std::string(kDiskGuid) + ")\n"
    "  Mirror:      /dev/sdc (" + kLunGuid + ")\n"
    "  Start time:  2023/11/14 22:13:20\n"
    "  Interval:    90 (minute)\n"
    "\n"
    "CDP Schedule:\n"
    "  Mirror:      /dev/sdc (" + kLunGuid + ")\n"
    "  Start time:  2023/11/14 23:13:20\n"
    "  Interval:    2 (hour)\n"
    "\n"
    "CDP Schedule:\n"
    "  Primary:     /dev/sdb (" + std::string(kDiskGuid) + ")\n"
    "  Start time:  1970/01/01 00:00:00\n"
    "  Interval:    0 (hour)\n"
    "\n";

TEST_F(QorctlE2e, ListPrintsWhatQorcdAnswers) {
  for (std::string pieces : {"0", "7"}) {
    listen_unix({"--body", kListReply, "--pieces", pieces});
    ExecResult r = qorctl({"-l"});
    EXPECT_EQ(r.status, 0) << pieces;
    EXPECT_EQ(r.out, kListing) << "pieces " << pieces;
    EXPECT_EQ(request(), kListHead);
  }
}

TEST_F(QorctlE2e, ListWithoutAnAnswer) {
  const std::vector<std::vector<std::string>> scripts = {
      {"--status", "1", "--body", kListReply},   // refused
      {},                                        // no document
      {"--body", "<Tidewell"},                   // no document that parses
      {"--body", kListReply, "--cut", "9"},      // the head cut short, then closed
      {"--body", kListReply, "--cut", "40"},     // the document cut short
      {"--hangup"},
  };
  for (const auto& script : scripts) {
    listen_unix(script);
    ExecResult r = qorctl({"-l"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kNoInformation) << testing::PrintToString(script);
  }
  no_listener();
  ExecResult r = qorctl({"-l"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kNoInformation);
}

TEST_F(QorctlE2e, ListGivesUpAfterFortySecondsOfTheHostClock) {
  // Silent, or a short reply and silence: each wait for qorcd ends at the
  // local client's limit on the host's clock.
  for (const std::vector<std::string>& script :
       {std::vector<std::string>{"--silent"},
        std::vector<std::string>{"--body", kListReply, "--cut", "30", "--hold"}}) {
    listen_unix(script);
    auto t0 = std::chrono::steady_clock::now();
    ExecResult r = qorctl_on_moved_clock({"-l"}, 41);
    auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kNoInformation) << testing::PrintToString(script);
    EXPECT_LT(took, std::chrono::seconds(30)) << "waited on this machine's clock";
    EXPECT_EQ(request(), kListHead);
  }
}

TEST_F(QorctlE2e, WithdrawBothWays) {
  listen_unix({});
  ExecResult r = qorctl({"-d"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "Escaping done\n");
  EXPECT_EQ(request(), kWithdrawHead);

  // qorcd refuses while the server still answers heartbeats.
  const char refused[] = "Failed to escape, perhaps Tidewell Server still alive\n";
  listen_unix({"--status", "1"});
  r = qorctl({"--delete"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, refused);

  no_listener();
  r = qorctl({"-d"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, refused);
}

TEST_F(QorctlE2e, CheckCountsAnyAnswer) {
  // qorcd's refusal of a version-1 head, and a peer that closes after it
  // read the head.
  int port = 47101;
  for (const std::vector<std::string>& script :
       {std::vector<std::string>{"--status", "1"}, std::vector<std::string>{"--hangup"}}) {
    listen_tcp(port, script);
    std::string peer = "127.0.0.1:" + std::to_string(port);
    ExecResult r = qorctl({"-c", peer});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Connect to " + peer + " successfully\n");
    EXPECT_EQ(request(), kCheckHead);
    ++port;
  }
}

TEST_F(QorctlE2e, CheckWithoutAnAnswer) {
  // A closed port, no port, an address that is no dotted quad, and an
  // argument too long for the address buffer: each is reported with the
  // argument as given.
  const std::string too_long = "127.0.0.1:47100" + std::string(20, ' ');
  for (const std::string& peer : {std::string("127.0.0.1:47199"), std::string("192.0.2.7"),
                                  std::string("qorcd.example:47100"), too_long}) {
    ExecResult r = qorctl({"-c", peer});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "No reponses from " + peer + "\n");
  }
}

TEST_F(QorctlE2e, CheckGivesUpAfterTenSecondsOfTheHostClock) {
  // A peer that takes the connection and never answers, and a port whose
  // full queue leaves the connection attempt unanswered.
  int port = 47111;
  for (const std::vector<std::string>& script :
       {std::vector<std::string>{"--silent"}, std::vector<std::string>{"--full"}}) {
    listen_tcp(port, script);
    std::string peer = "127.0.0.1:" + std::to_string(port);
    ExecResult r = qorctl_on_moved_clock({"-c", peer}, 11);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "No reponses from " + peer + "\n") << testing::PrintToString(script);
    ++port;
  }
}

std::string guid_of(uint32_t sig) {
  char buf[64];
  snprintf(buf, sizeof buf, "%08x-0000-0000-0000-000000000000\n", sig);
  return buf;
}

TEST_F(QorctlE2e, QorguidDrawsFromTheHostsWallClock) {
  ExecResult r = host_->exec({"qorguid", "ignored", "arguments"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(std::regex_match(r.out, std::regex("[0-9a-f]{8}-0000-0000-0000-000000000000\n")))
      << r.out;

  // The draw is seeded with the wall clock's seconds: two runs right after
  // the host's clock is set to a second S both print S's GUID.  A try whose
  // runs came after S had passed is made again with another second.
  bool agreed = false;
  for (int attempt = 0; attempt < 5 && !agreed; ++attempt) {
    const long second = 2000000000L + attempt * 1000;
    srand(static_cast<unsigned>(second));
    const std::string expected = guid_of(static_cast<uint32_t>(rand()));
    ASSERT_EQ(host_->simctl({"clock", "set-wall", std::to_string(second)}).status, 0);
    r = host_->exec({"sh", "-c", "qorguid; qorguid"});
    agreed = r.status == 0 && r.out == expected + expected;
  }
  EXPECT_TRUE(agreed) << r.out;
}

}  // namespace
