// The host's first process (see simhost_boot.cc).
#ifndef ZELMIR_SIM_SIMHOST_BOOT_H
#define ZELMIR_SIM_SIMHOST_BOOT_H

#include <string>

#include "simhost_util.h"

namespace simhost {

// Runs in the new pid namespace as its pid 1, with stdout and stderr on the
// host's log; never returns (becomes simkernel, or exits 1 with the reason in the log).
[[noreturn]] void boot_first_process(const HostDir& h, const std::string& build);

}  // namespace simhost

#endif  // ZELMIR_SIM_SIMHOST_BOOT_H
