#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "log_capture.h"
#include "mirapi/util.h"

namespace {

class SocketPair : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd_), 0); }
  void TearDown() override {
    for (int& f : fd_)
      if (f >= 0) close(f);
  }
  int fd_[2] = {-1, -1};
};

TEST_F(SocketPair, ReadnStopsShortAtEagainAndAtEndOfStream) {
  char buf[6];
  ASSERT_EQ(write(fd_[1], "abc", 3), 3);
  fcntl(fd_[0], F_SETFL, O_NONBLOCK);
  EXPECT_EQ(readn(fd_[0], buf, 6), 3);
  EXPECT_EQ(std::string(buf, 3), "abc");

  ASSERT_EQ(write(fd_[1], "de", 2), 2);
  close(fd_[1]);
  fd_[1] = -1;
  fcntl(fd_[0], F_SETFL, 0);
  EXPECT_EQ(readn(fd_[0], buf, 6), 2);
  EXPECT_EQ(readn(fd_[0], buf, 6), 0);
}

TEST_F(SocketPair, WritenToAPeerThatHungUpFailsWithoutSigpipe) {
  close(fd_[0]);
  fd_[0] = -1;
  // The default SIGPIPE action would end this test program.
  struct sigaction old{}, dfl{};
  dfl.sa_handler = SIG_DFL;
  sigaction(SIGPIPE, &dfl, &old);
  EXPECT_EQ(writen(fd_[1], "hello", 5), -1);
  sigaction(SIGPIPE, &old, nullptr);
}

TEST_F(SocketPair, WritenWritesTheWholeCount) {
  std::string big(200000, 'q');
  std::string got;
  std::thread reader([&] {
    char buf[65536];
    ssize_t n;
    while ((n = read(fd_[0], buf, sizeof(buf))) > 0) got.append(buf, static_cast<size_t>(n));
  });
  EXPECT_EQ(writen(fd_[1], big.data(), static_cast<int>(big.size())), 200000);
  close(fd_[1]);
  fd_[1] = -1;
  reader.join();
  EXPECT_EQ(got, big);
}

TEST(LibUtil, WritenOnAPlainFile) {
  char path[] = "/tmp/libtest-writen-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(writen(fd, "12345", 5), 5);
  close(fd);
  unlink(path);
}

TEST(LibUtil, Allocation) {
  unsigned char* p = static_cast<unsigned char*>(xcalloc(0, 16));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p[0], 0);
  free(p);
  p = static_cast<unsigned char*>(xzalloc(64));
  for (int i = 0; i < 64; i++) EXPECT_EQ(p[i], 0);
  free(p);
  EXPECT_EQ(max_int(-3, 2), 2);
  EXPECT_EQ(max_int(5, 5), 5);
}

class SysfsFile : public ::testing::Test {
 protected:
  void write(const std::string& content) {
    FILE* f = fopen(path_, "w");
    fputs(content.c_str(), f);
    fclose(f);
  }
  void SetUp() override {
    int fd = mkstemp(path_);
    ASSERT_GE(fd, 0);
    close(fd);
  }
  void TearDown() override { unlink(path_); }
  char path_[64] = "/tmp/libtest-sysfs-XXXXXX";
};

TEST_F(SysfsFile, FirstLineWithoutNewline) {
  struct Case {
    const char* content;
    size_t size;
    const char* want;
  } cases[] = {
      {"2097152\n", 32, "2097152"},
      {"512\nmore\n", 32, "512"},
      {"123456789\n", 5, "1234"},   // one line of at most size - 1 bytes
      {"no newline", 32, "no newline"},
  };
  for (const auto& c : cases) {
    write(c.content);
    char* v = hm_get_sysfs_value(path_, c.size);
    ASSERT_NE(v, nullptr) << c.content;
    EXPECT_STREQ(v, c.want);
    free(v);
  }
  EXPECT_EQ(hm_get_sysfs_value(nullptr, 32), nullptr);
  EXPECT_EQ(hm_get_sysfs_value(path_, 0), nullptr);
  EXPECT_EQ(hm_get_sysfs_value("/nonexistent/zelmir/size", 32), nullptr);
}

TEST(LibUtil, SysfsSizeRefusesBadPaths) {
  uint64_t size = 77;
  const char* bad[] = {"/dev/", "", "/dev/zelmir-no-such-disk", "zelmir-no-such-disk"};
  for (const char* p : bad) EXPECT_EQ(hm_get_disk_size_via_sysfs(p, &size), -1) << p;
  EXPECT_EQ(hm_get_disk_size_via_sysfs(nullptr, &size), -1);
  EXPECT_EQ(hm_get_disk_size_via_sysfs("/dev/sdb", nullptr), -1);
  EXPECT_EQ(size, 77u);
  EXPECT_TRUE(libtest::syslog_contains(
      "Cannot find char '/' in [zelmir-no-such-disk],take it as a device name without path."));
}

TEST(LibUtil, ConnectWithTimeOut) {
  std::string path = "/tmp/libtest-conn-" + std::to_string(getpid());
  int l = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  strcpy(addr.sun_path, path.c_str());
  unlink(path.c_str());
  ASSERT_EQ(bind(l, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  ASSERT_EQ(listen(l, 1), 0);

  int s = socket(AF_UNIX, SOCK_STREAM, 0);
  EXPECT_EQ(conn_nonb(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr), 2), 0);
  EXPECT_EQ(fcntl(s, F_GETFL) & O_NONBLOCK, 0);   // the flags are given back
  close(s);
  close(l);
  unlink(path.c_str());

  s = socket(AF_UNIX, SOCK_STREAM, 0);
  errno = 0;
  EXPECT_EQ(conn_nonb(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr), 2), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(fcntl(s, F_GETFL), -1);   // closed on failure
}

TEST(LibUtil, FilePresent) {
  EXPECT_EQ(filepresent("/"), 1);
  EXPECT_EQ(filepresent("/nonexistent/zelmir"), 0);
  EXPECT_EQ(filepresent(nullptr), 0);
  EXPECT_EQ(is_resides_on_scsi_disk(nullptr), 0);
  EXPECT_EQ(is_resides_on_scsi_disk("/nonexistent/zelmir"), 0);
}

}  // namespace
