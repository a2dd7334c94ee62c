// ZelApp: one database instance registered with the CDP-agent library.
// The library fills lists of these (Zel_list_app) and takes one to register
// a database (Zel_connect_db_flush_cfg); the agent frees what the library
// hands it, so the record and each text are separate malloc allocations.
#ifndef ZELMIR_OUTSIDE_ZEL_APP_H
#define ZELMIR_OUTSIDE_ZEL_APP_H

#include "zel/zel_layout.h"

typedef struct ZelApp {
  struct list_head node;   // in the caller's list
  char* instance_name;     // "InstanceName"
  int db_type;             // 1 = Oracle, 0 = not set
  int unused_28;
  int archive_log;         // "ArchiveLog"
  int unused_36;
  char* type_name;         // "oracle" when db_type is 1
  char* db_user;           // "DBUser"
  char* unused_56;
  char* db_passwd;         // "DBPasswd": never written to any log
  char unused_72[16];
  char* oracle_home;       // "OracleHome"
  char* host;              // "127.0.0.1" when the agent registers
  char* port;              // "1521" when the agent registers
  char unused_112[16];
} ZelApp;

ZEL_LAYOUT_ASSERT(sizeof(ZelApp) == 128);
ZEL_LAYOUT_ASSERT(offsetof(ZelApp, node) == 0);
ZEL_LAYOUT_ASSERT(offsetof(ZelApp, instance_name) == 16);
ZEL_LAYOUT_ASSERT(offsetof(ZelApp, db_type) == 24);
ZEL_LAYOUT_ASSERT(offsetof(ZelApp, unused_28) == 28);
ZEL_LAYOUT_ASSERT(offsetof(ZelApp, archive_log) == 32);
ZEL_LAYOUT_ASSERT(offsetof(ZelApp, unused_36) == 36);
ZEL_LAYOUT_ASSERT(offsetof(ZelApp, type_name) == 40);
ZEL_LAYOUT_ASSERT(offsetof(ZelApp, db_user) == 48);
ZEL_LAYOUT_ASSERT(offsetof(ZelApp, unused_56) == 56);
ZEL_LAYOUT_ASSERT(offsetof(ZelApp, db_passwd) == 64);
ZEL_LAYOUT_ASSERT(offsetof(ZelApp, unused_72) == 72);
ZEL_LAYOUT_ASSERT(offsetof(ZelApp, oracle_home) == 88);
ZEL_LAYOUT_ASSERT(offsetof(ZelApp, host) == 96);
ZEL_LAYOUT_ASSERT(offsetof(ZelApp, port) == 104);
ZEL_LAYOUT_ASSERT(offsetof(ZelApp, unused_112) == 112);

#endif  // ZELMIR_OUTSIDE_ZEL_APP_H
