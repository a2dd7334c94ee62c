// The logging family every user-space program shares: log_write, a levelled
// logger that writes to standard output or to syslog, and zelc_syslog, an
// error logger that writes to both and can be switched off as a whole.
//
// Levels are the syslog priorities: 0 fatal, 3 error, 4 warning,
// 6 information, 7 debug.
#ifndef ZELMIR_MIRAPI_LOG_H
#define ZELMIR_MIRAPI_LOG_H

#include <syslog.h>

#ifdef __cplusplus
extern "C" {
#endif

// zelc_syslog does nothing while zelc_system_log_off is non-zero, and does
// not print to standard output while zelc_printf_log_off is non-zero.
extern int zelc_system_log_off;
extern int zelc_printf_log_off;

// Drops messages above the current level; otherwise formats them, wraps a
// level-7 message as "func: %s line: %d msg: %s", ends the line with one
// newline and writes it to standard output (when console output was granted
// by log_init) or to syslog with the level as priority.
int log_write(int level, const char *func, int line, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));

// Sets the level and the name; asks for console output when console is
// non-zero (libmirapi grants it only when standard output is a terminal).
// The fourth argument is ignored.  Returns 0.
int log_init(const char *name, int console, int level, int unused);
void log_close(void);
void debug_on(void);               // level 7
void debug_off(void);              // level 6
int set_log_level(int level);      // no range check; returns the level

// Error logger: standard output (unless zelc_printf_log_off) and syslog at
// LOG_ERR, no level filter.
void zelc_syslog(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Flips zelc_system_log_off between 0 and 1.
void hm_log_switch(void);

#ifdef __cplusplus
}
#endif

// The call every user-space source uses: passes its own function and line.
#define HM_LOG(level, ...) log_write((level), __func__, __LINE__, __VA_ARGS__)

#endif  // ZELMIR_MIRAPI_LOG_H
