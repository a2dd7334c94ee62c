// mirctl's own request sender: the local host-mirror transport, reporting
// its failures on standard output where the administrator sees them.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

#include "mirctl.h"
#include "mirapi/log.h"
#include "mirapi/util.h"

namespace {

std::string g_socket_path = HM_UNIX_PATH;

// A receive that times out or is interrupted is repeated, at most 5 times
// for one read; 0 once all @count bytes are in, -1 otherwise.
int read_whole(int fd, char* buf, size_t count) {
  int repeats = 0;
  size_t got = 0;
  while (got < count) {
    ssize_t n = read(fd, buf + got, count - got);
    if (n > 0) {
      got += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR) && repeats < 5) {
      repeats++;
      continue;
    }
    return -1;
  }
  return 0;
}

}  // namespace

void mirctl_set_socket_path_for_test(const char* path) {
  g_socket_path = path != nullptr ? path : HM_UNIX_PATH;
}

int do_un_cmd(const void* req, int len, char** reply) {
  *reply = nullptr;
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) {
    printf("socket error: %s\n", strerror(errno));
    return fd;
  }

  struct timeval tv = {HM_UN_TIMEOUT_SEC, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));

  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", g_socket_path.c_str());
  if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) < 0) {
    int err = errno;
    printf("%s: make sure zelmird is running\n", strerror(err));
    close(fd);
    return -err;
  }

  const char* note = nullptr;
  int ret = 0;
  char* buf = nullptr;
  hm_header_t head;
  if (writen(fd, req, len) != len) {
    note = "writen cmd msg";
    ret = -1;
  } else {
    log_write(7, __func__, __LINE__, "send bytes: %d", len);
    if (read_whole(fd, reinterpret_cast<char*>(&head), sizeof(head)) != 0) {
      note = "readn hm_header_t";
      ret = -1;
    }
  }
  if (ret == 0) {
    // One more zero byte, so a body always reads as a terminated text.
    buf = static_cast<char*>(calloc(1, sizeof(head) + head.body_len + 1));
    if (buf == nullptr) {
      note = "malloc msg_reply";
      ret = -12;
    } else {
      memcpy(buf, &head, sizeof(head));
      if (head.body_len != 0) {
        if (read_whole(fd, buf + sizeof(head), head.body_len) != 0) {
          note = "readn msg body";
          ret = -1;
          free(buf);
          buf = nullptr;
        } else {
          log_write(7, __func__, __LINE__, "MSG len: %d body: %s\n",
                    head.body_len, buf + sizeof(head));
        }
      }
    }
  }
  int err = errno;
  close(fd);
  if (ret < 0 && note != nullptr)
    printf("failed in: %s err: %s\n", note, strerror(err));
  *reply = buf;
  return ret;
}

int mirctl_send_and_report(const void* req, int len, int code) {
  char* reply;
  int ret = do_un_cmd(req, len, &reply);
  if (ret < 0) return ret;
  const hm_header_t* h = reinterpret_cast<const hm_header_t*>(reply);
  if (h->retcode != 0) {
    printf("cmd: %s failed: %s\n", hm_un_cmd_name(code),
           hm_un_retcode_text(h->retcode));
    ret = -h->retcode;
  } else {
    printf("cmd: %s success\n", hm_un_cmd_name(code));
    if (h->body_len != 0) printf("%d %s\n", h->body_len, reply + sizeof(*h));
  }
  free(reply);
  return ret;
}

int mirctl_print_reply(const char* reply) {
  const hm_header_t* h = reinterpret_cast<const hm_header_t*>(reply);
  if (h->retcode != 0) {
    printf("cmd: %s failed: %s\n", hm_un_cmd_name(h->cmd),
           hm_un_retcode_text(h->retcode));
    return -h->retcode;
  }
  if (h->body_len != 0)
    puts(reply + sizeof(*h));
  else
    printf("do cmd %s success\n", hm_un_cmd_name(h->cmd));
  return 0;
}

int mirctl_daemon_cmd(const void* req, int len) {
  char* reply;
  int ret = do_un_cmd(req, len, &reply);
  if (ret < 0) return ret;
  ret = mirctl_print_reply(reply);
  free(reply);
  return ret;
}
