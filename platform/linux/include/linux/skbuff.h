/*
 * Socket buffers: a counted buffer with data at [data, data + len).
 * kfree_skb drops one reference (skb_get takes one) and frees at the last.
 */
#ifndef _LINUX_SKBUFF_H
#define _LINUX_SKBUFF_H

#include <linux/types.h>
#include <linux/kernel.h>
#include <linux/gfp.h>
#include <asm/atomic.h>

struct sock;

struct sk_buff {
	struct sk_buff *next, *prev;
	struct sock *sk;
	char cb[48];			/* protocol's control block (NETLINK_CB) */
	unsigned int len;
	unsigned int data_len;
	unsigned int truesize;
	atomic_t users;
	unsigned char *head;
	unsigned char *data;
	unsigned char *tail;
	unsigned char *end;
};

struct sk_buff *alloc_skb(unsigned int size, gfp_t priority);
void kfree_skb(struct sk_buff *skb);
void consume_skb(struct sk_buff *skb);
#define dev_kfree_skb(a)	consume_skb(a)
struct sk_buff *skb_clone(struct sk_buff *skb, gfp_t priority);

static inline struct sk_buff *skb_get(struct sk_buff *skb)
{
	atomic_inc(&skb->users);
	return skb;
}
static inline unsigned char *skb_tail_pointer(const struct sk_buff *skb) { return skb->tail; }
static inline unsigned int skb_headroom(const struct sk_buff *skb) { return (unsigned)(skb->data - skb->head); }
static inline int skb_tailroom(const struct sk_buff *skb) { return (int)(skb->end - skb->tail); }
static inline void skb_reserve(struct sk_buff *skb, int len) { skb->data += len; skb->tail += len; }

/* Extends the data at the tail; running past the buffer's end is a bug. */
unsigned char *skb_put(struct sk_buff *skb, unsigned int len);
unsigned char *skb_push(struct sk_buff *skb, unsigned int len);
unsigned char *skb_pull(struct sk_buff *skb, unsigned int len);
void skb_trim(struct sk_buff *skb, unsigned int len);

#endif /* _LINUX_SKBUFF_H */
