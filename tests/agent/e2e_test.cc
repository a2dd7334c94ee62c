// The agent programs in a simulated host, as the package installs them.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "eventually.h"
#include "simhost.h"

namespace {

using testsupport::ExecResult;
using testsupport::SimHost;

class AgentE2e : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { host_ = std::make_unique<SimHost>(std::vector<std::string>{}); }
  static void TearDownTestSuite() { host_.reset(); }
  static std::unique_ptr<SimHost> host_;
};
std::unique_ptr<SimHost> AgentE2e::host_;

TEST_F(AgentE2e, ProgramsRunFromThePathWithTheInstalledLibraries) {
  // Found on the host's PATH, their libraries found through their run path
  // (the loader would end them with 127 otherwise).
  ExecResult r = host_->exec({"qorcd", "-h"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out,
            "qorcd: zel tidewell daemon\n"
            "  -d    set debug mode, print transport information into logfile\n"
            "  -h    show this information and exit\n");
  for (const char *prog : {"qorctl", "qorguid"}) {
    r = host_->exec({prog});
    EXPECT_EQ(r.status, 0) << prog << ": " << r.out;
  }
}

TEST_F(AgentE2e, LocalClientTimeoutRunsOnTheHostClock) {
  std::atomic<bool> done{false};
  ExecResult probe;
  std::thread t([&] {
    probe = host_->exec({testsupport::test_program("agent_local_probe")});
    done = true;
  });
  // Each move of the host's clock past the client's 40 seconds ends the
  // wait in progress; the first that comes while it waits ends the exchange.
  bool ended = testsupport::eventually(
      [&] {
        if (done) return true;
        host_->simctl({"clock", "advance", "41"});
        return done.load();
      },
      std::chrono::seconds(30), std::chrono::milliseconds(200));
  t.join();
  EXPECT_TRUE(ended);
  EXPECT_EQ(probe.status, 0) << probe.out;
  EXPECT_NE(probe.out.find("result=-1 "), std::string::npos) << probe.out;
  long seconds = -1;
  size_t at = probe.out.find("seconds=");
  if (at != std::string::npos) seconds = std::stol(probe.out.substr(at + 8));
  EXPECT_GE(seconds, 0) << probe.out;
  EXPECT_LT(seconds, 30) << "the client waited on this machine's clock: " << probe.out;
}

}  // namespace
