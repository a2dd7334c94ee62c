#include "simhost_util.h"

#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace simhost {

int fail(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  fputs("simhost: ", stderr);
  vfprintf(stderr, fmt, ap);
  fputc('\n', stderr);
  va_end(ap);
  return kFail;
}

int usage() {
  fputs(
      "usage: simhost create DIR [--disk NAME:SIZE]... [--lun NAME:SIZE:GUID]... [--module PATH]\n"
      "                          [--nic IF:ADDR/PFX[,ADDR/PFX]...]... [--no-iscsi]\n"
      "       simhost start DIR\n"
      "       simhost link DIRA:IF:ADDR/PFX DIRB:IF:ADDR/PFX   (both running)\n"
      "       simhost exec DIR -- CMD [ARG...]\n"
      "       simhost stop DIR\n"
      "       simhost crash DIR\n"
      "       simhost status DIR      (exit 0 running, 3 stopped)\n"
      "SIZE is a number of bytes with an optional K, M or G; NAME is sd plus one or two\n"
      "letters; GUID is 36 characters of 0-9, A-Z, a-z and '-'; ADDR/PFX is an IPv4\n"
      "address with its prefix length, e.g. 192.0.2.10/24.\n",
      stderr);
  return kUsage;
}

int lock_host(const HostDir& h) {
  if (!mkdir_p(h.run())) return -1;
  int fd = open(h.lockfile().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd >= 0) flock(fd, LOCK_EX);
  return fd;
}

bool path_is_plain(const std::string& path) {
  for (char c : path)
    if (c == ',' || c == ':' || c == '\\' || c == '\n' || c == ' ' || c == '\t') return false;
  return !path.empty() && path[0] == '/';
}

bool open_host(const std::string& arg, HostDir* h) {
  char buf[PATH_MAX];
  if (!realpath(arg.c_str(), buf)) {
    fail("%s: %s", arg.c_str(), strerror(errno));
    return false;
  }
  h->dir = buf;
  if (!exists(h->conf()) || !is_dir(h->upper()) || !is_dir(h->disks())) {
    fail("%s is not a host directory (made by simhost create)", h->dir.c_str());
    return false;
  }
  if (!path_is_plain(h->dir)) {
    fail("%s: a host directory's path may not hold ',', ':', '\\' or blanks", h->dir.c_str());
    return false;
  }
  return true;
}

std::string build_dir() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "";
  std::string exe(buf, n);
  std::string bin = exe.substr(0, exe.rfind('/'));
  return bin.substr(0, bin.rfind('/'));
}

bool proc_stat(pid_t pid, unsigned long long* start_time, char* state) {
  std::string text;
  if (!read_text("/proc/" + std::to_string(pid) + "/stat", &text)) return false;
  // The command name may hold blanks and parentheses: fields start after the last ')'.
  size_t close = text.rfind(')');
  if (close == std::string::npos) return false;
  std::istringstream in(text.substr(close + 1));
  std::string field;
  std::vector<std::string> fields;
  while (in >> field) fields.push_back(field);
  if (fields.size() < 20) return false;
  *state = fields[0][0];                       // field 3
  *start_time = strtoull(fields[19].c_str(), nullptr, 10);  // field 22
  return true;
}

bool read_pidfile(const HostDir& h, FirstProcess* fp) {
  std::string text;
  if (!read_text(h.pidfile(), &text)) return false;
  std::istringstream in(text);
  long pid = 0;
  unsigned long long st = 0;
  if (!(in >> pid >> st) || pid <= 1) return false;
  fp->pid = static_cast<pid_t>(pid);
  fp->start_time = st;
  return true;
}

bool write_pidfile(const HostDir& h, const FirstProcess& fp) {
  return write_text(h.pidfile(), std::to_string(fp.pid) + " " + std::to_string(fp.start_time) + "\n");
}

bool alive(const FirstProcess& fp) {
  unsigned long long st;
  char state;
  if (!proc_stat(fp.pid, &st, &state)) return false;
  return st == fp.start_time && state != 'Z' && state != 'X';
}

bool running(const HostDir& h, FirstProcess* fp) {
  return read_pidfile(h, fp) && alive(*fp);
}

// Gone means reaped. A zombie first process is not enough: a multithreaded
// simkernel shows its leader as a zombie while its last threads still exit,
// and the host's other processes are killed only when the last one has. The
// supervisor's wait returns after all of that, and it reaps at once.
bool wait_gone(const FirstProcess& fp, int timeout_ms) {
  for (int waited = 0; waited <= timeout_ms; waited += 10) {
    unsigned long long st;
    char state;
    if (!proc_stat(fp.pid, &st, &state) || st != fp.start_time) return true;
    sleep_ms(10);
  }
  return false;
}

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool is_dir(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool mkdir_p(const std::string& path, mode_t mode) {
  if (path.empty()) return false;
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') continue;
    std::string part = path.substr(0, pos);
    if (mkdir(part.c_str(), mode) != 0 && errno != EEXIST) return false;
  }
  return is_dir(path);
}

static int remove_entry(const char* path, const struct stat*, int flag, struct FTW*) {
  int rc = (flag == FTW_DP) ? rmdir(path) : unlink(path);
  return (rc != 0 && errno != ENOENT) ? -1 : 0;
}

bool remove_tree(const std::string& path) {
  if (!exists(path)) return true;
  return nftw(path.c_str(), remove_entry, 32, FTW_DEPTH | FTW_PHYS | FTW_MOUNT) == 0;
}

bool read_text(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream ss;
  ss << in.rdbuf();
  *out = ss.str();
  return true;
}

bool write_text(const std::string& path, const std::string& text, mode_t mode) {
  std::string tmp = path + ".tmp";
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      close(fd);
      unlink(tmp.c_str());
      return false;
    }
    done += n;
  }
  if (close(fd) != 0 || rename(tmp.c_str(), path.c_str()) != 0) {
    unlink(tmp.c_str());
    return false;
  }
  return true;
}

std::string tail(const std::string& path, int n) {
  std::string text;
  if (!read_text(path, &text)) return "";
  size_t pos = text.size();
  if (pos > 0 && text[pos - 1] == '\n') --pos;
  for (int lines = 0; pos > 0; --pos)
    if (text[pos - 1] == '\n' && ++lines == n) break;
  return text.substr(pos);
}

static bool copy_file(const std::string& src, const std::string& dst, mode_t mode) {
  int in = open(src.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  int out = open(dst.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode & 07777);
  if (out < 0) {
    close(in);
    return false;
  }
  bool ok = true;
  for (;;) {
    ssize_t n = sendfile(out, in, nullptr, 1 << 24);
    if (n == 0) break;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ok = false;
      break;
    }
  }
  close(in);
  if (close(out) != 0) ok = false;
  if (ok) chmod(dst.c_str(), mode & 07777);
  return ok;
}

bool place_file(const std::string& src, const std::string& dst) {
  struct stat st;
  if (lstat(src.c_str(), &st) != 0) return false;
  if (unlink(dst.c_str()) != 0 && errno != ENOENT) return false;
  if (S_ISLNK(st.st_mode)) {
    char buf[PATH_MAX];
    ssize_t n = readlink(src.c_str(), buf, sizeof buf - 1);
    if (n < 0) return false;
    buf[n] = 0;
    return symlink(buf, dst.c_str()) == 0;
  }
  // A link costs nothing at each start, and a rebuild (which writes a new file)
  // is picked up at the next start just as a copy would be.
  if (link(src.c_str(), dst.c_str()) == 0) return true;
  if (errno != EXDEV && errno != EPERM && errno != EMLINK) return false;
  return copy_file(src, dst, st.st_mode);
}

std::vector<std::string> host_environment(bool keep_term) {
  std::vector<std::string> env = {
      "PATH=/usr/local/zelmir/bin:/usr/sbin:/usr/bin:/sbin:/bin",
      "HOME=/root",
      "LANG=C",
      "SHELL=/bin/sh",
      "USER=root",
      "LOGNAME=root",
  };
  // Sanitizer settings of the test run apply to the programs inside as well.
  static const char* const kPassed[] = {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS",
                                        "ASAN_SYMBOLIZER_PATH"};
  for (const char* name : kPassed)
    if (const char* v = getenv(name)) env.push_back(std::string(name) + "=" + v);
  if (keep_term)
    if (const char* v = getenv("TERM")) env.push_back(std::string("TERM=") + v);
  return env;
}

void sleep_ms(int ms) {
  struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

}  // namespace simhost
