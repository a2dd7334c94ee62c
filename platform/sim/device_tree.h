// The host's view of its disks as the kernel would show it: /sys/devices/...
// with /sys/block, /sys/class/block and /sys/dev/block links, the texts of
// /proc/partitions and /proc/devices, and an empty regular file /dev/NAME per
// disk and partition. sync() brings all of it to a given disk set and says
// which devices came and went, so they can be announced.
#ifndef ZELMIR_SIM_DEVICE_TREE_H
#define ZELMIR_SIM_DEVICE_TREE_H

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace sim {

struct TreePart {
  std::string name;
  unsigned minor;
  uint64_t start_sect, nr_sects;
};

struct TreeDisk {
  std::string name;
  unsigned major = 8, minor = 0;
  uint64_t size = 0;  // bytes
  bool offline = false;
  std::string vendor, model, rev;  // as the disk's INQUIRY answers
  std::vector<TreePart> parts;
};

struct TreePaths {
  std::string sys = "/sys";
  std::string dev = "/dev";
  std::string partitions = "/var/run/simkernel/partitions";
  std::string devices = "/var/run/simkernel/devices";
};

// One device that appeared ("add") or went away ("remove").
struct DeviceEvent {
  std::string action;
  std::string devpath;  // below /sys, e.g. /devices/platform/host0/.../block/sdb
  std::string devtype;  // "disk" or "partition"
  std::string name;
  unsigned major, minor;
  bool node = true;    // the device has a node, /dev/NAME (DEVNAME)
  bool devnum = true;  // MAJOR and MINOR are known
};

class DeviceTree {
 public:
  explicit DeviceTree(TreePaths paths) : paths_(std::move(paths)) {}

  // Writes /proc/devices and the fixed parts of /sys. 0 or -errno.
  int init();
  // Makes every file match disks; returns the changes, removals first.
  std::vector<DeviceEvent> sync(const std::vector<TreeDisk>& disks);
  // Fills the devpath, devtype and numbers of a shown disk or partition into
  // *e; false when no device of that name is shown.
  bool describe(const std::string& name, DeviceEvent* e) const;
  // name -> the disk's device/delete file, for the watcher.
  std::map<std::string, std::string> delete_files() const;

  static std::string partitions_text(const std::vector<TreeDisk>& disks);
  static std::string devices_text();

 private:
  struct Shown {
    TreeDisk disk;
    unsigned scsi_id;
    std::string key;  // what the files were made from
  };
  std::string scsi_dir(unsigned id) const;
  std::string block_dir(const Shown& s) const;
  void make_disk(Shown& s, std::vector<DeviceEvent>* ev);
  void drop_disk(const Shown& s, std::vector<DeviceEvent>* ev);
  unsigned free_scsi_id() const;

  TreePaths paths_;
  std::map<std::string, Shown> shown_;  // by name
};

// Writes content to path in place: same inode, cut to the new length.
int write_in_place(const std::string& path, const std::string& content);
// Removes path and all below it, never following a symbolic link.
void remove_tree(const std::string& path);
int make_dirs(const std::string& path);

}  // namespace sim

#endif  // ZELMIR_SIM_DEVICE_TREE_H
