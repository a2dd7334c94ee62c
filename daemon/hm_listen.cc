#include "hm_listen.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "hm_cdp.h"
#include "hm_conn.h"
#include "hm_event.h"
#include "hm_sys.h"
#include "mirapi/log.h"

namespace {

// Given up only to take a connection off a listener when the descriptor
// table is full (main thread only).
int reserve_fd = -1;

void reserve_open() {
  if (reserve_fd < 0) reserve_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
}

hm_ratelimit accept_full_rl;

// Only root may command the daemon: it hooks and guards disks and overwrites
// mirrors on request.
int peer_is_root(int fd) {
  struct ucred cred = {};
  socklen_t len = sizeof(cred);
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
    HM_LOG(LOG_ERR, "local client refused: its credentials cannot be read: %m");
    return 0;
  }
  if (cred.uid == 0) return 1;
  HM_LOG(LOG_ERR, "local client of uid %u refused: only root is served", (unsigned)cred.uid);
  return 0;
}

int unix_setup(int fd, void*) { return register_event(fd, unix_listen_handler, nullptr); }

int net_create_listen_fn(int fd, void*) { return register_event(fd, net_listen_handler, nullptr); }

}  // namespace

int hm_accept(int listen_fd, int flags) {
  int conn = accept4(listen_fd, nullptr, nullptr, flags);
  if (conn >= 0) return conn;
  int err = errno;
  if (err != EMFILE && err != ENFILE) {
    if (err != EAGAIN && err != EWOULDBLOCK && err != EINTR)
      HM_LOG(LOG_ERR, "failed to accept a new connection: %s", strerror(err));
    return -1;
  }
  hm_fd_shortage_note();
  if (hm_conn_evict_idle()) {
    conn = accept4(listen_fd, nullptr, nullptr, flags);
    if (conn >= 0) return conn;
  }
  int dropped = 0;
  if (reserve_fd >= 0) {
    close(reserve_fd);
    reserve_fd = -1;
    int c = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (c >= 0) {
      close(c);
      dropped = 1;
    }
    reserve_open();
  }
  if (hm_ratelimit_ok(&accept_full_rl))
    HM_LOG(LOG_ERR, "no descriptor left: %s (%u more since the last such line)",
           dropped ? "a new connection was closed" : "a new connection waits",
           hm_ratelimit_missed(&accept_full_rl));
  return -1;
}

void unix_listen_handler(int fd, uint32_t, void*) {
  int conn = hm_accept(fd, SOCK_CLOEXEC);
  if (conn < 0) return;
  HM_LOG(LOG_DEBUG, "accepted a new connection: %d", conn);
  if (!peer_is_root(conn) || hm_conn_make_room() != 0) {
    close(conn);
    return;
  }
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
  // The file is made 0600 as it is bound, so no other user can ever reach
  // it (the daemon runs with umask 0).
  mode_t old_mask = umask(0177);
  int brc = bind(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof(a));
  int berr = errno;
  umask(old_mask);
  if (brc != 0) {
    errno = berr;
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
  reserve_open();
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

