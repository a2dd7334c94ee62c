/*
 * Basic kernel types for code built against the simulated kernel.
 *
 * Include order: C and C++ library headers first, <linux/...> last.  The
 * kernel's own macros (current, min, max, READ, WRITE, ...) are macros here
 * too and would clash with identifiers in library headers included later.
 */
#ifndef _LINUX_TYPES_H
#define _LINUX_TYPES_H

#ifndef __KERNEL__
#define __KERNEL__
#endif

/*
 * The C library's dev_t is 64 bits, the kernel's 32.  The library's headers
 * come first (their include guards keep them from being read again), then
 * dev_t names the kernel's type for the rest of the unit.
 */
#include <stdint.h>

/* As the kernel has them on x86_64 (64-bit types are long long). */
typedef unsigned char __u8;
typedef unsigned short __u16;
typedef unsigned int __u32;
typedef unsigned long long __u64;
typedef signed char __s8;
typedef short __s16;
typedef int __s32;
typedef long long __s64;
typedef __u8 u8;
typedef __u16 u16;
typedef __u32 u32;
typedef __u64 u64;
typedef __s8 s8;
typedef __s16 s16;
typedef __s32 s32;
typedef __s64 s64;
typedef __u16 __le16;
typedef __u16 __be16;
typedef __u32 __le32;
typedef __u32 __be32;
typedef __u64 __le64;
typedef __u64 __be64;

/* The library headers may come back here for these types (through <linux/stat.h>). */
#include <sys/types.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdarg.h>
#include <string.h>
#include <stdio.h>
#include <limits.h>

typedef __u32 __kernel_dev_t;
#define dev_t __kernel_dev_t

typedef u64 sector_t;
typedef unsigned gfp_t;
typedef unsigned fmode_t;
typedef unsigned short umode_t;
typedef unsigned long pgoff_t;

#include <linux/compiler.h>

#endif /* _LINUX_TYPES_H */
