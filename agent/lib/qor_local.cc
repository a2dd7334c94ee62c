#include "qor_local.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include "mirapi/log.h"
#include "qor_report.h"
#include "qor_transport.h"

namespace {

// Connects a new unix stream socket with the client's time-outs to path.
// The socket (or -1 when none could be made) is left in *fd either way.
bool connect_daemon(const char *path, int timeout, int *fd) {
  *fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (*fd < 0) {
    HM_LOG(LOG_ERR, "Failed to create socket (%s)", strerror(errno));
    return false;
  }
  timeval tv{timeout, 0};
  // Without the time-outs the exchange still works, only unbounded.
  (void)setsockopt(*fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
  (void)setsockopt(*fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, path, sizeof(addr.sun_path) - 1);
  if (connect(*fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
    HM_LOG(LOG_ERR, "Failed to connect daemon 'qorcd' (%s)", strerror(errno));
    return false;
  }
  return true;
}

// The exchange itself; the record holds the reply on success.
bool exchange(const char *path, int timeout, qorc_req *req) {
  int fd = -1;
  bool ok = connect_daemon(path, timeout, &fd);
  if (ok && send_to_remote(fd, req) != 0) {
    HM_LOG(LOG_ERR, "Failed to send cmd to manager");
    ok = false;
  }
  if (ok && recv_from_remote(fd, req) != 0) {
    HM_LOG(LOG_ERR, "Failed to receive msg from manager");
    ok = false;
  }
  if (ok && req->recv_head.ret_status != 0) {
    HM_LOG(LOG_ERR, "Failed: daemon return error");
    ok = false;
  }
  if (fd >= 0) close(fd);
  return ok;
}

}  // namespace

int qorc_local_command(const char *path, uint32_t cmd, int timeout, char **reply) {
  if (reply) *reply = nullptr;
  qorc_req *req = req_alloc();
  if (!req) {
    HM_LOG(LOG_ERR, "Failed to initialize request");
    return -1;
  }
  req->send_head.proto_version = QORC_PROTO_VERSION;
  req->send_head.cmd = cmd;
  bool ok = exchange(path, timeout, req);
  if (ok && cmd != QORC_CMD_LOCAL_LIST && cmd != QORC_CMD_LOCAL_WITHDRAW) {
    HM_LOG(LOG_DEBUG, "Unkown command");
    ok = false;
  }
  if (ok && reply) {
    *reply = req->recvxml;
    req->recvxml = nullptr;
  }
  req_free(req);
  return ok ? 0 : -1;
}

qor_t *qor_local_list() {
  char *reply = nullptr;
  if (qorc_local_command(QORCD_SOCK_PATH, QORC_CMD_LOCAL_LIST, QORC_LOCAL_TIMEOUT, &reply) != 0)
    return nullptr;
  qor_t *qor = xml_to_qor(reply);  // null for no document
  free(reply);
  return qor;
}

int qor_local_withdraw() {
  return qorc_local_command(QORCD_SOCK_PATH, QORC_CMD_LOCAL_WITHDRAW, QORC_LOCAL_TIMEOUT, nullptr);
}
