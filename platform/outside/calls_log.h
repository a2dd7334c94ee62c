// Shared by the stand-ins: one line per call appended to the host's call
// log, and the answer files through which a test says what the storage
// would answer.
#ifndef ZELMIR_OUTSIDE_CALLS_LOG_H
#define ZELMIR_OUTSIDE_CALLS_LOG_H

#include <stdarg.h>

#include <string>

// Where every stand-in records its calls, one line each:
//   "<seconds>.<milliseconds> <pid> <function> <arguments>"
// A control character in a line shows as \xHH, so no argument can split it.
#define ZEL_CALLS_LOG "/var/log/zelcdpagt-calls.log"

// The directory of the answer files and the registries.
#define ZEL_ANSWER_DIR "/etc/zelcdpagt"

// What a mark answers: "<result> <delay in ms>", e.g. "0 0" or "-5 2000".
// Without the file a mark succeeds at once.
#define ZEL_MARK_ANSWER ZEL_ANSWER_DIR "/markcdp.answer"

void zel_record_call(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string zel_vformat(const char* fmt, va_list ap);

// A call's answer file holds "<result> [<delay in ms>]".
struct ZelAnswer {
  bool given = false;  // the file was there with a result
  int result = 0;
  long delay_ms = 0;
};
ZelAnswer zel_read_answer(const char* path);
// Sleeps the answer's delay: the storage taking its time.
void zel_answer_delay(const ZelAnswer& a);

// A caller's text for a log line: "(null)" for none.
inline const char* zel_text(const char* s) { return s ? s : "(null)"; }

#endif  // ZELMIR_OUTSIDE_CALLS_LOG_H
