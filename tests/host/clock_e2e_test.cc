// The host's clocks in whole hosts: `simctl clock` moves the time that
// programs read and wait on through the host layer.
#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <sstream>

#include "eventually.h"
#include "simhost.h"

namespace {

using testsupport::ExecResult;
using testsupport::SimHost;

const std::string kProg = testsupport::test_program("simtest_clock");

// Fields of a "k=v k=v" line.
std::string field(const std::string& out, const std::string& key) {
  std::istringstream in(out);
  std::string word;
  while (in >> word)
    if (word.compare(0, key.size() + 1, key + "=") == 0) return word.substr(key.size() + 1);
  return "";
}

class HostClockE2e : public ::testing::TestWithParam<const char*> {};

// A wait of an hour inside the host ends as soon as the host's clock passes
// it. The clock is moved an hour at a time until the wait is over: a move
// made before the wait took its deadline is not the one that ends it.
TEST_P(HostClockE2e, AdvanceEndsAWaitOfAnHourAtOnce) {
  SimHost h({});
  const std::string kind = GetParam();
  std::future<ExecResult> wait = std::async(std::launch::async, [&] {
    return h.exec({kProg, kind, "3600"});
  });
  bool ended = testsupport::eventually([&] {
    if (wait.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready) return true;
    EXPECT_EQ(h.simctl({"clock", "advance", "3600"}).status, 0);
    return false;
  }, std::chrono::seconds(60), std::chrono::milliseconds(50));
  if (!ended) h.crash();  // so the wait ends and the test can report
  ExecResult r = wait.get();
  ASSERT_TRUE(ended) << r.out;
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(field(r.out, "result"), kind.compare(0, 4, "cond") == 0 ? "ETIMEDOUT" : "0") << r.out;
  EXPECT_GE(std::stol(field(r.out, "host")), 3600) << r.out;
  // Each move is a simctl run of its own inside the host; a wait that missed
  // the move that passed its deadline would wait for the next, or an hour.
  EXPECT_LT(std::stol(field(r.out, "took_ms")), 20000) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Kinds, HostClockE2e,
                         ::testing::Values("sleep", "usleep", "poll", "cond-mono", "cond-wall"));

TEST(HostClockE2eWall, SetWallMovesOnlyTheWallClockAndBackwardsToo) {
  SimHost h({});
  ExecResult before = h.exec({kProg, "now"});
  ASSERT_EQ(before.status, 0) << before.out;
  long mono0 = std::stol(field(before.out, "mono"));
  EXPECT_LE(std::labs(std::stol(field(before.out, "wall")) - time(nullptr)), 5) << before.out;

  ASSERT_EQ(h.simctl({"clock", "set-wall", "1000000000"}).status, 0);
  ExecResult r = h.exec({kProg, "now"});
  long wall = std::stol(field(r.out, "wall")), mono = std::stol(field(r.out, "mono"));
  EXPECT_GE(wall, 1000000000) << r.out;
  EXPECT_LT(wall, 1000000000 + 60) << r.out;
  long t = std::stol(field(r.out, "time"));  // read a moment later
  EXPECT_GE(t, wall) << r.out;
  EXPECT_LE(t, wall + 1) << r.out;
  EXPECT_GE(mono, mono0) << r.out;
  EXPECT_LT(mono, mono0 + 60) << r.out;

  // Both clocks forward from there.
  ASSERT_EQ(h.simctl({"clock", "advance", "86400.5"}).status, 0);
  r = h.exec({kProg, "now"});
  EXPECT_GE(std::stol(field(r.out, "wall")), 1000000000 + 86400) << r.out;
  EXPECT_GE(std::stol(field(r.out, "mono")), mono0 + 86400) << r.out;

  // Refused: not a number of seconds, a step back.
  for (auto args : std::vector<std::vector<std::string>>{
           {"clock", "advance", "-5"}, {"clock", "advance", "1e3"}, {"clock", "set-wall", "x"},
           {"clock", "advance"}, {"clock", "rewind", "5"}}) {
    ExecResult bad = h.simctl(args);
    EXPECT_EQ(bad.status, 2) << bad.out;
  }
  EXPECT_EQ(h.simctl({"clock", "advance", "9223372036"}).status, 1);  // past what the clock holds
}

}  // namespace
