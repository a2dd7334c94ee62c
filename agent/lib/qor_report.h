// The documents the agent writes about itself: the client report that tells
// the Tidewell server what the host is and holds (short for SCAN_CLIENT,
// full for ADD_CLIENT, GET_CLIENT_INFO and every heartbeat), and the local
// list reply that carries the configuration handle to qorctl, with its
// reader.  Each text is serialised as it goes on the wire (declaration, a
// newline, the root on one line, a newline), new and owned by the caller;
// *len receives its length without the terminating NUL.
#ifndef ZELMIR_AGENT_LIB_QOR_REPORT_H
#define ZELMIR_AGENT_LIB_QOR_REPORT_H

#include <stddef.h>
#include <stdint.h>

#include "hm_list.h"
#include "qor_client.h"
#include "qor_model.h"

// The client report as handlers send it.  With qor (ADD_CLIENT,
// GET_CLIENT_INFO, the heartbeat pass g_qor and full 1) the groups are
// copied under qor's configuration lock, which is released before
// client->lock is taken for the build, so the agent's lock order holds and
// no group is read while a handler changes it; without qor (SCAN_CLIENT,
// full 0) there is no GroupList.  The caller holds neither lock.  Null when
// memory runs out or the document cannot be written.
char* qor_client_report(qor_client* client, qor_t* qor, int full, uint32_t* len);

// The report itself.  full 0: the root and the Client element with its host
// facts; full 1 adds the alias, DiskList, ChannelList, BackupList,
// DataBaseList and, when groups is not null, GroupList.  groups is a list of
// backup_group that no other thread can change (qor_copy_groups makes one).
// The caller holds client->lock.
char* client_to_xml(const qor_client* client, const struct list_head* groups, int full,
                    uint32_t* len);

// Copies the groups of qor (names, schedules, members) to out, an empty list
// the caller initialised, under qor's mutex.  0, or -1 when memory runs out
// (nothing is copied).  Released with backup_grp_list_free.
int qor_copy_groups(qor_t* qor, struct list_head* out);

// The local list reply (LOCAL_LIST): client GUID and alias, the manager's
// GUID and addresses, the disk schedules.  Null for a null handle.  The
// caller holds the handle's mutex.
char* qor_to_xml(const qor_t* qor, uint32_t* len);

// A new handle (qor_free) read back from a local list reply, or null.
qor_t* xml_to_qor(const char* xml);

// The DBOEM value as 32 characters "0" or "1", most significant bit first:
// a new 33-byte text, or null when memory runs out.
char* dboem_to_bits(int32_t dboem);

// An FC port name "0x" followed by hexadecimal digits as the digits in pairs
// joined by ":" (the first two characters are dropped whatever they are).
// Writes the text and its terminator into out (size bytes) and returns its
// length; -1 with out untouched for a null name, one shorter than 3
// characters or of odd length, and one whose text would not fit.
int wwn_to_colon(char* out, size_t size, const char* port_name);

// Debug dumps of one part of an inventory record, with no caller in the
// daemon: the report's elements and attributes written by hand, one element
// a line, two spaces of indentation a level.  xml_print_simple_client
// writes the Client element with the short report's facts; the others a
// DiskList (every disk of the record with its partitions, those the report
// leaves out included), ChannelList, BackupList or DataBaseList.  Each logs
// its text at level 7 behind "###" and returns it, new, for the caller to
// free; null for a null record or when memory runs out.  The caller holds
// client->lock.
char* xml_print_simple_client(const qor_client* client);
char* xml_print_disks(const qor_client* client);
char* xml_print_channels(const qor_client* client);
char* xml_print_backups(const qor_client* client);
char* xml_print_databases(const qor_client* client);

#endif  // ZELMIR_AGENT_LIB_QOR_REPORT_H
