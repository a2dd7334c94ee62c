// The iSCSI channel on simulated hosts: the API's tests inside a host
// (iscsi_in_host_test.cc), and ESTABLISH_CHANNELS as qorcd serves it to the
// tests' managing server, with the host's iscsiadm stand-in answering.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "eventually.h"
#include "qor_server.h"
#include "simhost.h"

namespace {

using testsupport::eventually;
using testsupport::ExecResult;
using testsupport::QorConf;
using testsupport::QorReply;
using testsupport::QorServer;
using testsupport::SimHost;

const char kClientGuid[] = "6f1c7a52-0000-0000-0000-0000000000dd";
const std::string kIqn = "iqn.2000-01.com.tidewell:store.a";
const std::string kRefusing = "iqn.2000-01.com.tidewell:store.b";
constexpr uint16_t kPort = 7060;
constexpr uint32_t kEstablishChannels = 5;

TEST(IscsiHost, ChannelApiInAHost) {
  SimHost h({"--nic", "eth1:192.0.2.10/24"});
  ExecResult r = h.exec({testsupport::test_program("agent_iscsi_in_host"), "--gtest_color=no"});
  EXPECT_EQ(0, r.status) << r.out;
}

std::string channel_doc(const std::string& iqn) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Tidewell><Channel InitiatorIqn=\"iqn.i\" "
         "TargetIqn=\"" + iqn + "\"><Path InitiatorIP=\"192.0.2.10\" TargetIP=\"10.1.1.5:3260\"/>"
         "</Channel></Tidewell>\n";
}

class EstablishChannels : public ::testing::Test {
 protected:
  void start(QorServer& srv) {
    QorConf conf;
    conf.client_guid = kClientGuid;
    conf.client_port = kPort;
    conf.server_port = kPort + 1;
    conf.has_manager = true;
    conf.manager_guid = "MANAGER-GUID";
    conf.manager_ips = {"10.1.1.5"};
    srv.write_conf(conf);
    std::string why;
    ASSERT_TRUE(srv.start_qorcd(kPort, {"-d"}, &why)) << why;
  }
};

TEST_F(EstablishChannels, QorcdSetsUpTheChannelAndKeepsTheTarget) {
  SimHost h({"--nic", "eth1:192.0.2.10/24"});
  h.write_file("/etc/simhost/iscsi-targets",
               "target " + kIqn + " 10.1.1.5 lun sdd:8M:60000000-0000-0000-0000-0000000000dd\n"
               "target " + kRefusing + " 10.1.1.5 refuse-login\n");
  ASSERT_EQ(0, h.exec({"service", "iscsi", "stop"}).status);
  QorServer srv(h.dir());
  start(srv);

  QorReply r = srv.request(kPort, kEstablishChannels, channel_doc(kIqn), 9);
  ASSERT_TRUE(r.replied);
  EXPECT_EQ(0, r.head.status);
  EXPECT_EQ(9, r.head.tag);
  EXPECT_EQ("", r.body);
  // iscsid was started; discovery, discovery again, then the login, each
  // through the interface of the initiator's address.
  EXPECT_EQ(0, h.exec({"pgrep", "iscsid"}).status);
  const std::string disc = "[\"iscsiadm\",\"-m\",\"discovery\",\"-t\",\"st\",\"-p\",\"10.1.1.5:3260\","
                           "\"-I\",\"qor_iface_eth1\"]\n";
  EXPECT_EQ(disc + disc + "[\"iscsiadm\",\"-m\",\"node\",\"-p\",\"10.1.1.5:3260\",\"-T\",\"" + kIqn +
                "\",\"-I\",\"qor_iface_eth1\",\"-l\"]\n",
            h.read_file("/var/log/iscsiadm.log"));
  EXPECT_EQ("iface.net_ifacename = eth1\niface.iscsi_ifacename = qor_iface_eth1\n"
            "iface.transport_name = tcp\niface.vlan_id = 0\niface.vlan_priority = 0\n"
            "iface.iface_num = 0\niface.mtu = 0\niface.port = 0\n",
            h.read_file("/var/lib/iscsi/ifaces/qor_iface_eth1"));
  QorConf saved;
  ASSERT_TRUE(srv.read_conf(&saved));
  EXPECT_EQ(kIqn, saved.target_iqn);
  // The LUN came, and qorcd's udev monitor saw it.
  EXPECT_NE(std::string::npos, h.simctl({"disks"}).out.find("sdd"));
  EXPECT_TRUE(eventually([&] {
    return h.read_file("/var/log/messages").find("node :/dev/sdd subsystem :block devtype :disk action :add") !=
           std::string::npos;
  }));

  // The inventory finds the channel in sysfs, and an FC port beside it.
  ASSERT_EQ(0, h.simctl({"fc", "add", "host5", "0x21000024ff3a7b1c"}).status);
  ExecResult inv = h.exec({testsupport::test_program("inventory_probe"), "init"});
  const std::string initiator = h.read_file("/etc/iscsi/initiatorname.iscsi").substr(14);
  EXPECT_NE(std::string::npos,
            inv.out.find("initiator=" + initiator.substr(0, initiator.size() - 1) + " target=" + kIqn + "\n"))
      << inv.out;
  EXPECT_NE(std::string::npos, inv.out.find("initiator=0x21000024ff3a7b1c target=")) << inv.out;

  // A target that refuses the login: the failure document, nothing stored.
  r = srv.request(kPort, kEstablishChannels, channel_doc(kRefusing));
  ASSERT_TRUE(r.replied);
  EXPECT_EQ(10039, r.head.status);
  EXPECT_EQ(std::string("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Tidewell><Path RetValue=\"1\" "
                        "InitiatorIP=\"192.0.2.10\" ClientID=\"") +
                kClientGuid + "\" TargetIP=\"10.1.1.5\"/></Tidewell>\n",
            r.body);
  ASSERT_TRUE(srv.read_conf(&saved));
  EXPECT_EQ(kIqn, saved.target_iqn);

  // A request not read, or a target not discovered: the failure document
  // with the addresses read so far.
  const struct {
    std::string doc;
    std::string initiator_ip, target_ip;
  } failures[] = {
      {"<Tidewell/>", "0.0.0.0", "0.0.0.0"},
      {"<Tidewell><Channel InitiatorIqn=\"iqn.i\" TargetIqn=\"" + kIqn +
           "\"><Path InitiatorIP=\"192.0.2.10\"/></Channel></Tidewell>",
       "192.0.2.10", "0.0.0.0"},
      {"<Tidewell><Channel InitiatorIqn=\"iqn.i\" TargetIqn=\"" + kIqn +
           "\"><Path InitiatorIP=\"192.0.2.10\" TargetIP=\"10.1.1.9:3260\"/></Channel></Tidewell>",
       "192.0.2.10", "10.1.1.9"},
  };
  for (const auto& f : failures) {
    SCOPED_TRACE(f.doc);
    r = srv.request(kPort, kEstablishChannels, f.doc);
    ASSERT_TRUE(r.replied);
    EXPECT_EQ(10039, r.head.status);
    EXPECT_EQ("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Tidewell><Path RetValue=\"1\" InitiatorIP=\"" +
                  f.initiator_ip + "\" ClientID=\"" + kClientGuid + "\" TargetIP=\"" + f.target_ip +
                  "\"/></Tidewell>\n",
              r.body);
  }

  // The session is there already: answered at once, nothing stored (the
  // IQN was stored once, by the first request).
  r = srv.request(kPort, kEstablishChannels, channel_doc(kIqn));
  EXPECT_EQ(0, r.head.status);
  EXPECT_EQ("", r.body);
  std::string log;
  EXPECT_TRUE(eventually([&] {
    log = h.read_file("/var/log/messages");
    return log.find("Iscsi session(tgt: " + kIqn + ") already exist") != std::string::npos;
  })) << log;
  const std::string stored = "Updaing server IQN information.";
  EXPECT_NE(std::string::npos, log.find(stored)) << log;
  EXPECT_EQ(log.rfind(stored), log.find(stored)) << log;
  ASSERT_TRUE(srv.read_conf(&saved));
  EXPECT_EQ(kIqn, saved.target_iqn);
}

TEST_F(EstablishChannels, AHostWithoutIscsiadmAnswers10025) {
  SimHost h({"--no-iscsi", "--nic", "eth1:192.0.2.10/24"});
  QorServer srv(h.dir());
  start(srv);
  QorReply r = srv.request(kPort, kEstablishChannels, channel_doc(kIqn));
  ASSERT_TRUE(r.replied);
  EXPECT_EQ(10025, r.head.status);
  EXPECT_EQ("", r.body);
  QorConf saved;
  ASSERT_TRUE(srv.read_conf(&saved));
  EXPECT_EQ("", saved.target_iqn);
}

}  // namespace
