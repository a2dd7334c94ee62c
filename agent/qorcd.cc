// qorcd, the agent daemon.  Only the command line is in place yet: the
// daemon itself is started from here once its parts exist.
#include <stdio.h>
#include <unistd.h>

#include "mirapi/log.h"

namespace {

const char kUsage[] =
    "zel tidewell daemon\n"
    "  -d    set debug mode, print transport information into logfile\n"
    "  -h    show this information and exit\n";

void daemon_usage(const char *prog) { printf("%s: %s", prog, kUsage); }

}  // namespace

int main(int argc, char **argv) {
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
  return 0;
}
