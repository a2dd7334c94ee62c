// The netlink-21 transport: one socket per command, one 2064-byte request,
// one reply. zelmird builds it as it stands; volreadd, a one-shot program of
// one thread, compiles it in with HM_NL_ONE_SHOT: no lock around the bind,
// and a failed receive logged through log_write instead of straight to syslog.
#include "hm_nl_transport.h"

#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>

#include "hm_nl.h"
#include "host/host.h"
#include "mirapi/log.h"

namespace {

static_assert(sizeof(struct nlmsghdr) == HM_NL_NLHDR_LEN, "netlink header is 16 bytes");

// A reply (and a send) that takes longer than this fails the command.
constexpr time_t kIoTimeoutSec = 30;
// Ports tried after the thread's own one is taken, before the command fails.
constexpr int kBindAttempts = 50;

#ifndef HM_NL_ONE_SHOT
// Choosing and binding a port is serialised among the daemon's threads.
pthread_mutex_t bind_lock = PTHREAD_MUTEX_INITIALIZER;
void bind_lock_take() { pthread_mutex_lock(&bind_lock); }
void bind_lock_drop() { pthread_mutex_unlock(&bind_lock); }
#else
void bind_lock_take() {}
void bind_lock_drop() {}
#endif

uint32_t thread_port_id() {
  return (uint32_t)getpid() | (((uint32_t)pthread_self() & 0xffffu) << 16);
}

int bind_port(int sock, uint32_t pid) {
  struct sockaddr_nl a = {};
  a.nl_family = AF_NETLINK;
  a.nl_pid = pid;
  return hl_bind(sock, reinterpret_cast<const struct sockaddr*>(&a), sizeof(a));
}

}  // namespace

int send_msg_to_kernel(int sock, uint32_t port, const void* msg, int len) {
  if (sock < 0) {
    HM_LOG(LOG_ERR, "wrong sock\n");
    return -1;
  }
  if (len < 0 || len > HM_NL_PAYLOAD) return -1;
  unsigned char* dgram = static_cast<unsigned char*>(calloc(1, HM_NL_MSG_SIZE));
  if (!dgram) {
    HM_LOG(LOG_ERR, "out of memory, malloc failed: %s\n", strerror(errno));
    return -1;
  }
  struct nlmsghdr h = {};
  h.nlmsg_len = HM_NL_MSG_SIZE;
  h.nlmsg_pid = port;
  memcpy(dgram, &h, sizeof(h));
  memcpy(dgram + HM_NL_NLHDR_LEN, msg, len);
  struct sockaddr_nl to = {};
  to.nl_family = AF_NETLINK;
  ssize_t n = hl_sendto(sock, dgram, HM_NL_MSG_SIZE, 0,
                        reinterpret_cast<const struct sockaddr*>(&to), sizeof(to));
  free(dgram);
  if (n != HM_NL_MSG_SIZE) {
    HM_LOG(LOG_ERR, "send error: %s make sure zelmir kernle module is loaded\n", strerror(errno));
    return -1;
  }
  return HM_NL_MSG_SIZE;
}

int recv_msg_from_kernel(int sock, void* buf, int len) {
  unsigned char* dgram = static_cast<unsigned char*>(malloc(HM_NL_MSG_SIZE));
  if (!dgram) {
    printf("malloc failed: %s\n", strerror(errno));
    return -1;
  }
  ssize_t n;
  do {
    n = hl_recvfrom(sock, dgram, HM_NL_MSG_SIZE, 0, nullptr, nullptr);
  } while (n < 0 && errno == EINTR);
  if (n != HM_NL_MSG_SIZE) {
#ifndef HM_NL_ONE_SHOT
    syslog(LOG_ERR, "%s failed: %s\n", "recv_msg_from_kernel",
           n < 0 ? strerror(errno) : "short message");
#else
    HM_LOG(LOG_ERR, "%s failed: %s\n", "recv_msg_from_kernel",
           n < 0 ? strerror(errno) : "short message");
#endif
    free(dgram);
    return -1;
  }
  if (len > HM_NL_PAYLOAD) len = HM_NL_PAYLOAD;
  memcpy(buf, dgram + HM_NL_NLHDR_LEN, len);
  free(dgram);
  return HM_NL_MSG_SIZE;
}

int do_cmd_with_kernel(const void* msg, int len, void* reply, int reply_len) {
  bind_lock_take();
  int sock = hl_socket(AF_NETLINK, SOCK_RAW, HM_NL_PROTOCOL);
  if (sock < 0) {
    int err = errno;
    HM_LOG(LOG_ERR, "netlink socket create failed: %s\n", strerror(err));
    bind_lock_drop();
    return -err;
  }
  struct timeval tv = {kIoTimeoutSec, 0};
  hl_setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  hl_setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
  uint32_t pid = thread_port_id();
  if (bind_port(sock, pid) != 0) {
    int err = errno;
    HM_LOG(LOG_ERR, "failed to de cmd with kernel:bind addr failed, %ld: %s\n", (long)pid,
           strerror(err));
    int k;
    for (k = 0; k < kBindAttempts; k++) {
      pid = (uint32_t)getpid() + 0x7fffffffu + (uint32_t)k;
      if (bind_port(sock, pid) == 0) break;
      err = errno;
      HM_LOG(LOG_ERR, "failed to de cmd with kernel:bind addr failed, %ld: %s\n", (long)pid,
             strerror(err));
    }
    if (k == kBindAttempts) {
      bind_lock_drop();
      shutdown(sock, SHUT_RDWR);
      hl_close(sock);
      return -err;
    }
  }
  // The kernel answers the port id of the request's header, so the header
  // must carry the port this socket really holds.
  struct sockaddr_nl bound = {};
  socklen_t blen = sizeof(bound);
  if (hl_getsockname(sock, reinterpret_cast<struct sockaddr*>(&bound), &blen) == 0 &&
      bound.nl_pid != 0)
    pid = bound.nl_pid;
  bind_lock_drop();

  int rc;
  unsigned char hdr_buf[sizeof(hm_nl_header_t)];
  void* in = reply ? reply : hdr_buf;
  int in_len = reply ? reply_len : (int)sizeof(hdr_buf);
  if (send_msg_to_kernel(sock, pid, msg, len) < 0) {
    HM_LOG(LOG_ERR, "send msg to kernel error");
    rc = -1;
  } else if (in_len < (int)sizeof(hm_nl_header_t)) {
    rc = -1;
  } else {
    // A reply of another command is a late answer to an earlier exchange
    // that used this port and gave up waiting: it is not ours.
    uint8_t want = static_cast<const hm_nl_header_t*>(msg)->cmd;
    rc = -1;
    for (int stale = 0; stale < 8; stale++) {
      if (recv_msg_from_kernel(sock, in, in_len) < 0) {
        HM_LOG(LOG_ERR, reply ? "recv msg from kern error\n" : "recv msg from kernel error");
        break;
      }
      uint8_t got = static_cast<const hm_nl_header_t*>(in)->cmd;
      if (got == want || got == 0) {
        rc = 0;
        break;
      }
      HM_LOG(LOG_ERR, "dropped a late reply of command %d", got);
    }
  }
  if (rc == 0) {
    hm_nl_header_t h;
    memcpy(&h, in, sizeof(h));
    if (h.retcode != 0) {
      HM_LOG(LOG_ERR, "failed, ret: %x\n", h.retcode);
      int32_t code = (int32_t)h.retcode;
      rc = code < 0 ? code : -code;
    }
  }
  shutdown(sock, SHUT_RDWR);
  hl_close(sock);
  return rc;
}

