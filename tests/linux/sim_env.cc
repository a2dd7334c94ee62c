#include "sim_env.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

namespace simtest {
namespace {

std::string g_rundir;

class SimEnv : public ::testing::Environment {
 public:
  void SetUp() override {
    // A death test's child boots inside its parent's directory, so the
    // parent's clean-up removes both.
    const char *parent = getenv("LINUX_TEST_PARENT_RUNDIR");
    std::string tmpl = parent ? std::string(parent) + "/child.XXXXXX" : "/tmp/linux_test.XXXXXX";
    ASSERT_NE(mkdtemp(&tmpl[0]), nullptr);
    g_rundir = tmpl;
    owner_ = parent == nullptr;
    if (owner_) setenv("LINUX_TEST_PARENT_RUNDIR", g_rundir.c_str(), 1);
    ASSERT_EQ(simk::boot(g_rundir), 0);
  }
  void TearDown() override {
    simk::shutdown();
    std::error_code ec;
    if (owner_) std::filesystem::remove_all(g_rundir, ec);
  }

 private:
  bool owner_ = true;
};

unsigned minor_for(const std::string &name) {
  unsigned h = 0;
  for (char c : name) h = h * 31 + (unsigned char)c;
  return 16 * (1 + h % 200);
}

}  // namespace

const std::string &rundir() { return g_rundir; }

Disk::Disk(const std::string &name, uint64_t size, const std::string &guid,
           const std::vector<uint8_t> &first_sector)
    : name_(name), image_(g_rundir + "/" + name + ".img") {
  int fd = open(image_.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  if (fd >= 0) {
    if (ftruncate(fd, (off_t)size) != 0) perror("ftruncate");
    if (!first_sector.empty() &&
        pwrite(fd, first_sector.data(), first_sector.size(), 0) != (ssize_t)first_sector.size())
      perror("pwrite");
    close(fd);
  }
  simk::DiskSpec spec;
  spec.name = name;
  spec.image = image_;
  spec.size = size;
  spec.major = 8;
  spec.minor = minor_for(name);
  spec.guid = guid;
  add_result_ = simk::disk_add(spec);
}

Disk::~Disk() {
  simk::disk_remove(name_);
  unlink(image_.c_str());
}

std::vector<uint8_t> Disk::read_image(uint64_t off, size_t len) const {
  std::vector<uint8_t> out(len);
  int fd = open(image_.c_str(), O_RDONLY);
  if (fd >= 0) {
    if (pread(fd, out.data(), len, (off_t)off) != (ssize_t)len) out.clear();
    close(fd);
  }
  return out;
}

void Disk::write_image(uint64_t off, const std::vector<uint8_t> &data) const {
  int fd = open(image_.c_str(), O_RDWR);
  if (fd >= 0) {
    if (pwrite(fd, data.data(), data.size(), (off_t)off) != (ssize_t)data.size()) perror("pwrite");
    close(fd);
  }
}

std::vector<uint8_t> mbr(const std::vector<std::pair<uint32_t, uint32_t>> &parts) {
  std::vector<uint8_t> b(512, 0);
  for (size_t i = 0; i < parts.size() && i < 4; i++) {
    uint8_t *e = &b[446 + 16 * i];
    e[4] = 0x83;
    memcpy(e + 8, &parts[i].first, 4);
    memcpy(e + 12, &parts[i].second, 4);
  }
  b[510] = 0x55;
  b[511] = 0xAA;
  return b;
}

}  // namespace simtest

int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new simtest::SimEnv);
  return RUN_ALL_TESTS();
}
