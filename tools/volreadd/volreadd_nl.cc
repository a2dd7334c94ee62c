// The netlink-21 transport, as zelmird has it, for a one-shot single-threaded
// program: no lock around the bind, and receive failures logged through
// log_write.
#include "volreadd_nl.h"

#include <errno.h>
#include <stddef.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "hm_nl.h"
#include "host/host.h"
#include "mirapi/log.h"

namespace {

// The netlink socket address and message header, as the kernel lays them out.
struct nl_addr {
  uint16_t family;
  uint16_t pad;
  uint32_t pid;
  uint32_t groups;
};
static_assert(sizeof(nl_addr) == 12, "netlink address is 12 bytes");

struct nl_msghdr {
  uint32_t len;
  uint16_t type;
  uint16_t flags;
  uint32_t seq;
  uint32_t pid;
};
static_assert(sizeof(nl_msghdr) == HM_NL_NLHDR_LEN, "netlink header is 16 bytes");
static_assert(offsetof(nl_msghdr, pid) == 12, "port id at 12");

uint32_t thread_port_id() {
  uint32_t tid = static_cast<uint32_t>(pthread_self());
  return static_cast<uint32_t>(getpid()) | ((tid & 0xffffu) << 16);
}

int bind_port(int sock, uint32_t pid) {
  nl_addr a = {AF_NETLINK, 0, pid, 0};
  return hl_bind(sock, reinterpret_cast<const struct sockaddr*>(&a), sizeof(a));
}

}  // namespace

int send_msg_to_kernel(int sock, uint32_t port, const void* msg, int len) {
  if (sock < 0) {
    HM_LOG(3, "wrong sock\n");
    return -1;
  }
  if (len < 0 || len > HM_NL_PAYLOAD) return -1;
  unsigned char* dgram = static_cast<unsigned char*>(calloc(1, HM_NL_MSG_SIZE));
  if (dgram == nullptr) {
    HM_LOG(3, "out of memory, malloc failed: %s\n", strerror(errno));
    return -1;
  }
  nl_msghdr h = {HM_NL_MSG_SIZE, 0, 0, 0, port};
  memcpy(dgram, &h, sizeof(h));
  memcpy(dgram + HM_NL_NLHDR_LEN, msg, len);
  nl_addr to = {AF_NETLINK, 0, 0, 0};
  ssize_t n = hl_sendto(sock, dgram, HM_NL_MSG_SIZE, 0,
                        reinterpret_cast<const struct sockaddr*>(&to), sizeof(to));
  int err = errno;
  free(dgram);
  if (n != HM_NL_MSG_SIZE) {
    HM_LOG(3, "send error: %s make sure zelmir kernle module is loaded\n",
           strerror(err));
    return -1;
  }
  return HM_NL_MSG_SIZE;
}

int recv_msg_from_kernel(int sock, void* buf, int len) {
  unsigned char* dgram = static_cast<unsigned char*>(malloc(HM_NL_MSG_SIZE));
  if (dgram == nullptr) {
    printf("malloc failed: %s\n", strerror(errno));
    return -1;
  }
  ssize_t n = hl_recvfrom(sock, dgram, HM_NL_MSG_SIZE, 0, nullptr, nullptr);
  if (n != HM_NL_MSG_SIZE) {
    HM_LOG(3, "%s failed: %s\n", "recv_msg_from_kernel",
           n < 0 ? strerror(errno) : "short message");
    free(dgram);
    return -1;
  }
  if (len > HM_NL_PAYLOAD) len = HM_NL_PAYLOAD;
  memcpy(buf, dgram + HM_NL_NLHDR_LEN, len);
  free(dgram);
  return HM_NL_MSG_SIZE;
}

int do_cmd_with_kernel(const void* msg, int len, void* reply, int reply_len) {
  int sock = hl_socket(AF_NETLINK, SOCK_RAW, HM_NL_PROTOCOL);
  if (sock < 0) {
    int err = errno;
    HM_LOG(3, "netlink socket create failed: %s\n", strerror(err));
    return -err;
  }
  struct timeval tv = {30, 0};
  hl_setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  hl_setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));

  uint32_t pid = thread_port_id();
  if (bind_port(sock, pid) != 0) {
    int err = errno;
    HM_LOG(3, "failed to de cmd with kernel:bind addr failed, %ld: %s\n",
           static_cast<long>(pid), strerror(err));
    int k;
    for (k = 0; k < 50; k++) {
      pid = static_cast<uint32_t>(getpid()) + 0x7fffffffu + static_cast<uint32_t>(k);
      if (bind_port(sock, pid) == 0) break;
      err = errno;
      HM_LOG(3, "failed to de cmd with kernel:bind addr failed, %ld: %s\n",
             static_cast<long>(pid), strerror(err));
    }
    if (k == 50) {
      shutdown(sock, SHUT_RDWR);
      hl_close(sock);
      return -err;
    }
  }
  // The module answers the port id in the request's header, so the header
  // carries the port this socket really holds.
  nl_addr bound = {0, 0, 0, 0};
  socklen_t blen = sizeof(bound);
  if (hl_getsockname(sock, reinterpret_cast<struct sockaddr*>(&bound), &blen) == 0 &&
      bound.pid != 0)
    pid = bound.pid;

  int rc = 0;
  unsigned char head_buf[sizeof(hm_nl_header_t)];
  if (send_msg_to_kernel(sock, pid, msg, len) < 0) {
    HM_LOG(3, "send msg to kernel error");
    rc = -1;
  } else if (reply != nullptr) {
    if (reply_len < static_cast<int>(sizeof(hm_nl_header_t)) ||
        recv_msg_from_kernel(sock, reply, reply_len) < 0) {
      HM_LOG(3, "recv msg from kern error\n");
      rc = -1;
    }
  } else if (recv_msg_from_kernel(sock, head_buf, sizeof(head_buf)) < 0) {
    HM_LOG(3, "recv msg from kernel error");
    rc = -1;
  }
  if (rc == 0) {
    hm_nl_header_t h;
    memcpy(&h, reply != nullptr ? reply : head_buf, sizeof(h));
    if (h.retcode != 0) {
      HM_LOG(3, "failed, ret: %x\n", h.retcode);
      int32_t code = static_cast<int32_t>(h.retcode);
      rc = code < 0 ? code : -code;
    }
  }
  shutdown(sock, SHUT_RDWR);
  hl_close(sock);
  return rc;
}
