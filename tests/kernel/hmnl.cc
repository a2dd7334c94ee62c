// hmnl: sends one netlink request to the zelmir module from inside a
// simulated host and prints the reply as key=value pairs.
//
//   hmnl add UUID PATH SIG [MUUID MPATH]
//   hmnl status UUID
//   hmnl cmd N UUID [PATH]          a command with one record (type 2)
//   hmnl all N                      15 or 16
//   hmnl speed UUID KBPS
//   hmnl fail UUID | up UUID MUUID MPATH
//   hmnl faulty UUID p|m
//   hmnl wait UUID BIT set|clear SECONDS   polls the status until the bit is so
//
// Exit status: 0 with a reply, 3 without one, 2 on bad arguments; "wait"
// gives 4 when the time ran out.
#include <linux/netlink.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "host/host.h"
#include "nl_client.h"

namespace {

class HostTransport : public nlc::Transport {
 public:
  explicit HostTransport(int timeout_ms) {
    fd_ = hl_socket(AF_NETLINK, SOCK_RAW, HM_NL_PROTOCOL);
    if (fd_ < 0) return;
    sockaddr_nl a{};
    a.nl_family = AF_NETLINK;
    a.nl_pid = static_cast<uint32_t>(getpid());
    if (hl_bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
      hl_close(fd_);
      fd_ = -1;
      return;
    }
    timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    hl_setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    hl_setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
  }
  ~HostTransport() override {
    if (fd_ >= 0) hl_close(fd_);
  }
  bool Send(const nlc::Bytes& msg) override {
    if (fd_ < 0) return false;
    sockaddr_nl to{};
    to.nl_family = AF_NETLINK;
    return hl_sendto(fd_, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr*>(&to),
                     sizeof(to)) == static_cast<ssize_t>(msg.size());
  }
  long Recv(uint8_t* buf, size_t len, int) override {
    if (fd_ < 0) return -1;
    ssize_t n = hl_recvfrom(fd_, buf, len, 0, nullptr, nullptr);
    return n < 0 ? 0 : n;
  }

 private:
  int fd_ = -1;
};

int Usage() {
  fprintf(stderr, "usage: hmnl add|status|cmd|all|speed|fail|up|faulty|wait ...\n");
  return 2;
}

nlc::Volume Vol(const char* uuid, const char* path = "", uint32_t sig = 0) {
  nlc::Volume v;
  v.uuid = uuid;
  v.path = path;
  v.signature = sig;
  return v;
}

nlc::Reply Send(uint8_t cmd, const nlc::Bytes& body) {
  HostTransport t(30000);
  uint32_t port = static_cast<uint32_t>(getpid());
  return nlc::Exchange(t, nlc::Message(cmd, body, HM_NL_MAGIC, port), 30000);
}

int Print(const nlc::Reply& r) {
  printf("%s\n", nlc::Describe(r).c_str());
  return r.got ? 0 : 3;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  std::string op = argv[1];
  if (op == "add" && (argc == 5 || argc == 7)) {
    nlc::Volume p = Vol(argv[2], argv[3], static_cast<uint32_t>(strtoul(argv[4], nullptr, 16)));
    nlc::Volume m;
    if (argc == 7) m = Vol(argv[5], argv[6]);
    return Print(Send(HM_NL_CMD_ADD_PROTECT, nlc::AddBody(p, argc == 7 ? &m : nullptr)));
  }
  if (op == "status" && argc == 3)
    return Print(Send(HM_NL_CMD_GET_STATUS, nlc::Type2Body(Vol(argv[2]))));
  if (op == "cmd" && (argc == 4 || argc == 5))
    return Print(Send(static_cast<uint8_t>(atoi(argv[2])),
                      nlc::Type2Body(Vol(argv[3], argc == 5 ? argv[4] : ""))));
  if (op == "all" && argc == 3) return Print(Send(static_cast<uint8_t>(atoi(argv[2])), {}));
  if (op == "speed" && argc == 4)
    return Print(Send(HM_NL_CMD_SET_SYNC_SPEED_MAX,
                      nlc::SpeedBody(Vol(argv[2]), static_cast<uint32_t>(strtoul(argv[3], nullptr, 0)))));
  if (op == "fail" && argc == 3)
    return Print(Send(HM_NL_CMD_FAIL_MIRROR, nlc::Type7Body(Vol(argv[2]), nullptr)));
  if (op == "up" && argc == 5) {
    nlc::Volume m = Vol(argv[3], argv[4]);
    return Print(Send(HM_NL_CMD_UP_MIRROR, nlc::Type7Body(Vol(argv[2]), &m)));
  }
  if (op == "faulty" && argc == 4)
    return Print(Send(HM_NL_CMD_UPDATE_HMDEV, nlc::FaultyBody(Vol(argv[2]), argv[3][0])));
  if (op == "wait" && argc == 6) {
    int bit = atoi(argv[3]);
    bool want = std::string(argv[4]) == "set";
    time_t end = time(nullptr) + atoi(argv[5]);
    nlc::Reply r;
    do {
      r = Send(HM_NL_CMD_GET_STATUS, nlc::Type2Body(Vol(argv[2])));
      if (r.got && r.hdr.retcode == 0 && (((r.status.status >> bit) & 1) != 0) == want) {
        Print(r);
        return 0;
      }
      usleep(200 * 1000);
    } while (time(nullptr) < end);
    Print(r);
    return 4;
  }
  return Usage();
}
