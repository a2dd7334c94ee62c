// Where finished log lines go, the same for every program: standard output
// or syslog.  Only the console policy (log_sink.cc) differs between variants.
#include <stdio.h>
#include <syslog.h>

#include "mirapi/log_sink.h"

void log_sink_close(void) { closelog(); }

void log_sink_console(const char *line) {
  fputs(line, stdout);
  fflush(stdout);
}

void log_sink_syslog(int priority, const char *line) { syslog(priority, "%s", line); }
