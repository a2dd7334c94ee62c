// qorcd's record of the host it serves, g_client: host facts, IPv4
// addresses, disks and partitions with their GUIDs, iSCSI and FC channels,
// mirror relationships, registered databases.  It is what the client report
// describes, what the CDP mark threads check before marking and what the
// heartbeat sends.  The inventory gatherers fill it; this header holds the
// records and their release functions.
//
// Texts are malloc'ed and owned by their record unless said otherwise.
#ifndef ZELMIR_AGENT_LIB_QOR_CLIENT_H
#define ZELMIR_AGENT_LIB_QOR_CLIENT_H

#include <pthread.h>
#include <stdint.h>

#include "hm_list.h"
#include "qor_model.h"

// One partition, copied from the outside disk library's record.
struct qor_part {
  struct list_head list;
  char* name;
  char* guid;
  int index;              // always 0
  uint64_t size;
  uint64_t used;
  char* fs;
  int state;              // always 0
};

// One disk the outside disk library reports.
struct qor_disk {
  struct list_head list;
  char* name;             // kernel name (the report's Disk Name)
  char* path;             // device path
  char* guid;             // disk GUID; null for a disk not valid or without one
  int on_storage;         // 1 for a LUN of the maker's storage
  uint64_t size;          // bytes
  uint64_t used;          // always 0
  char* fs;               // always null
  char* vendor;           // "VENDOR MODEL", both trimmed; null when either is missing
  int state;              // the library's valid flag, non-zero = valid
  int part_type;          // partition-table type, 0 when not read
  struct list_head parts; // qor_part, in the library's order
};

enum qor_channel_type {
  QOR_CHANNEL_ISCSI = 0,
  QOR_CHANNEL_FC = 1,
};

struct qor_channel {
  struct list_head list;
  int type;               // qor_channel_type
  char* initiator;        // iSCSI initiator name, or the FC port name ("0x...")
  char* target;           // the manager's target IQN for iSCSI; null for FC
};

// State of a mirror relationship; 0 is what the mark threads and
// CREATE_SNAPSHOT call synchronized.
enum qor_backup_state {
  QOR_BACKUP_SYNCED = 0,      // "Sync Finished", or any other sync status
  QOR_BACKUP_UNSYNCED = 1,    // "Sync Cancelled" or "UnSync"
  QOR_BACKUP_SYNCING = 2,     // "Sync On"
  QOR_BACKUP_RECOVERING = 3,  // "Recovery On"
  QOR_BACKUP_SRC_DOWN = 4,    // the primary is not "Up"
  QOR_BACKUP_DEST_DOWN = 5,   // the primary is "Up", the mirror is not
};

#define QOR_GUID_FIELD 64      // a GUID field with its terminator
#define QOR_NAME_FIELD 512

// One protection of the host mirror that is not stopped.  Holds no texts of
// its own to free.
struct qor_backup {
  struct list_head list;
  uint32_t type;                     // always 1
  uint32_t state;                    // qor_backup_state
  uint32_t percent;                  // progress; above 100 becomes 0
  int32_t speed;                     // always -1
  char src_guid[QOR_GUID_FIELD];     // primary GUID
  char dest_guid[QOR_GUID_FIELD];    // mirror GUID
  char src_name[QOR_NAME_FIELD];     // primary device name without "/dev/"
  uint64_t con_start_time;           // of the cdpsch whose mirror is dest_guid, else 0
  uint64_t start_time;
  uint32_t interval;
};

// The host.  lock (g_client.lock) guards every field but disk_num;
// disk_num_lock guards disk_num and is held across one whole disk
// enumeration.  Where these stand in the agent's lock order is written at
// qor_t in qor_model.h: the configuration lock before lock, lock before
// disk_num_lock, and never the configuration lock while lock is held.
// Signing, which enumerates every disk, runs after lock is released: the
// refresh copies the paths to sign under it and signs without it.
struct qor_client {
  char* id;                  // the qor_t's client_guid itself: borrowed, never freed here
  char* hostname;            // reported as the Client Name
  char* alias;               // copy of the configuration's alias; null when none
  char* os_version;          // first line of the distribution file; null when unread
  uint32_t system_type;      // always 0
  int32_t dboem;
  int32_t disk_num;          // valid disks at the last enumeration (0: none seen yet)
  struct list_head ips;      // ip_entry: the host's IPv4 addresses
  struct list_head disks;    // qor_disk
  struct list_head channels; // qor_channel
  struct list_head backups;  // qor_backup
  struct list_head apps;     // ZelApp records of the outside CDP-agent library
  pthread_mutex_t lock;
  pthread_mutex_t disk_num_lock;
};

// qorcd's instance: its lists start empty, its mutexes initialised.
extern qor_client g_client;

// Take and release g_client.lock.
void g_client_lock(void);
void g_client_unlock(void);
// The address of g_client; g_client_put gives it back and does nothing.
qor_client* g_client_get(void);
void g_client_put(qor_client* client);

// The mirror GUID of the first relationship (in list order) whose source
// GUID is local_guid, as a new 64-byte text the caller frees; null when
// there is none.  The caller holds the client's lock.
char* get_mirror_guid_of_local(const char* local_guid, const qor_client* client);

// Release functions; each accepts null.  A list function unlinks and frees
// every entry and leaves the head empty.
void partition_free(qor_part* part);      // name, guid, fs, the record
void disk_free(qor_disk* disk);           // its texts, its partitions, the record
void disk_list_free(struct list_head* list);
void channel_free(qor_channel* chn);      // initiator, target, the record
void channel_list_free(struct list_head* list);
void backup_list_free(struct list_head* list);
// Everything a client record owns and the record, except id, which belongs
// to the qor_t (g_client, not allocated, is never passed here).
void client_free(qor_client* client);

#endif  // ZELMIR_AGENT_LIB_QOR_CLIENT_H
