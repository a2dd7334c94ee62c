// libmirapi's console policy: console output only on a terminal, and syslog
// under its default identity (the library never calls openlog).
#include "mirapi/log_sink.h"

#include <unistd.h>

namespace {

// Console output is of use only to someone watching a terminal; a
// redirected standard output keeps logging to syslog.
int is_stdout_console() { return isatty(STDOUT_FILENO) ? 1 : 0; }

}  // namespace

int log_sink_open(const char * /*name*/, int console) {
  if (console && is_stdout_console()) return console;
  return 0;
}
