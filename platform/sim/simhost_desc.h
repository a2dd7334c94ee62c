// What simhost itself reads from a host's description (DIR/host.conf) beside
// the disks simkernel looks after: the host's network interfaces, its links
// to other hosts, and whether it has iSCSI.
//
//   nic IF ADDR/PFX...                       an interface of the host's own
//   link IF ADDR/PFX PEERDIR PEERIF PEERADDR/PFX   a link to another host
//   iscsi off                                the host has no open-iscsi
#ifndef ZELMIR_SIM_SIMHOST_DESC_H
#define ZELMIR_SIM_SIMHOST_DESC_H

#include <netinet/in.h>

#include <string>
#include <vector>

namespace simhost {

struct Ipv4Prefix {
  in_addr addr{};
  int prefix = 0;
  std::string text;  // as given: "192.0.2.10/24"
};
// "a.b.c.d/N", N from 0 to 32.
bool parse_prefix(const std::string& s, Ipv4Prefix* out);

// A network interface name the kernel takes: letters, digits, '_' and '-'
// (not first), at most max_len characters, and not "lo".
bool valid_ifname(const std::string& name, size_t max_len);

// A veth pair made inside the host at every start; the peer end stays in the
// host without an address.
struct Nic {
  std::string name;
  std::vector<Ipv4Prefix> addrs;
  std::string peer() const { return name + "-peer"; }
};
inline constexpr size_t kNicNameMax = 10;  // the peer's name must fit IFNAMSIZ too
// "eth0:192.0.2.10/24[,192.0.2.11/24]..."; false with *err.
bool parse_nic(const std::string& arg, Nic* out, std::string* err);

struct LinkEnd {
  std::string dir;  // the host directory, as given
  std::string ifname;
  Ipv4Prefix addr;
};
// "DIR:IF:ADDR/PFX"; a host directory holds no ':' so the last two split it.
bool parse_link_end(const std::string& arg, LinkEnd* out, std::string* err);

struct LinkRecord {
  std::string ifname;
  Ipv4Prefix addr;
  std::string peer_dir, peer_if;
  Ipv4Prefix peer_addr;
};

struct HostDesc {
  std::vector<Nic> nics;
  std::vector<LinkRecord> links;
  bool iscsi = true;
  // True when the host has an interface of that name by its description.
  bool has_ifname(const std::string& name) const;
};
// Reads the lines above from a host.conf text; other lines are not simhost's.
bool parse_desc(const std::string& text, HostDesc* out, std::string* err);
std::string nic_line(const Nic& n);
std::string link_line(const LinkRecord& l);

}  // namespace simhost

#endif  // ZELMIR_SIM_SIMHOST_DESC_H
