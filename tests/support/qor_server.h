// A managing Tidewell server for tests of qorcd in a simulated host.  Its
// sockets live in the host's network namespace, so it reaches qorcd on the
// host's own addresses (127.0.0.1 and any --nic address) and qorcd reaches
// its listener there.  It sends any head and document (or any bytes) to
// ClientPort and returns what came back; it listens for heartbeats on
// ServerPort, records each request that arrives and answers as the test
// scripted; it writes and reads the host's qorcd.conf, starts qorcd and
// stops it again.
#ifndef ZELMIR_TESTS_SUPPORT_QOR_SERVER_H
#define ZELMIR_TESTS_SUPPORT_QOR_SERVER_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// The agent protocol's 16-byte head, little-endian on the wire.
struct __attribute__((packed)) QorHead {
  uint8_t version = 2;
  uint8_t reserved1 = 0;
  uint16_t status = 0;
  uint16_t reserved2 = 0;
  uint16_t tag = 0;
  uint32_t cmd = 0;
  uint32_t data_len = 0;
};
static_assert(sizeof(QorHead) == 16);
static_assert(offsetof(QorHead, status) == 2);
static_assert(offsetof(QorHead, reserved2) == 4);
static_assert(offsetof(QorHead, tag) == 6);
static_assert(offsetof(QorHead, cmd) == 8);
static_assert(offsetof(QorHead, data_len) == 12);

// What came back on one connection to qorcd.
struct QorReply {
  bool connected = false;  // the connection was made and the request sent
  bool replied = false;    // a whole head came back
  bool closed = false;     // the peer closed (false: the time limit passed first)
  QorHead head = {0, 0, 0, 0, 0, 0, 0};  // the reply's head when replied (else all zero)
  std::string body;        // what followed the head, at most head.data_len bytes
  std::string raw;         // every byte received
  std::string error;       // why nothing could be sent, when !connected
};

// One request that arrived at the listener.
struct QorArrival {
  std::chrono::steady_clock::time_point at;    // when it was accepted
  std::chrono::steady_clock::time_point done;  // when its reading ended
  bool complete = false;   // the head and data_len bytes arrived
  QorHead head = {0, 0, 0, 0, 0, 0, 0};  // as received (zero-filled past what arrived)
  std::string body;
};

// How the listener answers a request.
struct QorAnswer {
  enum Kind { kReply, kHangUp, kSilent, kHeld };
  Kind kind = kReply;
  uint16_t status = 0;
  std::string document;
  std::string first_bytes;  // kSilent: written before the silence

  // A head with version 2, this status, the request's tag and command, and
  // the document as its payload.
  static QorAnswer reply(uint16_t status, std::string document = {});
  // Closes the connection without a byte.
  static QorAnswer hang_up();
  // Keeps the connection open and says nothing (after first_bytes, when
  // given: a head cut short) until release_silent() or the server's end.
  static QorAnswer silent(std::string first_bytes = {});
  // Keeps the connection open until release_silent(), then replies as
  // reply() would and closes (the server's end closes without replying).
  static QorAnswer held(uint16_t status, std::string document = {});
};

// qorcd.conf, as a test writes and reads it.
struct QorConf {
  struct Group {
    std::string name;
    uint64_t con_start_time = 0;
    uint64_t start_time = 0;
    uint32_t interval = 0;
    std::vector<std::string> members;
  };
  struct Schedule {
    std::string local_guid;
    std::string mirror_guid;
    uint64_t con_start_time = 0;
    uint64_t start_time = 0;
    uint32_t interval = 0;
  };

  std::string client_guid;
  std::string client_alias;
  int client_port = 0;
  int server_port = 0;
  std::vector<std::string> ip_filter;    // dotted IPv4 addresses
  bool has_manager = false;
  std::string manager_guid;
  std::string target_iqn;                // written only when not empty
  std::vector<std::string> manager_ips;
  std::vector<Group> groups;
  std::vector<Schedule> schedules;

  // The file's document, formatted as qorcd writes it.
  std::string to_xml() const;
  // Reads a document; false when it does not parse or its root is not
  // "Tidewell".
  static bool from_xml(const std::string& text, QorConf* conf);
};

class QorServer {
 public:
  static constexpr const char* kConfPath = "/etc/zeltidewell/qorcd.conf";
  static constexpr const char* kQorcd = "/usr/local/zelmir/bin/qorcd";

  // The server of the running host in host_dir (a simhost directory).
  // Throws std::runtime_error when the host does not run.
  explicit QorServer(const std::string& host_dir);
  // Stops listening, closes every held connection.  A qorcd it started is
  // stopped too.
  ~QorServer();
  QorServer(const QorServer&) = delete;
  QorServer& operator=(const QorServer&) = delete;

  // ---- Requests to qorcd (ClientPort) ----
  // One request: a version-2 head with cmd, tag and the document's length,
  // then the document.  After sending, the server's side of the connection
  // is shut for writing (unless keep_open), and everything the peer sends
  // is read until it closes or limit passes.
  QorReply request(uint16_t port, uint32_t cmd, const std::string& document = {},
                   uint16_t tag = 0);
  // The head exactly as given (a lying data_len stays), then body.
  QorReply send(uint16_t port, const QorHead& head, const std::string& body);
  // Any bytes: broken heads, partial messages.
  QorReply send_raw(uint16_t port, const std::string& bytes);
  // A TCP connection to port at the target address, made in the host and
  // left to the caller (who closes it); -1, with *error, when it fails.
  int connect_to(uint16_t port, std::string* error = nullptr) const;
  // Where and how requests go; defaults 127.0.0.1, 30 s, shut after sending.
  void set_target_address(const std::string& addr) { target_addr_ = addr; }
  void set_reply_limit(std::chrono::milliseconds limit) { reply_limit_ = limit; }
  void set_keep_open(bool keep_open) { keep_open_ = keep_open; }

  // ---- Heartbeats (ServerPort) ----
  // Listens on addr:port in the host; each request is recorded and answered
  // on its own thread.  Throws std::runtime_error when it cannot listen.
  void listen(uint16_t port, const std::string& addr = "0.0.0.0");
  // Answers used in order, one per complete request; when none is queued,
  // the default answer (at first reply(0)) is used.
  void answer_next(const QorAnswer& answer);
  void answer_default(const QorAnswer& answer);
  // Requests received so far, in the order they were accepted.  Connections
  // closed without a byte are not requests and only counted.
  std::vector<QorArrival> arrivals() const;
  size_t empty_connections() const;
  // Closes the connections held by silent answers, replying first on those
  // held by held answers.
  void release_silent();
  void stop_listening();

  // ---- qorcd.conf and qorcd ----
  void write_conf(const QorConf& conf) const;
  // The host's file as qorcd left it; false when it is missing or unreadable.
  bool read_conf(QorConf* conf) const;
  // Starts program (qorcd: the launcher returns at once) and waits until a
  // socket listens on port in the host.  False, with *why, when the launcher
  // fails or nothing listens within limit.
  bool start_qorcd(uint16_t port, const std::vector<std::string>& args = {"-d"},
                   std::string* why = nullptr,
                   std::chrono::milliseconds limit = std::chrono::seconds(30),
                   const std::string& program = kQorcd);
  // Stops the daemon whose supervisor pid is in /var/run/qorcd.pid: the
  // supervisor is stopped so it forks no more, its children are found, then
  // the supervisor and each child are killed, and both are waited for.
  // True when they are gone (or none ran).
  bool stop_qorcd();
  // Leaves a started qorcd running past this server's end.
  void detach_qorcd() { started_qorcd_ = false; }
  // Whether a socket listens on port in the host now.
  bool port_listens(uint16_t port) const;

  const std::string& host_dir() const { return dir_; }

 private:
  int ns_socket(int domain, int type) const;
  QorReply exchange(uint16_t port, const std::string& bytes);
  void accept_loop(int fd);
  void serve(int fd, std::chrono::steady_clock::time_point at);
  void forget_connection(int fd);
  std::vector<pid_t> host_processes_with_parent(pid_t parent) const;
  pid_t outside_pid(pid_t host_pid) const;

  std::string dir_;
  pid_t first_pid_ = 0;      // the host's first process, as this machine numbers it
  int netns_fd_ = -1;
  std::string pidns_;        // the host's pid namespace, as /proc names it
  std::string target_addr_ = "127.0.0.1";
  std::chrono::milliseconds reply_limit_ = std::chrono::seconds(30);
  bool keep_open_ = false;
  bool started_qorcd_ = false;

  mutable std::mutex mu_;
  int listen_fd_ = -1;
  int wake_fd_ = -1;               // an eventfd that ends the accept loop
  bool stopping_ = false;
  std::thread acceptor_;
  std::vector<std::thread> workers_;
  std::set<int> open_fds_;         // connections being served
  struct Held {
    int fd;
    std::string reply;  // written on release (held answers)
  };
  std::vector<Held> held_;         // connections kept open by silent and held answers
  std::deque<QorAnswer> script_;
  QorAnswer default_answer_;
  std::vector<QorArrival> arrivals_;
  size_t empty_ = 0;
};

}  // namespace testsupport

#endif  // ZELMIR_TESTS_SUPPORT_QOR_SERVER_H
