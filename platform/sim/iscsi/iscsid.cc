// The host's iscsid stand-in: a daemon that does nothing but run, so that
// "pgrep iscsid" finds it and iscsiadm (the stand-in) may talk to it.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include "standin.h"

int main() {
  if (!simiscsi::iscsid_pids(getpid()).empty()) return 0;  // one runs already
  pid_t child = fork();
  if (child < 0) return 1;
  if (child > 0) return 0;
  setsid();
  if (chdir("/") != 0) return 1;
  int null = open("/dev/null", O_RDWR);
  if (null >= 0) {
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    if (null > 2) close(null);
  }
  if (FILE* f = fopen("/var/run/iscsid.pid", "w")) {
    fprintf(f, "%d\n", getpid());
    fclose(f);
  }
  for (;;) pause();
}
