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

}  // namespace mirapi

#endif  // ZELMIR_LIB_DISK_ID_INTERNAL_H
