// simkernel's control socket: simctl's commands and the host layer's
// questions (which disk is this path, SG_IO), and block I/O for a host layer
// built without NBD.
#ifndef ZELMIR_SIM_CTL_SERVER_H
#define ZELMIR_SIM_CTL_SERVER_H

#include <atomic>
#include <string>

#include "clock_keeper.h"
#include "host_state.h"
#include "kernel_backend.h"

namespace sim {

class CtlServer {
 public:
  // clock may be null: a host without a clock refuses to move it.
  explicit CtlServer(HostState* host, ClockKeeper* clock = nullptr) : host_(host), clock_(clock) {}
  // Listens at path and serves every client from its own thread. 0 or -errno.
  int start(const std::string& path);

  // One request: its result (0 or -errno) and reply payload (an error text
  // when the result is negative).
  int handle(uint16_t op, const std::string& payload, std::string* reply);

 private:
  void serve(int fd);
  static constexpr int kMaxClients = 64;
  HostState* host_;
  ClockKeeper* clock_;
  // Block requests take the NBD server's road into the kernel (bios through
  // the disk's queue, so a hooked make_request_fn sees them).
  KernelBackend backend_;
  int fd_ = -1;
  std::atomic<int> clients_{0};
};

}  // namespace sim

#endif  // ZELMIR_SIM_CTL_SERVER_H
