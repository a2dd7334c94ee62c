// The configuration file "hmdev.conf", the boot registry "/boot/hmdevs.reg"
// and the option file "zelmir.conf": the one place their layouts live.
#ifndef ZELMIR_DAEMON_HM_CONF_H
#define ZELMIR_DAEMON_HM_CONF_H

#include <stddef.h>

struct hmdev;
struct hmvol;

// Rewrites both files when conf_dirty is set; after a rewrite that follows a
// protect, unprotect or removal, has the boot image script run (on a thread
// of its own, so this does not wait for it).
int write_hmdevs_to_conf(void);
// Waits until every run of the boot image script asked for so far has
// ended: 0, or -1 when one still runs after timeout_ms.
int hm_boot_script_wait(int timeout_ms);
// Reads "hmdev.conf" into the registry.
int init_hmdev_info(void);

int split_key_value(const char* line, char* key, char* value);
void add_key_value_to_hmdev(struct hmdev* dev, const char* key, const char* value);
void add_key_value_to_hmvol(struct hmvol* vol, const char* key, const char* value);

// The text from the key on of the last line of "zelmir.conf" holding it.
void get_conf_value(const char* key, char* result, size_t size);
void auto_del_faulty_mirror_disk(void);
// The option text read at start-up (128 bytes).
extern char g_auto_del_faulty_mirror_disk[128];

// The boot-registry line of a protection into out; -1 when it does not fit.
int hm_boot_reg_line(const struct hmdev* dev, char* out, size_t size);

#endif  // ZELMIR_DAEMON_HM_CONF_H
