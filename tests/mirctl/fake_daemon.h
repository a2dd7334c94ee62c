// A stand-in for zelmird's local socket: answers each connection with the
// next scripted reply and keeps every request it read.
#ifndef ZELMIR_TESTS_MIRCTL_FAKE_DAEMON_H
#define ZELMIR_TESTS_MIRCTL_FAKE_DAEMON_H

#include <stdint.h>

#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace mirctl_test {

struct Reply {
  std::string bytes;     // header and body as sent
  bool hang_up = false;  // close without answering
};

// A reply header (and body) as the daemon writes it.
Reply reply(uint8_t cmd, uint16_t retcode, const std::string& body = "",
            uint8_t arg = 0);

class FakeDaemon {
 public:
  explicit FakeDaemon(const std::string& socket_path);
  ~FakeDaemon();

  void push(const Reply& r);
  // Requests read so far (header and body).
  std::vector<std::string> requests();

 private:
  void serve();

  std::string path_;
  int listen_fd_ = -1;
  int stop_pipe_[2] = {-1, -1};
  std::mutex mu_;
  std::deque<Reply> replies_;
  std::vector<std::string> requests_;
  std::thread thread_;
};

}  // namespace mirctl_test

#endif  // ZELMIR_TESTS_MIRCTL_FAKE_DAEMON_H
