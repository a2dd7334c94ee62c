#include "simhost_iscsi.h"

#include <errno.h>
#include <string.h>

#include "simhost_desc.h"

namespace simhost {
namespace {

// Stand-in (in <build>/libexec/simhost) -> where the host has it.  iscsiadm
// lies in the first of the places the agent looks in.
const struct {
  const char* name;
  const char* path;
} kStandins[] = {
    {"iscsiadm", "/usr/local/sbin/iscsiadm"},
    {"iscsid", "/usr/local/sbin/iscsid"},
    {"service", "/usr/sbin/service"},
};

}  // namespace

bool install_iscsi(const HostDir& h, const std::string& build, std::string* err) {
  std::string text;
  HostDesc desc;
  if (!read_text(h.conf(), &text) || !parse_desc(text, &desc, err)) {
    if (err->empty()) *err = h.conf() + ": " + strerror(errno);
    return false;
  }
  if (!desc.iscsi) return true;
  for (const auto& s : kStandins) {
    std::string src = build + "/libexec/simhost/" + s.name;
    std::string dst = h.upper() + s.path;
    std::string dir = dst.substr(0, dst.rfind('/'));
    if (!mkdir_p(dir) || !place_file(src, dst)) {
      *err = dst + " (from " + src + "): " + strerror(errno);
      return false;
    }
  }
  for (const char* dir : {"/var/lib/iscsi/ifaces", "/var/lib/iscsi/nodes", "/etc/iscsi"}) {
    if (!mkdir_p(h.upper() + dir)) {
      *err = h.upper() + dir + ": " + strerror(errno);
      return false;
    }
  }
  // The initiator's name is the host's own once made; a test may write its own.
  std::string initiator = h.upper() + "/etc/iscsi/initiatorname.iscsi";
  if (!exists(initiator)) {
    std::string host;
    read_text(h.upper() + "/etc/hostname", &host);
    while (!host.empty() && host.back() == '\n') host.pop_back();
    if (!write_text(initiator, "InitiatorName=iqn.2026-12.sim.zelmir:" + host + "\n")) {
      *err = initiator + ": " + strerror(errno);
      return false;
    }
  }
  return true;
}

}  // namespace simhost
