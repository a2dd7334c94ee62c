// Runs a check in a child process with its own mount (and optionally
// network) namespace, so it may mount over /sys or /run without touching the
// machine. The child's text comes back; "ok" means every check passed.
#ifndef ZELMIR_TESTS_SIM_ISOLATED_H
#define ZELMIR_TESTS_SIM_ISOLATED_H

#include <functional>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace simtest {

inline std::string run_isolated(int extra_flags, const std::function<std::string()>& body) {
  int p[2];
  if (pipe(p) < 0) return "pipe failed";
  pid_t pid = fork();
  if (pid == 0) {
    close(p[0]);
    std::string out;
    if (unshare(CLONE_NEWNS | extra_flags) < 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0)
      out = "cannot make namespaces";
    else
      out = body();
    ssize_t w = write(p[1], out.data(), out.size());
    (void)w;
    _exit(0);
  }
  close(p[1]);
  std::string out;
  char buf[4096];
  for (ssize_t n; (n = read(p[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
  close(p[0]);
  int st;
  waitpid(pid, &st, 0);
  if (!WIFEXITED(st)) return "child died: " + out;
  return out;
}

}  // namespace simtest

#endif
