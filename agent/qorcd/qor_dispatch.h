// qorcd's command dispatch: the command table (one row per command the
// daemon serves, fixed at build time) and the exchange of one connection.
#ifndef ZELMIR_AGENT_QORCD_QOR_DISPATCH_H
#define ZELMIR_AGENT_QORCD_QOR_DISPATCH_H

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
  int local;            // accepted on the unix socket
  int64_t accepted_ms;  // when, on the host's monotonic clock (hl_monotonic_ms)
};

// A request must have arrived whole this many seconds after its connection
// was accepted, and its reply must have left this many seconds after it was
// made, on the host's clock; else the connection is closed.
constexpr int QOR_REQUEST_DEADLINE = 40;

// The thread of one connection (a qor_conn from new, which it deletes): one
// request, at most one reply, then the connection is closed and its slot
// given back (qor_slots.h).
void* process_cmd(void* conn);

// 1 when fd's local IPv4 address is in filter (a list of ip_entry), else 0.
int qor_local_addr_filtered(int fd, const struct list_head* filter);

#endif  // ZELMIR_AGENT_QORCD_QOR_DISPATCH_H
