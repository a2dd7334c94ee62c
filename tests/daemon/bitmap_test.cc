// Bitmap files: the geometry, the bytes written, reuse of an existing file,
// the free-space test, and a full file system.
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "fake_host.h"
#include "hm_bitmap.h"
#include "hm_registry.h"
#include "hm_sys.h"
#include "namespaces.h"

namespace {

TEST(BitmapGeometry, Table) {
  struct {
    uint64_t size, chunks, bytes, length, space;
  } cases[] = {
      {107374182400ull, 204800, 25600, 29696, 58},
      {1073741824ull, 2048, 256, 4352, 9},
      {524287, 0, 0, 4096, 8},
      {(1ull << 19) * 9 + 100, 9, 2, 4098, 9},
  };
  for (auto& c : cases) {
    hm_bitmap_geometry g = hm_bitmap_geometry_of(c.size);
    EXPECT_EQ(g.chunks, c.chunks) << c.size;
    EXPECT_EQ(g.bitmap_bytes, c.bytes) << c.size;
    EXPECT_EQ(g.length, c.length) << c.size;
    EXPECT_EQ(g.space, c.space) << c.size;
  }
}

class BitmapTest : public fake::Host {
 protected:
  void SetUp() override {
    fake::Host::SetUp();
    add_disk("sdb", {fake::sig_guid(0x5d3f2a10), 1073741824, 2, false, 0x5d3f2a10});
    add_disk("sdc", {"6c3f1b2a-1111-2222-3333-444455556666", 2147483648ull, 2, true, 0});
    dev = add_protection("/dev/sdb", 0x5d3f2a10, "/dev/sdc", "6c3f1b2a-1111-2222-3333-444455556666");
  }
  std::string file() const { return "boot/vyrbitmap/hm_5d3f2a10-0000-0000-0000-000000000000.bitmap"; }
  struct hmdev* dev = nullptr;
};

TEST_F(BitmapTest, WritesSuperblockZerosAndBlank) {
  ASSERT_EQ(hmdev_bitmap_init(dev), 0);
  EXPECT_GT(dev->bitmap_fd, 0);
  std::string f = read(file());
  ASSERT_EQ(f.size(), 4353u);
  bitmap_super_t sb;
  memcpy(&sb, f.data(), sizeof(sb));
  EXPECT_EQ(memcmp(f.data(), "bitm", 4), 0);
  EXPECT_EQ(sb.version, 3u);
  EXPECT_EQ(sb.bp_off, 1u);
  EXPECT_EQ(sb.chunksize, 524288u);
  EXPECT_EQ(sb.state, 0u);
  EXPECT_EQ(sb.sync_size, 0u);
  EXPECT_EQ(f.substr(8, 16), std::string(16, '\0')) << "uuid";
  EXPECT_EQ(f.substr(48, 256 - 48), std::string(256 - 48, '\0')) << "daemon_sleep and pad";
  EXPECT_EQ(f.substr(256, 4352 - 256), std::string(4352 - 256, '\0'));
  EXPECT_EQ(f[4352], ' ');
}

TEST_F(BitmapTest, ReusesALargerFileAndKeepsItsTail) {
  std::string old(10000, 'x');
  write(file(), old);
  ASSERT_EQ(hmdev_bitmap_init(dev), 0);
  std::string f = read(file());
  ASSERT_EQ(f.size(), 10000u);
  EXPECT_EQ(f.substr(256, 4352 - 256), std::string(4352 - 256, '\0'));
  EXPECT_EQ(f[4352], ' ');
  EXPECT_EQ(f.substr(4353), old.substr(4353));
}

TEST_F(BitmapTest, MissingDirectoryFails15) {
  std::string d = path("nowhere");
  g_hm_paths.bitmap_dir = d.c_str();
  EXPECT_EQ(hmdev_bitmap_init(dev), -15);
  EXPECT_LE(dev->bitmap_fd, 0);
}

// A /boot too small for the file: refused by the free-space test, and a file
// system that fills up while the file is written fails cleanly too (the old
// way, a shared mapping over unallocated blocks, died of SIGBUS there).  A
// file the failed call created is gone again; one that was there stays.
TEST_F(BitmapTest, FullBootFailsCleanly) {
  std::string mnt = path("small");
  mkdir(mnt.c_str(), 0755);
  std::string out = testsupport::run_isolated(0, [&]() -> std::string {
    std::string why;
    if (!testsupport::mount_tmpfs(mnt, "size=64k", &why)) return why;
    mkdir((mnt + "/vyrbitmap").c_str(), 0755);
    std::string bd = mnt + "/vyrbitmap";
    g_hm_paths.bitmap_dir = bd.c_str();
    g_hm_paths.boot_dir = mnt.c_str();
    std::string made = bd + "/hm_5d3f2a10-0000-0000-0000-000000000000.bitmap";
    dev->primary->size = 107374182400ull * 1024;  // 100 TiB: a 25 MiB bitmap
    int rc = hmdev_bitmap_init(dev);
    if (rc != -16) return "too little free space gave " + std::to_string(rc);
    if (access(made.c_str(), F_OK) == 0) return std::string("the refused call left its file");
    // The test passes, but the file system cannot hold the file.
    std::string roomy = path("boot");
    g_hm_paths.boot_dir = roomy.c_str();
    rc = hmdev_bitmap_init(dev);
    if (rc != -16) return "a full file system gave " + std::to_string(rc);
    if (access(made.c_str(), F_OK) == 0) return std::string("the failed write left its file");
    // A file of an earlier protect is reused, and kept when the call fails.
    int fd = open(made.c_str(), O_CREAT | O_WRONLY, 0600);
    if (fd < 0 || ::write(fd, "old", 3) != 3) return std::string("cannot make the earlier file");
    close(fd);
    rc = hmdev_bitmap_init(dev);
    if (rc != -16) return "a full file system over an earlier file gave " + std::to_string(rc);
    return access(made.c_str(), F_OK) == 0 ? std::string("ok") : std::string("the earlier file is gone");
  });
  EXPECT_EQ(out, "ok");
}

}  // namespace
