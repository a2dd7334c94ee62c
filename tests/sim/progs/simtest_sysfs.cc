// Run inside a simulated host: prints what libsysfs lists for the block
// class, one "NAME DEV MODEL" per line (MODEL from the device, or "-").
#include <cstdio>
#include <string>

extern "C" {
#include <sysfs/libsysfs.h>
}

// Failure paths exit without tidying up; what they print is what counts.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }

int main() {
  sysfs_class* cls = sysfs_open_class("block");
  if (!cls) {
    printf("sysfs_open_class failed\n");
    return 1;
  }
  dlist* devs = sysfs_get_class_devices(cls);
  sysfs_class_device* cd;
  if (devs) {
    dlist_for_each_data(devs, cd, sysfs_class_device) {
      sysfs_attribute* dev = sysfs_get_classdev_attr(cd, "dev");
      sysfs_device* d = sysfs_get_classdev_device(cd);
      sysfs_attribute* model = d ? sysfs_get_device_attr(d, "model") : nullptr;
      std::string dv = dev ? dev->value : "-\n";
      std::string mv = model ? model->value : "-\n";
      dv.pop_back();
      while (!mv.empty() && (mv.back() == '\n' || mv.back() == ' ')) mv.pop_back();
      printf("%s %s %s\n", cd->name, dv.c_str(), mv.c_str());
    }
  }
  sysfs_close_class(cls);
  return 0;
}
