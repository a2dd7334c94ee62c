#ifndef _LINUX_NOTIFIER_H
#define _LINUX_NOTIFIER_H

#include <linux/types.h>

struct notifier_block {
	int (*notifier_call)(struct notifier_block *, unsigned long, void *);
	struct notifier_block *next;
	int priority;			/* higher runs first */
};

#define NOTIFY_DONE		0x0000
#define NOTIFY_OK		0x0001
#define NOTIFY_STOP_MASK	0x8000
#define NOTIFY_BAD		(NOTIFY_STOP_MASK | 0x0002)
#define NOTIFY_STOP		(NOTIFY_OK | NOTIFY_STOP_MASK)

#endif /* _LINUX_NOTIFIER_H */
