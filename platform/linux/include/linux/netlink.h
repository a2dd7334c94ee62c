/*
 * Kernel netlink.  A kernel socket of protocol 21 is a unix datagram socket
 * bound at <rundir>/nl/0; a user socket with port id P is bound at
 * <rundir>/nl/P.  Each datagram that arrives from such a port becomes an
 * skb handed to the input function, in a process context of its own (the
 * sender's request: not interrupt context, and several may run at once),
 * with NETLINK_CB(skb).pid = P.  The skb is freed after input returns
 * (skb_get to keep it).  netlink_unicast sends the skb's data to port pid
 * and consumes the skb; a port nobody is bound to gives -ECONNREFUSED and
 * the message is dropped.
 */
#ifndef _LINUX_NETLINK_H
#define _LINUX_NETLINK_H

#include <sys/socket.h>	/* MSG_DONTWAIT */
#include <linux/types.h>
#include <linux/kernel.h>
#include <linux/skbuff.h>

#define NETLINK_ROUTE		0
#define NETLINK_USERSOCK	2
#define NETLINK_GENERIC		16
#define MAX_LINKS		32

struct nlmsghdr {
	__u32 nlmsg_len;	/* length of message including header */
	__u16 nlmsg_type;
	__u16 nlmsg_flags;
	__u32 nlmsg_seq;
	__u32 nlmsg_pid;	/* sending process port id */
};

#define NLM_F_REQUEST		1
#define NLM_F_MULTI		2
#define NLM_F_ACK		4
#define NLM_F_ECHO		8

#define NLMSG_NOOP		0x1
#define NLMSG_ERROR		0x2
#define NLMSG_DONE		0x3
#define NLMSG_OVERRUN		0x4
#define NLMSG_MIN_TYPE		0x10

#define NLMSG_ALIGNTO		4U
#define NLMSG_ALIGN(len)	(((len) + NLMSG_ALIGNTO - 1) & ~(NLMSG_ALIGNTO - 1))
#define NLMSG_HDRLEN		((int)NLMSG_ALIGN(sizeof(struct nlmsghdr)))
#define NLMSG_LENGTH(len)	((len) + NLMSG_ALIGN(NLMSG_HDRLEN))
#define NLMSG_SPACE(len)	NLMSG_ALIGN(NLMSG_LENGTH(len))
#define NLMSG_DATA(nlh)		((void *)(((char *)nlh) + NLMSG_LENGTH(0)))
#define NLMSG_NEXT(nlh, len)	((len) -= NLMSG_ALIGN((nlh)->nlmsg_len), \
				 (struct nlmsghdr *)(((char *)(nlh)) + NLMSG_ALIGN((nlh)->nlmsg_len)))
#define NLMSG_OK(nlh, len)	((len) >= (int)sizeof(struct nlmsghdr) && \
				 (nlh)->nlmsg_len >= sizeof(struct nlmsghdr) && \
				 (nlh)->nlmsg_len <= (unsigned)(len))
#define NLMSG_PAYLOAD(nlh, len)	((nlh)->nlmsg_len - NLMSG_SPACE((len)))

static inline struct nlmsghdr *nlmsg_hdr(const struct sk_buff *skb)
{
	return (struct nlmsghdr *)skb->data;
}

struct ucred_k {
	__u32 pid;
	__u32 uid;
	__u32 gid;
};

struct netlink_skb_parms {
	struct ucred_k creds;
	__u32 pid;		/* the sender's port id */
	__u32 dst_group;
	__u32 loginuid;
	__u32 sessionid;
	__u32 sid;
};

#define NETLINK_CB(skb)		(*(struct netlink_skb_parms *)&((skb)->cb))
#define NETLINK_CREDS(skb)	(&NETLINK_CB((skb)).creds)

struct net;
struct sock;
struct mutex;
struct module;

struct sock *netlink_kernel_create(struct net *net, int unit, unsigned int groups,
				   void (*input)(struct sk_buff *skb),
				   struct mutex *cb_mutex, struct module *module);
void netlink_kernel_release(struct sock *sk);
int netlink_unicast(struct sock *ssk, struct sk_buff *skb, __u32 pid, int nonblock);
int netlink_broadcast(struct sock *ssk, struct sk_buff *skb, __u32 pid, __u32 group, gfp_t allocation);

static inline struct nlmsghdr *__nlmsg_put(struct sk_buff *skb, u32 pid, u32 seq, int type,
					   int len, int flags)
{
	struct nlmsghdr *nlh;
	int size = NLMSG_LENGTH(len);

	nlh = (struct nlmsghdr *)skb_put(skb, NLMSG_ALIGN(size));
	nlh->nlmsg_type = (u16)type;
	nlh->nlmsg_len = (u32)size;
	nlh->nlmsg_flags = (u16)flags;
	nlh->nlmsg_pid = pid;
	nlh->nlmsg_seq = seq;
	if (NLMSG_ALIGN(size) - size != 0)
		memset((char *)NLMSG_DATA(nlh) + len, 0, NLMSG_ALIGN(size) - size);
	return nlh;
}

#define NLMSG_NEW(skb, pid, seq, type, len, flags) \
({	if (unlikely(skb_tailroom(skb) < (int)NLMSG_SPACE(len))) \
		goto nlmsg_failure; \
	__nlmsg_put(skb, pid, seq, type, len, flags); })

#define NLMSG_PUT(skb, pid, seq, type, len) \
	NLMSG_NEW(skb, pid, seq, type, len, 0)

#endif /* _LINUX_NETLINK_H */
