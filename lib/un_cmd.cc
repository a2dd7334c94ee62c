#include "un_cmd.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include "hm_unix.h"
#include "host/host.h"
#include "mirapi/log.h"
#include "mirapi/util.h"

namespace mirapi {

namespace {

constexpr int kReadRetries = 5;   // receive time-outs tolerated per read

// The whole exchange ends within what a silent daemon was always given (the
// first receive time-out and its retries), however its bytes trickle in.
int64_t g_exchange_limit_ms = (1 + kReadRetries) * HM_UN_TIMEOUT_SEC * 1000LL;

char g_socket_path[sizeof(((struct sockaddr_un *)nullptr)->sun_path)] = HM_UNIX_PATH;

// Each wait of the socket ends by the exchange's deadline at the latest.
bool limit_wait(int fd, int opt, int64_t deadline) {
  int64_t left = deadline - hl_monotonic_ms();
  if (left <= 0) return false;
  if (left > HM_UN_TIMEOUT_SEC * 1000LL) left = HM_UN_TIMEOUT_SEC * 1000LL;
  struct timeval tv = {static_cast<time_t>(left / 1000), static_cast<suseconds_t>((left % 1000) * 1000)};
  if (tv.tv_sec == 0 && tv.tv_usec == 0) tv.tv_usec = 1000;
  setsockopt(fd, SOL_SOCKET, opt, &tv, sizeof(tv));
  return true;
}

// Reads exactly count bytes by the deadline; a receive time-out or
// interruption is retried kReadRetries times, end of stream or any other
// error fails.
bool read_exact(int fd, char *buf, size_t count, int64_t deadline) {
  size_t got = 0;
  int retries = 0;
  while (got < count) {
    if (!limit_wait(fd, SO_RCVTIMEO, deadline)) return false;
    ssize_t n = read(fd, buf + got, count - got);
    if (n > 0) {
      got += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) &&
        retries++ < kReadRetries)
      continue;
    return false;
  }
  return true;
}

void log_socket_failed(int err) { HM_LOG(LOG_ERR, "socket error: %s", strerror(err)); }
void log_connect_failed(int err) {
  HM_LOG(LOG_ERR, "%s: make sure zelmird is running", strerror(err));
}
void log_exchange_failed(const char *note, int) { HM_LOG(LOG_ERR, "failed in: %s", note); }

}  // namespace

const UnReport kLogReport = {log_socket_failed, log_connect_failed, log_exchange_failed, false};

int do_un_cmd(const void *req, int req_len, char **reply, const UnReport &report) {
  *reply = nullptr;
  const int64_t deadline = hl_monotonic_ms() + g_exchange_limit_ms;
  // Close-on-exec: a threaded caller (qorcd) may start a program meanwhile,
  // which must not carry the connection off.
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    report.socket_failed(errno);
    return fd;
  }
  const char *note = nullptr;
  int rc = 0;
  int err = 0;
  char *buf = nullptr;
  hm_header_t hdr;

  struct timeval tv = {HM_UN_TIMEOUT_SEC, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));

  struct sockaddr_un addr;
  memset(&addr, 0, sizeof(addr));
  addr.sun_family = AF_UNIX;
  memcpy(addr.sun_path, g_socket_path, strlen(g_socket_path));
  if (connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)) < 0) {
    err = errno;
    close(fd);
    report.connect_failed(err);
    return -err;
  }
  if (!limit_wait(fd, SO_SNDTIMEO, deadline) || writen(fd, req, req_len) != req_len) {
    note = "writen cmd msg";
    rc = -1;
    goto out;
  }
  HM_LOG(LOG_DEBUG, "send bytes: %d", req_len);

  if (!read_exact(fd, reinterpret_cast<char *>(&hdr), sizeof(hdr), deadline)) {
    note = "readn hm_header_t";
    rc = -1;
    goto out;
  }
  buf = static_cast<char *>(calloc(1, sizeof(hdr) + hdr.body_len + 1));
  if (!buf) {
    note = "malloc msg_reply";
    rc = -12;
    goto out;
  }
  memcpy(buf, &hdr, sizeof(hdr));
  if (hdr.body_len) {
    if (!read_exact(fd, buf + sizeof(hdr), hdr.body_len, deadline)) {
      note = "readn msg body";
      rc = -1;
      free(buf);
      goto out;
    }
    if (report.log_body)
      HM_LOG(LOG_DEBUG, "MSG len: %d body: %s\n", hdr.body_len, buf + sizeof(hdr));
  }
  *reply = buf;

out:
  err = errno;
  close(fd);
  if (rc < 0 && note) report.exchange_failed(note, err);
  return rc;
}

void set_exchange_limit_for_test(int ms) {
  g_exchange_limit_ms = ms > 0 ? ms : (1 + kReadRetries) * HM_UN_TIMEOUT_SEC * 1000LL;
}

void set_socket_path_for_test(const char *path) {
  const char *p = path ? path : HM_UNIX_PATH;
  size_t n = strnlen(p, sizeof(g_socket_path) - 1);
  memcpy(g_socket_path, p, n);
  g_socket_path[n] = '\0';
}

}  // namespace mirapi
