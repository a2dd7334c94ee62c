#ifndef _LINUX_PREEMPT_H
#define _LINUX_PREEMPT_H
#include <linux/hardirq.h>
#endif
