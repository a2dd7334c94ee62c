// The host-mirror client API: each call is one exchange with zelmird over
// the local host-mirror protocol.  The primary is named by its signature
// GUID text, the mirror by its SCSI GUID text.
#ifndef ZELMIR_MIRAPI_API_H
#define ZELMIR_MIRAPI_API_H

#include "hm_unix.h"

#ifdef __cplusplus
extern "C" {
#endif

// One node of the status list of hm_disk_stat, in the daemon's order.
typedef struct hm_disk_stat {
  struct hm_disk_stat *next;
  hm_api_status_t status;
} hm_disk_stat_t;

// 0, -1, or the transport's negative result.
int hm_disk_protect(const char *primary, const char *mirror);
// 0, minus the daemon's result code, or the transport's negative result.
int hm_disk_unprotect(const char *primary);
int hm_disk_sync(const char *primary, int speed);
int hm_disk_resync(const char *primary, int speed);
int hm_disk_stop_sync(const char *primary);
int hm_disk_mark_cdp(const char *guid);
// The status of one protection (primary given) or of all (null); null when
// there is none or the request failed.  Free with hm_disk_stat_release.
hm_disk_stat_t *hm_disk_stat(const char *primary);
void hm_disk_stat_release(hm_disk_stat_t *list);
int hm_disk_backup_list(void);

#ifdef __cplusplus
}
#endif

#endif  // ZELMIR_MIRAPI_API_H
