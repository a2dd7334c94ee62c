/*
 * The reboot notifier chain: run, highest priority first, in the context
 * of the process that shuts the machine down (simkernel on a clean stop);
 * never on a crash.
 */
#ifndef _LINUX_REBOOT_H
#define _LINUX_REBOOT_H

#include <linux/notifier.h>

#define SYS_DOWN	0x0001
#define SYS_RESTART	SYS_DOWN
#define SYS_HALT	0x0002
#define SYS_POWER_OFF	0x0003

int register_reboot_notifier(struct notifier_block *nb);
int unregister_reboot_notifier(struct notifier_block *nb);

#endif /* _LINUX_REBOOT_H */
