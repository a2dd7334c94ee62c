#include "host_state.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sim/kernel.h>

#include "ctl_proto.h"

namespace sim {
namespace {

std::string trimmed(const uint8_t* p, size_t n) {
  std::string s(reinterpret_cast<const char*>(p), n);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  return s;
}

std::string errtext(int neg) { return strerror(-neg); }

bool is_known(const std::vector<simk::DiskInfo>& ds, const std::string& name) {
  for (const auto& d : ds) {
    if (d.name == name) return true;
    for (const auto& p : d.parts)
      if (p.name == name) return true;
  }
  return false;
}

}  // namespace

HostState::HostState(std::string config_path, TreePaths paths)
    : config_path_(std::move(config_path)), tree_(paths), transports_(paths.sys) {}

int HostState::boot(std::string* err) {
  std::lock_guard<std::mutex> l(mu_);
  int rc = load_config(config_path_, &config_, err);
  if (rc < 0) return rc;
  rc = tree_.init();
  if (rc < 0) {
    *err = "cannot write the device tree: " + errtext(rc);
    return rc;
  }
  rc = transports_.init();
  if (rc < 0) {
    *err = "cannot make the transport classes in /sys: " + errtext(rc);
    return rc;
  }
  simk::on_disks_changed([this] { kernel_changed(); });
  int u = uevents_.open();
  uevents_ok_ = u == 0;
  if (!uevents_ok_) fprintf(stderr, "simkernel: no uevent socket: %s\n", strerror(-u));
  for (const auto& d : config_.disks) {
    simk::DiskSpec spec{d.name, d.image, d.size, d.major, d.minor, d.guid};
    rc = simk::disk_add(spec);
    // A disk that cannot come up stays in the config, as a LUN that is
    // missing at boot stays configured on a real host.
    if (rc < 0) fprintf(stderr, "simkernel: disk %s (%s): %s\n", d.name.c_str(), d.image.c_str(),
                        strerror(-rc));
  }
  refresh_locked();
  return 0;
}

void HostState::start_watchers() {
  std::thread([this] { refresher(); }).detach();
  std::thread([this] { delete_watcher(); }).detach();
}

void HostState::kernel_changed() {
  std::lock_guard<std::mutex> l(change_mu_);
  changed_ = true;
  change_cv_.notify_one();
}

void HostState::refresher() {
  for (;;) {
    {
      std::unique_lock<std::mutex> l(change_mu_);
      change_cv_.wait(l, [&] { return changed_; });
      changed_ = false;
    }
    refresh();
  }
}

void HostState::delete_watcher() {
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::lock_guard<std::mutex> l(mu_);
    for (const auto& [name, path] : tree_.delete_files()) {
      struct stat st;
      if (::stat(path.c_str(), &st) < 0 || st.st_size == 0) continue;
      char buf[16] = {};
      int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
      ssize_t n = fd >= 0 ? ::read(fd, buf, sizeof buf - 1) : -1;
      if (fd >= 0) ::close(fd);
      if (n > 0 && buf[0] == '1') {
        int rc = simk::disk_remove(name);
        if (rc < 0) {
          fprintf(stderr, "simkernel: delete %s: %s\n", name.c_str(), strerror(-rc));
          write_in_place(path, "");
          continue;
        }
        for (auto it = config_.disks.begin(); it != config_.disks.end(); ++it) {
          if (it->name == name) {
            config_.disks.erase(it);
            break;
          }
        }
        std::string msg;
        save_config_locked(&msg);
        idents_.erase(name);
        refresh_locked();
        break;  // the map we iterate is stale now
      }
      write_in_place(path, "");
    }
  }
}

void HostState::refresh() {
  std::lock_guard<std::mutex> l(mu_);
  refresh_locked();
}

void HostState::inquiry_of(const std::string& name, bool lun, TreeDisk* d) {
  // Asked once per disk: what sysfs shows must not change under a disk that
  // only went offline, or the tree would see a new disk and announce it.
  auto it = idents_.find(name);
  if (it == idents_.end()) {
    uint8_t cdb[6] = {0x12, 0, 0, 0, 96, 0};
    uint8_t data[96] = {};
    uint8_t sense[32];
    simk::SgIo io{cdb, 6, -3 /* from device */, data, sizeof data, sense, sizeof sense};
    Ident id;
    if (simk::sg_io(name, io) == 0 && io.status == 0 && io.host_status == 0)
      id = Ident{trimmed(data + 8, 8), trimmed(data + 16, 16), trimmed(data + 32, 4)};
    else if (lun)
      id = Ident{"UVO", "ZELSolution", "0001"};
    else
      id = Ident{"SIM", "VIRTUAL-DISK", "0001"};
    it = idents_.emplace(name, id).first;
  }
  d->vendor = it->second.vendor;
  d->model = it->second.model;
  d->rev = it->second.rev;
}

void HostState::refresh_locked() {
  std::vector<TreeDisk> want;
  for (const auto& k : simk::disks()) {
    TreeDisk d;
    d.name = k.name;
    d.major = k.major;
    d.minor = k.minor;
    d.size = k.size;
    d.offline = k.offline;
    inquiry_of(k.name, !k.guid.empty(), &d);
    for (const auto& p : k.parts) d.parts.push_back({p.name, p.minor, p.start_sect, p.nr_sects});
    want.push_back(std::move(d));
  }
  for (const auto& e : tree_.sync(want)) {
    if (!uevents_ok_) break;
    int rc = uevents_.send(e);
    if (rc < 0) fprintf(stderr, "simkernel: uevent %s %s: %s\n", e.action.c_str(), e.name.c_str(),
                        strerror(-rc));
  }
}

int HostState::save_config_locked(std::string* msg) {
  int rc = store_config(config_path_, config_);
  if (rc < 0) *msg = "cannot rewrite " + config_path_ + ": " + errtext(rc);
  return rc;
}

int HostState::disk_add(const std::string& name, uint64_t size, const std::string& guid,
                        std::string* msg) {
  if (!ctlproto::valid_disk_name(name)) {
    *msg = "bad disk name '" + name + "'";
    return -EINVAL;
  }
  if (size == 0 || size % 512) {
    *msg = "size must be a positive multiple of 512";
    return -EINVAL;
  }
  if (!guid.empty() && !valid_guid_text(guid)) {
    *msg = "bad GUID";
    return -EINVAL;
  }
  std::lock_guard<std::mutex> l(mu_);
  if (config_.find(name) || is_known(simk::disks(), name)) {
    *msg = "disk " + name + " exists";
    return -EEXIST;
  }
  std::string image = std::string(kDiskDir) + "/" + name + ".img";
  // A renamed disk keeps its image: never put a second disk on it.
  for (const auto& d : config_.disks) {
    if (d.image == image) {
      *msg = "image " + image + " belongs to disk " + d.name;
      return -EEXIST;
    }
  }
  make_dirs(kDiskDir);
  int fd = ::open(image.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    int e = errno;
    *msg = image + ": " + strerror(e);
    return -e;
  }
  struct stat st;
  int rc = ::fstat(fd, &st) < 0 ? -errno : 0;
  if (rc == 0 && static_cast<uint64_t>(st.st_size) > size) {
    ::close(fd);
    *msg = image + " exists and is larger than " + std::to_string(size) + " bytes";
    return -EEXIST;
  }
  if (rc == 0 && static_cast<uint64_t>(st.st_size) < size &&
      ::ftruncate(fd, static_cast<off_t>(size)) < 0)
    rc = -errno;
  ::close(fd);
  if (rc < 0) {
    *msg = image + ": " + errtext(rc);
    return rc;
  }
  ConfigDisk cd;
  cd.name = name;
  cd.image = image;
  cd.size = size;
  cd.guid = guid;
  pick_devnum(config_, name, &cd.major, &cd.minor);
  simk::DiskSpec spec{cd.name, cd.image, cd.size, cd.major, cd.minor, cd.guid};
  rc = simk::disk_add(spec);
  if (rc < 0) {
    *msg = "kernel refused disk " + name + ": " + errtext(rc);
    return rc;
  }
  config_.disks.push_back(cd);
  rc = save_config_locked(msg);
  refresh_locked();
  return rc;
}

int HostState::disk_remove(const std::string& name, std::string* msg) {
  std::lock_guard<std::mutex> l(mu_);
  int rc = simk::disk_remove(name);
  if (rc < 0) {
    *msg = "cannot remove " + name + ": " + errtext(rc);
    return rc;
  }
  for (auto it = config_.disks.begin(); it != config_.disks.end(); ++it) {
    if (it->name == name) {
      config_.disks.erase(it);
      break;
    }
  }
  idents_.erase(name);
  rc = save_config_locked(msg);
  refresh_locked();
  return rc;
}

int HostState::disk_rename(const std::string& from, const std::string& to, std::string* msg) {
  if (!ctlproto::valid_disk_name(to)) {
    *msg = "bad disk name '" + to + "'";
    return -EINVAL;
  }
  std::lock_guard<std::mutex> l(mu_);
  if (config_.find(to) || is_known(simk::disks(), to)) {
    *msg = "disk " + to + " exists";
    return -EEXIST;
  }
  int rc = simk::disk_rename(from, to);
  if (rc < 0) {
    *msg = "cannot rename " + from + ": " + errtext(rc);
    return rc;
  }
  if (ConfigDisk* d = config_.find(from)) d->name = to;
  idents_.erase(from);
  rc = save_config_locked(msg);
  refresh_locked();
  return rc;
}

int HostState::disk_fail(const std::string& name, int mode, std::string* msg) {
  if (mode < simk::kFailRead || mode > simk::kFailAll) {
    *msg = "fail mode must be read, write or all";
    return -EINVAL;
  }
  std::lock_guard<std::mutex> l(mu_);
  int rc = simk::disk_fail(name, static_cast<simk::FailMode>(mode));
  if (rc < 0) *msg = "cannot fail " + name + ": " + errtext(rc);
  return rc;
}

int HostState::disk_heal(const std::string& name, std::string* msg) {
  std::lock_guard<std::mutex> l(mu_);
  int rc = simk::disk_heal(name);
  if (rc < 0) *msg = "cannot heal " + name + ": " + errtext(rc);
  refresh_locked();
  return rc;
}

int HostState::disk_offline(const std::string& name, std::string* msg) {
  std::lock_guard<std::mutex> l(mu_);
  int rc = simk::disk_offline(name);
  if (rc < 0) *msg = "cannot take " + name + " offline: " + errtext(rc);
  refresh_locked();
  return rc;
}

int HostState::disk_hold(const std::string& name, bool on, std::string* msg) {
  std::lock_guard<std::mutex> l(mu_);
  int rc = simk::disk_hold(name, on);
  if (rc < 0) *msg = std::string(on ? "cannot hold " : "cannot let go of ") + name + ": " + errtext(rc);
  return rc;
}

int HostState::disk_knob(const std::string& name, const std::string& knob, std::string* msg) {
  std::lock_guard<std::mutex> l(mu_);
  int rc = simk::scsi_knob(name, knob);
  if (rc < 0) *msg = "knob " + knob + " on " + name + ": " + errtext(rc);
  return rc;
}

int HostState::insmod(const std::string& path, std::string* msg) {
  std::lock_guard<std::mutex> l(mu_);
  std::string p = path.empty() ? config_.module : path;
  if (p.empty()) {
    *msg = "no module given and none configured";
    return -EINVAL;
  }
  if (simk::module_loaded()) {
    *msg = "a module is loaded already";
    return -EEXIST;
  }
  if (::access(p.c_str(), R_OK) < 0) {
    int e = errno;
    *msg = p + ": " + strerror(e);
    return -e;
  }
  int rc = simk::module_load(p);
  if (rc != 0) {
    *msg = "loading " + p + " failed: " + std::to_string(rc) + (rc < 0 ? " (" + errtext(rc) + ")" : "");
    return rc < 0 ? rc : -EINVAL;
  }
  return 0;
}

int HostState::rmmod(std::string* msg) {
  std::lock_guard<std::mutex> l(mu_);
  if (!simk::module_loaded()) {
    *msg = "no module is loaded";
    return -ENOENT;
  }
  int rc = simk::module_unload();
  if (rc < 0) *msg = "unloading failed: " + errtext(rc);
  return rc;
}

int HostState::iscsi_session_add(const std::string& iqn, const std::string& iface,
                                 const std::string& portal, std::string* msg) {
  std::lock_guard<std::mutex> l(mu_);
  return transports_.session_add(iqn, iface, portal, msg);
}

int HostState::iscsi_session_remove(const std::string& iqn, const std::string& iface,
                                    const std::string& portal, std::string* msg) {
  std::lock_guard<std::mutex> l(mu_);
  return transports_.session_remove(iqn, iface, portal, msg);
}

int HostState::fc_add(const std::string& name, const std::string& wwn, std::string* msg) {
  std::lock_guard<std::mutex> l(mu_);
  return transports_.fc_add(name, wwn, msg);
}

int HostState::fc_remove(const std::string& name, std::string* msg) {
  std::lock_guard<std::mutex> l(mu_);
  return transports_.fc_remove(name, msg);
}

int HostState::announce(const std::string& action, const std::string& name,
                        const std::string& devtype, bool no_node, std::string* msg) {
  static const char* const kActions[] = {"add", "remove", "change", "online", "offline", "move"};
  bool known_action = false;
  for (const char* a : kActions) known_action = known_action || action == a;
  if (!known_action) {
    *msg = "bad action '" + action + "'";
    return -EINVAL;
  }
  if (!ctlproto::valid_disk_name(name) || (!devtype.empty() && !ctlproto::valid_disk_name(devtype))) {
    *msg = "bad device name or devtype";
    return -EINVAL;
  }
  std::lock_guard<std::mutex> l(mu_);
  DeviceEvent e{action, "", "", name, 0, 0};
  if (!tree_.describe(name, &e)) {
    e.devpath = "/devices/virtual/block/" + name;
    e.devtype = "disk";
    e.devnum = false;
  }
  if (!devtype.empty()) e.devtype = devtype;
  e.node = !no_node;
  if (!uevents_ok_) {
    *msg = "no uevent socket";
    return -ENOTCONN;
  }
  int rc = uevents_.send(e);
  if (rc < 0) *msg = "uevent: " + errtext(rc);
  return rc;
}

std::string HostState::disks_text() {
  std::string s;
  char line[256];
  snprintf(line, sizeof line, "%-8s %-8s %14s %-9s %-10s %s\n", "NAME", "DEV", "BYTES", "TYPE",
           "STATE", "GUID");
  s += line;
  for (const auto& d : simk::disks()) {
    const char* state = d.offline ? "offline"
                        : d.fail == simk::kFailRead  ? "fail-read"
                        : d.fail == simk::kFailWrite ? "fail-write"
                        : d.fail == simk::kFailAll   ? "fail-all"
                                                     : "ok";
    std::string dev = std::to_string(d.major) + ":" + std::to_string(d.minor);
    snprintf(line, sizeof line, "%-8s %-8s %14llu %-9s %-10s %s\n", d.name.c_str(), dev.c_str(),
             static_cast<unsigned long long>(d.size), d.guid.empty() ? "disk" : "lun", state,
             d.guid.empty() ? "-" : d.guid.c_str());
    s += line;
    for (const auto& p : d.parts) {
      dev = std::to_string(d.major) + ":" + std::to_string(p.minor);
      snprintf(line, sizeof line, "%-8s %-8s %14llu %-9s %-10s %s\n", p.name.c_str(), dev.c_str(),
               static_cast<unsigned long long>(p.nr_sects * 512), "partition", state, "-");
      s += line;
    }
  }
  return s;
}

}  // namespace sim
