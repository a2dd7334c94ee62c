// The zel_arch object: the architecture in use, installed when the library
// is loaded, and small routines on byte order and time.
#include <stdint.h>
#include <sys/time.h>

#include "zel/zel_device.h"

extern "C" {

struct zel_architecture* zel_arch;

int Zel_set_architecture(struct zel_architecture* arch) {
  zel_arch = arch;
  return 1;
}

// The system's hosts are x86-64.
int using_little_endian(void) { return 1; }

int endianness_swap(void* buf, int len) {
  if (!buf) return -1;
  unsigned char* b = static_cast<unsigned char*>(buf);
  for (int i = 0, j = len - 1; i < j; i++, j--) {
    unsigned char t = b[i];
    b[i] = b[j];
    b[j] = t;
  }
  return 0;
}

uint64_t get_current_timestamp_microsec(void) {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<uint64_t>(tv.tv_sec) * 1000000u + static_cast<uint64_t>(tv.tv_usec);
}

}  // extern "C"

namespace {

__attribute__((constructor)) void __init(void) { Zel_set_architecture(&zel_linux_arch); }

// Records live until the next probe or until the library goes.
__attribute__((destructor)) void __done(void) { zel_device_free_all(); }

}  // namespace
