// Disk identity: the MBR disk signature at byte 440, GUID records and
// texts, and finding the current device of a disk by either identity.
//
// A LUN of the maker's storage is known by its SCSI GUID text; any other
// disk by its signature GUID (the signature in the first group, zeros
// elsewhere).  A signature of 0 means the disk was never signed: it is no
// identity, and no lookup finds a disk by it.
#ifndef ZELMIR_MIRAPI_DISK_ID_H
#define ZELMIR_MIRAPI_DISK_ID_H

#include <stdint.h>

#include "hm_volume.h"   // guid_t, HM_NAME_LEN, HM_GUID_TEXT_LEN, HM_GUID_BUF_LEN

#define HM_SIGNATURE_OFF  440   // byte offset of the MBR disk signature

#ifdef __cplusplus
extern "C" {
#endif

// Reads the 4-byte signature at byte 440: 0, -1 or -errno.
int get_volume_signature(const char *dev, uint32_t *signature);
// Writes it and syncs: 0, -1 or -errno.
int write_volume_signature(const char *dev, uint32_t signature);
// The signature GUID text into buf (HM_GUID_BUF_LEN bytes); returns buf.
char *signature_to_uuid(uint32_t signature, char *buf);
// The GUID text into buf; null (logged) when size cannot hold the text and
// its terminator.
char *guid_to_string(const guid_t *guid, char *buf, int size);
// Scans a GUID text (either case); 0, or -1 for a text under 32 characters.
int string_to_guid(const char *text, guid_t *guid);
// The device path (under /dev, in an HM_NAME_LEN buffer) of the disk that is no
// storage LUN and holds the signature; 0 or -1.  Partitions are skipped;
// signature 0 finds nothing.
int find_disk_by_signature(uint32_t signature, char *path);
// The device path of the storage LUN whose whole GUID text equals guid;
// 0 or -1.  Partitions are skipped.
int find_disk_by_uuid(const char *guid, char *path);
// The disk's identity text (SCSI GUID of a LUN, else signature GUID) into
// buf (HM_GUID_BUF_LEN bytes); -1 when the disk is down or has no identity.
int get_guid_by_name(const char *dev, char *buf);

#ifdef __cplusplus
}
#endif

#endif  // ZELMIR_MIRAPI_DISK_ID_H
