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
  unsigned char* rx;          // the request being read, and its bytes so far
  size_t rx_have;
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
void queue_request(struct hm_request* r);
void queue_unix_request(struct hm_request* r);
void queue_net_request(struct hm_request* r);
// From a worker: the reply is in the request's buffer.
void hm_request_finished(struct hm_request* r);

int set_nonblock(int fd);

// The steps run by the workers (hm_unix_cmd.cc, hm_cdp.cc).
void unix_request_process(struct hm_work* w);
void net_request_process(struct hm_work* w);

#endif  // ZELMIR_DAEMON_HM_CONN_H
