// The maker's disk library libzeldisk: the host's disks with their
// partitions, a rescan of the devices, and a disk's partition-table type.
#ifndef ZELMIR_OUTSIDE_ZELDISK_H
#define ZELMIR_OUTSIDE_ZELDISK_H

#include <stdint.h>

#include "zel/zel_layout.h"

// One partition of a disk. The records and their texts stay the library's.
typedef struct zeldisk_part {
  struct list_head node;  // in zeldisk_dev.parts
  char* name;             // kernel name, e.g. "sdb1"
  char* guid;             // NULL when unknown
  char* fs;               // file-system type, NULL when unknown
  uint64_t size;          // bytes
  uint64_t used;          // bytes
} zeldisk_part_t;

ZEL_LAYOUT_ASSERT(sizeof(zeldisk_part_t) == 56);
ZEL_LAYOUT_ASSERT(offsetof(zeldisk_part_t, node) == 0);
ZEL_LAYOUT_ASSERT(offsetof(zeldisk_part_t, name) == 16);
ZEL_LAYOUT_ASSERT(offsetof(zeldisk_part_t, guid) == 24);
ZEL_LAYOUT_ASSERT(offsetof(zeldisk_part_t, fs) == 32);
ZEL_LAYOUT_ASSERT(offsetof(zeldisk_part_t, size) == 40);
ZEL_LAYOUT_ASSERT(offsetof(zeldisk_part_t, used) == 48);

// One disk.
typedef struct zeldisk_dev {
  struct list_head node;  // in the caller's list, in enumeration order
  char* name;             // kernel name, e.g. "sdb"
  char* path;             // "/dev/NAME"
  char* vendor;           // as the SCSI device reports it, blank-padded
  char* model;
  uint64_t size;          // 512-byte sectors
  int valid;              // non-zero while the disk is running
  struct list_head parts; // zeldisk_part_t, in the kernel's order
} zeldisk_dev_t;

ZEL_LAYOUT_ASSERT(sizeof(zeldisk_dev_t) == 80);
ZEL_LAYOUT_ASSERT(offsetof(zeldisk_dev_t, node) == 0);
ZEL_LAYOUT_ASSERT(offsetof(zeldisk_dev_t, name) == 16);
ZEL_LAYOUT_ASSERT(offsetof(zeldisk_dev_t, path) == 24);
ZEL_LAYOUT_ASSERT(offsetof(zeldisk_dev_t, vendor) == 32);
ZEL_LAYOUT_ASSERT(offsetof(zeldisk_dev_t, model) == 40);
ZEL_LAYOUT_ASSERT(offsetof(zeldisk_dev_t, size) == 48);
ZEL_LAYOUT_ASSERT(offsetof(zeldisk_dev_t, valid) == 56);
ZEL_LAYOUT_ASSERT(offsetof(zeldisk_dev_t, parts) == 64);

#ifdef __cplusplus
extern "C" {
#endif

// Appends one record per disk to the initialised empty list head; the number
// of disks, or -1 without a list or when the disks cannot be listed.
int zeldisk_get_devs(struct list_head* devs, int flag);
// Frees every record of the list and leaves it empty.
void zeldisk_free_devs(struct list_head* devs);
// Rescans devices (0: all); returns once done. 0 is a failure.
int zeldisk_rescan_dev(int which);
// The partition-table type of a disk: 1 for an MBR (0x55AA ending sector 0),
// 0 for none, -1 when sector 0 cannot be read.
int get_part_type(const char* path);

#ifdef __cplusplus
}
#endif

#endif  // ZELMIR_OUTSIDE_ZELDISK_H
