// A stand-in for the kernel emulation's simk:: entry points, so simkernel's
// own logic (files, sockets, control, NBD) can run before and apart from the
// real kernel: disks are image files read and written directly, SG_IO
// answers INQUIRY only, and the module loader just records the path.
#include <sim/kernel.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <unistd.h>

namespace simk {
namespace {

struct Disk {
  DiskSpec spec;
  int fd = -1;
  int fail = kFailNone;
  bool offline = false;
};

std::mutex g_mu;
std::map<std::string, Disk> g_disks;
std::function<void()> g_changed;
std::string g_module, g_log;

void changed() {
  if (g_changed) g_changed();
}

}  // namespace

int boot(const std::string&) { return 0; }
void shutdown() {
  std::lock_guard<std::mutex> l(g_mu);
  g_log += "<6>reboot notifiers\n";
}

int disk_add(const DiskSpec& spec) {
  {
    std::lock_guard<std::mutex> l(g_mu);
    if (g_disks.count(spec.name)) return -EEXIST;
    int fd = ::open(spec.image.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return -errno;
    g_disks[spec.name] = Disk{spec, fd};
  }
  changed();
  return 0;
}

int disk_remove(const std::string& name) {
  {
    std::lock_guard<std::mutex> l(g_mu);
    auto it = g_disks.find(name);
    if (it == g_disks.end()) return -ENXIO;
    ::close(it->second.fd);
    g_disks.erase(it);
  }
  changed();
  return 0;
}

int disk_rename(const std::string& from, const std::string& to) {
  {
    std::lock_guard<std::mutex> l(g_mu);
    auto it = g_disks.find(from);
    if (it == g_disks.end()) return -ENXIO;
    Disk d = it->second;
    d.spec.name = to;
    g_disks.erase(it);
    g_disks[to] = d;
  }
  changed();
  return 0;
}

int disk_fail(const std::string& name, FailMode mode) {
  std::lock_guard<std::mutex> l(g_mu);
  auto it = g_disks.find(name);
  if (it == g_disks.end()) return -ENXIO;
  it->second.fail = mode;
  return 0;
}

int disk_heal(const std::string& name) {
  std::lock_guard<std::mutex> l(g_mu);
  auto it = g_disks.find(name);
  if (it == g_disks.end()) return -ENXIO;
  it->second.fail = kFailNone;
  it->second.offline = false;
  return 0;
}

int disk_offline(const std::string& name) {
  std::lock_guard<std::mutex> l(g_mu);
  auto it = g_disks.find(name);
  if (it == g_disks.end()) return -ENXIO;
  it->second.offline = true;
  return 0;
}

int disk_hold(const std::string& name, bool) {
  std::lock_guard<std::mutex> l(g_mu);
  return g_disks.count(name) ? 0 : -ENXIO;
}

std::vector<DiskInfo> disks() {
  std::lock_guard<std::mutex> l(g_mu);
  std::vector<DiskInfo> v;
  for (const auto& [n, d] : g_disks)
    v.push_back({n, d.spec.major, d.spec.minor, d.spec.size, d.spec.guid, d.fail, d.offline, {}});
  return v;
}

int user_io(const std::string& name, bool write, uint64_t offset, void* buf, uint32_t len) {
  int fd;
  {
    std::lock_guard<std::mutex> l(g_mu);
    auto it = g_disks.find(name);
    if (it == g_disks.end()) return -ENXIO;
    const Disk& d = it->second;
    if (offset % 512 || len % 512) return -EINVAL;
    if (d.offline || (d.fail & (write ? kFailWrite : kFailRead))) return -EIO;
    fd = d.fd;
  }
  ssize_t n = write ? ::pwrite(fd, buf, len, static_cast<off_t>(offset))
                    : ::pread(fd, buf, len, static_cast<off_t>(offset));
  return n == static_cast<ssize_t>(len) ? 0 : -EIO;
}

int user_flush(const std::string& name) {
  std::lock_guard<std::mutex> l(g_mu);
  auto it = g_disks.find(name);
  if (it == g_disks.end()) return -ENXIO;
  return ::fdatasync(it->second.fd) < 0 ? -EIO : 0;
}

int sg_io(const std::string& name, SgIo& io) {
  std::lock_guard<std::mutex> l(g_mu);
  auto it = g_disks.find(name);
  if (it == g_disks.end()) return -ENXIO;
  if (io.cdb[0] != 0x12 || io.dxfer_len < 36) {
    io.status = 2;
    return 0;
  }
  uint8_t* d = static_cast<uint8_t*>(io.dxferp);
  memset(d, 0, io.dxfer_len);
  bool lun = !it->second.spec.guid.empty();
  memcpy(d + 8, lun ? "UVO     ZELSolution     0001" : "FAKE    PLAIN DISK      0001", 28);
  io.resid = static_cast<int32_t>(io.dxfer_len) - 36;
  return 0;
}

int scsi_knob(const std::string& name, const std::string&) {
  std::lock_guard<std::mutex> l(g_mu);
  return g_disks.count(name) ? 0 : -ENXIO;
}

int module_load(const std::string& so_path) {
  std::lock_guard<std::mutex> l(g_mu);
  g_module = so_path;
  g_log += "<6>loaded " + so_path + "\n";
  return 0;
}
int module_unload() {
  std::lock_guard<std::mutex> l(g_mu);
  g_module.clear();
  return 0;
}
bool module_loaded() {
  std::lock_guard<std::mutex> l(g_mu);
  return !g_module.empty();
}
void reboot_notify() {
  std::lock_guard<std::mutex> l(g_mu);
  g_log += "<6>reboot notifiers\n";
}
std::string dmesg() {
  std::lock_guard<std::mutex> l(g_mu);
  return g_log;
}
void on_disks_changed(std::function<void()> cb) { g_changed = std::move(cb); }

}  // namespace simk
