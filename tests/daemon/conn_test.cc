// Local connections through the real event loop and the "un_domain" worker:
// requests in pieces, two requests at once, a client that leaves while its
// request runs, and replies that keep the order of a waiting client.
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
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
#include "hm_workqueue.h"

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
      while (!stop) event_loop(20);
    });
  }
  void TearDown() override {
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
  std::string sock;
  std::atomic<bool> stop{false};
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
  add_disk("sdc", {"6c3f1b2a-1111-2222-3333-444455556666", 1 << 30, 2, true, 0});
  add_disk("sdb", {fake::sig_guid(1), 1 << 30, 2, false, 1});
  add_protection("/dev/sdb", 1, "/dev/sdc", "6c3f1b2a-1111-2222-3333-444455556666");
  k.status = fake::status_with(1ull << HM_INITIALIZE_FINISHED, true, true);
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

}  // namespace
