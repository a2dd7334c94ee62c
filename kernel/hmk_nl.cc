/*
 * Netlink protocol 21.  The input callback runs in the sending process's
 * context, inside its send call; several senders may be in here at once.
 * Each request builds its reply in a buffer of its own, so no lock is held
 * across a handler (handlers open devices and wait for disk I/O).
 *
 * Everything the sender wrote is checked before use: the netlink length
 * against what arrived, msg_len against the netlink length, every record,
 * path offset and length against the body, and every path against the
 * 128-byte buffer it is copied into.
 */
#include <linux/kernel.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <linux/skbuff.h>
#include <linux/netlink.h>
#include <linux/module.h>
#include <net/sock.h>

#include "hm.h"
#include "hmk_nl.h"

static struct sock *serv_sk;
static int user_server_pid;
static int user_server_ok;

const char *hm_nl_check_msg(const void *data, unsigned int len, hm_nl_header_t *header)
{
	const char *p = (const char *)data;
	uint32_t nlmsg_len;

	if (!data || len < HM_NL_BODY_OFF)
		return NULL;
	memcpy(&nlmsg_len, p, sizeof(nlmsg_len));
	if (nlmsg_len < HM_NL_BODY_OFF || nlmsg_len > len)
		return NULL;
	memcpy(header, p + HM_NL_HDR_OFF, sizeof(*header));
	if (header->msg_len > nlmsg_len - HM_NL_BODY_OFF)
		return NULL;
	return p + HM_NL_BODY_OFF;
}

int hm_nl_get_record(const char *msg, int msg_len, int off, hm_nl_volume_t *rec, char *path,
		     int need_path)
{
	memset(path, 0, HM_NAME_LEN);
	if (!msg || off < 0 || off + (int)sizeof(*rec) > msg_len)
		return -EINVAL;
	memcpy(rec, msg + off, sizeof(*rec));
	/* The key is a text; keep it terminated for every later use. */
	rec->uuid[HM_NAME_LEN - 1] = '\0';
	if (rec->dev_name_len == 0)
		return need_path ? -EINVAL : 0;
	if (rec->dev_name_len >= HM_NAME_LEN)
		return -EINVAL;
	if ((int)rec->dev_name_off + (int)rec->dev_name_len > msg_len)
		return -EINVAL;
	memcpy(path, msg + rec->dev_name_off, rec->dev_name_len);
	return 0;
}

static void hm_nl_reply_header(const hm_nl_header_t *header, hm_nl_header_t *reply, int ret)
{
	reply->cmd = header->cmd;
	reply->pad = 0;
	reply->msg_len = 0;
	reply->retcode = (uint32_t)(ret < 0 ? -ret : ret);
	reply->magic = 0;
}

typedef int (*hm_type2_op)(const char *path, const hm_nl_volume_t *nlvol);

static int hm_nl_cmd_type2(const hm_nl_header_t *header, const char *msg, int msg_len,
			   hm_nl_header_t *msg_reply, hm_type2_op op, const char *func)
{
	hm_nl_volume_t rec;
	char path[HM_NAME_LEN];
	int ret;

	if (hm_nl_get_record(msg, msg_len, 0, &rec, path, 0)) {
		hm_nl_reply_header(header, msg_reply, -EINVAL);
		return 0;
	}
	ret = op(path, &rec);
	hm_nl_reply_header(header, msg_reply, ret);
	printk("<1>%s cmd: %s dev_name: %s ret: %d\n", func, nl_cmd_string[header->cmd], path, ret);
	return 0;
}

#define HM_NL_TYPE2(name, op)							\
	static int name(const hm_nl_header_t *header, const char *msg, int msg_len,	\
			hm_nl_header_t *msg_reply)					\
	{									\
		return hm_nl_cmd_type2(header, msg, msg_len, msg_reply, op, __func__);	\
	}

HM_NL_TYPE2(hm_nl_stop_protect, hm_stop_protect)
HM_NL_TYPE2(hm_nl_del_protect, hm_del_protect)
HM_NL_TYPE2(hm_nl_initialize, hm_initialize)
HM_NL_TYPE2(hm_nl_cancel_initialize, hm_cancel_initialize)
HM_NL_TYPE2(hm_nl_forbid_mirror_io, hm_forbid_mirror_io)
HM_NL_TYPE2(hm_nl_cancel_forbid_mirror_io, hm_cancel_forbid_mirror_io)
HM_NL_TYPE2(hm_nl_finished_initialize, hm_finished_initialize)
HM_NL_TYPE2(hm_nl_lock_mirror_rdev, hm_lock_mirror_rdev)
HM_NL_TYPE2(hm_nl_unlock_mirror_rdev, hm_unlock_mirror_rdev)
HM_NL_TYPE2(hm_nl_sync_start, hm_sync_start)

/* Command 6: the reply carries the magic, also on failure. */
static int hm_nl_get_status(const hm_nl_header_t *header, const char *msg, int msg_len,
			    hm_nl_header_t *msg_reply)
{
	hm_nl_volume_t rec;
	char path[HM_NAME_LEN];
	int ret;

	if (hm_nl_get_record(msg, msg_len, 0, &rec, path, 0)) {
		hm_nl_reply_header(header, msg_reply, -EINVAL);
		msg_reply->magic = HM_NL_MAGIC;
		return 0;
	}
	hm_nl_reply_header(header, msg_reply, 0);
	msg_reply->magic = HM_NL_MAGIC;
	ret = hm_get_status(path, &rec, msg_reply);
	msg_reply->retcode = (uint32_t)(ret < 0 ? -ret : ret);
	if (ret)
		msg_reply->msg_len = 0;
	return 0;
}

static int hm_nl_forbid_mirror_all(const hm_nl_header_t *header, const char *msg, int msg_len,
				   hm_nl_header_t *msg_reply)
{
	(void)msg;
	(void)msg_len;
	hm_nl_reply_header(header, msg_reply, hm_forbid_mirror_all());
	return 0;
}

static int hm_nl_cancel_forbid_mirror_all(const hm_nl_header_t *header, const char *msg,
					  int msg_len, hm_nl_header_t *msg_reply)
{
	(void)msg;
	(void)msg_len;
	hm_nl_reply_header(header, msg_reply, hm_cancel_forbid_mirror_all());
	return 0;
}

typedef int (*hm_type7_op)(const char *path, const hm_nl_volume_t *nlvol, const char *path2,
			   const hm_nl_volume_t *nlvol2);

static int hm_nl_cmd_type7(const hm_nl_header_t *header, const char *msg, int msg_len,
			   hm_nl_header_t *msg_reply, hm_type7_op op, const char *func)
{
	hm_nl_volume_t rec, rec2;
	char path[HM_NAME_LEN], path2[HM_NAME_LEN];
	int second, off2, ret;

	if (hm_nl_get_record(msg, msg_len, 0, &rec, path, 0)) {
		hm_nl_reply_header(header, msg_reply, -EINVAL);
		return 0;
	}
	off2 = rec.dev_name_off + rec.dev_name_len;
	second = msg_len >= off2 + (int)sizeof(rec2);
	if (second && hm_nl_get_record(msg, msg_len, off2, &rec2, path2, 1)) {
		hm_nl_reply_header(header, msg_reply, -EINVAL);
		return 0;
	}
	if (second)
		printk("<1>%s primary: %s mirror: %s\n", func, path, path2);
	else
		printk("<1>%s primary: %s\n", func, path);
	ret = op(path, &rec, second ? path2 : NULL, second ? &rec2 : NULL);
	hm_nl_reply_header(header, msg_reply, ret);
	printk("<1>%s cmd: %s dev_name: %s\n", func, nl_cmd_string[header->cmd], path);
	return 0;
}

static int hm_nl_fail_mirror(const hm_nl_header_t *header, const char *msg, int msg_len,
			     hm_nl_header_t *msg_reply)
{
	return hm_nl_cmd_type7(header, msg, msg_len, msg_reply, hm_fail_mirror, __func__);
}

static int hm_nl_up_mirror(const hm_nl_header_t *header, const char *msg, int msg_len,
			   hm_nl_header_t *msg_reply)
{
	return hm_nl_cmd_type7(header, msg, msg_len, msg_reply, hm_up_mirror, __func__);
}

static int hm_nl_set_sync_speed_max(const hm_nl_header_t *header, const char *msg, int msg_len,
				    hm_nl_header_t *msg_reply)
{
	hm_nl_volume_t rec;
	char path[HM_NAME_LEN];
	uint32_t speed;
	int off, ret;

	if (hm_nl_get_record(msg, msg_len, 0, &rec, path, 0)) {
		hm_nl_reply_header(header, msg_reply, -EINVAL);
		return 0;
	}
	off = rec.dev_name_off + rec.dev_name_len;
	if (off + (int)sizeof(speed) > msg_len) {
		hm_nl_reply_header(header, msg_reply, -EINVAL);
		return 0;
	}
	memcpy(&speed, msg + off, sizeof(speed));
	printk("<1>%s cmd: %s dev_name: %s\n", __func__, nl_cmd_string[header->cmd], path);
	ret = hm_set_sync_speed_max(path, &rec, speed);
	hm_nl_reply_header(header, msg_reply, ret);
	return 0;
}

static int hm_nl_add_protect(const hm_nl_header_t *header, const char *msg, int msg_len,
			     hm_nl_header_t *msg_reply)
{
	hm_nl_header1_t h1;
	hm_nl_volume_t rec, rec2;
	char path[HM_NAME_LEN], path2[HM_NAME_LEN];
	int ret;

	hm_nl_reply_header(header, msg_reply, 0);
	if (msg_len < (int)sizeof(h1)) {
		hm_nl_reply_header(header, msg_reply, -EINVAL);
		return 0;
	}
	memcpy(&h1, msg, sizeof(h1));
	if (h1.nr_vol != 1 && h1.nr_vol != 2) {
		printk("<1>%s failed in: %s err: %d\n", __func__, "wrong argument", 0);
		return 0;
	}
	if (hm_nl_get_record(msg, msg_len, sizeof(h1), &rec, path, 1)) {
		hm_nl_reply_header(header, msg_reply, -EINVAL);
		return 0;
	}
	printk("<7>recv value primary: off:%d, len:%d.", rec.dev_name_off, rec.dev_name_len);
	printk("<7>[recv msg primary] %s dev: %s uuid: %s\n", __func__, path, rec.uuid);
	if (h1.nr_vol == 2 &&
	    hm_nl_get_record(msg, msg_len, sizeof(h1) + sizeof(rec) + rec.dev_name_len, &rec2,
			     path2, 1)) {
		hm_nl_reply_header(header, msg_reply, -EINVAL);
		return 0;
	}
	ret = hm_add_protect(&h1, path, &rec, h1.nr_vol == 2 ? path2 : NULL,
			     h1.nr_vol == 2 ? &rec2 : NULL);
	hm_nl_reply_header(header, msg_reply, 0);
	if (ret < 0)
		msg_reply->retcode = (uint32_t)ret;	/* two's complement, as it always was */
	return 0;
}

static int hm_nl_release_rdev(const hm_nl_header_t *header, const char *msg, int msg_len,
			      hm_nl_header_t *msg_reply)
{
	hm_nl_volume_t rec;

	hm_nl_reply_header(header, msg_reply, 0);
	if (msg_len < (int)(sizeof(hm_nl_header1_t) + sizeof(rec)))
		return 0;
	memcpy(&rec, msg + sizeof(hm_nl_header1_t), sizeof(rec));
	rec.uuid[HM_NAME_LEN - 1] = '\0';
	hm_release_rdev(&rec, msg[msg_len - 1]);
	return 0;
}

/* Commands that do nothing answer 12 zero bytes. */
static int hm_nl_empty(const hm_nl_header_t *header, const char *msg, int msg_len,
		       hm_nl_header_t *msg_reply)
{
	(void)header;
	(void)msg;
	(void)msg_len;
	memset(msg_reply, 0, sizeof(*msg_reply));
	return 0;
}

#define hm_nl_set_protect_mode	hm_nl_empty
#define hm_nl_get_protect_mode	hm_nl_empty
#define hm_nl_get_status_all	hm_nl_empty
#define hm_nl_remove_modules	hm_nl_empty
#define hm_nl_create_cdp	hm_nl_empty
#define hm_nl_set_user_server	hm_nl_empty

static const struct hm_nl_handler_s hm_nl_handler_entry[HM_NL_CMD_MAX] = {
	{ NULL, 0 },
	{ hm_nl_add_protect, 0 },
	{ hm_nl_stop_protect, 0 },
	{ hm_nl_del_protect, 0 },
	{ hm_nl_set_protect_mode, 0 },
	{ hm_nl_get_protect_mode, 0 },
	{ hm_nl_get_status, 0 },
	{ hm_nl_get_status_all, 2688 },
	{ hm_nl_initialize, 0 },
	{ hm_nl_cancel_initialize, 0 },
	{ hm_nl_remove_modules, 0 },
	{ hm_nl_create_cdp, 0 },
	{ hm_nl_set_user_server, 0 },
	{ hm_nl_forbid_mirror_io, 0 },
	{ hm_nl_cancel_forbid_mirror_io, 0 },
	{ hm_nl_forbid_mirror_all, 0 },
	{ hm_nl_cancel_forbid_mirror_all, 0 },
	{ hm_nl_finished_initialize, 0 },
	{ hm_nl_lock_mirror_rdev, 0 },
	{ hm_nl_unlock_mirror_rdev, 0 },
	{ hm_nl_sync_start, 0 },
	{ hm_nl_fail_mirror, 0 },
	{ hm_nl_up_mirror, 0 },
	{ hm_nl_set_sync_speed_max, 0 },
	{ hm_nl_release_rdev, 0 },
};

int hm_nl_send_reply(const void *msg, int msg_len, int pid)
{
	struct sk_buff *skb;
	struct nlmsghdr *nlh;

	if (!serv_sk)
		return -1;
	skb = alloc_skb(HM_NL_MSG_SIZE, GFP_ATOMIC);
	if (!skb) {
		printk("<3>%s alloc skb failed\n", __func__);
		return -1;
	}
	nlh = (struct nlmsghdr *)skb_put(skb, HM_NL_MSG_SIZE);
	/* Nothing of the kernel's memory leaves beyond the defined bytes. */
	memset(nlh, 0, HM_NL_MSG_SIZE);
	nlh->nlmsg_len = HM_NL_MSG_SIZE;
	nlh->nlmsg_type = 0;
	nlh->nlmsg_flags = 0;
	nlh->nlmsg_seq = 0;
	nlh->nlmsg_pid = 0;
	if (msg_len > HM_NL_PAYLOAD)
		msg_len = HM_NL_PAYLOAD;
	memcpy((char *)nlh + HM_NL_NLHDR_LEN, msg, msg_len);
	NETLINK_CB(skb).pid = 0;
	NETLINK_CB(skb).dst_group = 0;
	return netlink_unicast(serv_sk, skb, pid, MSG_DONTWAIT);
}

void hm_nl_kern_msg_process(struct sk_buff *skb)
{
	hm_nl_header_t header, *reply;
	const char *body;
	char *msg = NULL;
	int pid = NETLINK_CB(skb).pid;	/* where it came from, whatever it claims */

	body = hm_nl_check_msg(skb->data, skb->len, &header);
	if (!body)
		return;
	if (header.magic != HM_NL_MAGIC || header.cmd == 0 || header.cmd >= HM_NL_CMD_MAX) {
		printk("<1>%s: invalid msg magic: %X(expection:%X) cmd: %d(max:%d)\n", __func__,
		       header.magic, HM_NL_MAGIC, header.cmd, HM_NL_CMD_MAX);
		return;
	}
	if (header.cmd == HM_NL_CMD_SET_USER_SERVER) {
		hm_nl_header_t r = { HM_NL_CMD_SET_USER_SERVER, 0, 0, 0, 0 };

		user_server_pid = pid;
		user_server_ok = 1;
		hm_nl_send_reply(&r, sizeof(r), pid);
		return;
	}

	reply = (hm_nl_header_t *)kzalloc(HM_NL_PAYLOAD, GFP_KERNEL);
	if (header.msg_len) {
		msg = (char *)kmalloc(header.msg_len, GFP_KERNEL);
		if (msg)
			memcpy(msg, body, header.msg_len);
	}
	if (!reply || (header.msg_len && !msg)) {
		hm_nl_header_t r = header;

		r.retcode = HM_NL_RET_ENOMEM;
		r.msg_len = 0;
		hm_nl_send_reply(&r, sizeof(r), pid);
		kfree(reply);
		kfree(msg);
		return;
	}

	if (header.cmd != HM_NL_CMD_GET_STATUS && header.cmd != HM_NL_CMD_FORBID_MIRROR_ALL &&
	    header.cmd != HM_NL_CMD_CANCEL_FORBID_MIRROR_ALL)
		printk("<1>%s recive cmd: %s\n", __func__, nl_cmd_string[header.cmd]);
	hm_nl_handler_entry[header.cmd].function(&header, msg, header.msg_len, reply);
	if (reply->msg_len > HM_NL_BODY_MAX)
		reply->msg_len = 0;
	hm_nl_send_reply(reply, sizeof(*reply) + reply->msg_len, pid);
	kfree(reply);
	kfree(msg);
}

static void hm_nl_kernel_receiver(struct sk_buff *skb)
{
	hm_nl_kern_msg_process(skb);
}

static struct sock *hm_netlink_kernel_create(void)
{
	return netlink_kernel_create(&init_net, HM_NL_PROTOCOL, 0, hm_nl_kernel_receiver, NULL,
				     THIS_MODULE);
}

int hm_nl_init(void)
{
	serv_sk = hm_netlink_kernel_create();
	if (!serv_sk)
		return -1;
	user_server_pid = 0;
	user_server_ok = 0;
	return 0;
}

void hm_nl_exit(void)
{
	if (serv_sk) {
		sock_release(serv_sk->sk_socket);
		serv_sk = NULL;
	}
}
