// Run inside a simulated host by the simkernel tests: an NBD client of
// simkernel's export.
//   simtest_nbd write NAME OFFSET LEN BYTE   prints "ok" or "errno N"
//   simtest_nbd read NAME OFFSET LEN BYTE    the same, checking every byte is BYTE
//   simtest_nbd hostile NAME                 hostile clients next to a good one
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <endian.h>
#include <libnbd.h>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr char kSocket[] = "/var/run/simkernel/nbd.sock";

nbd_handle* connect_to(const char* name) {
  nbd_handle* h = nbd_create();
  if (!h || nbd_set_export_name(h, name) < 0 || nbd_connect_unix(h, kSocket) < 0) {
    printf("connect: %s\n", nbd_get_error());
    exit(1);
  }
  return h;
}

int report(int rc) {
  if (rc == 0) {
    printf("ok\n");
    return 0;
  }
  printf("errno %d\n", nbd_get_errno());
  return 1;
}

int raw_connect() {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  strcpy(sa.sun_path, kSocket);
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0) return -1;
  timeval tv{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return fd;
}

bool get(int fd, void* p, size_t n) {
  char* c = static_cast<char*>(p);
  while (n) {
    ssize_t r = recv(fd, c, n, 0);
    if (r <= 0) return false;
    c += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

// Negotiates the export with NBD_OPT_EXPORT_NAME and sends `junk` as a request.
bool hostile(const char* name, const std::string& junk) {
  int fd = raw_connect();
  if (fd < 0) return false;
  char hello[18];
  if (!get(fd, hello, sizeof hello)) return false;
  uint32_t flags = htobe32(3);
  send(fd, &flags, 4, MSG_NOSIGNAL);
  struct __attribute__((packed)) {
    uint64_t magic;
    uint32_t opt, len;
  } o{htobe64(0x49484156454f5054ull), htobe32(1), htobe32(static_cast<uint32_t>(strlen(name)))};
  send(fd, &o, sizeof o, MSG_NOSIGNAL);
  send(fd, name, strlen(name), MSG_NOSIGNAL);
  char info[10];
  if (!get(fd, info, sizeof info)) return false;
  send(fd, junk.data(), junk.size(), MSG_NOSIGNAL);
  shutdown(fd, SHUT_WR);  // nothing more comes: a half request ends there
  char c[16];
  get(fd, c, sizeof c);  // an error reply or the end: either is fine, the server must live
  close(fd);
  return true;
}

std::string request(uint32_t magic, uint16_t type, uint64_t off, uint32_t len) {
  struct __attribute__((packed)) {
    uint32_t magic;
    uint16_t flags, type;
    uint64_t handle, off;
    uint32_t len;
  } r{htobe32(magic), 0, htobe16(type), 7, htobe64(off), htobe32(len)};
  return std::string(reinterpret_cast<char*>(&r), sizeof r);
}

int hostile_run(const char* name) {
  nbd_handle* good = connect_to(name);
  std::string pattern(65536, '\0');
  for (size_t i = 0; i < pattern.size(); i++) pattern[i] = static_cast<char>(i % 251);
  if (nbd_pwrite(good, pattern.data(), pattern.size(), 0, 0) < 0) return report(-1);
  const std::string junk[] = {
      request(0xdeadbeef, 0, 0, 512),                 // bad magic
      request(0x25609513, 1, 0, 0xfffffff0u),         // write far over 32 MiB
      request(0x25609513, 0, ~0ull - 4096, 8192),     // read whose end wraps
      request(0x25609513, 1, 1ull << 40, 512) + std::string(512, 'X'),  // write past the end
      request(0x25609513, 99, 0, 0),                  // unknown command
      std::string(3, '\x25'),                         // half a request
  };
  for (const auto& j : junk)
    if (!hostile(name, j)) {
      printf("hostile connection refused early\n");
      return 1;
    }
  std::string back(pattern.size(), '\0');
  if (nbd_pread(good, back.data(), back.size(), 0, 0) < 0) return report(-1);
  if (back != pattern) {
    printf("data changed\n");
    return 1;
  }
  nbd_handle* late = connect_to(name);  // and new clients still come in
  if (nbd_pread(late, back.data(), 4096, 0, 0) < 0) return report(-1);
  nbd_close(late);
  nbd_close(good);
  printf("ok\n");
  return 0;
}

}  // namespace

// Failure paths exit without tidying up; what they print is what counts.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  std::string op = argc > 1 ? argv[1] : "";
  if (op == "hostile" && argc == 3) return hostile_run(argv[2]);
  if ((op == "write" || op == "read") && argc == 6) {
    uint64_t off = strtoull(argv[3], nullptr, 0);
    size_t len = strtoul(argv[4], nullptr, 0);
    char byte = static_cast<char>(strtol(argv[5], nullptr, 0));
    nbd_handle* h = connect_to(argv[2]);
    std::string buf(len, byte);
    int rc;
    if (op == "write") {
      rc = report(nbd_pwrite(h, buf.data(), len, off, 0));
    } else {
      std::string in(len, '\0');
      rc = nbd_pread(h, in.data(), len, off, 0);
      if (rc == 0 && in != buf) {
        printf("content differs\n");
        rc = 1;
      } else {
        rc = report(rc);
      }
    }
    nbd_close(h);
    return rc;
  }
  fprintf(stderr, "usage: simtest_nbd write|read NAME OFFSET LEN BYTE | hostile NAME\n");
  return 2;
}
