// The registry start-up that runs before the daemon serves anyone: the
// registry from "hmdev.conf", every volume re-found by its GUID, the files
// rewritten when a device name changed, every runnable protection handed to
// the kernel module, and the option file read.
#ifndef ZELMIR_DAEMON_HM_STARTUP_H
#define ZELMIR_DAEMON_HM_STARTUP_H

void daemon_init(void);
void init_client_conf(void);
void hmdevs_check(void);
void add_hmdevs_to_kernel(void);

#endif  // ZELMIR_DAEMON_HM_STARTUP_H
