// A small module for the netlink tests: it answers each request on its
// protocol-21 socket with "pong <port id> <in_interrupt>" and, for a
// request "to <port>", sends the answer to that port instead, logging the
// result of netlink_unicast.
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/init.h>
#include <linux/netlink.h>
#include <linux/skbuff.h>
#include <linux/string.h>
#include <net/sock.h>
#include <net/net_namespace.h>

static struct sock *nl_sk;
static int loads;	/* 1 at every load when the module's globals start fresh */

/* An inline table, as shared headers have: it must not pin the module. */
inline constexpr char nltest_word[2][8] = {"loaded", "unload"};

static void nltest_input(struct sk_buff *skb)
{
	struct nlmsghdr *nlh = nlmsg_hdr(skb);
	u32 pid = NETLINK_CB(skb).pid;
	char req[64] = {0};
	char reply[96];
	struct sk_buff *out;
	struct nlmsghdr *onlh;
	unsigned long to;
	int len, ret;

	if (skb->len < NLMSG_HDRLEN || nlh->nlmsg_len > skb->len)
		return;
	len = (int)nlh->nlmsg_len - NLMSG_HDRLEN;
	if (len > (int)sizeof(req) - 1)
		len = sizeof(req) - 1;
	memcpy(req, NLMSG_DATA(nlh), len);

	snprintf(reply, sizeof(reply), "pong %u %d %u", pid, in_interrupt() ? 1 : 0, skb->len);
	out = alloc_skb(NLMSG_SPACE(sizeof(reply)), GFP_KERNEL);
	if (!out)
		return;
	onlh = NLMSG_PUT(out, 0, 0, 0, sizeof(reply));
	memcpy(NLMSG_DATA(onlh), reply, sizeof(reply));
	if (strncmp(req, "to ", 3) == 0) {
		to = simple_strtoul(req + 3, NULL, 10);
		ret = netlink_unicast(nl_sk, out, (u32)to, MSG_DONTWAIT);
		printk(KERN_INFO "nltest: unicast to %lu: %d\n", to, ret);
	} else {
		netlink_unicast(nl_sk, out, pid, MSG_DONTWAIT);
	}
	return;

nlmsg_failure:
	kfree_skb(out);
}

static int __init nltest_init(void)
{
	nl_sk = netlink_kernel_create(&init_net, 21, 0, nltest_input, NULL, THIS_MODULE);
	if (!nl_sk)
		return -ENOMEM;
	loads++;
	printk(KERN_INFO "nltest: %s %d\n", nltest_word[0], loads);
	return 0;
}

static void __exit nltest_exit(void)
{
	sock_release(nl_sk->sk_socket);
	printk(KERN_INFO "nltest: %sed\n", nltest_word[1]);
}

module_init(nltest_init);
module_exit(nltest_exit);
MODULE_LICENSE("GPL");
