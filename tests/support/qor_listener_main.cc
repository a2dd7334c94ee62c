// qor_listener: a stand-in for qorcd's listeners, run inside a host, serving
// one connection as the test scripts it: qorctl's local requests on a unix
// socket, its connection check on a TCP port.  It returns once it listens
// and serves in the background, so the test runs its client next.
//
//   qor_listener unix PATH | tcp PORT [options]
//     --status N     the reply's status (default 0); the reply carries
//                    version 2 and the request's tag and command
//     --body TEXT    the reply's document (default none)
//     --pieces N     the reply written N bytes at a time, with pauses
//     --cut N        only the first N bytes of the reply are written; the
//                    connection is then closed, or held with --hold
//     --silent       the request is read and never answered, the connection
//                    held until the client gives up
//     --hangup       the request is read and the connection closed unanswered
//     --record FILE  the request's bytes as read, in hexadecimal, to FILE
//                    (written before anything is answered)
//     --full         (tcp) a full accept queue: connections are never taken,
//                    so a new connection attempt goes unanswered
// A held connection ends when the client closes it; the listener then
// exits, leaving a unix socket's file behind (the next one replaces it).
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <string>

namespace {

struct __attribute__((packed)) Head {
  uint8_t version;
  uint8_t reserved1;
  uint16_t status;
  uint16_t reserved2;
  uint16_t tag;
  uint32_t cmd;
  uint32_t data_len;
};
static_assert(sizeof(Head) == 16);

struct Script {
  bool unix_socket = false;
  std::string where;   // path or port
  int status = 0;
  std::string body;
  size_t pieces = 0;
  long cut = -1;
  bool hold = false;
  bool silent = false;
  bool hangup = false;
  bool full = false;
  std::string record;
};

[[noreturn]] void usage() {
  fprintf(stderr, "usage: qor_listener unix PATH | tcp PORT [--status N] [--body TEXT] "
                  "[--pieces N] [--cut N [--hold]] [--silent] [--hangup] [--record FILE] "
                  "[--full]\n");
  exit(2);
}

size_t read_n(int fd, void* buf, size_t n) {
  size_t got = 0;
  while (got < n) {
    ssize_t r = read(fd, static_cast<char*>(buf) + got, n - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  return got;
}

void write_all(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;
    p += w;
    n -= static_cast<size_t>(w);
  }
}

// Until the client closes (or resets) its end.
void hold_until_closed(int fd) {
  char buf[256];
  for (;;) {
    ssize_t r = read(fd, buf, sizeof buf);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return;
  }
}

void record_request(const std::string& path, const std::string& bytes) {
  if (path.empty()) return;
  std::string hex;
  char two[3];
  for (unsigned char c : bytes) {
    snprintf(two, sizeof two, "%02x", c);
    hex += two;
  }
  hex += "\n";
  // Whole or not at all: the test may look while it is written.
  std::string tmp = path + ".tmp";
  FILE* f = fopen(tmp.c_str(), "w");
  if (f == nullptr) return;
  fputs(hex.c_str(), f);
  fclose(f);
  rename(tmp.c_str(), path.c_str());
}

int listen_unix(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  snprintf(sa.sun_path, sizeof sa.sun_path, "%s", path.c_str());
  unlink(path.c_str());
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, 4) != 0) {
    perror("qor_listener: unix listener");
    exit(1);
  }
  return fd;
}

sockaddr_in loopback(int port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return sa;
}

// With --full the queue holds one connection of the listener's own and
// admits no other (a backlog of 0 takes one).
int listen_tcp(int port, bool full, int* filler) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa = loopback(port);
  sa.sin_addr.s_addr = htonl(INADDR_ANY);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
      listen(fd, full ? 0 : 4) != 0) {
    perror("qor_listener: tcp listener");
    exit(1);
  }
  if (full) {
    *filler = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in self = loopback(port);
    if (connect(*filler, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0) {
      perror("qor_listener: filling the queue");
      exit(1);
    }
  }
  return fd;
}

void serve(int listener, const Script& s) {
  int c = accept(listener, nullptr, nullptr);
  if (c < 0) return;
  Head req{};
  std::string bytes(sizeof req, '\0');
  bytes.resize(read_n(c, bytes.data(), bytes.size()));
  if (bytes.size() == sizeof req) {
    memcpy(&req, bytes.data(), sizeof req);
    std::string payload(req.data_len < (1u << 20) ? req.data_len : 0, '\0');
    payload.resize(read_n(c, payload.data(), payload.size()));
    bytes += payload;
  }
  record_request(s.record, bytes);
  if (s.hangup) {
    close(c);
    return;
  }
  if (s.silent) {
    hold_until_closed(c);
    close(c);
    return;
  }
  Head rep{2, 0, static_cast<uint16_t>(s.status), 0, req.tag, req.cmd,
           static_cast<uint32_t>(s.body.size())};
  std::string reply(reinterpret_cast<const char*>(&rep), sizeof rep);
  reply += s.body;
  if (s.cut >= 0 && static_cast<size_t>(s.cut) < reply.size()) reply.resize(s.cut);
  size_t step = s.pieces > 0 ? s.pieces : reply.size();
  for (size_t at = 0; at < reply.size(); at += step) {
    // The pause lets each piece arrive on its own, so the client's reads
    // come back short.
    if (at > 0) usleep(20 * 1000);
    write_all(c, reply.data() + at, std::min(step, reply.size() - at));
  }
  if (s.cut >= 0 && s.hold) hold_until_closed(c);
  close(c);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) usage();
  Script s;
  std::string kind = argv[1];
  if (kind != "unix" && kind != "tcp") usage();
  s.unix_socket = kind == "unix";
  s.where = argv[2];
  for (int i = 3; i < argc; ++i) {
    std::string o = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) usage();
      return argv[++i];
    };
    if (o == "--status") s.status = atoi(value().c_str());
    else if (o == "--body") s.body = value();
    else if (o == "--pieces") s.pieces = static_cast<size_t>(atol(value().c_str()));
    else if (o == "--cut") s.cut = atol(value().c_str());
    else if (o == "--hold") s.hold = true;
    else if (o == "--silent") s.silent = true;
    else if (o == "--hangup") s.hangup = true;
    else if (o == "--record") s.record = value();
    else if (o == "--full") s.full = true;
    else usage();
  }
  int filler = -1;
  int l = s.unix_socket ? listen_unix(s.where) : listen_tcp(atoi(s.where.c_str()), s.full, &filler);

  // Listening: the caller may connect from now on.  The child serves; it
  // lets go of the caller's output so that the caller's exec ends.
  fflush(nullptr);
  pid_t child = fork();
  if (child < 0) {
    perror("qor_listener: fork");
    return 1;
  }
  if (child > 0) return 0;
  setsid();
  int null = open("/dev/null", O_RDWR);
  dup2(null, 0);
  dup2(null, 1);
  dup2(null, 2);
  if (s.full) {
    // Nothing is ever accepted; the host's end ends the listener.
    for (;;) pause();
  }
  serve(l, s);
  // The socket's file stays: the next listener may already have bound its
  // own at that path, and a late unlink here would take it away.
  close(l);
  return 0;
}
