// udev announcements, read by a real libudev monitor in a private network
// namespace (with a /run of its own, where udev's control file says udev runs).
#include <arpa/inet.h>
#include <cstring>
#include <gtest/gtest.h>
#include <libudev.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include "namespaces.h"
#include "uevent.h"

namespace {

sim::DeviceEvent ev(const char* action, const char* name, const char* type, unsigned minor) {
  std::string path = "/devices/platform/host0/target0:0:1/0:0:1:0/block/sdb";
  if (std::string(type) == "partition") path += std::string("/") + name;
  return {action, path, type, name, 8, minor};
}

TEST(SimUevent, MessageLayout) {
  std::string m = sim::build_udev_message(ev("add", "sdb", "disk", 16), 7);
  ASSERT_GT(m.size(), sizeof(sim::UdevHeader));
  sim::UdevHeader h;
  memcpy(&h, m.data(), sizeof h);
  EXPECT_STREQ(h.prefix, "libudev");
  EXPECT_EQ(ntohl(h.magic), 0xfeedcafeu);
  EXPECT_EQ(h.header_size, 40u);
  EXPECT_EQ(h.properties_off, 40u);
  EXPECT_EQ(h.properties_len, m.size() - 40);
  EXPECT_EQ(h.filter_tag_bloom_hi, 0u);
  EXPECT_EQ(h.filter_tag_bloom_lo, 0u);
  std::string props = m.substr(40);
  for (const char* kv : {"ACTION=add", "SUBSYSTEM=block", "DEVTYPE=disk", "DEVNAME=/dev/sdb",
                         "MAJOR=8", "MINOR=16", "SEQNUM=7"})
    EXPECT_NE(props.find(std::string(kv) + '\0'), std::string::npos) << kv;
  EXPECT_EQ(props.back(), '\0');
}

// A device without node carries neither its node nor its numbers; one of
// unknown numbers keeps its node.
TEST(SimUevent, WithoutNodeOrNumbers) {
  sim::DeviceEvent e = ev("change", "sdq", "disk", 0);
  e.node = false;
  std::string props = sim::build_udev_message(e, 1).substr(40);
  for (const char* k : {"DEVNAME=", "MAJOR=", "MINOR="})
    EXPECT_EQ(props.find(k), std::string::npos) << k;
  e.node = true;
  e.devnum = false;
  props = sim::build_udev_message(e, 1).substr(40);
  EXPECT_NE(props.find(std::string("DEVNAME=/dev/sdq") + '\0'), std::string::npos);
  EXPECT_EQ(props.find("MAJOR="), std::string::npos);
}

TEST(SimUevent, LibudevMonitorSeesAddAndRemove) {
  std::string out = testsupport::run_isolated(CLONE_NEWNET, [] {
    if (mount("tmpfs", "/run", "tmpfs", 0, "size=1m") < 0) return std::string("mount /run failed");
    mkdir("/run/udev", 0755);
    close(open("/run/udev/control", O_CREAT | O_WRONLY, 0644));
    udev* u = udev_new();
    udev_monitor* all = udev_monitor_new_from_netlink(u, "udev");
    udev_monitor* parts = udev_monitor_new_from_netlink(u, "udev");
    if (!all || !parts) return std::string("no monitor");
    udev_monitor_filter_add_match_subsystem_devtype(all, "block", nullptr);
    udev_monitor_filter_add_match_subsystem_devtype(parts, "block", "partition");
    if (udev_monitor_enable_receiving(all) < 0 || udev_monitor_enable_receiving(parts) < 0)
      return std::string("cannot receive");
    sim::UeventSender s;
    if (s.open() < 0) return std::string("no sender");
    s.send(ev("add", "sdb", "disk", 16));
    s.send(ev("add", "sdb1", "partition", 17));
    s.send(ev("remove", "sdb1", "partition", 17));

    auto next = [](udev_monitor* m) -> std::string {
      pollfd p{udev_monitor_get_fd(m), POLLIN, 0};
      if (poll(&p, 1, 3000) != 1) return "timeout";
      udev_device* d = udev_monitor_receive_device(m);
      if (!d) return "unreadable";
      std::string r = std::string(udev_device_get_action(d)) + " " + udev_device_get_devnode(d) +
                      " " + udev_device_get_subsystem(d) + " " + udev_device_get_devtype(d) + " " +
                      udev_device_get_sysname(d) + " " +
                      std::to_string(major(udev_device_get_devnum(d))) + ":" +
                      std::to_string(minor(udev_device_get_devnum(d)));
      udev_device_unref(d);
      return r;
    };
    std::string r;
    for (int i = 0; i < 3; i++) r += next(all) + "|";
    r += next(parts) + "|";
    r += next(parts);
    udev_monitor_unref(all);
    udev_monitor_unref(parts);
    udev_unref(u);
    return r;
  });
  EXPECT_EQ(out,
            "add /dev/sdb block disk sdb 8:16|add /dev/sdb1 block partition sdb1 8:17|"
            "remove /dev/sdb1 block partition sdb1 8:17|"
            "add /dev/sdb1 block partition sdb1 8:17|remove /dev/sdb1 block partition sdb1 8:17");
}

}  // namespace
