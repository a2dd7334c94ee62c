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
//   hmnl race ROUNDS PREFIX RACE UUID PATH SIG MUUID MPATH
//       ROUNDS times: the PREFIX requests one after the other, each waited
//       for, then the RACE requests all sent at once from sockets of their
//       own before any reply is read.  Both are comma-separated commands
//       on the one protection: 1 (Add, both disks), 2, 3, 6, 8, 9, 17, 18,
//       19, 20 (one record), 21 (Fail), 22 (Up with the mirror), 24p and
//       24m (faulty disk); PREFIX may be "-".  Prints rounds, requests sent
//       and replies read.
//
// Exit status: 0 with a reply, 3 without one, 2 on bad arguments; "wait"
// gives 4 when the time ran out, "race" 3 when a reply was missing.
#include <linux/netlink.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "eventually.h"
#include "host/host.h"
#include "nl_client.h"

namespace {

class HostTransport : public nlc::Transport {
 public:
  // Port 0: the host picks one, so one process may hold several sockets.
  explicit HostTransport(int timeout_ms, uint32_t port = static_cast<uint32_t>(getpid())) {
    fd_ = hl_socket(AF_NETLINK, SOCK_RAW, HM_NL_PROTOCOL);
    if (fd_ < 0) return;
    sockaddr_nl a{};
    a.nl_family = AF_NETLINK;
    a.nl_pid = port;
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

std::vector<std::string> Split(const std::string& list) {
  std::vector<std::string> out;
  if (list == "-") return out;
  std::stringstream in(list);
  std::string item;
  while (std::getline(in, item, ',')) out.push_back(item);
  return out;
}

// One request of a race on the protection of `p` with mirror `m`; empty for
// a command this tool does not know.
nlc::Bytes RaceMessage(const std::string& what, const nlc::Volume& p, const nlc::Volume& m) {
  nlc::Volume key = Vol(p.uuid.c_str());
  int cmd = atoi(what.c_str());
  switch (cmd) {
    case HM_NL_CMD_ADD_PROTECT:
      return nlc::Message(HM_NL_CMD_ADD_PROTECT, nlc::AddBody(p, &m));
    case HM_NL_CMD_FAIL_MIRROR:
      return nlc::Message(HM_NL_CMD_FAIL_MIRROR, nlc::Type7Body(key, nullptr));
    case HM_NL_CMD_UP_MIRROR:
      return nlc::Message(HM_NL_CMD_UP_MIRROR, nlc::Type7Body(key, &m));
    case HM_NL_CMD_UPDATE_HMDEV:
      if (what.size() != 3 || (what[2] != 'p' && what[2] != 'm')) return {};
      return nlc::Message(HM_NL_CMD_UPDATE_HMDEV, nlc::FaultyBody(key, what[2]));
    case 2: case 3: case 6: case 8: case 9: case 17: case 18: case 19: case 20:
      return nlc::Message(static_cast<uint8_t>(cmd), nlc::Type2Body(key));
    default:
      return {};
  }
}

int Race(int rounds, const std::string& prefix, const std::string& race, const nlc::Volume& p,
         const nlc::Volume& m) {
  std::vector<nlc::Bytes> before, together;
  for (const std::string& w : Split(prefix)) before.push_back(RaceMessage(w, p, m));
  for (const std::string& w : Split(race)) together.push_back(RaceMessage(w, p, m));
  for (const nlc::Bytes& b : before)
    if (b.empty()) return Usage();
  for (const nlc::Bytes& b : together)
    if (b.empty()) return Usage();
  if (together.empty()) return Usage();

  std::vector<std::unique_ptr<HostTransport>> socks;
  for (size_t i = 0; i < together.size(); i++)
    socks.push_back(std::make_unique<HostTransport>(30000, 0));
  HostTransport serial(30000, 0);
  long sent = 0, replies = 0;
  uint8_t buf[4096];
  for (int r = 0; r < rounds; r++) {
    for (const nlc::Bytes& b : before) {
      sent++;
      if (nlc::Exchange(serial, b, 30000).got) replies++;
    }
    for (size_t i = 0; i < together.size(); i++)
      if (socks[i]->Send(together[i])) sent++;
    for (size_t i = 0; i < together.size(); i++)
      if (socks[i]->Recv(buf, sizeof(buf), 30000) > 0) replies++;
  }
  printf("rounds=%d sent=%ld replies=%ld\n", rounds, sent, replies);
  return replies == sent ? 0 : 3;
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
    nlc::Reply r;
    bool reached = testsupport::eventually(
        [&] {
          r = Send(HM_NL_CMD_GET_STATUS, nlc::Type2Body(Vol(argv[2])));
          return r.got && r.hdr.retcode == 0 && (((r.status.status >> bit) & 1) != 0) == want;
        },
        std::chrono::seconds(atoi(argv[5])), std::chrono::milliseconds(200));
    Print(r);
    return reached ? 0 : 4;
  }
  if (op == "race" && argc == 10) {
    nlc::Volume p = Vol(argv[5], argv[6], static_cast<uint32_t>(strtoul(argv[7], nullptr, 16)));
    nlc::Volume m = Vol(argv[8], argv[9]);
    return Race(atoi(argv[2]), argv[3], argv[4], p, m);
  }
  return Usage();
}
