// The host inventory: the gatherers that fill g_client (qor_client.h) with
// the host's facts, IPv4 addresses, disks and partitions, iSCSI and FC
// channels, mirror relationships and databases, and the refresh that swaps
// fresh lists in under g_client.lock.
//
// Every gatherer fails soft: what cannot be read is left out and logged.
// Lists are intrusive lists whose heads the caller initialises; entries are
// appended at the tail.  The slow gathering (programs, sysfs, the outside
// disk library, zelmird) runs outside g_client.lock; only the swaps hold it,
// so a reader always sees one whole generation of each list.
#ifndef ZELMIR_AGENT_LIB_QOR_INVENTORY_H
#define ZELMIR_AGENT_LIB_QOR_INVENTORY_H

#include <pthread.h>
#include <stdint.h>
#include <stdio.h>

#include "hm_unix.h"
#include "qor_client.h"
#include "qor_model.h"

#define QOR_TEXT_SIZE 512   // the buffers of host facts, lines and attributes

// ---- Host facts ----

// gethostname in a new 512-byte text; null on failure (logged).
char* get_hostname(void);
// Always 0.
uint32_t get_system_type(void);
// The number at the start of the first line "get_db_home.sh" prints (0 when
// it prints no line or cannot be run).  A script that runs past its time
// limit is killed; a first line it printed before that still counts.
int32_t get_dboem(void);
// The first line of "/etc/issue" or "/etc/redhat-release" in a new 512-byte
// text; null when the file cannot be opened or ends before a line ending.
char* get_osver(void);
char* get_osver_redhat(void);
// The IPv4 addresses of the interfaces not named "lo", in the order the
// system lists them, less the configuration's IPAddrFilter (none with a
// null qor), appended to ips as ip_entry; the number appended.
int get_ipsv4_filter_ip(qor_t* qor, struct list_head* ips);

// 1 when the disk at path holds "/" or "/boot" by "/etc/mtab", else 0.
int is_boot_dev(const char* path);
// The same rule over another mounts file (tests).  A line counts when its
// mount point is "/" or "/boot" and its device is the path itself or the
// path followed by a partition suffix (digits; "p" and digits when the path
// ends in a digit): "/dev/sda1" is on /dev/sda, "/dev/sdaa1" is not.
int is_boot_dev_in(const char* mtab, const char* path);

// ---- Channels ----

// 1 when a session under "/sys/class/iscsi_session" has this target name.
int _is_iscsi_ssn_exist(const char* iqn);
// The InitiatorName of "/etc/iscsi/initiatorname.iscsi" in a new 512-byte
// text, or null.
char* get_iscsi_initiator(void);
// Appends the host's channels: an iSCSI channel when a session to the
// manager's TargetIQN exists, then one FC channel per port of
// "/sys/class/fc_host" with a port name.  A host without a manager has no
// channel at all.  qor's manager is read under mutex (when given).  0, -1
// when a record cannot be allocated, an errno when the FC directory cannot
// be listed.
int qor_get_chns_lock(qor_t* qor, struct list_head* chns, pthread_mutex_t* mutex);

// No caller in the daemon: appends the host's initiators as channels
// without target, one FC channel per port of "/sys/class/fc_host" with a
// port name, then one iSCSI channel per "InitiatorName=" line of
// "/etc/iscsi/initiatorname.iscsi".  "Failed to get wwn" (level 4) when the
// ports cannot be listed, "Failed to get iqn" when no initiator name is
// read.  The number appended, or -1 without a list.
int qor_get_inis(struct list_head* inis);

// ---- Disks ----

// Appends one qor_disk per named record of the outside disk library (flag:
// 1 in qorcd, 0 for the signature search and qorctl), in its order, with
// GUIDs read for valid disks, and keeps g_client.disk_num (running
// "zeldisk -r" when valid disks went away).  A disk whose identity cannot
// be read is reported not valid for this enumeration.  0, or -1 without a
// list.
int qor_get_disks(struct list_head* disks, int flag);
// Sets part_type of every valid disk with a GUID that is no relationship's
// mirror (backups searched under mutex when one is given).
int qor_get_part_type_lock(struct list_head* disks, struct list_head* backups,
                           pthread_mutex_t* mutex);
// Stores "VENDOR MODEL" of the library's texts, each trimmed in place, and
// sets on_storage for the maker's LUNs (model "ZELSolution" or vendor
// "UVO"); vendor stays null when either text is missing.  0, or -1 when
// memory runs out.
int qor_disk_set_vendor(qor_disk* disk, char* vendor, char* model);
// Whether the inventory signs the disk: valid, no identity, off the maker's
// storage.
int qor_disk_needs_signature(const qor_disk* disk);

// ---- Relationships and databases ----

// Appends one qor_backup per protection of zelmird that is not stopped, with
// the schedule of qor's cdpsch for its mirror (read under mutex when given).
// 0, or -1 without a list or when a record cannot be allocated.
int qor_get_backups_lock(qor_t* qor, struct list_head* backups, pthread_mutex_t* mutex);
// Fills a relationship (all but its schedule) from one status record.
void qor_backup_from_status(qor_backup* bk, const hm_api_status_t* st);
// Moves the databases Zel_list_app lists to the tail of apps; -1 without a
// list.
int qor_get_apps(struct list_head* apps);
// No caller in the daemon: moves the devices Zel_list_dev lists (ZelDevEntry
// records) to the tail of devs; -1 without a list.  dev_list_free releases
// them.
int qor_get_devs(struct list_head* devs);
void dev_list_free(struct list_head* devs);

// ---- The whole record ----

// Builds g_client once per working process, before any other thread
// exists, from g_qor: every fact and list, signing each disk that needs it.
void g_client_init(void);
// No caller in the daemon: a new record (client_free) built from qor with
// the same gatherers as g_client_init, signing nothing; its id is qor's
// client GUID itself.  Null when memory runs out.
qor_client* qor_test_client(qor_t* qor);
// Gathers the host name, DBOEM, addresses, channels, relationships and
// disks anew and swaps them into g_client, then signs each disk that needs
// it; id, alias, os_version, system_type and apps stay.  Returns &g_client.
qor_client* g_client_refresh(void);
// One pass of the client-scan thread: the refresh, with the scan's log.
void qor_client_scan(void);

// ---- Helpers ----

// Removes leading and trailing spaces in place; returns text.
char* trim_blank(char* text);
// Reads at most 511 bytes of the file at path into buf (512 bytes), cut at
// the first newline; their length, or -1 (logged) when it cannot be opened
// or read.
int sysfs_read_attribute(char* buf, const char* path);
// An entry of a directory: its name and "DIR/NAME".
struct qor_link {
  struct list_head list;
  char* name;
  char* path;
};
// Appends one qor_link per entry of dir other than "." and ".."; 0, or the
// errno when dir cannot be opened (logged).
int get_links_in_dir(struct list_head* links, const char* dir);
void link_list_free(struct list_head* links);
// Zeroes buf and reads up to a line feed, storing a carriage return as a
// zero byte and at most size - 1 characters; the count read including the
// line feed, or -1 when the file ends first.
int read_line(FILE* stream, char* buf, int size);

#endif  // ZELMIR_AGENT_LIB_QOR_INVENTORY_H
