// Runs inside a simulated host: plays a qorcd that takes the local client's
// connection and never answers, then withdraws through the local client and
// reports its result and how long it took on this machine's clock.
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include "qor_local.h"

int main() {
  unlink(QORCD_SOCK_PATH);
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, QORCD_SOCK_PATH, sizeof(addr.sun_path) - 1);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 ||
      listen(fd, 4) != 0) {
    perror("listen");
    return 2;
  }
  timespec t0, t1;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  int r = qor_local_withdraw();
  clock_gettime(CLOCK_MONOTONIC, &t1);
  printf("result=%d seconds=%ld\n", r, static_cast<long>(t1.tv_sec - t0.tv_sec));
  close(fd);
  unlink(QORCD_SOCK_PATH);
  return 0;
}
