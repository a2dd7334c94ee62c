// The client API against a stand-in for zelmird's socket: the bytes of each
// request and what each reply makes of the result.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "fake_hm_server.h"
#include "log_capture.h"
#include "mirapi/api.h"
#include "un_cmd.h"

namespace {

using testsupport::FakeHmServer;

const char kPrimary[] = "1234abcd-0000-0000-0000-000000000000";

std::string bytes(std::initializer_list<int> b) {
  std::string s;
  for (int c : b) s.push_back(static_cast<char>(c));
  return s;
}

// The 22-byte request of the one-descriptor commands for kPrimary.
std::string type2(int cmd, uint32_t param) {
  std::string s = FakeHmServer::header(static_cast<uint8_t>(cmd), 0, 16, 0);
  s += bytes({1, 0, 0, 0, 0, 0, 0, 0, 0xcd, 0xab, 0x34, 0x12});
  s.append(reinterpret_cast<const char*>(&param), 4);
  return s;
}

std::string status_record(uint16_t index, const char* primary, const char* mirror) {
  hm_api_status_t s;
  memset(&s, 0, sizeof(s));
  s.index = index;
  s.percent = 100;
  strcpy(s.sync_status, "Sync Finished");
  strcpy(s.run_status, "Running");
  strcpy(s.primary_status, "Up");
  strcpy(s.primary_path, "/dev/sdb");
  strcpy(s.primary_guid, primary);
  strcpy(s.mirror_status, "Up");
  strcpy(s.mirror_path, "/dev/sdc");
  strcpy(s.mirror_guid, mirror);
  return std::string(reinterpret_cast<const char*>(&s), sizeof(s));
}

class ApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = "/tmp/libtest-hm-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name();
    path_ = path_.substr(0, 100);
    server_ = std::make_unique<FakeHmServer>(path_);
    mirapi::set_socket_path_for_test(path_.c_str());
  }
  void TearDown() override {
    mirapi::set_socket_path_for_test(nullptr);
    server_.reset();
  }
  std::string path_;
  std::unique_ptr<FakeHmServer> server_;
};

TEST_F(ApiTest, OneDescriptorCommands) {
  struct Case {
    const char* what;
    int (*call)();
    int cmd;
    uint32_t param;
    uint16_t retcode;
    int want;
  } cases[] = {
      {"unprotect", [] { return hm_disk_unprotect(kPrimary); }, 2, 0, 0, 0},
      {"unprotect, not protected", [] { return hm_disk_unprotect(kPrimary); }, 2, 0, 8, -8},
      {"sync with speed", [] { return hm_disk_sync(kPrimary, 4096); }, 3, 4096, 0, 0},
      {"sync without speed", [] { return hm_disk_sync(kPrimary, 0); }, 3, 0, 0, 0},
      {"resync", [] { return hm_disk_resync(kPrimary, 100); }, 4, 100, 19, -19},
      {"stop sync", [] { return hm_disk_stop_sync(kPrimary); }, 5, 0, 17, -17},
      {"result without text", [] { return hm_disk_stop_sync(kPrimary); }, 5, 0, 40, -40},
  };
  size_t n = 0;
  for (const auto& c : cases) {
    server_->push_reply(static_cast<uint8_t>(c.cmd), c.retcode);
    EXPECT_EQ(c.call(), c.want) << c.what;
    ASSERT_TRUE(server_->wait_requests(++n));
    EXPECT_EQ(server_->requests().back(), type2(c.cmd, c.param)) << c.what;
  }
  EXPECT_TRUE(libtest::syslog_contains("cmd: DISK_RESYNC failed: Try again later"));
  EXPECT_TRUE(libtest::syslog_contains("failed: Unknown result code"));
}

TEST_F(ApiTest, ReplyBodyIsLoggedWithinItsLength) {
  // A body without terminator followed, in the same write, by nothing: the
  // log line must hold exactly the body.
  server_->push_reply(2, 0, "report-text");
  EXPECT_EQ(hm_disk_unprotect(kPrimary), 0);
  EXPECT_TRUE(libtest::syslog_contains("11 report-text\n"));
}

TEST_F(ApiTest, IdentityWithoutSignatureSendsNothing) {
  EXPECT_EQ(hm_disk_unprotect("1234abcd"), -1);
  EXPECT_EQ(hm_disk_unprotect(nullptr), -1);
  EXPECT_EQ(hm_disk_stat("short"), nullptr);
  EXPECT_EQ(hm_disk_protect(nullptr, kPrimary), -1);
  EXPECT_EQ(hm_disk_protect(kPrimary, nullptr), -1);
  // The primary is looked up by signature 0, which names no disk.
  EXPECT_EQ(hm_disk_protect("00000000-0000-0000-0000-000000000000", kPrimary), -1);
  // Each call is one exchange that waits for its reply, and the server keeps
  // a request before it answers: a request sent would be there by now.
  EXPECT_TRUE(server_->requests().empty());
}

TEST_F(ApiTest, StatusListOfAllProtections) {
  std::string body = status_record(0, "aaaa0001-0000-0000-0000-000000000000", "guid-a") +
                     status_record(1, "bbbb0002-0000-0000-0000-000000000000", "guid-b") +
                     status_record(2, "cccc0003-0000-0000-0000-000000000000", "guid-c") +
                     std::string(1, '\0');
  ASSERT_EQ(body.size(), 1165u);
  server_->push_reply(15, 0, body);
  hm_disk_stat_t* list = hm_disk_stat(nullptr);
  ASSERT_TRUE(server_->wait_requests(1));
  EXPECT_EQ(server_->requests()[0], FakeHmServer::header(15, 0, 0, 0));
  const char* want[] = {"guid-a", "guid-b", "guid-c"};
  int i = 0;
  for (hm_disk_stat_t* n = list; n; n = n->next, i++) {
    ASSERT_LT(i, 3);
    EXPECT_EQ(n->status.index, i);
    EXPECT_STREQ(n->status.mirror_guid, want[i]);
    EXPECT_STREQ(n->status.run_status, "Running");
  }
  EXPECT_EQ(i, 3);
  hm_disk_stat_release(list);
}

TEST_F(ApiTest, StatusOfOneProtectionAndFailures) {
  server_->push_reply(15, 0, status_record(4, kPrimary, "m"));
  hm_disk_stat_t* one = hm_disk_stat(kPrimary);
  ASSERT_NE(one, nullptr);
  EXPECT_EQ(one->next, nullptr);
  EXPECT_EQ(one->status.index, 4);
  hm_disk_stat_release(one);
  ASSERT_TRUE(server_->wait_requests(1));
  EXPECT_EQ(server_->requests()[0], type2(15, 0));

  server_->push_reply(15, 12);
  EXPECT_EQ(hm_disk_stat(nullptr), nullptr);
  EXPECT_TRUE(libtest::syslog_contains("API_GET_STATUS failed: Get status in kernel failed"));

  server_->push_reply(15, 0, "");   // no protection
  EXPECT_EQ(hm_disk_stat(nullptr), nullptr);

  server_->push_reply(15, 0, std::string(387, 'x'));   // less than one record
  EXPECT_EQ(hm_disk_stat(nullptr), nullptr);
}

TEST_F(ApiTest, StatusTextsAreTerminatedInsideTheirFields) {
  std::string rec(388, 'A');   // a daemon that filled every field to the brim
  server_->push_reply(15, 0, rec);
  hm_disk_stat_t* one = hm_disk_stat(nullptr);
  ASSERT_NE(one, nullptr);
  EXPECT_EQ(strlen(one->status.sync_status), 31u);
  EXPECT_EQ(strlen(one->status.primary_path), 63u);
  EXPECT_EQ(strlen(one->status.mirror_guid), 63u);
  hm_disk_stat_release(one);
}

TEST_F(ApiTest, MarkCdp) {
  const char guid[] = "3f2a9c10-77ab-4c1e-9d2b-5e6f7a8b9c0d";
  std::string name = std::string("zel_{") + guid + "}";
  server_->push_reply(16, 0);
  EXPECT_EQ(hm_disk_mark_cdp(guid), 0);
  server_->push_reply(16, 31);
  EXPECT_EQ(hm_disk_mark_cdp(guid), -31);
  ASSERT_TRUE(server_->wait_requests(2));
  EXPECT_EQ(server_->requests()[0],
            FakeHmServer::header(16, 0, static_cast<uint16_t>(name.size()), 0) + name);
  EXPECT_TRUE(libtest::syslog_contains("CREATE_CDP failed: mark CDP failed"));

  // A name that cannot fit a request is refused before anything is sent.
  std::string huge(2000, 'g');
  EXPECT_EQ(hm_disk_mark_cdp(huge.c_str()), -1);
  EXPECT_EQ(hm_disk_mark_cdp(nullptr), -1);
  // As above: a request sent would be there when the call returned.
  EXPECT_EQ(server_->requests().size(), 2u);
}

TEST_F(ApiTest, TransportFailures) {
  // The daemon reads the request and hangs up.
  server_->push({"", true});
  EXPECT_EQ(hm_disk_unprotect(kPrimary), -1);
  EXPECT_TRUE(libtest::syslog_contains("failed in: readn hm_header_t"));

  // A header promising more body than ever comes.
  server_->push({FakeHmServer::header(2, 0, 100, 0) + "short", false});
  EXPECT_EQ(hm_disk_unprotect(kPrimary), -1);
  EXPECT_TRUE(libtest::syslog_contains("failed in: readn msg body"));

  // Half a header.
  server_->push({std::string(3, '\0'), false});
  EXPECT_EQ(hm_disk_unprotect(kPrimary), -1);
}

// A daemon that trickles its reply a byte at a time, each well within the
// receive time-out, still meets one deadline for the whole exchange.
TEST(LibApiTrickle, WholeExchangeHasOneDeadline) {
  std::string path = "/tmp/libtest-trickle-" + std::to_string(getpid());
  unlink(path.c_str());
  int lfd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  strcpy(a.sun_path, path.c_str());
  ASSERT_EQ(bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
  ASSERT_EQ(listen(lfd, 1), 0);
  std::atomic<bool> stop{false};
  std::thread server([&] {
    int fd = accept(lfd, nullptr, nullptr);
    char req[64];
    if (read(fd, req, sizeof(req)) <= 0) return;
    // A header announcing a long body, then one byte of it every 100 ms.
    std::string h = FakeHmServer::header(2, 0, 1000, 0);
    if (send(fd, h.data(), h.size(), MSG_NOSIGNAL) < 0) return;
    for (int i = 0; i < 1000 && !stop; i++) {
      if (send(fd, "x", 1, MSG_NOSIGNAL) != 1) break;
      usleep(100000);
    }
    close(fd);
  });
  mirapi::set_socket_path_for_test(path.c_str());
  mirapi::set_exchange_limit_for_test(1000);
  timespec t0, t1;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  int rc = hm_disk_unprotect(kPrimary);
  clock_gettime(CLOCK_MONOTONIC, &t1);
  mirapi::set_exchange_limit_for_test(0);
  mirapi::set_socket_path_for_test(nullptr);
  stop = true;
  server.join();
  close(lfd);
  unlink(path.c_str());
  EXPECT_EQ(rc, -1);
  EXPECT_LT(t1.tv_sec - t0.tv_sec, 4) << "ended by the deadline, not by the trickle";
}

TEST(LibApiNoDaemon, ConnectFailsAtOnceWithErrno) {
  libtest::take_syslog();
  mirapi::set_socket_path_for_test("/tmp/libtest-nobody-listens-here");
  int rc = hm_disk_unprotect(kPrimary);
  EXPECT_TRUE(rc == -ENOENT || rc == -ECONNREFUSED) << rc;
  EXPECT_EQ(hm_disk_stat(nullptr), nullptr);
  EXPECT_EQ(hm_disk_mark_cdp("x"), rc);
  EXPECT_FALSE(libtest::syslog_contains("failed in:"));
  EXPECT_TRUE(libtest::syslog_contains("make sure zelmird is running"));
  mirapi::set_socket_path_for_test(nullptr);
  EXPECT_EQ(hm_disk_backup_list(), 0);
}

}  // namespace
