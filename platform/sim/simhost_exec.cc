// simhost exec: runs a command inside a running host, in all of its
// namespaces and under its root, and passes the command's exit status back.
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "simhost_cmds.h"
#include "simhost_util.h"

extern char** environ;

namespace simhost {
namespace {

volatile sig_atomic_t g_child = 0;

// A signal meant for simhost exec is meant for the command it runs.
void forward(int sig) {
  if (g_child > 0) kill(g_child, sig);
}

}  // namespace

int cmd_exec(const std::string& arg, const std::vector<std::string>& argv) {
  if (argv.empty()) return usage();
  HostDir h;
  if (!open_host(arg, &h)) return kFail;
  FirstProcess fp;
  if (!running(h, &fp)) return fail("host %s is not running", h.dir.c_str());

  // Open everything first: once in the host's mount namespace, this machine's
  // /proc is no longer where it was.
  std::string proc = "/proc/" + std::to_string(fp.pid);
  const char* const kinds[] = {"ipc", "uts", "net", "pid", "mnt"};
  int ns[5];
  for (int i = 0; i < 5; ++i) {
    ns[i] = open((proc + "/ns/" + kinds[i]).c_str(), O_RDONLY | O_CLOEXEC);
    if (ns[i] < 0) return fail("host %s: %s/ns/%s: %s", h.dir.c_str(), proc.c_str(), kinds[i], strerror(errno));
  }
  int root = open((proc + "/root").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (root < 0) return fail("host %s: %s/root: %s", h.dir.c_str(), proc.c_str(), strerror(errno));
  // The pid may have been recycled between the check and the opens.
  if (!alive(fp)) return fail("host %s is not running", h.dir.c_str());
  for (int i = 0; i < 5; ++i) {
    if (setns(ns[i], 0) != 0) return fail("host %s: joining its %s namespace: %s", h.dir.c_str(), kinds[i], strerror(errno));
    close(ns[i]);
  }

  std::vector<std::string> env = host_environment(true);
  fflush(nullptr);
  pid_t child = fork();   // the pid namespace applies to children only
  if (child < 0) return fail("host %s: fork: %s", h.dir.c_str(), strerror(errno));
  if (child == 0) {
    if (fchdir(root) != 0 || chroot(".") != 0 || chdir("/") != 0) {
      fprintf(stderr, "simhost: entering host %s: %s\n", h.dir.c_str(), strerror(errno));
      _exit(126);
    }
    close(root);
    std::vector<char*> envp, args;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> copy = argv;
    for (std::string& a : copy) args.push_back(a.data());
    args.push_back(nullptr);
    environ = envp.data();   // execvp searches the host's PATH
    execvp(args[0], args.data());
    int e = errno;
    fprintf(stderr, "simhost: %s: %s\n", argv[0].c_str(), strerror(e));
    _exit(e == ENOENT ? 127 : 126);
  }
  close(root);
  g_child = child;
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = forward;
  sa.sa_flags = SA_RESTART;
  for (int sig : {SIGTERM, SIGHUP, SIGINT, SIGQUIT}) sigaction(sig, &sa, nullptr);

  int status;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return fail("waitpid: %s", strerror(errno));
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return kFail;
}

}  // namespace simhost
