#include "simhost_desc.h"

#include <arpa/inet.h>

#include <sstream>

namespace simhost {
namespace {

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t at = s.find(sep, start);
    parts.push_back(s.substr(start, at - start));
    if (at == std::string::npos) return parts;
    start = at + 1;
  }
}

}  // namespace

bool parse_prefix(const std::string& s, Ipv4Prefix* out) {
  size_t slash = s.find('/');
  if (slash == std::string::npos || slash + 1 == s.size() || s.size() - slash > 3) return false;
  std::string addr = s.substr(0, slash), pfx = s.substr(slash + 1);
  int n = 0;
  for (char c : pfx) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  if (n > 32 || (pfx.size() > 1 && pfx[0] == '0')) return false;
  Ipv4Prefix p;
  if (inet_pton(AF_INET, addr.c_str(), &p.addr) != 1) return false;
  p.prefix = n;
  p.text = s;
  *out = p;
  return true;
}

bool valid_ifname(const std::string& name, size_t max_len) {
  if (name.empty() || name.size() > max_len || name == "lo" || name[0] == '-') return false;
  for (char c : name)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
          c == '-'))
      return false;
  return true;
}

bool parse_nic(const std::string& arg, Nic* out, std::string* err) {
  size_t colon = arg.find(':');
  if (colon == std::string::npos) {
    *err = "expected IF:ADDR/PFX[,ADDR/PFX]...";
    return false;
  }
  Nic n;
  n.name = arg.substr(0, colon);
  if (!valid_ifname(n.name, kNicNameMax)) {
    *err = "bad interface name '" + n.name + "' (letters, digits, '_' and '-', at most " +
           std::to_string(kNicNameMax) + ", not lo)";
    return false;
  }
  for (const std::string& a : split(arg.substr(colon + 1), ',')) {
    Ipv4Prefix p;
    if (!parse_prefix(a, &p)) {
      *err = "bad address '" + a + "' (an IPv4 address and a prefix length, e.g. 192.0.2.10/24)";
      return false;
    }
    n.addrs.push_back(p);
  }
  *out = n;
  return true;
}

bool parse_link_end(const std::string& arg, LinkEnd* out, std::string* err) {
  size_t last = arg.rfind(':');
  size_t mid = last == std::string::npos || last == 0 ? std::string::npos : arg.rfind(':', last - 1);
  if (mid == std::string::npos || mid == 0) {
    *err = "expected DIR:IF:ADDR/PFX";
    return false;
  }
  LinkEnd e;
  e.dir = arg.substr(0, mid);
  e.ifname = arg.substr(mid + 1, last - mid - 1);
  if (!valid_ifname(e.ifname, 15)) {
    *err = "bad interface name '" + e.ifname + "' (letters, digits, '_' and '-', at most 15, not lo)";
    return false;
  }
  if (!parse_prefix(arg.substr(last + 1), &e.addr)) {
    *err = "bad address '" + arg.substr(last + 1) + "' (e.g. 10.9.0.1/24)";
    return false;
  }
  *out = e;
  return true;
}

bool HostDesc::has_ifname(const std::string& name) const {
  for (const Nic& n : nics)
    if (n.name == name || n.peer() == name) return true;
  for (const LinkRecord& l : links)
    if (l.ifname == name) return true;
  return false;
}

bool parse_desc(const std::string& text, HostDesc* out, std::string* err) {
  HostDesc d;
  std::istringstream in(text);
  std::string line;
  for (int n = 1; std::getline(in, line); n++) {
    std::istringstream ls(line);
    std::vector<std::string> f;
    for (std::string w; ls >> w;) f.push_back(w);
    if (f.empty()) continue;
    std::string where = "line " + std::to_string(n) + ": ";
    if (f[0] == "nic") {
      Nic nic;
      nic.name = f.size() > 1 ? f[1] : "";
      bool ok = f.size() > 2 && valid_ifname(nic.name, kNicNameMax);
      for (size_t i = 2; ok && i < f.size(); i++) {
        Ipv4Prefix p;
        ok = parse_prefix(f[i], &p);
        nic.addrs.push_back(p);
      }
      if (!ok) {
        *err = where + "want nic IF ADDR/PFX...";
        return false;
      }
      d.nics.push_back(nic);
    } else if (f[0] == "link") {
      LinkRecord l;
      if (f.size() != 6 || !valid_ifname(f[1], 15) || !parse_prefix(f[2], &l.addr) ||
          !valid_ifname(f[4], 15) || !parse_prefix(f[5], &l.peer_addr) || f[3].empty() ||
          f[3][0] != '/') {
        *err = where + "want link IF ADDR/PFX PEERDIR PEERIF PEERADDR/PFX";
        return false;
      }
      l.ifname = f[1];
      l.peer_dir = f[3];
      l.peer_if = f[4];
      d.links.push_back(l);
    } else if (f[0] == "iscsi") {
      if (f.size() != 2 || (f[1] != "on" && f[1] != "off")) {
        *err = where + "want iscsi on|off";
        return false;
      }
      d.iscsi = f[1] == "on";
    }
  }
  *out = d;
  return true;
}

std::string nic_line(const Nic& n) {
  std::string s = "nic " + n.name;
  for (const Ipv4Prefix& p : n.addrs) s += " " + p.text;
  return s + "\n";
}

std::string link_line(const LinkRecord& l) {
  return "link " + l.ifname + " " + l.addr.text + " " + l.peer_dir + " " + l.peer_if + " " +
         l.peer_addr.text + "\n";
}

}  // namespace simhost
