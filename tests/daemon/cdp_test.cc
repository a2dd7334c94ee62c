// The CDP mark channel: the XML requests and their exact replies, malformed
// and oversized requests, a peer that never finishes, and the marks with the
// guard of all mirrors lifted around them.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "eventually.h"
#include "fake_host.h"
#include "hm_cdp.h"
#include "hm_conn.h"
#include "hm_event.h"
#include "hm_nl_client.h"
#include "hm_registry.h"
#include "hm_workqueue.h"
#include "log_capture.h"
#include <syslog.h>

namespace {

const char kMirrorGuid[] = "6c3f1b2a-1111-2222-3333-444455556666";
const char kPrimaryGuid[] = "5d3f2a10-0000-0000-0000-000000000000";

class QueuesEnv : public ::testing::Environment {
 public:
  void SetUp() override { ASSERT_EQ(create_work_queues(), 0); }
};
::testing::Environment* const env = ::testing::AddGlobalTestEnvironment(new QueuesEnv);

std::string request(const std::string& cmd, const std::vector<std::string>& paras, int count,
                    bool count_last = false) {
  std::string num = "<m_ParaNum>" + std::to_string(count) + "</m_ParaNum>";
  std::string s = "<?xml version=\"1.0\"?><CSocketMsgInfo>";
  if (!count_last) s += num;
  if (!cmd.empty()) s += "<m_SendCommand>" + cmd + "</m_SendCommand>";
  s += "<m_StrParaList>";
  for (auto& p : paras) s += "<string>" + p + "</string>";
  s += "</m_StrParaList>";
  if (count_last) s += num;
  return s + "</CSocketMsgInfo>";
}

std::string reply_of(const std::string& status, const std::string& code) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?><CRetMsgInfo><m_RepServiceStatus>" + status +
         "</m_RepServiceStatus><m_RetMsgInfo/><m_ErrorCode>" + code + "</m_ErrorCode></CRetMsgInfo>";
}

class CdpTest : public fake::Host {
 protected:
  void SetUp() override {
    fake::Host::SetUp();
    add_disk("sdb", {kPrimaryGuid, 1073741824, 2, false, 0x5d3f2a10});
    add_disk("sdc", {kMirrorGuid, 2147483648ull, 2, true, 0});
    add_protection("/dev/sdb", 0x5d3f2a10, "/dev/sdc", kMirrorGuid);
    k.status = fake::status_with(1ull << HM_INITIALIZE_FINISHED, true, true);
  }
  // One exchange over a socket pair: the reply text and the result.
  std::string exchange(const std::string& msg, int* result = nullptr) {
    int sv[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    int rc = parse_xml_cmd(msg.data(), (int)msg.size(), sv[0]);
    if (result) *result = rc;
    close(sv[0]);
    std::string out;
    char buf[512];
    ssize_t n;
    while ((n = ::read(sv[1], buf, sizeof(buf))) > 0) out.append(buf, n);
    close(sv[1]);
    return out;
  }
  std::string mark_name() const { return std::string("zel_{") + kMirrorGuid + "}"; }
};

TEST_F(CdpTest, QueuedMarkIsAnsweredAtOnceAndMadeAfterwards) {
  std::atomic<bool> answered{false};
  fake::mark_until = [&] { return answered.load(); };  // the mark waits for the reply
  std::string out = exchange(request("ZEL_RC_CMD_CREATE_TIMECDP", {mark_name()}, 1));
  EXPECT_EQ(out, reply_of("RS_SUCCESS_START_CREATE_CDP", "0"));
  EXPECT_EQ(out.find('\n'), std::string::npos);
  EXPECT_TRUE(fake::marks_made().empty()) << "the reply comes before the mark";
  answered = true;
  ASSERT_TRUE(fake::wait_marks(1));
  fake::Mark m = fake::marks_made()[0];
  EXPECT_EQ(m.name, std::string("{") + kMirrorGuid + "}");
  EXPECT_EQ(m.time_flag, 1);
  EXPECT_EQ(m.forbid_count_during, 1) << "the guard is lifted during the mark";
  ASSERT_TRUE(fake::drain(net)) << "the mark has ended and the guard is back";
  EXPECT_EQ(hm_nl_forbid_count(), 0);
  EXPECT_EQ(k.count(HM_NL_CMD_CANCEL_FORBID_MIRROR_ALL), 1);
  EXPECT_EQ(k.count(HM_NL_CMD_FORBID_MIRROR_ALL), 1);
}

TEST_F(CdpTest, ReplyTable) {
  std::string long_text(600, 'a');
  struct {
    const char* what;
    std::string msg;
    std::string status, code;
  } cases[] = {
      {"unknown protection is still queued", request("ZEL_RC_CMD_CREATE_CDP", {"zel_{" + std::string(36, '0') + "}"}, 1),
       "RS_SUCCESS_START_CREATE_CDP", "0"},
      {"unknown command", request("ZEL_RC_CMD_DELETE", {mark_name()}, 1), "RS_FAILED", "ffffffea"},
      {"no command", request("", {mark_name()}, 1), "RS_FAILED", "ffffffea"},
      {"wrong root", "<Other><m_ParaNum>1</m_ParaNum></Other>", "RS_FAILED", "2a00002e"},
      {"not xml", "hello there", "RS_FAILED", "2a00002e"},
      {"no parameter count", request("ZEL_RC_CMD_CREATE_CDP", {mark_name()}, 0), "RS_FAILED", "2a00002e"},
      {"count after the list", request("ZEL_RC_CMD_CREATE_CDP", {mark_name()}, 1, true), "RS_FAILED", "2a00002e"},
      {"fewer strings than counted", request("ZEL_RC_CMD_CREATE_CDP", {mark_name()}, 2), "RS_FAILED", "2a00002e"},
      {"more strings than counted", request("ZEL_RC_CMD_CREATE_CDP", {mark_name(), "x"}, 1), "RS_FAILED", "2a00002e"},
      {"a count beyond the slots", request("ZEL_RC_CMD_CREATE_CDP", {mark_name()}, 500), "RS_FAILED", "2a00002e"},
      {"a negative count", request("ZEL_RC_CMD_CREATE_CDP", {mark_name()}, -3), "RS_FAILED", "2a00002e"},
      {"texts beyond the parameter block", request("ZEL_RC_CMD_CREATE_CDP", {long_text}, 1), "RS_FAILED", "2a00002e"},
      {"texts beyond the parse area", request("ZEL_RC_CMD_CREATE_CDP", {long_text, long_text}, 2), "RS_FAILED", "2a00002e"},
      {"no list at all", "<CSocketMsgInfo><m_ParaNum>1</m_ParaNum><m_SendCommand>ZEL_RC_CMD_CREATE_CDP</m_SendCommand></CSocketMsgInfo>",
       "RS_FAILED", "2a00002e"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(exchange(c.msg), reply_of(c.status, c.code));
  }
  // Only the first case queued anything, and that mark found no protection.
  ASSERT_TRUE(fake::drain(net));
  EXPECT_TRUE(fake::marks_made().empty());
}

TEST_F(CdpTest, UnhealthyProtectionIsNotMarked) {
  struct {
    const char* what;
    uint64_t status;
    bool m_in_sync;
  } cases[] = {
      {"initial copy not finished", 1ull << HM_INITIALIZE_ON, true},
      {"recovering", (1ull << HM_INITIALIZE_FINISHED) | (1ull << HM_RECOVERY_ON), true},
      {"mirror faulty", 1ull << HM_INITIALIZE_FINISHED, false},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    k.status = fake::status_with(c.status, true, c.m_in_sync);
    struct hmdev* d = hmdev_find_by_guid(kMirrorGuid);
    d->mirror->active = 1;
    hmdev_put(d);
    EXPECT_EQ(create_cdp(NET_CMD_CREATE_CDP, mark_name().c_str()), -2);
  }
  EXPECT_TRUE(fake::marks_made().empty());
  EXPECT_EQ(k.count(HM_NL_CMD_CANCEL_FORBID_MIRROR_ALL), 0) << "the guard is not touched";
}

TEST_F(CdpTest, MarkByPrimaryGuidAndFailingMark) {
  std::string by_primary = std::string("zel_{") + kPrimaryGuid + "}";
  EXPECT_EQ(create_cdp(NET_CMD_CREATE_CDP, by_primary.c_str()), 0);
  fake::mark_result = -1;
  EXPECT_EQ(create_cdp(NET_CMD_CREATE_CDP, mark_name().c_str()), -1);
  EXPECT_EQ(hm_nl_forbid_count(), 0) << "the guard returns after a failed mark too";
  EXPECT_EQ(k.count(HM_NL_CMD_FORBID_MIRROR_ALL), 2);
}

TEST_F(CdpTest, OverlappingMarksLiftTheGuardOnce) {
  // a's mark lasts until b's has begun; b starts once a has lifted the guard.
  fake::mark_until = [] { return fake::marks_begun.load() == 2; };
  std::thread a([&] { create_cdp(NET_CMD_CREATE_CDP, mark_name().c_str()); });
  ASSERT_TRUE(testsupport::eventually([] { return fake::marks_begun.load() == 1; }, std::chrono::seconds(5),
                                      std::chrono::milliseconds(1)));
  std::thread b([&] { create_cdp(NET_CMD_CREATE_TIMECDP, mark_name().c_str()); });
  a.join();
  b.join();
  std::vector<int> guard;
  for (int c : k.commands())
    if (c == HM_NL_CMD_CANCEL_FORBID_MIRROR_ALL || c == HM_NL_CMD_FORBID_MIRROR_ALL) guard.push_back(c);
  EXPECT_EQ(guard, (std::vector<int>{HM_NL_CMD_CANCEL_FORBID_MIRROR_ALL, HM_NL_CMD_FORBID_MIRROR_ALL}));
  auto marks = fake::marks_made();
  ASSERT_EQ(marks.size(), 2u);
  for (const fake::Mark& m : marks)
    EXPECT_EQ(m.forbid_count_during, m.time_flag ? 2 : 1) << "the later mark is made under both lifts";
}

// The module refuses the restore of the guard: it is sent once more, said,
// and owed until a status pass gets it through; the count stays true.
TEST_F(CdpTest, RefusedRestoreOfTheGuardIsSentAgain) {
  libtest::take_syslog();
  k.retcode[HM_NL_CMD_FORBID_MIRROR_ALL] = 5;
  EXPECT_EQ(create_cdp(NET_CMD_CREATE_CDP, mark_name().c_str()), 0);
  EXPECT_EQ(k.count(HM_NL_CMD_FORBID_MIRROR_ALL), 2) << "tried, and tried once more";
  EXPECT_EQ(hm_nl_forbid_count(), 0);
  bool said = false;
  for (const auto& l : libtest::take_syslog())
    said |= l.priority % 8 == LOG_ERR && l.text.find("guard of all mirrors not restored") != std::string::npos;
  EXPECT_TRUE(said);

  k.retcode.erase(HM_NL_CMD_FORBID_MIRROR_ALL);
  hm_nl_forbid_mirror_all_owed();
  EXPECT_EQ(k.count(HM_NL_CMD_FORBID_MIRROR_ALL), 3) << "the owed restore goes out";
  hm_nl_forbid_mirror_all_owed();
  EXPECT_EQ(k.count(HM_NL_CMD_FORBID_MIRROR_ALL), 3) << "and is owed no more";
}

// The TCP exchange on a real loopback listener, served by the event loop.
class TcpTest : public CdpTest {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(init_event(8), 0); }
  static void TearDownTestSuite() { event_shutdown(); }
  void SetUp() override {
    CdpTest::SetUp();
    lfd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    ASSERT_EQ(listen(lfd, 4), 0);
    socklen_t len = sizeof(a);
    getsockname(lfd, reinterpret_cast<sockaddr*>(&a), &len);
    addr = a;
    ASSERT_EQ(register_event(lfd, net_listen_handler, nullptr), 0);
    stop = false;
    loop = std::thread([this] {
      while (!stop) {
        event_loop(20);
        open_conns = net_open_connections();
      }
    });
  }
  void TearDown() override {
    // Peers are gone; the loop closes its side of every connection (one
    // may still be draining the rest of a request) before it stops.
    EXPECT_TRUE(testsupport::eventually([&] { return open_conns.load() == 0; }));
    stop = true;
    loop.join();
    unregister_event(lfd);
    close(lfd);
    g_cdp_read_timeout_ms = 5000;
    g_cdp_max_conns = 64;
    g_net_queue_max = 256;
    CdpTest::TearDown();
  }
  int connect_peer() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    timeval tv = {5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    return fd;
  }
  static void send_text(int fd, const std::string& s, bool finish = true) {
    size_t off = 0;
    while (off < s.size()) {
      ssize_t n = ::write(fd, s.data() + off, s.size() - off);
      if (n <= 0) break;
      off += n;
    }
    if (finish) shutdown(fd, SHUT_WR);
  }
  static std::string drain(int fd) {
    std::string out;
    char buf[512];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof(buf))) > 0) out.append(buf, n);
    return out;
  }
  int lfd = -1;
  sockaddr_in addr{};
  std::atomic<bool> stop{false};
  std::atomic<int> open_conns{0};
  std::thread loop;
};

// An idle peer neither holds the loop nor keeps its connection: others are
// answered meanwhile, and the idle one is answered from what it sent once
// its time is up.
TEST_F(TcpTest, IdlePeerHoldsNothingUp) {
  g_cdp_read_timeout_ms = 1500;
  int idle = connect_peer();
  std::string part = request("ZEL_RC_CMD_CREATE_CDP", {mark_name()}, 1).substr(0, 40);
  send_text(idle, part, false);
  int silent = connect_peer();  // sends nothing at all

  timespec t0, t1;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  int fd = connect_peer();
  send_text(fd, request("ZEL_RC_CMD_CREATE_CDP", {mark_name()}, 1));
  EXPECT_EQ(drain(fd), reply_of("RS_SUCCESS_START_CREATE_CDP", "0"));
  clock_gettime(CLOCK_MONOTONIC, &t1);
  double s = (t1.tv_sec - t0.tv_sec) + (t1.tv_nsec - t0.tv_nsec) / 1e9;
  EXPECT_LT(s, 1.0) << "answered while two peers wait";
  close(fd);

  // What came in time is parsed: here a document without its command.
  EXPECT_EQ(drain(idle), reply_of("RS_FAILED", "ffffffea"));
  EXPECT_EQ(drain(silent), "") << "nothing sent, nothing answered";
  close(idle);
  close(silent);
}

TEST_F(TcpTest, ClosedPeerAndOversizedRequest) {
  int fd = connect_peer();
  shutdown(fd, SHUT_WR);
  EXPECT_EQ(drain(fd), "");
  close(fd);

  fd = connect_peer();
  std::string big = request("ZEL_RC_CMD_CREATE_CDP", {mark_name()}, 1);
  big.insert(big.find("<m_ParaNum>"), "<pad>" + std::string(3000, 'p') + "</pad>");
  std::thread w([&] { send_text(fd, big); });
  EXPECT_EQ(drain(fd), reply_of("RS_FAILED", "ffffffea")) << "only the first 1024 bytes are read";
  w.join();
  close(fd);

  fd = connect_peer();
  send_text(fd, request("ZEL_RC_CMD_CREATE_CDP", {mark_name()}, 1));
  EXPECT_EQ(drain(fd), reply_of("RS_SUCCESS_START_CREATE_CDP", "0"));
  close(fd);
  ASSERT_TRUE(fake::wait_marks(1));
  EXPECT_EQ(fake::marks_made()[0].time_flag, 0);
}

// A request longer than what is read: once answered, the daemon ends its
// side in order and reads what still comes, so a peer that is still sending
// neither fails nor meets a reset that could take the reply with it.
TEST_F(TcpTest, LongRequestEndsInAnOrderlyCloseAfterItsReply) {
  std::string big = request("ZEL_RC_CMD_CREATE_CDP", {mark_name()}, 1);
  big.insert(big.find("<m_ParaNum>"), "<pad>" + std::string(3000, 'p') + "</pad>");
  auto send_all = [](int fd, const std::string& text) {
    size_t off = 0;
    while (off < text.size()) {
      ssize_t n = send(fd, text.data() + off, text.size() - off, MSG_NOSIGNAL);
      if (n <= 0) break;
      off += n;
    }
    return off;
  };
  auto wait_end = [](int fd) {
    pollfd p = {fd, POLLRDHUP, 0};
    return poll(&p, 1, 10000) == 1 ? p.revents : 0;
  };

  int fd = connect_peer();
  ASSERT_EQ(send_all(fd, big.substr(0, 1500)), 1500u);
  short ev = wait_end(fd);
  ASSERT_NE(ev, 0) << "the daemon answers once it has read 1024 bytes";
  EXPECT_EQ(ev & (POLLERR | POLLHUP), 0) << "an orderly end, not a reset";
  EXPECT_EQ(send_all(fd, big.substr(1500)), big.size() - 1500) << "the rest is still taken";
  shutdown(fd, SHUT_WR);
  EXPECT_EQ(drain(fd), reply_of("RS_FAILED", "ffffffea"));
  close(fd);

  // A peer that never stops sending is cut off once the bound is passed.
  fd = connect_peer();
  std::thread w([&] { send_all(fd, big + std::string(200 * 1024, ' ')); });
  EXPECT_NE(wait_end(fd), 0);
  shutdown(fd, SHUT_RDWR);
  w.join();
  close(fd);
}

}  // namespace

namespace {

// Whether the daemon closed the connection within the time, without a reply.
bool closed_unanswered(int fd, int ms) {
  pollfd p = {fd, POLLIN, 0};
  if (poll(&p, 1, ms) != 1) return false;
  char b;
  return ::recv(fd, &b, 1, MSG_DONTWAIT) == 0;
}

// Bounded: beyond the most connections kept, a new one is closed at once,
// long before the deadline of those already open; once one ends, a peer is
// served again.
TEST_F(TcpTest, ConnectionsBeyondTheBoundAreClosedAtOnce) {
  g_cdp_max_conns = 2;
  int a = connect_peer(), b = connect_peer();
  ASSERT_TRUE(testsupport::eventually([&] { return open_conns.load() == 2; }));
  int over = connect_peer();
  EXPECT_TRUE(closed_unanswered(over, 1000)) << "closed well before the 5 s deadline";
  close(over);
  close(a);
  ASSERT_TRUE(testsupport::eventually([&] { return open_conns.load() == 1; }));
  int fd = connect_peer();
  send_text(fd, request("ZEL_RC_CMD_CREATE_CDP", {mark_name()}, 1));
  EXPECT_EQ(drain(fd), reply_of("RS_SUCCESS_START_CREATE_CDP", "0"));
  close(fd);
  close(b);
}

// Marks are answered before they are made; when more wait than the bound,
// the surplus is refused rather than queued.
TEST_F(TcpTest, MarksBeyondTheQueueBoundAreRefused) {
  g_net_queue_max = 1;
  std::atomic<bool> release{false};
  fake::mark_until = [&] { return release.load(); };
  auto ask = [&] {
    int fd = connect_peer();
    send_text(fd, request("ZEL_RC_CMD_CREATE_CDP", {mark_name()}, 1));
    std::string r = drain(fd);
    close(fd);
    return r;
  };
  EXPECT_EQ(ask(), reply_of("RS_SUCCESS_START_CREATE_CDP", "0"));
  ASSERT_TRUE(testsupport::eventually([] { return fake::marks_begun.load() == 1; }));
  EXPECT_EQ(ask(), reply_of("RS_SUCCESS_START_CREATE_CDP", "0")) << "one may wait";
  EXPECT_EQ(ask(), reply_of("RS_FAILED", "fffffff4")) << "the next is refused";
  release = true;
  EXPECT_TRUE(fake::wait_marks(2));
  EXPECT_TRUE(fake::drain(net));
  EXPECT_EQ(fake::marks_made().size(), 2u);
}

}  // namespace
