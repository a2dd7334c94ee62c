// The agent's message head and socket routines, over socket pairs.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "host/host.h"
#include "log_capture.h"
#include "qor_transport.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Both ends of a connected stream; each is closed when the object goes.
struct Pair {
  int a = -1, b = -1;
  Pair() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) abort();
    a = fds[0];
    b = fds[1];
  }
  ~Pair() {
    close_a();
    close_b();
  }
  void close_a() {
    if (a >= 0) close(a);
    a = -1;
  }
  void close_b() {
    if (b >= 0) close(b);
    b = -1;
  }
};

void set_timeout(int fd, int opt, int ms) {
  timeval tv{ms / 1000, (ms % 1000) * 1000};
  ASSERT_EQ(0, setsockopt(fd, SOL_SOCKET, opt, &tv, sizeof(tv)));
}

void put(int fd, const void *p, size_t n) {
  ASSERT_EQ(static_cast<ssize_t>(n), write(fd, p, n));
}

// Reads until n bytes or the end of the stream.
Bytes take(int fd, size_t n) {
  Bytes out(n);
  size_t got = 0;
  while (got < n) {
    ssize_t r = read(fd, out.data() + got, n - got);
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  out.resize(got);
  return out;
}

qorc_head head(uint8_t version, uint16_t status, uint16_t tag, uint32_t cmd, uint32_t len) {
  qorc_head h{};
  h.proto_version = version;
  h.ret_status = status;
  h.tag = tag;
  h.cmd = cmd;
  h.data_len = len;
  return h;
}

bool all_zero(const qorc_head &h) {
  static const qorc_head zero{};
  return memcmp(&h, &zero, sizeof(h)) == 0;
}

struct ReqDeleter {
  void operator()(qorc_req *r) const { req_free(r); }
};
using Req = std::unique_ptr<qorc_req, ReqDeleter>;
Req new_req() {
  Req r(req_alloc());
  if (!r) abort();
  return r;
}

TEST(AgentHead, BytesOnTheWire) {
  struct Case {
    const char *what;
    qorc_head h;
    const char *payload;
    Bytes want;   // the head's bytes; the payload follows as it is
  } cases[] = {
      {"heartbeat request", head(2, 0, 3, 32, 11), "<Tidewell/>",
       {2, 0, 0, 0, 0, 0, 3, 0, 32, 0, 0, 0, 11, 0, 0, 0}},
      {"reply with a status", head(2, 10039, 0x1234, 30011, 0), nullptr,
       {2, 0, 0x37, 0x27, 0, 0, 0x34, 0x12, 0x3b, 0x75, 0, 0, 0, 0, 0, 0}},
      {"connection check", head(1, 0, 0, 57, 0), nullptr,
       {1, 0, 0, 0, 0, 0, 0, 0, 0x39, 0, 0, 0, 0, 0, 0, 0}},
      {"every field wide", head(0xfe, 0xfffe, 0xfffd, 0x01020304, 5), "12345",
       {0xfe, 0, 0xfe, 0xff, 0, 0, 0xfd, 0xff, 4, 3, 2, 1, 5, 0, 0, 0}},
  };
  for (const auto &c : cases) {
    Pair p;
    Req req = new_req();
    req->send_head = c.h;
    if (c.payload) req->sendxml = strdup(c.payload);
    ASSERT_EQ(0, send_to_remote(p.a, req.get())) << c.what;
    p.close_a();
    Bytes want = c.want;
    if (c.payload) want.insert(want.end(), c.payload, c.payload + strlen(c.payload));
    // Exactly the head and the payload: no terminator, nothing more.
    EXPECT_EQ(take(p.b, want.size() + 1), want) << c.what;
  }
}

TEST(AgentHead, SendRefusesAPayloadItDoesNotHave) {
  Pair p;
  Req req = new_req();
  req->send_head = head(2, 0, 0, 1, 10);
  EXPECT_EQ(-1, send_to_remote(p.a, req.get()));
  EXPECT_EQ(-1, send_to_remote(p.a, nullptr));
  p.close_a();
  EXPECT_TRUE(take(p.b, 16).empty()) << "not even the head went out";
}

TEST(AgentTransport, MessagesArriveWhole) {
  struct Case {
    const char *what;
    std::string payload;
    std::vector<size_t> pieces;   // the sender's writes; empty: send_to_remote
  } cases[] = {
      {"no payload", "", {}},
      {"small document", "<Tidewell><a b=\"1\"/></Tidewell>", {}},
      {"head and payload in pieces", "<Tidewell/>", {3, 10, 5, 9}},
      // Far more than a socket holds: many partial reads and writes.
      {"payload at the limit", std::string(QORC_MAX_DATA_LEN, 'x'), {}},
  };
  for (const auto &c : cases) {
    Pair p;
    qorc_head h = head(2, 7, 9, 30010, static_cast<uint32_t>(c.payload.size()));
    std::thread sender([&] {
      if (c.pieces.empty()) {
        Req out = new_req();
        out->send_head = h;
        if (!c.payload.empty()) out->sendxml = strdup(c.payload.c_str());
        EXPECT_EQ(0, send_to_remote(p.a, out.get())) << c.what;
        return;
      }
      std::string wire(reinterpret_cast<const char *>(&h), sizeof(h));
      wire += c.payload;
      size_t at = 0;
      for (size_t n : c.pieces) {
        put(p.a, wire.data() + at, n);
        at += n;
        std::this_thread::yield();
      }
    });
    Req in = new_req();
    EXPECT_EQ(0, recv_from_remote(p.b, in.get())) << c.what;
    sender.join();
    EXPECT_EQ(0, memcmp(&in->recv_head, &h, sizeof(h))) << c.what;
    if (c.payload.empty()) {
      EXPECT_EQ(in->recvxml, nullptr) << c.what;
    } else {
      ASSERT_NE(in->recvxml, nullptr) << c.what;
      EXPECT_EQ(strlen(in->recvxml), c.payload.size()) << c.what;
      EXPECT_TRUE(in->recvxml == c.payload) << c.what;
    }
  }
}

TEST(AgentTransport, BrokenMessagesFailAndLeaveTheRecordEmpty) {
  struct Case {
    const char *what;
    uint32_t data_len;
    size_t head_bytes;   // of the head, sent
    size_t body_bytes;   // of the payload, sent
    bool close;          // then the peer closes; else it stays silent
  } cases[] = {
      {"peer closes at once", 8, 0, 0, true},
      {"peer closes inside the head", 8, 10, 0, true},
      {"peer closes after the head", 8, 16, 0, true},
      {"peer closes inside the payload", 8, 16, 3, true},
      {"peer falls silent inside the head", 8, 10, 0, false},
      {"peer falls silent inside the payload", 8, 16, 3, false},
      {"peer falls silent before anything", 8, 0, 0, false},
  };
  for (const auto &c : cases) {
    Pair p;
    set_timeout(p.b, SO_RCVTIMEO, 200);
    qorc_head h = head(2, 0, 1, 2, c.data_len);
    put(p.a, &h, c.head_bytes);
    put(p.a, "<Tidewell/>", c.body_bytes);
    if (c.close) p.close_a();
    Req in = new_req();
    EXPECT_EQ(-1, recv_from_remote(p.b, in.get())) << c.what;
    EXPECT_EQ(in->recvxml, nullptr) << c.what;
    EXPECT_TRUE(all_zero(in->recv_head)) << c.what;
  }
}

TEST(AgentTransport, ADeadlineBoundsTheWholeMessageNotEachWait) {
  // A byte every 50 ms never lets a 200 ms wait pass, so only a limit on
  // the whole message ends this one; each way it can be cut, within the
  // deadline's slack.
  struct Case {
    const char *what;
    bool send_reply;  // else receive
  } cases[] = {{"receive", false}, {"send", true}};
  for (const auto &c : cases) {
    Pair p;
    set_timeout(p.b, SO_RCVTIMEO, 200);
    set_timeout(p.a, SO_SNDTIMEO, 200);
    std::atomic<bool> stop{false};
    std::thread peer([&] {
      char byte = 2;
      std::vector<char> chunk(256 << 10);
      while (!stop) {
        if (c.send_reply) {
          // Reads a little now and then: the sender never stalls 200 ms.
          if (read(p.b, chunk.data(), chunk.size()) <= 0) break;
        } else if (send(p.a, &byte, 1, MSG_NOSIGNAL) != 1) {
          break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    });
    const auto start = std::chrono::steady_clock::now();
    int rc;
    Req r = new_req();
    if (c.send_reply) {
      std::string big(8 << 20, 'x');
      r->send_head = head(2, 0, 1, 2, static_cast<uint32_t>(big.size()));
      r->sendxml = strdup(big.c_str());
      rc = send_to_remote_by(p.a, r.get(), hl_monotonic_ms() + 400);
    } else {
      rc = recv_from_remote_by(p.b, r.get(), hl_monotonic_ms() + 400);
    }
    const auto took = std::chrono::steady_clock::now() - start;
    stop = true;
    shutdown(p.a, SHUT_RDWR);
    peer.join();
    EXPECT_EQ(-1, rc) << c.what;
    EXPECT_GE(took, std::chrono::milliseconds(390)) << c.what;
    EXPECT_LT(took, std::chrono::seconds(3)) << c.what;
    if (!c.send_reply) {
      EXPECT_TRUE(all_zero(r->recv_head));
    }
  }
}

TEST(AgentTransport, LengthsAboveTheLimitAreRefusedWithoutWaitingForThem) {
  // No receive time-out and the peer stays: a receiver that went on to read
  // (or allocate) the announced payload would wait here for ever.
  for (uint32_t len : {QORC_MAX_DATA_LEN + 1, 0x7fffffffu, 0x80000000u, 0xffffffffu}) {
    Pair p;
    qorc_head h = head(2, 0, 1, 2, len);
    put(p.a, &h, sizeof(h));
    put(p.a, "<Tidewell/>", 11);
    Req in = new_req();
    libtest::take_syslog();
    EXPECT_EQ(-1, recv_from_remote(p.b, in.get())) << len;
    EXPECT_EQ(in->recvxml, nullptr) << len;
    EXPECT_TRUE(all_zero(in->recv_head)) << len;
    EXPECT_TRUE(libtest::syslog_contains("bytes from fd(" + std::to_string(p.b) + ") refused"))
        << len;
  }
}

TEST(AgentTransport, ARecordReceivedIntoTwiceEndsTheProcess) {
  EXPECT_EXIT(
      {
        Pair p;
        Req in = new_req();
        in->recvxml = strdup("<Tidewell/>");
        recv_from_remote(p.b, in.get());
      },
      ::testing::ExitedWithCode(1), "");
}

TEST(AgentTransport, ReadnReturnsWhatArrivedBeforeTheTimeout) {
  struct Case {
    const char *what;
    int count;
    size_t sent;
    bool close;
    int want;
  } cases[] = {
      {"all there", 16, 16, false, 16},
      {"part, then silence", 16, 5, false, 5},
      {"nothing, then silence", 16, 0, false, 0},
      {"part, then the peer closes", 16, 5, true, -1},
      {"nothing asked", 0, 5, false, 0},
      {"negative count", -1, 5, false, 0},
  };
  for (const auto &c : cases) {
    Pair p;
    set_timeout(p.b, SO_RCVTIMEO, 200);
    put(p.a, "0123456789abcdef", c.sent);
    if (c.close) p.close_a();
    char buf[16] = {};
    EXPECT_EQ(c.want, qorc_readn(p.b, buf, c.count)) << c.what;
    if (c.want > 0) {
      EXPECT_EQ(0, memcmp(buf, "0123456789abcdef", c.want)) << c.what;
    }
  }
}

TEST(AgentTransport, WritenGivesUpOnAPeerThatNeverReads) {
  Pair p;
  set_timeout(p.a, SO_SNDTIMEO, 200);
  std::string big(8 << 20, 'x');
  libtest::take_syslog();
  EXPECT_EQ(-1, qorc_writen(p.a, big.data(), static_cast<int>(big.size())));
  EXPECT_TRUE(libtest::syslog_contains("Failed to write (" + std::string(strerror(EAGAIN)) + ")"));
}

TEST(AgentTransport, WritenToAClosedPeerFailsWithoutASignal) {
  Pair p;
  p.close_b();
  // SIGPIPE would end this test program.
  EXPECT_EQ(-1, qorc_writen(p.a, "0123456789abcdef", 16));
}

TEST(AgentTransport, ReusedSockIsAnIpv4StreamSocketReadyToRebind) {
  int fd = reused_sock();
  ASSERT_GE(fd, 0);
  int v = 0;
  socklen_t len = sizeof(v);
  ASSERT_EQ(0, getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &v, &len));
  EXPECT_EQ(v, AF_INET);
  ASSERT_EQ(0, getsockopt(fd, SOL_SOCKET, SO_TYPE, &v, &len));
  EXPECT_EQ(v, SOCK_STREAM);
  ASSERT_EQ(0, getsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &v, &len));
  EXPECT_EQ(v, 1);
  EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
  close(fd);
}

}  // namespace
