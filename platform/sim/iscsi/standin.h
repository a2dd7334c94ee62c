// What the host's open-iscsi stand-ins (iscsiadm, iscsid, service) share:
// where they live and keep their files, and whether iscsid runs.
#ifndef ZELMIR_SIM_ISCSI_STANDIN_H
#define ZELMIR_SIM_ISCSI_STANDIN_H

#include <string>
#include <vector>

namespace simiscsi {

inline constexpr char kIscsiadm[] = "/usr/local/sbin/iscsiadm";
inline constexpr char kIscsid[] = "/usr/local/sbin/iscsid";
inline constexpr char kService[] = "/usr/sbin/service";
inline constexpr char kIfacesDir[] = "/var/lib/iscsi/ifaces";
inline constexpr char kNodesDir[] = "/var/lib/iscsi/nodes";
inline constexpr char kInitiatorFile[] = "/etc/iscsi/initiatorname.iscsi";
// The targets the host can reach, written by a test:
//   target IQN ADDR[:PORT] [refuse-login] [lun NAME:SIZE:GUID]...
inline constexpr char kTargetsFile[] = "/etc/simhost/iscsi-targets";
// Every argument vector iscsiadm was run with, a JSON array a line.
inline constexpr char kCallLog[] = "/var/log/iscsiadm.log";

// The pids of the host's running iscsid processes (by their command name, as
// pgrep finds them), leaving out `except`.
std::vector<int> iscsid_pids(int except = 0);

// The argument vector as one JSON array of strings.
std::string json_array(const std::vector<std::string>& args);

}  // namespace simiscsi

#endif  // ZELMIR_SIM_ISCSI_STANDIN_H
