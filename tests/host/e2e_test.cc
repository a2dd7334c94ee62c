// The host layer inside whole simulated hosts: SCSI answers, block device
// identity and I/O, and netlink through the test module.
#include <fstream>
#include <gtest/gtest.h>

#include "simhost.h"

namespace {

using testsupport::SimHost;

constexpr char kGuid[] = "6a3e1d3c-0b61-4bde-9d2c-6f3a4d5e6f70";
const std::string kProg = testsupport::test_program("simtest_hl");

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(HostE2e, ScsiIdentityAndIoThroughTheLayer) {
  SimHost h({"--disk", "sdb:64M", "--lun", std::string("sdc:64M:") + kGuid});
  auto r = h.exec({kProg, "inquiry", "/dev/sdc"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(has(r.out, "vendor=UVO     ")) << r.out;
  EXPECT_TRUE(has(r.out, "product=ZELSolution")) << r.out;
  EXPECT_TRUE(has(r.out, std::string("guid=") + kGuid + "\n")) << r.out;
  r = h.exec({kProg, "inquiry", "/dev/sdb"});
  EXPECT_FALSE(has(r.out, "ZELSolution")) << r.out;
  EXPECT_FALSE(has(r.out, "guid=" + std::string(kGuid))) << r.out;

  // The SCSI model's test knobs reach the disk through simctl.
  ASSERT_EQ(h.simctl({"disk", "knob", "sdc", "bad_guid_char"}).status, 0);
  r = h.exec({kProg, "inquiry", "/dev/sdc"});
  EXPECT_FALSE(has(r.out, std::string("guid=") + kGuid)) << r.out;
  ASSERT_EQ(h.simctl({"disk", "knob", "sdc", "none"}).status, 0);
  r = h.exec({kProg, "inquiry", "/dev/sdc"});
  EXPECT_TRUE(has(r.out, std::string("guid=") + kGuid)) << r.out;
  EXPECT_NE(h.simctl({"disk", "knob", "sdz", "none"}).status, 0);

  r = h.exec({kProg, "stat", "/dev/sdc"});
  EXPECT_EQ(r.out, "blk=1/1 rdev=8:32 size=67108864 ssz=512\n");
  r = h.exec({kProg, "io", "/dev/sdb"});
  EXPECT_EQ(r.out, "io=ok\n");
  std::ifstream img(h.image("sdb"), std::ios::binary);
  img.seekg(1 << 20);
  unsigned char first[3] = {};
  img.read(reinterpret_cast<char*>(first), 3);
  EXPECT_EQ(first[0], 5);
  EXPECT_EQ(first[1], 18);
  EXPECT_EQ(first[2], 31);
}

TEST(HostE2e, NetlinkRoundTripThroughTestmod) {
  SimHost h({"--disk", "sdb:32M", "--module", testsupport::lib_dir() + "/testmod.so"});
  auto r = h.exec({kProg, "netlink", "sdb"});
  EXPECT_EQ(r.out, "echo=ok ret=0\nhook=0\ncounted=yes\nunhook=0\n");
  EXPECT_TRUE(has(h.simctl({"dmesg"}).out, "testmod: hooked sdb")) << h.simctl({"dmesg"}).out;

  // No module, no netlink protocol 21.
  ASSERT_EQ(h.simctl({"rmmod"}).status, 0);
  EXPECT_NE(h.simctl({"rmmod"}).status, 0);
  r = h.exec({kProg, "netlink", "sdb"});
  EXPECT_TRUE(has(r.out, "socket failed")) << r.out;
  ASSERT_EQ(h.simctl({"insmod"}).status, 0);
  EXPECT_NE(h.simctl({"insmod"}).status, 0);  // loaded already
  r = h.exec({kProg, "netlink", "sdb"});
  EXPECT_TRUE(has(r.out, "echo=ok ret=0\n")) << r.out;
}

// The layer's two data paths (NBD; the control socket, for programs linked
// statically) must behave as one block device.
class HostDataPath : public ::testing::TestWithParam<const char*> {};

TEST_P(HostDataPath, ReadWriteEndsAlignmentHooksAndErrors) {
  SimHost h({"--disk", "sdb:32M", "--module", testsupport::lib_dir() + "/testmod.so"});
  const std::string prog = testsupport::test_program(GetParam());
  auto r = h.exec({prog, "data", "/dev/sdb"});
  EXPECT_EQ(r.out,
            "end: write=100 then=-1/No space left on device pread=100 read=0\n"
            "direct: aligned=ok length=EINVAL offset=EINVAL buffer=EINVAL\n");
  // What was written landed in the image where it was meant to, also past
  // the transfer chunks' seams.
  std::ifstream img(h.image("sdb"), std::ios::binary);
  for (size_t i : {size_t{0}, size_t{(1u << 20) - 511}, size_t{(1u << 20) - 510}, size_t{3u << 20},
                   size_t{(3u << 20) + 999}}) {
    img.seekg(static_cast<std::streamoff>(511 + i));
    unsigned char c = 0;
    img.read(reinterpret_cast<char*>(&c), 1);
    EXPECT_EQ(c, static_cast<unsigned char>(i * 7 + 3)) << "pattern byte " << i;
  }
  img.seekg(510);
  EXPECT_EQ(img.get(), 0);  // the byte before the unaligned write is kept

  // Through the disk's queue: a hooked make_request_fn sees the requests.
  r = h.exec({prog, "netlink", "sdb"});
  EXPECT_EQ(r.out, "echo=ok ret=0\nhook=0\ncounted=yes\nunhook=0\n");

  ASSERT_EQ(h.simctl({"disk", "fail", "sdb", "write"}).status, 0);
  r = h.exec({prog, "wfail", "/dev/sdb"});
  EXPECT_EQ(r.out, "write=Input/output error read=ok\n");
  ASSERT_EQ(h.simctl({"disk", "heal", "sdb"}).status, 0);
  r = h.exec({prog, "wfail", "/dev/sdb"});
  EXPECT_EQ(r.out, "write=done read=ok\n");
}

INSTANTIATE_TEST_SUITE_P(Paths, HostDataPath, ::testing::Values("simtest_hl", "simtest_hl_nonbd"));

TEST(HostE2e, BlockRequestsOnTheControlSocketAreChecked) {
  SimHost h({"--disk", "sdb:8M"});
  auto r = h.exec({testsupport::test_program("simtest_hl_nonbd"), "rawio", "sdb"});
  EXPECT_EQ(r.out,
            "read_in=0\n"
            "read_past_end=-22\n"
            "read_far=-22\n"
            "write_past_end=-28\n"
            "write_wraps=-28\n"
            "read_too_long=-22\n"
            "write_short_data=-22\n"
            "read_with_data=-22\n"
            "unknown_disk=-2\n"
            "bad_name=-22\n"
            "flush_unknown=-2\n");
}

}  // namespace
