// Whether a disk holds the system: the one fact of the client report that
// is looked up at the moment the report is built rather than kept in
// g_client.
#ifndef ZELMIR_AGENT_QOR_SYSDISK_H
#define ZELMIR_AGENT_QOR_SYSDISK_H

// 1 when the disk at path, or a partition of it, is mounted at "/" or
// "/boot" according to "/etc/mtab", else 0 (also when the file cannot be
// read).
int is_boot_dev(const char* path);

// is_boot_dev against the mount table at mtab.
int qor_is_boot_dev_in(const char* mtab, const char* path);

#endif  // ZELMIR_AGENT_QOR_SYSDISK_H
