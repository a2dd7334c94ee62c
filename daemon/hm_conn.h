// Local client connections and the request record that travels between the
// main thread (which reads every request and writes every reply) and the
// workers (which carry requests out).
//
// All client state belongs to the main thread: a worker hands a finished
// request back through a locked queue and an eventfd, and the main thread
// puts it on its client's finished list.
#ifndef ZELMIR_DAEMON_HM_CONN_H
#define ZELMIR_DAEMON_HM_CONN_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include "hm_list.h"
#include "hm_workqueue.h"

// The data buffer of a local request.
#define HM_REQ_BUF_SIZE 409600
#define HM_REQ_HDR_OFF 0
#define HM_REQ_BODY_OFF 6
#define HM_REPLY_HDR_OFF 1030
#define HM_REPLY_BODY_OFF 1036
// The request area ends where the reply begins.
#define HM_REQ_BODY_MAX (HM_REPLY_HDR_OFF - HM_REQ_BODY_OFF)
// A reply body's length travels in 16 bits.
#define HM_REPLY_BODY_MAX 65535

enum { HM_CLIENT_OK = 0, HM_CLIENT_BROKEN = 3 };
enum { HM_REQ_LOCAL = 1, HM_REQ_NET = 2 };

struct hm_request;

struct hm_client {
  int fd;
  uint32_t events;
  int state;
  int cleared;                // no longer watched; freed with its last request
  struct list_head done;      // finished requests, newest first
  int nr_requests;
  struct list_head live;      // among the open connections, oldest deadline first
  int64_t deadline_ms;        // host monotonic: the request being read must be whole by then
  unsigned char rx_hdr[6];    // the header being read, and its bytes so far
  size_t rx_have;
  unsigned char* rx;          // the body being read once the header is in, and its bytes
  size_t rx_body;
  struct hm_request* tx;      // the reply being written, and its bytes so far
  size_t tx_done;
};

struct hm_request {
  struct list_head list;
  struct hm_client* client;
  uint32_t type;
  uint32_t cmd;
  void* data;
  struct hm_work work;
};

static inline struct hm_request* hm_request_of(struct hm_work* w) {
  return list_entry(w, struct hm_request, work);
}

// Registers the hand-back channel with the event loop.
int hm_conn_init(void);

struct hm_client* create_client(int fd);
void destroy_client(struct hm_client* c);
void clear_client(struct hm_client* c);
void unix_listener(int fd, uint32_t events, void* arg);
void hm_data_rx(struct hm_client* c, int type);
void hm_conn_tx(struct hm_client* c);

struct hm_request* alloc_request(uint32_t type, uint32_t cmd, void* data, struct hm_client* c);
void free_request(struct hm_request* r);
// 0, or -1 when the request's queue is full (the request is then not
// queued and still the caller's).
int queue_request(struct hm_request* r);
int queue_unix_request(struct hm_request* r);
int queue_net_request(struct hm_request* r);
// The most requests that may wait on "un_domain" and on "net": marks are
// answered before they are made, and every local request holds its buffer
// until it runs.
extern int g_unix_queue_max;
extern int g_net_queue_max;
// From a worker: the reply is in the request's buffer.
void hm_request_finished(struct hm_request* r);

int set_nonblock(int fd);

// Open local connections.  Each request must be whole within the clients'
// own time-out of its connection's accept, or of the reply before it; at
// most g_unix_max_clients connections are kept.
extern int g_unix_request_timeout_ms;
extern int g_unix_max_clients;
int hm_conn_open_clients(void);
// Room for one more connection: 0, closing the oldest idle one when the
// bound is reached; -1 when every open one has a request under way.
int hm_conn_make_room(void);
// Closes the oldest idle connection: 1, or 0 when there is none.
int hm_conn_evict_idle(void);

// At most one line a second for a condition that a flood repeats thousands
// of times; the line says how many it stands for (main thread only).
struct hm_ratelimit {
  time_t last;
  unsigned missed;
  unsigned said;
};
int hm_ratelimit_ok(struct hm_ratelimit* rl);
// What the line that hm_ratelimit_ok allowed stands for besides itself.
static inline unsigned hm_ratelimit_missed(const struct hm_ratelimit* rl) { return rl->said; }

// The steps run by the workers (hm_unix_cmd.cc, hm_cdp.cc).
void unix_request_process(struct hm_work* w);
void net_request_process(struct hm_work* w);

#endif  // ZELMIR_DAEMON_HM_CONN_H
