#ifndef _LINUX_NET_H
#define _LINUX_NET_H

#include <linux/types.h>

struct sock;

struct socket {
	short type;
	unsigned long flags;
	struct sock *sk;
};

void sock_release(struct socket *sock);

#endif /* _LINUX_NET_H */
