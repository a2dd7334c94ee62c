// The agent programs' logging: libmirapi's logging source built with
// 4096-byte lines and the agent's console policy, exported from the program.
#include <gtest/gtest.h>
#include <stdarg.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "log_capture.h"
#include "mirapi/log.h"
#include "mirapi/util.h"

namespace {

using libtest::take_syslog;

struct OpenlogCall {
  std::string ident;
  int option;
  int facility;
};
std::vector<OpenlogCall> g_openlog;

}  // namespace

extern "C" void openlog(const char *ident, int option, int facility) {
  g_openlog.push_back({ident ? ident : "", option, facility});
}

namespace {

// Runs fn in a child whose standard output is a pipe (never a terminal) and
// returns what it printed; the child's own checks decide its exit status.
// Console output, once granted, is never taken back, so it is only ever
// granted in a child.
std::string in_child_with_piped_stdout(void (*fn)(), int *status) {
  int p[2];
  if (pipe(p) != 0) abort();
  fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(p[1], STDOUT_FILENO);
    close(p[0]);
    close(p[1]);
    fn();
    fflush(stdout);
    _exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  close(p[1]);
  std::string out;
  char buf[4096];
  ssize_t n;
  while ((n = read(p[0], buf, sizeof(buf))) > 0) out.append(buf, static_cast<size_t>(n));
  close(p[0]);
  waitpid(pid, status, 0);
  return out;
}

class AgentLog : public ::testing::Test {
 protected:
  void SetUp() override {
    set_log_level(7);
    take_syslog();
    g_openlog.clear();
  }
};

TEST_F(AgentLog, WithoutInitEveryLevelUpToSevenGoesToSyslogUnopened) {
  log_write(7, "probe", 12, "x");
  log_write(3, "probe", 13, "failed\n");
  auto got = take_syslog();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].priority, 7);
  EXPECT_EQ(got[0].text, "func: probe line: 12 msg: x\n");
  EXPECT_EQ(got[1].priority, 3);
  EXPECT_EQ(got[1].text, "failed\n");
  EXPECT_TRUE(g_openlog.empty()) << "syslog keeps its default identity";
}

TEST_F(AgentLog, LinesHoldUpTo4095Characters) {
  struct Case {
    int level;
    size_t msg_len;
    std::string prefix;   // what precedes the message in the line
    size_t want_len;      // of the whole line, newline included
  } cases[] = {
      {6, 3000, "", 3001},                                     // whole; libmirapi's would cut it
      {6, 4094, "", 4095},                                     // exactly fits with its newline
      {6, 4095, "", 4095},                                     // the newline takes the last one
      {6, 6000, "", 4095},
      {7, 3000, "func: some_function line: 99 msg: ", 3035},
      {7, 6000, "func: some_function line: 99 msg: ", 4095},
  };
  for (const auto &c : cases) {
    std::string msg(c.msg_len, 'a');
    log_write(c.level, "some_function", 99, "%s", msg.c_str());
    auto got = take_syslog();
    ASSERT_EQ(got.size(), 1u) << c.msg_len;
    const std::string &t = got[0].text;
    EXPECT_EQ(t.size(), c.want_len) << c.msg_len;
    EXPECT_EQ(t.compare(0, c.prefix.size(), c.prefix), 0) << c.msg_len;
    EXPECT_EQ(t.find('\n'), c.want_len - 1) << "one newline, at the end: " << c.msg_len;
  }
}

TEST_F(AgentLog, InitWithoutConsoleOpensSyslogUnderTheNameWithTheUserFacility) {
  log_init("qortest", 0, 6, 0);
  ASSERT_EQ(g_openlog.size(), 1u);
  EXPECT_EQ(g_openlog[0].ident, "qortest");
  EXPECT_EQ(g_openlog[0].option, 0);
  EXPECT_EQ(g_openlog[0].facility, LOG_USER);

  log_write(7, "f", 1, "dropped at level 6");
  log_write(6, "f", 1, "kept");
  auto got = take_syslog();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].text, "kept\n");
}

TEST_F(AgentLog, ConsoleIsGrantedWithoutATerminalAndTakesLibmirapisCallsToo) {
  int status = -1;
  std::string out = in_child_with_piped_stdout(
      [] {
        log_init("qortest", 1, 7, 0);
        log_write(7, "g", 5, "on standard output");
        // A routine of libmirapi that logs: its line reaches the program's
        // own logger, which alone prints to standard output here.
        free(hm_get_sysfs_value(nullptr, 16));
        EXPECT_TRUE(take_syslog().empty());
        EXPECT_TRUE(g_openlog.empty());
      },
      &status);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the child saw syslog used";
  EXPECT_EQ(out,
            "func: g line: 5 msg: on standard output\n"
            "Null file path, cannot read value.\n");
}

}  // namespace
