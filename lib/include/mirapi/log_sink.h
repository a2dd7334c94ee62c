// Where log lines go.  The logging source formats lines and asks these
// functions to deliver them.  The console policy (log_sink_open) is in
// lib/log_sink.cc, the delivery in lib/log_sink_out.cc; a program that needs
// another policy (the agent programs open syslog under their own name and
// grant console output without a terminal test) builds the logging source
// with its own log_sink_open instead of lib/log_sink.cc, and builds
// lib/log.cc with ZEL_LOG_BUF_SIZE=4096.  Exported from such a program, its log_write takes
// the place of libmirapi's inside it, for the library's own calls too.
#ifndef ZELMIR_MIRAPI_LOG_SINK_H
#define ZELMIR_MIRAPI_LOG_SINK_H

#ifdef __cplusplus
extern "C" {
#endif

// Called by log_init: the value to_console takes when non-zero (0 leaves
// it as it was).
// libmirapi grants the console value only when standard output is a
// terminal and never opens syslog.
int log_sink_open(const char *name, int console);
// Called by log_close.
void log_sink_close(void);
// One finished line (already ending in a newline) to standard output.
void log_sink_console(const char *line);
// One finished line to syslog at the given priority.
void log_sink_syslog(int priority, const char *line);

#ifdef __cplusplus
}
#endif

#endif  // ZELMIR_MIRAPI_LOG_SINK_H
