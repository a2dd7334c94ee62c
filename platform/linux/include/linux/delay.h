#ifndef _LINUX_DELAY_H
#define _LINUX_DELAY_H

#include <linux/types.h>

/* Sleeps: uninterruptible for msleep, ended by a signal for msleep_interruptible
 * (which gives the milliseconds left).  udelay/mdelay busy-wait and may be
 * used anywhere. */
void msleep(unsigned int msecs);
unsigned long msleep_interruptible(unsigned int msecs);
static inline void ssleep(unsigned int seconds) { msleep(seconds * 1000); }
void udelay(unsigned long usecs);
void ndelay(unsigned long nsecs);
#define mdelay(n)	udelay((n) * 1000UL)

#endif /* _LINUX_DELAY_H */
