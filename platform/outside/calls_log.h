// Shared by the stand-ins: one line per call appended to the host's call log.
#ifndef ZELMIR_OUTSIDE_CALLS_LOG_H
#define ZELMIR_OUTSIDE_CALLS_LOG_H

// Where every stand-in records its calls, one line each:
//   "<seconds>.<milliseconds> <pid> <function> <arguments>"
#define ZEL_CALLS_LOG "/var/log/zelcdpagt-calls.log"

// What a mark answers: "<result> <delay in ms>", e.g. "0 0" or "-5 2000".
// Without the file a mark succeeds at once.
#define ZEL_MARK_ANSWER "/etc/zelcdpagt/markcdp.answer"

void zel_record_call(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

#endif  // ZELMIR_OUTSIDE_CALLS_LOG_H
