// CDP marks: the TCP channel on port 59191 (one XML request per connection,
// answered at once, before the mark is made), the "net" step, and the mark
// itself with the guard of all mirrors lifted around the outside call.
#ifndef ZELMIR_DAEMON_HM_CDP_H
#define ZELMIR_DAEMON_HM_CDP_H

#include <stddef.h>
#include <stdint.h>

struct hmdev;

#define HM_CDP_PORT 59191
#define HM_CDP_MSG_MAX 1024
#define HM_CDP_PARA_BLOCK 516

// Results of a TCP request as its reply's m_ErrorCode carries them.
#define HM_CDP_ERR_BAD_XML 0x2a00002e
#define HM_CDP_ERR_NO_REPLY 0x2a00002f

enum { NET_CMD_CREATE_CDP = 1, NET_CMD_CREATE_TIMECDP = 2 };

void net_listen_handler(int fd, uint32_t events, void* arg);
// Connections of the CDP channel accepted and not yet closed; read it on the
// thread that runs the event loop, or after that loop has stopped.
int net_open_connections(void);
int parse_xml_cmd(const char* msg, int len, int fd);
int net_cmd_lookup(const char* name);
int format_xml_reply(const char* doc, int len, char* out, int out_len);
int zelc_send_msg(int fd, const char* buf, int len);

// One mark: 0, -2 when the protection is unknown, inactive, stopped or not
// healthy, or the outside call's negative result.
int create_cdp(int code, const char* name);
int hmdev_health(struct hmdev* dev);
int cdp_name_to_guid(const char* name, char* guid, size_t size);

// The longest a peer may take to send its request, and to close its side
// once answered.
extern int g_cdp_read_timeout_ms;
// The most connections of the channel kept open at once; more are closed as
// they come.
extern int g_cdp_max_conns;

#endif  // ZELMIR_DAEMON_HM_CDP_H
