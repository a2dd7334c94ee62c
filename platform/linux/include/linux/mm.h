/*
 * Pages.  A struct page here describes 4096 bytes of memory with a
 * reference count; page_address gives its kernel address.  Pages from
 * alloc_page are page-aligned.  The simulated kernel also makes pages that
 * describe memory it does not own (a user buffer under I/O); freeing those
 * never frees the memory.
 */
#ifndef _LINUX_MM_H
#define _LINUX_MM_H

#include <linux/types.h>
#include <linux/gfp.h>
#include <linux/list.h>
#include <asm/atomic.h>

#ifndef PAGE_SHIFT
#define PAGE_SHIFT	12
#endif
#ifndef PAGE_SIZE
#define PAGE_SIZE	(1UL << PAGE_SHIFT)
#endif
#ifndef PAGE_MASK
#define PAGE_MASK	(~(PAGE_SIZE - 1))
#endif
#define PAGE_ALIGN(addr)	ALIGN(addr, PAGE_SIZE)
#define offset_in_page(p)	((unsigned long)(p) & ~PAGE_MASK)

struct address_space;

enum pageflags {
	PG_locked,
	PG_error,
	PG_referenced,
	PG_uptodate,
	PG_dirty,
	PG_lru,
	PG_active,
	PG_slab,
	PG_private,
	PG_writeback,
	PG_reserved,
};

struct page {
	unsigned long flags;		/* PG_ bits */
	atomic_t _count;		/* references; the page is freed at 0 */
	unsigned long private_;		/* the buffer heads, with PG_private ("private" in C) */
	struct address_space *mapping;
	pgoff_t index;			/* page number within its file */
	struct list_head lru;
	void *virtual_;			/* kernel address ("virtual" in C) */
	unsigned int order;
	int foreign;			/* memory owned by someone else */
};

static inline void *page_address(const struct page *page) { return page->virtual_; }
static inline int page_count(struct page *page) { return atomic_read(&page->_count); }
static inline void get_page(struct page *page) { atomic_inc(&page->_count); }
void put_page(struct page *page);
static inline void init_page_count(struct page *page) { atomic_set(&page->_count, 1); }

#define page_private(page)		((page)->private_)
#define set_page_private(page, v)	((page)->private_ = (v))

#define __SIM_PAGEFLAG(uname, lname) \
static inline int Page##uname(const struct page *page) { return (page->flags >> PG_##lname) & 1; } \
static inline void SetPage##uname(struct page *page) { __atomic_fetch_or(&page->flags, 1UL << PG_##lname, __ATOMIC_SEQ_CST); } \
static inline void ClearPage##uname(struct page *page) { __atomic_fetch_and(&page->flags, ~(1UL << PG_##lname), __ATOMIC_SEQ_CST); }
__SIM_PAGEFLAG(Locked, locked)
__SIM_PAGEFLAG(Error, error)
__SIM_PAGEFLAG(Uptodate, uptodate)
__SIM_PAGEFLAG(Dirty, dirty)
__SIM_PAGEFLAG(Private, private)
__SIM_PAGEFLAG(Writeback, writeback)
__SIM_PAGEFLAG(Reserved, reserved)
#undef __SIM_PAGEFLAG

static inline int page_has_private(struct page *page) { return PagePrivate(page); }

/* Only for memory from kmalloc/alloc_page inside one page: gives no page. */
struct page *virt_to_page(const void *addr);

#endif /* _LINUX_MM_H */
