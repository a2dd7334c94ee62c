// The pieces of the iSCSI channel set-up shared by its files: names that
// become iscsiadm's arguments or paths, checked before use; the host's own
// addresses and the agent's interface files; open-iscsi's node records.
// Not for other callers: qor_iscsi.h is the channel's interface.
#ifndef ZELMIR_AGENT_QORCD_QOR_ISCSI_FILES_H
#define ZELMIR_AGENT_QORCD_QOR_ISCSI_FILES_H

#include <stddef.h>
#include <stdint.h>

#include "qor_iscsi.h"

#define QOR_ISCSI_IFACES_DIR "/var/lib/iscsi/ifaces"
#define QOR_ISCSI_NODES_DIR "/var/lib/iscsi/nodes"
#define QOR_ISCSI_SESSION_DIR "/sys/class/iscsi_session"
#define QOR_ISCSI_IFACE_PREFIX "qor_iface_"
#define QOR_ISCSI_BUF 10240  // the buffers of portals and interface names

// An IQN that may become an argument of iscsiadm and a directory under
// QOR_ISCSI_NODES_DIR: 1 to 223 characters of letters, digits and ".:-_",
// beginning with a letter or digit (so never an option, ".", ".." or a
// path).
bool qor_iscsi_iqn_ok(const char* iqn);
// A network interface name that may become part of an interface file's
// name and an argument: 1 to 15 characters of letters, digits and "._-",
// not beginning with "-" or ".".
bool qor_iscsi_ifname_ok(const char* name);

// 1 when the address is unset (0 or 255.255.255.255).
bool qor_iscsi_addr_unset(uint32_t addr);
// The node's address as dotted text in a new 16-byte buffer; null for an
// unset address (or no node).
char* node_ip_str(const qor_iscsi_node* node);
// The node's portal, "ADDR:PORT" or "ADDR" without a port, in a new
// QOR_ISCSI_BUF-byte buffer; null without node or address.
char* get_portal(const qor_iscsi_node* tgt);

// The name of the network interface holding the node's address, in a new
// QOR_ISCSI_BUF-byte buffer; null when no interface (other than lo) holds
// it.
char* get_nic_name(const qor_iscsi_node* init);
// 0 when the node's address is this host's, else -1.
int is_host_ip(const qor_iscsi_node* init);
// "qor_iface_" and the interface name, in a new QOR_ISCSI_BUF-byte buffer;
// null when the address is not this host's.
char* get_iface_name(const qor_iscsi_node* init);
// 0 when the node's interface file exists, else -1.
int is_iface_exist(const qor_iscsi_node* init);
// Writes the node's interface file (under a temporary name of its own, then
// renamed).  0 or -1.
int _creat_iface(const qor_iscsi_node* init);
// The interface to use for the initiator: *iface_name gets a new name when
// its address is this host's (the file written when missing), else null.
// 0, or -1.
int check_before_operate(char** iface_name, const qor_iscsi_node* init);

// Removes every "qor_iface_*" interface file.  0 or -1.
int remove_iscsi_iface(void);
// Removes the IQN's node records: all of them without keep_addr, else those
// of every portal but keep_addr's ("ADDR," begins the name of a record of
// that portal).  0 or -1; no IQN: 0.
int remove_iscsi_node_record(const char* iqn, const char* keep_addr);
// Unlinks a file, or removes a directory and all below it (never following
// a symbolic link).  0 or -1.
int remove_file(const char* path);
// The first line of path (at most size - 1 bytes, without its line feed)
// into buf.  0 or -1.
int get_value(char* buf, const char* path, size_t size);
bool is_dir(const char* path);
bool is_file(const char* path);

#endif  // ZELMIR_AGENT_QORCD_QOR_ISCSI_FILES_H
