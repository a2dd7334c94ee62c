// Hosts with network interfaces of their own, and hosts joined by a link.
#include <future>
#include <gtest/gtest.h>
#include <net/if.h>

#include <set>

#include "eventually.h"
#include "simhost.h"

namespace {

using testsupport::ExecResult;
using testsupport::SimHost;

const std::string kNet = testsupport::test_program("simtest_net");

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::set<std::string> machine_interfaces() {
  std::set<std::string> names;
  if (struct if_nameindex* list = if_nameindex()) {
    for (struct if_nameindex* i = list; i->if_index; i++) names.insert(i->if_name);
    if_freenameindex(list);
  }
  return names;
}

TEST(SimNetE2e, ANicShowsItsAddressesAtEveryStart) {
  SimHost h({"--nic", "eth0:192.0.2.10/24,192.0.2.11/24", "--nic", "eth7:198.51.100.7/25"});
  for (int boot = 0; boot < 2; boot++) {
    ExecResult r = h.exec({kNet, "addrs"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, "lo inet 127.0.0.1/8\n")) << r.out;
    EXPECT_TRUE(has(r.out, "eth0 inet 192.0.2.10/24\neth0 inet 192.0.2.11/24\n")) << r.out;
    EXPECT_TRUE(has(r.out, "eth7 inet 198.51.100.7/25\n")) << r.out;
    // The peer ends are there, without an IPv4 address.
    EXPECT_TRUE(has(r.out, "eth0-peer link\n") && has(r.out, "eth7-peer link\n")) << r.out;
    EXPECT_FALSE(has(r.out, "-peer inet")) << r.out;
    h.stop();
    h.start();
  }
  // The address answers inside the host.
  std::future<ExecResult> server = std::async(std::launch::async, [&] {
    return h.exec({kNet, "serve", "192.0.2.11", "7001"});
  });
  ExecResult sent;
  EXPECT_TRUE(testsupport::eventually([&] {
    sent = h.exec({kNet, "send", "192.0.2.11", "7001", "ping"});
    return sent.status == 0;
  })) << sent.out;
  EXPECT_EQ(sent.out, "pong ping\n");
  EXPECT_EQ(server.get().status, 0);
}

TEST(SimNetE2e, CreateRefusesBadNics) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--nic", "eth0"},
           {"--nic", "eth0:192.0.2.10/40"},
           {"--nic", "lo:127.0.0.5/8"},
           {"--nic", "eth0:192.0.2.10/24", "--nic", "eth0:192.0.2.11/24"},
           {"--nic", "eth0:192.0.2.10/24", "--nic", "eth1:192.0.2.10/16"},
           {"--nic", "eth0:192.0.2.10/24", "--nic", "eth0-peer:192.0.2.11/24"},
       }) {
    std::string what;
    for (const auto& a : args) what += a + " ";
    EXPECT_THROW(SimHost h(args, false), std::runtime_error) << what;
  }
}

// Two hosts joined by a link: one plays a server of the other. The link goes
// with either host and comes back when it starts again.
TEST(SimNetE2e, LinkedHostsTalkTcpAndTheLinkComesBackAfterAStart) {
  SimHost client({"--nic", "eth0:192.0.2.10/24"});
  SimHost server({});
  std::set<std::string> before = machine_interfaces();
  ExecResult r = client.link("eth1:10.9.0.1/24", server, "eth1:10.9.0.2/24");
  ASSERT_EQ(r.status, 0) << r.out;
  for (const std::string& name : machine_interfaces())
    EXPECT_TRUE(before.count(name) || name.find("eth1") == std::string::npos) << name;

  auto talk = [&](const std::string& text) {
    std::future<ExecResult> srv = std::async(std::launch::async, [&] {
      return server.exec({kNet, "serve", "10.9.0.2", "7002"});
    });
    ExecResult sent;
    bool ok = testsupport::eventually([&] {
      sent = client.exec({kNet, "send", "10.9.0.2", "7002", text});
      return sent.status == 0;
    });
    ExecResult served = srv.get();
    EXPECT_TRUE(ok) << sent.out;
    EXPECT_EQ(sent.out, "pong " + text + "\n");
    EXPECT_EQ(served.out, "served " + text + "\n");
  };
  talk("one");
  EXPECT_TRUE(has(client.exec({kNet, "addrs"}).out, "eth1 inet 10.9.0.1/24\n"));

  // Either host's stop takes the link away; its start makes it again.
  server.stop();
  EXPECT_TRUE(testsupport::eventually(
      [&] { return !has(client.exec({kNet, "addrs"}).out, "eth1"); }));
  server.start();
  talk("two");
  client.crash();
  EXPECT_TRUE(testsupport::eventually(
      [&] { return !has(server.exec({kNet, "addrs"}).out, "eth1"); }));
  client.start();
  talk("three");
  r = client.exec({kNet, "addrs"});
  EXPECT_TRUE(has(r.out, "eth0 inet 192.0.2.10/24\n") && has(r.out, "eth1 inet 10.9.0.1/24\n")) << r.out;

  // Refused: a name either end has, a host with itself, a host that is not running.
  r = client.link("eth1:10.9.1.1/24", server, "eth5:10.9.1.2/24");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has(r.out, "has an interface eth1 already")) << r.out;
  r = client.link("eth0-peer:10.9.1.1/24", server, "eth5:10.9.1.2/24");
  EXPECT_EQ(r.status, 1) << r.out;
  r = client.link("eth2:10.9.1.1/24", client, "eth3:10.9.1.2/24");
  EXPECT_EQ(r.status, 1) << r.out;
  r = client.link("eth2:10.9.1.1", server, "eth3:10.9.1.2/24");
  EXPECT_EQ(r.status, 1) << r.out;
  server.stop();
  r = client.link("eth2:10.9.1.1/24", server, "eth3:10.9.1.2/24");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has(r.out, "is not running")) << r.out;
  server.start();
}

}  // namespace
