#ifndef _LINUX_KDEV_T_H
#define _LINUX_KDEV_T_H

#include <linux/types.h>

/* The kernel's internal device number: 12 bits of major, 20 of minor. */
#define MINORBITS	20
#define MINORMASK	((1U << MINORBITS) - 1)
#define MAJOR(dev)	((unsigned int)((dev) >> MINORBITS))
#define MINOR(dev)	((unsigned int)((dev) & MINORMASK))
#define MKDEV(ma, mi)	(((ma) << MINORBITS) | (mi))

/* The user-space encoding (what stat's st_rdev carries). */
static inline u32 new_encode_dev(dev_t dev)
{
	unsigned major = MAJOR(dev), minor = MINOR(dev);
	return (minor & 0xff) | (major << 8) | ((minor & ~0xffu) << 12);
}
static inline dev_t new_decode_dev(u32 dev)
{
	unsigned major = (dev & 0xfff00) >> 8;
	unsigned minor = (dev & 0xff) | ((dev >> 12) & 0xfff00);
	return MKDEV(major, minor);
}
static inline u64 huge_encode_dev(dev_t dev) { return new_encode_dev(dev); }
static inline dev_t huge_decode_dev(u64 dev) { return new_decode_dev((u32)dev); }

#endif /* _LINUX_KDEV_T_H */
