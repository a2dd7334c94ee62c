// What the system calls of the maker's outside CDP-agent libraries libzelpub
// (logging and configuration) and libzelagt (marks, and the registry of
// databases and devices). These are stand-ins: each call is recorded, and
// what the storage would answer comes from the host's answer files.
#ifndef ZELMIR_OUTSIDE_ZEL_OUTSIDE_H
#define ZELMIR_OUTSIDE_ZEL_OUTSIDE_H

#include "zel/zel_app.h"
#include "zel/zel_devgrp.h"
#include "zel/zel_layout.h"

// One device registered with the CDP-agent library (Zel_list_dev). The record
// and its text are malloc allocations the caller frees.
typedef struct ZelDevEntry {
  struct list_head node;
  char* guid;  // the mirror's GUID text
} ZelDevEntry;

ZEL_LAYOUT_ASSERT(sizeof(ZelDevEntry) == 24);
ZEL_LAYOUT_ASSERT(offsetof(ZelDevEntry, node) == 0);
ZEL_LAYOUT_ASSERT(offsetof(ZelDevEntry, guid) == 16);

#ifdef __cplusplus
extern "C" {
#endif

// libzelpub
int zel_log_init(const char* name);
int zel_set_logdaemon(int on);
int zel_set_loglevel(int level);
int Zel_parse_cfgfile(const char* path);

// libzelagt: marks return once made; 0 or negative.
int zel_call_markcdp(const char* name, int time_flag);
int zel_call_disk_markcdp(const char* braced_guid);
int zel_call_grp_markcdp(Zeldevgrp* group);

// Appends one ZelApp per registered database; their number, -1 without a list.
int Zel_list_app(struct list_head* apps);
// -1 when refused; on success the library has what it needs and the caller
// no longer touches the record.
int Zel_connect_db_flush_cfg(ZelApp* app);
// Above 0 when the instance was deleted.
int Zel_delete_app(const char* instance_name);
// Appends one ZelDevEntry per registered device; their number, -1 without a list.
int Zel_list_dev(struct list_head* devs);
// 0 when the device was registered and is now forgotten, else -1.
int Zel_delete_dev(int flag, const char* guid);

#ifdef __cplusplus
}
#endif

#endif  // ZELMIR_OUTSIDE_ZEL_OUTSIDE_H
