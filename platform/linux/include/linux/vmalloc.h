#ifndef _LINUX_VMALLOC_H
#define _LINUX_VMALLOC_H

#include <linux/types.h>

void *vmalloc(unsigned long size);
void *vzalloc(unsigned long size);
void vfree(const void *addr);

#endif /* _LINUX_VMALLOC_H */
