// qorcd's dispatch: the reply head for each kind of request head, the
// manager test of every command, and the address filter of TCP connections.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "log_capture.h"
#include "model_util.h"
#include "qor_dispatch.h"
#include "qor_heartbeat.h"
#include "qor_model.h"

namespace {

// A request with this head and no body, dispatched; reply says whether a
// reply is to be sent.
struct Exchange {
  qorc_req* req = req_alloc();
  int reply = -1;
  Exchange(uint8_t version, uint32_t cmd, uint16_t tag, bool local = false) {
    req->recv_head.proto_version = version;
    req->recv_head.cmd = cmd;
    req->recv_head.tag = tag;
    reply = qor_dispatch(req, local ? 1 : 0);
  }
  ~Exchange() { req_free(req); }
  const qorc_head& head() const { return req->send_head; }
};

// The configuration of a host that is managed or not.
class DispatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_qor = qor_alloc();
    ASSERT_NE(nullptr, g_qor);
    heartbeat_set_running(0);
    libtest::take_syslog();
  }
  void TearDown() override { qor_cleanup(); }

  void manage() {
    qor_manager mngr{};
    mngr.guid = const_cast<char*>("MANAGER-GUID");
    INIT_LIST_HEAD(&mngr.ips);
    ASSERT_EQ(0, qor_mngr_appoint(&mngr, g_qor));
    ASSERT_EQ(1, qor_is_protected(g_qor));
  }
};

TEST_F(DispatchTest, HeadOfAnotherVersionGetsStatusOneAndCommandZero) {
  for (uint8_t version : {0, 1, 3, 255}) {
    for (uint32_t cmd : {57u, 0u, 7u, 40000u}) {
      SCOPED_TRACE(testing::Message() << "version " << int(version) << " cmd " << cmd);
      Exchange x(version, cmd, 0xBEEF);
      ASSERT_EQ(1, x.reply);
      EXPECT_EQ(2, x.head().proto_version);
      EXPECT_EQ(0, x.head().reserved1);
      EXPECT_EQ(1, x.head().ret_status);
      EXPECT_EQ(0, x.head().reserved2);
      EXPECT_EQ(0xBEEF, x.head().tag);
      EXPECT_EQ(0u, x.head().cmd);
      EXPECT_EQ(0u, x.head().data_len);
    }
  }
  EXPECT_TRUE(libtest::syslog_contains("Received command from incompatible Tidewell server."));
}

TEST_F(DispatchTest, EmptyCodesGetNoReply) {
  const struct {
    uint32_t cmd;
    bool local;
  } cases[] = {
      {0, false},     {0, true},     {7, false},     {32, false},    {30009, true},
      {30012, true},  {65535, true}, {0xFFFFFFFF, false},
      // The local tool's commands exist only on the unix socket.
      {30010, false}, {30011, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "cmd " << c.cmd << (c.local ? " unix" : " tcp"));
    Exchange x(2, c.cmd, 9, c.local);
    EXPECT_EQ(0, x.reply);
  }
  EXPECT_TRUE(libtest::syslog_contains("Invalid cmd: 30010"));
}

TEST_F(DispatchTest, RepliesCarryVersionTagAndCommand) {
  const struct {
    uint32_t cmd;
    bool local;
  } cases[] = {{57, false}, {57, true}, {1, false}, {30000, false}, {30010, true}, {30011, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cmd);
    Exchange x(2, c.cmd, 0x1234, c.local);
    ASSERT_EQ(1, x.reply);
    EXPECT_EQ(2, x.head().proto_version);
    EXPECT_EQ(0, x.head().reserved1);
    EXPECT_EQ(0, x.head().reserved2);
    EXPECT_EQ(0x1234, x.head().tag);
    EXPECT_EQ(c.cmd, x.head().cmd);
  }
  EXPECT_TRUE(libtest::syslog_contains("Received command code: 57."));
}

// What each command answers first when the host's manager state is not the
// one it needs (-1: the command has no such test).
const struct {
  uint32_t code;
  int unmanaged;  // status on a host without a manager
  int managed;    // status on a managed host
} kManagerTests[] = {
    {1, -1, 52},    {2, -1, 52},     {4, 50, -1},     {5, 10039, -1},  {6, 1, -1},
    {8, 1, -1},     {14, 50, -1},    {15, 50, -1},    {16, 50, -1},    {17, 50, -1},
    {21, 50, -1},   {23, 50, -1},    {45, 1, -1},     {46, 50, -1},    {48, 50, -1},
    {49, 1, -1},    {54, 50, -1},    {62, 50, -1},    {69, 50, -1},    {30000, 50, -1},
    {30001, 50, -1}, {30002, 50, -1}, {30003, 50, -1}, {30004, 50, -1}, {30005, 50, -1},
    {30006, 50, -1}, {30007, 50, -1}, {30008, 50, -1},
};

TEST_F(DispatchTest, ManagerTestOfEveryCommand) {
  for (bool managed : {false, true}) {
    if (managed) manage();
    for (const auto& c : kManagerTests) {
      int want = managed ? c.managed : c.unmanaged;
      if (want < 0) continue;
      SCOPED_TRACE(testing::Message() << "cmd " << c.code << (managed ? " managed" : " unmanaged"));
      Exchange x(2, c.code, 1);
      ASSERT_EQ(1, x.reply);
      EXPECT_EQ(want, x.head().ret_status);
    }
  }
}

TEST_F(DispatchTest, EveryRowIsFoundByItsCode) {
  uint32_t previous = 0;
  for (size_t i = 0; i < qor_command_count; i++) {
    const qor_command& row = qor_commands[i];
    EXPECT_EQ(&row, qor_find_command(row.code)) << row.name;
    // Codes between two rows have none.
    for (uint32_t gap = previous + 1; gap < row.code && gap < previous + 100; gap++)
      EXPECT_EQ(nullptr, qor_find_command(gap)) << gap;
    previous = row.code;
  }
  EXPECT_EQ(nullptr, qor_find_command(0));
  EXPECT_EQ(nullptr, qor_find_command(30012));
}

TEST_F(DispatchTest, HeartbeatFlagAfterAddAndDelClient) {
  manage();
  // ADD_CLIENT turns heartbeats on whatever it answers (here 52).
  {
    Exchange x(2, 2, 1);
    EXPECT_EQ(52, x.head().ret_status);
  }
  EXPECT_EQ(1, heartbeat_running());
  EXPECT_TRUE(libtest::syslog_contains("Client added, turn on heartbeat!"));
  // A DEL_CLIENT that names no manager of this host fails and leaves them on.
  {
    Exchange x(2, 3, 1);
    EXPECT_NE(0, x.head().ret_status);
  }
  EXPECT_EQ(1, heartbeat_running());
}

// A TCP connection over loopback to a listener on 127.0.0.1; the accepted
// end is server.
struct Loopback {
  int listener = -1, client = -1, server = -1;
  Loopback() {
    listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (bind(listener, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
      abort();
    client = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(client, reinterpret_cast<sockaddr*>(&addr), len) != 0) abort();
    server = accept(listener, nullptr, nullptr);
  }
  ~Loopback() {
    close(server);
    close(client);
    close(listener);
  }
};

TEST(AddressFilter, LocalAddressOfTheConnection) {
  Loopback conn;
  const struct {
    std::vector<const char*> filter;
    int filtered;
  } cases[] = {
      {{}, 0},
      {{"127.0.0.2"}, 0},
      {{"10.0.0.1", "127.0.0.1"}, 1},
      {{"127.0.0.1"}, 1},
  };
  for (const auto& c : cases) {
    LIST_HEAD(filter);
    for (const char* ip : c.filter) agenttest::add_ip(&filter, ip);
    EXPECT_EQ(c.filtered, qor_local_addr_filtered(conn.server, &filter));
    ip_list_free(&filter);
  }
  // A unix socket has no IPv4 address to filter.
  int pair[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, pair));
  LIST_HEAD(filter);
  agenttest::add_ip(&filter, "0.0.0.0");
  EXPECT_EQ(0, qor_local_addr_filtered(pair[0], &filter));
  ip_list_free(&filter);
  close(pair[0]);
  close(pair[1]);
}

}  // namespace
