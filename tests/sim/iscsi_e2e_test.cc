// A host's iSCSI and FC as the agent meets them: the open-iscsi stand-ins
// (iscsiadm answering from the test's table of targets, iscsid, service),
// sessions and FC ports in /sys, and udev events announced without a disk.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "eventually.h"
#include "simhost.h"

namespace {

using testsupport::ExecResult;
using testsupport::SimHost;

const std::string kAdm = "/usr/local/sbin/iscsiadm";
const std::string kIqnA = "iqn.2000-01.com.tidewell:store.a";
const std::string kIqnB = "iqn.2000-01.com.tidewell:store.b";
constexpr char kGuid[] = "60000000-0000-0000-0000-00000000000a";

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A libudev monitor started in the background inside the host; the
// commands run once it listens, and what they printed comes back followed
// by the monitor's output once it has ended (its first n events printed, or
// its own time-out).
ExecResult with_monitor(SimHost& h, int n, const std::string& commands) {
  std::string udev = testsupport::test_program("simtest_udev");
  std::string pid =
      h.exec({"sh", "-c", udev + " " + std::to_string(n) + " </dev/null >/tmp/ev 2>&1 & echo $!"}).out;
  pid = pid.substr(0, pid.find('\n'));
  EXPECT_TRUE(testsupport::eventually([&] { return has(h.read_file("/tmp/ev"), "listening\n"); },
                                      std::chrono::seconds(15), std::chrono::milliseconds(20)));
  ExecResult r = h.exec({"sh", "-c", commands});
  EXPECT_TRUE(testsupport::eventually([&] { return h.exec({"sh", "-c", "kill -0 " + pid}).status != 0; },
                                      std::chrono::seconds(15), std::chrono::milliseconds(20)))
      << "the monitor ends";
  r.out += h.read_file("/tmp/ev");
  return r;
}

class IscsiHost : public ::testing::Test {
 protected:
  IscsiHost() : h_({}) {
    // Two targets behind one portal, a third behind a portal whose address
    // begins with the first's.
    h_.write_file("/etc/simhost/iscsi-targets",
                  "# the storage\n"
                  "target " + kIqnA + " 10.1.1.5 lun sdd:8M:" + kGuid + "\n"
                  "target " + kIqnB + " 10.1.1.5:3260\n"
                  "target " + kIqnA + " 10.1.1.50:3260\n");
  }
  ExecResult adm(const std::vector<std::string>& args) {
    std::vector<std::string> argv{kAdm};
    argv.insert(argv.end(), args.begin(), args.end());
    return h_.exec(argv);
  }
  std::string records() { return h_.exec({"find", "/var/lib/iscsi/nodes", "-type", "f"}).out; }
  SimHost h_;
};

TEST_F(IscsiHost, TheHostHasOpenIscsiAndIscsidRuns) {
  EXPECT_EQ(0, h_.exec({"pgrep", "iscsid"}).status);
  std::string name = h_.read_file("/etc/iscsi/initiatorname.iscsi");
  EXPECT_EQ(0u, name.find("InitiatorName=iqn.")) << name;
  EXPECT_EQ(0, h_.exec({"test", "-d", "/var/lib/iscsi/ifaces", "-a", "-d", "/var/lib/iscsi/nodes",
                        "-a", "-x", kAdm})
                   .status);
  // service stops and starts it; iscsid runs once however often it starts.
  EXPECT_EQ(0, h_.exec({"service", "iscsi", "stop"}).status);
  EXPECT_EQ(3, h_.exec({"service", "iscsi", "status"}).status);
  EXPECT_EQ(0, h_.exec({"service", "iscsi", "start"}).status);
  EXPECT_EQ(0, h_.exec({"service", "iscsi", "start"}).status);
  ExecResult p = h_.exec({"pgrep", "iscsid"});
  EXPECT_EQ(0, p.status);
  EXPECT_EQ(1u, std::count(p.out.begin(), p.out.end(), '\n')) << p.out;
  EXPECT_NE(0, h_.exec({"service", "httpd", "start"}).status);
}

TEST_F(IscsiHost, DiscoveryWritesTheRecordsOfThePortalsTargets) {
  ExecResult r = adm({"-m", "discovery", "-t", "st", "-p", "10.1.1.5:3260"});
  ASSERT_EQ(0, r.status) << r.out;
  EXPECT_TRUE(has(r.out, "10.1.1.5:3260,1 " + kIqnA) && has(r.out, "10.1.1.5:3260,1 " + kIqnB)) << r.out;
  std::string rec = records();
  EXPECT_TRUE(has(rec, "/var/lib/iscsi/nodes/" + kIqnA + "/10.1.1.5,3260,1/default\n")) << rec;
  EXPECT_TRUE(has(rec, "/var/lib/iscsi/nodes/" + kIqnB + "/10.1.1.5,3260,1/default\n")) << rec;
  EXPECT_FALSE(has(rec, "10.1.1.50")) << rec;
  std::string body = h_.read_file("/var/lib/iscsi/nodes/" + kIqnA + "/10.1.1.5,3260,1/default");
  EXPECT_TRUE(has(body, "node.name = " + kIqnA + "\n")) << body;
}

TEST_F(IscsiHost, DiscoveryAndLoginFailAsOpenIscsiDoes) {
  struct Case {
    const char* what;
    std::vector<std::string> args;
    int status;
  };
  const std::vector<Case> cases = {
      {"no target at the portal", {"-m", "discovery", "-t", "st", "-p", "10.1.1.6"}, 4},
      {"another port", {"-m", "discovery", "-t", "st", "-p", "10.1.1.5:3261"}, 4},
      {"an interface without its file", {"-m", "discovery", "-t", "st", "-p", "10.1.1.5", "-I", "qor_iface_eth1"}, 21},
      {"login without records", {"-m", "node", "-T", kIqnA, "-l"}, 21},
      {"logout without session", {"-m", "node", "-T", kIqnA, "-u"}, 21},
      {"an unknown mode", {"-m", "session"}, 7},
      {"an unknown option", {"-m", "node", "-T", kIqnA, "--op", "delete"}, 7},
      {"a target name that climbs", {"-m", "node", "-T", "../../etc", "-l"}, 7},
  };
  for (const Case& c : cases) {
    ExecResult r = adm(c.args);
    EXPECT_EQ(c.status, r.status) << c.what << ": " << r.out;
  }
  EXPECT_TRUE(records().empty());

  // Without iscsid neither discovery nor login gets anywhere.
  ASSERT_EQ(0, h_.exec({"service", "iscsi", "stop"}).status);
  EXPECT_EQ(20, adm({"-m", "discovery", "-t", "st", "-p", "10.1.1.5"}).status);
  EXPECT_TRUE(records().empty());
  ASSERT_EQ(0, h_.exec({"service", "iscsi", "start"}).status);
  EXPECT_EQ(0, adm({"-m", "discovery", "-t", "st", "-p", "10.1.1.5"}).status);
  ASSERT_EQ(0, h_.exec({"service", "iscsi", "stop"}).status);
  EXPECT_EQ(20, adm({"-m", "node", "-T", kIqnA, "-l"}).status);
  EXPECT_EQ(0, h_.exec({"ls", "/sys/class/iscsi_session"}).out.size());
}

TEST_F(IscsiHost, LoginBringsTheLunsAndLogoutTakesThemAway) {
  ASSERT_EQ(0, adm({"-m", "discovery", "-t", "st", "-p", "10.1.1.5"}).status);
  ExecResult r = with_monitor(h_, 1, kAdm + " -m node -T " + kIqnA + " -p 10.1.1.5:3260 -l");
  EXPECT_TRUE(has(r.out, "Login to [iface: default, target: " + kIqnA + ", portal: 10.1.1.5,3260] successful.")) << r.out;
  EXPECT_TRUE(has(r.out, "add /dev/sdd disk\n")) << r.out;
  EXPECT_TRUE(has(h_.simctl({"disks"}).out, kGuid));
  EXPECT_EQ(kIqnA + "\n", h_.exec({"cat", "/sys/class/iscsi_session/session1/targetname"}).out);
  EXPECT_EQ("default\n", h_.exec({"cat", "/sys/class/iscsi_session/session1/ifacename"}).out);
  // A second login finds the session there.
  EXPECT_EQ(15, adm({"-m", "node", "-T", kIqnA, "-p", "10.1.1.5:3260", "-l"}).status);

  r = with_monitor(h_, 1, kAdm + " -m node -T " + kIqnA + " -u");
  EXPECT_TRUE(has(r.out, "remove /dev/sdd disk\n")) << r.out;
  EXPECT_FALSE(has(h_.simctl({"disks"}).out, kGuid));
  EXPECT_EQ("", h_.exec({"ls", "/sys/class/iscsi_session"}).out);
  // The node records stay: logout is not deletion.
  EXPECT_TRUE(has(records(), kIqnA));

  // Login through an interface of the agent's: its file must exist.
  h_.write_file("/var/lib/iscsi/ifaces/qor_iface_eth1", "iface.net_ifacename = eth1\n");
  ASSERT_EQ(0, adm({"-m", "discovery", "-t", "st", "-p", "10.1.1.5", "-I", "qor_iface_eth1"}).status);
  ASSERT_EQ(0, adm({"-m", "node", "-T", kIqnA, "-I", "qor_iface_eth1", "-l"}).status);
  EXPECT_EQ("qor_iface_eth1\n", h_.exec({"cat", "/sys/class/iscsi_session/session2/ifacename"}).out);
}

TEST_F(IscsiHost, EveryArgumentVectorIsLoggedAsItCame) {
  adm({"-m", "discovery", "-t", "st", "-p", "10.1.1.5"});
  adm({"-m", "node; touch /tmp/owned", "-T", "a b\"\\", "-l"});
  EXPECT_EQ("[\"" + kAdm + "\",\"-m\",\"discovery\",\"-t\",\"st\",\"-p\",\"10.1.1.5\"]\n"
            "[\"" + kAdm + "\",\"-m\",\"node; touch /tmp/owned\",\"-T\",\"a b\\\"\\\\\",\"-l\"]\n",
            h_.read_file("/var/log/iscsiadm.log"));
  EXPECT_NE(0, h_.exec({"test", "-e", "/tmp/owned"}).status);
}

TEST_F(IscsiHost, SimctlMakesSessionsAndFcPorts) {
  EXPECT_EQ(0, h_.simctl({"iscsi", "session", "add", kIqnA}).status);
  EXPECT_NE(0, h_.simctl({"iscsi", "session", "add", kIqnA}).status);
  EXPECT_EQ(0, h_.simctl({"iscsi", "session", "add", kIqnA, "qor_iface_eth1"}).status);
  EXPECT_EQ(0, h_.simctl({"iscsi", "session", "add", kIqnB}).status);
  EXPECT_EQ("session1\nsession2\nsession3\n", h_.exec({"ls", "/sys/class/iscsi_session"}).out);
  EXPECT_EQ("qor_iface_eth1\n", h_.exec({"cat", "/sys/class/iscsi_session/session2/ifacename"}).out);
  EXPECT_EQ(0, h_.simctl({"iscsi", "session", "remove", kIqnA, "default"}).status);
  EXPECT_EQ("session2\nsession3\n", h_.exec({"ls", "/sys/class/iscsi_session"}).out);
  EXPECT_EQ(0, h_.simctl({"iscsi", "session", "remove", kIqnA}).status);
  EXPECT_NE(0, h_.simctl({"iscsi", "session", "remove", kIqnA}).status);
  EXPECT_EQ("session3\n", h_.exec({"ls", "/sys/class/iscsi_session"}).out);
  for (const char* bad : {"..", "a/b", "a b", ""})
    EXPECT_NE(0, h_.simctl({"iscsi", "session", "add", bad}).status) << bad;

  EXPECT_EQ(0, h_.simctl({"fc", "add", "host5", "0x21000024ff3a7b1c"}).status);
  EXPECT_EQ("0x21000024ff3a7b1c\n", h_.exec({"cat", "/sys/class/fc_host/host5/port_name"}).out);
  EXPECT_NE(0, h_.simctl({"fc", "add", "host6", "21000024ff3a7b1c"}).status);
  EXPECT_NE(0, h_.simctl({"fc", "add", "../x", "0x1"}).status);
  EXPECT_EQ(0, h_.simctl({"fc", "remove", "host5", "0x21000024ff3a7b1c"}).status);
  EXPECT_EQ("", h_.exec({"ls", "/sys/class/fc_host"}).out);
}

TEST_F(IscsiHost, UeventsAnnounceDevicesThatAreNoDisks) {
  ExecResult r = with_monitor(h_, 3,
                              "simctl uevent add sr0; simctl uevent change sdq --no-node; "
                              "simctl uevent add sdq1 --devtype partition");
  EXPECT_TRUE(has(r.out, "add /dev/sr0 disk\nchange (null) disk\nadd /dev/sdq1 partition\n")) << r.out;
  EXPECT_EQ(2, h_.simctl({"uevent", "add"}).status);
  EXPECT_EQ(1, h_.simctl({"uevent", "explode", "sr0"}).status);
  EXPECT_EQ(1, h_.simctl({"uevent", "add", "../sr0"}).status);
}

TEST(NoIscsiHost, HasNoOpenIscsi) {
  SimHost h({"--no-iscsi"});
  EXPECT_NE(0, h.exec({"pgrep", "iscsid"}).status);
  for (const char* path : {"/usr/local/sbin/iscsiadm", "/usr/local/sbin/iscsid", "/var/lib/iscsi",
                           "/etc/iscsi/initiatorname.iscsi"})
    EXPECT_NE(0, h.exec({"test", "-e", path}).status) << path;
  EXPECT_NE(0, h.exec({"service", "iscsi", "start"}).status);
  EXPECT_NE(0, h.exec({"pgrep", "iscsid"}).status);
  // The kernel's classes are there all the same.
  EXPECT_EQ(0, h.exec({"test", "-d", "/sys/class/iscsi_session"}).status);
}

}  // namespace
