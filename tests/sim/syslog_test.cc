#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <chrono>
#include <unistd.h>

#include "device_tree.h"
#include "eventually.h"
#include "syslog_listener.h"

namespace {

TEST(SimSyslog, LinesKeepThePriority) {
  struct {
    std::string in, out;
  } cases[] = {
      {"<11>Dec 10 09:00:01 zelmird[12]: open failed", "<11>Dec 10 09:00:01 zelmird[12]: open failed\n"},
      {std::string("<14>x: msg\n\0", 12), "<14>x: msg\n"},
      {"<13>two\nlines", "<13>two lines\n"},
      {"", "\n"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(sim::SyslogListener::line_for(c.in.data(), c.in.size()), c.out) << c.in;
}

TEST(SimSyslog, DatagramsLandInTheFile) {
  char t[] = "/tmp/simlog-XXXXXX";
  std::string dir = mkdtemp(t);
  sim::SyslogListener l;
  ASSERT_EQ(l.start(dir + "/log", dir + "/var/log/messages"), 0);
  int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  strcpy(sa.sun_path, (dir + "/log").c_str());
  for (const char* m : {"<11>a: first", "<15>b: second"})
    ASSERT_GT(sendto(fd, m, strlen(m), 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  close(fd);
  std::string got;
  testsupport::eventually(
      [&] {
        std::ifstream in(dir + "/var/log/messages");
        std::ostringstream s;
        s << in.rdbuf();
        got = s.str();
        return got.size() >= 26;
      },
      std::chrono::seconds(2), std::chrono::milliseconds(20));
  EXPECT_EQ(got, "<11>a: first\n<15>b: second\n");
  sim::remove_tree(dir);
}

}  // namespace
