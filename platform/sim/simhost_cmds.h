// The commands of simhost, one function each; each returns the exit status.
#ifndef ZELMIR_SIM_SIMHOST_CMDS_H
#define ZELMIR_SIM_SIMHOST_CMDS_H

#include <string>
#include <vector>

namespace simhost {

// Where the host sees its disk images (a bind mount of DIR/disks).
constexpr const char* kHostDisksDir = "/var/lib/simhost/disks";
constexpr int kReadyTimeoutMs = 30000;
constexpr int kStopTimeoutMs = 30000;

int cmd_create(const std::vector<std::string>& args);   // DIR [options]
int cmd_start(const std::string& dir);
int cmd_stop(const std::string& dir);
int cmd_crash(const std::string& dir);
int cmd_status(const std::string& dir);
int cmd_exec(const std::string& dir, const std::vector<std::string>& argv);

}  // namespace simhost

#endif  // ZELMIR_SIM_SIMHOST_CMDS_H
