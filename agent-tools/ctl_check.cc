#include "ctl_check.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "host/host.h"
#include "mirapi/log.h"

namespace {

// Waits for events on fd for at most CTL_CHECK_TIMEOUT seconds of the host's
// clock.  true when ready; false with errno set (ETIMEDOUT when the time
// passed).
bool wait_for(int fd, short events) {
  const long long deadline = hl_monotonic_ms() + CTL_CHECK_TIMEOUT * 1000LL;
  for (;;) {
    long long rest = deadline - hl_monotonic_ms();
    if (rest < 0) rest = 0;
    pollfd p{fd, events, 0};
    int r = hl_poll(&p, 1, static_cast<int>(rest > INT_MAX ? INT_MAX : rest));
    if (r > 0) return true;
    if (r == 0) {
      errno = ETIMEDOUT;
      return false;
    }
    if (errno != EINTR) return false;
  }
}

// Once the peer took the connection, a reset is its answer too: a peer that
// closes without reading what arrived makes Linux answer with a reset, which
// the probe meets in the connect's completion, on its write (EPIPE,
// ECONNRESET) or on its read (ECONNRESET), depending on how the close and the
// probe cross.  A refused connect is ECONNREFUSED, never one of these.
bool peer_reset(int err) { return err == EPIPE || err == ECONNRESET; }

// How a step of the check ended: go on with the next step, the peer has
// answered already, or the check failed (errno says why).
enum Step { kGoOn, kAnswered, kFailed };

Step failed_unless_reset() { return peer_reset(errno) ? kAnswered : kFailed; }

// A non-blocking connect whose wait is bounded.
Step connect_bounded(int fd, const sockaddr_in& sa) {
  if (connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) == 0) return kGoOn;
  if (errno != EINPROGRESS) return kFailed;
  if (!wait_for(fd, POLLOUT)) return kFailed;
  int err = 0;
  socklen_t len = sizeof(err);
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return kFailed;
  if (err == 0) return kGoOn;
  errno = err;
  return failed_unless_reset();
}

Step send_head(int fd, const qorc_head& head) {
  size_t done = 0;
  const char* p = reinterpret_cast<const char*>(&head);
  while (done < sizeof(head)) {
    ssize_t n = send(fd, p + done, sizeof(head) - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN && wait_for(fd, POLLOUT)) continue;
    return failed_unless_reset();
  }
  return kGoOn;
}

// One read of up to 16 bytes; what it brings does not matter.
Step read_answer(int fd) {
  char buf[sizeof(qorc_head)];
  for (;;) {
    ssize_t n = recv(fd, buf, sizeof(buf), 0);
    if (n >= 0) return kAnswered;
    if (errno == EINTR) continue;
    if (errno == EAGAIN && wait_for(fd, POLLIN)) continue;
    return failed_unless_reset();
  }
}

}  // namespace

void check_head_init(qorc_head* head, uint32_t cmd, uint32_t len) {
  memset(head, 0, sizeof(*head));
  head->proto_version = 1;
  head->cmd = cmd;
  head->data_len = len;
}

int connection_check(const char* text) {
  if (text == nullptr) {
    HM_LOG(LOG_DEBUG, "Invalid input");
    return -1;
  }
  char address[31] = {};
  int port = 0;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  // A port outside 1..65535 would be cut to another port, and an address
  // that is no dotted quad would leave the address unset: neither is tried.
  if (sscanf(text, "%30[^:]:%d", address, &port) != 2 || port < 1 || port > 65535 ||
      inet_pton(AF_INET, address, &sa.sin_addr) != 1) {
    HM_LOG(LOG_DEBUG, "Invalid input: %s", text);
    return -1;
  }
  sa.sin_port = htons(static_cast<uint16_t>(port));

  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    HM_LOG(LOG_ERR, "Failed to create socket: %s", strerror(errno));
    return -1;
  }
  qorc_head head;
  check_head_init(&head, QORC_CMD_PING_CLIENT, 0);
  Step step = connect_bounded(fd, sa);
  if (step == kFailed) {
    HM_LOG(LOG_ERR, "Failed to connect: %s", strerror(errno));
  } else if (step == kGoOn && (step = send_head(fd, head)) == kFailed) {
    HM_LOG(LOG_ERR, "Failed to send msg to %s (%s)", text, strerror(errno));
  } else if (step == kGoOn && (step = read_answer(fd)) == kFailed) {
    HM_LOG(LOG_ERR, "Failed to receive msg from %s (%s)", text, strerror(errno));
  }
  const int rc = step == kAnswered ? 0 : -1;
  close(fd);
  return rc;
}
