// The error logger and its two switches, exported so the maker's outside
// libraries can read them.
#include <stdarg.h>
#include <stdio.h>
#include <syslog.h>

#include "log_line.h"
#include "mirapi/log.h"
#include "mirapi/log_sink.h"

int zelc_system_log_off = 0;
int zelc_printf_log_off = 0;

void zelc_syslog(const char *fmt, ...) {
  if (zelc_system_log_off) return;

  char buf[10240];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof(buf), fmt ? fmt : "", ap);
  va_end(ap);
  log_line_end(buf, sizeof(buf));

  if (!zelc_printf_log_off) log_sink_console(buf);
  log_sink_syslog(LOG_ERR, buf);
}

void hm_log_switch(void) { zelc_system_log_off = zelc_system_log_off == 0 ? 1 : 0; }
