#ifndef _NET_NET_NAMESPACE_H
#define _NET_NET_NAMESPACE_H

struct net {
	int __unused;
};

extern struct net init_net;

#endif /* _NET_NET_NAMESPACE_H */
