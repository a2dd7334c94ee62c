// Netlink through a module: a datagram from a socket bound at nl/P reaches
// the module's input with port id P in process context; replies go to
// nl/P; a reply to a port nobody holds is dropped with -ECONNREFUSED.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "eventually.h"
#include "internal.h"
#include "sim_env.h"

#include <linux/netlink.h>
#include <linux/reboot.h>
#include <net/sock.h>
#include <linux/notifier.h>

namespace {

class NetlinkTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(simk::module_load(LINUX_NLTESTMOD), 0); }
  void TearDown() override {
    for (int fd : fds_) close(fd);
    if (simk::module_loaded()) simk::module_unload();
  }

  // A socket bound at nl/<port>, or unbound for port 0.
  int user_socket(unsigned port) {
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    fds_.push_back(fd);
    if (port) {
      struct sockaddr_un a = addr(std::to_string(port));
      unlink(a.sun_path);
      EXPECT_EQ(bind(fd, (struct sockaddr *)&a, sizeof(a)), 0);
    }
    return fd;
  }
  static struct sockaddr_un addr(const std::string &port) {
    struct sockaddr_un a;
    memset(&a, 0, sizeof(a));
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof(a.sun_path), "%s/nl/%s", simtest::rundir().c_str(), port.c_str());
    return a;
  }
  // Sends a 2064-byte netlink message with `text` as its payload to nl/0.
  static void send_request(int fd, const std::string &text) {
    std::vector<char> msg(2064, 0);
    struct nlmsghdr *h = (struct nlmsghdr *)msg.data();
    h->nlmsg_len = 2064;
    memcpy(msg.data() + 16, text.data(), text.size());
    struct sockaddr_un to = addr("0");
    ASSERT_EQ(sendto(fd, msg.data(), msg.size(), 0, (struct sockaddr *)&to, sizeof(to)), 2064);
  }
  static std::string receive(int fd, int timeout_ms) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) != 1) return "";
    char buf[4096];
    ssize_t n = recv(fd, buf, sizeof(buf), 0);
    if (n < 16) return "";
    return std::string(buf + 16, strnlen(buf + 16, n - 16));
  }
  std::vector<int> fds_;
};

TEST_F(NetlinkTest, RoundTripCarriesThePortIdInProcessContext) {
  int fd = user_socket(1234);
  send_request(fd, "ping");
  EXPECT_EQ(receive(fd, 5000), "pong 1234 0 2064");
}

TEST_F(NetlinkTest, ReplyToAnUnknownPortIsDropped) {
  int fd = user_socket(1235);
  send_request(fd, "to 999");
  EXPECT_TRUE(testsupport::eventually(
      [] { return simk::dmesg().find("nltest: unicast to 999") != std::string::npos; },
      std::chrono::seconds(5), std::chrono::milliseconds(10)));
  EXPECT_NE(simk::dmesg().find("<6>nltest: unicast to 999: -111\n"), std::string::npos);
  // The reply went out before the line was logged: had it reached fd, it
  // would be waiting there now.
  EXPECT_EQ(receive(fd, 0), "");
  // And to a known one it arrives.
  int other = user_socket(4321);
  send_request(fd, "to 4321");
  EXPECT_EQ(receive(other, 5000), "pong 1235 0 2064");
}

TEST_F(NetlinkTest, DatagramsFromUnboundOrOddlyNamedSendersAreDropped) {
  unsigned long dropped = simlinux::netlink_senders_dropped();
  int unbound = user_socket(0);
  send_request(unbound, "ping");
  int odd = socket(AF_UNIX, SOCK_DGRAM, 0);
  fds_.push_back(odd);
  struct sockaddr_un a = addr("12x");
  unlink(a.sun_path);
  ASSERT_EQ(bind(odd, (struct sockaddr *)&a, sizeof(a)), 0);
  send_request(odd, "to 1236");
  // Both were taken and dropped unanswered, before anything could run them.
  EXPECT_TRUE(testsupport::eventually([&] { return simlinux::netlink_senders_dropped() >= dropped + 2; },
                                      std::chrono::seconds(5), std::chrono::milliseconds(1)));
  int watcher = user_socket(1236);
  EXPECT_EQ(receive(watcher, 0), "");
  EXPECT_EQ(simk::dmesg().find("unicast to 1236"), std::string::npos);
  // The socket still serves well-formed senders.
  send_request(watcher, "ping");
  EXPECT_EQ(receive(watcher, 5000), "pong 1236 0 2064");
}

TEST_F(NetlinkTest, UnloadReleasesTheSocketAndReloadBindsAgain) {
  ASSERT_EQ(simk::module_unload(), 0);
  EXPECT_FALSE(simk::module_loaded());
  EXPECT_NE(access((simtest::rundir() + "/nl/0").c_str(), F_OK), 0);
  ASSERT_EQ(simk::module_load(LINUX_NLTESTMOD), 0);
  int fd = user_socket(1237);
  send_request(fd, "ping");
  EXPECT_EQ(receive(fd, 5000), "pong 1237 0 2064");
  std::string log = simk::dmesg();
  EXPECT_NE(log.find("<6>nltest: unloaded\n"), std::string::npos);
  // Globals start fresh at each load: the count never passes 1.
  EXPECT_EQ(log.find("nltest: loaded 2"), std::string::npos);
  EXPECT_NE(log.find("nltest: loaded 1"), std::string::npos);
}

void ignore_input(struct sk_buff *skb) { (void)skb; }

TEST(ModuleTest, AFailingInitLeavesTheModuleUnloaded) {
  // The test module's init fails when protocol 21 is taken already.
  struct sock *taken = netlink_kernel_create(&init_net, 21, 0, ignore_input, NULL, NULL);
  ASSERT_NE(taken, nullptr);
  EXPECT_NE(simk::module_load(LINUX_NLTESTMOD), 0);
  EXPECT_FALSE(simk::module_loaded());
  EXPECT_EQ(simk::module_unload(), -ENOENT);
  netlink_kernel_release(taken);
  ASSERT_EQ(simk::module_load(LINUX_NLTESTMOD), 0);
  EXPECT_EQ(simk::module_load(LINUX_NLTESTMOD), -EEXIST) << "one module at a time";
  EXPECT_EQ(simk::module_unload(), 0);
  EXPECT_NE(simk::module_load("/nonexistent/module.so"), 0);
}

std::vector<std::string> calls;
int note_high(struct notifier_block *nb, unsigned long ev, void *d) {
  (void)nb;
  (void)d;
  calls.push_back("high " + std::to_string(ev));
  return NOTIFY_DONE;
}
int note_low(struct notifier_block *nb, unsigned long ev, void *d) {
  (void)nb;
  (void)d;
  calls.push_back("low " + std::to_string(ev));
  return NOTIFY_DONE;
}

TEST(RebootTest, ChainRunsByPriorityWithSysRestart) {
  struct notifier_block low = {note_low, NULL, 0};
  struct notifier_block high = {note_high, NULL, 0x7FFFFFFF};
  register_reboot_notifier(&low);
  register_reboot_notifier(&high);
  calls.clear();
  simk::reboot_notify();
  EXPECT_EQ(calls, (std::vector<std::string>{"high 1", "low 1"}));
  unregister_reboot_notifier(&high);
  unregister_reboot_notifier(&low);
  calls.clear();
  simk::reboot_notify();
  EXPECT_TRUE(calls.empty());
}

TEST(PrintkTest, LinesKeepTheirLevelAndDefaultToFour) {
  printk("<3>first %d\n", 1);
  printk("no level ");
  printk("continued\n");
  printk(KERN_DEBUG "two\nlines\n");
  std::string log = simk::dmesg();
  EXPECT_NE(log.find("<3>first 1\n<4>no level continued\n<7>two\n<7>lines\n"), std::string::npos);
  // The same lines reach <rundir>/kmsg, but for debug lines, as on a console.
  FILE *f = fopen((simtest::rundir() + "/kmsg").c_str(), "r");
  ASSERT_NE(f, nullptr);
  std::string file;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), f)) > 0) file.append(buf, n);
  fclose(f);
  EXPECT_NE(file.find("<4>no level continued\n"), std::string::npos);
  EXPECT_EQ(file.find("<7>"), std::string::npos) << file;
}

}  // namespace
