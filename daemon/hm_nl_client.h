// zelmird's side of netlink protocol 21: one socket per command, the request
// builders for each command the daemon sends, the copy of a kernel status
// into the registry, and the count that lifts the guard of all mirrors
// around CDP marks.
#ifndef ZELMIR_DAEMON_HM_NL_CLIENT_H
#define ZELMIR_DAEMON_HM_NL_CLIENT_H

#include <stdint.h>

#include "hm_nl.h"

struct hmdev;
struct hmvol;

#include "hm_nl_transport.h"

// The transport the builders use; tests put a fake kernel here.
typedef int (*hm_nl_transport_fn)(const void* msg, int len, void* reply, int reply_len);
extern hm_nl_transport_fn g_hm_nl_transport;

void hm_nl_client_init(void);

int hm_nl_set_protect(struct hmdev* dev);
int hm_nl_update_hmdev(struct hmdev* dev, int which);
int hm_nl_send_stop_protect(struct hmdev* dev);
int hm_nl_send_del_protect(struct hmdev* dev);
int hm_nl_send_initialize(struct hmdev* dev);
int hm_nl_send_cancel_initialize(struct hmdev* dev);
int hm_nl_get_status(struct hmdev* dev);
int hm_nl_set_sync_speed_max(struct hmdev* dev);
void hm_nl_cancel_forbid_mirror_all(void);
// Restores the guard when the last mark ends, trying twice; a restore the
// module did not take stays owed.
void hm_nl_forbid_mirror_all(void);
// Sends an owed restore again while no mark runs (the status pass).
void hm_nl_forbid_mirror_all_owed(void);

void hm_nl_apply_status(struct hmdev* dev, const hm_nl_status_t* st);

// Marks in progress that lifted the guard of all mirrors.
int hm_nl_forbid_count(void);

#endif  // ZELMIR_DAEMON_HM_NL_CLIENT_H
