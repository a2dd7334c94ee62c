// Runs inside a simulated host: one request head (no body) to qorcd's unix
// socket, and what came back on one line:
//   "replied version=V status=S tag=T cmd=C len=L" or "closed".
// Usage: qorcd_unix_probe VERSION CMD TAG
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "qor_local.h"
#include "qor_transport.h"

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  qorc_head head{};
  head.proto_version = static_cast<uint8_t>(atoi(argv[1]));
  head.cmd = static_cast<uint32_t>(strtoul(argv[2], nullptr, 10));
  head.tag = static_cast<uint16_t>(atoi(argv[3]));
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, QORCD_SOCK_PATH, sizeof(addr.sun_path) - 1);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    perror("connect");
    return 2;
  }
  if (write(fd, &head, sizeof(head)) != static_cast<ssize_t>(sizeof(head))) return 2;
  qorc_head reply{};
  size_t got = 0;
  while (got < sizeof(reply)) {
    ssize_t n = read(fd, reinterpret_cast<char*>(&reply) + got, sizeof(reply) - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  if (got < sizeof(reply)) {
    printf("closed\n");
    return 0;
  }
  printf("replied version=%d status=%d tag=%d cmd=%u len=%u\n", reply.proto_version,
         reply.ret_status, reply.tag, reply.cmd, reply.data_len);
  return 0;
}
