#include "fake_hm_server.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace testsupport {

namespace {

bool read_all(int fd, char* buf, size_t n) {
  size_t got = 0;
  while (got < n) {
    ssize_t r = read(fd, buf + got, n - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    got += static_cast<size_t>(r);
  }
  return true;
}

void write_all(int fd, const std::string& s) {
  size_t done = 0;
  while (done < s.size()) {
    ssize_t w = send(fd, s.data() + done, s.size() - done, MSG_NOSIGNAL);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;
    done += static_cast<size_t>(w);
  }
}

}  // namespace

FakeHmServer::FakeHmServer(std::string path, Unscripted unscripted)
    : path_(std::move(path)), unscripted_(unscripted) {
  unlink(path_.c_str());
  listen_fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (listen_fd_ < 0 || path_.size() >= sizeof(addr.sun_path))
    throw std::runtime_error("fake server: bad socket path " + path_);
  memcpy(addr.sun_path, path_.c_str(), path_.size());
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      listen(listen_fd_, 8) != 0 || pipe(stop_pipe_) != 0) {
    close(listen_fd_);
    throw std::runtime_error("fake server: cannot listen on " + path_ + ": " + strerror(errno));
  }
  thread_ = std::thread([this] { run(); });
}

FakeHmServer::~FakeHmServer() {
  if (write(stop_pipe_[1], "x", 1) < 0) {
  }
  if (thread_.joinable()) thread_.join();
  close(listen_fd_);
  close(stop_pipe_[0]);
  close(stop_pipe_[1]);
  unlink(path_.c_str());
}

std::string FakeHmServer::header(uint8_t cmd, uint8_t arg, uint16_t body_len, uint16_t retcode) {
  std::string h(6, '\0');
  h[0] = static_cast<char>(cmd);
  h[1] = static_cast<char>(arg);
  memcpy(&h[2], &body_len, 2);
  memcpy(&h[4], &retcode, 2);
  return h;
}

void FakeHmServer::push(Reply r) {
  std::lock_guard<std::mutex> g(mu_);
  replies_.push_back(std::move(r));
}

FakeHmServer::Reply FakeHmServer::reply(uint8_t cmd, uint16_t retcode, const std::string& body,
                                        uint8_t arg) {
  return {header(cmd, arg, static_cast<uint16_t>(body.size()), retcode) + body, false};
}

void FakeHmServer::push_reply(uint8_t cmd, uint16_t retcode, const std::string& body) {
  push(reply(cmd, retcode, body));
}

std::vector<std::string> FakeHmServer::requests() {
  std::lock_guard<std::mutex> g(mu_);
  return requests_;
}

bool FakeHmServer::wait_requests(size_t n) {
  std::unique_lock<std::mutex> g(mu_);
  return cv_.wait_for(g, std::chrono::seconds(1), [&] { return requests_.size() >= n; });
}

void FakeHmServer::run() {
  for (;;) {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    if (fds[0].revents & POLLIN) {
      int fd = accept(listen_fd_, nullptr, nullptr);
      if (fd >= 0) {
        serve(fd);
        close(fd);
      }
    }
  }
}

// One request per connection, as the system's clients send.
void FakeHmServer::serve(int fd) {
  char hdr[6];
  if (!read_all(fd, hdr, sizeof(hdr))) return;
  uint16_t body_len;
  memcpy(&body_len, hdr + 2, 2);
  std::string req(hdr, sizeof(hdr));
  std::string body(body_len, '\0');
  if (body_len && !read_all(fd, body.data(), body_len)) return;
  req += body;

  Reply r;
  {
    std::lock_guard<std::mutex> g(mu_);
    requests_.push_back(req);
    if (!replies_.empty()) {
      r = replies_.front();
      replies_.pop_front();
    } else if (unscripted_ == Unscripted::kHangUp) {
      r.hang_up = true;
    } else {
      r.bytes = header(static_cast<uint8_t>(hdr[0]), 0, 0, 0);
    }
  }
  cv_.notify_all();
  if (!r.hang_up) write_all(fd, r.bytes);
}

}  // namespace testsupport
