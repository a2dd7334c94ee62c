// The levelled logger.  Each call formats into buffers on its own stack, so
// concurrent calls need no lock; the level is a plain int.
#include "mirapi/log.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "log_line.h"
#include "mirapi/log_sink.h"

// The agent programs' variant builds this file with a larger buffer.
#ifndef ZEL_LOG_BUF_SIZE
#define ZEL_LOG_BUF_SIZE 1024
#endif

static int log_level = 7;
static const char *log_name;
static int to_console;

int log_write(int level, const char *func, int line, const char *fmt, ...) {
  if (level > log_level) return 0;

  char msg[ZEL_LOG_BUF_SIZE];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(msg, sizeof(msg), fmt ? fmt : "", ap);
  va_end(ap);

  char out[ZEL_LOG_BUF_SIZE];
  // Cut to fit: a line longer than the buffer loses its tail.
  int n = level == LOG_DEBUG
              ? snprintf(out, sizeof(out), "func: %s line: %d msg: %s", func ? func : "", line, msg)
              : snprintf(out, sizeof(out), "%s", msg);
  if (n < 0) out[0] = '\0';
  size_t len = log_line_end(out, sizeof(out));

  if (to_console)
    log_sink_console(out);
  else
    log_sink_syslog(level, out);
  return static_cast<int>(len);
}

int log_init(const char *name, int console, int level, int /*unused*/) {
  log_level = level;
  log_name = name;
  // Console output is only ever granted here, never taken back.
  int granted = log_sink_open(name, console);
  if (granted) to_console = granted;
  return 0;
}

void log_close(void) { log_sink_close(); }

void debug_on(void) { log_level = 7; }

void debug_off(void) { log_level = 6; }

int set_log_level(int level) {
  log_level = level;
  return level;
}
