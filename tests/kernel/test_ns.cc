#include "test_ns.h"

#include <sched.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>

namespace kt {

bool PrivateBoot(std::string* why) {
  if (unshare(CLONE_NEWNS) != 0) {
    *why = std::string("unshare: ") + strerror(errno);
    return false;
  }
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    *why = std::string("private /: ") + strerror(errno);
    return false;
  }
  if (mount("tmpfs", "/boot", "tmpfs", 0, "size=128m") != 0) {
    *why = std::string("tmpfs on /boot: ") + strerror(errno);
    return false;
  }
  return true;
}

}  // namespace kt
