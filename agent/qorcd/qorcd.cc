// qorcd, the agent daemon: the command line, then the daemon.
#include <unistd.h>

#include "mirapi/log.h"
#include "qor_daemon.h"

int main(int argc, char** argv) {
  debug_off();
  // Only the first option counts.
  switch (getopt(argc, argv, "hd")) {
    case 'h':
      daemon_usage(argv[0]);
      return 0;
    case 'd':
      debug_on();
      break;
    default:
      break;
  }
  start_daemon("qorcd");
  return supervise();
}
