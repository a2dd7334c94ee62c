#ifndef _LINUX_PAGEMAP_H
#define _LINUX_PAGEMAP_H

#include <linux/types.h>
#include <linux/mm.h>
#include <linux/fs.h>
#include <linux/highmem.h>

#define PAGE_CACHE_SHIFT	PAGE_SHIFT
#define PAGE_CACHE_SIZE		PAGE_SIZE
#define PAGE_CACHE_MASK		PAGE_MASK
#define page_cache_get(page)		get_page(page)
#define page_cache_release(page)	put_page(page)

/* There is no page cache over the files here: nothing to drop. */
unsigned long invalidate_mapping_pages(struct address_space *mapping, pgoff_t start, pgoff_t end);

#endif /* _LINUX_PAGEMAP_H */
