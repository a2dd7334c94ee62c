// nbdcopy with its default settings (several connections, many requests in
// flight on each) against simkernel's NBD server: the copy must finish and
// the disks hold exactly what was sent. A copy that stalls fails here through
// the timeout inside the host rather than hanging the suite.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "simhost.h"

namespace {

using testsupport::SimHost;

constexpr uint64_t kSize = 256ull << 20;
constexpr char kCopyTimeout[] = "120";

// Incompressible, not all-zero blocks: nbdcopy must really move every byte.
std::string write_random_file(uint64_t size) {
  char tmpl[] = "/tmp/sim_nbdcopy_XXXXXX";
  int fd = mkstemp(tmpl);
  if (fd < 0) return "";
  std::vector<uint64_t> block(1 << 17);  // 1 MiB
  uint64_t x = 0x9e3779b97f4a7c15ull ^ static_cast<uint64_t>(getpid());
  for (uint64_t done = 0; done < size; done += block.size() * 8) {
    for (auto& w : block) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      w = x;
    }
    if (write(fd, block.data(), block.size() * 8) != static_cast<ssize_t>(block.size() * 8)) {
      close(fd);
      unlink(tmpl);
      return "";
    }
  }
  close(fd);
  return tmpl;
}

// Empty when equal, else where they first differ.
std::string first_difference(const std::string& a, const std::string& b) {
  std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
  if (!fa || !fb) return "cannot open " + a + " or " + b;
  std::vector<char> ba(1 << 20), bb(1 << 20);
  for (uint64_t off = 0;; off += ba.size()) {
    fa.read(ba.data(), static_cast<std::streamsize>(ba.size()));
    fb.read(bb.data(), static_cast<std::streamsize>(bb.size()));
    if (fa.gcount() != fb.gcount()) return "sizes differ after " + std::to_string(off);
    if (fa.gcount() == 0) return "";
    if (memcmp(ba.data(), bb.data(), static_cast<size_t>(fa.gcount())) != 0)
      return "data differ in the MiB at " + std::to_string(off);
  }
}

struct TempFile {
  std::string path;
  ~TempFile() {
    if (!path.empty()) unlink(path.c_str());
  }
};

TEST(SimNbdCopy, DefaultConnectionsFileToDiskAndDiskToDisk) {
  TempFile src{write_random_file(kSize)};
  ASSERT_FALSE(src.path.empty());
  SimHost h({"--disk", "sdb:256M", "--disk", "sdc:256M"});

  auto r = h.exec({"timeout", kCopyTimeout, "nbdcopy", src.path, h.nbd_uri("sdb")});
  ASSERT_EQ(r.status, 0) << "file to disk: " << r.out;
  EXPECT_EQ(first_difference(src.path, h.image("sdb")), "");

  r = h.exec({"timeout", kCopyTimeout, "nbdcopy", h.nbd_uri("sdb"), h.nbd_uri("sdc")});
  ASSERT_EQ(r.status, 0) << "disk to disk: " << r.out;
  EXPECT_EQ(first_difference(src.path, h.image("sdc")), "");
}

}  // namespace
