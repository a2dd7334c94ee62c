// simkernel: the kernel of a simulated host, run as the first process of the
// host's pid namespace. It boots the kernel emulation with the host's disks
// and module, keeps /sys, /proc/partitions, /proc/devices and /dev in step
// with the disks, and serves NBD, the control socket, netlink and /dev/log.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sim/kernel.h>

#include "clock_keeper.h"
#include "ctl_server.h"
#include "device_tree.h"
#include "host_state.h"
#include "kernel_backend.h"
#include "nbd_server.h"
#include "syslog_listener.h"

namespace {

constexpr char kRunDir[] = "/var/run/simkernel";

void usage() { fprintf(stderr, "usage: simkernel --config PATH\n"); }

void on_signal(int) {}

// Binds a file simkernel keeps over its /proc namesake, so readers of /proc
// see the simulated disks.
void bind_over(const std::string& src, const char* target) {
  struct stat st;
  if (::stat(target, &st) < 0) return;  // no /proc here: nothing to cover
  if (::mount(src.c_str(), target, nullptr, MS_BIND, nullptr) < 0)
    fprintf(stderr, "simkernel: bind %s over %s: %s\n", src.c_str(), target, strerror(errno));
}

// As the host's init: the services the host has installed.  Only iscsid
// so far (a host with iSCSI); it makes itself a daemon.
void start_services() {
  const char kIscsid[] = "/usr/local/sbin/iscsid";
  if (::access(kIscsid, X_OK) != 0) return;
  pid_t pid = ::fork();
  if (pid == 0) {
    sigset_t none;
    sigemptyset(&none);
    pthread_sigmask(SIG_SETMASK, &none, nullptr);
    ::execl(kIscsid, "iscsid", static_cast<char*>(nullptr));
    _exit(127);
  }
  if (pid < 0) {
    fprintf(stderr, "simkernel: iscsid: %s\n", strerror(errno));
    return;
  }
  // It returns once the daemon runs: ready means a pgrep finds it.
  while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

void reap_children() {
  for (;;) {
    pid_t p = ::waitpid(-1, nullptr, WNOHANG);
    if (p <= 0) return;
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string config;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (a == "--config" && i + 1 < argc) {
      config = argv[++i];
    } else {
      usage();
      return 2;
    }
  }
  if (config.empty()) {
    usage();
    return 2;
  }
  setvbuf(stdout, nullptr, _IOLBF, 0);

  // Every thread inherits this mask; the main thread alone takes the signals.
  // As the namespace's first process a signal with no handler is dropped, so
  // each gets one even though sigwaitinfo collects them.
  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGTERM, SIGINT, SIGCHLD, SIGHUP}) {
    sigaddset(&set, s);
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigaction(s, &sa, nullptr);
  }
  signal(SIGPIPE, SIG_IGN);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);

  std::string run = kRunDir;
  sim::make_dirs(run);
  ::unlink((run + "/ready").c_str());
  int rc = simk::boot(run);
  if (rc < 0) {
    fprintf(stderr, "simkernel: boot: %s\n", strerror(-rc));
    return 1;
  }

  sim::SyslogListener syslog;
  rc = syslog.start("/dev/log", "/var/log/messages");
  if (rc < 0) fprintf(stderr, "simkernel: /dev/log: %s\n", strerror(-rc));

  sim::TreePaths paths;
  paths.partitions = run + "/partitions";
  paths.devices = run + "/devices";
  sim::HostState host(config, paths);
  std::string err;
  rc = host.boot(&err);
  if (rc < 0) {
    fprintf(stderr, "simkernel: %s\n", err.c_str());
    return 1;
  }
  bind_over(paths.partitions, "/proc/partitions");
  bind_over(paths.devices, "/proc/devices");

  sim::KernelBackend backend;
  nbd::Server nbd(&backend);
  rc = nbd.listen(run + "/nbd.sock");
  if (rc < 0) {
    fprintf(stderr, "simkernel: nbd.sock: %s\n", strerror(-rc));
    return 1;
  }
  // The host's clocks start on this machine's time at every boot.
  sim::ClockKeeper clock;
  rc = clock.open(run + "/clock");
  if (rc < 0) fprintf(stderr, "simkernel: clock: %s\n", strerror(-rc));
  sim::CtlServer ctl(&host, rc < 0 ? nullptr : &clock);
  rc = ctl.start(run + "/ctl.sock");
  if (rc < 0) {
    fprintf(stderr, "simkernel: ctl.sock: %s\n", strerror(-rc));
    return 1;
  }
  host.start_watchers();

  if (!host.module_path().empty()) {
    rc = host.insmod("", &err);
    if (rc < 0) fprintf(stderr, "simkernel: module: %s\n", err.c_str());
  }

  // A libudev monitor listens to udev's group only while udev runs; this
  // host's udev is simkernel.
  sim::make_dirs("/run/udev");
  sim::write_in_place("/run/udev/control", "");

  start_services();
  sim::write_in_place(run + "/ready", std::to_string(getpid()) + "\n");
  printf("simkernel: ready\n");

  for (;;) {
    siginfo_t si;
    int s = sigwaitinfo(&set, &si);
    if (s < 0) continue;
    if (s == SIGCHLD) {
      reap_children();
      continue;
    }
    if (s == SIGHUP) continue;
    break;  // SIGTERM, SIGINT
  }
  printf("simkernel: shutting down\n");
  ::unlink((run + "/ready").c_str());
  simk::shutdown();
  reap_children();
  printf("simkernel: halted\n");
  fflush(stdout);
  fflush(stderr);
  // The servers' threads still block in accept and recv: leave without
  // running destructors under them.
  _exit(0);
}
