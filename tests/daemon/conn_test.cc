// Local connections through the real event loop and the "un_domain" worker:
// requests in pieces, two requests at once, a client that leaves while its
// request runs, and replies that keep the order of a waiting client.
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "eventually.h"
#include "fake_host.h"
#include "hm_conn.h"
#include "hm_event.h"
#include "hm_listen.h"
#include "hm_unix.h"
#include "hm_registry.h"
#include "hm_workqueue.h"
#include "log_capture.h"

namespace {

class ConnEnv : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_EQ(create_work_queues(), 0);
    ASSERT_EQ(init_event(8), 0);
    ASSERT_EQ(hm_conn_init(), 0);
  }
};
::testing::Environment* const env = ::testing::AddGlobalTestEnvironment(new ConnEnv);

class ConnTest : public fake::Host {
 protected:
  void SetUp() override {
    fake::Host::SetUp();
    sock = path("hm_unix");
    ASSERT_EQ(setup_unix_server(sock.c_str()), 0);
    stop = false;
    loop = std::thread([this] {
      while (!stop) {
        event_loop(20);
        open_clients = hm_conn_open_clients();
      }
    });
  }
  void TearDown() override {
    // Every client has closed; the loop sees each end before it stops, so
    // none is left over for the bound of the next test.
    EXPECT_TRUE(testsupport::eventually([&] { return open_clients.load() == 0; }));
    g_unix_request_timeout_ms = HM_UN_TIMEOUT_SEC * 1000;
    g_unix_max_clients = 256;
    g_unix_queue_max = 64;
    stop = true;
    loop.join();
    fake::Host::TearDown();
  }
  int connect_client() {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    strcpy(a.sun_path, sock.c_str());
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    timeval tv = {5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    return fd;
  }
  static std::string header(uint8_t cmd, uint16_t len, uint8_t arg = 0) {
    hm_header_t h{};
    h.cmd = cmd;
    h.arg = arg;
    h.body_len = len;
    return std::string(reinterpret_cast<char*>(&h), sizeof(h));
  }
  static void send_all(int fd, const std::string& s) {
    ASSERT_EQ(::write(fd, s.data(), s.size()), (ssize_t)s.size());
  }
  // One reply, or the header's cmd 0xff when the connection ended first.
  static std::pair<hm_header_t, std::string> reply(int fd) {
    hm_header_t h{};
    h.cmd = 0xff;
    size_t got = 0;
    while (got < sizeof(h)) {
      ssize_t n = ::read(fd, reinterpret_cast<char*>(&h) + got, sizeof(h) - got);
      if (n <= 0) {
        h.cmd = 0xff;
        return {h, ""};
      }
      got += n;
    }
    std::string body(h.body_len, '\0');
    got = 0;
    while (got < body.size()) {
      ssize_t n = ::read(fd, &body[got], body.size() - got);
      if (n <= 0) break;
      got += n;
    }
    return {h, body};
  }
  // One protection that marks can be made on.
  void protect_one() {
    add_disk("sdc", {"6c3f1b2a-1111-2222-3333-444455556666", 1 << 30, 2, true, 0});
    add_disk("sdb", {fake::sig_guid(1), 1 << 30, 2, false, 1});
    add_protection("/dev/sdb", 1, "/dev/sdc", "6c3f1b2a-1111-2222-3333-444455556666");
    k.status = fake::status_with(1ull << HM_INITIALIZE_FINISHED, true, true);
  }
  // A client whose request (a mark) is under way until release is set.
  int busy_client(std::atomic<bool>& release) {
    fake::mark_until = [&release] { return release.load(); };
    int fd = connect_client();
    std::string name = "zel_{6c3f1b2a-1111-2222-3333-444455556666}";
    send_all(fd, header(UN_CMD_API_CREATE_CDP, (uint16_t)name.size()) + name);
    EXPECT_TRUE(testsupport::eventually([] { return fake::marks_begun.load() == 1; }));
    return fd;
  }
  std::string sock;
  std::atomic<bool> stop{false};
  std::atomic<int> open_clients{0};
  std::thread loop;
};

TEST_F(ConnTest, OneRequestOneReplyAndTheConnectionStays) {
  int fd = connect_client();
  send_all(fd, header(GET_STATUS_ALL, 0));
  auto r = reply(fd);
  EXPECT_EQ(r.first.cmd, GET_STATUS_ALL);
  EXPECT_EQ(r.second, std::string(1, '\0'));
  send_all(fd, header(UN_CMD_ZELMIRD_DEBUG_SET, 0, 7));
  r = reply(fd);
  EXPECT_EQ(r.first.cmd, UN_CMD_ZELMIRD_DEBUG_SET);
  EXPECT_EQ(r.first.arg, 7);
  close(fd);
}

TEST_F(ConnTest, RequestInPiecesIsRead) {
  int fd = connect_client();
  std::string body = "/dev/sdb";
  std::string msg = header(UN_CMD_DISK_FAIL, (uint16_t)body.size()) + body;
  // The pauses are the case itself: each piece arrives on its own.
  send_all(fd, msg.substr(0, 3));
  usleep(50000);
  send_all(fd, msg.substr(3, 5));
  usleep(50000);
  send_all(fd, msg.substr(8));
  auto r = reply(fd);
  hm_header_t zero{};
  EXPECT_EQ(memcmp(&r.first, &zero, sizeof(zero)), 0);
  close(fd);
}

TEST_F(ConnTest, TwoRequestsAtOnceBreakTheConnection) {
  int fd = connect_client();
  send_all(fd, header(GET_STATUS_ALL, 0) + header(GET_STATUS_ALL, 0));
  EXPECT_EQ(reply(fd).first.cmd, 0xff) << "no reply, the connection is dropped";
  close(fd);
}

TEST_F(ConnTest, UnknownCommandIsAnsweredWithAnError) {
  int fd = connect_client();
  send_all(fd, header(42, 0));
  auto r = reply(fd);
  EXPECT_EQ(r.first.cmd, 42);
  EXPECT_NE(r.first.retcode, 0);
  close(fd);
}

TEST_F(ConnTest, ClientLeavingWhileItsRequestRuns) {
  protect_one();
  std::atomic<bool> left{false};
  fake::mark_until = [&] { return left.load(); };  // the mark lasts until the client has left
  std::string name = "zel_{6c3f1b2a-1111-2222-3333-444455556666}";
  int fd = connect_client();
  send_all(fd, header(UN_CMD_API_CREATE_CDP, (uint16_t)name.size()) + name);
  ASSERT_TRUE(testsupport::eventually([] { return fake::marks_begun.load() == 1; }, std::chrono::seconds(5),
                                      std::chrono::milliseconds(5)));
  close(fd);
  left = true;
  ASSERT_TRUE(fake::wait_marks(1));
  ASSERT_TRUE(fake::drain(un_domain)) << "the request of the client that left has ended";
  // The daemon goes on serving others.
  fd = connect_client();
  send_all(fd, header(GET_STATUS_ALL, 0));
  EXPECT_EQ(reply(fd).first.cmd, GET_STATUS_ALL);
  close(fd);
}

TEST_F(ConnTest, ManyClientsAtOnce) {
  std::vector<std::thread> ts;
  std::atomic<int> ok{0};
  for (int i = 0; i < 16; i++)
    ts.emplace_back([&] {
      int fd = connect_client();
      send_all(fd, header(UN_CMD_DISK_UP, 0));
      if (reply(fd).first.cmd == 0) ok++;
      close(fd);
    });
  for (auto& t : ts) t.join();
  EXPECT_EQ(ok, 16);
}

// Whether the daemon closed the connection within the time, with no reply.
bool closed_unanswered(int fd, int ms) {
  pollfd p = {fd, POLLIN, 0};
  if (poll(&p, 1, ms) != 1) return false;
  char b;
  return ::recv(fd, &b, 1, MSG_DONTWAIT) == 0;
}

// Sends a header for CANCEL_DISK_PROTECT of the fake primary.
std::string cancel_request() {
  hm_un_desc_t d{};
  d.kind = 1;
  d.id.signature = 1;
  std::string body(reinterpret_cast<char*>(&d), sizeof(d));
  hm_header_t h{};
  h.cmd = CANCEL_DISK_PROTECT;
  h.body_len = (uint16_t)body.size();
  return std::string(reinterpret_cast<char*>(&h), sizeof(h)) + body;
}

// Only root commands the daemon.  The socket file admits no one else; a
// peer of another uid that reaches it anyway (a file made before, a
// descriptor passed on) is closed unanswered and changes nothing.
TEST_F(ConnTest, OnlyRootIsServed) {
  protect_one();
  struct stat st;
  ASSERT_EQ(stat(sock.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(chmod(sock.c_str(), 0777), 0);
  ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
  libtest::take_syslog();

  std::string req = cancel_request();
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(3);
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    strcpy(a.sun_path, sock.c_str());
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) _exit(4);
    // Closed before or after the request arrived (a reset: it was never
    // read), and never answered.
    if (send(fd, req.data(), req.size(), MSG_NOSIGNAL) != (ssize_t)req.size()) _exit(0);
    char b;
    _exit(::read(fd, &b, 1) <= 0 ? 0 : 6);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "3 no uid, 4 no connect, 6 answered";
  ASSERT_TRUE(fake::drain(un_domain));
  EXPECT_EQ(k.count(HM_NL_CMD_STOP_PROTECT), 0);
  EXPECT_FALSE(list_empty(&hmdev_registry.hmdev_list)) << "still protected";
  bool said = false;
  for (const auto& l : libtest::take_syslog())
    said |= l.priority % 8 == LOG_ERR && l.text.find("uid 65534 refused") != std::string::npos;
  EXPECT_TRUE(said);

  int fd = connect_client();  // root
  send_all(fd, cancel_request());
  auto r = reply(fd);
  EXPECT_EQ(r.first.cmd, CANCEL_DISK_PROTECT);
  EXPECT_EQ(r.first.retcode, 0);
  EXPECT_EQ(k.count(HM_NL_CMD_STOP_PROTECT), 1);
  close(fd);
}

// Each request must be whole within the time-out from its connection's
// accept, or from the reply before it; a request under way has no deadline.
TEST_F(ConnTest, SlowAndSilentClientsAreClosedByTheirDeadline) {
  protect_one();
  g_unix_request_timeout_ms = 300;
  std::atomic<bool> release{false};
  int busy = busy_client(release);
  int silent = connect_client();
  int part_header = connect_client();
  send_all(part_header, header(GET_STATUS_ALL, 0).substr(0, 3));
  int part_body = connect_client();
  send_all(part_body, header(UN_CMD_DISK_FAIL, 8) + "/dev/");

  for (int fd : {silent, part_header, part_body}) EXPECT_TRUE(closed_unanswered(fd, 5000));
  EXPECT_EQ(fake::marks_begun.load(), 1);
  release = true;
  auto r = reply(busy);
  EXPECT_EQ(r.first.cmd, UN_CMD_API_CREATE_CDP) << "the request under way outlives the deadline";
  EXPECT_EQ(r.first.retcode, 0);
  // Answered, it waits for its next request under a deadline again.
  EXPECT_TRUE(closed_unanswered(busy, 5000));
  for (int fd : {busy, silent, part_header, part_body}) close(fd);
}

// At the bound, the oldest idle connection makes room for a new one; a
// connection with a request under way is never taken.
TEST_F(ConnTest, OpenConnectionsAreBoundedOldestIdleFirst) {
  protect_one();
  g_unix_max_clients = 3;
  std::atomic<bool> release{false};
  int busy = busy_client(release);
  // Idle in a known order: each is accepted before the next connects.
  int idle[2];
  for (int i = 0; i < 2; i++) {
    idle[i] = connect_client();
    ASSERT_TRUE(testsupport::eventually([&] { return open_clients.load() == 2 + i; }));
  }
  int fresh = connect_client();
  EXPECT_TRUE(closed_unanswered(idle[0], 5000)) << "the oldest idle one";
  send_all(fresh, header(GET_STATUS_ALL, 0));
  release = true;
  EXPECT_EQ(reply(busy).first.cmd, UN_CMD_API_CREATE_CDP);
  EXPECT_EQ(reply(fresh).first.cmd, GET_STATUS_ALL);
  send_all(idle[1], header(UN_CMD_DISK_UP, 0));
  EXPECT_EQ(reply(idle[1]).first.cmd, 0) << "the younger one is still served";
  for (int fd : {busy, idle[0], idle[1], fresh}) close(fd);
}

// Local requests wait for the one worker; beyond the bound they are answered
// at once with "Try again later" instead of piling up.
TEST_F(ConnTest, RequestsBeyondTheQueueBoundAreToldToTryAgain) {
  protect_one();
  g_unix_queue_max = 1;
  std::atomic<bool> release{false};
  int busy = busy_client(release);
  int waiting = connect_client();
  send_all(waiting, header(GET_STATUS_ALL, 0));
  ASSERT_TRUE(testsupport::eventually([] {
    pthread_mutex_lock(&un_domain->lock);
    int n = un_domain->nr_works;
    pthread_mutex_unlock(&un_domain->lock);
    return n == 1;
  }));
  int over = connect_client();
  send_all(over, header(GET_STATUS_ALL, 0));
  auto r = reply(over);
  EXPECT_EQ(r.first.cmd, GET_STATUS_ALL);
  EXPECT_EQ(r.first.retcode, UN_RET_TRY_AGAIN);
  release = true;
  EXPECT_EQ(reply(busy).first.cmd, UN_CMD_API_CREATE_CDP);
  r = reply(waiting);
  EXPECT_EQ(r.first.cmd, GET_STATUS_ALL);
  EXPECT_EQ(r.first.retcode, 0);
  for (int fd : {busy, waiting, over}) close(fd);
}

// With the descriptor table full, a waiting connection is taken off the
// listener and closed, rather than left there for the loop to spin on; the
// daemon serves again once descriptors are back.
TEST_F(ConnTest, FullDescriptorTableClosesTheNewConnection) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);  // made while there is room
  fake::FullFdTable full;
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  strcpy(a.sun_path, sock.c_str());
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
  bool closed = closed_unanswered(fd, 5000);
  full.release();
  EXPECT_TRUE(closed);
  close(fd);

  fd = connect_client();
  send_all(fd, header(GET_STATUS_ALL, 0));
  EXPECT_EQ(reply(fd).first.cmd, GET_STATUS_ALL);
  close(fd);
}

}  // namespace
