// CDP schedules on the timer: one job per scheduled disk (JOB_DISK_CDP) and
// per scheduled group (JOB_GROUP_CDP), and their callbacks.
#ifndef ZELMIR_AGENT_QOR_CDP_H
#define ZELMIR_AGENT_QOR_CDP_H

#include "qor_jobs.h"
#include "qor_model.h"

// Registers the job of a disk schedule in place of the disk's present one;
// the first firing at the schedule's start time (wall clock) converted to
// the monotonic clock, then every interval.  0, or -1 (no schedule or local
// GUID, no memory, not added).  A schedule whose interval is 0 is no
// schedule: nothing is registered (a log says so) and the answer is 0, so a
// stored schedule of that kind cannot end the daemon at start.  Takes only
// job_lock: start-up calls it with the configuration lock held.
int _register_for_cdpsch(const cdpsch* sch);
// The same for a group's schedule: 0 or -1.
int _register_for_grpsch(const backup_group* grp);
// Remove the job of a disk or of a group when there is one.
void unregister_cdp_job(const char* local_guid);
void unregister_grp_job(const char* group_name);

// The callbacks of the due jobs (under job_lock): each starts a mark thread
// with its own copy of the job's text.  0 when it started, else -1.
int _create_snapshot(job_status* job);
int _create_grp_snapshot(job_status* job);

#endif  // ZELMIR_AGENT_QOR_CDP_H
