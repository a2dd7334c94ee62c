// The text form of `simctl clock` times.
#include <gtest/gtest.h>

#include "clock_keeper.h"

namespace {

TEST(SimClock, SecondsParse) {
  struct Case {
    const char* text;
    bool ok;
    int64_t ns;
  };
  const Case cases[] = {
      {"0", true, 0},
      {"3600", true, 3600000000000},
      {"0.5", true, 500000000},
      {"1.000000001", true, 1000000001},
      {"1700000000.25", true, 1700000000250000000},
      {"9223372036", true, 9223372036000000000},
      {"9223372037", false, 0},             // past 64 bits of nanoseconds
      {"99999999999999999999", false, 0},  // past 64 bits of seconds
      {"1.0000000001", false, 0},          // ten decimals
      {"", false, 0},
      {"-1", false, 0},
      {"+1", false, 0},
      {"1.", false, 0},
      {".5", false, 0},
      {"1e3", false, 0},
      {"12 ", false, 0},
      {"0x10", false, 0},
  };
  for (const Case& c : cases) {
    int64_t ns = -7;
    EXPECT_EQ(sim::parse_seconds(c.text, &ns), c.ok) << c.text;
    if (c.ok) EXPECT_EQ(ns, c.ns) << c.text;
    else EXPECT_EQ(ns, -7) << c.text;
  }
}

}  // namespace
