#include "hm_listen.h"

#include <errno.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "hm_cdp.h"
#include "hm_conn.h"
#include "hm_event.h"
#include "mirapi/log.h"

namespace {

int unix_setup(int fd, void*) { return register_event(fd, unix_listen_handler, nullptr); }

int net_create_listen_fn(int fd, void*) { return register_event(fd, net_listen_handler, nullptr); }

}  // namespace

void unix_listen_handler(int fd, uint32_t, void*) {
  int conn = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
  if (conn < 0) {
    HM_LOG(LOG_ERR, "failed to accept a new connection: %m");
    return;
  }
  HM_LOG(LOG_DEBUG, "accepted a new connection: %d", conn);
  set_nonblock(conn);
  struct hm_client* c = create_client(conn);
  if (!c) {
    close(conn);
    return;
  }
  if (register_event(conn, unix_listener, c) != 0) {
    c->cleared = 1;  // never registered
    clear_client(c);
  }
}

int create_unix_domain_socket(const char* path, int (*setup)(int, void*), void* arg) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    HM_LOG(LOG_ERR, "failed to create socket, %m");
    return -1;
  }
  struct sockaddr_un a = {};
  a.sun_family = AF_UNIX;
  if (strlen(path) >= sizeof(a.sun_path)) {
    close(fd);
    return -1;
  }
  strcpy(a.sun_path, path);
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof(a)) != 0) {
    HM_LOG(LOG_ERR, "failed to bind socket: %m");
    close(fd);
    return -1;
  }
  if (listen(fd, 20) != 0) {
    HM_LOG(LOG_ERR, "failed to listen on socket: %m");
    close(fd);
    return -1;
  }
  if (set_nonblock(fd) != 0 || setup(fd, arg) != 0) {
    close(fd);
    return -1;
  }
  return 0;
}

int setup_unix_server(const char* path) {
  unlink(path);
  return create_unix_domain_socket(path, unix_setup, nullptr);
}

int create_listen_socket(int port, int backlog, int (*setup)(int, void*)) {
  // Non-blocking, so that a connection that went away between the wake-up
  // and the accept cannot leave the loop waiting in accept.
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    HM_LOG(LOG_EMERG, "PANIC: create socket error");
    abort();
  }
  int one = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0)
    HM_LOG(LOG_ERR, "setsockopt failed: %s\n", strerror(errno));
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons((uint16_t)port);
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof(a)) != 0) {
    int err = errno;
    HM_LOG(LOG_ERR, "bind failed: %s\n", strerror(err));
    close(fd);
    return -err;
  }
  if (listen(fd, backlog) != 0) {
    HM_LOG(LOG_ERR, "listen failed: %s\n", strerror(errno));
    close(fd);
    return -1;
  }
  int rc = setup(fd, nullptr);
  if (rc != 0) close(fd);
  return rc;
}

int setup_net_server(void) { return create_listen_socket(HM_CDP_PORT, 20, net_create_listen_fn); }

