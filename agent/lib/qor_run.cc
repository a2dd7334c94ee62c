// Running an outside program through the shell under a time limit.
#include "qor_run.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "host/host.h"

extern char** environ;

namespace {

// Starts the program in a process group of its own, so that a time-out ends
// whatever it started too.  The pid, or -1.
pid_t spawn_program(const char* path, char* const argv[], int out_fd) {
  posix_spawn_file_actions_t fa;
  posix_spawnattr_t attr;
  if (posix_spawn_file_actions_init(&fa) != 0) return -1;
  if (posix_spawnattr_init(&attr) != 0) {
    posix_spawn_file_actions_destroy(&fa);
    return -1;
  }
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, out_fd, 1);
  // The agent ignores SIGPIPE; a script expects it at its default.
  sigset_t defaults, none;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF |
                                      POSIX_SPAWN_SETSIGMASK);
  pid_t pid = -1;
  if (posix_spawn(&pid, path, &fa, &attr, argv, environ) != 0) pid = -1;
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&fa);
  return pid;
}

int run(const char* path, char* const argv[], int limit_s, char* line, size_t size, int* has_line);

}  // namespace

int qor_run_shell(const char* command, int limit_s, char* line, size_t size, int* has_line) {
  if (has_line != nullptr) *has_line = 0;
  if (line != nullptr && size > 0) memset(line, 0, size);
  if (command == nullptr) return QOR_RUN_FAILED;
  char sh[] = "sh";
  char dash_c[] = "-c";
  char* argv[] = {sh, dash_c, const_cast<char*>(command), nullptr};
  return run("/bin/sh", argv, limit_s, line, size, has_line);
}

int qor_run_argv(const char* path, char* const argv[], int limit_s, char* line, size_t size,
                 int* has_line) {
  if (has_line != nullptr) *has_line = 0;
  if (line != nullptr && size > 0) memset(line, 0, size);
  if (path == nullptr || argv == nullptr || argv[0] == nullptr) return QOR_RUN_FAILED;
  return run(path, argv, limit_s, line, size, has_line);
}

namespace {

int run(const char* path, char* const argv[], int limit_s, char* line, size_t size, int* has_line) {
  // The limit counts from before the start, so whatever the command does
  // once started happens inside it.
  const int64_t deadline = hl_monotonic_ms() + static_cast<int64_t>(limit_s) * 1000;
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) return QOR_RUN_FAILED;
  pid_t pid = spawn_program(path, argv, p[1]);
  close(p[1]);
  if (pid < 0) {
    close(p[0]);
    return QOR_RUN_FAILED;
  }
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));

  size_t stored = 0;
  bool line_done = false, exited = false, timed_out = false, reaped = false;
  int status = 0;
  int out = p[0];
  // Until the shell has ended; its output is read (and all but the first
  // line dropped) so that it never blocks on a full pipe.
  while (!exited) {
    int64_t left = deadline - hl_monotonic_ms();
    if (left <= 0) {
      timed_out = true;
      break;
    }
    struct pollfd fds[2];
    nfds_t n = 0;
    if (out >= 0) fds[n++] = {out, POLLIN, 0};
    if (pidfd >= 0) fds[n++] = {pidfd, POLLIN, 0};
    // Without a process descriptor the end of the shell is looked for
    // between short waits.
    int wait_ms = pidfd >= 0 ? static_cast<int>(left > 1000000 ? 1000000 : left)
                             : static_cast<int>(left > 50 ? 50 : left);
    int rc = hl_poll(fds, n, wait_ms);
    if (pidfd < 0 && waitpid(pid, &status, WNOHANG) == pid) {
      exited = reaped = true;
    }
    if (rc <= 0) continue;
    for (nfds_t i = 0; i < n; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == pidfd) {
        exited = true;
        continue;
      }
      char buf[512];
      ssize_t got = read(out, buf, sizeof buf);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        close(out);
        out = -1;
        continue;
      }
      if (has_line != nullptr) *has_line = 1;
      for (ssize_t k = 0; k < got && !line_done; ++k) {
        if (buf[k] == '\n') {
          line_done = true;
        } else if (line != nullptr && stored + 1 < size) {
          line[stored++] = buf[k];
        }
      }
    }
  }
  if (timed_out) kill(-pid, SIGKILL);
  if (out >= 0) close(out);
  if (pidfd >= 0) close(pidfd);

  while (!reaped && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (timed_out) return QOR_RUN_TIMEOUT;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return QOR_RUN_FAILED;
}

}  // namespace
