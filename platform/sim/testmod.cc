/*
 * testmod: the smallest module that shows the simulated kernel at work
 * until the mirror module is there.  It proves that a module loads and
 * unloads, that netlink protocol 21 carries requests and replies between
 * user space and the module, and that a module can hook a disk's queue.
 *
 * Requests are 2064-byte messages laid out as the mirror's (netlink
 * header, hm_nl_header_t, body).  Each is echoed to the sender's port with
 * retcode set; three commands of its own act on a queue:
 *   TESTMOD_CMD_HOOK   body: disk name.  Replaces the disk queue's
 *                      make_request_fn with one that counts bios.
 *   TESTMOD_CMD_COUNT  body on reply: the bios counted so far, a u64.
 *   TESTMOD_CMD_UNHOOK puts the original make_request_fn back.
 */
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/init.h>
#include <linux/blkdev.h>
#include <linux/fs.h>
#include <linux/mutex.h>
#include <linux/netlink.h>
#include <linux/skbuff.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <asm/atomic.h>
#include <net/sock.h>
#include <net/net_namespace.h>

#include "hm_nl.h"

#define TESTMOD_CMD_HOOK	200
#define TESTMOD_CMD_COUNT	201
#define TESTMOD_CMD_UNHOOK	202

/* One hooked queue at a time; hook_lock serialises hooking and unhooking. */
struct testmod_hook {
	struct request_queue *q;
	make_request_fn *orig;
	atomic_t bios;
};

static struct sock *testmod_sk;
static struct testmod_hook hook;
static DEFINE_MUTEX(hook_lock);

/* Runs in the submitter's context; counts and passes the bio on. */
static int testmod_make_request(struct request_queue *q, struct bio *bio)
{
	atomic_inc(&hook.bios);
	return hook.orig(q, bio);
}

static int testmod_hook_disk(const char *name)
{
	char path[48];
	struct block_device *bdev;
	struct request_queue *q;

	snprintf(path, sizeof(path), "/dev/%s", name);
	bdev = lookup_bdev(path);
	if (IS_ERR(bdev) || !bdev)
		return ENOENT;
	q = bdev_get_queue(bdev);
	mutex_lock(&hook_lock);
	if (hook.q) {
		mutex_unlock(&hook_lock);
		bdput(bdev);
		return EBUSY;
	}
	atomic_set(&hook.bios, 0);
	hook.orig = q->make_request_fn;
	hook.q = q;
	q->make_request_fn = testmod_make_request;
	mutex_unlock(&hook_lock);
	bdput(bdev);
	printk(KERN_INFO "testmod: hooked %s\n", name);
	return 0;
}

static int testmod_unhook(void)
{
	mutex_lock(&hook_lock);
	if (!hook.q) {
		mutex_unlock(&hook_lock);
		return ENOENT;
	}
	hook.q->make_request_fn = hook.orig;
	hook.q = NULL;
	mutex_unlock(&hook_lock);
	printk(KERN_INFO "testmod: unhooked, %d bios seen\n", atomic_read(&hook.bios));
	return 0;
}

/* Process context: the sender's request. */
static void testmod_input(struct sk_buff *skb)
{
	u32 pid = NETLINK_CB(skb).pid;
	struct sk_buff *out;
	hm_nl_header_t *hdr;
	unsigned char *body;
	char name[32];
	u64 count;
	int ret = 0;

	if (skb->len != HM_NL_MSG_SIZE) {
		printk(KERN_WARNING "testmod: dropped a %u-byte message from port %u\n",
		       skb->len, pid);
		return;
	}
	out = alloc_skb(HM_NL_MSG_SIZE, GFP_KERNEL);
	if (!out)
		return;
	memcpy(skb_put(out, HM_NL_MSG_SIZE), skb->data, HM_NL_MSG_SIZE);
	nlmsg_hdr(out)->nlmsg_pid = 0;
	hdr = (hm_nl_header_t *)(out->data + HM_NL_HDR_OFF);
	body = out->data + HM_NL_BODY_OFF;

	switch (hdr->cmd) {
	case TESTMOD_CMD_HOOK:
		memcpy(name, body, sizeof(name) - 1);
		name[sizeof(name) - 1] = '\0';
		ret = testmod_hook_disk(name);
		break;
	case TESTMOD_CMD_COUNT:
		count = (u64)atomic_read(&hook.bios);
		memcpy(body, &count, sizeof(count));
		hdr->msg_len = sizeof(count);
		break;
	case TESTMOD_CMD_UNHOOK:
		ret = testmod_unhook();
		break;
	default:
		break;
	}
	hdr->retcode = (u32)ret;
	/* An unknown port drops the reply, as the kernel does. */
	netlink_unicast(testmod_sk, out, pid, 0x40 /* MSG_DONTWAIT */);
}

static int __init testmod_init(void)
{
	testmod_sk = netlink_kernel_create(&init_net, HM_NL_PROTOCOL, 0, testmod_input,
					   NULL, THIS_MODULE);
	if (!testmod_sk) {
		printk(KERN_ERR "testmod: cannot create the netlink socket\n");
		return -ENOMEM;
	}
	printk(KERN_INFO "testmod: loaded\n");
	return 0;
}

static void __exit testmod_exit(void)
{
	testmod_unhook();
	netlink_kernel_release(testmod_sk);
	printk(KERN_INFO "testmod: unloaded\n");
}

module_init(testmod_init);
module_exit(testmod_exit);
MODULE_LICENSE("GPL");
