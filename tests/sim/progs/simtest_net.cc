// Run inside a simulated host by the network tests.
//   simtest_net addrs              one line per interface address getifaddrs
//                                  lists: "IF inet ADDR/PFX" or "IF link"
//   simtest_net serve ADDR PORT    answers one TCP connection: reads a line,
//                                  writes "pong LINE" back
//   simtest_net send ADDR PORT T   sends T and prints the answer (exit 1 when
//                                  the connection fails)
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int prefix_len(const sockaddr* mask) {
  if (!mask) return -1;
  return __builtin_popcount(reinterpret_cast<const sockaddr_in*>(mask)->sin_addr.s_addr);
}

int addrs() {
  ifaddrs* list;
  if (getifaddrs(&list) != 0) {
    perror("getifaddrs");
    return 1;
  }
  for (ifaddrs* a = list; a; a = a->ifa_next) {
    if (!a->ifa_addr) continue;
    if (a->ifa_addr->sa_family == AF_INET) {
      char text[INET_ADDRSTRLEN];
      inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr, text, sizeof text);
      printf("%s inet %s/%d\n", a->ifa_name, text, prefix_len(a->ifa_netmask));
    } else if (a->ifa_addr->sa_family == AF_PACKET) {
      printf("%s link\n", a->ifa_name);
    }
  }
  freeifaddrs(list);
  return 0;
}

bool address(const char* addr, const char* port, sockaddr_in* sa) {
  memset(sa, 0, sizeof *sa);
  sa->sin_family = AF_INET;
  sa->sin_port = htons(static_cast<uint16_t>(atoi(port)));
  return inet_pton(AF_INET, addr, &sa->sin_addr) == 1;
}

int serve(const char* addr, const char* port) {
  sockaddr_in sa;
  int s = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (!address(addr, port, &sa) || bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
      listen(s, 1) != 0) {
    perror("listen");
    return 1;
  }
  int c = accept(s, nullptr, nullptr);
  char buf[256];
  ssize_t n = read(c, buf, sizeof buf - 1);
  if (n <= 0) return 1;
  buf[n] = 0;
  std::string reply = std::string("pong ") + buf;
  if (write(c, reply.data(), reply.size()) < 0) return 1;
  printf("served %s\n", buf);
  close(c);
  return 0;
}

int send_text(const char* addr, const char* port, const char* text) {
  sockaddr_in sa;
  int s = socket(AF_INET, SOCK_STREAM, 0);
  if (!address(addr, port, &sa) || connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    perror("connect");
    return 1;
  }
  if (write(s, text, strlen(text)) < 0) return 1;
  char buf[256];
  ssize_t n = read(s, buf, sizeof buf - 1);
  if (n <= 0) return 1;
  buf[n] = 0;
  printf("%s\n", buf);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string cmd = argc > 1 ? argv[1] : "";
  if (cmd == "addrs" && argc == 2) return addrs();
  if (cmd == "serve" && argc == 4) return serve(argv[2], argv[3]);
  if (cmd == "send" && argc == 5) return send_text(argv[2], argv[3], argv[4]);
  fprintf(stderr, "usage: simtest_net addrs | serve ADDR PORT | send ADDR PORT TEXT\n");
  return 2;
}
