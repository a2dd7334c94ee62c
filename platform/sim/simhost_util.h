// simhost's plumbing: the paths of a host directory, the first process's pid
// file, and the few file-system helpers the commands share.
#ifndef ZELMIR_SIM_SIMHOST_UTIL_H
#define ZELMIR_SIM_SIMHOST_UTIL_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace simhost {

// Exit statuses of every command: 1 for a bad value or a failed action, 2 for
// a command line that does not parse.
constexpr int kFail = 1;
constexpr int kUsage = 2;

// Prints "simhost: <message>" on stderr and returns kFail.
int fail(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
int usage();

// The layout of a host directory; every path is absolute.
struct HostDir {
  std::string dir;
  std::string disks() const { return dir + "/disks"; }
  std::string upper() const { return dir + "/upper"; }
  std::string work() const { return dir + "/work"; }
  std::string run() const { return dir + "/run"; }
  std::string conf() const { return dir + "/host.conf"; }
  std::string inner_conf() const { return upper() + "/etc/simhost/host.conf"; }
  std::string root() const { return run() + "/root"; }          // the overlay's mount point
  std::string pidfile() const { return run() + "/pid"; }
  std::string exitfile() const { return run() + "/exit"; }      // written by the supervisor
  std::string lockfile() const { return run() + "/lock"; }
  std::string log() const { return run() + "/simkernel.log"; }
  // The host's /var/run as seen from outside (the overlay's upper layer).
  std::string var_run() const { return upper() + "/var/run"; }
  std::string ready() const { return var_run() + "/simkernel/ready"; }
};

// Serialises start, stop, crash and link of one host: a descriptor holding
// the lock on DIR/run/lock (closed on exec and by the supervisor, so the lock
// ends with the command), or -1.
int lock_host(const HostDir& h);

// Resolves DIR of an existing host directory; prints the error itself.
bool open_host(const std::string& arg, HostDir* h);
// A path may not hold what the overlay's option text or host.conf cannot carry.
bool path_is_plain(const std::string& path);

// The build directory: the directory above the one that holds this program.
std::string build_dir();

// The first process of a running host, identified by pid and start time so
// that a recycled pid is never taken for it.
struct FirstProcess {
  pid_t pid = 0;
  unsigned long long start_time = 0;
};
// Start time (clock ticks since boot) and state letter from /proc/PID/stat.
bool proc_stat(pid_t pid, unsigned long long* start_time, char* state);
bool read_pidfile(const HostDir& h, FirstProcess* fp);
bool write_pidfile(const HostDir& h, const FirstProcess& fp);
// True while the process exists and has not ended (a zombie has ended).
bool alive(const FirstProcess& fp);
// The running host's first process; false when the host is stopped.
bool running(const HostDir& h, FirstProcess* fp);
// Waits up to timeout_ms for the process to end and be reaped (a zombie that
// nobody reaps counts as ended after a short grace). True when it ended.
bool wait_gone(const FirstProcess& fp, int timeout_ms);

bool exists(const std::string& path);
bool is_dir(const std::string& path);
bool mkdir_p(const std::string& path, mode_t mode = 0755);
// Removes a tree without following symlinks; stays on its file system.
bool remove_tree(const std::string& path);
bool read_text(const std::string& path, std::string* out);
// Writes through a temporary file and a rename, so a reader never sees half.
bool write_text(const std::string& path, const std::string& text, mode_t mode = 0644);
// The last n lines of a file (for error reports).
std::string tail(const std::string& path, int n);
// Hard-links src to dst (replacing dst), or copies it when they sit on
// different file systems; symlinks are copied as symlinks.
bool place_file(const std::string& src, const std::string& dst);

// The environment every process of the host starts with.
std::vector<std::string> host_environment(bool keep_term);

void sleep_ms(int ms);

}  // namespace simhost

#endif  // ZELMIR_SIM_SIMHOST_UTIL_H
