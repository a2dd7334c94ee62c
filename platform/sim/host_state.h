// What simkernel keeps about its host besides the kernel itself: the config
// file, the device tree it shows in /sys, /proc and /dev, and the udev
// announcements. Every change of the disk set goes through here, one at a
// time, so the files follow the kernel at once.
#ifndef ZELMIR_SIM_HOST_STATE_H
#define ZELMIR_SIM_HOST_STATE_H

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "device_tree.h"
#include "host_config.h"
#include "transport_tree.h"
#include "uevent.h"

namespace sim {

inline constexpr char kDiskDir[] = "/var/lib/simhost/disks";

class HostState {
 public:
  HostState(std::string config_path, TreePaths paths);

  // Reads the config, adds its disks, shows them. 0, or -errno with *err.
  int boot(std::string* err);
  // Starts the threads that follow kernel-side changes and device/delete.
  void start_watchers();

  // The operations of the control socket: 0 or -errno with *msg.
  int disk_add(const std::string& name, uint64_t size, const std::string& guid, std::string* msg);
  int disk_remove(const std::string& name, std::string* msg);
  int disk_rename(const std::string& from, const std::string& to, std::string* msg);
  int disk_fail(const std::string& name, int mode, std::string* msg);
  int disk_heal(const std::string& name, std::string* msg);
  int disk_offline(const std::string& name, std::string* msg);
  int disk_hold(const std::string& name, bool on, std::string* msg);
  int disk_knob(const std::string& name, const std::string& knob, std::string* msg);
  int insmod(const std::string& path, std::string* msg);
  int rmmod(std::string* msg);
  std::string disks_text();
  // iSCSI sessions and FC ports in /sys (TransportTree).
  int iscsi_session_add(const std::string& iqn, const std::string& iface,
                        const std::string& portal, std::string* msg);
  int iscsi_session_remove(const std::string& iqn, const std::string& iface,
                           const std::string& portal, std::string* msg);
  int fc_add(const std::string& name, const std::string& wwn, std::string* msg);
  int fc_remove(const std::string& name, std::string* msg);
  // Announces an event of a block device without changing the disk set (a
  // CD drive, a device without node, a change): a shown device's own path
  // and numbers, else a virtual device's.  devtype "" keeps the device's
  // ("disk" for one not shown).
  int announce(const std::string& action, const std::string& name, const std::string& devtype,
               bool no_node, std::string* msg);
  const std::string& module_path() const { return config_.module; }

  // Brings /sys, /proc and /dev to the kernel's disk set and announces the
  // difference. Takes the lock.
  void refresh();

 private:
  void refresh_locked();
  int save_config_locked(std::string* msg);
  void inquiry_of(const std::string& name, bool lun, TreeDisk* d);
  void kernel_changed();
  void refresher();
  void delete_watcher();

  std::string config_path_;
  std::mutex mu_;  // the config, the tree and the inquiry cache
  HostConfig config_;
  DeviceTree tree_;
  TransportTree transports_;
  UeventSender uevents_;
  bool uevents_ok_ = false;
  struct Ident {
    std::string vendor, model, rev;
  };
  std::map<std::string, Ident> idents_;

  std::mutex change_mu_;
  std::condition_variable change_cv_;
  bool changed_ = false;
};

}  // namespace sim

#endif  // ZELMIR_SIM_HOST_STATE_H
