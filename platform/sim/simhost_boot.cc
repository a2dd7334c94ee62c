// The first process of a host: it makes the host's own mounts, network,
// hostname and root, then becomes simkernel. It runs as pid 1 of the host's
// pid namespace, so when it ends every process of the host ends with it, and
// with its mount namespace gone nothing of the host stays mounted.
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "simhost_boot.h"
#include "simhost_cmds.h"
#include "simhost_desc.h"
#include "simhost_net.h"
#include "simhost_util.h"

namespace simhost {
namespace {

[[noreturn]] void die(const std::string& what) {
  fprintf(stderr, "simhost: boot: %s: %s\n", what.c_str(), strerror(errno));
  fflush(stderr);
  _exit(kFail);
}

void do_mount(const std::string& src, const std::string& target, const char* type,
              unsigned long flags, const std::string& opts) {
  if (!exists(target) && !mkdir_p(target)) die("mkdir " + target);
  if (mount(src.c_str(), target.c_str(), type, flags, opts.empty() ? nullptr : opts.c_str()) != 0)
    die("mount " + std::string(type ? type : "bind") + " on " + target);
}

// A /dev of the host's own: a few harmless character devices of this machine
// and nothing that reaches its disks. simkernel adds /dev/log and one plain
// file per disk.
void make_dev(const std::string& root) {
  std::string dev = root + "/dev";
  do_mount("tmpfs", dev, "tmpfs", MS_NOSUID, "mode=755");
  for (const char* name : {"null", "zero", "random", "urandom", "tty"}) {
    std::string node = dev + "/" + name;
    int fd = open(node.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) die("create " + node);
    close(fd);
    do_mount(std::string("/dev/") + name, node, nullptr, MS_BIND, "");
  }
  // Terminals for programs that want one; a private instance, so the host
  // sees no terminal of this machine.
  if (mkdir_p(dev + "/pts") &&
      mount("devpts", (dev + "/pts").c_str(), "devpts", MS_NOSUID | MS_NOEXEC,
            "newinstance,ptmxmode=0666,mode=620") == 0)
    symlink("pts/ptmx", (dev + "/ptmx").c_str());
  do_mount("tmpfs", dev + "/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777");
  symlink("/proc/self/fd", (dev + "/fd").c_str());
  symlink("/proc/self/fd/0", (dev + "/stdin").c_str());
  symlink("/proc/self/fd/1", (dev + "/stdout").c_str());
  symlink("/proc/self/fd/2", (dev + "/stderr").c_str());
}

void loopback_up() {
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) die("socket");
  struct ifreq ifr;
  memset(&ifr, 0, sizeof ifr);
  strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  if (ioctl(s, SIOCGIFFLAGS, &ifr) != 0) die("SIOCGIFFLAGS lo");
  ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
  if (ioctl(s, SIOCSIFFLAGS, &ifr) != 0) die("SIOCSIFFLAGS lo");
  close(s);
}

// The host's own interfaces from its description (links to other hosts are
// made from outside once both run).
void make_interfaces(const HostDir& h) {
  std::string text, err;
  HostDesc desc;
  if (!read_text(h.conf(), &text)) die("read " + h.conf());
  if (!parse_desc(text, &desc, &err)) {
    fprintf(stderr, "simhost: boot: %s: %s\n", h.conf().c_str(), err.c_str());
    _exit(kFail);
  }
  err = make_nics(desc.nics);
  if (!err.empty()) {
    fprintf(stderr, "simhost: boot: network: %s\n", err.c_str());
    _exit(kFail);
  }
}

// The name in the host's /etc/hostname, as a real host sets it at boot.
void set_hostname(const HostDir& h) {
  std::string name;
  read_text(h.upper() + "/etc/hostname", &name);
  name = name.substr(0, name.find('\n'));
  if (name.empty()) name = "simhost";
  if (sethostname(name.c_str(), name.size()) != 0) die("sethostname " + name);
}

}  // namespace

void boot_first_process(const HostDir& h, const std::string& build) {
  if (unshare(CLONE_NEWNS | CLONE_NEWNET | CLONE_NEWUTS | CLONE_NEWIPC) != 0) die("unshare");
  // Nothing the host mounts may propagate back to this machine.
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) die("make / private");

  const std::string root = h.root();
  do_mount("overlay", root, "overlay", 0,
           "lowerdir=/,upperdir=" + h.upper() + ",workdir=" + h.work());
  // A proc of the host's own pid namespace: mounted here, by its first process.
  do_mount("proc", root + "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, "");
  // libsysfs accepts /sys only when a sysfs is mounted there; the tmpfs over
  // it holds the tree simkernel keeps.
  do_mount("sysfs", root + "/sys", "sysfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, "");
  do_mount("tmpfs", root + "/sys", "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, "mode=755");
  make_dev(root);
  // The images are reached directly, never through the overlay.
  do_mount(h.disks(), root + kHostDisksDir, nullptr, MS_BIND, "");
  loopback_up();
  make_interfaces(h);
  set_hostname(h);

  if (chroot(root.c_str()) != 0) die("chroot " + root);
  if (chdir("/") != 0) die("chdir /");
  int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (null < 0 || dup2(null, 0) != 0) die("/dev/null");
  close_range(3, ~0U, 0);

  std::vector<std::string> env = host_environment(false);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string prog = build + "/bin/simkernel";
  char* argv[] = {const_cast<char*>("simkernel"), const_cast<char*>("--config"),
                  const_cast<char*>("/etc/simhost/host.conf"), nullptr};
  execve(prog.c_str(), argv, envp.data());
  die("exec " + prog);
}

}  // namespace simhost
