// The udev monitor thread.
#include "qor_udev.h"

#include <errno.h>
#include <libudev.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>

#include "host/host.h"
#include "mirapi/log.h"
#include "qor_jobs.h"
#include "zel/zel_device.h"

namespace {

const char* text(const char* s) { return s != nullptr ? s : "(null)"; }

void fail() {
  HM_LOG(LOG_ERR, "udev error.");
  exit(1);
}

}  // namespace

void* _udev_monitor_thread(void* /*arg*/) {
  HM_LOG(LOG_DEBUG, "Start listening disk thread.");
  udev* ctx = udev_new();
  if (ctx == nullptr) fail();
  udev_monitor* mon = udev_monitor_new_from_netlink(ctx, "udev");
  if (mon == nullptr || udev_monitor_filter_add_match_subsystem_devtype(mon, "block", "disk") < 0 ||
      udev_monitor_enable_receiving(mon) < 0)
    fail();
  // The monitor's socket does not block; the wait is on its descriptor.
  pollfd p{udev_monitor_get_fd(mon), POLLIN, 0};
  for (;;) {
    p.revents = 0;
    if (hl_poll(&p, 1, -1) <= 0) continue;
    udev_device* dev = udev_monitor_receive_device(mon);
    if (dev == nullptr) {
      HM_LOG(LOG_ERR, "No device get from monitor.");
      continue;
    }
    const char* node = udev_device_get_devnode(dev);
    // The CD drive and nodeless devices are never disks the agent reports.
    if (node != nullptr && strcmp(node, "/dev/sr0") != 0) {
      HM_LOG(LOG_DEBUG, "Get device: node :%s subsystem :%s devtype :%s action :%s ", node,
             text(udev_device_get_subsystem(dev)), text(udev_device_get_devtype(dev)),
             text(udev_device_get_action(dev)));
      scan_wake();
      zel_device_probe_all(1);
    }
    udev_device_unref(dev);
  }
  return nullptr;
}
