#include "syslog_listener.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "device_tree.h"

namespace sim {

std::string SyslogListener::line_for(const char* msg, size_t len) {
  while (len > 0 && (msg[len - 1] == '\0' || msg[len - 1] == '\n')) len--;
  std::string s(msg, len);
  for (char& c : s)
    if (c == '\n' || c == '\0') c = ' ';
  s += '\n';
  return s;
}

int SyslogListener::start(const std::string& socket_path, const std::string& log_path) {
  log_path_ = log_path;
  size_t slash = log_path.rfind('/');
  if (slash != std::string::npos && slash > 0) make_dirs(log_path.substr(0, slash));
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  if (socket_path.size() >= sizeof sa.sun_path) return -ENAMETOOLONG;
  memcpy(sa.sun_path, socket_path.data(), socket_path.size());
  fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return -errno;
  ::unlink(socket_path.c_str());
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0) {
    int e = errno;
    ::close(fd_);
    fd_ = -1;
    return -e;
  }
  ::chmod(socket_path.c_str(), 0666);
  thread_ = std::thread([this] { run(); });
  thread_.detach();
  return 0;
}

void SyslogListener::run() {
  static char buf[65536];
  int out = ::open(log_path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  for (;;) {
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    std::string line = line_for(buf, static_cast<size_t>(n));
    // One write per message: lines of concurrent writers never interleave.
    if (out >= 0 && ::write(out, line.data(), line.size()) < 0) {
      ::close(out);
      out = ::open(log_path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    }
  }
}

}  // namespace sim
