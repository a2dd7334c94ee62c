// The consistency groups of g_qor as the group commands change them.  The
// Tidewell server's commands (BG_CREATE, ADD_DISK_TO_BG, DEL_BACKUP_GRP) and
// the CDP agent's (ZEL_CREATE_GROUP, ZEL_ADD_MEMBER, ZEL_DELETE_GROUP) take
// the same steps; they differ in their requests, in some statuses and in
// their log texts, which the callers pass in.
//
// Each step takes the configuration lock once and does its lookup and its
// change in that one hold, so two requests for the same group are served one
// after the other, and saves the configuration before it lets go.  The job
// functions are called with the lock held (configuration, then job_lock).
#ifndef ZELMIR_AGENT_QORCD_QOR_GROUPS_H
#define ZELMIR_AGENT_QORCD_QOR_GROUPS_H

#include <stddef.h>

#include "qor_jobs.h"
#include "qor_model.h"

// A member's GUID is a disk's GUID text; a group mark hands the outside
// library each member's mirror in a fixed field of this many characters.
constexpr size_t QOR_GROUP_GUID_MAX = 36;
// A group's name is the key of its job and travels in the parsers'
// 512-byte buffers.
constexpr size_t QOR_GROUP_NAME_MAX = QOR_JOB_TEXT - 1;

// Whether a parsed group request may be acted on: 0 when it may; 4 when it
// has no name (or an empty one), which could never name a group; 1 when its
// name or a member's GUID is longer than a group can hold.  Logged.
int qor_group_request_status(const backup_group* req);
// The same test of the name alone, for a request that names a group and
// uses nothing else of it (a deletion).
int qor_group_name_status(const backup_group* req);

// The first group of qor named name (strcmp), or null.  A stored group
// without a name matches nothing.  The caller holds qor's mutex.
backup_group* qor_find_group(qor_t* qor, const char* name);

// The status of the two steps below for a host that lost its manager after
// the command's first test; they test again under the lock.
constexpr int QOR_GROUP_UNMANAGED = 50;

// Appends req to g_qor's groups as a new group without schedule unless a
// group has its name.  req is taken in both cases.  0, in_use_status, or
// QOR_GROUP_UNMANAGED.
int qor_group_create(backup_group* req, int in_use_status);

// Moves the members of req to the tail of the members of the group named
// like req (a disk already a member is added again).  Each disk that joins
// gives up its own CDP schedule: its job, and its cdpsch records when it had
// a job.  The group is looked up first: when there is none nothing changes
// and the answer is 1.  searching is the command's log line before the
// disks' own schedules are looked for.  req is taken.  0, 1, or
// QOR_GROUP_UNMANAGED.
int qor_group_add_members(backup_group* req, const char* searching);

// Unlinks, unschedules and frees the first group named like req; its
// members keep no schedule of their own.  req is taken.  0, or 1 when there
// is none (logged only when log_not_found).
int qor_group_delete(backup_group* req, bool log_not_found);

#endif  // ZELMIR_AGENT_QORCD_QOR_GROUPS_H
