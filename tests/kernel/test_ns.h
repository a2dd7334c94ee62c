// A mount namespace of this process's own with a tmpfs over /boot, so the
// module's fixed paths never reach this machine's files.  Kept apart from the
// kernel emulation's headers (<sys/mount.h> reads the system's <linux/...>).
#ifndef ZELMIR_TESTS_KERNEL_TEST_NS_H
#define ZELMIR_TESTS_KERNEL_TEST_NS_H

#include <string>

namespace kt {
bool PrivateBoot(std::string* why);
}

#endif
