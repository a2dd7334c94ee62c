#include "calls_log.h"

#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <string>

std::string zel_vformat(const char* fmt, va_list ap) {
  va_list again;
  va_copy(again, ap);
  char small[512];
  int n = vsnprintf(small, sizeof small, fmt, ap);
  std::string s;
  if (n < 0) {
    s = "(unformattable)";
  } else if (static_cast<size_t>(n) < sizeof small) {
    s.assign(small, static_cast<size_t>(n));
  } else {
    s.resize(static_cast<size_t>(n) + 1);
    vsnprintf(&s[0], s.size(), fmt, again);
    s.resize(static_cast<size_t>(n));
  }
  va_end(again);
  return s;
}

// One write per line on an O_APPEND descriptor keeps lines whole when several
// threads (two overlapping marks) record at once.
void zel_record_call(const char* fmt, ...) {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  char head[64];
  snprintf(head, sizeof head, "%ld.%03ld %d ", (long)tv.tv_sec, (long)(tv.tv_usec / 1000),
           (int)getpid());
  va_list ap;
  va_start(ap, fmt);
  std::string text = zel_vformat(fmt, ap);
  va_end(ap);
  std::string line = head;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) {
      char esc[8];
      snprintf(esc, sizeof esc, "\\x%02x", c);
      line += esc;
    } else {
      line += static_cast<char>(c);
    }
  }
  line += '\n';
  int fd = open(ZEL_CALLS_LOG, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  ssize_t w = write(fd, line.data(), line.size());
  (void)w;
  close(fd);
}

ZelAnswer zel_read_answer(const char* path) {
  ZelAnswer a;
  FILE* f = fopen(path, "re");
  if (!f) return a;
  int r = 0;
  long d = 0;
  int n = fscanf(f, "%d %ld", &r, &d);
  if (n >= 1) {
    a.given = true;
    a.result = r;
  }
  if (n >= 2 && d > 0) a.delay_ms = d;
  fclose(f);
  return a;
}

void zel_answer_delay(const ZelAnswer& a) {
  if (a.delay_ms <= 0) return;
  struct timespec ts = {a.delay_ms / 1000, (a.delay_ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0) {
  }
}
