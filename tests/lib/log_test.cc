#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "eventually.h"
#include "log_capture.h"
#include "mirapi/log.h"

namespace {

using libtest::take_syslog;

// Points standard output at a pipe (not a terminal) or at a pseudo-terminal
// for the life of the object and gives back what was written to it.
class StdoutCapture {
 public:
  explicit StdoutCapture(bool terminal) : terminal_(terminal) {
    fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    if (terminal) {
      read_fd_ = posix_openpt(O_RDWR | O_NOCTTY);
      grantpt(read_fd_);
      unlockpt(read_fd_);
      int slave = open(ptsname(read_fd_), O_RDWR | O_NOCTTY);
      termios t;
      tcgetattr(slave, &t);
      cfmakeraw(&t);
      tcsetattr(slave, TCSANOW, &t);
      dup2(slave, STDOUT_FILENO);
      close(slave);
    } else {
      int p[2];
      if (pipe(p) != 0) abort();
      read_fd_ = p[0];
      dup2(p[1], STDOUT_FILENO);
      close(p[1]);
    }
    fcntl(read_fd_, F_SETFL, O_NONBLOCK);
  }
  ~StdoutCapture() { restore(); close(read_fd_); }

  // Everything printed so far. Once stdout is flushed it is all in a pipe;
  // a pseudo-terminal hands it to its reader a moment later.
  std::string take() {
    fflush(stdout);
    std::string out = drain();
    if (terminal_ && out.empty())
      testsupport::eventually([&] { return !(out = drain()).empty(); }, std::chrono::seconds(5));
    return out;
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
    saved_ = -1;
  }
  std::string drain() {
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = read(read_fd_, buf, sizeof(buf))) > 0;)
      out.append(buf, static_cast<size_t>(n));
    return out;
  }

  bool terminal_;
  int saved_ = -1;
  int read_fd_ = -1;
};

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log_init("libtest", 0, LOG_DEBUG, 0);
    zelc_system_log_off = 0;
    zelc_printf_log_off = 0;
    take_syslog();
  }
  void TearDown() override {
    log_init("libtest", 0, LOG_DEBUG, 0);
    zelc_system_log_off = 0;
    zelc_printf_log_off = 0;
  }
};

struct LineCase {
  int log_level;
  int level;
  const char* msg;
  const char* want;   // null: nothing is written
};

TEST_F(LogTest, LineFormsLevelsAndNewline) {
  const LineCase cases[] = {
      {LOG_INFO, LOG_INFO, "x", "x\n"},
      {LOG_INFO, LOG_DEBUG, "x", nullptr},
      {LOG_DEBUG, LOG_DEBUG, "x", "func: f line: 12 msg: x\n"},
      {LOG_DEBUG, LOG_DEBUG, "x\n", "func: f line: 12 msg: x\n"},
      {LOG_DEBUG, LOG_ERR, "disk gone\n", "disk gone\n"},
      {LOG_ERR, LOG_WARNING, "warn", nullptr},
      {LOG_EMERG, LOG_EMERG, "PANIC", "PANIC\n"},
      {9, LOG_DEBUG, "y", "func: f line: 12 msg: y\n"},   // above every level
      {LOG_INFO, LOG_INFO, "", "\n"},
  };
  for (const auto& c : cases) {
    set_log_level(c.log_level);
    log_write(c.level, "f", 12, "%s", c.msg);
    auto got = take_syslog();
    if (!c.want) {
      EXPECT_TRUE(got.empty()) << c.msg;
      continue;
    }
    ASSERT_EQ(got.size(), 1u) << c.msg;
    EXPECT_EQ(got[0].text, c.want);
    EXPECT_EQ(got[0].priority, c.level);
  }
}

TEST_F(LogTest, LongLinesAreCutToTheBufferAndStillEndInANewline) {
  std::string big(3000, 'a');
  for (int level : {LOG_INFO, LOG_DEBUG}) {
    log_write(level, "some_function", 99, "%s", big.c_str());
    auto got = take_syslog();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].text.size(), 1023u);
    EXPECT_EQ(got[0].text.back(), '\n');
    EXPECT_EQ(got[0].text.find('\n'), 1022u);
  }
  // Exactly one short of the buffer: the newline takes the last character.
  std::string edge(1023, 'b');
  log_write(LOG_INFO, "f", 1, "%s", edge.c_str());
  auto got = take_syslog();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].text, std::string(1022, 'b') + "\n");
}

TEST_F(LogTest, DebugSwitchesAndLevel) {
  debug_off();
  log_write(LOG_DEBUG, "f", 1, "hidden");
  EXPECT_TRUE(take_syslog().empty());
  debug_on();
  log_write(LOG_DEBUG, "f", 1, "shown");
  EXPECT_EQ(take_syslog().size(), 1u);
  EXPECT_EQ(set_log_level(9), 9);
}

TEST_F(LogTest, ConsoleOnlyOnATerminal) {
  {
    StdoutCapture out(false);
    log_init("libtest", 1, LOG_DEBUG, 0);
    log_write(LOG_INFO, "f", 1, "to syslog");
    EXPECT_EQ(out.take(), "");
  }
  auto got = take_syslog();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].text, "to syslog\n");

  {
    StdoutCapture out(true);
    log_init("libtest", 1, LOG_DEBUG, 0);
    log_write(LOG_DEBUG, "g", 5, "on the terminal");
    EXPECT_EQ(out.take(), "func: g line: 5 msg: on the terminal\n");
  }
  EXPECT_TRUE(take_syslog().empty());
}

TEST_F(LogTest, ZelcSyslogSwitches) {
  struct Case {
    int system_off, printf_off;
    bool stdout_line, syslog_line;
  } cases[] = {
      {0, 0, true, true},
      {0, 1, false, true},
      {1, 0, false, false},
      {1, 1, false, false},
  };
  set_log_level(LOG_EMERG);   // zelc_syslog has no level filter
  for (const auto& c : cases) {
    zelc_system_log_off = c.system_off;
    zelc_printf_log_off = c.printf_off;
    std::string printed;
    {
      StdoutCapture out(false);
      zelc_syslog("bad %d", 7);
      printed = out.take();
    }
    EXPECT_EQ(printed, c.stdout_line ? "bad 7\n" : "");
    auto got = take_syslog();
    if (c.syslog_line) {
      ASSERT_EQ(got.size(), 1u);
      EXPECT_EQ(got[0].priority, LOG_ERR);
      EXPECT_EQ(got[0].text, "bad 7\n");
    } else {
      EXPECT_TRUE(got.empty());
    }
  }
}

TEST_F(LogTest, LogSwitchFlips) {
  struct Case {
    int start, after_one, after_two;
  } cases[] = {{0, 1, 0}, {1, 0, 1}, {5, 0, 1}};
  for (const auto& c : cases) {
    zelc_system_log_off = c.start;
    hm_log_switch();
    EXPECT_EQ(zelc_system_log_off, c.after_one);
    hm_log_switch();
    EXPECT_EQ(zelc_system_log_off, c.after_two);
  }
}

}  // namespace
