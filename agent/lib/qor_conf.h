// The codec of qorcd's configuration file (QOR_CONF_PATH): the whole of a
// qor_t as one XML document, read once when the working process starts and
// written out whole after every change.
#ifndef ZELMIR_AGENT_LIB_QOR_CONF_H
#define ZELMIR_AGENT_LIB_QOR_CONF_H

#include "qor_model.h"

// A new handle (released with qor_free) read from the file at path, or null
// on any failure, each logged: a missing or unparsable file, a root that is
// not "Tidewell", an IPAddr that is no IPv4 address, no memory.  A group or
// schedule with a missing field and a Disk without DiskGUID are dropped
// alone.  A null path gives null without a log.  A disk schedule whose start
// time has passed is moved to its next due time (qor_cfg_start).
qor_t* qorcfg_read(const char* path);

// Writes qor as the whole file at path.  The document goes to a temporary
// file in the same directory that is synced and renamed over path, so a
// failed write (a full disk, a crash) leaves the old file as it was.  Nothing
// is returned; failures are logged.  The caller holds qor's mutex.
void qorcfg_write(const char* path, qor_t* qor);

#endif  // ZELMIR_AGENT_LIB_QOR_CONF_H
