#include "log_capture.h"

#include <stdarg.h>
#include <stdio.h>

#include <mutex>

namespace libtest {

namespace {

std::mutex g_mu;
std::vector<SyslogLine>& lines() {
  static std::vector<SyslogLine> v;
  return v;
}

void keep(int priority, const char* fmt, va_list ap) {
  char buf[16384];
  vsnprintf(buf, sizeof(buf), fmt, ap);
  std::lock_guard<std::mutex> g(g_mu);
  lines().push_back({priority, buf});
}

}  // namespace

std::vector<SyslogLine> take_syslog() {
  std::lock_guard<std::mutex> g(g_mu);
  std::vector<SyslogLine> out;
  out.swap(lines());
  return out;
}

bool syslog_contains(const std::string& text) {
  std::lock_guard<std::mutex> g(g_mu);
  for (const auto& l : lines())
    if (l.text.find(text) != std::string::npos) return true;
  return false;
}

}  // namespace libtest

extern "C" void syslog(int priority, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  libtest::keep(priority, fmt, ap);
  va_end(ap);
}

extern "C" void __syslog_chk(int priority, int, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  libtest::keep(priority, fmt, ap);
  va_end(ap);
}
