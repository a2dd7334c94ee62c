// The few rtnetlink requests simhost makes to give hosts their network
// interfaces: a veth pair (one end, or both, in the caller's network
// namespace), an IPv4 address, a link brought up. Each works in the network
// namespace the calling process is in when the Rtnl is opened.
#ifndef ZELMIR_SIM_RTNL_H
#define ZELMIR_SIM_RTNL_H

#include <cstdint>
#include <netinet/in.h>
#include <string>

namespace sim {

class Rtnl {
 public:
  Rtnl() = default;
  ~Rtnl();
  Rtnl(const Rtnl&) = delete;
  Rtnl& operator=(const Rtnl&) = delete;

  int open();  // 0 or -errno

  // A veth pair: `name` here, `peer` in the network namespace of peer_netns_fd
  // (here when it is -1). 0 or -errno (-EEXIST when a name is taken).
  int add_veth(const std::string& name, const std::string& peer, int peer_netns_fd);
  int add_ipv4(const std::string& ifname, in_addr addr, int prefix);
  int set_up(const std::string& ifname);

 private:
  int request(const std::string& msg);  // sends one request, waits for its ack

  int fd_ = -1;
  uint32_t seq_ = 0;
};

}  // namespace sim

#endif  // ZELMIR_SIM_RTNL_H
