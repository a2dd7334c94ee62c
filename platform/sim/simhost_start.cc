// simhost start, stop, crash and status.
//
// start forks a supervisor outside the host; the supervisor makes a new pid
// namespace and forks the host's first process into it, then stays to reap it
// and note how it ended (DIR/run/exit), so stop can tell a clean shutdown from
// a failed one. The command itself returns once simkernel says it is ready.
#include <errno.h>
#include <fcntl.h>
#include <dirent.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>

#include "simhost_boot.h"
#include "simhost_cmds.h"
#include "simhost_iscsi.h"
#include "simhost_net.h"
#include "simhost_util.h"

namespace simhost {
namespace {

// The end of simkernel's log; when a sanitizer or the emulation reported a
// fault, the start of that report (its end is a legend nobody needs).
void print_log_tail(const HostDir& h) {
  std::string text;
  read_text(h.log(), &text);
  size_t fault = std::string::npos;
  for (const char* mark : {"==ERROR: ", "runtime error:", "BUG:", "BUG "}) fault = std::min(fault, text.find(mark));
  if (fault != std::string::npos) {
    size_t from = text.rfind('\n', fault);
    from = from == std::string::npos ? 0 : from + 1;
    size_t to = from;
    for (int lines = 0; lines < 30 && to != std::string::npos; ++lines) to = text.find('\n', to + 1);
    fprintf(stderr, "--- fault reported in %s ---\n%s\n", h.log().c_str(),
            text.substr(from, to == std::string::npos ? std::string::npos : to - from).c_str());
    return;
  }
  std::string t = tail(h.log(), 20);
  if (!t.empty()) fprintf(stderr, "--- last lines of %s ---\n%s\n", h.log().c_str(), t.c_str());
}

// /var/run is emptied at every boot, as on a real host: sockets and pid files
// of the previous boot must not survive it. It is a directory of the upper
// layer (opaque, so none of this machine's /run shows through), and /run
// points at it.
bool prepare_var_run(const HostDir& h) {
  std::string vr = h.var_run();
  if (!remove_tree(vr) || !mkdir_p(vr)) return false;
  setxattr(vr.c_str(), "trusted.overlay.opaque", "y", 1, 0);
  std::string run = h.upper() + "/run";
  char target[64];
  ssize_t n = readlink(run.c_str(), target, sizeof target - 1);
  if (n == 8 && memcmp(target, "/var/run", 8) == 0) return true;
  return remove_tree(run) && symlink("/var/run", run.c_str()) == 0;
}

bool install_dir(const std::string& src_dir, const std::string& dst_dir,
                 bool (*wanted)(const std::string&), std::string* err) {
  DIR* d = opendir(src_dir.c_str());
  if (!d) return true;   // nothing built there yet
  if (!mkdir_p(dst_dir)) {
    closedir(d);
    *err = dst_dir + ": " + strerror(errno);
    return false;
  }
  bool ok = true;
  while (struct dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == ".." || !wanted(name)) continue;
    std::string src = src_dir + "/" + name;
    struct stat st;
    if (lstat(src.c_str(), &st) != 0 || !(S_ISREG(st.st_mode) || S_ISLNK(st.st_mode))) continue;
    if (!place_file(src, dst_dir + "/" + name)) {
      *err = dst_dir + "/" + name + ": " + strerror(errno);
      ok = false;
      break;
    }
  }
  closedir(d);
  return ok;
}

bool any_file(const std::string&) { return true; }
bool mirapi_lib(const std::string& n) { return n.compare(0, 12, "libmirapi.so") == 0; }
bool agent_lib(const std::string& n) {
  return n.compare(0, 6, "libzel") == 0 &&
         (n.size() > 9 && (n.compare(n.size() - 3, 3, ".so") == 0 || n.find(".so.") != std::string::npos));
}

// The directories the package ships empty: the system writes into them but
// never makes them (the daemon's bitmap files need theirs to exist already).
const char* const kPackageDirs[] = {"/usr/local/zelmir/conf", "/boot/vyrbitmap"};

bool make_package_dirs(const HostDir& h, std::string* err) {
  for (const char* dir : kPackageDirs) {
    std::string path = h.upper() + dir;
    if (!mkdir_p(path)) {
      *err = path + ": " + strerror(errno);
      return false;
    }
  }
  return true;
}

// Installs the system as its package would place it, from the current build
// at each start (into the upper layer, before the overlay is mounted). What
// the host keeps in the package's directories stays from one boot to the next.
bool install_system(const HostDir& h, const std::string& build, std::string* err) {
  std::string usr = h.upper() + "/usr/local";
  return install_dir(build + "/bin", usr + "/zelmir/bin", any_file, err) &&
         install_dir(build + "/lib", usr + "/zelmir/lib", mirapi_lib, err) &&
         install_dir(build + "/lib", usr + "/zelcdpagt/lib", agent_lib, err) &&
         make_package_dirs(h, err);
}

void reset_signals() {
  for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGTERM}) signal(sig, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

// The supervisor: outside the host, detached from the caller's session and
// descriptors (a caller reading our output until end of file must not wait
// for the host).
[[noreturn]] void supervise(const HostDir& h, const std::string& build, int logfd, int pipefd) {
  setsid();
  for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGPIPE}) signal(sig, SIG_IGN);
  int null = open("/dev/null", O_RDWR);
  if (null < 0 || dup2(null, 0) != 0 || dup2(logfd, 1) != 1 || dup2(logfd, 2) != 2) _exit(kFail);
  if (pipefd > 3) close_range(3, pipefd - 1, 0);
  close_range(pipefd + 1, ~0U, 0);

  if (unshare(CLONE_NEWPID) != 0) {
    fprintf(stderr, "simhost: unshare pid namespace: %s\n", strerror(errno));
    _exit(kFail);
  }
  pid_t first = fork();
  if (first < 0) {
    fprintf(stderr, "simhost: fork: %s\n", strerror(errno));
    _exit(kFail);
  }
  if (first == 0) {
    close(pipefd);
    reset_signals();
    boot_first_process(h, build);
  }
  if (write(pipefd, &first, sizeof first) != sizeof first) {
    kill(first, SIGKILL);
  }
  close(pipefd);

  siginfo_t si;
  memset(&si, 0, sizeof si);
  while (waitid(P_PID, first, &si, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
  }
  std::string how = si.si_code == CLD_EXITED ? "exit " + std::to_string(si.si_status)
                                             : "signal " + std::to_string(si.si_status);
  write_text(h.exitfile(), std::to_string(first) + " " + how + "\n");
  int status;
  while (waitpid(first, &status, 0) < 0 && errno == EINTR) {
  }
  _exit(0);
}

// How the first process ended, as the supervisor noted it ("exit 0", "signal 9").
std::string exit_of(const HostDir& h, pid_t pid) {
  std::string text;
  if (!read_text(h.exitfile(), &text)) return "";
  std::istringstream in(text);
  long p;
  std::string kind, val;
  if (!(in >> p >> kind >> val) || p != pid) return "";
  return kind + " " + val;
}

}  // namespace

int cmd_start(const std::string& arg) {
  HostDir h;
  if (!open_host(arg, &h)) return kFail;
  if (!mkdir_p(h.run()) || !mkdir_p(h.work())) return fail("%s: %s", h.run().c_str(), strerror(errno));
  int lock = lock_host(h);
  FirstProcess fp;
  if (running(h, &fp)) return fail("host %s is already running (pid %d)", h.dir.c_str(), fp.pid);

  std::string build = build_dir();
  std::string prog = build + "/bin/simkernel";
  if (access(prog.c_str(), X_OK) != 0) return fail("%s: %s", prog.c_str(), strerror(errno));
  std::string err;
  if (!prepare_var_run(h)) return fail("%s: %s", h.var_run().c_str(), strerror(errno));
  if (!install_system(h, build, &err)) return fail("installing the system: %s", err.c_str());
  if (!install_iscsi(h, build, &err)) return fail("installing open-iscsi: %s", err.c_str());
  if (!mkdir_p(h.root())) return fail("%s: %s", h.root().c_str(), strerror(errno));
  unlink(h.pidfile().c_str());
  unlink(h.exitfile().c_str());
  int logfd = open(h.log().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
  if (logfd < 0) return fail("%s: %s", h.log().c_str(), strerror(errno));
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) return fail("pipe: %s", strerror(errno));
  fflush(nullptr);
  pid_t sup = fork();
  if (sup < 0) return fail("fork: %s", strerror(errno));
  if (sup == 0) supervise(h, build, logfd, p[1]);
  close(p[1]);
  close(logfd);

  pid_t first = 0;
  ssize_t n;
  while ((n = read(p[0], &first, sizeof first)) < 0 && errno == EINTR) {
  }
  close(p[0]);
  if (n != sizeof first) {
    waitpid(sup, nullptr, 0);
    print_log_tail(h);
    return fail("could not start host %s", h.dir.c_str());
  }
  char state;
  fp.pid = first;
  if (!proc_stat(first, &fp.start_time, &state) || !write_pidfile(h, fp)) {
    print_log_tail(h);
    return fail("host %s ended while it started", h.dir.c_str());
  }

  for (int waited = 0; waited < kReadyTimeoutMs; waited += 20) {
    if (exists(h.ready())) {
      close(lock);  // a link takes this host's lock and its peer's, in order
      remake_links(h);
      return 0;
    }
    if (!alive(fp)) {
      wait_gone(fp, 2000);
      unlink(h.pidfile().c_str());
      print_log_tail(h);
      std::string how = exit_of(h, first);
      return fail("simkernel ended before host %s was ready%s%s", h.dir.c_str(),
                  how.empty() ? "" : ": ", how.c_str());
    }
    sleep_ms(20);
  }
  kill(first, SIGKILL);
  wait_gone(fp, kStopTimeoutMs);
  unlink(h.pidfile().c_str());
  print_log_tail(h);
  return fail("host %s was not ready after %d s; killed it", h.dir.c_str(), kReadyTimeoutMs / 1000);
}

int cmd_stop(const std::string& arg) {
  HostDir h;
  if (!open_host(arg, &h)) return kFail;
  int lock = lock_host(h);
  FirstProcess fp;
  if (!running(h, &fp)) return fail("host %s is not running", h.dir.c_str());
  // simkernel shuts down cleanly on SIGTERM: the reboot notifiers run.
  kill(fp.pid, SIGTERM);
  if (!wait_gone(fp, kStopTimeoutMs)) {
    kill(fp.pid, SIGKILL);
    wait_gone(fp, kStopTimeoutMs);
    unlink(h.pidfile().c_str());
    print_log_tail(h);
    return fail("host %s did not stop within %d s; killed it", h.dir.c_str(), kStopTimeoutMs / 1000);
  }
  unlink(h.pidfile().c_str());
  close(lock);
  std::string how = exit_of(h, fp.pid);
  if (!how.empty() && how != "exit 0") {
    print_log_tail(h);
    return fail("simkernel of host %s ended with %s", h.dir.c_str(), how.c_str());
  }
  return 0;
}

int cmd_crash(const std::string& arg) {
  HostDir h;
  if (!open_host(arg, &h)) return kFail;
  int lock = lock_host(h);
  FirstProcess fp;
  if (!running(h, &fp)) return fail("host %s is not running", h.dir.c_str());
  kill(fp.pid, SIGKILL);   // a power cut: no notifier, no unload, nothing flushed
  if (!wait_gone(fp, kStopTimeoutMs)) return fail("host %s did not end after SIGKILL", h.dir.c_str());
  unlink(h.pidfile().c_str());
  close(lock);
  return 0;
}

int cmd_status(const std::string& arg) {
  HostDir h;
  if (!open_host(arg, &h)) return kFail;
  FirstProcess fp;
  if (running(h, &fp)) {
    printf("running (pid %d)\n", fp.pid);
    return 0;
  }
  printf("stopped\n");
  return 3;
}

}  // namespace simhost
