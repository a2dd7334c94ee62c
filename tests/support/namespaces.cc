#include "namespaces.h"

#include <errno.h>
#include <sched.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

bool private_namespaces(int extra_flags, std::string* why) {
  if (unshare(CLONE_NEWNS | extra_flags) != 0) {
    *why = std::string("unshare: ") + strerror(errno);
    return false;
  }
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    *why = std::string("private /: ") + strerror(errno);
    return false;
  }
  return true;
}

bool mount_tmpfs(const std::string& dir, const std::string& options, std::string* why) {
  if (mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) != 0) {
    *why = "tmpfs on " + dir + ": " + strerror(errno);
    return false;
  }
  return true;
}

std::string run_isolated(int extra_flags, const std::function<std::string()>& body) {
  int p[2];
  if (pipe(p) < 0) return "pipe failed";
  pid_t pid = fork();
  if (pid == 0) {
    close(p[0]);
    std::string why, out;
    out = private_namespaces(extra_flags, &why) ? body() : "cannot make namespaces: " + why;
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

}  // namespace testsupport
