// A program that carries its own log_write (as the agent programs do) gets
// the library's log calls too: libmirapi must not bind them to its own copy.
#include <gtest/gtest.h>
#include <stdarg.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "mirapi/api.h"
#include "mirapi/disk_id.h"

namespace {
std::vector<std::string> g_lines;
}

extern "C" int log_write(int level, const char* func, int line, const char* fmt, ...) {
  char buf[4096];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof(buf), fmt, ap);
  va_end(ap);
  g_lines.push_back(std::to_string(level) + " " + func + ":" + std::to_string(line) + " " + buf);
  return 0;
}

TEST(LibInterpose, LibraryLogsLandInTheProgramsLogWrite) {
  guid_t g;
  EXPECT_EQ(string_to_guid("short", &g), -1);
  EXPECT_EQ(hm_disk_unprotect("also short"), -1);
  ASSERT_GE(g_lines.size(), 2u);
  EXPECT_NE(g_lines[0].find("3 string_to_guid:"), std::string::npos) << g_lines[0];
  EXPECT_NE(g_lines[0].find("Wrong sguid:short to convert"), std::string::npos) << g_lines[0];
}
