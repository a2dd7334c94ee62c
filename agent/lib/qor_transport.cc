#include "qor_transport.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "host/host.h"
#include "mirapi/log.h"

namespace {


// The socket's own time-out for `opt` (SO_RCVTIMEO or SO_SNDTIMEO) in
// milliseconds, rounded up; -1 when none is set.
long long socket_timeout_ms(int fd, int opt) {
  timeval tv{};
  socklen_t len = sizeof(tv);
  if (getsockopt(fd, SOL_SOCKET, opt, &tv, &len) != 0) return -1;
  if (tv.tv_sec == 0 && tv.tv_usec == 0) return -1;
  return tv.tv_sec * 1000LL + (tv.tv_usec + 999) / 1000;
}

// Waits until fd is ready for `events`, the socket's time-out `opt` passes
// or the deadline (host milliseconds, -1 none) comes, on the host's
// monotonic clock.  1 ready, 0 timed out, -1 failed.
int wait_ready(int fd, short events, int opt, int64_t deadline) {
  const long long limit = socket_timeout_ms(fd, opt);
  long long end = limit >= 0 ? hl_monotonic_ms() + limit : -1;
  if (deadline >= 0 && (end < 0 || deadline < end)) end = deadline;
  for (;;) {
    int left = -1;
    if (end >= 0) {
      long long rest = end - hl_monotonic_ms();
      left = rest <= 0 ? 0 : rest > INT_MAX ? INT_MAX : static_cast<int>(rest);
    }
    pollfd p{fd, events, 0};
    int r = hl_poll(&p, 1, left);
    if (r > 0) return 1;
    if (r == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

// The two directions of the exact-length loop, with their texts.
struct Direction {
  bool reading;
  short event;       // readiness to wait for when the socket has no room/data
  int timeout_opt;   // the socket's time-out that bounds that wait
  const char *step, *step_done, *closed, *failed;
};
const Direction kReading = {true, POLLIN, SO_RCVTIMEO, "Read from fd(%d)", "Read from fd(%d) done",
                            "Failed to receive msg, %d bytes left", "Failed to read (%s)"};
const Direction kWriting = {false, POLLOUT, SO_SNDTIMEO, "Send to fd(%d)", "Send to fd(%d) done",
                            "Failed to send msg, %d bytes left", "Failed to write (%s)"};

// Moves count bytes.  When the time-out passes, a read returns what arrived
// (the caller judges it) and a write fails: a peer that never reads must
// not hold the sender for ever.
int transfer(int fd, char *p, int count, const Direction &d, int64_t deadline) {
  int total = 0;
  int left = count;
  while (left >= 1) {
    if (d.reading) HM_LOG(LOG_DEBUG, "total:%d left:%d", total, left);
    HM_LOG(LOG_DEBUG, d.step, fd);
    size_t want = static_cast<size_t>(left);
    ssize_t n = d.reading ? recv(fd, p + total, want, MSG_DONTWAIT)
                          : send(fd, p + total, want, MSG_DONTWAIT | MSG_NOSIGNAL);
    int err = errno;
    if (n < 0 && (err == EAGAIN || err == EWOULDBLOCK)) {
      int r = wait_ready(fd, d.event, d.timeout_opt, deadline);
      if (r > 0) continue;
      err = r == 0 ? EAGAIN : errno;
      if (r == 0 && d.reading) {
        HM_LOG(LOG_DEBUG, d.step_done, fd);
        return total;
      }
    }
    HM_LOG(LOG_DEBUG, d.step_done, fd);
    if (n == 0) {
      HM_LOG(LOG_ERR, d.closed, left);
      return -1;
    }
    if (n > 0) {
      left -= static_cast<int>(n);
      total += static_cast<int>(n);
      continue;
    }
    if (err == EINTR) continue;
    HM_LOG(LOG_ERR, d.failed, strerror(err));
    return -1;
  }
  return d.reading ? total : count;
}

int readn(int fd, void *buf, int count, int64_t deadline) {
  HM_LOG(LOG_DEBUG, "count:%d", count);
  return transfer(fd, static_cast<char *>(buf), count, kReading, deadline);
}

int writen(int fd, const void *buf, int count, int64_t deadline) {
  // The loop only reads from the buffer when it writes.
  return transfer(fd, static_cast<char *>(const_cast<void *>(buf)), count, kWriting, deadline);
}

void clear_received(qorc_req *req) {
  free(req->recvxml);
  req->recvxml = nullptr;
  memset(&req->recv_head, 0, sizeof(req->recv_head));
}

}  // namespace

qorc_req *req_alloc() { return static_cast<qorc_req *>(calloc(1, sizeof(qorc_req))); }

void qor_reply_document(qorc_req* req, char* text, uint32_t len) {
  free(req->sendxml);
  req->sendxml = text;
  req->send_head.data_len = text != nullptr ? len : 0;
}

void req_free(qorc_req *req) {
  if (!req) return;
  free(req->recvxml);
  free(req->sendxml);
  free(req);
}

int qorc_readn(int fd, void *buf, int count) { return readn(fd, buf, count, -1); }

int qorc_writen(int fd, const void *buf, int count) { return writen(fd, buf, count, -1); }

int reused_sock() {
  int fd = -1;
  // Close-on-exec from the start: a thread may fork a program (iscsiadm,
  // "service iscsi start") between a socket's creation and a later fcntl,
  // and a daemon that program leaves running would keep the socket open.
  for (int attempt = 0; attempt < 4 && fd < 0; attempt++)
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    HM_LOG(LOG_ERR, "Failed to create socket (%s)", strerror(errno));
    return -1;
  }
  int on = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0) {
    HM_LOG(LOG_WARNING, "Failed to set SO_REUSEADDR (%s)", strerror(errno));
    close(fd);
    return -1;
  }
  return fd;
}

int send_to_remote(int fd, qorc_req *req) { return send_to_remote_by(fd, req, -1); }

int send_to_remote_by(int fd, qorc_req *req, int64_t deadline) {
  // A head that promises a payload the record does not hold is not sent.
  if (!req || (req->send_head.data_len != 0 && !req->sendxml)) {
    HM_LOG(LOG_ERR, "Invalid input");
    return -1;
  }
  const qorc_head &h = req->send_head;
  if (writen(fd, &h, sizeof(h), deadline) <= 0) {
    HM_LOG(LOG_ERR, "Failed to send head to fd(%d)", fd);
    return -1;
  }
  HM_LOG(LOG_DEBUG, "Send head: ret=%d, cmd=%d, data_len=%d", h.ret_status,
         static_cast<int>(h.cmd), static_cast<int>(h.data_len));
  if (h.data_len == 0) return 0;
  int len = static_cast<int>(h.data_len);
  if (writen(fd, req->sendxml, len, deadline) <= 0) {
    HM_LOG(LOG_ERR, "Failed to send xml_msg to fd(%d)", fd);
    return -1;
  }
  HM_LOG(LOG_DEBUG, "Send xml: %.*s", len, req->sendxml);
  return 0;
}

namespace {

// A received document as the debug log may show it: the value of every
// DBPasswd attribute (the database password of DB_SET) replaced by "***".
std::string without_secrets(const char *xml) {
  static const char kKey[] = "DBPasswd";
  std::string out;
  const char *p = xml;
  while (const char *at = strstr(p, kKey)) {
    const char *q = at + sizeof(kKey) - 1;
    while (*q == ' ' || *q == '\t' || *q == '\n' || *q == '\r') q++;
    if (*q != '=') {
      out.append(p, q);
      p = q;
      continue;
    }
    q++;
    while (*q == ' ' || *q == '\t' || *q == '\n' || *q == '\r') q++;
    if (*q != '"' && *q != '\'') {
      out.append(p, q);
      p = q;
      continue;
    }
    const char *end = strchr(q + 1, *q);
    out.append(p, q + 1);
    out += "***";
    if (end == nullptr) return out;
    p = end;
  }
  return out + p;
}

}  // namespace

int recv_from_remote(int fd, qorc_req *req) { return recv_from_remote_by(fd, req, -1); }

int recv_from_remote_by(int fd, qorc_req *req, int64_t deadline) {
  if (!req) return -1;
  if (req->recvxml) {
    HM_LOG(LOG_ERR, "Request unclean, exit daemon");
    exit(1);
  }
  qorc_head &h = req->recv_head;
  // A head or payload cut short (the peer's time-out passed or it closed)
  // is a failed exchange, never a message.
  if (readn(fd, &h, sizeof(h), deadline) != static_cast<int>(sizeof(h))) {
    HM_LOG(LOG_DEBUG, "Failed to recv head from fd(%d)", fd);
    clear_received(req);
    return -1;
  }
  HM_LOG(LOG_DEBUG, "Recv head: ret=%d, cmd=%d, data_len=%d", h.ret_status,
         static_cast<int>(h.cmd), static_cast<int>(h.data_len));
  if (h.data_len == 0) return 0;
  if (h.data_len > QORC_MAX_DATA_LEN) {
    HM_LOG(LOG_ERR, "Message of %u bytes from fd(%d) refused", h.data_len, fd);
    clear_received(req);
    return -1;
  }
  int len = static_cast<int>(h.data_len);
  req->recvxml = static_cast<char *>(calloc(static_cast<size_t>(len) + 1, 1));
  if (!req->recvxml) {
    HM_LOG(LOG_ERR, "Failed to allocate memory");
    clear_received(req);
    return -1;
  }
  if (readn(fd, req->recvxml, len, deadline) != len) {
    HM_LOG(LOG_DEBUG, "Failed to recv xml_msg from fd(%d)", fd);
    clear_received(req);
    return -1;
  }
  HM_LOG(LOG_DEBUG, "Recv xml: %s", without_secrets(req->recvxml).c_str());
  return 0;
}
