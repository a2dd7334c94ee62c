// qorcd's command dispatch: the command table (one row per command the
// daemon serves, fixed at build time) and the exchange of one connection.
#ifndef ZELMIR_AGENT_QOR_DISPATCH_H
#define ZELMIR_AGENT_QOR_DISPATCH_H

#include <stddef.h>
#include <stdint.h>

#include "hm_list.h"
#include "qor_transport.h"

// A command handler: takes the exchange's record, may leave a reply document
// in sendxml with its length in send_head.data_len, and returns the status
// for the reply head (its low 16 bits).
typedef int (*qor_handler)(qorc_req* req);

// Where a command is served.
enum qor_listener {
  QOR_ANY_LISTENER,  // the TCP port and the unix socket
  QOR_UNIX_ONLY,     // the unix socket only: on TCP it is no command at all
};

// A row of the table.  What each handler checks first about the host's
// manager, and the status it refuses with, is the handler's own: the
// dispatcher only finds the row and calls it.
struct qor_command {
  uint32_t code;
  const char* name;
  qor_handler handler;
  qor_listener where;
};

// The rows, in ascending code order, and their number.
extern const qor_command qor_commands[];
extern const size_t qor_command_count;

// The row of a code, or null for a code without one (0 and 7 among them).
const qor_command* qor_find_command(uint32_t code);

// What every command of the CDP agent (30000 to 30008) checks first: 1 for a
// missing request, 50 for a host without manager, each logged; else 0.
int qor_zel_command_head(const qorc_req* req);

// One received request turned into its reply head (req->send_head, with the
// handler's document in sendxml).  local: it came on the unix socket.
// 1 when a reply is to be sent, 0 when the request gets none (a code of 0,
// above the table, without a row, or a unix-only code on TCP).
int qor_dispatch(qorc_req* req, int local);

// One accepted connection, handed to process_cmd.
struct qor_conn {
  int fd;
  int local;  // accepted on the unix socket
};

// Connections served at once; the accept loop waits for a free slot before
// it accepts the next one, so a flood of connections waits in the listen
// backlog instead of starting a thread each.
constexpr int QOR_MAX_CONNECTIONS = 64;
// Each wait of a connection for its peer, on the host's clock.
constexpr int QOR_CONN_TIMEOUT = 40;

// Waits until fewer than QOR_MAX_CONNECTIONS connections are served and
// takes a slot; process_cmd gives it back (conn_slot_release when no thread
// could be started).
void conn_slot_take(void);
void conn_slot_release(void);

// The thread of one connection (a qor_conn from new, which it deletes): one
// request, at most one reply, then the connection is closed.
void* process_cmd(void* conn);

// 1 when fd's local IPv4 address is in filter (a list of ip_entry), else 0.
int qor_local_addr_filtered(int fd, const struct list_head* filter);

#endif  // ZELMIR_AGENT_QOR_DISPATCH_H
