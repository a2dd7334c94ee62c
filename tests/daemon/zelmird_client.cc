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
// Prints "rc=N" for the operations; exit status 0 unless the call failed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "eventually.h"
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
