// The launcher, the supervisor and the working process of qorcd.
#include "qor_daemon.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "host/host.h"
#include "mirapi/log.h"
#include "qor_jobs.h"

namespace {

const char kUsage[] =
    "zel tidewell daemon\n"
    "  -d    set debug mode, print transport information into logfile\n"
    "  -h    show this information and exit\n";

[[noreturn]] void die(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void die(const char* fmt, ...) {
  char line[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(line, sizeof(line), fmt, ap);
  va_end(ap);
  HM_LOG(LOG_ERR, "%s", line);
  exit(1);
}

// What ended a working process; true when the daemon goes on.
bool restart_after(int status) {
  if (WIFEXITED(status)) {
    HM_LOG(LOG_INFO, "Working process has exited with code [%d].", WEXITSTATUS(status));
    if (WEXITSTATUS(status) == 0) {
      HM_LOG(LOG_INFO, "Working process has exited normally.");
      return false;
    }
    HM_LOG(LOG_INFO, "Working process has exited with non-zero status code, restart working process.");
    return true;
  }
  HM_LOG(LOG_INFO, "Working process has NOT exited normally, read returned status.");
  HM_LOG(LOG_INFO, "WIFSIGNALED: [%d]", WIFSIGNALED(status) ? 1 : 0);
  HM_LOG(LOG_INFO, "WTERMSIG: [%d]", WTERMSIG(status));
  HM_LOG(LOG_INFO, "WCOREDUMP: [%d]", status & 0x80);
  HM_LOG(LOG_INFO, "WIFSTOPPED: [%d]", WIFSTOPPED(status) ? 1 : 0);
  HM_LOG(LOG_INFO, "WSTOPSIG: [%d]", WSTOPSIG(status));
  HM_LOG(LOG_INFO, "Try to restart working process.");
  return true;
}

}  // namespace

void daemon_usage(const char* prog) { printf("%s: %s", prog, kUsage); }

void start_daemon(const char* name) {
  if (name == nullptr) exit(1);
  HM_LOG(LOG_DEBUG, "Starting %s...", name);
  char path[512];
  snprintf(path, sizeof(path), "/var/run/%s.pid", name);
  // Close-on-exec: the programs the working process runs must not keep it.
  int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) die("Unable to create pid file");

  pid_t pid = fork();
  if (pid < 0) die("Starting daemon failed");
  if (pid > 0) exit(0);

  if (chdir("/") != 0) die("Failed to set working dir to /: %s", strerror(errno));
  // The lock is the supervisor's for as long as it lives; a second instance
  // stops here.
  if (lockf(fd, F_TLOCK, 0) != 0) die("Unable to lock pid file");
  if (ftruncate(fd, 0) != 0) die("Failed to ftruncate the PID file: %s", strerror(errno));
  char text[32];
  int len = snprintf(text, sizeof(text), "%d\n", static_cast<int>(getpid()));
  if (write(fd, text, static_cast<size_t>(len)) != len)
    die("Failed to write PID to PID file: %s", strerror(errno));

  close(0);
  int null = open("/dev/null", O_RDWR);
  if (null >= 0) {
    dup2(null, 1);
    dup2(null, 2);
  }
  setsid();
}

int supervise(void) {
  for (;;) {
    HM_LOG(LOG_INFO, "Create working process.");
    const int64_t started = hl_monotonic_ms();
    pid_t pid = fork();
    if (pid < 0) {
      HM_LOG(LOG_ERR, "Failed to create main working process: %s.", strerror(errno));
      return -1;
    }
    if (pid == 0) {
      _main();
      exit(0);
    }
    int status = 0;
    if (wait(&status) < 0) {
      HM_LOG(LOG_ERR, "Failed to get status of terminated working process: %s.", strerror(errno));
      continue;
    }
    if (!restart_after(status)) return 0;
    // A working process that dies as it starts would otherwise be forked
    // again and again as fast as the host allows.
    if (hl_monotonic_ms() - started < 1000) qor_clock()->sleep(1);
  }
}
