#include <gtest/gtest.h>

#include "host_config.h"

namespace {

TEST(SimHostConfig, ParsesAndWritesBack) {
  const std::string text =
      "# made by simhost\n"
      "module /srv/build/lib/testmod.so\n"
      "disk sdb /var/lib/simhost/disks/sdb.img 67108864 8:16\n"
      "disk sdc /var/lib/simhost/disks/sdc.img 67108864 8:32 6a3e1d3c-0b61-4bde-9d2c-6f3a4d5e6f70\n";
  sim::HostConfig c;
  std::string err;
  ASSERT_TRUE(sim::parse_config(text, &c, &err)) << err;
  EXPECT_EQ(c.module, "/srv/build/lib/testmod.so");
  ASSERT_EQ(c.disks.size(), 2u);
  EXPECT_EQ(c.disks[1].guid, "6a3e1d3c-0b61-4bde-9d2c-6f3a4d5e6f70");
  EXPECT_EQ(c.disks[1].minor, 32u);
  EXPECT_EQ(sim::format_config(c), text);
}

TEST(SimHostConfig, RefusesBadLines) {
  const char* bad[] = {
      "disk sdb img 4096\n",
      "disk sdb img 4096 8:16 guid extra\n",
      "disk ../x img 4096 8:16\n",
      "disk sdb img 1000 8:16\n",
      "disk sdb img 0 8:16\n",
      "disk sdb img 4096 8-16\n",
      "disk sdb img 4096 8:\n",
      "disk sdb img 4096x 8:16\n",
      "disk sdb a 4096 8:16\ndisk sdb b 4096 8:32\n",
      "module\n",
  };
  for (const char* t : bad) {
    sim::HostConfig c;
    std::string err;
    EXPECT_FALSE(sim::parse_config(t, &c, &err)) << t;
    EXPECT_FALSE(err.empty()) << t;
  }
}

TEST(SimHostConfig, Sizes) {
  struct {
    const char* text;
    bool ok;
    uint64_t bytes;
  } cases[] = {{"4096", true, 4096},     {"64K", true, 64 << 10}, {"64M", true, 64ull << 20},
               {"2G", true, 2ull << 30}, {"0", false, 0},         {"", false, 0},
               {"-1M", false, 0},        {"1T", false, 0},        {"12MB", false, 0},
               {"99999999999999999999", false, 0}, {"2000000000G", false, 0}};
  for (const auto& c : cases) {
    uint64_t v = 0;
    EXPECT_EQ(sim::parse_size(c.text, &v), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(v, c.bytes) << c.text;
    }
  }
}

TEST(SimHostConfig, DeviceNumbersFollowTheSdDriver) {
  sim::HostConfig c;
  unsigned ma, mi;
  sim::pick_devnum(c, "sdb", &ma, &mi);
  EXPECT_EQ(ma * 1000 + mi, 8u * 1000 + 16);
  sim::pick_devnum(c, "sdq", &ma, &mi);
  EXPECT_EQ(ma * 1000 + mi, 65u * 1000 + 0);
  c.disks.push_back({"sdb", "x", 512, 8, 16, ""});
  sim::pick_devnum(c, "sdb", &ma, &mi);  // taken (e.g. by a renamed disk): the next free one
  EXPECT_EQ(ma * 1000 + mi, 8u * 1000 + 32);
  sim::pick_devnum(c, "data", &ma, &mi);
  EXPECT_EQ(ma * 1000 + mi, 8u * 1000 + 32);
}

}  // namespace
