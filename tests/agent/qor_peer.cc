// qor_peer: a small stand-in of qorcd's side of the agent protocol, run
// inside a host to prove the tests' managing server.
//   qor_peer serve PORT         one connection: reads a head and its body, answers by cmd
//   qor_peer send ADDR PORT CMD BODY
//                               one request (tag 3); prints what came back
//   qor_peer daemon PORT        qorcd's shape: launcher, supervisor with a pid
//                               file that restarts its child, child listening on PORT
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

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

// Reads up to n bytes; the count read before the peer closed.
size_t read_n(int fd, void* buf, size_t n) {
  size_t got = 0;
  while (got < n) {
    ssize_t r = read(fd, static_cast<char*>(buf) + got, n - got);
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  return got;
}

void write_all(int fd, const void* buf, size_t n) {
  const char* p = static_cast<const char*>(buf);
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w <= 0) return;
    p += w;
    n -= static_cast<size_t>(w);
  }
}

int listener(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, 8) != 0) {
    perror("qor_peer: listen");
    exit(1);
  }
  return fd;
}

// cmd 1: the body echoed with status 7; cmd 2: closed unanswered; cmd 3: a
// reply whose head promises 100 bytes and brings 5.  A head cut short is
// answered with the text "short head N" and no head.
int serve(int port) {
  int l = listener(port);
  int c = accept(l, nullptr, nullptr);
  Head h = {};
  size_t got = read_n(c, &h, sizeof h);
  if (got < sizeof h) {
    std::string text = "short head " + std::to_string(got);
    write_all(c, text.data(), text.size());
    return 0;
  }
  std::string body(h.data_len, '\0');
  if (read_n(c, body.data(), body.size()) < body.size()) return 0;
  Head r = {2, 0, 0, 0, h.tag, h.cmd, 0};
  if (h.cmd == 1) {
    r.status = 7;
    r.data_len = static_cast<uint32_t>(body.size());
    write_all(c, &r, sizeof r);
    write_all(c, body.data(), body.size());
  } else if (h.cmd == 3) {
    r.data_len = 100;
    write_all(c, &r, sizeof r);
    write_all(c, "short", 5);
  }
  close(c);
  return 0;
}

int send(const char* addr, int port, uint32_t cmd, const std::string& body) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, addr, &sa.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    perror("qor_peer: connect");
    return 1;
  }
  Head h = {2, 0, 0, 0, 3, cmd, static_cast<uint32_t>(body.size())};
  write_all(fd, &h, sizeof h);
  write_all(fd, body.data(), body.size());
  Head r = {};
  if (read_n(fd, &r, sizeof r) < sizeof r) {
    printf("closed unanswered\n");
    return 0;
  }
  std::string reply(r.data_len, '\0');
  reply.resize(read_n(fd, reply.data(), reply.size()));
  printf("version=%u status=%u tag=%u cmd=%u body=%s\n", r.version, r.status, r.tag, r.cmd,
         reply.c_str());
  return 0;
}

[[noreturn]] void work(int port) {
  listener(port);
  for (;;) pause();
}

int daemon(int port) {
  if (fork() != 0) return 0;   // the launcher
  setsid();
  int pf = open("/var/run/qorcd.pid", O_WRONLY | O_CREAT | O_TRUNC, 0644);
  dprintf(pf, "%d\n", getpid());
  close(pf);
  int null = open("/dev/null", O_RDWR);
  dup2(null, 0);
  dup2(null, 1);
  dup2(null, 2);
  for (;;) {   // like qorcd's supervisor: a child killed by a signal comes back
    pid_t child = fork();
    if (child == 0) work(port);
    int status;
    waitpid(child, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return 0;
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "serve" && argc == 3) return serve(atoi(argv[2]));
  if (mode == "send" && argc == 6) return send(argv[2], atoi(argv[3]), static_cast<uint32_t>(atoi(argv[4])), argv[5]);
  if (mode == "daemon" && argc == 3) return daemon(atoi(argv[2]));
  fprintf(stderr, "usage: qor_peer serve PORT | send ADDR PORT CMD BODY | daemon PORT\n");
  return 2;
}
