#include "hm_conn.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include "host/host.h"
#include "hm_event.h"
#include "hm_unix.h"
#include "mirapi/log.h"
#include "mirapi/util.h"

int g_unix_request_timeout_ms = HM_UN_TIMEOUT_SEC * 1000;
int g_unix_max_clients = 256;
int g_unix_queue_max = 64;
int g_net_queue_max = 256;

namespace {

// Finished requests on their way back to the main thread.
pthread_mutex_t done_lock = PTHREAD_MUTEX_INITIALIZER;
struct list_head done_queue = {&done_queue, &done_queue};
int done_efd = -1;

// The open connections, oldest deadline first (main thread only).  A
// connection with a request under way has no deadline; when its last reply
// is out it starts a new one at the tail.
struct list_head live_clients = {&live_clients, &live_clients};
int nr_live;
int sweep_tfd = -1;
hm_ratelimit evict_rl, expire_rl;

int client_idle(const struct hm_client* c) { return c->nr_requests == 0; }

void client_deadline_start(struct hm_client* c) {
  c->deadline_ms = hl_monotonic_ms() + g_unix_request_timeout_ms;
  list_del(&c->live);
  list_add_tail(&c->live, &live_clients);
}

struct hm_client* oldest_idle() {
  struct list_head* pos;
  list_for_each(pos, &live_clients) {
    struct hm_client* c = list_entry(pos, struct hm_client, live);
    if (client_idle(c)) return c;
  }
  return nullptr;
}

// The sweep looks often enough that a deadline is kept to within half the
// time-out, and at least every second.
void sweep_arm() {
  int ms = g_unix_request_timeout_ms / 2;
  if (ms > 1000) ms = 1000;
  if (ms < 1) ms = 1;
  struct itimerspec its = {};
  its.it_value.tv_sec = ms / 1000;
  its.it_value.tv_nsec = (ms % 1000) * 1000000L;
  timerfd_settime(sweep_tfd, 0, &its, nullptr);
}

// Closes the idle connections whose deadline has passed, on the host's
// clock: a silent client, or one that sent part of a request, holds a
// descriptor and its bytes no longer than a client itself would wait.
void sweep_handler(int fd, uint32_t, void*) {
  uint64_t n;
  ssize_t r = read(fd, &n, sizeof(n));
  (void)r;
  int64_t now = hl_monotonic_ms();
  struct list_head *pos, *tmp;
  list_for_each_safe(pos, tmp, &live_clients) {
    struct hm_client* c = list_entry(pos, struct hm_client, live);
    if (!client_idle(c)) continue;
    if (c->deadline_ms > now) break;
    if (hm_ratelimit_ok(&expire_rl))
      HM_LOG(LOG_ERR, "local connection %d: no whole request within %d s, closed (%u more since the last such line)",
             c->fd, g_unix_request_timeout_ms / 1000, hm_ratelimit_missed(&expire_rl));
    clear_client(c);
  }
  sweep_arm();
}

void client_tx_on(struct hm_client* c, int on) {
  uint32_t ev = on ? (c->events | EPOLLOUT) : (c->events & ~(uint32_t)EPOLLOUT);
  if (ev == c->events) return;
  if (modify_event(c->fd, ev) == 0) c->events = ev;
}

void client_rx_reset(struct hm_client* c) {
  free(c->rx);
  c->rx = nullptr;
  c->rx_have = 0;
  c->rx_body = 0;
}

// Back on the main thread: the request joins its client's finished list.
void take_finished(struct hm_request* r) {
  struct hm_client* c = r->client;
  if (c->cleared) {
    free_request(r);
    if (c->nr_requests == 0) destroy_client(c);
    return;
  }
  HM_LOG(LOG_DEBUG, "done list empty: %d", list_empty(&c->done));
  list_add(&r->list, &c->done);
  uint32_t ev = c->events | EPOLLOUT;
  if (modify_event(c->fd, ev) != 0) {
    HM_LOG(LOG_ERR, "turn conn: %d tx on failed clear ci", c->fd);
    list_del(&r->list);
    free_request(r);
    clear_client(c);
    return;
  }
  c->events = ev;
}

void done_handler(int fd, uint32_t, void*) {
  uint64_t n;
  while (read(fd, &n, sizeof(n)) > 0) {
  }
  struct list_head batch;
  INIT_LIST_HEAD(&batch);
  pthread_mutex_lock(&done_lock);
  list_splice_init(&done_queue, &batch);
  pthread_mutex_unlock(&done_lock);
  while (!list_empty(&batch)) {
    struct hm_request* r = list_first_entry(&batch, struct hm_request, list);
    list_del(&r->list);
    take_finished(r);
  }
}

// Reads what the socket holds toward want bytes: 1 complete, 0 more to come,
// -1 end of stream or failure.
int read_some(int fd, unsigned char* buf, size_t* have, size_t want) {
  while (*have < want) {
    ssize_t n = recv(fd, buf + *have, want - *have, MSG_DONTWAIT);
    if (n > 0) {
      *have += (size_t)n;
      continue;
    }
    if (n == 0) return -1;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    HM_LOG(LOG_ERR, "failed: %s\n", strerror(errno));
    return -1;
  }
  return 1;
}

hm_ratelimit busy_rl;

// The local queue is full: the request is answered at once with "Try again
// later", as if it had run.
void refuse_busy(struct hm_request* r) {
  if (hm_ratelimit_ok(&busy_rl))
    HM_LOG(LOG_ERR, "%d local requests wait: cmd %u refused (%u more since the last such line)", g_unix_queue_max,
           r->cmd, hm_ratelimit_missed(&busy_rl));
  unsigned char* data = static_cast<unsigned char*>(r->data);
  hm_header_t reply = {};
  reply.cmd = data[HM_REQ_HDR_OFF];
  reply.retcode = UN_RET_TRY_AGAIN;
  memcpy(data + HM_REPLY_HDR_OFF, &reply, sizeof(reply));
  take_finished(r);
}

}  // namespace

int set_nonblock(int fd) {
  int fl = fcntl(fd, F_GETFL);
  if (fl < 0) return -1;
  return fcntl(fd, F_SETFL, fl | O_NONBLOCK);
}

int hm_conn_init(void) {
  done_efd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (done_efd < 0) return -1;
  if (register_event(done_efd, done_handler, nullptr) != 0) return -1;
  sweep_tfd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (sweep_tfd < 0 || register_event(sweep_tfd, sweep_handler, nullptr) != 0) return -1;
  sweep_arm();
  return 0;
}

int hm_ratelimit_ok(struct hm_ratelimit* rl) {
  time_t now = time(nullptr);
  if (rl->last == now) {
    rl->missed++;
    return 0;
  }
  rl->last = now;
  rl->said = rl->missed;
  rl->missed = 0;
  return 1;
}

int hm_conn_open_clients(void) { return nr_live; }

int hm_conn_evict_idle(void) {
  struct hm_client* c = oldest_idle();
  if (!c) return 0;
  if (hm_ratelimit_ok(&evict_rl))
    HM_LOG(LOG_ERR, "%d local connections open: the oldest idle one, %d, closed (%u more since the last such line)",
           nr_live, c->fd, hm_ratelimit_missed(&evict_rl));
  clear_client(c);
  return 1;
}

int hm_conn_make_room(void) {
  if (nr_live < g_unix_max_clients) return 0;
  if (hm_conn_evict_idle()) return 0;
  if (hm_ratelimit_ok(&evict_rl))
    HM_LOG(LOG_ERR, "%d local connections open, each with a request under way: a new one closed (%u more since "
           "the last such line)", nr_live, hm_ratelimit_missed(&evict_rl));
  return -1;
}

struct hm_client* create_client(int fd) {
  struct hm_client* c = static_cast<struct hm_client*>(calloc(1, sizeof(*c)));
  if (!c) {
    HM_LOG(LOG_ERR, "out of memory");
    return nullptr;
  }
  c->fd = fd;
  c->events = EPOLLIN;
  INIT_LIST_HEAD(&c->done);
  INIT_LIST_HEAD(&c->live);
  client_deadline_start(c);
  nr_live++;
  HM_LOG(LOG_DEBUG, "create client");
  return c;
}

void destroy_client(struct hm_client* c) {
  close(c->fd);
  client_rx_reset(c);
  if (!list_empty(&c->live)) {
    list_del_init(&c->live);
    nr_live--;
  }
  free(c);
  HM_LOG(LOG_DEBUG, "Client Over");
}

void clear_client(struct hm_client* c) {
  HM_LOG(LOG_DEBUG, "done request list in ci empty: %s", list_empty(&c->done) ? "yes" : "no");
  while (!list_empty(&c->done)) {
    struct hm_request* r = list_first_entry(&c->done, struct hm_request, list);
    list_del(&r->list);
    free_request(r);
  }
  if (c->tx) {
    free_request(c->tx);
    c->tx = nullptr;
  }
  client_rx_reset(c);
  if (!list_empty(&c->live)) {
    list_del_init(&c->live);
    nr_live--;
  }
  if (!c->cleared) unregister_event(c->fd);
  c->cleared = 1;
  if (c->nr_requests == 0) destroy_client(c);
}

void unix_listener(int fd, uint32_t events, void* arg) {
  struct hm_client* c = static_cast<struct hm_client*>(arg);
  HM_LOG(LOG_DEBUG, "fd: %d EPOLLIN: %s EPOLLOUT: %s EPOLLHUP: %s EPOLLERR: %s", fd,
         (events & EPOLLIN) ? "yes" : "no", (events & EPOLLOUT) ? "yes" : "no",
         (events & EPOLLHUP) ? "yes" : "no", (events & EPOLLERR) ? "yes" : "no");
  if (!(events & (EPOLLHUP | EPOLLERR))) {
    if (events & EPOLLIN) hm_data_rx(c, HM_REQ_LOCAL);
    if ((events & EPOLLOUT) && c->state != HM_CLIENT_BROKEN) hm_conn_tx(c);
    if (c->state != HM_CLIENT_BROKEN) return;
  }
  clear_client(c);
}

// Reads toward one whole request: the header, then exactly its body.  A
// request may arrive in any number of pieces; the bytes are kept until it is
// whole, in a buffer no larger than the body announced, so a peer that stops
// half-way holds little.  Bytes beyond it in the same arrival mean the
// client sent more than one request at once, which breaks the connection.
void hm_data_rx(struct hm_client* c, int type) {
  const char* what = "readn header";
  int rc = 1;
  if (c->rx_have < sizeof(hm_header_t)) rc = read_some(c->fd, c->rx_hdr, &c->rx_have, sizeof(hm_header_t));
  hm_header_t h = {};
  unsigned char* data = nullptr;
  if (rc == 1) {
    memcpy(&h, c->rx_hdr, sizeof(h));
    if (!c->rx) {
      HM_LOG(LOG_DEBUG, "recv header: cmd=%d, need msg_len=%d", h.cmd, h.body_len);
      c->rx = static_cast<unsigned char*>(malloc(h.body_len ? h.body_len : 1));
      c->rx_body = 0;
    }
    what = "readn msg";
    rc = c->rx ? read_some(c->fd, c->rx, &c->rx_body, h.body_len) : -1;
    if (!c->rx) what = "out of memory";
  }
  if (rc == 0) return;
  if (rc == 1) {
    unsigned char extra;
    ssize_t n = recv(c->fd, &extra, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) {
      HM_LOG(LOG_DEBUG, "msglen: %d ret: %d", h.body_len, (int)c->rx_body + 1);
      rc = -1;
    }
  }
  if (rc == 1) {
    data = static_cast<unsigned char*>(calloc(1, HM_REQ_BUF_SIZE));
    if (!data) {
      what = "out of memory";
      rc = -1;
    }
  }
  if (rc < 0) {
    HM_LOG(LOG_ERR, "error: %s", what);
    HM_LOG(LOG_ERR, "hm connection receive data failed");
    client_rx_reset(c);
    c->state = HM_CLIENT_BROKEN;
    return;
  }
  memcpy(data + HM_REQ_HDR_OFF, c->rx_hdr, sizeof(h));
  memcpy(data + HM_REQ_BODY_OFF, c->rx, h.body_len);
  client_rx_reset(c);
  HM_LOG(LOG_DEBUG, "recv data fd: %d msg len: %d", c->fd, h.body_len);
  struct hm_request* r = alloc_request((uint32_t)type, h.cmd, data, c);
  if (queue_request(r) != 0) refuse_busy(r);
}

// Writes as much of the newest finished reply as the socket takes; the rest
// goes out at the next EPOLLOUT, so a slow reader never holds the loop.
void hm_conn_tx(struct hm_client* c) {
  if (!c->tx) {
    if (list_empty(&c->done)) {
      HM_LOG(LOG_ERR, "no request done");
      client_tx_on(c, 0);
      return;
    }
    c->tx = list_first_entry(&c->done, struct hm_request, list);
    list_del(&c->tx->list);
    c->tx_done = 0;
  }
  unsigned char* reply = static_cast<unsigned char*>(c->tx->data) + HM_REPLY_HDR_OFF;
  hm_header_t h;
  memcpy(&h, reply, sizeof(h));
  size_t total = sizeof(h) + h.body_len;
  while (c->tx_done < total) {
    ssize_t n = send(c->fd, reply + c->tx_done, total - c->tx_done, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      c->tx_done += (size_t)n;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    c->state = HM_CLIENT_BROKEN;
    HM_LOG(LOG_ERR, "failed write data to fd: %d", c->fd);
    return;
  }
  HM_LOG(LOG_DEBUG, "retcode: %d msg_len: %d", h.retcode, (int)total);
  free_request(c->tx);
  c->tx = nullptr;
  if (list_empty(&c->done)) client_tx_on(c, 0);
  // Nothing under way any more: the next request has its own deadline.
  if (client_idle(c)) client_deadline_start(c);
}

struct hm_request* alloc_request(uint32_t type, uint32_t cmd, void* data, struct hm_client* c) {
  struct hm_request* r = static_cast<struct hm_request*>(xzalloc(sizeof(*r)));
  INIT_LIST_HEAD(&r->list);
  r->type = type;
  r->cmd = cmd;
  r->data = data;
  r->client = c;
  if (c) c->nr_requests++;
  HM_LOG(LOG_DEBUG, "alloc request");
  return r;
}

void free_request(struct hm_request* r) {
  if (r->client) r->client->nr_requests--;
  free(r->data);
  free(r);
  HM_LOG(LOG_DEBUG, "request free");
}

int queue_unix_request(struct hm_request* r) {
  if (!r) return 0;
  HM_LOG(LOG_DEBUG, "queue unix request, cmd = %d", r->cmd);
  r->work.step = unix_request_process;
  return queue_work_bounded(un_domain, &r->work, g_unix_queue_max);
}

int queue_net_request(struct hm_request* r) {
  if (!r) return 0;
  HM_LOG(LOG_DEBUG, "queue net request, cmd = %d", r->cmd);
  r->work.step = net_request_process;
  return queue_work_bounded(net, &r->work, g_net_queue_max);
}

int queue_request(struct hm_request* r) {
  if (r->type == HM_REQ_LOCAL) return queue_unix_request(r);
  if (r->type == HM_REQ_NET) return queue_net_request(r);
  HM_LOG(LOG_ERR, "receive unknow request type");
  return 0;
}

void hm_request_finished(struct hm_request* r) {
  pthread_mutex_lock(&done_lock);
  list_add_tail(&r->list, &done_queue);
  pthread_mutex_unlock(&done_lock);
  uint64_t one = 1;
  ssize_t n = write(done_efd, &one, sizeof(one));
  (void)n;
}
