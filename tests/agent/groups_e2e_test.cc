// The database and group commands on a simulated host: the handlers' tables
// (groups_in_host_test.cc, run inside the host), and qorcd serving them to
// the tests' managing server, the next report (GET_CLIENT_INFO) showing
// the databases and groups they leave.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "eventually.h"
#include "qor_server.h"
#include "simhost.h"

namespace {

using testsupport::ExecResult;
using testsupport::QorConf;
using testsupport::QorReply;
using testsupport::QorServer;
using testsupport::SimHost;

TEST(GroupsHost, HandlerTables) {
  SimHost h({"--disk", "sdb:8M"});
  ExecResult r = h.exec({testsupport::test_program("agent_groups_in_host"), "--gtest_color=no"});
  EXPECT_EQ(0, r.status) << r.out;
}

const char kClientGuid[] = "6f1c7a52-0000-0000-0000-0000000000bb";
const char kA[] = "aaaaaaaa-0000-0000-0000-000000000000";
const char kB[] = "bbbbbbbb-0000-0000-0000-000000000000";
const char kC[] = "cccccccc-0000-0000-0000-000000000000";
const char kPassword[] = "pw-Sesame-42";
constexpr uint16_t kPort = 7040;

// The host's syslog is written apart from the programs that log: what has
// not come is judged only once a line sent after it has.
std::string settled_syslog(SimHost& h) {
  static int marks = 0;
  const std::string mark = "test mark " + std::to_string(++marks);
  EXPECT_EQ(0, h.exec({"logger", mark}).status);
  std::string log;
  EXPECT_TRUE(testsupport::eventually([&] {
    log = h.read_file("/var/log/messages");
    return log.find(mark) != std::string::npos;
  }));
  return log;
}

std::string doc(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Tidewell>" + body + "</Tidewell>\n";
}

std::vector<std::string> names_of(const QorConf& conf) {
  std::vector<std::string> out;
  for (const auto& g : conf.groups) {
    std::string s = g.name + ":";
    for (const auto& m : g.members) s += " " + m;
    out.push_back(s);
  }
  return out;
}

// qorcd on a managed host, each command as the server sends it.
TEST(GroupsHost, QorcdServesTheCommands) {
  SimHost h({"--disk", "sdb:8M"});
  QorServer srv(h.dir());
  QorConf conf;
  conf.client_guid = kClientGuid;
  conf.client_port = kPort;
  conf.server_port = kPort + 1;
  conf.has_manager = true;
  conf.manager_guid = "MANAGER-GUID";
  QorConf::Group g1;
  g1.name = "G1";
  g1.members = {kA};
  conf.groups.push_back(g1);
  srv.write_conf(conf);
  std::string why;
  ASSERT_TRUE(srv.start_qorcd(kPort, {"-d"}, &why)) << why;

  auto send = [&](uint32_t cmd, const std::string& body) {
    QorReply r = srv.request(kPort, cmd, body, 77);
    EXPECT_TRUE(r.replied) << cmd;
    EXPECT_EQ(cmd, r.head.cmd);
    EXPECT_EQ(77, r.head.tag);
    return r;
  };
  auto db_reply = [](const char* attr, int status) {
    return doc(std::string("<Client ClientID=\"") + kClientGuid + "\" " + attr + "=\"" +
               std::to_string(status) + "\"/>");
  };

  // A database: registered once, then deleted.
  const std::string db_set = doc(std::string("<DBSet DBType=\"0\" DBUser=\"sys\" DBPasswd=\"") +
                                 kPassword + "\" InstanceName=\"PROD\" ArchiveLog=\"1\"/>");
  QorReply r = send(45, db_set);
  EXPECT_EQ(0, r.head.status);
  EXPECT_EQ(db_reply("rtnStatus", 0), r.body);
  r = send(45, db_set);
  EXPECT_EQ(0, r.head.status);
  // The next report lists the database (and never its password).
  r = send(6, "");
  EXPECT_EQ(0, r.head.status);
  EXPECT_NE(std::string::npos,
            r.body.find("<DataBaseList ConfiguredBy=\"0\"><DataBase Type=\"0\" OracleHome=\"\" "
                        "InstanceName=\"PROD\" ArchiveLog=\"1\"/></DataBaseList>"))
      << r.body;
  EXPECT_EQ(std::string::npos, r.body.find(kPassword));
  r = send(49, doc("<DBCfgDel InstanceName=\"PROD\"/>"));
  EXPECT_EQ(0, r.head.status);
  EXPECT_EQ(db_reply("RtnStatus", 0), r.body);
  r = send(49, doc("<DBCfgDel/>"));
  EXPECT_EQ(1, r.head.status);
  EXPECT_EQ(db_reply("RtnStatus", 1), r.body);
  std::string calls = h.read_file("/var/log/zelcdpagt-calls.log");
  const std::string connect =
      "Zel_connect_db_flush_cfg instance=PROD db_type=1 archive_log=1 type_name=oracle "
      "db_user=sys passwd=(given) oracle_home=(null) host=127.0.0.1 port=1521 result=0";
  size_t at = calls.find(connect);
  EXPECT_NE(std::string::npos, at) << calls;
  EXPECT_EQ(std::string::npos, calls.find("Zel_connect_db_flush_cfg", at + 1)) << calls;
  EXPECT_NE(std::string::npos, calls.find("Zel_delete_app PROD result=1")) << calls;
  EXPECT_EQ(std::string::npos, calls.find(kPassword));
  EXPECT_EQ(std::string::npos, settled_syslog(h).find(kPassword));

  // Groups, in both forms.
  EXPECT_EQ(0, send(46, doc(std::string("<BGCreate BGName=\"NEW\"><SrcDisk SrcGUID=\"") + kB +
                            "\"/></BGCreate>"))
                   .head.status);
  EXPECT_EQ(10029, send(30004, doc("<Group name=\"NEW\"/>")).head.status);
  r = send(6, "");
  EXPECT_NE(std::string::npos,
            r.body.find(std::string("<Group GroupName=\"NEW\" StartTimestamp=\"0\" "
                                    "IntervalTime=\"0\" IsCluster=\"0\" DiskType=\"1\" "
                                    "Active=\"1\"><Disk GUID=\"") +
                        kB + "\"/></Group></GroupList>"))
      << r.body;
  EXPECT_EQ(0, send(30007, doc(std::string("<Group name=\"NEW\"><Disk guid=\"") + kC +
                               "\"/><Disk guid=\"" + kA + "\"/></Group>"))
                   .head.status);
  EXPECT_EQ(1, send(69, doc(std::string("<BGCreate BGName=\"NOPE\"><SrcDisk SrcGUID=\"") + kC +
                            "\"/></BGCreate>"))
                   .head.status);
  EXPECT_EQ(0, send(48, doc(std::string("<RemBGDisk BGName=\"NEW\" SrcGUID=\"") + kB + "\"/>"))
                   .head.status);
  EXPECT_EQ(0, send(30008, doc(std::string("<Group name=\"NEW\"><Disk guid=\"") + kC +
                               "\"/></Group>"))
                   .head.status);
  r = send(30005, "");
  EXPECT_EQ(0, r.head.status);
  EXPECT_EQ(doc(std::string("<GroupList><Group name=\"G1\"><Disk guid=\"") + kA +
                "\"/></Group><Group name=\"NEW\"><Disk guid=\"" + kA + "\"/></Group></GroupList>"),
            r.body);
  QorConf saved;
  ASSERT_TRUE(srv.read_conf(&saved));
  EXPECT_EQ((std::vector<std::string>{std::string("G1: ") + kA, std::string("NEW: ") + kA}),
            names_of(saved));

  EXPECT_EQ(0, send(62, doc("<BGDelete BGName=\"NEW\"/>")).head.status);
  EXPECT_EQ(1, send(30006, doc("<Group name=\"NEW\"/>")).head.status);
  EXPECT_EQ(0, send(30006, doc("<Group name=\"G1\"/>")).head.status);
  r = send(30005, "");
  EXPECT_EQ(doc("<GroupList/>"), r.body);
  r = send(6, "");
  EXPECT_NE(std::string::npos, r.body.find("<DataBaseList ConfiguredBy=\"0\"/><GroupList/>"))
      << r.body;
  ASSERT_TRUE(srv.read_conf(&saved));
  EXPECT_TRUE(saved.groups.empty());
  EXPECT_TRUE(saved.has_manager);

  // No working process died on the way.
  EXPECT_EQ(std::string::npos, settled_syslog(h).find("restart working process."));
}

}  // namespace
