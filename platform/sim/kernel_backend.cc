#include "kernel_backend.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <sim/kernel.h>

namespace sim {

bool KernelBackend::lookup(const std::string& name, uint64_t* size) {
  for (const auto& d : simk::disks()) {
    if (d.name == name) {
      *size = d.size;
      return true;
    }
    for (const auto& p : d.parts) {
      if (p.name == name) {
        *size = p.nr_sects * 512;
        return true;
      }
    }
  }
  return false;
}

std::vector<std::string> KernelBackend::exports() {
  std::vector<std::string> v;
  for (const auto& d : simk::disks()) {
    v.push_back(d.name);
    for (const auto& p : d.parts) v.push_back(p.name);
  }
  return v;
}

int KernelBackend::io(const std::string& name, bool write, uint64_t offset, void* buf,
                      uint32_t len) {
  if ((offset % 512) == 0 && (len % 512) == 0)
    return simk::user_io(name, write, offset, buf, len);
  uint64_t start = offset & ~uint64_t{511};
  uint64_t end = (offset + len + 511) & ~uint64_t{511};
  size_t n = static_cast<size_t>(end - start);
  void* bounce = nullptr;
  if (posix_memalign(&bounce, 4096, n) != 0) return -ENOMEM;
  int rc;
  if (write) {
    std::lock_guard<std::mutex> l(rmw_mu_);
    rc = simk::user_io(name, false, start, bounce, static_cast<uint32_t>(n));
    if (rc == 0) {
      memcpy(static_cast<char*>(bounce) + (offset - start), buf, len);
      rc = simk::user_io(name, true, start, bounce, static_cast<uint32_t>(n));
    }
  } else {
    rc = simk::user_io(name, false, start, bounce, static_cast<uint32_t>(n));
    if (rc == 0) memcpy(buf, static_cast<char*>(bounce) + (offset - start), len);
  }
  free(bounce);
  return rc;
}

int KernelBackend::flush(const std::string& name) { return simk::user_flush(name); }

}  // namespace sim
