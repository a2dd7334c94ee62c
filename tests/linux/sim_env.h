// The test fixture of the kernel emulation: one boot per test process with
// a temp run directory, and temp disk images.
#ifndef TESTS_LINUX_SIM_ENV_H
#define TESTS_LINUX_SIM_ENV_H

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sim/kernel.h"

namespace simtest {

// The run directory simk::boot was given.
const std::string &rundir();

// A disk image of `size` bytes under the run directory, added as `name`
// (minor picked per name); removed again by the destructor.
class Disk {
 public:
  Disk(const std::string &name, uint64_t size, const std::string &guid = "",
       const std::vector<uint8_t> &first_sector = {});
  ~Disk();
  const std::string &name() const { return name_; }
  const std::string &image() const { return image_; }
  std::vector<uint8_t> read_image(uint64_t off, size_t len) const;
  void write_image(uint64_t off, const std::vector<uint8_t> &data) const;
  int add_result() const { return add_result_; }

 private:
  std::string name_, image_;
  int add_result_;
};

// An MBR with the given primary partitions (start, sectors), type 0x83.
std::vector<uint8_t> mbr(const std::vector<std::pair<uint32_t, uint32_t>> &parts);

}  // namespace simtest

#endif  // TESTS_LINUX_SIM_ENV_H
