#ifndef _LINUX_HIGHMEM_H
#define _LINUX_HIGHMEM_H

#include <linux/mm.h>

/* No high memory: every page has a kernel address. */
enum km_type { KM_BOUNCE_READ, KM_SKB_SUNRPC_DATA, KM_USER0, KM_USER1, KM_BIO_SRC_IRQ,
	       KM_BIO_DST_IRQ, KM_IRQ0, KM_IRQ1, KM_SOFTIRQ0, KM_SOFTIRQ1, KM_TYPE_NR };

static inline void *kmap(struct page *page) { return page_address(page); }
static inline void kunmap(struct page *page) { (void)page; }
static inline void *kmap_atomic(struct page *page, enum km_type t) { (void)t; return page_address(page); }
#define kunmap_atomic(addr, t)	do { (void)(addr); (void)(t); } while (0)

static inline void clear_highpage(struct page *page) { memset(page_address(page), 0, PAGE_SIZE); }

#endif /* _LINUX_HIGHMEM_H */
