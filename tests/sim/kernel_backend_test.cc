// The NBD server's way into the kernel, over the stand-in kernel, which like
// a block device takes whole sectors only.
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sim/kernel.h>
#include <thread>
#include <unistd.h>

#include "kernel_backend.h"

namespace {

TEST(SimKernelBackend, UnalignedRequestsKeepTheirNeighbours) {
  char path[] = "/tmp/simbackend-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_EQ(ftruncate(fd, 1 << 20), 0);
  close(fd);
  ASSERT_EQ(simk::disk_add({"sdb", path, 1 << 20, 8, 16, ""}), 0);
  sim::KernelBackend be;
  uint64_t size;
  ASSERT_TRUE(be.lookup("sdb", &size));
  EXPECT_EQ(size, 1u << 20);
  EXPECT_FALSE(be.lookup("sdz", &size));

  // Many small writes into the same sectors at once: none may undo another.
  std::vector<std::thread> ts;
  for (int t = 0; t < 8; t++) {
    ts.emplace_back([&be, t] {
      for (int i = 0; i < 64; i++) {
        char c = static_cast<char>('a' + t);
        ASSERT_EQ(be.io("sdb", true, 100 + t * 64 + i, &c, 1), 0);
      }
    });
  }
  for (auto& t : ts) t.join();
  std::string back(8 * 64, '\0');
  ASSERT_EQ(be.io("sdb", false, 100, back.data(), static_cast<uint32_t>(back.size())), 0);
  for (int t = 0; t < 8; t++)
    EXPECT_EQ(back.substr(t * 64, 64), std::string(64, static_cast<char>('a' + t))) << t;
  char edge[3];
  EXPECT_EQ(be.io("sdb", false, 99, edge, 1), 0);
  EXPECT_EQ(edge[0], 0);  // the byte before is untouched
  EXPECT_EQ(be.flush("sdb"), 0);
  simk::disk_remove("sdb");
  unlink(path);
}

}  // namespace
