// The host's storage transports as the kernel shows them in /sys: iSCSI
// sessions (/sys/class/iscsi_session/sessionN with targetname, ifacename and
// state; the portal of a session that has one in
// /sys/class/iscsi_connection/connectionN:0 with persistent_address and
// persistent_port) and FC host ports (/sys/class/fc_host/NAME with port_name).  Kernel
// state: none of it outlives a boot.
#ifndef ZELMIR_SIM_TRANSPORT_TREE_H
#define ZELMIR_SIM_TRANSPORT_TREE_H

#include <map>
#include <string>
#include <string_view>

namespace sim {

// An IQN as a session or a node record may carry it: 1 to 223 printable
// characters without blank or '/', and not "." or "..", so it can name a
// file.
bool valid_iqn(std::string_view iqn);
// An open-iscsi interface name: letters, digits and "_.:-", at most 64, not
// "." or "..".
bool valid_iface_name(std::string_view name);
// An FC port name: "0x" and 1 to 16 hexadecimal digits.
bool valid_wwn(std::string_view wwn);

class TransportTree {
 public:
  explicit TransportTree(std::string sys = "/sys") : sys_(std::move(sys)) {}

  // Makes the class directories. 0 or -errno.
  int init();
  // A new session to iqn through iface ("" is "default") at portal
  // ("ADDR:PORT", or "" for none): 0, -EINVAL for a bad name or portal,
  // -EEXIST when that target, interface and portal have one already.
  int session_add(const std::string& iqn, const std::string& iface, const std::string& portal,
                  std::string* msg);
  // Ends the sessions to iqn (through iface only, and at portal only, when
  // given): 0, or -ENOENT when there was none.
  int session_remove(const std::string& iqn, const std::string& iface, const std::string& portal,
                     std::string* msg);
  int fc_add(const std::string& name, const std::string& wwn, std::string* msg);
  int fc_remove(const std::string& name, std::string* msg);

 private:
  struct Session {
    std::string iqn, iface, portal;
  };
  std::string session_dir(unsigned id) const;
  std::string connection_dir(unsigned id) const;
  std::string fc_dir(const std::string& name) const;

  std::string sys_;
  unsigned next_session_ = 1;  // the kernel never reuses a number within a boot
  std::map<unsigned, Session> sessions_;
  std::map<std::string, std::string> fc_hosts_;  // name -> WWN
};

}  // namespace sim

#endif  // ZELMIR_SIM_TRANSPORT_TREE_H
