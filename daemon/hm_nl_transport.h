// The netlink-21 transport shared by zelmird and volreadd.
#ifndef ZELMIR_DAEMON_HM_NL_TRANSPORT_H
#define ZELMIR_DAEMON_HM_NL_TRANSPORT_H

#include <stdint.h>

// One round trip: 0, -|retcode|, -1 when sending or receiving failed, -errno
// when no socket could be made or bound. @msg is the 12-byte header and its
// body (@len = 12 + msg_len); with @reply the first @reply_len bytes (at
// least 12) of the reply's message land there.
int do_cmd_with_kernel(const void* msg, int len, void* reply, int reply_len);
// The whole datagram (2064) or -1.
int send_msg_to_kernel(int sock, uint32_t port, const void* msg, int len);
// 2064, having copied @len bytes of the received message into @buf, or -1.
int recv_msg_from_kernel(int sock, void* buf, int len);

#endif  // ZELMIR_DAEMON_HM_NL_TRANSPORT_H
