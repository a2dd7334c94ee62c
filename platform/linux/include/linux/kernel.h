/*
 * printk, the log levels, assertions and the small helpers every kernel
 * source file takes from <linux/kernel.h>.
 */
#ifndef _LINUX_KERNEL_H
#define _LINUX_KERNEL_H

#include <linux/types.h>
#include <linux/compiler.h>
#include <linux/errno.h>
#include <linux/err.h>
#include <linux/bug.h>
#include <linux/hardirq.h>

#define KERN_EMERG	"<0>"
#define KERN_ALERT	"<1>"
#define KERN_CRIT	"<2>"
#define KERN_ERR	"<3>"
#define KERN_WARNING	"<4>"
#define KERN_NOTICE	"<5>"
#define KERN_INFO	"<6>"
#define KERN_DEBUG	"<7>"

/*
 * The kernel log.  A line that does not start with "<n>" is kept at the
 * default level 4, as the kernel does; a printk without a trailing newline
 * is continued by the next one.
 */
int printk(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
int vprintk(const char *fmt, va_list args) __attribute__((format(printf, 1, 0)));
#define pr_emerg(fmt, ...)	printk(KERN_EMERG fmt, ##__VA_ARGS__)
#define pr_alert(fmt, ...)	printk(KERN_ALERT fmt, ##__VA_ARGS__)
#define pr_crit(fmt, ...)	printk(KERN_CRIT fmt, ##__VA_ARGS__)
#define pr_err(fmt, ...)	printk(KERN_ERR fmt, ##__VA_ARGS__)
#define pr_warning(fmt, ...)	printk(KERN_WARNING fmt, ##__VA_ARGS__)
#define pr_notice(fmt, ...)	printk(KERN_NOTICE fmt, ##__VA_ARGS__)
#define pr_info(fmt, ...)	printk(KERN_INFO fmt, ##__VA_ARGS__)
#define pr_debug(fmt, ...)	do { } while (0)

void dump_stack(void);
void panic(const char *fmt, ...) __attribute__((format(printf, 1, 2), noreturn));

#define ARRAY_SIZE(x)	(sizeof(x) / sizeof((x)[0]))
#define container_of(ptr, type, member) \
	((type *)((char *)(ptr) - offsetof(type, member)))

#define min(x, y)	({ __typeof__(x) _min1 = (x); __typeof__(y) _min2 = (y); \
			   (void)(&_min1 == &_min2); _min1 < _min2 ? _min1 : _min2; })
#define max(x, y)	({ __typeof__(x) _max1 = (x); __typeof__(y) _max2 = (y); \
			   (void)(&_max1 == &_max2); _max1 > _max2 ? _max1 : _max2; })
#define min_t(type, x, y) ({ type __min1 = (x); type __min2 = (y); __min1 < __min2 ? __min1 : __min2; })
#define max_t(type, x, y) ({ type __max1 = (x); type __max2 = (y); __max1 > __max2 ? __max1 : __max2; })
#define clamp_t(type, val, lo, hi) min_t(type, max_t(type, val, lo), hi)

#define ALIGN(x, a)		(((x) + ((__typeof__(x))(a) - 1)) & ~((__typeof__(x))(a) - 1))
#define DIV_ROUND_UP(n, d)	(((n) + (d) - 1) / (d))
#define roundup(x, y)		((((x) + ((y) - 1)) / (y)) * (y))
#define rounddown(x, y)		((x) - ((x) % (y)))

#define USHORT_MAX	((u16)(~0U))
#define SHORT_MAX	((s16)(USHORT_MAX >> 1))
#define ULLONG_MAX_	(~0ULL)

/* 64-by-32 division in place; gives the remainder. */
#define do_div(n, base) ({ u32 __base = (base); u32 __rem = (u32)((u64)(n) % __base); \
			   (n) = (u64)(n) / __base; __rem; })

unsigned long simple_strtoul(const char *cp, char **endp, unsigned int base);
long simple_strtol(const char *cp, char **endp, unsigned int base);
unsigned long long simple_strtoull(const char *cp, char **endp, unsigned int base);
long long simple_strtoll(const char *cp, char **endp, unsigned int base);
int strict_strtoul(const char *cp, unsigned int base, unsigned long *res);
int strict_strtol(const char *cp, unsigned int base, long *res);
int scnprintf(char *buf, size_t size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
int vscnprintf(char *buf, size_t size, const char *fmt, va_list args);

/* Byte order: this machine is little-endian, as the module's records assume. */
#define cpu_to_le16(x)	((__le16)(x))
#define cpu_to_le32(x)	((__le32)(x))
#define cpu_to_le64(x)	((__le64)(x))
#define le16_to_cpu(x)	((u16)(x))
#define le32_to_cpu(x)	((u32)(x))
#define le64_to_cpu(x)	((u64)(x))
#define cpu_to_be16(x)	((__be16)__builtin_bswap16(x))
#define cpu_to_be32(x)	((__be32)__builtin_bswap32(x))
#define cpu_to_be64(x)	((__be64)__builtin_bswap64(x))
#define be16_to_cpu(x)	((u16)__builtin_bswap16(x))
#define be32_to_cpu(x)	((u32)__builtin_bswap32(x))
#define be64_to_cpu(x)	((u64)__builtin_bswap64(x))

#endif /* _LINUX_KERNEL_H */
