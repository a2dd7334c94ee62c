#ifndef _NET_SOCK_H
#define _NET_SOCK_H

#include <sys/socket.h>	/* MSG_DONTWAIT and the other send flags */
#include <linux/types.h>
#include <linux/net.h>
#include <linux/skbuff.h>
#include <linux/wait.h>
#include <net/net_namespace.h>

struct sim_nlsock;

struct sock {
	unsigned short sk_family;
	int sk_protocol;
	struct socket *sk_socket;	/* sock_release(sk->sk_socket) closes a kernel socket */
	void (*sk_data_ready)(struct sock *sk, int bytes);
	void *sk_user_data;
	struct sim_nlsock *sim;
};

#endif /* _NET_SOCK_H */
