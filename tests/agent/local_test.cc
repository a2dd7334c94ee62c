// The local command client against a stand-in for qorcd's unix socket in a
// temporary directory.
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "log_capture.h"
#include "qor_local.h"
#include "qor_transport.h"

namespace {

// What the stand-in does with the one connection it takes.
struct Script {
  bool accept = true;              // false: listens, never accepts
  std::string reply;               // bytes written back, in pieces
  std::vector<size_t> pieces;      // sizes of the writes; empty: one write
  bool hang_up = true;             // false: stays silent until the test ends
};

Script answer(std::string bytes, std::vector<size_t> pieces = {}) {
  Script s;
  s.reply = std::move(bytes);
  s.pieces = std::move(pieces);
  return s;
}
Script answer_then_silence(std::string bytes) {
  Script s = answer(std::move(bytes));
  s.hang_up = false;
  return s;
}
Script never_accept() {
  Script s;
  s.accept = false;
  return s;
}

std::string wire(uint16_t status, uint32_t cmd, const std::string &payload,
                 uint32_t data_len = UINT32_MAX) {
  qorc_head h{};
  h.proto_version = 2;
  h.ret_status = status;
  h.cmd = cmd;
  h.data_len = data_len == UINT32_MAX ? static_cast<uint32_t>(payload.size()) : data_len;
  return std::string(reinterpret_cast<const char *>(&h), sizeof(h)) + payload;
}

class FakeQorcd {
 public:
  explicit FakeQorcd(Script s) : script_(std::move(s)) {
    char tmpl[] = "/tmp/qorlocal_XXXXXX";
    if (!mkdtemp(tmpl)) abort();
    dir_ = tmpl;
    path_ = dir_ + "/qorcd.sock";
    if (pipe(stop_) != 0) abort();
    listen_fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path_.c_str(), sizeof(addr.sun_path) - 1);
    if (bind(listen_fd_, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 ||
        listen(listen_fd_, 4) != 0)
      abort();
    if (script_.accept) thread_ = std::thread([this] { serve(); });
  }
  ~FakeQorcd() {
    close(stop_[1]);
    if (thread_.joinable()) thread_.join();
    close(stop_[0]);
    close(listen_fd_);
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }
  const std::string &path() const { return path_; }
  // The bytes of the request, once the exchange is over.
  std::string request() {
    if (thread_.joinable()) {
      close(stop_[1]);
      stop_[1] = -1;
      thread_.join();
    }
    return request_;
  }

 private:
  void serve() {
    int c = accept(listen_fd_, nullptr, nullptr);
    if (c < 0) return;
    char buf[16];
    size_t got = 0;
    while (got < sizeof(buf)) {
      ssize_t n = read(c, buf + got, sizeof(buf) - got);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    request_.assign(buf, got);
    size_t at = 0;
    for (size_t n : script_.pieces) {
      (void)!write(c, script_.reply.data() + at, n);
      at += n;
      std::this_thread::yield();
    }
    if (at < script_.reply.size()) (void)!write(c, script_.reply.data() + at, script_.reply.size() - at);
    if (!script_.hang_up) {
      pollfd p{stop_[0], POLLIN, 0};
      poll(&p, 1, -1);
    }
    close(c);
  }

  Script script_;
  std::string dir_, path_, request_;
  int listen_fd_ = -1;
  int stop_[2] = {-1, -1};
  std::thread thread_;
};

constexpr int kTimeout = 1;   // seconds; qorcd's tools use 40

TEST(AgentLocal, RequestIsABareHeadWithTheCommand) {
  FakeQorcd d(answer(wire(0, QORC_CMD_LOCAL_WITHDRAW, "")));
  ASSERT_EQ(0, qorc_local_command(d.path().c_str(), QORC_CMD_LOCAL_WITHDRAW, kTimeout, nullptr));
  const uint8_t want[16] = {2, 0, 0, 0, 0, 0, 0, 0, 0x3b, 0x75, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(d.request(), std::string(reinterpret_cast<const char *>(want), sizeof(want)));
}

TEST(AgentLocal, Answers) {
  const std::string doc = "<Tidewell><Client GUID=\"c\"/></Tidewell>";
  struct Case {
    const char *what;
    uint32_t cmd;
    Script script;
    int want;
    const char *reply;   // expected payload; null: none
    const char *log;     // a line the failure logs
  } cases[] = {
      {"list in pieces", QORC_CMD_LOCAL_LIST,
       answer(wire(0, QORC_CMD_LOCAL_LIST, doc), {3, 13, 7}), 0, doc.c_str(), nullptr},
      {"list without a document", QORC_CMD_LOCAL_LIST, answer(wire(0, QORC_CMD_LOCAL_LIST, "")),
       0, nullptr, nullptr},
      {"withdraw done", QORC_CMD_LOCAL_WITHDRAW, answer(wire(0, QORC_CMD_LOCAL_WITHDRAW, "")), 0,
       nullptr, nullptr},
      {"withdraw refused", QORC_CMD_LOCAL_WITHDRAW, answer(wire(1, QORC_CMD_LOCAL_WITHDRAW, "")),
       -1, nullptr, "Failed: daemon return error"},
      {"list refused with a document", QORC_CMD_LOCAL_LIST,
       answer(wire(1, QORC_CMD_LOCAL_LIST, doc)), -1, nullptr, "Failed: daemon return error"},
      {"closed without an answer", QORC_CMD_LOCAL_LIST, answer(""), -1, nullptr,
       "Failed to receive msg from manager"},
      {"short head, closed", QORC_CMD_LOCAL_LIST,
       answer(wire(0, QORC_CMD_LOCAL_LIST, "").substr(0, 9)), -1, nullptr,
       "Failed to receive msg from manager"},
      {"short payload, closed", QORC_CMD_LOCAL_LIST,
       answer(wire(0, QORC_CMD_LOCAL_LIST, doc).substr(0, 30)), -1, nullptr,
       "Failed to receive msg from manager"},
      {"short head, then silence", QORC_CMD_LOCAL_LIST,
       answer_then_silence(wire(0, QORC_CMD_LOCAL_LIST, "").substr(0, 9)), -1, nullptr,
       "Failed to receive msg from manager"},
      {"no answer at all", QORC_CMD_LOCAL_WITHDRAW, answer_then_silence(""), -1, nullptr,
       "Failed to receive msg from manager"},
      {"never accepted", QORC_CMD_LOCAL_WITHDRAW, never_accept(), -1, nullptr,
       "Failed to receive msg from manager"},
      {"not a local command", QORC_CMD_PING_CLIENT, answer(wire(0, QORC_CMD_PING_CLIENT, "")),
       -1, nullptr, "Unkown command"},
  };
  for (const auto &c : cases) {
    FakeQorcd d(c.script);
    libtest::take_syslog();
    char untouched[] = "untouched";
    char *reply = untouched;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(c.want, qorc_local_command(d.path().c_str(), c.cmd, kTimeout, &reply)) << c.what;
    // Each wait for the daemon is bounded by the time-out.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3 * kTimeout))
        << c.what;
    ASSERT_NE(reply, untouched) << c.what;
    if (c.reply) {
      ASSERT_NE(reply, nullptr) << c.what;
      EXPECT_STREQ(reply, c.reply) << c.what;
    } else {
      EXPECT_EQ(reply, nullptr) << c.what;
    }
    free(reply);
    if (c.log) {
      EXPECT_TRUE(libtest::syslog_contains(c.log)) << c.what;
    }
  }
}

TEST(AgentLocal, NoDaemonFailsAtConnect) {
  char tmpl[] = "/tmp/qorlocal_XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  std::string path = std::string(tmpl) + "/qorcd.sock";
  libtest::take_syslog();
  EXPECT_EQ(-1, qorc_local_command(path.c_str(), QORC_CMD_LOCAL_LIST, kTimeout, nullptr));
  EXPECT_TRUE(libtest::syslog_contains("Failed to connect daemon 'qorcd' (" +
                                       std::string(strerror(ENOENT)) + ")"));
  rmdir(tmpl);
}

}  // namespace
