// qorcd's command handlers, one per row of the command table
// (qor_dispatch.cc).  Each takes the exchange's record and returns the
// status of the reply; a reply document goes into req->sendxml with its
// length in req->send_head.data_len.
#ifndef ZELMIR_AGENT_QORCD_HANDLERS_QOR_HANDLERS_H
#define ZELMIR_AGENT_QORCD_HANDLERS_QOR_HANDLERS_H

#include "qor_transport.h"

// Client and channel.
int scan_client(qorc_req* req);         // 1
int add_client(qorc_req* req);          // 2
int del_client(qorc_req* req);          // 3
int establish_channels(qorc_req* req);  // 5
int get_client_info(qorc_req* req);     // 6
int rename_client(qorc_req* req);       // 8
int rescan_disks(qorc_req* req);        // 55
int ping_client(qorc_req* req);         // 57

// Mirror relationships.
int add_backup(qorc_req* req);          // 4
int del_backup(qorc_req* req);          // 14
int init_mirror(qorc_req* req);         // 16
int cancel_init_mirror(qorc_req* req);  // 17

// Snapshots.
int create_snapshot(qorc_req* req);     // 21
int snap_restore(qorc_req* req);        // 23

// Databases and groups.
int db_set(qorc_req* req);              // 45
int bg_create(qorc_req* req);           // 46
int rem_disk_from_bg(qorc_req* req);    // 48
int dbcfg_del(qorc_req* req);           // 49
int del_backup_grp(qorc_req* req);      // 62
int add_disk_to_grp(qorc_req* req);     // 69

// CDP schedules and the manager.
int set_cdp_schedule(qorc_req* req);    // 15
int refresh_server(qorc_req* req);      // 54

// The CDP agent's marks, schedules and groups.
int zel_create_cdp(qorc_req* req);        // 30000
int zel_set_cdp_schedule(qorc_req* req);  // 30001
int zel_get_cdp_schedule(qorc_req* req);  // 30002
int zel_del_cdp_schedule(qorc_req* req);  // 30003
int zel_create_group(qorc_req* req);      // 30004
int zel_get_group(qorc_req* req);         // 30005
int zel_delete_group(qorc_req* req);      // 30006
int zel_add_member(qorc_req* req);        // 30007
int zel_del_member(qorc_req* req);        // 30008

// The local tool's commands (unix socket only).
int local_list(qorc_req* req);          // 30010
int local_withdraw(qorc_req* req);      // 30011

#endif  // ZELMIR_AGENT_QORCD_HANDLERS_QOR_HANDLERS_H
