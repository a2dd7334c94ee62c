// The network and iSCSI lines of a host's description, and the arguments of
// simhost create --nic and simhost link that become them.
#include <gtest/gtest.h>

#include "simhost_desc.h"

namespace {

using namespace simhost;

TEST(SimhostDesc, NicArguments) {
  struct Case {
    const char* arg;
    bool ok;
    const char* addrs;  // the prefixes read, blank-separated
  };
  const Case cases[] = {
      {"eth0:192.0.2.10/24", true, "192.0.2.10/24"},
      {"eth0:192.0.2.10/24,192.0.2.11/24", true, "192.0.2.10/24 192.0.2.11/24"},
      {"bond_0-a:10.0.0.1/32,10.0.0.2/0", true, "10.0.0.1/32 10.0.0.2/0"},
      {"eth0", false, ""},
      {"eth0:", false, ""},
      {"eth0:192.0.2.10", false, ""},
      {"eth0:192.0.2.10/33", false, ""},
      {"eth0:192.0.2.10/024", false, ""},
      {"eth0:192.0.2.10/24,", false, ""},
      {"eth0:192.0.2.256/24", false, ""},
      {"eth0:host/24", false, ""},
      {":192.0.2.10/24", false, ""},
      {"lo:127.0.0.2/8", false, ""},
      {"-eth0:192.0.2.10/24", false, ""},
      {"eth/0:192.0.2.10/24", false, ""},
      {"ethernet123:192.0.2.10/24", false, ""},  // its peer's name would not fit
  };
  for (const Case& c : cases) {
    Nic n;
    std::string err;
    ASSERT_EQ(parse_nic(c.arg, &n, &err), c.ok) << c.arg;
    if (!c.ok) {
      EXPECT_FALSE(err.empty()) << c.arg;
      continue;
    }
    std::string got;
    for (const auto& a : n.addrs) got += (got.empty() ? "" : " ") + a.text;
    EXPECT_EQ(got, c.addrs) << c.arg;
    EXPECT_EQ(n.peer(), n.name + "-peer");
  }
  Nic n;
  std::string err;
  ASSERT_TRUE(parse_nic("eth0:192.0.2.10/24", &n, &err));
  EXPECT_EQ(n.addrs[0].prefix, 24);
  EXPECT_EQ(ntohl(n.addrs[0].addr.s_addr), 0xc000020au);
}

TEST(SimhostDesc, LinkEnds) {
  struct Case {
    const char* arg;
    bool ok;
    const char* dir;
    const char* ifname;
  };
  const Case cases[] = {
      {"/tmp/a/host-1:eth1:10.9.0.1/24", true, "/tmp/a/host-1", "eth1"},
      {"hosts/b:veth_server-1:10.9.0.2/30", true, "hosts/b", "veth_server-1"},
      {"/tmp/a:eth1", false, "", ""},
      {"eth1:10.9.0.1/24", false, "", ""},
      {":eth1:10.9.0.1/24", false, "", ""},
      {"/tmp/a::10.9.0.1/24", false, "", ""},
      {"/tmp/a:eth1:10.9.0.1", false, "", ""},
      {"/tmp/a:abcdefghijklmnop:10.9.0.1/24", false, "", ""},  // 16 characters
      {"/tmp/a:lo:10.9.0.1/24", false, "", ""},
  };
  for (const Case& c : cases) {
    LinkEnd e;
    std::string err;
    ASSERT_EQ(parse_link_end(c.arg, &e, &err), c.ok) << c.arg;
    if (!c.ok) continue;
    EXPECT_EQ(e.dir, c.dir);
    EXPECT_EQ(e.ifname, c.ifname);
  }
}

TEST(SimhostDesc, DescriptionLinesReadBackAndOthersAreLeftAlone) {
  Nic nic;
  std::string err;
  ASSERT_TRUE(parse_nic("eth0:192.0.2.10/24,192.0.2.11/24", &nic, &err));
  LinkRecord l;
  ASSERT_TRUE(parse_prefix("10.9.0.1/24", &l.addr));
  ASSERT_TRUE(parse_prefix("10.9.0.2/24", &l.peer_addr));
  l.ifname = "eth1";
  l.peer_dir = "/tmp/x/server";
  l.peer_if = "eth9";
  std::string text = "module /lib/zelmir.so\ndisk sdb /var/lib/simhost/disks/sdb.img 512 8:16\n" +
                     nic_line(nic) + link_line(l) + "# a comment\n\n";
  EXPECT_EQ(nic_line(nic), "nic eth0 192.0.2.10/24 192.0.2.11/24\n");
  EXPECT_EQ(link_line(l), "link eth1 10.9.0.1/24 /tmp/x/server eth9 10.9.0.2/24\n");

  HostDesc d;
  ASSERT_TRUE(parse_desc(text, &d, &err)) << err;
  ASSERT_EQ(d.nics.size(), 1u);
  EXPECT_EQ(nic_line(d.nics[0]), nic_line(nic));
  ASSERT_EQ(d.links.size(), 1u);
  EXPECT_EQ(link_line(d.links[0]), link_line(l));
  EXPECT_TRUE(d.iscsi);
  for (const char* name : {"eth0", "eth0-peer", "eth1"}) EXPECT_TRUE(d.has_ifname(name)) << name;
  for (const char* name : {"eth9", "eth2", "lo"}) EXPECT_FALSE(d.has_ifname(name)) << name;

  ASSERT_TRUE(parse_desc("iscsi off\n", &d, &err));
  EXPECT_FALSE(d.iscsi);
  for (const char* bad : {"nic eth0\n", "nic eth0 192.0.2.10\n", "link eth1 10.9.0.1/24 rel eth1 10.9.0.2/24\n",
                          "link eth1 10.9.0.1/24 /tmp/x eth1\n", "iscsi maybe\n"}) {
    err.clear();
    EXPECT_FALSE(parse_desc(bad, &d, &err)) << bad;
    EXPECT_EQ(err.compare(0, 7, "line 1:"), 0) << bad << err;
  }
}

}  // namespace
