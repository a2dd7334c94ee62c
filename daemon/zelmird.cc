// zelmird: the host-mirror daemon.  The starter regains control once the
// protections of "hmdev.conf" are back in the kernel, before anyone is served.
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "hm_conn.h"
#include "hm_event.h"
#include "hm_listen.h"
#include "hm_startup.h"
#include "hm_unix.h"
#include "hm_workd.h"
#include "hm_workqueue.h"
#include "mirapi/log.h"

namespace {

const char kPidFile[] = "/var/run/zelmir.pid";

#define PANIC(...)        \
  do {                    \
    HM_LOG(LOG_EMERG, __VA_ARGS__); \
    abort();              \
  } while (0)

// Taken before the registry start-up, so that a second instance touches no
// protection: it fails here and its starter sees the failure.
int lock_pid_file() {
  int fd = open(kPidFile, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) PANIC("PANIC: unable to create pid file");
  HM_LOG(LOG_DEBUG, "OPEN PID FILE OK");
  if (lockf(fd, F_TLOCK, 0) != 0) PANIC("PANIC: unable to lock pid file");
  return fd;
}

void write_pid_file(int fd) {
  if (ftruncate(fd, 0) != 0) PANIC("PANIC: failed to ftruncate the PID file: %m");
  char buf[32];
  int n = snprintf(buf, sizeof(buf), "%d\n", (int)getpid());
  if (write(fd, buf, n) != n) PANIC("PANIC: failed to write PID to PID file: %m");
  HM_LOG(LOG_DEBUG, "WRITE PID FILE OK");
}

// "-d" must give a level from 0 to 7, starting with a digit.
int parse_level(const char* arg, int* level) {
  if (!arg || arg[0] < '0' || arg[0] > '9') return -1;
  int v = atoi(arg);
  if (v > 7) return -1;
  *level = v;
  return 0;
}

[[noreturn]] void wait_for_child(int rfd) {
  int initok = 0;
  HM_LOG(LOG_INFO, "initok: %d", initok);
  while (initok == 0) {
    HM_LOG(LOG_INFO, "wait for configuration, sleep 1s");
    sleep(1);
    ssize_t n = read(rfd, &initok, sizeof(initok));
    if (n == 0 || (n < 0 && errno != EINTR)) {
      // The child ended before its start-up was done.
      HM_LOG(LOG_ERR, "daemon ended before its start-up finished");
      exit(1);
    }
  }
  HM_LOG(LOG_INFO, "configuration finished: %d", initok);
  exit(0);
}

}  // namespace

int main(int argc, char** argv) {
  log_init("zelmird", 0, 7, 0);
  int level = -1;
  int opt;
  while ((opt = getopt(argc, argv, "d:")) != -1) {
    if (opt != 'd') continue;
    int v;
    if (parse_level(optarg, &v) != 0) {
      printf("must give a log level, between 0 to 7\n");
      exit(255);
    }
    level = v;
  }
  if (level >= 0) set_log_level(level);

  signal(SIGALRM, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);
  int pfd[2];
  if (pipe(pfd) != 0) PANIC("PANIC: pipe failed");
  pid_t pid = fork();
  if (pid < 0) PANIC("PANIC: starting daemon failed");
  if (pid > 0) {
    close(pfd[1]);
    wait_for_child(pfd[0]);
  }

  close(pfd[0]);
  setsid();
  if (chdir("/") != 0) PANIC("PANIC: failed to set working dir to /: %m");
  umask(0);
  int null = open("/dev/null", O_RDWR);
  if (null < 0) PANIC("PANIC: open dev/null failed");
  dup2(null, 0);
  dup2(null, 1);
  dup2(null, 2);
  if (null > 2) close(null);
  zelc_system_log_off = 1;
  zelc_printf_log_off = 1;
  int pid_fd = lock_pid_file();
  daemon_init();
  HM_LOG(LOG_DEBUG, "INIT CLIENT FINISHED");
  int initok = 1;
  ssize_t w = write(pfd[1], &initok, sizeof(initok));
  (void)w;
  close(pfd[1]);
  write_pid_file(pid_fd);

  if (init_event(8) != 0) exit(1);
  HM_LOG(LOG_DEBUG, "INIT EVENT OK");
  if (hm_conn_init() != 0) exit(1);
  if (setup_unix_server(HM_UNIX_PATH) != 0 || setup_net_server() != 0) exit(1);
  HM_LOG(LOG_DEBUG, "finished setup listen server");
  if (create_work_queues() != 0) exit(1);
  pthread_t t;
  if (pthread_create(&t, nullptr, hm_workd, nullptr) == 0) pthread_detach(t);
  HM_LOG(LOG_DEBUG, "finished create worker queue");
  for (;;) {
    if (event_loop(-1) < 0) exit(1);
  }
}
