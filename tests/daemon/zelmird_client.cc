// A small client run inside simulated hosts by the daemon's end-to-end tests:
// the host-mirror operations through libmirapi, and the CDP mark channel over
// TCP (inside the host, which has its own network).
//
//   zelmird_client protect PRIMARY_GUID MIRROR_GUID
//   zelmird_client unprotect|stopsync PRIMARY_GUID
//   zelmird_client sync|resync PRIMARY_GUID [SPEED]
//   zelmird_client stat [PRIMARY_GUID]
//   zelmird_client mark MIRROR_GUID
//   zelmird_client tcp XML_TEXT             (prints the reply)
//   zelmird_client tcpidle MS [READY_FILE]   (connects, makes READY_FILE, sends nothing)
//   zelmird_client wait-sync PRIMARY_GUID SECONDS
//   zelmird_client rawprotect SIGNATURE PRIMARY_PATH MIRROR_PATH MIRROR_GUID
//                                             (a protect request as sent; prints "retcode=N")
// Prints "rc=N" for the operations; exit status 0 unless the call failed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "eventually.h"
#include "hm_unix.h"
#include "mirapi/api.h"

namespace {

int print_rc(int rc) {
  printf("rc=%d\n", rc);
  return rc == 0 ? 0 : 1;
}

int stat_cmd(const char* primary) {
  hm_disk_stat_t* list = hm_disk_stat(primary);
  int n = 0;
  for (hm_disk_stat_t* s = list; s; s = s->next, n++) {
    const hm_api_status_t& st = s->status;
    printf("index=%u percent=%u sync=%s run=%s primary=%s,%s,%s mirror=%s,%s,%s\n", st.index,
           st.percent, st.sync_status, st.run_status, st.primary_status, st.primary_path,
           st.primary_guid, st.mirror_status, st.mirror_path, st.mirror_guid);
  }
  hm_disk_stat_release(list);
  printf("count=%d\n", n);
  return 0;
}

int wait_sync(const char* primary, int seconds) {
  bool done = testsupport::eventually(
      [primary] {
        hm_disk_stat_t* list = hm_disk_stat(primary);
        bool finished = list && strcmp(list->status.sync_status, "Sync Finished") == 0;
        hm_disk_stat_release(list);
        return finished;
      },
      std::chrono::seconds(seconds), std::chrono::milliseconds(250));
  return print_rc(done ? 0 : -1);
}

int tcp_connect() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(59191);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
    perror("connect");
    return -1;
  }
  return fd;
}

int tcp_cmd(const char* text) {
  int fd = tcp_connect();
  if (fd < 0) return 2;
  size_t len = strlen(text), off = 0;
  while (off < len) {
    ssize_t n = write(fd, text + off, len - off);
    if (n <= 0) break;
    off += n;
  }
  shutdown(fd, SHUT_WR);
  std::string reply;
  char buf[512];
  ssize_t n;
  while ((n = read(fd, buf, sizeof(buf))) > 0) reply.append(buf, n);
  close(fd);
  printf("%s\n", reply.c_str());
  return 0;
}

// A protect request with whatever paths and identities the caller names, as
// a client other than the library could send it.
int raw_protect(uint32_t sig, const std::string& p, const std::string& m, const std::string& g) {
  hm_un_protect_req_t rq{};
  rq.mode = 1;
  rq.primary.kind = HM_UN_DESC_SIGNATURE;
  rq.primary.id.signature = sig;
  rq.primary.path_off = HM_UN_PROTECT_TEXT_OFF;
  rq.primary.path_len = static_cast<uint16_t>(p.size());
  rq.mirror.kind = HM_UN_DESC_GUID;
  rq.mirror.path_off = static_cast<uint16_t>(HM_UN_PROTECT_TEXT_OFF + p.size());
  rq.mirror.path_len = static_cast<uint16_t>(m.size());
  rq.mirror.id.g.guid_off = static_cast<uint16_t>(HM_UN_PROTECT_TEXT_OFF + p.size() + m.size());
  rq.mirror.id.g.guid_len = static_cast<uint16_t>(g.size());
  std::string body = std::string(reinterpret_cast<char*>(&rq), sizeof(rq)) + p + m + g +
                     std::string(HM_UN_PROTECT_TAIL, '\0');
  hm_header_t h{};
  h.cmd = SET_DISK_PROTECT;
  h.body_len = static_cast<uint16_t>(body.size());
  std::string req = std::string(reinterpret_cast<char*>(&h), sizeof(h)) + body;
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  snprintf(a.sun_path, sizeof(a.sun_path), "%s", HM_UNIX_PATH);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
      write(fd, req.data(), req.size()) != static_cast<ssize_t>(req.size())) {
    perror("rawprotect");
    return 2;
  }
  hm_header_t r{};
  size_t got = 0;
  while (got < sizeof(r)) {
    ssize_t n = read(fd, reinterpret_cast<char*>(&r) + got, sizeof(r) - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(fd);
  if (got < sizeof(r)) return 2;
  printf("retcode=%u\n", static_cast<unsigned>(r.retcode));
  return r.retcode == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  std::string cmd = argv[1];
  const char* a = argc > 2 ? argv[2] : nullptr;
  const char* b = argc > 3 ? argv[3] : nullptr;
  if (cmd == "protect" && a && b) return print_rc(hm_disk_protect(a, b));
  if (cmd == "unprotect" && a) return print_rc(hm_disk_unprotect(a));
  if (cmd == "stopsync" && a) return print_rc(hm_disk_stop_sync(a));
  if (cmd == "sync" && a) return print_rc(hm_disk_sync(a, b ? atoi(b) : 0));
  if (cmd == "resync" && a) return print_rc(hm_disk_resync(a, b ? atoi(b) : 0));
  if (cmd == "mark" && a) return print_rc(hm_disk_mark_cdp(a));
  if (cmd == "stat") return stat_cmd(a);
  if (cmd == "wait-sync" && a && b) return wait_sync(a, atoi(b));
  if (cmd == "tcp" && a) return tcp_cmd(a);
  if (cmd == "rawprotect" && argc == 6)
    return raw_protect(static_cast<uint32_t>(strtoul(argv[2], nullptr, 16)), argv[3], argv[4], argv[5]);
  if (cmd == "tcpidle" && a) {
    int fd = tcp_connect();
    if (fd >= 0 && b) {
      FILE* f = fopen(b, "w");
      if (f) fclose(f);
    }
    usleep(atoi(a) * 1000);  // a peer that connects and stays silent: the case itself
    if (fd >= 0) close(fd);
    return 0;
  }
  return 2;
}
