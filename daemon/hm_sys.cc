#include "hm_sys.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>

#include <sysfs/libsysfs.h>

#include "host/host.h"
#include "zel/zel_outside.h"
#include "disk_id_internal.h"
#include "mirapi/disk_id.h"
#include "mirapi/log.h"
#include "mirapi/scsi.h"
#include "mirapi/util.h"

namespace {

const hm_paths kPaths = {
    "/usr/local/zelmir/conf/",
    "/boot/hmdevs.reg",
    "/usr/local/zelmir/bin/update_bootimage.sh",
    "/usr/local/zelmir/conf/zelmir.conf",
    "/boot/vyrbitmap",
    "/boot",
    "/etc/ferrolux/zel.cfg",
    "/sys",
};

int guid_by_name(const char* dev, char* buf) { return get_guid_by_name(dev, buf); }

int file_exists(const char* path) { return filepresent(path); }

int for_each_block(hm_dev_visit_fn fn, void* arg) {
  struct sysfs_class* cls = sysfs_open_class("block");
  if (!cls) return -1;
  struct dlist* devs = sysfs_get_class_devices(cls);
  if (!devs) {
    sysfs_close_class(cls);
    return -2;
  }
  struct sysfs_class_device* cd;
  dlist_for_each_data(devs, cd, struct sysfs_class_device) {
    if (fn(cd->name, arg)) break;
  }
  sysfs_close_class(cls);
  return 0;
}

int for_each_disk(hm_dev_visit_fn fn, void* arg) { return mirapi::walk_disks(true, fn, arg); }

int for_each_cciss(hm_dev_visit_fn fn, void* arg) {
  DIR* d = opendir("/dev/cciss");
  if (!d) return -1;
  struct dirent* e;
  while ((e = readdir(d)) != nullptr)
    if (fn(e->d_name, arg)) break;
  closedir(d);
  return 0;
}

// The shell in a process group of its own, so that a time-out ends what the
// command started too, with the signals the daemon ignores at their defaults.
pid_t spawn_shell(const char* command) {
  posix_spawnattr_t attr;
  if (posix_spawnattr_init(&attr) != 0) return -1;
  sigset_t defaults, none;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGALRM);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  char sh[] = "sh", dash_c[] = "-c";
  char* argv[] = {sh, dash_c, const_cast<char*>(command), nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, "/bin/sh", nullptr, &attr, argv, environ) != 0) pid = -1;
  posix_spawnattr_destroy(&attr);
  return pid;
}

// Runs the command through the shell for at most g_run_limit_s seconds of
// the host's clock; the shell's wait status, or -1.
int run(const char* command) {
  const int64_t deadline = hl_monotonic_ms() + (int64_t)g_run_limit_s * 1000;
  pid_t pid = spawn_shell(command);
  if (pid < 0) return -1;
  int pidfd = (int)syscall(SYS_pidfd_open, pid, 0);
  int status = 0;
  for (;;) {
    pid_t w = waitpid(pid, &status, WNOHANG);
    if (w == pid || (w < 0 && errno != EINTR)) break;
    int64_t left = deadline - hl_monotonic_ms();
    if (left <= 0) {
      HM_LOG(LOG_ERR, "%s still running after %d s: killed", command, g_run_limit_s);
      kill(-pid, SIGKILL);
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      status = -1;
      break;
    }
    // Without a process descriptor the end is looked for between short waits.
    struct pollfd p = {pidfd, POLLIN, 0};
    int wait_ms = pidfd >= 0 ? (int)(left > 1000 ? 1000 : left) : (int)(left > 50 ? 50 : left);
    hl_poll(&p, pidfd >= 0 ? 1 : 0, wait_ms);
  }
  if (pidfd >= 0) close(pidfd);
  return status;
}

const hm_disk_ops kDiskOps = {
    guid_by_name,
    device_size_scsi_read_cap,
    hm_get_disk_size_via_sysfs,
    hm_check_path,
    volume_from_zelsolution,
    get_volume_signature,
    hm_scsi_get_guid,
    file_exists,
    for_each_block,
    for_each_disk,
    for_each_cciss,
    run,
};

const hm_outside_ops kOutside = {
    zel_log_init, zel_set_logdaemon, zel_set_loglevel, Zel_parse_cfgfile, zel_call_markcdp,
};

}  // namespace

int g_run_limit_s = 300;
hm_paths g_hm_paths = kPaths;
hm_disk_ops g_disk_ops = kDiskOps;
hm_outside_ops g_outside_ops = kOutside;

namespace {
std::atomic<unsigned> fd_shortages{0};
}

void hm_fd_shortage_note(void) { fd_shortages.fetch_add(1, std::memory_order_relaxed); }

unsigned hm_fd_shortage_count(void) { return fd_shortages.load(std::memory_order_relaxed); }

int hm_fd_short(void) {
  int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    close(fd);
    return 0;
  }
  if (errno != EMFILE && errno != ENFILE) return 0;
  hm_fd_shortage_note();
  return 1;
}

void hm_sys_reset(void) {
  g_hm_paths = kPaths;
  g_disk_ops = kDiskOps;
  g_outside_ops = kOutside;
}
