// Helpers shared by the tests of the agent's documents.
#ifndef ZELMIR_TESTS_AGENT_DOC_TEST_UTIL_H
#define ZELMIR_TESTS_AGENT_DOC_TEST_UTIL_H

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "hm_list.h"
#include "log_capture.h"
#include "qor_model.h"

namespace doctest {

// A request document whose root holds body, indented as a person would
// write it: the blank text around body must not count as children.
inline std::string doc(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Tidewell>\n  " + body + "\n</Tidewell>\n";
}

inline std::string str(const char* s) { return s != nullptr ? s : "<null>"; }

inline std::vector<std::string> guids_of(const struct list_head* list) {
  std::vector<std::string> out;
  struct list_head* pos;
  list_for_each(pos, list) out.push_back(str(list_entry(pos, guid_entry, list)->guid));
  return out;
}

inline std::vector<std::string> ips_of(const struct list_head* list) {
  std::vector<std::string> out;
  struct list_head* pos;
  list_for_each(pos, list) {
    char buf[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &list_entry(pos, ip_entry, list)->addr, buf, sizeof(buf));
    out.push_back(buf);
  }
  return out;
}

inline void add_ip(struct list_head* list, const char* dotted) {
  ip_entry* ip = static_cast<ip_entry*>(calloc(1, sizeof(*ip)));
  inet_pton(AF_INET, dotted, &ip->addr);
  list_add_tail(&ip->list, list);
}

// A document a builder returned, taken over and freed; its length must be
// the one the builder gave.
inline std::string take_doc(char* text, uint32_t len) {
  EXPECT_NE(text, nullptr);
  if (text == nullptr) return "";
  std::string out(text);
  EXPECT_EQ(len, out.size());
  free(text);
  return out;
}

// Whether a line of that priority holding text is among lines.
inline bool has_line(const std::vector<libtest::SyslogLine>& lines, int priority,
                     const std::string& text) {
  for (const auto& l : lines)
    if (l.priority == priority && l.text.find(text) != std::string::npos) return true;
  return false;
}

inline std::string dump(const std::vector<libtest::SyslogLine>& lines) {
  std::string out;
  for (const auto& l : lines) out += "  <" + std::to_string(l.priority) + "> " + l.text;
  return out;
}

}  // namespace doctest

#endif  // ZELMIR_TESTS_AGENT_DOC_TEST_UTIL_H
