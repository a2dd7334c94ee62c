// Network interfaces of hosts: a host's own (made by its first process at
// every boot) and links between two running hosts (simhost link), which are
// recorded in both hosts' descriptions and made again when either starts
// while the other runs.
#ifndef ZELMIR_SIM_SIMHOST_NET_H
#define ZELMIR_SIM_SIMHOST_NET_H

#include <string>
#include <vector>

#include "simhost_desc.h"
#include "simhost_util.h"

namespace simhost {

// In the host's own network namespace (the caller is in it): each nic as a
// veth pair, its addresses on the named end, both ends up. "" or what failed.
std::string make_nics(const std::vector<Nic>& nics);

// simhost link DIRA:IF:ADDR/PFX DIRB:IF:ADDR/PFX
int cmd_link(const std::vector<std::string>& args);

// After a start: makes the host's recorded links whose peer runs (and that
// the peer's own start did not make meanwhile). Prints a warning for a link
// it could not make; the host runs on without it.
void remake_links(const HostDir& h);

}  // namespace simhost

#endif  // ZELMIR_SIM_SIMHOST_NET_H
