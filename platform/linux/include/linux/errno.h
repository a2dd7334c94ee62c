/*
 * Error numbers: the system's own (<asm/errno.h>, which the kernel's
 * <linux/errno.h> reads too), and the kernel-internal codes user space never
 * sees.  Also read by the C library's <errno.h> (which includes
 * <linux/errno.h>), so plain macros only.
 */
#ifndef _SIM_LINUX_ERRNO_H
#define _SIM_LINUX_ERRNO_H

#include <asm/errno.h>

/* Kernel-internal codes, never seen by user space (defined always: this
 * header may first be read through the C library, before __KERNEL__). */
#ifndef ERESTARTSYS
#define ERESTARTSYS 512
#define ERESTARTNOINTR 513
#define ERESTARTNOHAND 514
#define ENOIOCTLCMD 515
#define ERESTART_RESTARTBLOCK 516
#define EBADHANDLE 521
#define ENOTSUPP 524
#endif

#endif /* _SIM_LINUX_ERRNO_H */
