// The host's open-iscsi: stand-ins for iscsiadm, iscsid and "service", the
// initiator's name and open-iscsi's directories, installed at every start
// into a host whose description does not say "iscsi off".
#ifndef ZELMIR_SIM_SIMHOST_ISCSI_H
#define ZELMIR_SIM_SIMHOST_ISCSI_H

#include <string>

#include "simhost_util.h"

namespace simhost {

// Into the upper layer, before the overlay is mounted.  True, or false with
// *err.
bool install_iscsi(const HostDir& h, const std::string& build, std::string* err);

}  // namespace simhost

#endif  // ZELMIR_SIM_SIMHOST_ISCSI_H
