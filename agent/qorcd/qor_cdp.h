// CDP schedules on the timer and the marks they make: one job per scheduled
// disk (JOB_DISK_CDP) and per scheduled group (JOB_GROUP_CDP), their
// callbacks, the mark threads, the device group handed to the CDP agent's
// library for a group mark, and the removal of schedules and groups from the
// configuration.
//
// Locks: the configuration lock, then g_client.lock, then job_lock (taken
// inside the job operations), as everywhere in the agent.  The job
// operations take only job_lock and may be called with the other two held.
#ifndef ZELMIR_AGENT_QORCD_QOR_CDP_H
#define ZELMIR_AGENT_QORCD_QOR_CDP_H

#include <pthread.h>
#include <stddef.h>

#include "qor_jobs.h"
#include "qor_model.h"

// ---- Jobs ----

// Registers the job of a disk schedule in place of the disk's present one
// (both in one hold of job_lock: a disk never has two jobs, nor none while a
// schedule changes); the first firing at the schedule's start time (wall
// clock) converted once to the monotonic clock, then every interval.  0, or
// -1 (no schedule or local GUID, no memory, not added).  A schedule whose
// interval is 0 is no schedule: nothing is registered (a log says so) and
// the answer is 0, so a stored schedule of that kind cannot end the daemon
// at start.
int _register_for_cdpsch(const cdpsch* sch);
// The same for a group's schedule: 0 or -1.  A group's start time is used
// as it stands: one in the past makes the job due at once.
int _register_for_grpsch(const backup_group* grp);
// Remove the job of a disk or of a group when there is one.
void unregister_cdp_job(const char* local_guid);
void unregister_grp_job(const char* group_name);

// The callbacks of the due jobs (under job_lock): each starts a mark thread
// with its own copy of the job's text.  0 when it started, else -1.
int _create_snapshot(job_status* job);
int _create_grp_snapshot(job_status* job);

// ---- Marks ----

// The mark threads: the argument is a malloc'ed copy of the mirror GUID or
// the group name, which the thread frees.
void* mark_cdp_thread(void* mirror_guid);
void* mark_grp_cdp_thread(void* group_name);

// What the threads do, on the caller's thread.  The disk mark checks that
// every relationship to this mirror is synchronized, then asks for one mark
// (a failed mark re-probes the devices once and is not retried).  The group
// mark holds the configuration lock from its search to the end of the
// library call, checks each member's relationship and marks the device
// group.  0 when the mark was made, -1 otherwise (logged).
int cdp_mark_disk(const char* mirror_guid);
int cdp_mark_group(const char* group_name);

// Whether the relationships of g_client to a mirror (or from a primary) are
// synchronized: QOR_SYNCED when there is one and every one is, QOR_UNSYNCED
// when one is not, QOR_NO_RELATIONSHIP when there is none.  Take
// g_client.lock.
enum qor_sync_check { QOR_SYNCED = 0, QOR_UNSYNCED = 1, QOR_NO_RELATIONSHIP = 2 };
int qor_mirror_sync_state(const char* mirror_guid);
int qor_source_sync_state(const char* local_guid);

// "{" GUID "}" into out (size bytes with the terminator); -1 (logged) when
// there is no GUID or it does not fit, leaving out empty.
int qor_braced_guid(char* out, size_t size, const char* guid);
// The size of a mark name buffer.
#define QOR_MARK_NAME 64

// The device group of a consistency group: one Zeldev per disk of g_client
// that is the mirror of a member's relationship, in member order; a member
// whose mirror disk is not in the inventory is left out.  Null (logged) for
// no group, a member without relationship, a mirror GUID that does not fit
// a Zeldev, or no memory.  Takes g_client.lock; the caller frees the result
// with zeldevgrp_free.
Zeldevgrp* _bkup_grp_to_cdp_zelgrp(const backup_group* grp);
// Frees a device group on every way out of a scope.
struct ZeldevgrpGuard {
  Zeldevgrp* grp;
  ~ZeldevgrpGuard() { zeldevgrp_free(grp); }
};

// ---- The configuration's schedules and groups ----

// Under mutex (when given): unlinks and frees every cdpsch of g_qor whose
// local GUID is local_guid, or every one when local_guid is null.  Jobs are
// not touched.
void qor_remove_cdpsch(const char* local_guid, pthread_mutex_t* mutex);
// Under the configuration lock: unlinks and frees every group of g_qor.
void qor_remove_groups(void);

#endif  // ZELMIR_AGENT_QORCD_QOR_CDP_H
