// The NBD server's way into the simulated kernel: every request becomes bios
// through simk::user_io, as a write to /dev/NAME would.
#ifndef ZELMIR_SIM_KERNEL_BACKEND_H
#define ZELMIR_SIM_KERNEL_BACKEND_H

#include <mutex>

#include "nbd_server.h"

namespace sim {

class KernelBackend : public nbd::Backend {
 public:
  bool lookup(const std::string& name, uint64_t* size) override;
  std::vector<std::string> exports() override;
  int io(const std::string& name, bool write, uint64_t offset, void* buf, uint32_t len) override;
  int flush(const std::string& name) override;

 private:
  // Requests not on sector bounds go through a bounce buffer; their
  // read-modify-write must not interleave with another's on a shared sector.
  std::mutex rmw_mu_;
};

}  // namespace sim

#endif  // ZELMIR_SIM_KERNEL_BACKEND_H
