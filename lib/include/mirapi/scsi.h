// SCSI pass-through routines (SG_IO on the block device, through the host
// layer) and the path state of a disk.
#ifndef ZELMIR_MIRAPI_SCSI_H
#define ZELMIR_MIRAPI_SCSI_H

#include <stddef.h>
#include <stdint.h>

#include "hm_volume.h"   // HM_GUID_TEXT_LEN, HM_GUID_BUF_LEN

// Path states of check_path_tur and hm_check_path.
#define HM_PATH_DOWN     1
#define HM_PATH_READY    2
#define HM_PATH_STANDBY  3

// The product identification of a LUN of the maker's storage.
#define HM_ZEL_PRODUCT   "ZELSolution"

#ifdef __cplusplus
extern "C" {
#endif

// 1 for a LUN of the maker's storage, 0 for another disk, -errno when the
// device cannot be opened, -1 when the INQUIRY fails.
int volume_from_zelsolution(const char *dev);
// The LUN's GUID text (HM_GUID_TEXT_LEN characters) from VPD page 0x83 into
// guid (zeroed over size first; size must be at least HM_GUID_BUF_LEN); 0 or
// negative.
int hm_scsi_get_guid(const char *dev, char *guid, size_t size);
// READ CAPACITY(16): the size in bytes; 0 or -1.
int device_size_scsi_read_cap(const char *dev, uint64_t *size);
// The vendor MODE SELECT(10) that asks the storage for a CDP point;
// 0, -errno (open) or -1.
int zel_create_cdp(const char *dev);
// Path state from the read 1 MiB before the end and TEST UNIT READY.
int check_path_tur(const char *dev);
// Path state; a direct read at offset 0 decides when TEST UNIT READY says down.
int hm_check_path(const char *dev);
// 0 when 512 bytes at offset 0 can be read directly, else -1.
int hm_check_path_direct_read(const char *dev);

#ifdef __cplusplus
}
#endif

#endif  // ZELMIR_MIRAPI_SCSI_H
