#include "transport_tree.h"

#include <cerrno>
#include <unistd.h>

#include "device_tree.h"

namespace sim {
namespace {

bool dot_name(std::string_view s) { return s == "." || s == ".."; }

void link_to(const std::string& target, const std::string& path) {
  ::unlink(path.c_str());
  ::symlink(target.c_str(), path.c_str());
}

}  // namespace

bool valid_iqn(std::string_view iqn) {
  if (iqn.empty() || iqn.size() > 223 || dot_name(iqn)) return false;
  for (char c : iqn)
    if (c <= ' ' || c > '~' || c == '/') return false;
  return true;
}

bool valid_iface_name(std::string_view name) {
  if (name.empty() || name.size() > 64 || dot_name(name)) return false;
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '_' || c == '.' || c == ':' || c == '-';
    if (!ok) return false;
  }
  return true;
}

bool valid_wwn(std::string_view wwn) {
  if (wwn.size() < 3 || wwn.size() > 18 || wwn.substr(0, 2) != "0x") return false;
  for (char c : wwn.substr(2))
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
  return true;
}

int TransportTree::init() {
  for (const char* cls : {"/class/iscsi_session", "/class/iscsi_connection", "/class/fc_host"}) {
    int rc = make_dirs(sys_ + cls);
    if (rc < 0) return rc;
  }
  return 0;
}

// Each session hangs below a SCSI host of its own, as iscsi_tcp makes one
// per session; host numbers from 100 keep clear of the disks' host0.
std::string TransportTree::session_dir(unsigned id) const {
  std::string s = std::to_string(id);
  return "devices/platform/host" + std::to_string(100 + id) + "/session" + s +
         "/iscsi_session/session" + s;
}

// A session's one connection, beside it below the session's device, as
// the kernel names it: connection<session>:<cid>.
std::string TransportTree::connection_dir(unsigned id) const {
  std::string c = "connection" + std::to_string(id) + ":0";
  return "devices/platform/host" + std::to_string(100 + id) + "/session" + std::to_string(id) +
         "/" + c + "/iscsi_connection/" + c;
}

std::string TransportTree::fc_dir(const std::string& name) const {
  return "devices/platform/fc/" + name + "/fc_host/" + name;
}

int TransportTree::session_add(const std::string& iqn, const std::string& iface_in,
                               const std::string& portal, std::string* msg) {
  std::string iface = iface_in.empty() ? "default" : iface_in;
  std::string addr, port;
  if (!portal.empty()) {
    size_t colon = portal.rfind(':');
    addr = portal.substr(0, colon);
    port = colon == std::string::npos ? "" : portal.substr(colon + 1);
  }
  if (!valid_iqn(iqn) || !valid_iface_name(iface) ||
      (!portal.empty() && (addr.empty() || port.empty() || !valid_iface_name(addr) ||
                           port.find_first_not_of("0123456789") != std::string::npos))) {
    *msg = "bad target IQN, interface name or portal";
    return -EINVAL;
  }
  for (const auto& [id, s] : sessions_) {
    if (s.iqn == iqn && s.iface == iface && s.portal == portal) {
      *msg = "session" + std::to_string(id) + " to " + iqn + " through " + iface +
             (portal.empty() ? "" : " at " + portal) + " exists";
      return -EEXIST;
    }
  }
  unsigned id = next_session_++;
  std::string dir = sys_ + "/" + session_dir(id);
  std::string conn = sys_ + "/" + connection_dir(id);
  int rc = make_dirs(dir);
  if (rc == 0) rc = write_in_place(dir + "/targetname", iqn + "\n");
  if (rc == 0) rc = write_in_place(dir + "/ifacename", iface + "\n");
  if (rc == 0) rc = write_in_place(dir + "/state", "LOGGED_IN\n");
  if (rc == 0 && !portal.empty()) {
    rc = make_dirs(conn);
    if (rc == 0) rc = write_in_place(conn + "/persistent_address", addr + "\n");
    if (rc == 0) rc = write_in_place(conn + "/persistent_port", port + "\n");
  }
  if (rc < 0) {
    remove_tree(sys_ + "/devices/platform/host" + std::to_string(100 + id));
    *msg = "cannot write " + dir;
    return rc;
  }
  link_to("../../" + session_dir(id), sys_ + "/class/iscsi_session/session" + std::to_string(id));
  if (!portal.empty()) {
    link_to("../../" + connection_dir(id),
            sys_ + "/class/iscsi_connection/connection" + std::to_string(id) + ":0");
  }
  sessions_[id] = Session{iqn, iface, portal};
  return 0;
}

int TransportTree::session_remove(const std::string& iqn, const std::string& iface,
                                  const std::string& portal, std::string* msg) {
  int removed = 0;
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    if (it->second.iqn != iqn || (!iface.empty() && it->second.iface != iface) ||
        (!portal.empty() && it->second.portal != portal)) {
      ++it;
      continue;
    }
    ::unlink((sys_ + "/class/iscsi_session/session" + std::to_string(it->first)).c_str());
    ::unlink((sys_ + "/class/iscsi_connection/connection" + std::to_string(it->first) + ":0").c_str());
    remove_tree(sys_ + "/devices/platform/host" + std::to_string(100 + it->first));
    it = sessions_.erase(it);
    ++removed;
  }
  if (removed == 0) {
    *msg = "no session to " + iqn + (iface.empty() ? "" : " through " + iface) +
           (portal.empty() ? "" : " at " + portal);
    return -ENOENT;
  }
  return 0;
}

int TransportTree::fc_add(const std::string& name, const std::string& wwn, std::string* msg) {
  if (!valid_iface_name(name) || name.find(':') != std::string::npos || !valid_wwn(wwn)) {
    *msg = "bad FC host name or WWN";
    return -EINVAL;
  }
  if (fc_hosts_.count(name)) {
    *msg = "FC host " + name + " exists";
    return -EEXIST;
  }
  std::string dir = sys_ + "/" + fc_dir(name);
  int rc = make_dirs(dir);
  if (rc == 0) rc = write_in_place(dir + "/port_name", wwn + "\n");
  if (rc == 0) rc = write_in_place(dir + "/port_state", "Online\n");
  if (rc < 0) {
    remove_tree(sys_ + "/devices/platform/fc/" + name);
    *msg = "cannot write " + dir;
    return rc;
  }
  link_to("../../" + fc_dir(name), sys_ + "/class/fc_host/" + name);
  fc_hosts_[name] = wwn;
  return 0;
}

int TransportTree::fc_remove(const std::string& name, std::string* msg) {
  if (!fc_hosts_.erase(name)) {
    *msg = "no FC host " + name;
    return -ENOENT;
  }
  ::unlink((sys_ + "/class/fc_host/" + name).c_str());
  remove_tree(sys_ + "/devices/platform/fc/" + name);
  return 0;
}

}  // namespace sim
