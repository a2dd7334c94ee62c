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
//   zelmird_client flood UNIX_N TCP_N HOLD_MS READY_FILE
//       opens UNIX_N local connections that each send 3 bytes of a header and
//       TCP_N silent ones to the mark channel, makes READY_FILE, holds them
//       for HOLD_MS and prints how many of each the daemon closed, and when
//   zelmird_client rawprotect SIGNATURE PRIMARY_PATH MIRROR_PATH MIRROR_GUID
//                                             (a protect request as sent; prints "retcode=N")
// Prints "rc=N" for the operations; exit status 0 unless the call failed.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

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

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// A connection that does not come within a few tries (the daemon's backlog
// is full) is not counted.
int flood_unix_connect() {
  for (int tries = 0; tries < 50; tries++) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    strcpy(a.sun_path, "/var/run/hm_unix");
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0) return fd;
    int err = errno;
    close(fd);
    if (err != EAGAIN) return -1;
    usleep(2000);  // the backlog is full: the daemon is to accept first
  }
  return -1;
}

int flood_tcp_connect() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(59191);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 && errno != EINPROGRESS) {
    close(fd);
    return -1;
  }
  return fd;
}

struct FloodConn {
  int fd;
  bool tcp;
  bool up;           // connected (a TCP connection once its handshake is done)
  double closed_at;  // < 0 while open
};

int flood(int unix_n, int tcp_n, int hold_ms, const char* ready) {
  auto t0 = std::chrono::steady_clock::now();
  std::vector<FloodConn> conns;
  for (int i = 0; i < unix_n; i++) {
    int fd = flood_unix_connect();
    if (fd < 0) continue;
    // Three bytes of a six-byte header, and then nothing.
    if (send(fd, "\x07\x00\x00", 3, MSG_NOSIGNAL) != 3) {
      close(fd);
      continue;
    }
    conns.push_back({fd, false, true, -1});
  }
  for (int i = 0; i < tcp_n; i++) {
    int fd = flood_tcp_connect();
    if (fd >= 0) conns.push_back({fd, true, false, -1});
  }
  printf("opened unix=%zu tcp=%d in %.1fs\n", conns.size() - tcp_n, tcp_n, seconds_since(t0));
  fflush(stdout);
  if (FILE* f = fopen(ready, "w")) fclose(f);
  // A connection counts once it is up; from then on its end is watched for.
  auto start = std::chrono::steady_clock::now();
  std::vector<pollfd> fds(conns.size());
  // After the hold, connections still open get their own deadline's worth
  // of time: one that came up at the end of the hold is not cut short.
  double settle_until = hold_ms / 1000.0 + 6;
  while (seconds_since(start) * 1000 < hold_ms || seconds_since(start) < settle_until) {
    size_t n = 0;
    std::vector<size_t> which;
    for (size_t i = 0; i < conns.size(); i++) {
      if (conns[i].closed_at >= 0 || conns[i].fd < 0) continue;
      if (!conns[i].up && seconds_since(start) * 1000 >= hold_ms) continue;
      fds[n] = {conns[i].fd, static_cast<short>(conns[i].up ? POLLIN : POLLOUT), 0};
      which.push_back(i);
      n++;
    }
    if (n == 0) break;
    if (poll(fds.data(), n, 100) <= 0) continue;
    for (size_t k = 0; k < n; k++) {
      if (!fds[k].revents) continue;
      FloodConn& c = conns[which[k]];
      if (!c.up) {
        int err = 0;
        socklen_t len = sizeof(err);
        getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err == 0 && (fds[k].revents & POLLOUT)) {
          c.up = true;
        } else {
          close(c.fd);  // never connected: not counted
          c.fd = -1;
        }
        continue;
      }
      char b;
      ssize_t got = recv(c.fd, &b, 1, MSG_DONTWAIT);
      if (got > 0 || (got < 0 && errno == EAGAIN)) continue;
      c.closed_at = seconds_since(start);
    }
  }
  int held[2] = {0, 0}, closed[2] = {0, 0}, pending = 0;
  double last[2] = {0, 0};
  for (const FloodConn& c : conns) {
    if (c.fd < 0) continue;
    close(c.fd);
    if (!c.up) {
      pending++;
      continue;
    }
    held[c.tcp]++;
    if (c.closed_at >= 0) {
      closed[c.tcp]++;
      if (c.closed_at > last[c.tcp]) last[c.tcp] = c.closed_at;
    }
  }
  printf("unix held=%d closed=%d last_close=%.1fs\n", held[0], closed[0], last[0]);
  printf("tcp held=%d closed=%d last_close=%.1fs never_connected=%d\n", held[1], closed[1], last[1], pending);
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
  if (cmd == "flood" && argc == 6) return flood(atoi(argv[2]), atoi(argv[3]), atoi(argv[4]), argv[5]);
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
