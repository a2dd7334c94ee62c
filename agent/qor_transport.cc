#include "qor_transport.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "mirapi/log.h"

qorc_req *req_alloc() { return static_cast<qorc_req *>(calloc(1, sizeof(qorc_req))); }

void req_free(qorc_req *req) {
  if (!req) return;
  free(req->recvxml);
  free(req->sendxml);
  free(req);
}

int reused_sock() {
  int fd = -1;
  for (int attempt = 0; attempt < 4 && fd < 0; attempt++) fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) {
    HM_LOG(LOG_ERR, "Failed to create socket (%s)", strerror(errno));
    return -1;
  }
  fcntl(fd, F_SETFD, FD_CLOEXEC);
  int on = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0) {
    HM_LOG(LOG_WARNING, "Failed to set SO_REUSEADDR (%s)", strerror(errno));
    close(fd);
    return -1;
  }
  return fd;
}
