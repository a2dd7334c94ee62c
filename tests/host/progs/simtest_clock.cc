// Run inside a simulated host by the clock tests: reads the host's clocks and
// waits on them through the host layer, and prints what it saw.
//   simtest_clock now                 mono=S wall=S time=S (host seconds)
//   simtest_clock KIND SECONDS        waits SECONDS by KIND, then prints
//                                     result=R host=S took_ms=M (host seconds
//                                     waited, this machine's milliseconds)
// KIND: sleep, usleep, poll, cond-mono, cond-wall.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "host/host.h"

namespace {

double secs(const timespec& ts) { return ts.tv_sec + ts.tv_nsec / 1e9; }

double host_now(clockid_t clk) {
  timespec ts;
  hl_clock_gettime(clk, &ts);
  return secs(ts);
}

int cond_wait(clockid_t clk, unsigned seconds) {
  pthread_mutex_t mu = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t cv = PTHREAD_COND_INITIALIZER;
  timespec until;
  hl_clock_gettime(clk, &until);
  until.tv_sec += seconds;
  pthread_mutex_lock(&mu);
  int rc;
  do rc = hl_cond_timedwait(&cv, &mu, clk, &until);
  while (rc == 0);
  pthread_mutex_unlock(&mu);
  return rc;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && strcmp(argv[1], "now") == 0) {
    timespec mono, wall;
    hl_clock_gettime(CLOCK_MONOTONIC, &mono);
    hl_clock_gettime(CLOCK_REALTIME, &wall);
    time_t t = hl_time(nullptr);
    printf("mono=%lld wall=%lld time=%lld\n", static_cast<long long>(mono.tv_sec),
           static_cast<long long>(wall.tv_sec), static_cast<long long>(t));
    return 0;
  }
  if (argc != 3) {
    fprintf(stderr, "usage: simtest_clock now | KIND SECONDS\n");
    return 2;
  }
  std::string kind = argv[1];
  unsigned n = static_cast<unsigned>(strtoul(argv[2], nullptr, 10));
  timespec r0;
  clock_gettime(CLOCK_MONOTONIC, &r0);
  double h0 = host_now(CLOCK_MONOTONIC);
  long result;
  if (kind == "sleep") {
    result = hl_sleep(n);
  } else if (kind == "usleep") {
    result = hl_usleep(n * 1000000u);
  } else if (kind == "poll") {
    int p[2];
    if (pipe(p) != 0) return 1;
    pollfd f{p[0], POLLIN, 0};
    result = hl_poll(&f, 1, static_cast<int>(n * 1000));
  } else if (kind == "cond-mono") {
    result = cond_wait(CLOCK_MONOTONIC, n);
  } else if (kind == "cond-wall") {
    result = cond_wait(CLOCK_REALTIME, n);
  } else {
    fprintf(stderr, "simtest_clock: unknown kind %s\n", kind.c_str());
    return 2;
  }
  timespec r1;
  clock_gettime(CLOCK_MONOTONIC, &r1);
  printf("result=%s host=%.0f took_ms=%.0f\n",
         result == ETIMEDOUT ? "ETIMEDOUT" : std::to_string(result).c_str(),
         host_now(CLOCK_MONOTONIC) - h0, (secs(r1) - secs(r0)) * 1000);
  return 0;
}
