#include "fake_daemon.h"

#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "hm_unix.h"

namespace mirctl_test {

namespace {

bool read_all(int fd, char* buf, size_t n) {
  size_t got = 0;
  while (got < n) {
    ssize_t r = read(fd, buf + got, n - got);
    if (r <= 0) return false;
    got += static_cast<size_t>(r);
  }
  return true;
}

}  // namespace

Reply reply(uint8_t cmd, uint16_t retcode, const std::string& body, uint8_t arg) {
  hm_header_t h = {};
  h.cmd = cmd;
  h.arg = arg;
  h.body_len = static_cast<uint16_t>(body.size());
  h.retcode = retcode;
  Reply r;
  r.bytes.assign(reinterpret_cast<const char*>(&h), sizeof(h));
  r.bytes += body;
  return r;
}

FakeDaemon::FakeDaemon(const std::string& socket_path) : path_(socket_path) {
  unlink(path_.c_str());
  listen_fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path_.c_str());
  bind(listen_fd_, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr));
  listen(listen_fd_, 8);
  if (pipe(stop_pipe_) != 0) stop_pipe_[0] = stop_pipe_[1] = -1;
  thread_ = std::thread([this] { serve(); });
}

FakeDaemon::~FakeDaemon() {
  if (write(stop_pipe_[1], "x", 1) != 1) {
  }
  thread_.join();
  close(listen_fd_);
  close(stop_pipe_[0]);
  close(stop_pipe_[1]);
  unlink(path_.c_str());
}

void FakeDaemon::push(const Reply& r) {
  std::lock_guard<std::mutex> l(mu_);
  replies_.push_back(r);
}

std::vector<std::string> FakeDaemon::requests() {
  std::lock_guard<std::mutex> l(mu_);
  return requests_;
}

void FakeDaemon::serve() {
  for (;;) {
    struct pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) return;
    if (fds[1].revents != 0) return;
    int fd = accept(listen_fd_, nullptr, nullptr);
    if (fd < 0) continue;
    hm_header_t h;
    std::string req;
    if (read_all(fd, reinterpret_cast<char*>(&h), sizeof(h))) {
      std::string body(h.body_len, '\0');
      if (read_all(fd, body.data(), body.size())) {
        req.assign(reinterpret_cast<const char*>(&h), sizeof(h));
        req += body;
      }
    }
    Reply r;
    {
      std::lock_guard<std::mutex> l(mu_);
      requests_.push_back(req);
      if (!replies_.empty()) {
        r = replies_.front();
        replies_.pop_front();
      } else {
        r.hang_up = true;
      }
    }
    if (!r.hang_up) {
      ssize_t n = write(fd, r.bytes.data(), r.bytes.size());
      (void)n;
    }
    close(fd);
  }
}

}  // namespace mirctl_test
