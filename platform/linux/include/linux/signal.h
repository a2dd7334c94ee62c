#ifndef _SIM_LINUX_SIGNAL_H
#define _SIM_LINUX_SIGNAL_H
#include <linux/sched.h>
#endif
