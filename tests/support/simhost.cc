#include "simhost.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "files.h"

namespace testsupport {
namespace {

bool exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::string dirname_of(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The build directory of the running test: the one whose CMakeCache.txt is
// above the test program.
std::string build_dir() {
  static const std::string dir = [] {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) {
      fprintf(stderr, "testsupport: cannot read /proc/self/exe: %s\n", strerror(errno));
      abort();
    }
    std::string exe(buf, n);
    for (std::string d = dirname_of(exe); d != "/"; d = dirname_of(d))
      if (exists(d + "/CMakeCache.txt")) return d;
    return dirname_of(dirname_of(exe));
  }();
  return dir;
}

}  // namespace

ExecResult run_command(const std::vector<std::string>& argv, const std::string* input) {
  std::vector<std::string> copy = argv;
  std::vector<char*> args;
  for (std::string& a : copy) args.push_back(a.data());
  args.push_back(nullptr);
  int out[2], in[2] = {-1, -1};
  if (pipe2(out, O_CLOEXEC) != 0) return {-1, std::string("pipe: ") + strerror(errno)};
  if (input && pipe2(in, O_CLOEXEC) != 0) return {-1, std::string("pipe: ") + strerror(errno)};
  pid_t pid = fork();
  if (pid < 0) return {-1, std::string("fork: ") + strerror(errno)};
  if (pid == 0) {
    int stdin_fd = input ? in[0] : open("/dev/null", O_RDONLY);
    dup2(stdin_fd, 0);
    dup2(out[1], 1);
    dup2(out[1], 2);
    execv(args[0], args.data());
    _exit(127);
  }
  close(out[1]);
  if (input) close(in[0]);
  std::string result;
  size_t written = 0;
  int infd = input ? in[1] : -1;
  if (infd >= 0 && input->empty()) {
    close(infd);
    infd = -1;
  }
  signal(SIGPIPE, SIG_IGN);
  for (;;) {
    struct pollfd fds[2] = {{out[0], POLLIN, 0}, {infd, POLLOUT, 0}};
    if (poll(fds, infd >= 0 ? 2 : 1, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (infd >= 0 && (fds[1].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t n = write(infd, input->data() + written, input->size() - written);
      if (n > 0) written += n;
      if (n < 0 || written == input->size()) {
        close(infd);
        infd = -1;
      }
    }
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      char buf[8192];
      ssize_t n = read(out[0], buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      result.append(buf, n);
    }
  }
  if (infd >= 0) close(infd);
  close(out[0]);
  int status;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return {code, result};
}

namespace {

std::string join(const std::vector<std::string>& v) {
  std::string s;
  for (const std::string& a : v) s += (s.empty() ? "" : " ") + a;
  return s;
}

}  // namespace

std::string bin_dir() { return build_dir() + "/bin"; }
std::string lib_dir() { return build_dir() + "/lib"; }
std::string tests_dir() { return build_dir() + "/tests"; }
std::string test_program(const std::string& name) { return tests_dir() + "/" + name; }

ExecResult host_exec(const std::string& dir, const std::vector<std::string>& argv,
                     const std::string* input) {
  std::vector<std::string> args = {bin_dir() + "/simhost", "exec", dir, "--"};
  args.insert(args.end(), argv.begin(), argv.end());
  return run_command(args, input);
}

SimHost::SimHost(const std::vector<std::string>& disks, bool start) {
  char tmpl[] = "/tmp/zelmir-test-XXXXXX";
  if (!mkdtemp(tmpl)) throw std::runtime_error(std::string("mkdtemp: ") + strerror(errno));
  tmp_ = tmpl;
  dir_ = tmp_ + "/host-" + tmp_.substr(tmp_.size() - 6);   // the hostname too: unique per host

  // Cleans up after a test process that dies without running this
  // destructor (killed at its time-out, or crashed): when the pipe closes
  // without "done", it crashes the host and removes the directory.
  int p[2];
  if (pipe2(p, O_CLOEXEC) == 0) {
    std::string simhost_path = bin_dir() + "/simhost";
    pid_t pid = fork();
    if (pid == 0) {
      dup2(p[0], 0);
      int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
      dup2(null, 2);
      setsid();
      execl("/bin/sh", "sh", "-c",
            "trap '' INT HUP TERM; read -r done && exit 0; "
            "\"$1\" crash \"$2\"; rm -rf -- \"$3\"",
            "sh", simhost_path.c_str(), dir_.c_str(), tmp_.c_str(), (char*)nullptr);
      _exit(127);
    }
    close(p[0]);
    if (pid > 0) watchdog_fd_ = p[1];
    else close(p[1]);
  }

  std::vector<std::string> args = {"create", dir_};
  args.insert(args.end(), disks.begin(), disks.end());
  ExecResult r = simhost(args);
  if (r.status != 0) {
    cleanup();
    throw std::runtime_error("simhost " + join(args) + " failed (" + std::to_string(r.status) +
                             "): " + r.out);
  }
  if (start) {
    try {
      this->start();
    } catch (...) {
      cleanup();
      throw;
    }
  }
}

SimHost::~SimHost() {
  if (running_) {
    ExecResult r = simhost({"stop", dir_});
    running_ = false;
    if (r.status != 0) {
      ADD_FAILURE() << "simhost stop " << dir_ << " failed (" << r.status << "): " << r.out;
      simhost({"crash", dir_});
    }
  }
  cleanup();
}

void SimHost::cleanup() {
  if (running_) simhost({"crash", dir_});
  running_ = false;
  remove_tree(tmp_);
  if (watchdog_fd_ >= 0) {
    ssize_t n = write(watchdog_fd_, "done\n", 5);
    (void)n;
    close(watchdog_fd_);
    watchdog_fd_ = -1;
  }
}

ExecResult SimHost::simhost(const std::vector<std::string>& args, const std::string* input) const {
  std::vector<std::string> argv = {bin_dir() + "/simhost"};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_command(argv, input);
}

void SimHost::start() {
  ExecResult r = simhost({"start", dir_});
  if (r.status != 0)
    throw std::runtime_error("simhost start " + dir_ + " failed (" + std::to_string(r.status) +
                             "): " + r.out);
  running_ = true;
}

void SimHost::stop() {
  ExecResult r = simhost({"stop", dir_});
  running_ = false;
  if (r.status != 0) ADD_FAILURE() << "simhost stop " << dir_ << " failed (" << r.status << "): " << r.out;
}

void SimHost::crash() {
  ExecResult r = simhost({"crash", dir_});
  running_ = false;
  if (r.status != 0) ADD_FAILURE() << "simhost crash " << dir_ << " failed (" << r.status << "): " << r.out;
}

ExecResult SimHost::exec(const std::vector<std::string>& argv) {
  std::vector<std::string> args = {"exec", dir_, "--"};
  args.insert(args.end(), argv.begin(), argv.end());
  return simhost(args);
}

ExecResult SimHost::simctl(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"/usr/local/zelmir/bin/simctl"};
  argv.insert(argv.end(), args.begin(), args.end());
  return exec(argv);
}

const std::string& SimHost::dir() const { return dir_; }

std::string SimHost::image(const std::string& disk) const { return dir_ + "/disks/" + disk + ".img"; }

std::string SimHost::file(const std::string& path_in_host) const { return dir_ + "/upper" + path_in_host; }

std::string SimHost::read_file(const std::string& path_in_host) const {
  std::ifstream in(file(path_in_host), std::ios::binary);
  if (!in) return "";
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void SimHost::write_file(const std::string& path_in_host, const std::string& content) const {
  if (running_) {
    // Through the host, so the overlay sees the new file at once.
    ExecResult r = simhost({"exec", dir_, "--", "/bin/sh", "-c",
                            "mkdir -p \"$(dirname \"$1\")\" && cat > \"$1.new\" && mv -f \"$1.new\" \"$1\"",
                            "sh", path_in_host},
                           &content);
    if (r.status != 0) ADD_FAILURE() << "writing " << path_in_host << " into the host: " << r.out;
    return;
  }
  std::string path = file(path_in_host);
  for (size_t pos = dir_.size() + 7; (pos = path.find('/', pos + 1)) != std::string::npos;)
    mkdir(path.substr(0, pos).c_str(), 0755);
  unlink(path.c_str());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out.good()) ADD_FAILURE() << "writing " << path << " failed";
}

ExecResult SimHost::link(const std::string& my_end, const SimHost& peer,
                         const std::string& peer_end) const {
  return simhost({"link", dir_ + ":" + my_end, peer.dir_ + ":" + peer_end});
}

std::string SimHost::nbd_uri(const std::string& disk) const {
  return "nbd+unix:///" + disk + "?socket=/var/run/simkernel/nbd.sock";
}

bool write_partition_table(const std::string& image, uint32_t start, uint32_t sectors) {
  FILE* f = fopen(image.c_str(), "r+b");
  if (!f) f = fopen(image.c_str(), "w+b");
  if (!f) return false;
  unsigned char entry[16] = {0, 0, 0, 0, 0x83};
  for (int i = 0; i < 4; i++) {
    entry[8 + i] = static_cast<unsigned char>(start >> (8 * i));
    entry[12 + i] = static_cast<unsigned char>(sectors >> (8 * i));
  }
  bool ok = fseek(f, 446, SEEK_SET) == 0 && fwrite(entry, sizeof(entry), 1, f) == 1 &&
            fseek(f, 510, SEEK_SET) == 0 && fwrite("\x55\xaa", 2, 1, f) == 1;
  return fclose(f) == 0 && ok;
}

}  // namespace testsupport
