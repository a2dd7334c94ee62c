// What the mirror-relationship and snapshot handlers share: the wait for a
// disk to appear, the reload of the inventory's relationships after a
// protection changed, the documents that list the items a command failed
// on, and the two handlers that rescan the devices around ADD_BACKUP and
// DEL_BACKUP.
//
// None of these holds a lock across a call into libmirapi, a sleep or a
// rescan.
#ifndef ZELMIR_AGENT_QORCD_QOR_MIRROR_H
#define ZELMIR_AGENT_QORCD_QOR_MIRROR_H

#include <stddef.h>
#include <stdint.h>

#include "qor_transport.h"

// ---- Waiting for a disk ----

// A disk that is not there yet gets nine passes: the first four sleep 1, 2,
// 3 and 4 seconds, the fifth rescans all devices instead, the last four
// sleep 6, 7, 8 and 9 seconds (40 seconds of sleep in all).
constexpr int QOR_WAIT_PASSES = 9;
constexpr int QOR_RESCAN_PASS = 4;

// Carries out pass `pass` (0 .. QOR_WAIT_PASSES - 1) on the host's clock.
void qor_wait_pass(int pass);

// ---- The inventory ----

// Builds the host's relationships afresh from zelmird (with the schedules of
// g_qor, read under its lock) and swaps them into g_client under
// g_client.lock.  The caller holds neither lock.
void qor_reload_backups(void);

// ---- Failure documents ----

// The reply documents that list what a command could not do, one kind per
// command; each item is written with its source GUID and, for ADD_BACKUP,
// its mirror GUID.
enum qor_failure_kind {
  QOR_FAIL_ADD_BACKUP,     // BackupList / Device: SrcGUID, rtnStatus "1", DestGUID
  QOR_FAIL_DEL_BACKUP,     // BackupList Count IsCluster / Device: SrcGUID, RtnStatus "10016"
  QOR_FAIL_INIT_MIRROR,    // BackupList Count / Backup: SrcGUID, RtnStatus "10018"
  QOR_FAIL_CANCEL_MIRROR,  // BackupList Count / Backup: SrcGUID, RtnStatus "10019"
};

struct qor_failure_item {
  const char* src;   // null gives an empty attribute
  const char* dest;  // ADD_BACKUP only
};

// The document in a new malloc'ed, NUL-terminated text and its length in
// *len, or null when it cannot be built (logged).
char* qor_failure_xml(qor_failure_kind kind, const qor_failure_item* items, size_t count,
                      uint32_t* len);

// ---- Handlers outside the command table ----

// Rescans all devices, then runs add_backup; its status.
int add_backup_rescan(qorc_req* req);
// Runs del_backup, then rescans all devices; del_backup's status.
int del_backup_rescan(qorc_req* req);

#endif  // ZELMIR_AGENT_QORCD_QOR_MIRROR_H
