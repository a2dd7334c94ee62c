// Stand-in for the maker's libzelagt: the CDP mark on the storage.  The
// host's answer file says how the storage answers and how long it takes.
#include <stdio.h>
#include <time.h>

#include "calls_log.h"
#include "zel/zel_outside.h"

namespace {

struct Answer {
  int result = 0;
  long delay_ms = 0;
};

Answer read_answer() {
  Answer a;
  FILE* f = fopen(ZEL_MARK_ANSWER, "r");
  if (!f) return a;
  int r = 0;
  long d = 0;
  int n = fscanf(f, "%d %ld", &r, &d);
  if (n >= 1) a.result = r;
  if (n >= 2 && d > 0) a.delay_ms = d;
  fclose(f);
  return a;
}

void sleep_ms(long ms) {
  struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

}  // namespace

extern "C" int zel_call_markcdp(const char* name, int time_flag) {
  Answer a = read_answer();
  zel_record_call("zel_call_markcdp begin %s %d", name ? name : "(null)", time_flag);
  if (a.delay_ms) sleep_ms(a.delay_ms);
  zel_record_call("zel_call_markcdp end %s %d result=%d", name ? name : "(null)",
                  time_flag, a.result);
  return a.result;
}
