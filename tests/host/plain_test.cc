// Outside a simulated host the layer is the system: same results, same errno.
#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host/host.h"

namespace {

TEST(HostPlain, NotSimulatedHere) { EXPECT_EQ(hl_simulated(), 0); }

TEST(HostPlain, FilesAreTheSystemCalls) {
  char path[] = "/tmp/hostplain-XXXXXX";
  int tmp = mkstemp(path);
  ASSERT_GE(tmp, 0);
  close(tmp);
  int fd = hl_open(path, O_RDWR | O_TRUNC);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(hl_write(fd, "hello world", 11), 11);
  EXPECT_EQ(hl_lseek(fd, 6, SEEK_SET), 6);
  char buf[16] = {};
  EXPECT_EQ(hl_read(fd, buf, sizeof buf), 5);
  EXPECT_STREQ(buf, "world");
  EXPECT_EQ(hl_pwrite(fd, "W", 1, 6), 1);
  EXPECT_EQ(hl_pread(fd, buf, 5, 6), 5);
  EXPECT_EQ(std::string(buf, 5), "World");
  EXPECT_EQ(hl_fsync(fd), 0);
  struct stat a, b;
  ASSERT_EQ(hl_fstat(fd, &a), 0);
  ASSERT_EQ(fstat(fd, &b), 0);
  EXPECT_TRUE(S_ISREG(a.st_mode));
  EXPECT_EQ(a.st_ino, b.st_ino);
  EXPECT_EQ(a.st_size, 11);
  ASSERT_EQ(hl_stat(path, &a), 0);
  EXPECT_EQ(a.st_ino, b.st_ino);

  // Requests a regular file does not know fail as they do without the layer.
  uint64_t size;
  errno = 0;
  int r1 = ioctl(fd, BLKGETSIZE64, &size);
  int e1 = errno;
  errno = 0;
  EXPECT_EQ(hl_ioctl(fd, BLKGETSIZE64, &size), r1);
  EXPECT_EQ(errno, e1);
  int avail = -1;
  EXPECT_EQ(hl_ioctl(fd, FIONREAD, &avail), 0);
  EXPECT_EQ(hl_close(fd), 0);
  EXPECT_EQ(hl_close(fd), -1);
  EXPECT_EQ(errno, EBADF);

  errno = 0;
  EXPECT_EQ(hl_open("/nonexistent/file", O_RDONLY), -1);
  EXPECT_EQ(errno, ENOENT);
  unlink(path);
}

TEST(HostPlain, SocketsAreTheSystemCalls) {
  // Netlink 21 behaves here as the machine's kernel says, module or not.
  errno = 0;
  int s1 = socket(AF_NETLINK, SOCK_RAW, 21);
  int e1 = errno;
  errno = 0;
  int s2 = hl_socket(AF_NETLINK, SOCK_RAW, 21);
  EXPECT_EQ(s1 < 0, s2 < 0);
  EXPECT_EQ(errno, e1);
  if (s1 >= 0) close(s1);
  if (s2 >= 0) hl_close(s2);

  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, sv), 0);
  EXPECT_EQ(hl_sendto(sv[0], "ping", 4, 0, nullptr, 0), 4);
  char buf[8];
  EXPECT_EQ(hl_recvfrom(sv[1], buf, sizeof buf, 0, nullptr, nullptr), 4);
  timeval tv{0, 1000};
  EXPECT_EQ(hl_setsockopt(sv[1], SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv), 0);
  EXPECT_EQ(hl_recvfrom(sv[1], buf, sizeof buf, 0, nullptr, nullptr), -1);
  EXPECT_EQ(errno, EAGAIN);
  hl_close(sv[0]);
  hl_close(sv[1]);
}

}  // namespace

namespace {

int64_t ns_now(clockid_t clk) {
  timespec ts;
  clock_gettime(clk, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

TEST(HostPlain, ClocksAndWaitsAreThePlainCalls) {
  for (clockid_t clk : {CLOCK_MONOTONIC, CLOCK_REALTIME}) {
    timespec ts;
    ASSERT_EQ(hl_clock_gettime(clk, &ts), 0);
    int64_t got = static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
    EXPECT_LT(std::llabs(got - ns_now(clk)), 1000000000);
  }
  time_t t = 0;
  EXPECT_LE(std::llabs(hl_time(&t) - time(nullptr)), 1);
  EXPECT_LE(std::llabs(t - time(nullptr)), 1);
  EXPECT_EQ(hl_sleep(0), 0u);

  pthread_mutex_t mu = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t cv = PTHREAD_COND_INITIALIZER;
  int64_t t0 = ns_now(CLOCK_MONOTONIC);
  timespec until;
  clock_gettime(CLOCK_MONOTONIC, &until);
  until.tv_nsec += 30000000;
  if (until.tv_nsec >= 1000000000) until.tv_sec++, until.tv_nsec -= 1000000000;
  pthread_mutex_lock(&mu);
  int rc;
  do rc = hl_cond_timedwait(&cv, &mu, CLOCK_MONOTONIC, &until);
  while (rc == 0);
  EXPECT_EQ(rc, ETIMEDOUT);
  EXPECT_GE(ns_now(CLOCK_MONOTONIC) - t0, 25000000);
  EXPECT_EQ(pthread_mutex_trylock(&mu), EBUSY);  // still ours
  EXPECT_EQ(hl_cond_timedwait(&cv, &mu, CLOCK_THREAD_CPUTIME_ID, &until), EINVAL);
  pthread_mutex_unlock(&mu);

  int p[2];
  ASSERT_EQ(pipe(p), 0);
  pollfd f{p[0], POLLIN, 0};
  t0 = ns_now(CLOCK_MONOTONIC);
  EXPECT_EQ(hl_poll(&f, 1, 30), 0);
  EXPECT_GE(ns_now(CLOCK_MONOTONIC) - t0, 25000000);
  ASSERT_EQ(write(p[1], "x", 1), 1);
  EXPECT_EQ(hl_poll(&f, 1, 1000), 1);
  EXPECT_EQ(f.revents, POLLIN);
  t0 = ns_now(CLOCK_MONOTONIC);
  EXPECT_EQ(hl_usleep(20000), 0);
  EXPECT_GE(ns_now(CLOCK_MONOTONIC) - t0, 15000000);
  close(p[0]);
  close(p[1]);
}

}  // namespace
