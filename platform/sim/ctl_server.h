// simkernel's control socket: simctl's commands and the host layer's
// questions (which disk is this path, SG_IO).
#ifndef ZELMIR_SIM_CTL_SERVER_H
#define ZELMIR_SIM_CTL_SERVER_H

#include <atomic>
#include <string>

#include "host_state.h"

namespace sim {

class CtlServer {
 public:
  explicit CtlServer(HostState* host) : host_(host) {}
  // Listens at path and serves every client from its own thread. 0 or -errno.
  int start(const std::string& path);

  // One request: its result (0 or -errno) and reply payload (an error text
  // when the result is negative).
  int handle(uint16_t op, const std::string& payload, std::string* reply);

 private:
  void serve(int fd);
  static constexpr int kMaxClients = 64;
  HostState* host_;
  int fd_ = -1;
  std::atomic<int> clients_{0};
};

}  // namespace sim

#endif  // ZELMIR_SIM_CTL_SERVER_H
