// The iSCSI channel set-up run inside a simulated host (iscsi_e2e_test.cc
// runs this program in a host with eth1 192.0.2.10/24): the host's iscsiadm
// stand-in logs every argument vector and answers from the targets table
// written here, so each test sees exactly what was run, which files were
// written or removed and which sessions and LUNs came and went.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "eventually.h"
#include "host/host.h"
#include "log_capture.h"
#include "mirapi/log.h"
#include "qor_client.h"
#include "qor_conf.h"
#include "qor_handlers.h"
#include "qor_iscsi.h"
#include "qor_iscsi_files.h"
#include "qor_model.h"
#include "qor_transport.h"

namespace {

const char kClientGuid[] = "6f1c7a52-0000-0000-0000-0000000000cc";
const char kCallLog[] = "/var/log/iscsiadm.log";
const char kTargets[] = "/etc/simhost/iscsi-targets";
const std::string kIqn = "iqn.2000-01.com.tidewell:store.a";
const std::string kIqnB = "iqn.2000-01.com.tidewell:store.b";
const std::string kHostIp = "192.0.2.10";  // eth1's
const std::string kIface = "qor_iface_eth1";
const std::string kIfaceFile = "/var/lib/iscsi/ifaces/qor_iface_eth1";
const std::string kIfaceText =
    "iface.net_ifacename = eth1\niface.iscsi_ifacename = qor_iface_eth1\n"
    "iface.transport_name = tcp\niface.vlan_id = 0\niface.vlan_priority = 0\n"
    "iface.iface_num = 0\niface.mtu = 0\niface.port = 0\n";
const std::string kAdm = "\"iscsiadm\"";

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream(path) << text;
}

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

int sh(const std::string& command) { return system(command.c_str()); }

std::vector<std::string> list_dir(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (struct dirent* e = readdir(d))
      if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The argument vectors iscsiadm ran with since the fixture began, one JSON
// array each.
std::vector<std::string> runs() {
  std::vector<std::string> lines;
  std::istringstream in(read_file(kCallLog));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The JSON array of an argument vector, as the stand-in writes it.
std::string argv_line(const std::vector<std::string>& args) {
  std::string s = "[";
  for (size_t i = 0; i < args.size(); ++i) s += (i ? ",\"" : "\"") + args[i] + "\"";
  return s + "]";
}

uint32_t addr(const std::string& text) {
  in_addr a;
  return inet_pton(AF_INET, text.c_str(), &a) == 1 ? a.s_addr : 0;
}

qor_iscsi_node* node(const char* iqn, const std::string& ip, uint16_t port = 0) {
  qor_iscsi_node* n = static_cast<qor_iscsi_node*>(calloc(1, sizeof(qor_iscsi_node)));
  if (iqn != nullptr) n->iqn = strdup(iqn);
  n->addr = ip.empty() ? 0 : addr(ip);
  n->port = htons(port);
  return n;
}

struct Nodes {
  qor_iscsi_node* tgt;
  qor_iscsi_node* init;
  ~Nodes() {
    qor_iscsi_node_free(tgt);
    qor_iscsi_node_free(init);
  }
};

bool session_to(const std::string& iqn) {
  for (const auto& s : list_dir("/sys/class/iscsi_session"))
    if (read_file("/sys/class/iscsi_session/" + s + "/targetname") == iqn + "\n") return true;
  return false;
}

// A host whose storage has kIqn (with LUN sdd) and kIqnB behind 10.1.1.5,
// kIqn also behind 10.1.1.50, and kIqnB refusing logins; iscsid runs, no
// session, no record, no interface file; g_qor is a managed configuration.
class IscsiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    write_file(kTargets, "target " + kIqn + " 10.1.1.5 lun sdd:8M:60000000-0000-0000-0000-0000000000dd\n"
                         "target " + kIqnB + " 10.1.1.5:3260 refuse-login\n"
                         "target " + kIqn + " 10.1.1.50:3260\n");
    ASSERT_EQ(0, sh("service iscsi start >/dev/null"));
    sh("/usr/local/sbin/iscsiadm -m node -u >/dev/null 2>&1");
    ASSERT_EQ(0, sh("rm -rf /var/lib/iscsi/nodes/* /var/lib/iscsi/ifaces/*"));
    unlink(kCallLog);
    mkdir("/etc/zeltidewell", 0755);
    unlink(QOR_CONF_PATH);

    g_qor = qor_alloc();
    ASSERT_NE(nullptr, g_qor);
    g_qor->client_guid = strdup(kClientGuid);
    g_qor->client_port = 7050;
    g_qor->server_port = 7051;
    qor_manager mngr{};
    mngr.guid = const_cast<char*>("MANAGER-GUID");
    INIT_LIST_HEAD(&mngr.ips);
    ASSERT_EQ(0, qor_mngr_appoint(&mngr, g_qor));
    g_client.id = g_qor->client_guid;
    libtest::take_syslog();
  }

  void TearDown() override {
    // Every path lets go of the configuration lock.
    EXPECT_EQ(0, pthread_mutex_trylock(&g_qor->mutex));
    pthread_mutex_unlock(&g_qor->mutex);
    g_client.id = nullptr;
    qor_cleanup();
  }

  void add_manager_ip(const std::string& ip) {
    ip_entry* e = static_cast<ip_entry*>(calloc(1, sizeof(ip_entry)));
    e->addr = addr(ip);
    list_add_tail(&e->list, &g_qor->manager->ips);
  }
  void set_target_iqn(const std::string& iqn) {
    free(g_qor->manager->target_iqn);
    g_qor->manager->target_iqn = strdup(iqn.c_str());
  }
};

// ---- The channel document ----

TEST(IscsiDocument, ReadsBothEnds) {
  struct Case {
    const char* what;
    std::string xml;
    int rc;
    const char* tgt_iqn;
    const char* tgt_ip;  // as node_ip_str gives it: null for unset
    uint16_t port;
    const char* init_iqn;
    const char* init_ip;
    const char* log;     // a line the failure must log
  };
  auto doc = [](const std::string& channel) {
    return "<?xml version=\"1.0\"?>\n<Tidewell>\n  " + channel + "\n</Tidewell>\n";
  };
  const std::string path_a = "<Path InitiatorIP=\"192.0.2.10\" TargetIP=\"10.1.1.5\"/>";
  const std::vector<Case> cases = {
      {"the iSCSI port when none is given",
       doc("<Channel InitiatorIqn=\"iqn.i\" TargetIqn=\"iqn.t\">" + path_a + "</Channel>"), 0, "iqn.t",
       "10.1.1.5", 3260, "iqn.i", "192.0.2.10", nullptr},
      {"a port after the colon",
       doc("<Channel InitiatorIqn=\"iqn.i\" TargetIqn=\"iqn.t\"><Path InitiatorIP=\"192.0.2.10\" "
           "TargetIP=\"10.1.1.5:3261\"/></Channel>"),
       0, "iqn.t", "10.1.1.5", 3261, "iqn.i", "192.0.2.10", nullptr},
      {"a colon without a number",
       doc("<Channel InitiatorIqn=\"iqn.i\" TargetIqn=\"iqn.t\"><Path InitiatorIP=\"192.0.2.10\" "
           "TargetIP=\"10.1.1.5:\"/></Channel>"),
       0, "iqn.t", "10.1.1.5", 3260, "iqn.i", "192.0.2.10", nullptr},
      {"an address that is none",
       doc("<Channel InitiatorIqn=\"iqn.i\" TargetIqn=\"iqn.t\"><Path InitiatorIP=\"eth1\" "
           "TargetIP=\"10.1.1.500\"/></Channel>"),
       0, "iqn.t", nullptr, 3260, "iqn.i", nullptr, nullptr},
      {"another root",
       "<?xml version=\"1.0\"?>\n<Other><Channel InitiatorIqn=\"iqn.i\" TargetIqn=\"iqn.t\">" + path_a +
           "</Channel></Other>",
       -1, nullptr, nullptr, 0, nullptr, nullptr, "Error: xml's root node must be 'Tidewell'"},
      {"no Channel", doc(path_a), -1, nullptr, nullptr, 0, nullptr, nullptr,
       "Failed to retrieve node Channel."},
      {"no TargetIqn", doc("<Channel InitiatorIqn=\"iqn.i\">" + path_a + "</Channel>"), -1, nullptr,
       nullptr, 0, "iqn.i", nullptr, "Failed to retrieve property TargetIqn."},
      {"no Path", doc("<Channel InitiatorIqn=\"iqn.i\" TargetIqn=\"iqn.t\"/>"), -1, "iqn.t", nullptr,
       0, "iqn.i", nullptr, "Failed to retrieve node Path."},
      {"no TargetIP",
       doc("<Channel InitiatorIqn=\"iqn.i\" TargetIqn=\"iqn.t\"><Path InitiatorIP=\"192.0.2.10\"/>"
           "</Channel>"),
       -1, "iqn.t", nullptr, 0, "iqn.i", "192.0.2.10", "Failed to retrieve property TargetIP."},
      {"not XML", "<Tidewell", -1, nullptr, nullptr, 0, nullptr, nullptr,
       "Failed to parse xml document"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    libtest::take_syslog();
    Nodes n{node(nullptr, ""), node(nullptr, "")};
    EXPECT_EQ(c.rc, xml_to_iscsinode(n.tgt, n.init, c.xml.c_str()));
    EXPECT_STREQ(c.tgt_iqn, n.tgt->iqn);
    EXPECT_STREQ(c.init_iqn, n.init->iqn);
    char* ip = node_ip_str(n.tgt);
    EXPECT_STREQ(c.tgt_ip, ip);
    free(ip);
    ip = node_ip_str(n.init);
    EXPECT_STREQ(c.init_ip, ip);
    free(ip);
    EXPECT_EQ(c.port, ntohs(n.tgt->port));
    if (c.log != nullptr) {
      EXPECT_TRUE(libtest::syslog_contains(c.log));
    }
    // A document that fails before the Channel reads no attribute.
    if (c.init_iqn == nullptr) {
      EXPECT_FALSE(libtest::syslog_contains("Get Initiator Iqn"));
    }
  }
  // No document: -1 without a line.
  libtest::take_syslog();
  Nodes n{node(nullptr, ""), node(nullptr, "")};
  EXPECT_EQ(-1, xml_to_iscsinode(n.tgt, n.init, nullptr));
  EXPECT_TRUE(libtest::take_syslog().empty());
}

TEST(IscsiNames, OnlyPlainIqnsAndInterfaceNames) {
  for (const char* ok : {"iqn.2000-01.com.tidewell:store.a", "eui.0123456789ABCDEF", "naa.6000c29",
                         "iqn.2000-01.com.x:a_b-c"})
    EXPECT_TRUE(qor_iscsi_iqn_ok(ok)) << ok;
  std::string long_iqn = "iqn." + std::string(220, 'a');
  for (const char* bad : {"", ".", "..", "-h", "--op=delete", "../../etc", "iqn.a/b", "iqn.a b",
                          "iqn.a;reboot", "iqn.$(reboot)", "iqn.a\nb", long_iqn.c_str()})
    EXPECT_FALSE(qor_iscsi_iqn_ok(bad)) << bad;
  EXPECT_TRUE(qor_iscsi_ifname_ok("eth1"));
  EXPECT_TRUE(qor_iscsi_ifname_ok("bond0.100"));
  for (const char* bad : {"", "-i", ".x", "a/b", "a b", "sixteen-chars-xx"})
    EXPECT_FALSE(qor_iscsi_ifname_ok(bad)) << bad;
}

// ---- Discovery, login, logout ----

TEST_F(IscsiTest, DiscoveryThroughTheInterfaceOfTheHostsAddress) {
  Nodes n{node(kIqn.c_str(), "10.1.1.5", 3260), node(nullptr, kHostIp)};
  ASSERT_EQ(0, qor_iscsi_discover_target(n.tgt, n.init));
  EXPECT_EQ(std::vector<std::string>{argv_line(
                {"iscsiadm", "-m", "discovery", "-t", "st", "-p", "10.1.1.5:3260", "-I", kIface})},
            runs());
  EXPECT_EQ(kIfaceText, read_file(kIfaceFile));
  // Written under a temporary name, then renamed: nothing else is left.
  EXPECT_EQ(std::vector<std::string>{kIface}, list_dir("/var/lib/iscsi/ifaces"));
  EXPECT_TRUE(libtest::syslog_contains(
      "iscsiadm -m discovery -t st -p 10.1.1.5:3260 -I qor_iface_eth1"));

  // Written once, then reused as it stands.
  write_file(kIfaceFile, kIfaceText + "# kept\n");
  ASSERT_EQ(0, qor_iscsi_discover_target(n.tgt, n.init));
  EXPECT_EQ(kIfaceText + "# kept\n", read_file(kIfaceFile));
}

TEST_F(IscsiTest, AnInitiatorOfNoLocalInterfaceGetsNoInterface) {
  for (const std::string& init_ip : {std::string("10.9.9.9"), std::string()}) {
    unlink(kCallLog);
    Nodes n{node(kIqn.c_str(), "10.1.1.5"), node(nullptr, init_ip)};
    ASSERT_EQ(0, qor_iscsi_discover_target(n.tgt, n.init)) << init_ip;
    EXPECT_EQ(std::vector<std::string>{argv_line({"iscsiadm", "-m", "discovery", "-t", "st", "-p",
                                                  "10.1.1.5"})},
              runs());
  }
  EXPECT_TRUE(list_dir("/var/lib/iscsi/ifaces").empty());
}

TEST_F(IscsiTest, DiscoveryKeepsOnlyThePortalsRecords) {
  const std::string nodes = "/var/lib/iscsi/nodes/";
  for (const std::string& rec : {kIqn + "/10.1.1.50,3260,1", kIqn + "/10.1.1.6,3260,1",
                                 kIqn + "/10.1.1.5,3261,1", kIqnB + "/10.1.1.6,3260,1"}) {
    ASSERT_EQ(0, sh("mkdir -p " + nodes + rec + " && touch " + nodes + rec + "/default"));
  }
  Nodes n{node(kIqn.c_str(), "10.1.1.5", 3260), node(nullptr, "")};
  ASSERT_EQ(0, qor_iscsi_discover_target(n.tgt, n.init));
  EXPECT_EQ((std::vector<std::string>{"10.1.1.5,3260,1", "10.1.1.5,3261,1"}), list_dir(nodes + kIqn));
  // Another target's records are not this discovery's.
  EXPECT_TRUE(exists(nodes + kIqnB + "/10.1.1.6,3260,1/default"));
}

TEST_F(IscsiTest, FailedDiscoveryRunsNoLoginAndRemovesNothing) {
  ASSERT_EQ(0, sh("mkdir -p /var/lib/iscsi/nodes/" + kIqn + "/10.1.1.50,3260,1"));
  Nodes n{node(kIqn.c_str(), "10.1.1.6"), node(nullptr, "")};
  EXPECT_EQ(-1, qor_establish_iscsi_channel(n.tgt, n.init));
  EXPECT_EQ(1u, runs().size());
  EXPECT_TRUE(exists("/var/lib/iscsi/nodes/" + kIqn + "/10.1.1.50,3260,1"));
  EXPECT_TRUE(libtest::syslog_contains(
      "Failed to execute cmd: 'iscsiadm -m discovery -t st -p 10.1.1.6' error: 'exit status 4'"));
}

TEST_F(IscsiTest, LoginArgumentVectors) {
  // Records of both portals, so each form of the login finds one.
  ASSERT_EQ(0, sh("/usr/local/sbin/iscsiadm -m discovery -t st -p 10.1.1.5 >/dev/null"));
  struct Case {
    const char* iqn;
    std::string tgt_ip, init_ip;
    std::vector<std::string> argv;
  };
  const std::vector<Case> cases = {
      {kIqn.c_str(), "10.1.1.5", kHostIp,
       {"iscsiadm", "-m", "node", "-p", "10.1.1.5:3260", "-T", kIqn, "-I", kIface, "-l"}},
      {kIqn.c_str(), "10.1.1.5", "",
       {"iscsiadm", "-m", "node", "-p", "10.1.1.5:3260", "-T", kIqn, "-l"}},
      {kIqn.c_str(), "", "", {"iscsiadm", "-m", "node", "-T", kIqn, "-l"}},
      {nullptr, "10.1.1.5", kHostIp, {"iscsiadm", "-m", "node", "-p", "10.1.1.5:3260", "-I", kIface, "-l"}},
      {nullptr, "", "", {"iscsiadm", "-m", "node", "-l"}},
  };
  for (const Case& c : cases) {
    unlink(kCallLog);
    Nodes n{node(c.iqn, c.tgt_ip, c.tgt_ip.empty() ? 0 : 3260), node(nullptr, c.init_ip)};
    qor_iscsi_login_channel(n.tgt, n.init);
    EXPECT_EQ(std::vector<std::string>{argv_line(c.argv)}, runs());
  }
}

TEST_F(IscsiTest, EstablishedChannelIsFoundAndTornDown) {
  Nodes n{node(kIqn.c_str(), "10.1.1.5", 3260), node(nullptr, kHostIp)};
  EXPECT_EQ(0, qor_iscsi_channel_exist(n.tgt, n.init));
  ASSERT_EQ(0, qor_establish_iscsi_channel(n.tgt, n.init));
  EXPECT_EQ((std::vector<std::string>{
                argv_line({"iscsiadm", "-m", "discovery", "-t", "st", "-p", "10.1.1.5:3260", "-I", kIface}),
                argv_line({"iscsiadm", "-m", "node", "-p", "10.1.1.5:3260", "-T", kIqn, "-I", kIface, "-l"})}),
            runs());
  EXPECT_TRUE(exists("/sys/block/sdd"));
  EXPECT_EQ(1, qor_iscsi_channel_exist(n.tgt, n.init));
  // Through no interface of ours, any session to the target counts; through
  // another interface, none does.
  Nodes other{node(kIqn.c_str(), ""), node(nullptr, "")};
  EXPECT_EQ(1, qor_iscsi_channel_exist(other.tgt, other.init));
  Nodes b{node(kIqnB.c_str(), ""), node(nullptr, kHostIp)};
  EXPECT_EQ(0, qor_iscsi_channel_exist(b.tgt, b.init));

  // Teardown: one logout line, then the agent's interface files and the
  // target's records go; other tools' files and a temporary file stay.
  write_file("/var/lib/iscsi/ifaces/iface0", "iface.net_ifacename = eth0\n");
  write_file("/var/lib/iscsi/ifaces/qor_iface.back", "");
  write_file("/var/lib/iscsi/ifaces/qor_iface_eth9", "");
  unlink(kCallLog);
  ASSERT_EQ(0, qor_cancel_iscsi_channel_all(kIqn.c_str()));
  EXPECT_EQ(std::vector<std::string>{argv_line({"iscsiadm", "-m", "node", "-T", kIqn, "-u"})}, runs());
  EXPECT_EQ((std::vector<std::string>{"iface0", "qor_iface.back"}), list_dir("/var/lib/iscsi/ifaces"));
  EXPECT_FALSE(exists("/var/lib/iscsi/nodes/" + kIqn));
  EXPECT_FALSE(session_to(kIqn));
  EXPECT_FALSE(exists("/sys/block/sdd"));
}

TEST_F(IscsiTest, AFailedLogoutKeepsTheFiles) {
  Nodes n{node(kIqn.c_str(), "10.1.1.5", 3260), node(nullptr, kHostIp)};
  ASSERT_EQ(0, qor_iscsi_discover_target(n.tgt, n.init));
  // No session: the logout fails.
  EXPECT_EQ(-1, qor_cancel_iscsi_channel_all(kIqn.c_str()));
  EXPECT_TRUE(libtest::syslog_contains("logout error"));
  EXPECT_TRUE(exists(kIfaceFile));
  EXPECT_TRUE(exists("/var/lib/iscsi/nodes/" + kIqn + "/10.1.1.5,3260,1"));
  EXPECT_EQ(0, qor_cancel_iscsi_channel_all(nullptr));
}

TEST_F(IscsiTest, ANameThatWouldEscapeRunsNothingAndRemovesNothing) {
  ASSERT_EQ(0, sh("mkdir -p /var/lib/iscsi/nodes/" + kIqn));
  for (const char* iqn : {"..", ".", "../nodes", "-u", "iqn.a;touch /tmp/owned", "iqn.a b"}) {
    Nodes n{node(iqn, "10.1.1.5"), node(nullptr, kHostIp)};
    EXPECT_EQ(-1, qor_iscsi_discover_target(n.tgt, n.init)) << iqn;
    EXPECT_EQ(-1, qor_iscsi_login_channel(n.tgt, n.init)) << iqn;
    EXPECT_EQ(-1, qor_cancel_iscsi_channel_all(iqn)) << iqn;
    EXPECT_EQ(-1, qor_remove_channel_file(iqn)) << iqn;
  }
  EXPECT_TRUE(runs().empty());
  EXPECT_TRUE(exists("/var/lib/iscsi/nodes/" + kIqn));
  EXPECT_FALSE(exists("/tmp/owned"));
}

TEST_F(IscsiTest, ConcurrentInterfaceWritesEachSucceed) {
  Nodes n{nullptr, node(nullptr, kHostIp)};
  std::vector<std::thread> threads;
  std::vector<int> failures(8, 0);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20; ++i)
        if (_creat_iface(n.init) != 0) ++failures[t];
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(std::vector<int>(8, 0), failures);
  EXPECT_EQ(kIfaceText, read_file(kIfaceFile));
  EXPECT_EQ(std::vector<std::string>{kIface}, list_dir("/var/lib/iscsi/ifaces"));
}

TEST_F(IscsiTest, AutoTriesTheHostsAddresses) {
  Nodes n{node(kIqn.c_str(), "10.1.1.5", 3260), nullptr};
  ASSERT_EQ(0, qor_establish_iscsi_channel_auto(n.tgt));
  EXPECT_TRUE(session_to(kIqn));
  EXPECT_TRUE(libtest::syslog_contains("Connect from '" + kHostIp + "' to '" + kIqn +
                                       "'(10.1.1.5:3260) successfully"));
  Nodes none{node(kIqn.c_str(), "10.1.1.6", 3260), nullptr};
  EXPECT_EQ(-1, qor_establish_iscsi_channel_auto(none.tgt));
}

// An iscsiadm that never ends is given up after 30 seconds of the host's
// clock: the set-up fails and nothing is left running.
TEST_F(IscsiTest, AHungIscsiadmEndsAtTheTimeLimit) {
  const std::string adm = "/usr/local/sbin/iscsiadm";
  // The stand-in is a link to the build's file: moved aside, never written.
  ASSERT_EQ(0, rename(adm.c_str(), (adm + ".real").c_str()));
  struct Restore {
    std::string adm;
    ~Restore() { rename((adm + ".real").c_str(), adm.c_str()); }
  } restore{adm};
  write_file(adm + ".new", "#!/bin/sh\necho \"$@\" > /tmp/hung.started\nexec sleep 100000\n");
  chmod((adm + ".new").c_str(), 0755);
  ASSERT_EQ(0, rename((adm + ".new").c_str(), adm.c_str()));
  unlink("/tmp/hung.started");

  Nodes n{node(kIqn.c_str(), "10.1.1.5"), node(nullptr, "")};
  std::future<int> rc = std::async(std::launch::async, [&] { return qor_iscsi_discover_target(n.tgt, n.init); });
  EXPECT_TRUE(testsupport::eventually([] { return exists("/tmp/hung.started"); }));
  // Moved until the run sees its deadline pass.
  EXPECT_TRUE(testsupport::eventually([&] {
    sh("simctl clock advance 31");
    return rc.wait_for(std::chrono::milliseconds(50)) == std::future_status::ready;
  }));
  EXPECT_EQ(-1, rc.get());
  EXPECT_TRUE(libtest::syslog_contains("error: 'no end within 30 seconds'"));
  EXPECT_NE(0, sh("pgrep -x sleep >/dev/null"));
}

// ---- The heartbeat's check ----

TEST_F(IscsiTest, HeartbeatCheckBringsTheChannelUpOnce) {
  // Nothing to do without a target IQN.
  add_manager_ip("10.1.1.6");
  add_manager_ip("10.1.1.5");
  EXPECT_EQ(-1, qor_is_iscsi_channel_login());
  EXPECT_TRUE(runs().empty());

  set_target_iqn(kIqn);
  ASSERT_EQ(0, qor_is_iscsi_channel_login());
  EXPECT_TRUE(session_to(kIqn));
  EXPECT_TRUE(libtest::syslog_contains("Connect to '" + kIqn + "'(10.1.1.5:0) success"));
  // The manager's port is none: the portal is the bare address.
  std::vector<std::string> r = runs();
  ASSERT_FALSE(r.empty());
  EXPECT_EQ(argv_line({"iscsiadm", "-m", "node", "-p", "10.1.1.5", "-T", kIqn, "-I", kIface, "-l"}),
            r.back());

  // A live session: no iscsiadm run at all.
  unlink(kCallLog);
  EXPECT_EQ(-1, qor_is_iscsi_channel_login());
  EXPECT_TRUE(runs().empty());
}

// ---- ESTABLISH_CHANNELS ----

struct Answer {
  int status;
  std::string doc;
};

Answer establish(const std::string& xml) {
  qorc_req* req = req_alloc();
  req->recv_head.proto_version = 2;
  req->recvxml = strdup(xml.c_str());
  req->recv_head.data_len = static_cast<uint32_t>(xml.size());
  Answer a{establish_channels(req), req->sendxml != nullptr ? req->sendxml : ""};
  if (req->sendxml != nullptr) {
    EXPECT_EQ(a.doc.size(), req->send_head.data_len);
  }
  req_free(req);
  return a;
}

std::string channel_doc(const std::string& iqn, const std::string& target_ip) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Tidewell><Channel InitiatorIqn=\"iqn.i\" "
         "TargetIqn=\"" + iqn + "\"><Path InitiatorIP=\"" + kHostIp + "\" TargetIP=\"" + target_ip +
         "\"/></Channel></Tidewell>\n";
}

std::string failure_doc(const std::string& init_ip, const std::string& target_ip) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Tidewell><Path RetValue=\"1\" InitiatorIP=\"" +
         init_ip + "\" ClientID=\"" + kClientGuid + "\" TargetIP=\"" + target_ip + "\"/></Tidewell>\n";
}

std::string saved_target() {
  qor_t* saved = qorcfg_read(QOR_CONF_PATH);
  std::string iqn = saved != nullptr && saved->manager != nullptr && saved->manager->target_iqn != nullptr
                        ? saved->manager->target_iqn
                        : "(none)";
  qor_free(saved);
  return iqn;
}

TEST_F(IscsiTest, EstablishChannelsTable) {
  struct Case {
    const char* what;
    std::string xml;
    const char* stored_iqn;  // the manager's before
    int status;
    std::string doc;
    const char* saved;       // TargetIQN in the file after ("(none)": not written)
  };
  const std::vector<Case> cases = {
      {"a new channel", channel_doc(kIqn, "10.1.1.5"), nullptr, 0, "", kIqn.c_str()},
      {"no target at the portal", channel_doc(kIqn, "10.1.1.6"), nullptr, 10039,
       failure_doc(kHostIp, "10.1.1.6"), "(none)"},
      {"a refused login", channel_doc(kIqnB, "10.1.1.5"), nullptr, 10039,
       failure_doc(kHostIp, "10.1.1.5"), "(none)"},
      // A failed login is no success because an IQN was stored before.
      {"a refused login with a stored IQN", channel_doc(kIqnB, "10.1.1.5"), kIqnB.c_str(), 10039,
       failure_doc(kHostIp, "10.1.1.5"), "(none)"},
      {"a document that does not read", "<Tidewell><Channel/></Tidewell>", nullptr, 10039,
       failure_doc("0.0.0.0", "0.0.0.0"), "(none)"},
      {"a target name that would escape", channel_doc("../../etc", "10.1.1.5"), nullptr, 10039,
       failure_doc(kHostIp, "10.1.1.5"), "(none)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // A fresh host state and configuration for each row.
    TearDown();
    SetUp();
    if (c.stored_iqn != nullptr) set_target_iqn(c.stored_iqn);
    Answer a = establish(c.xml);
    EXPECT_EQ(c.status, a.status);
    EXPECT_EQ(c.doc, a.doc);
    EXPECT_EQ(c.saved, saved_target());
  }
}

TEST_F(IscsiTest, EstablishChannelsWithASessionAlreadyThere) {
  // The session through the interface of the initiator's address.
  Nodes n{node(kIqn.c_str(), "10.1.1.5", 3260), node(nullptr, kHostIp)};
  ASSERT_EQ(0, qor_establish_iscsi_channel(n.tgt, n.init));
  set_target_iqn("iqn.2000-01.com.tidewell:older");
  Answer a = establish(channel_doc(kIqn, "10.1.1.5"));
  EXPECT_EQ(0, a.status);
  EXPECT_EQ("", a.doc);
  // Nothing stored, nothing saved.
  EXPECT_STREQ("iqn.2000-01.com.tidewell:older", g_qor->manager->target_iqn);
  EXPECT_FALSE(exists(QOR_CONF_PATH));
}

TEST_F(IscsiTest, EstablishChannelsStartsIscsidAndNeedsAManager) {
  ASSERT_EQ(0, sh("service iscsi stop >/dev/null"));
  Answer a = establish(channel_doc(kIqn, "10.1.1.5"));
  EXPECT_EQ(0, a.status);
  EXPECT_TRUE(libtest::syslog_contains("Iscsid service is not start"));
  EXPECT_EQ(0, sh("pgrep iscsid >/dev/null"));
  EXPECT_STREQ(kIqn.c_str(), g_qor->manager->target_iqn);

  ASSERT_EQ(0, qor_mngr_appoint(nullptr, g_qor));
  unlink(kCallLog);
  a = establish(channel_doc(kIqn, "10.1.1.5"));
  EXPECT_EQ(10039, a.status);
  EXPECT_EQ(failure_doc("0.0.0.0", "0.0.0.0"), a.doc);
  EXPECT_TRUE(runs().empty());
  EXPECT_EQ(10039, establish_channels(nullptr));
}

}  // namespace

int main(int argc, char** argv) {
  // It writes the host's open-iscsi files and configuration: never this
  // machine's.
  if (!hl_simulated()) {
    fprintf(stderr, "%s runs only inside a simulated host\n", argv[0]);
    return 2;
  }
  set_log_level(7);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
