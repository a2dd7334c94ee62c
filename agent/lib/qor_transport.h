// One message of the agent protocol: a fixed 16-byte head, then data_len
// bytes of an XML document (no terminating NUL on the wire).  A connection
// carries one request and at most one reply.
#ifndef ZELMIR_AGENT_LIB_QOR_TRANSPORT_H
#define ZELMIR_AGENT_LIB_QOR_TRANSPORT_H

#include <stddef.h>
#include <stdint.h>

#include <bit>

// The head is written and read in host byte order; every peer is
// little-endian, and so must the host be.
static_assert(std::endian::native == std::endian::little, "the agent head is little-endian");

struct __attribute__((packed)) qorc_head {
  uint8_t proto_version;  // 2 in all of qorcd's messages; 1 in the connection check
  uint8_t reserved1;
  uint16_t ret_status;    // a reply's result; 0 in requests
  uint16_t reserved2;
  uint16_t tag;           // a reply carries its request's tag
  uint32_t cmd;
  uint32_t data_len;      // payload bytes that follow; 0 = none
};
static_assert(sizeof(qorc_head) == 16);
static_assert(offsetof(qorc_head, proto_version) == 0);
static_assert(offsetof(qorc_head, reserved1) == 1);
static_assert(offsetof(qorc_head, ret_status) == 2);
static_assert(offsetof(qorc_head, reserved2) == 4);
static_assert(offsetof(qorc_head, tag) == 6);
static_assert(offsetof(qorc_head, cmd) == 8);
static_assert(offsetof(qorc_head, data_len) == 12);

constexpr uint8_t QORC_PROTO_VERSION = 2;

// Command codes the transport itself uses.
constexpr uint32_t QORC_CMD_HEARTBEAT = 32;
constexpr uint32_t QORC_CMD_PING_CLIENT = 57;
constexpr uint32_t QORC_CMD_LOCAL_LIST = 30010;
constexpr uint32_t QORC_CMD_LOCAL_WITHDRAW = 30011;

// No peer of the agent sends documents anywhere near this size; a head that
// announces more is refused before anything is allocated for it.
constexpr uint32_t QORC_MAX_DATA_LEN = 16u << 20;

// One exchange, owned by the thread that makes it.
struct qorc_req {
  char *recvxml;        // received payload, NUL-terminated; null when none
  char *sendxml;        // payload to send; may be null when send_head.data_len is 0
  qorc_head recv_head;
  qorc_head send_head;
};

// A zero-filled record, or null.
qorc_req *req_alloc();
// Frees both texts and the record; accepts null.
void req_free(qorc_req *req);
// Hands a handler's reply document (malloc'ed, len bytes without its NUL) to
// the reply: sendxml and data_len; a null text leaves the reply without one.
void qor_reply_document(qorc_req* req, char* text, uint32_t len);

// A new IPv4 stream socket with close-on-exec and SO_REUSEADDR, or -1.
int reused_sock();

// The socket routines wait on the host's clock, never in the kernel: a
// receive or send time-out set on the socket (SO_RCVTIMEO, SO_SNDTIMEO)
// bounds each wait for the peer as the kernel would, but is measured by the
// host layer, so a simulated host's moved clock ends it.  No time-out set:
// no limit.  A peer that closed never raises SIGPIPE.

// Reads up to count bytes: fewer only when the receive time-out passed
// (possibly 0).  -1 when the peer closed first or the read failed; 0 for a
// count below 1.
int qorc_readn(int fd, void *buf, int count);
// Writes count bytes; returns count, or -1 (the peer closed, the write
// failed, or the send time-out passed with nothing written).
int qorc_writen(int fd, const void *buf, int count);

// Sends req->send_head and then its data_len bytes of req->sendxml.
// 0 or -1.
int send_to_remote(int fd, qorc_req *req);
// The same, bounded as a whole as well: nothing more is sent once the
// host's monotonic clock reaches deadline (milliseconds, hl_monotonic_ms; -1
// none), and the send fails.
int send_to_remote_by(int fd, qorc_req *req, int64_t deadline);
// Receives one whole message: the head into req->recv_head, its payload
// (NUL-terminated) into a new req->recvxml, null when data_len is 0.  A
// short head or payload, or a data_len above QORC_MAX_DATA_LEN, fails: -1,
// with recvxml null and recv_head zeroed.  A record received into twice
// ends the process with status 1.
int recv_from_remote(int fd, qorc_req *req);
// The same with one limit for the whole message: a message whose last byte
// has not come when the host's monotonic clock reaches deadline
// (milliseconds, hl_monotonic_ms; -1 none) is cut short, and fails.  A peer
// that trickles its bytes cannot stretch it, as it stretches each wait.
int recv_from_remote_by(int fd, qorc_req *req, int64_t deadline);

#endif  // ZELMIR_AGENT_LIB_QOR_TRANSPORT_H
