// The signature transfer of the disk-identity routines, apart from the
// device checks so it can be exercised on any descriptor.
#ifndef ZELMIR_LIB_DISK_ID_INTERNAL_H
#define ZELMIR_LIB_DISK_ID_INTERNAL_H

#include <stdint.h>

namespace mirapi {

// Seeks fd to byte 440 and reads (write false) or writes the 4 signature
// bytes.  0, or a negative errno (-EIO for a short transfer, whatever errno
// says) with *step set to "seek", "read" or "write".
int signature_at(int fd, uint32_t *sig, bool write, const char **step);

// Whether a block device's sysfs directory is a partition's (it holds a
// "partition" attribute).  A partition's bytes 440..443 are no disk
// signature and it is never a LUN, so the lookups pass it by, whether or
// not the sysfs walk lists partitions at all.
bool sysfs_is_partition(const char *sysfs_dir);

// Walks the whole disks sysfs lists in its order: names of devices that are
// never disks of the system, partitions and names whose device file is
// missing are passed by.  visit gets the device path under /dev (a "!" in
// the name made a "/" when slashes is set) and ends the walk by returning
// non-zero.  0, -1 when the class cannot be opened, -2 when it has no
// device list.
typedef int (*disk_visit_fn)(const char *path, void *arg);
int walk_disks(bool slashes, disk_visit_fn visit, void *arg);

// How many plain disks (no storage LUN) carry the signature, counting to
// two at most; the first two found are copied to first and second
// (HM_NAME_LEN each, either may be null).  Two copies of one sector 0 (a
// cloned disk, a restored snapshot, a mirror whose INQUIRY fails) carry one
// signature, and then it names no disk: the callers refuse it.
int disks_with_signature(uint32_t signature, char *first, char *second);

}  // namespace mirapi

#endif  // ZELMIR_LIB_DISK_ID_INTERNAL_H
