// The iSCSI channel to the managing server's target: set up with open-iscsi's
// administration tool and its files (an interface file that binds a session
// to the network interface holding the initiator address, send-targets
// discovery, node login), checked in sysfs, torn down by logout and the
// removal of the agent's interface files and the target's node records.
//
// iscsiadm runs without a shell, from an argument vector, under a time limit
// on the host's clock; every IQN, portal and interface name is checked before
// it becomes an argument or a path.  Routines run on connection threads and
// heartbeat threads at once; they keep no memory of their own.  Only
// qor_is_iscsi_channel_login takes a lock (the configuration lock): its
// callers must not hold it; the others take none and may be called with it
// held.
#ifndef ZELMIR_AGENT_QORCD_QOR_ISCSI_H
#define ZELMIR_AGENT_QORCD_QOR_ISCSI_H

#include <stdint.h>

// One end of a channel.  Callers allocate it zeroed (calloc) and release it
// with qor_iscsi_node_free.
struct qor_iscsi_node {
  char* iqn;      // initiator or target IQN, malloc'ed; null for none
  uint32_t addr;  // IPv4, network byte order; 0 and 255.255.255.255 are unset
  uint16_t port;  // target port, network byte order; 0 when none was given
};

// Frees the node's IQN and the node; null is ignored.
void qor_iscsi_node_free(qor_iscsi_node* node);

// ESTABLISH_CHANNELS' document: the Channel's InitiatorIqn and TargetIqn and
// its Path's InitiatorIP and TargetIP ("ADDR" or "ADDR:PORT"; port 3260 when
// none is given) into the two nodes.  0, or -1 (logged).
int xml_to_iscsinode(qor_iscsi_node* tgt, qor_iscsi_node* init, const char* xml);

// 1 when iscsiadm is present in one of the places open-iscsi installs it.
int iscsiadm_installed(void);
// 1 when an iscsid process runs.
int iscsid_running(void);

// Send-targets discovery at the target's portal (through the initiator's
// interface when its address is this host's); on success the target's node
// records of other portals are removed.  0 or -1.
int qor_iscsi_discover_target(qor_iscsi_node* tgt, qor_iscsi_node* init);
// Node login to the target (IQN and portal as far as given).  0 or -1.
int qor_iscsi_login_channel(qor_iscsi_node* tgt, qor_iscsi_node* init);
// Discovery, then login: 0 only when both succeed.
int qor_establish_iscsi_channel(qor_iscsi_node* tgt, qor_iscsi_node* init);
// Tries the channel from every IPv4 address of this host (less loopback and
// the configured filter), all of them: 0 when at least one came up, else -1.
int qor_establish_iscsi_channel_auto(qor_iscsi_node* tgt);
// 1 when a session to the target's IQN exists (through the initiator's
// interface when it has one), else 0.
int qor_iscsi_channel_exist(qor_iscsi_node* tgt, qor_iscsi_node* init);
// Logs out of the target's IQN: of its sessions at every portal, or at the
// target's portal alone when it has an address.  0 or -1.
int qor_iscsi_logout_channel(qor_iscsi_node* tgt, qor_iscsi_node* init);
// Tears the channel to iqn down: logout, then the channel files.  A failed
// logout keeps the files and gives -1.  No IQN: 0.
int qor_cancel_iscsi_channel_all(const char* iqn);
// The heartbeat's check: when the manager has a TargetIqn and no session to
// it exists, sets the channel up from the manager's addresses in turn,
// holding the configuration lock meanwhile (so the manager cannot change
// under the attempt).  0 only when it established the channel now;
// -1 otherwise (also when a session already exists).
int qor_is_iscsi_channel_login(void);
// Removes every "qor_iface_*" interface file and the IQN's node records.
// 0 or -1; no IQN: 0.
int qor_remove_channel_file(const char* iqn);

#endif  // ZELMIR_AGENT_QORCD_QOR_ISCSI_H
