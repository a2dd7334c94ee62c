// The host's "service" for the iSCSI initiator: service iscsi|iscsid
// start|stop|status starts, stops or reports the iscsid stand-in.  Other
// services are unknown to this host.
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "standin.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "Usage: service < option > | --status-all | [ service_name [ command | --full-restart ] ]\n");
    return 1;
  }
  std::string name = argv[1], action = argv[2];
  if ((name != "iscsi" && name != "iscsid") || access(simiscsi::kIscsid, X_OK) != 0) {
    fprintf(stderr, "%s: unrecognized service\n", name.c_str());
    return 1;
  }
  if (action == "start") {
    pid_t pid = fork();
    if (pid < 0) return 1;
    if (pid == 0) {
      execl(simiscsi::kIscsid, "iscsid", static_cast<char*>(nullptr));
      _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    printf("Starting iscsid: [%s]\n", ok ? "  OK  " : "FAILED");
    return ok ? 0 : 1;
  }
  if (action == "stop") {
    for (int pid : simiscsi::iscsid_pids()) kill(pid, SIGTERM);
    // Stopped means gone, as an init script waits for its daemon.
    for (int waited = 0; waited < 10000 && !simiscsi::iscsid_pids().empty(); waited += 10) usleep(10000);
    bool gone = simiscsi::iscsid_pids().empty();
    printf("Stopping iscsid: [%s]\n", gone ? "  OK  " : "FAILED");
    return gone ? 0 : 1;
  }
  if (action == "status") {
    std::vector<int> pids = simiscsi::iscsid_pids();
    if (pids.empty()) {
      printf("iscsid is stopped\n");
      return 3;
    }
    printf("iscsid (pid %d) is running...\n", pids[0]);
    return 0;
  }
  fprintf(stderr, "Usage: %s {start|stop|status}\n", name.c_str());
  return 2;
}
