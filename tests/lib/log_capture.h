// Test programs of the library define syslog themselves, so what the
// library hands to syslog is kept here instead of reaching the machine's log.
#ifndef ZELMIR_TESTS_LIB_LOG_CAPTURE_H
#define ZELMIR_TESTS_LIB_LOG_CAPTURE_H

#include <string>
#include <utility>
#include <vector>

namespace libtest {

struct SyslogLine {
  int priority;
  std::string text;
};

// Lines handed to syslog since the last take.
std::vector<SyslogLine> take_syslog();
// Whether any captured line contains the text.
bool syslog_contains(const std::string& text);

}  // namespace libtest

#endif  // ZELMIR_TESTS_LIB_LOG_CAPTURE_H
