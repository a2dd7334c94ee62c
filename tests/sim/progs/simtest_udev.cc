// Run inside a simulated host: a libudev monitor of block devices that
// prints the first N events as "ACTION DEVNODE DEVTYPE" and exits (status 1
// when they do not come within 10 s).
#include <cstdio>
#include <cstdlib>
#include <libudev.h>
#include <poll.h>

// Failure paths exit without tidying up; what they print is what counts.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }

int main(int argc, char** argv) {
  int n = argc > 1 ? atoi(argv[1]) : 1;
  udev* u = udev_new();
  udev_monitor* m = udev_monitor_new_from_netlink(u, "udev");
  if (!m) return 1;
  udev_monitor_filter_add_match_subsystem_devtype(m, "block", nullptr);
  if (udev_monitor_enable_receiving(m) < 0) return 1;
  printf("listening\n");
  fflush(stdout);
  for (int i = 0; i < n; i++) {
    pollfd p{udev_monitor_get_fd(m), POLLIN, 0};
    if (poll(&p, 1, 10000) != 1) {
      printf("timeout\n");
      return 1;
    }
    udev_device* d = udev_monitor_receive_device(m);
    if (!d) {
      i--;
      continue;
    }
    printf("%s %s %s\n", udev_device_get_action(d), udev_device_get_devnode(d),
           udev_device_get_devtype(d));
    fflush(stdout);
    udev_device_unref(d);
  }
  udev_monitor_unref(m);
  udev_unref(u);
  return 0;
}
