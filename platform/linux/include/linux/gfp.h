/*
 * Allocation flags and page allocation.  A flag with __GFP_WAIT may sleep,
 * so it is a bug in completion context (caught); GFP_ATOMIC never sleeps.
 */
#ifndef _LINUX_GFP_H
#define _LINUX_GFP_H

#include <linux/types.h>

#define __GFP_WAIT	((gfp_t)0x10u)
#define __GFP_HIGH	((gfp_t)0x20u)
#define __GFP_IO	((gfp_t)0x40u)
#define __GFP_FS	((gfp_t)0x80u)
#define __GFP_COLD	((gfp_t)0x100u)
#define __GFP_NOWARN	((gfp_t)0x200u)
#define __GFP_REPEAT	((gfp_t)0x400u)
#define __GFP_NOFAIL	((gfp_t)0x800u)
#define __GFP_NORETRY	((gfp_t)0x1000u)
#define __GFP_COMP	((gfp_t)0x4000u)
#define __GFP_ZERO	((gfp_t)0x8000u)
#define __GFP_NOMEMALLOC ((gfp_t)0x10000u)
#define __GFP_HIGHMEM	((gfp_t)0x02u)

#define GFP_NOWAIT	((gfp_t)0)
#define GFP_ATOMIC	(__GFP_HIGH)
#define GFP_NOIO	(__GFP_WAIT)
#define GFP_NOFS	(__GFP_WAIT | __GFP_IO)
#define GFP_KERNEL	(__GFP_WAIT | __GFP_IO | __GFP_FS)
#define GFP_TEMPORARY	GFP_KERNEL
#define GFP_USER	GFP_KERNEL
#define GFP_HIGHUSER	(GFP_USER | __GFP_HIGHMEM)
#define GFP_DMA		((gfp_t)0x01u)

struct page;

struct page *alloc_pages(gfp_t gfp_mask, unsigned int order);
#define alloc_page(gfp_mask)	alloc_pages(gfp_mask, 0)
void __free_pages(struct page *page, unsigned int order);
#define __free_page(page)	__free_pages((page), 0)
unsigned long __get_free_pages(gfp_t gfp_mask, unsigned int order);
#define __get_free_page(gfp_mask)	__get_free_pages((gfp_mask), 0)
unsigned long get_zeroed_page(gfp_t gfp_mask);
void free_pages(unsigned long addr, unsigned int order);
#define free_page(addr)	free_pages((addr), 0)

#endif /* _LINUX_GFP_H */
