// The agent's configuration and relationship model: what the Tidewell server
// has told this host (its client GUID and alias, the two ports, the addresses
// to ignore, the managing server, the CDP schedules of single disks and the
// consistency groups), kept in one handle, qor_t, and the records it owns.
//
// Every list of the agent is the intrusive list of hm_list.h: a self-linked
// head, entries appended at the tail with list_add_tail (so lists keep
// insertion order and are walked from head->next), list_del leaving the
// removed node with null links.  Nothing inserts at the front except by
// splicing.
//
// Texts are NUL-terminated, malloc'ed and owned by the record that points to
// them; every release function frees them with free().
#ifndef ZELMIR_AGENT_LIB_QOR_MODEL_H
#define ZELMIR_AGENT_LIB_QOR_MODEL_H

#include <pthread.h>
#include <stdint.h>

#include "hm_list.h"

// The one configuration file of qorcd; a path parameter elsewhere lets tests
// use their own.
#define QOR_CONF_PATH "/etc/zeltidewell/qorcd.conf"

// An IPv4 address, in network byte order.
struct ip_entry {
  uint32_t addr;
  struct list_head list;
};

// The managing Tidewell server.
struct qor_manager {
  char* guid;              // the server's ID; null or "" counts as no manager
  char* target_iqn;        // iSCSI target of the server; null until a channel exists
  struct list_head ips;    // ip_entry, in the order the server sent them
};

// The CDP schedule of one protected disk.  Times are wall-clock seconds since
// the epoch: con_start_time as the server's console gave it, start_time when
// the schedule next falls due.  A con_start_time or interval of 0 means no
// schedule.
struct cdpsch {
  struct list_head list;
  char* local_guid;        // GUID of the primary disk
  char* mirror_guid;       // GUID of the mirror LUN, without "zel_{" and "}"
  uint64_t con_start_time;
  uint64_t start_time;
  uint32_t interval;       // seconds between CDP marks
};

// A consistency group and its CDP schedule (times as for cdpsch).
struct backup_group {
  char* name;
  uint64_t con_start_time;
  uint64_t start_time;
  uint32_t interval;
  struct list_head list;
  struct list_head members;  // guid_entry: member primary disks, in the order added
};

// A GUID in a list: group members, and the GUID lists the request parsers
// return.
struct guid_entry {
  struct list_head list;
  char* guid;
};

// The configuration handle.
//
// Lock order of the whole agent (qorcd), outermost first:
//   scan_lock (the client-scan thread only)
//   mutex of g_qor (qor_lock)           -- the configuration lock
//   g_client.lock (g_client_lock)       -- see qor_client.h
//   sign_lock (set_unique_signature, qor_diskid.cc)
//   job_lock or disk_num_lock
// A thread that needs several takes them in this order.  Nothing takes the
// configuration lock while it holds g_client.lock.  No command handler holds
// a lock across a call into libmirapi, a sleep or a device rescan; the group
// CDP mark alone holds the configuration lock across the outside mark call.
//
// mutex guards what changes while qorcd runs: client_alias, manager, cdpschs
// and groups.  client_guid, the ports and ip_filter are set when the file is
// read and never change afterwards, so they are read without it.
struct qor_t {
  char* client_guid;         // given by the server; null when none
  char* client_alias;        // set by the server; null when none
  int32_t client_port;       // where qorcd listens for the server
  int32_t server_port;       // the server's port for heartbeats
  struct list_head ip_filter;  // ip_entry: local addresses the server may not use
  struct qor_manager* manager; // owned; null when the host is not managed
  struct list_head cdpschs;    // cdpsch: schedules of single disks
  struct list_head groups;     // backup_group
  pthread_mutex_t mutex;       // the configuration lock, see above
};

// qorcd's handle, loaded at start and kept for the life of the working
// process; null until then (and in programs that never load one).
extern qor_t* g_qor;

// A zero-filled handle with its three lists empty and its mutex usable, or
// null when memory runs out.  Released with qor_free.
qor_t* qor_alloc(void);

// Reads QOR_CONF_PATH (qorcfg_read); a new handle or null.
qor_t* qor_load_config(void);
// Writes the handle to QOR_CONF_PATH (qorcfg_write); null writes nothing.
// The caller holds the handle's mutex.
void qor_save_config(qor_t* qor);

// Take and release the mutex of g_qor.
void qor_lock(void);
void qor_unlock(void);

// Makes a copy of mngr (GUID and addresses; never the target IQN, which
// belongs to a channel to that server) the handle's manager and releases the
// old one; mngr stays with the caller.  A null mngr removes the manager and
// the client alias with it.  0, or -1 (null handle, no memory: the old
// manager is then kept).
int qor_mngr_appoint(const qor_manager* mngr, qor_t* qor);
// qor_mngr_appoint with a null manager.
int qor_mngr_remove(qor_t* qor);
// Replaces client_alias with a copy of alias.  0, or -1 for a null argument.
int qor_rename_client(qor_t* qor, const char* alias);
// 1 when the handle has a manager with a non-empty GUID ("managed"), 0 when
// not, -1 for a null handle.  The caller holds the handle's mutex: another
// thread may replace or free the manager at any time (a new server address,
// a reset).
int qor_is_protected(const qor_t* qor);
// qor_is_protected(g_qor) == 1, tested under the configuration lock, for a
// caller that does not hold it.  What it answers may change once the lock is
// let go: work that must not outlive a withdrawal tests again in the hold
// where it changes the configuration.
bool qor_managed(void);
// qor_is_protected(g_qor) == 1, for a caller that holds the configuration
// lock: the test again in the hold that acts on its answer.
bool qor_managed_locked(void);
// 1 when mngr_guid is the manager's GUID and client_guid the handle's client
// GUID (both compared exactly), else 0.
int qor_is_pair(const char* mngr_guid, const char* client_guid, const qor_t* qor);
// The cdpsch whose mirror_guid equals guid, or null (also for null arguments).
cdpsch* qor_find_cdpsch(const qor_t* qor, const char* guid);

// Start-time arithmetic, wall-clock seconds.
//
// The schedule a handler receives: the console start time itself, unless
// both it and the interval are non-zero and it lies before now; then the
// first interval boundary after now (now + interval when now is on one).
uint64_t qor_sched_start(uint64_t con_start_time, uint32_t interval, int64_t now);
// The rule of the configuration reader for a disk schedule: with a non-zero
// console start time and interval, a console start before now, and a start
// time not after now, the start time moves to the first boundary of its own
// interval grid after now; otherwise it stays.  A time of 2^63 or more is no
// past time and is left as it stands, as is anything whose arithmetic would
// leave the 64-bit range.
uint64_t qor_cfg_start(uint64_t con_start_time, uint64_t start_time, uint32_t interval,
                       int64_t now);

// Records of the outside libraries (zel/zel_app.h, zel/zel_devgrp.h) whose
// texts the agent frees.
struct ZelApp;
struct Zeldevgrp;

// Release functions; each accepts null.  A list function frees every entry
// and leaves the head empty.
void cdpsch_free(cdpsch* sch);
void cdpsch_list_free(struct list_head* list);
void backup_grp_free(backup_group* grp);   // name, members, the record
void backup_grp_list_free(struct list_head* list);
void qor_manager_free(qor_manager* mngr);  // guid, target_iqn, ips, the record
void ip_list_free(struct list_head* list);
// Frees one linked entry: its text, unlinks it, the entry.
void guid_entry_free(guid_entry* entry);
void guid_list_free(struct list_head* list);
// A ZelApp with its texts; app_list_free unlinks and frees every one.
void app_free(ZelApp* app);
void app_list_free(struct list_head* list);
// A device group: every Zeldev with its path, the group's name, the group.
void zeldevgrp_free(Zeldevgrp* grp);
// Everything the handle owns and the handle itself.
void qor_free(qor_t* qor);
// qor_free of g_qor, once, as the working process ends; g_qor is null after.
void qor_cleanup(void);

#endif  // ZELMIR_AGENT_LIB_QOR_MODEL_H
