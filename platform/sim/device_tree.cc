#include "device_tree.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace sim {

int make_dirs(const std::string& path) {
  for (size_t i = 1; i <= path.size(); i++) {
    if (i == path.size() || path[i] == '/') {
      std::string p = path.substr(0, i);
      if (::mkdir(p.c_str(), 0755) < 0 && errno != EEXIST) return -errno;
    }
  }
  return 0;
}

int write_in_place(const std::string& path, const std::string& content) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return -errno;
  int rc = 0;
  size_t off = 0;
  while (off < content.size()) {
    ssize_t n = ::pwrite(fd, content.data() + off, content.size() - off, static_cast<off_t>(off));
    if (n < 0) {
      if (errno == EINTR) continue;
      rc = -errno;
      break;
    }
    off += static_cast<size_t>(n);
  }
  if (rc == 0 && ::ftruncate(fd, static_cast<off_t>(content.size())) < 0) rc = -errno;
  ::close(fd);
  return rc;
}

void remove_tree(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) < 0) return;
  if (S_ISDIR(st.st_mode)) {
    if (DIR* d = ::opendir(path.c_str())) {
      std::vector<std::string> names;
      while (dirent* e = ::readdir(d))
        if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) names.push_back(e->d_name);
      ::closedir(d);
      for (const auto& n : names) remove_tree(path + "/" + n);
    }
    ::rmdir(path.c_str());
  } else {
    ::unlink(path.c_str());
  }
}

namespace {

void put(const std::string& path, const std::string& content) { write_in_place(path, content); }

void link_to(const std::string& target, const std::string& path) {
  ::unlink(path.c_str());
  if (::symlink(target.c_str(), path.c_str()) < 0) perror(path.c_str());
}

std::string devnum(unsigned ma, unsigned mi) {
  return std::to_string(ma) + ":" + std::to_string(mi);
}

// A relative link from directory `from` to `to`, both absolute under /sys.
std::string relative(const std::string& from, const std::string& to) {
  size_t common = 0;
  for (size_t i = 0; i < from.size() && i < to.size() && from[i] == to[i]; i++)
    if (from[i] == '/') common = i;
  if (from.size() <= to.size() && to.compare(0, from.size(), from) == 0 &&
      (to.size() == from.size() || to[from.size()] == '/'))
    common = from.size();
  std::string up;
  for (size_t i = common; i < from.size(); i++)
    if (from[i] == '/') up += "../";
  return up + to.substr(common + 1);
}

std::string pad(std::string s, size_t n) {
  if (s.size() < n) s.append(n - s.size(), ' ');
  return s + "\n";
}

std::string key_of(const TreeDisk& d) {
  std::string k = d.name + " " + devnum(d.major, d.minor) + " " + std::to_string(d.size) + " " +
                  d.vendor + "|" + d.model + "|" + d.rev;
  for (const auto& p : d.parts)
    k += " " + p.name + ":" + std::to_string(p.minor) + ":" + std::to_string(p.start_sect) + ":" +
         std::to_string(p.nr_sects);
  return k;
}

}  // namespace

std::string DeviceTree::partitions_text(const std::vector<TreeDisk>& disks) {
  std::string s = "major minor  #blocks  name\n\n";
  char line[160];
  std::vector<const TreeDisk*> order;
  for (const auto& d : disks) order.push_back(&d);
  std::sort(order.begin(), order.end(), [](const TreeDisk* a, const TreeDisk* b) {
    return a->major != b->major ? a->major < b->major : a->minor < b->minor;
  });
  for (const TreeDisk* dp : order) {
    const TreeDisk& d = *dp;
    snprintf(line, sizeof line, "%4u  %7u %10llu %s\n", d.major, d.minor,
             static_cast<unsigned long long>(d.size >> 10), d.name.c_str());
    s += line;
    for (const auto& p : d.parts) {
      snprintf(line, sizeof line, "%4u  %7u %10llu %s\n", d.major, p.minor,
               static_cast<unsigned long long>(p.nr_sects >> 1), p.name.c_str());
      s += line;
    }
  }
  return s;
}

std::string DeviceTree::devices_text() {
  std::string s =
      "Character devices:\n  1 mem\n  4 /dev/vc/0\n  4 tty\n  5 /dev/tty\n  5 /dev/console\n"
      " 10 misc\n\nBlock devices:\n259 blkext\n  8 sd\n";
  char line[32];
  for (unsigned m = 65; m <= 71; m++) {
    snprintf(line, sizeof line, "%3u sd\n", m);
    s += line;
  }
  for (unsigned m = 128; m <= 135; m++) {
    snprintf(line, sizeof line, "%3u sd\n", m);
    s += line;
  }
  return s;
}

int DeviceTree::init() {
  const std::string& sys = paths_.sys;
  for (const char* d : {"/devices/platform/host0", "/block", "/class/block", "/dev/block",
                        "/class/scsi_device", "/bus/scsi/devices", "/kernel"}) {
    int rc = make_dirs(sys + d);
    if (rc < 0) return rc;
  }
  int rc = write_in_place(paths_.devices, devices_text());
  if (rc == 0) rc = write_in_place(paths_.partitions, partitions_text({}));
  return rc;
}

std::string DeviceTree::scsi_dir(unsigned id) const {
  std::string n = std::to_string(id);
  return paths_.sys + "/devices/platform/host0/target0:0:" + n + "/0:0:" + n + ":0";
}

std::string DeviceTree::block_dir(const Shown& s) const {
  return scsi_dir(s.scsi_id) + "/block/" + s.disk.name;
}

unsigned DeviceTree::free_scsi_id() const {
  std::set<unsigned> used;
  for (const auto& [n, s] : shown_) used.insert(s.scsi_id);
  unsigned id = 0;
  while (used.count(id)) id++;
  return id;
}

void DeviceTree::make_disk(Shown& s, std::vector<DeviceEvent>* ev) {
  const TreeDisk& d = s.disk;
  const std::string& sys = paths_.sys;
  std::string sd = scsi_dir(s.scsi_id);
  std::string bd = block_dir(s);
  std::string hctl = "0:0:" + std::to_string(s.scsi_id) + ":0";
  make_dirs(bd + "/queue");

  put(sd + "/vendor", pad(d.vendor, 8));
  put(sd + "/model", pad(d.model, 16));
  put(sd + "/rev", pad(d.rev, 4));
  put(sd + "/state", d.offline ? "offline\n" : "running\n");
  put(sd + "/type", "0\n");
  put(sd + "/scsi_level", "6\n");
  put(sd + "/delete", "");
  put(sd + "/uevent", "DEVTYPE=scsi_device\n");
  link_to(relative(sd, sys + "/bus/scsi"), sd + "/subsystem");
  link_to(relative(sys + "/bus/scsi/devices", sd), sys + "/bus/scsi/devices/" + hctl);

  std::string dn = devnum(d.major, d.minor);
  put(bd + "/dev", dn + "\n");
  put(bd + "/size", std::to_string(d.size >> 9) + "\n");
  put(bd + "/removable", "0\n");
  put(bd + "/ro", "0\n");
  put(bd + "/range", "16\n");
  put(bd + "/ext_range", "256\n");
  put(bd + "/capability", "50\n");
  put(bd + "/uevent", "MAJOR=" + std::to_string(d.major) + "\nMINOR=" + std::to_string(d.minor) +
                          "\nDEVNAME=" + d.name + "\nDEVTYPE=disk\n");
  put(bd + "/queue/hw_sector_size", "512\n");
  put(bd + "/queue/logical_block_size", "512\n");
  put(bd + "/queue/physical_block_size", "512\n");
  put(bd + "/queue/max_sectors_kb", "512\n");
  put(bd + "/queue/rotational", "1\n");
  link_to(relative(bd, sd), bd + "/device");
  link_to(relative(bd, sys + "/class/block"), bd + "/subsystem");
  link_to(relative(sys + "/block", bd), sys + "/block/" + d.name);
  link_to(relative(sys + "/class/block", bd), sys + "/class/block/" + d.name);
  link_to(relative(sys + "/dev/block", bd), sys + "/dev/block/" + dn);
  put(paths_.dev + "/" + d.name, "");
  std::string devpath = bd.substr(sys.size());
  ev->push_back({"add", devpath, "disk", d.name, d.major, d.minor});

  for (const auto& p : d.parts) {
    std::string pd = bd + "/" + p.name;
    std::string pn = devnum(d.major, p.minor);
    make_dirs(pd);
    put(pd + "/dev", pn + "\n");
    put(pd + "/size", std::to_string(p.nr_sects) + "\n");
    put(pd + "/start", std::to_string(p.start_sect) + "\n");
    put(pd + "/partition", std::to_string(p.minor - d.minor) + "\n");
    put(pd + "/ro", "0\n");
    put(pd + "/uevent", "MAJOR=" + std::to_string(d.major) + "\nMINOR=" + std::to_string(p.minor) +
                            "\nDEVNAME=" + p.name + "\nDEVTYPE=partition\n");
    link_to(relative(pd, sys + "/class/block"), pd + "/subsystem");
    link_to(relative(sys + "/class/block", pd), sys + "/class/block/" + p.name);
    link_to(relative(sys + "/dev/block", pd), sys + "/dev/block/" + pn);
    put(paths_.dev + "/" + p.name, "");
    ev->push_back({"add", devpath + "/" + p.name, "partition", p.name, d.major, p.minor});
  }
}

bool DeviceTree::describe(const std::string& name, DeviceEvent* e) const {
  for (const auto& [disk_name, s] : shown_) {
    std::string devpath = block_dir(s).substr(paths_.sys.size());
    e->major = s.disk.major;
    if (disk_name == name) {
      e->devpath = devpath;
      e->devtype = "disk";
      e->minor = s.disk.minor;
      return true;
    }
    for (const auto& p : s.disk.parts) {
      if (p.name != name) continue;
      e->devpath = devpath + "/" + p.name;
      e->devtype = "partition";
      e->minor = p.minor;
      return true;
    }
  }
  return false;
}

void DeviceTree::drop_disk(const Shown& s, std::vector<DeviceEvent>* ev) {
  const TreeDisk& d = s.disk;
  const std::string& sys = paths_.sys;
  std::string devpath = block_dir(s).substr(sys.size());
  for (auto it = d.parts.rbegin(); it != d.parts.rend(); ++it) {
    ::unlink((paths_.dev + "/" + it->name).c_str());
    ::unlink((sys + "/class/block/" + it->name).c_str());
    ::unlink((sys + "/dev/block/" + devnum(d.major, it->minor)).c_str());
    ev->push_back({"remove", devpath + "/" + it->name, "partition", it->name, d.major, it->minor});
  }
  ::unlink((paths_.dev + "/" + d.name).c_str());
  ::unlink((sys + "/block/" + d.name).c_str());
  ::unlink((sys + "/class/block/" + d.name).c_str());
  ::unlink((sys + "/dev/block/" + devnum(d.major, d.minor)).c_str());
  ::unlink((sys + "/bus/scsi/devices/0:0:" + std::to_string(s.scsi_id) + ":0").c_str());
  remove_tree(paths_.sys + "/devices/platform/host0/target0:0:" + std::to_string(s.scsi_id));
  ev->push_back({"remove", devpath, "disk", d.name, d.major, d.minor});
}

std::vector<DeviceEvent> DeviceTree::sync(const std::vector<TreeDisk>& disks) {
  std::vector<DeviceEvent> removed, added;
  std::map<std::string, const TreeDisk*> want;
  for (const auto& d : disks) want[d.name] = &d;

  for (auto it = shown_.begin(); it != shown_.end();) {
    auto w = want.find(it->first);
    if (w == want.end() || key_of(*w->second) != it->second.key) {
      drop_disk(it->second, &removed);
      it = shown_.erase(it);
    } else {
      ++it;
    }
  }
  for (const auto& d : disks) {
    auto it = shown_.find(d.name);
    if (it == shown_.end()) {
      Shown s{d, free_scsi_id(), key_of(d)};
      make_disk(s, &added);
      shown_.emplace(d.name, std::move(s));
    } else if (it->second.disk.offline != d.offline) {
      it->second.disk.offline = d.offline;
      put(scsi_dir(it->second.scsi_id) + "/state", d.offline ? "offline\n" : "running\n");
    }
  }
  write_in_place(paths_.partitions, partitions_text(disks));
  removed.insert(removed.end(), added.begin(), added.end());
  return removed;
}

std::map<std::string, std::string> DeviceTree::delete_files() const {
  std::map<std::string, std::string> m;
  for (const auto& [n, s] : shown_) m[n] = scsi_dir(s.scsi_id) + "/delete";
  return m;
}

}  // namespace sim
