// The tests' managing server against qor_peer, a small stand-in of qorcd's
// side run inside a host: requests and what comes back, the heartbeat
// listener's records and scripted answers, qorcd.conf, and starting and
// stopping a daemon of qorcd's shape.
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "eventually.h"
#include "qor_server.h"
#include "simhost.h"

namespace {

using testsupport::ExecResult;
using testsupport::QorAnswer;
using testsupport::QorArrival;
using testsupport::QorConf;
using testsupport::QorHead;
using testsupport::QorReply;
using testsupport::QorServer;
using testsupport::SimHost;

const std::string kPeer = testsupport::test_program("qor_peer");
constexpr uint16_t kPort = 7010;

class QorServerTest : public ::testing::Test {
 protected:
  QorServerTest() : h_({"--disk", "sdb:8M"}), srv_(h_.dir()) {}

  // Runs command in the host on a thread of its own; joined by finish().
  void run_in_host(const std::vector<std::string>& argv) {
    runner_ = std::thread([this, argv] { result_ = h_.exec(argv); });
  }
  ExecResult finish() {
    runner_.join();
    return result_;
  }

  // One exchange with "qor_peer serve" once it listens.
  template <typename Exchange>
  QorReply with_peer(Exchange exchange) {
    run_in_host({kPeer, "serve", std::to_string(kPort)});
    EXPECT_TRUE(testsupport::eventually([&] { return srv_.port_listens(kPort); }));
    QorReply r = exchange();
    EXPECT_EQ(finish().status, 0);
    return r;
  }

  SimHost h_;
  QorServer srv_;
  std::thread runner_;
  ExecResult result_;
};

TEST_F(QorServerTest, RequestsAndWhatComesBack) {
  QorReply r = with_peer([&] { return srv_.request(kPort, 1, "<Tidewell/>", 9); });
  ASSERT_TRUE(r.connected) << r.error;
  EXPECT_TRUE(r.replied);
  EXPECT_TRUE(r.closed);
  EXPECT_EQ(r.head.version, 2);
  EXPECT_EQ(r.head.status, 7);
  EXPECT_EQ(r.head.tag, 9);
  EXPECT_EQ(r.head.cmd, 1u);
  EXPECT_EQ(r.head.data_len, 11u);
  EXPECT_EQ(r.body, "<Tidewell/>");
  EXPECT_EQ(r.raw.size(), 16u + 11u);

  // Closed without a byte.
  r = with_peer([&] { return srv_.request(kPort, 2); });
  EXPECT_TRUE(r.connected);
  EXPECT_FALSE(r.replied);
  EXPECT_TRUE(r.closed);
  EXPECT_EQ(r.raw, "");

  // A reply whose head promises more than comes: the body is what came.
  r = with_peer([&] { return srv_.request(kPort, 3); });
  EXPECT_TRUE(r.replied);
  EXPECT_EQ(r.head.data_len, 100u);
  EXPECT_EQ(r.body, "short");
  EXPECT_EQ(r.raw.size(), 21u);

  // A broken head goes out as it is; the peer's bytes come back raw.
  r = with_peer([&] { return srv_.send_raw(kPort, std::string("\x02\x00\x00", 3)); });
  EXPECT_FALSE(r.replied);
  EXPECT_EQ(r.raw, "short head 3");

  // A head that promises more than is sent: the peer sees the end of the
  // stream and answers nothing.
  QorHead lying;
  lying.cmd = 1;
  lying.data_len = 50;
  r = with_peer([&] { return srv_.send(kPort, lying, "0123456789"); });
  EXPECT_FALSE(r.replied);
  EXPECT_TRUE(r.closed);

  // Nobody listening.
  r = srv_.request(kPort, 1);
  EXPECT_FALSE(r.connected);
  EXPECT_NE(r.error, "");
}

TEST_F(QorServerTest, HeartbeatsRecordedAndAnsweredAsScripted) {
  srv_.listen(kPort);
  srv_.answer_next(QorAnswer::reply(50, "<Tidewell/>"));
  srv_.answer_next(QorAnswer::hang_up());
  srv_.answer_next(QorAnswer::silent());
  srv_.answer_default(QorAnswer::reply(0, "<Tidewell><Manager/></Tidewell>"));
  auto send = [&](const std::string& body) {
    return h_.exec({kPeer, "send", "127.0.0.1", std::to_string(kPort), "32", body});
  };

  ExecResult r = send("first");
  EXPECT_EQ(r.out, "version=2 status=50 tag=3 cmd=32 body=<Tidewell/>\n");
  r = send("second");
  EXPECT_EQ(r.out, "closed unanswered\n");

  // A silent answer holds the connection open until released; then the
  // peer sees it closed, with nothing said.
  run_in_host({kPeer, "send", "127.0.0.1", std::to_string(kPort), "32", "third"});
  ASSERT_TRUE(testsupport::eventually([&] { return srv_.arrivals().size() == 3; }));
  srv_.release_silent();
  EXPECT_EQ(finish().out, "closed unanswered\n");

  r = send("fourth");
  EXPECT_EQ(r.out, "version=2 status=0 tag=3 cmd=32 body=<Tidewell><Manager/></Tidewell>\n");

  std::vector<QorArrival> got = srv_.arrivals();
  ASSERT_EQ(got.size(), 4u);
  const char* bodies[] = {"first", "second", "third", "fourth"};
  for (size_t i = 0; i < got.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_TRUE(got[i].complete);
    EXPECT_EQ(got[i].head.version, 2);
    EXPECT_EQ(got[i].head.tag, 3);
    EXPECT_EQ(got[i].head.cmd, 32u);
    EXPECT_EQ(got[i].head.data_len, strlen(bodies[i]));
    EXPECT_EQ(got[i].body, bodies[i]);
    if (i > 0) {
      EXPECT_LE(got[i - 1].at, got[i].at);
    }
  }
  EXPECT_EQ(srv_.empty_connections(), 0u);
}

TEST_F(QorServerTest, ConfWrittenAndReadBack) {
  QorConf c;
  c.client_guid = "c1c1c1c1-0000-4000-8000-000000000001";
  c.client_alias = "alias & co";
  c.client_port = 7011;
  c.server_port = 7012;
  c.ip_filter = {"192.0.2.7"};
  c.has_manager = true;
  c.manager_guid = "m1";
  c.target_iqn = "iqn.2001-01.com.example:target";
  c.manager_ips = {"127.0.0.1", "127.0.0.2"};
  c.groups = {{"g1", 100, 200, 60, {"d1", "d2"}}, {"empty", 0, 0, 0, {}}};
  c.schedules = {{"local", "mirror", 1000, 1600, 600}};
  srv_.write_conf(c);

  EXPECT_EQ(h_.exec({"cat", QorServer::kConfPath}).out, c.to_xml());
  QorConf back;
  ASSERT_TRUE(srv_.read_conf(&back));
  EXPECT_EQ(back.to_xml(), c.to_xml());
  EXPECT_EQ(back.client_alias, "alias & co");
  EXPECT_EQ(back.manager_ips, c.manager_ips);
  ASSERT_EQ(back.groups.size(), 2u);
  EXPECT_EQ(back.groups[0].members, c.groups[0].members);
  EXPECT_EQ(back.schedules[0].start_time, 1600u);

  // The file as qorcd writes it: a comment first, no manager.
  const std::string written =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Tidewell>\n"
      "  <!--Generated by Tidewell Client: 2021/03/03 14:05:09-->\n"
      "  <ClientGUID>g</ClientGUID>\n  <ClientAlias/>\n  <ClientPort>1</ClientPort>\n"
      "  <ServerPort>2</ServerPort>\n  <IPAddrFilter/>\n  <DiskGroupList/>\n"
      "  <CDPScheduleList/>\n</Tidewell>\n";
  QorConf q;
  ASSERT_TRUE(QorConf::from_xml(written, &q));
  EXPECT_EQ(q.client_guid, "g");
  EXPECT_FALSE(q.has_manager);
  EXPECT_EQ(q.server_port, 2);
  EXPECT_FALSE(QorConf::from_xml("<Other/>", &q));
  EXPECT_FALSE(QorConf::from_xml("<Tidewell>", &q));
}

TEST_F(QorServerTest, DaemonStartedAndStopped) {
  EXPECT_TRUE(srv_.stop_qorcd());   // none runs

  std::string why;
  ASSERT_TRUE(srv_.start_qorcd(kPort, {"daemon", std::to_string(kPort)}, &why,
                               std::chrono::seconds(30), kPeer))
      << why;
  std::string pid = h_.exec({"cat", "/var/run/qorcd.pid"}).out;
  ASSERT_NE(pid, "");
  pid.pop_back();

  // Its supervisor brings a killed child back; stopping must not let it.
  EXPECT_TRUE(srv_.stop_qorcd());
  EXPECT_FALSE(srv_.port_listens(kPort));
  EXPECT_NE(h_.exec({"kill", "-0", pid}).status, 0);
  EXPECT_EQ(h_.exec({"sh", "-c", "grep -l qor_pee[r] /proc/[0-9]*/cmdline 2>/dev/null"}).out, "");

  // A launcher that fails is reported.
  EXPECT_FALSE(srv_.start_qorcd(kPort, {}, &why, std::chrono::seconds(5), "/bin/false"));
  EXPECT_NE(why, "");
}

}  // namespace
