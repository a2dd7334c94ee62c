// qorcd's supervisor with working processes of the test's making: what it
// logs for each end, when it goes on and when it stops, and its pause after
// a working process that died as it started.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fake_clock.h"
#include "log_capture.h"
#include "qor_daemon.h"

namespace {

// How each working process ends, in turn: a signal (negative) or an exit
// status.  The forked children count through a file.
std::vector<int> plan;
std::string counter_path;

int next_turn() {
  int fd = open(counter_path.c_str(), O_RDWR | O_CREAT, 0600);
  char buf[16] = {0};
  ssize_t n = pread(fd, buf, sizeof(buf) - 1, 0);
  int turn = n > 0 ? atoi(buf) : 0;
  std::string next = std::to_string(turn + 1);
  pwrite(fd, next.data(), next.size(), 0);
  close(fd);
  return turn;
}

int count_lines(const std::vector<libtest::SyslogLine>& lines, const std::string& text) {
  int n = 0;
  for (const auto& l : lines) n += l.text.find(text) != std::string::npos;
  return n;
}

TEST(Supervisor, ReplacesFailedWorkingProcessesUntilOneEndsNormally) {
  char dir[] = "/tmp/qorcd_supervisor_XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(dir));
  counter_path = std::string(dir) + "/turn";
  plan = {-SIGKILL, 3, 0};
  agenttest::FakeClock::install(100, 1700000000);
  libtest::take_syslog();

  EXPECT_EQ(0, supervise());

  auto lines = libtest::take_syslog();
  EXPECT_EQ(3, count_lines(lines, "Create working process."));
  for (const char* text : {"Working process has NOT exited normally, read returned status.",
                           "WIFSIGNALED: [1]", "WTERMSIG: [9]", "WCOREDUMP: [0]", "WIFSTOPPED: [0]",
                           "WSTOPSIG: [0]", "Try to restart working process.",
                           "Working process has exited with code [3].",
                           "Working process has exited with non-zero status code, restart working process.",
                           "Working process has exited with code [0].",
                           "Working process has exited normally."})
    EXPECT_EQ(1, count_lines(lines, text)) << text;
  // Both failed processes died at once: each replacement waited a second.
  EXPECT_EQ(2, agenttest::FakeClock::sleeps());
  agenttest::FakeClock::uninstall();
  unlink(counter_path.c_str());
  rmdir(dir);
}

}  // namespace

// The working process of these tests: ends as the plan says for its turn.
int _main(void) {
  int how = plan[static_cast<size_t>(next_turn())];
  if (how < 0) kill(getpid(), -how);
  _exit(how);
}
