/*
 * Buffer heads.  alloc_page_buffers gives a NULL-terminated chain (through
 * b_this_page) of buffers covering the page; submit_bh sends one buffer as
 * a bio through generic_make_request and calls b_end_io(bh, uptodate) from
 * the bio's completion, in interrupt context.
 */
#ifndef _LINUX_BUFFER_HEAD_H
#define _LINUX_BUFFER_HEAD_H

#include <linux/types.h>
#include <linux/fs.h>
#include <linux/mm.h>
#include <linux/bitops.h>
#include <linux/pagemap.h>
#include <asm/atomic.h>

enum bh_state_bits {
	BH_Uptodate,
	BH_Dirty,
	BH_Lock,
	BH_Req,
	BH_Uptodate_Lock,
	BH_Mapped,
	BH_New,
	BH_Async_Read,
	BH_Async_Write,
	BH_Delay,
	BH_Boundary,
	BH_Write_EIO,
	BH_Ordered,
	BH_Eopnotsupp,
	BH_Unwritten,
	BH_Quiet,
	BH_PrivateStart,
};

struct buffer_head;
typedef void (bh_end_io_t)(struct buffer_head *bh, int uptodate);

struct buffer_head {
	unsigned long b_state;
	struct buffer_head *b_this_page;	/* next buffer of the page */
	struct page *b_page;
	sector_t b_blocknr;			/* start block number, in units of b_size */
	size_t b_size;
	char *b_data;				/* pointer to data within the page */
	struct block_device *b_bdev;
	bh_end_io_t *b_end_io;
	void *b_private;
	struct list_head b_assoc_buffers;
	struct address_space *b_assoc_map;
	atomic_t b_count;
};

#define BUFFER_FNS(bit, name) \
static inline void set_buffer_##name(struct buffer_head *bh) { set_bit(BH_##bit, &(bh)->b_state); } \
static inline void clear_buffer_##name(struct buffer_head *bh) { clear_bit(BH_##bit, &(bh)->b_state); } \
static inline int buffer_##name(const struct buffer_head *bh) { return test_bit(BH_##bit, &(bh)->b_state); }
#define TAS_BUFFER_FNS(bit, name) \
static inline int test_set_buffer_##name(struct buffer_head *bh) { return test_and_set_bit(BH_##bit, &(bh)->b_state); } \
static inline int test_clear_buffer_##name(struct buffer_head *bh) { return test_and_clear_bit(BH_##bit, &(bh)->b_state); }

BUFFER_FNS(Uptodate, uptodate)
BUFFER_FNS(Dirty, dirty)
TAS_BUFFER_FNS(Dirty, dirty)
BUFFER_FNS(Lock, locked)
BUFFER_FNS(Req, req)
TAS_BUFFER_FNS(Req, req)
BUFFER_FNS(Mapped, mapped)
BUFFER_FNS(New, new)
BUFFER_FNS(Async_Read, async_read)
BUFFER_FNS(Async_Write, async_write)
BUFFER_FNS(Delay, delay)
BUFFER_FNS(Boundary, boundary)
BUFFER_FNS(Write_EIO, write_io_error)
BUFFER_FNS(Ordered, ordered)
BUFFER_FNS(Eopnotsupp, eopnotsupp)
BUFFER_FNS(Unwritten, unwritten)

static inline unsigned long bh_offset(const struct buffer_head *bh)
{
	return (unsigned long)(bh->b_data - (char *)page_address(bh->b_page));
}

#define page_has_buffers(page)	PagePrivate(page)
#define page_buffers(page) \
	({ BUG_ON(!PagePrivate(page)); ((struct buffer_head *)page_private(page)); })

struct buffer_head *alloc_page_buffers(struct page *page, unsigned long size, int retry);
struct buffer_head *alloc_buffer_head(gfp_t gfp_flags);
void free_buffer_head(struct buffer_head *bh);
void attach_page_buffers(struct page *page, struct buffer_head *head);
void __clear_page_buffers(struct page *page);
void set_bh_page(struct buffer_head *bh, struct page *page, unsigned long offset);

void lock_buffer(struct buffer_head *bh);
void unlock_buffer(struct buffer_head *bh);
static inline int trylock_buffer(struct buffer_head *bh) { return !test_and_set_bit(BH_Lock, &bh->b_state); }
void wait_on_buffer(struct buffer_head *bh);
static inline void get_bh(struct buffer_head *bh) { atomic_inc(&bh->b_count); }
static inline void put_bh(struct buffer_head *bh) { atomic_dec(&bh->b_count); }

int submit_bh(int rw, struct buffer_head *bh);
void ll_rw_block(int rw, int nr, struct buffer_head *bhs[]);
void end_buffer_read_sync(struct buffer_head *bh, int uptodate);
void end_buffer_write_sync(struct buffer_head *bh, int uptodate);

#endif /* _LINUX_BUFFER_HEAD_H */
