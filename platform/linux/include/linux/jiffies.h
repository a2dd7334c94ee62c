/*
 * jiffies at HZ 1000: it advances with the monotonic clock, one tick a
 * millisecond, starting 5 minutes before the unsigned 32-bit wrap as the
 * kernel's does (so code that compares ticks without time_after shows it).
 */
#ifndef _LINUX_JIFFIES_H
#define _LINUX_JIFFIES_H

#include <linux/types.h>

#ifdef HZ
#undef HZ
#endif
#define HZ 1000

#define INITIAL_JIFFIES ((unsigned long)(unsigned int)(-300 * HZ))

unsigned long __sim_jiffies(void);
#define jiffies		(__sim_jiffies())
#define jiffies_64	((u64)__sim_jiffies())
static inline u64 get_jiffies_64(void) { return __sim_jiffies(); }

#define time_after(a, b)	((long)((b) - (a)) < 0)
#define time_before(a, b)	time_after(b, a)
#define time_after_eq(a, b)	((long)((a) - (b)) >= 0)
#define time_before_eq(a, b)	time_after_eq(b, a)
#define time_in_range(a, b, c)	(time_after_eq(a, b) && time_before_eq(a, c))
#define time_is_before_jiffies(a)	time_after(jiffies, a)
#define time_is_after_jiffies(a)	time_before(jiffies, a)

#define MAX_JIFFY_OFFSET	((LONG_MAX >> 1) - 1)

static inline unsigned int jiffies_to_msecs(const unsigned long j) { return (unsigned int)j; }
static inline unsigned int jiffies_to_usecs(const unsigned long j) { return (unsigned int)(j * 1000); }
static inline unsigned long msecs_to_jiffies(const unsigned int m)
{
	if ((int)m < 0)
		return MAX_JIFFY_OFFSET;
	return m;
}
static inline unsigned long usecs_to_jiffies(const unsigned int u) { return (u + 999) / 1000; }

#endif /* _LINUX_JIFFIES_H */
