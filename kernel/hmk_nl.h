/* Netlink protocol 21: the module's end. */
#ifndef ZELMIR_KERNEL_HMK_NL_H
#define ZELMIR_KERNEL_HMK_NL_H

#include <linux/types.h>

#include "hm_nl.h"

struct sk_buff;

typedef int (*hm_nl_handler_fn)(const hm_nl_header_t *header, const char *msg, int msg_len,
				hm_nl_header_t *msg_reply);

struct hm_nl_handler_s {
	hm_nl_handler_fn function;
	int reply_body_size;
};

int hm_nl_init(void);
void hm_nl_exit(void);
void hm_nl_kern_msg_process(struct sk_buff *skb);
int hm_nl_send_reply(const void *msg, int msg_len, int pid);

/*
 * Checks one datagram as it arrived and, when it is to be served, fills
 * @header and returns a pointer to its body (or to the header when msg_len
 * is 0).  Returns NULL for anything that gets no reply.  Pure: the unit
 * tests drive it with a table of malformed messages.
 */
const char *hm_nl_check_msg(const void *data, unsigned int len, hm_nl_header_t *header);

/*
 * Reads the record at @off of a body of @msg_len bytes and its path into a
 * zero-filled 128-byte @path.  0, or -EINVAL when the record, its path offset
 * or length do not fit the body or the path is longer than 127 bytes.  A
 * record without a path gives an empty @path when @need_path is 0.
 */
int hm_nl_get_record(const char *msg, int msg_len, int off, hm_nl_volume_t *rec, char *path,
		     int need_path);

#endif
