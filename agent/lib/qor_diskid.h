// The agent's disk identities.  The Tidewell server knows a LUN of the
// maker's storage by its SCSI GUID and any other disk by the signature GUID of
// its MBR disk signature (the 4 bytes at offset 440, little-endian).  A disk
// off the storage that was never signed has signature 0 and so no identity;
// the agent signs such disks with a value no other disk of the host carries.
//
// Every block-device access goes through the host layer.  Texts returned
// here are new allocations the caller frees.
#ifndef ZELMIR_AGENT_LIB_QOR_DISKID_H
#define ZELMIR_AGENT_LIB_QOR_DISKID_H

#include <stdint.h>

#define QOR_SIG_GUID_SIZE 512   // the buffer of a signature GUID text
#define QOR_DISK_GUID_SIZE 64   // the buffer of a disk GUID text

// srand with the wall clock's whole seconds, then rand(): 0 .. 2147483647,
// the same value for every draw within one second.
uint32_t random_signature(void);

// "%08x-0000-0000-0000-000000000000" of the signature in a new zero-filled
// 512-byte buffer, or null when memory runs out.
char* signature_to_guid(uint32_t signature);

// Writes the signature at offset 440 of a block device and syncs it.  0, or
// negative on failure (logged; a path that is no block device is refused).
int write_disk_signature(const char* path, uint32_t signature);

// The signature at offset 440 of a block device, or -1 on failure (logged).
// -1 is also the signature ffffffff; read_disk_signature tells them apart.
int32_t get_disk_signature(const char* path);
// The same read with its outcome apart from the value: 0 with *signature
// set, or -1 (logged) when it cannot be read.
int read_disk_signature(const char* path, uint32_t* signature);

// The disk's identity in a new zero-filled 64-byte buffer: the SCSI GUID of
// a storage LUN (on_storage non-zero; the empty text when the inquiry
// fails), else the signature GUID.  Null for a disk that was never signed,
// for a signature that cannot be read, and when memory runs out.
char* get_disk_guid(const char* path, int on_storage);
// get_disk_guid with its outcome apart: 0 with *guid the identity (null for
// a disk never signed), or -1 with *guid null when the disk's identity
// cannot be read (its signature, or memory for the text): a failure of the
// disk, which makes it neither known nor a candidate for a signature.
int qor_read_disk_guid(const char* path, int on_storage, char** guid);

// Gives the disk at path a random signature whose GUID no other disk of the
// host has.  Signings are serialised, and a disk is written only when the
// enumeration that the value is checked against lists the disk and, read
// again after that enumeration, just before the write, its sector 0 has
// signature 0 and holds either nothing or a partition table (0x55 0xAA at
// 510): a raw data disk, a disk that gained data or a signature while the
// disks were enumerated and a disk whose sector 0 cannot be read are left
// alone.  The caller never passes a storage LUN.  Nothing is reported; a disk left
// unsigned is tried again at the next scan.
void set_unique_signature(const char* path);

// 1 when a valid disk, or a partition of one, has this GUID now, else 0 (also
// for the empty text).
int qor_guid_online(const char* guid);

// What set_unique_signature requires of sector 0 (512 bytes): signature 0,
// and either all zero or ending in 0x55 0xAA.
int qor_sector0_signable(const unsigned char* sector);

#endif  // ZELMIR_AGENT_LIB_QOR_DISKID_H
