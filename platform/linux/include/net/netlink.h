#ifndef _NET_NETLINK_H
#define _NET_NETLINK_H

#include <linux/netlink.h>

static inline int nlmsg_msg_size(int payload) { return NLMSG_HDRLEN + payload; }
static inline int nlmsg_total_size(int payload) { return NLMSG_ALIGN(nlmsg_msg_size(payload)); }
static inline void *nlmsg_data(const struct nlmsghdr *nlh) { return (unsigned char *)nlh + NLMSG_HDRLEN; }
static inline int nlmsg_len(const struct nlmsghdr *nlh) { return (int)nlh->nlmsg_len - NLMSG_HDRLEN; }

static inline struct sk_buff *nlmsg_new(size_t payload, gfp_t flags)
{
	return alloc_skb(nlmsg_total_size((int)payload), flags);
}

static inline struct nlmsghdr *nlmsg_put(struct sk_buff *skb, u32 pid, u32 seq, int type,
					 int payload, int flags)
{
	if (unlikely(skb_tailroom(skb) < nlmsg_total_size(payload)))
		return NULL;
	return __nlmsg_put(skb, pid, seq, type, payload, flags);
}

static inline void nlmsg_free(struct sk_buff *skb) { kfree_skb(skb); }

static inline int nlmsg_unicast(struct sock *sk, struct sk_buff *skb, u32 pid)
{
	int err = netlink_unicast(sk, skb, pid, MSG_DONTWAIT);
	return err > 0 ? 0 : err;
}

#endif /* _NET_NETLINK_H */
