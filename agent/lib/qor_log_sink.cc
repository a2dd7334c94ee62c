// The agent programs' console policy: console output whenever it is asked
// for, with no terminal test; otherwise syslog, opened under the program's
// name with the user facility.  Exported from each agent program together
// with its log_write, so that libmirapi's own log calls land here.
#include <syslog.h>

#include "mirapi/log_sink.h"

int log_sink_open(const char *name, int console) {
  if (console) return console;
  openlog(name, 0, LOG_USER);
  return 0;
}
