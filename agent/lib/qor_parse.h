// The request parsers: each command handler hands the payload of its request
// (a NUL-terminated "Tidewell" document) to one of these, which checks the
// document, picks out its command's element and attributes and returns them
// as agent records or in the caller's buffers.  Every failure is logged (the
// texts are the protocol's own) and reported by the result; nothing is kept
// between calls, so any number of connection threads may parse at once.
//
// Texts and records returned are new allocations owned by the caller; list
// entries are appended in document order.  A request without payload (a
// null text) fails in every parser.
#ifndef ZELMIR_AGENT_LIB_QOR_PARSE_H
#define ZELMIR_AGENT_LIB_QOR_PARSE_H

#include <stddef.h>
#include <stdint.h>

#include "hm_list.h"
#include "qor_model.h"
#include "qor_xml.h"

struct ZelApp;

// The caller's buffers for group names, disk GUIDs and IDs.  A value that
// does not fit (512 characters or more) is refused, never cut: a shortened
// GUID or name would name something else.
constexpr size_t QOR_ARG_BUF = 512;

// What a Snap or Schedule names: one disk (by GUID) or a consistency group
// (by name).
enum qor_source_type {
  QOR_SOURCE_DISK = 0,
  QOR_SOURCE_GROUP = 1,
};

// The schedule of ADD_BACKUP, wall-clock seconds.
struct qor_schedule {
  uint64_t start_time;
  uint32_t interval;
};

// DB_SET: the DBSet element.  A new ZelApp (host and port left unset), or
// null.  *is_cluster is 1 only for IsCluster "1".
ZelApp* xml_to_ZelApp(const char* xml, int* is_cluster);

// BG_CREATE, ADD_DISK_TO_BG: the BGCreate element with BGName and one member
// per SrcDisk's SrcGUID.  A new group (schedule 0), or null.
backup_group* xml_to_backup_grp(const char* xml, int* is_cluster);

// ZEL_CREATE_GROUP, ZEL_DELETE_GROUP, ZEL_ADD_MEMBER, ZEL_DEL_MEMBER: the
// Group element with "name" and one member per Disk's "guid".
backup_group* xml_zel_to_backup_grp(const char* xml, int* is_cluster);

// ADD_CLIENT, REFRESH_SERVER, the heartbeat reply: a new manager from the
// root's first child when that is a Server element (ID, IPs, TargetIqn);
// without one, a manager with nothing set.  Null only when the document
// cannot be read.
qor_manager* xml_to_manager(const char* xml);

// RENAME_CLIENT: a copy of the Alias of the root's first child when that is
// a Client element, else null.
char* xml_to_alias(const char* xml);

// INIT_MIRROR, CANCEL_INIT_MIRROR: appends one guid_entry per SrcGUID of the
// Backup elements of BackupList to guids, which the caller initialised.
// 0, or -1 (what was appended stays the caller's).
int xml_to_bp_srcguid(const char* xml, struct list_head* guids);

// REM_DISK_FROM_BG: when the root's first child is RemBGDisk, its BGName and
// SrcGUID into the caller's two QOR_ARG_BUF-byte buffers (each only when
// present).  0, or -1 when the document cannot be read or a value does not
// fit.
int xml_to_bg_info(char* guid, char* grp, const char* xml);

// No command reads it: when the root's first child is a Backup element, its
// SrcGUID into src_guid and its DestGUID less the first five characters and
// the last one ("zel_{" GUID "}" gives the GUID) into dest_guid, the
// caller's two QOR_ARG_BUF-byte buffers, each only when present (a DestGUID
// of fewer than six characters holds no GUID and leaves dest_guid alone).
// 0, or -1 when the document cannot be read or a value does not fit.
int xml_to_volname(const char* xml, char* src_guid, char* dest_guid);
// DEL_BACKUP_GRP: a new group holding only the BGName of BGDelete, or null.
// *is_cluster is written only on success.
backup_group* xml_to_del_grp(const char* xml, int* is_cluster);

// CREATE_SNAPSHOT: the Snap element's SourceType (qor_source_type) and
// Source (for a disk the GUID between its braces) and IsCluster, all
// required.  0, or -1; a source already handed over stays the caller's.
int xml_to_snap_guid(const char* xml, char** source, int* source_type, int* is_cluster);

// ZEL_CREATE_CDP, ZEL_GET_CDP_SCHEDULE, ZEL_DEL_CDP_SCHEDULE: as
// xml_to_snap_guid without IsCluster; *is_cluster is always 0.
int xml_zel_to_snapshot(const char* xml, char** source, int* source_type, int* is_cluster);

// SNAP_RESTORE: initialises guids and appends one guid_entry per Snap's
// SnapVolGUID (the GUID between its braces).  0, or -1.
int xml_to_snap_vol_guid(const char* xml, struct list_head* guids);

// DBCFG_DEL: a copy of the InstanceName of DBCfgDel, or null.
char* xml_to_instance_name(const char* xml, int* is_cluster);

// DEL_CLIENT: the ID of the last Server element of the root into server_id
// and of the last Client element into client_id (QOR_ARG_BUF bytes each); a
// buffer without an ID is left as it was, one whose last ID does not fit is
// emptied.
void xml_to_pair(char* server_id, char* client_id, const char* xml);

// ADD_BACKUP: the Schedule (StartTime, IntervalSeconds, Source, SourceType,
// all required) into *sched, the group name into grp (QOR_ARG_BUF bytes;
// emptied for a single-disk request), and one cdpsch per Backup of
// BackupList appended to schs; then every record of schs gets the
// schedule's start time and interval.  0, or -1.
int xml_to_cdpsch_list(const char* xml, struct list_head* schs, qor_schedule* sched, char* grp);

#endif  // ZELMIR_AGENT_LIB_QOR_PARSE_H
