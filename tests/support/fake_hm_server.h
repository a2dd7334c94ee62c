// A stand-in for zelmird's local socket: listens on a unix stream socket at
// a path the test chooses, reads each request (header and body) whole,
// keeps its bytes, and answers with the next scripted reply. The one fake
// daemon of the tests of libmirapi and mirctl.
#ifndef ZELMIR_TESTS_SUPPORT_FAKE_HM_SERVER_H
#define ZELMIR_TESTS_SUPPORT_FAKE_HM_SERVER_H

#include <stdint.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class FakeHmServer {
 public:
  // What the server does with one request.
  struct Reply {
    std::string bytes;             // written back as they stand
    bool hang_up = false;          // close without answering
  };

  // What the server does with a request once the scripted replies are used up.
  enum class Unscripted {
    kAnswer,    // the request's own header with result 0 and no body
    kHangUp,    // close without answering
  };

  explicit FakeHmServer(std::string path, Unscripted unscripted = Unscripted::kAnswer);
  ~FakeHmServer();                 // stops the thread, removes the socket
  FakeHmServer(const FakeHmServer&) = delete;
  FakeHmServer& operator=(const FakeHmServer&) = delete;

  const std::string& path() const { return path_; }

  // Replies are used in order, one per request; with none left the server
  // does what the constructor was told.
  void push(Reply r);
  void push_reply(uint8_t cmd, uint16_t retcode, const std::string& body = "");

  // A reply header (and body) as the daemon writes it.
  static Reply reply(uint8_t cmd, uint16_t retcode, const std::string& body = "",
                     uint8_t arg = 0);

  // Every request received so far, whole.
  std::vector<std::string> requests();
  // Waits (up to a second) until n requests have arrived.
  bool wait_requests(size_t n);

  static std::string header(uint8_t cmd, uint8_t arg, uint16_t body_len, uint16_t retcode);

 private:
  void run();
  void serve(int fd);

  std::string path_;
  Unscripted unscripted_;
  int listen_fd_ = -1;
  int stop_pipe_[2] = {-1, -1};
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Reply> replies_;
  std::vector<std::string> requests_;
  std::thread thread_;
};

}  // namespace testsupport

#endif  // ZELMIR_TESTS_SUPPORT_FAKE_HM_SERVER_H
