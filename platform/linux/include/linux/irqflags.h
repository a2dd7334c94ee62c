#ifndef _LINUX_IRQFLAGS_H
#define _LINUX_IRQFLAGS_H
#include <linux/hardirq.h>
#endif
