// Stand-in for the maker's libzelpub: logging set-up and configuration
// parsing, which zelmird runs before every mark and relies on for nothing.
#include "calls_log.h"
#include "zel/zel_outside.h"

// The program that loads us exports its two logging switches; a program that
// does not (a test) leaves them unresolved.
extern "C" {
extern int zelc_system_log_off __attribute__((weak));
extern int zelc_printf_log_off __attribute__((weak));
}

static int switch_value(const int* v) { return v ? *v : -1; }

extern "C" int zel_log_init(const char* name) {
  zel_record_call("zel_log_init %s system_log_off=%d printf_log_off=%d",
                  name ? name : "(null)", switch_value(&zelc_system_log_off),
                  switch_value(&zelc_printf_log_off));
  return 0;
}

extern "C" int zel_set_logdaemon(int on) {
  zel_record_call("zel_set_logdaemon %d", on);
  return 0;
}

extern "C" int zel_set_loglevel(int level) {
  zel_record_call("zel_set_loglevel %d", level);
  return 0;
}

extern "C" int Zel_parse_cfgfile(const char* path) {
  zel_record_call("Zel_parse_cfgfile %s", path ? path : "(null)");
  return 0;
}
