/*
 * The address limit.  Every context here is the kernel's, so set_fs and
 * get_fs only keep the value, and the user copies are plain copies.
 */
#ifndef _LINUX_UACCESS_H
#define _LINUX_UACCESS_H

#include <linux/types.h>

typedef struct {
	unsigned long seg;
} mm_segment_t;

#define MAKE_MM_SEG(s)	((mm_segment_t) { (s) })
#define KERNEL_DS	MAKE_MM_SEG(~0UL)
#define USER_DS		MAKE_MM_SEG(0x7ffffffff000UL)

mm_segment_t __sim_get_fs(void);
void __sim_set_fs(mm_segment_t fs);
#define get_ds()	(KERNEL_DS)
#define get_fs()	(__sim_get_fs())
#define set_fs(x)	(__sim_set_fs(x))
#define segment_eq(a, b) ((a).seg == (b).seg)

static inline unsigned long copy_from_user(void *to, const void __user *from, unsigned long n)
{
	memcpy(to, from, n);
	return 0;
}
static inline unsigned long copy_to_user(void __user *to, const void *from, unsigned long n)
{
	memcpy(to, from, n);
	return 0;
}

#endif /* _LINUX_UACCESS_H */
