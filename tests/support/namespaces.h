// Namespaces of a test's own, so a test may mount over /boot, /sys or /run
// (or listen on a network of its own) without touching this machine.
// Compiled apart: its header names no system or emulation header, so tests
// built against the kernel emulation's <linux/...> use it too.
#ifndef ZELMIR_TESTS_SUPPORT_NAMESPACES_H
#define ZELMIR_TESTS_SUPPORT_NAMESPACES_H

#include <functional>
#include <string>

namespace testsupport {

// Gives the calling process a mount namespace of its own, plus the
// namespaces of extra_flags (CLONE_NEWNET, ...), with every mount private.
// Call it while the process has one thread. False, with *why, on failure.
bool private_namespaces(int extra_flags, std::string* why);

// Mounts a fresh tmpfs over dir (options as mount(8) takes them, e.g.
// "size=64k"); false, with *why, on failure.
bool mount_tmpfs(const std::string& dir, const std::string& options, std::string* why);

// Runs body in a child process with private namespaces (as above) and
// returns the text it returned ("ok" when every check passed, by the tests'
// convention), or what went wrong.
std::string run_isolated(int extra_flags, const std::function<std::string()>& body);

}  // namespace testsupport

#endif  // ZELMIR_TESTS_SUPPORT_NAMESPACES_H
