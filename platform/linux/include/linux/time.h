#ifndef _SIM_LINUX_TIME_H
#define _SIM_LINUX_TIME_H

#include <linux/types.h>
#include <sys/time.h>
#include <time.h>

#define NSEC_PER_SEC	1000000000L
#define USEC_PER_SEC	1000000L
#define MSEC_PER_SEC	1000L
#define NSEC_PER_MSEC	1000000L
#define NSEC_PER_USEC	1000L

unsigned long get_seconds(void);
void do_gettimeofday(struct timeval *tv);
struct timespec current_kernel_time(void);
void getnstimeofday(struct timespec *ts);

#endif /* _SIM_LINUX_TIME_H */
