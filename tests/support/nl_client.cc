#include "nl_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace nlc {

Bytes Message(uint8_t cmd, const Bytes& body, uint32_t magic, uint32_t port, uint32_t nl_len) {
  Bytes msg(HM_NL_MSG_SIZE, 0);
  uint16_t type = 0, flags = 0;
  uint32_t seq = 0;
  memcpy(&msg[0], &nl_len, 4);
  memcpy(&msg[4], &type, 2);
  memcpy(&msg[6], &flags, 2);
  memcpy(&msg[8], &seq, 4);
  memcpy(&msg[12], &port, 4);
  hm_nl_header_t h{};
  h.cmd = cmd;
  h.msg_len = static_cast<uint16_t>(body.size());
  h.magic = magic;
  memcpy(&msg[HM_NL_HDR_OFF], &h, sizeof(h));
  size_t n = body.size() < HM_NL_BODY_MAX ? body.size() : HM_NL_BODY_MAX;
  if (n) memcpy(&msg[HM_NL_BODY_OFF], body.data(), n);
  return msg;
}

Bytes Record(const Volume& v, uint16_t path_off) {
  hm_nl_volume_t rec{};
  rec.vid.mbp_volumeid.signature = v.signature;
  strncpy(rec.uuid, v.uuid.c_str(), sizeof(rec.uuid) - 1);
  rec.sector_max = v.sectors;
  rec.dev_name_off = path_off;
  rec.dev_name_len = static_cast<uint16_t>(v.path.size());
  Bytes b(sizeof(rec));
  memcpy(b.data(), &rec, sizeof(rec));
  return b;
}

static void Append(Bytes& to, const Bytes& from) { to.insert(to.end(), from.begin(), from.end()); }
static void Append(Bytes& to, const std::string& s) { to.insert(to.end(), s.begin(), s.end()); }

Bytes Type2Body(const Volume& v) {
  Bytes b = Record(v, sizeof(hm_nl_volume_t));
  Append(b, v.path);
  return b;
}

Bytes AddBody(const Volume& primary, const Volume* mirror, uint8_t mode) {
  hm_nl_header1_t h1{};
  h1.mode = mode;
  h1.nr_vol = mirror ? 2 : 1;
  Bytes b(sizeof(h1));
  memcpy(b.data(), &h1, sizeof(h1));
  uint16_t poff = sizeof(h1) + sizeof(hm_nl_volume_t);
  Append(b, Record(primary, poff));
  Append(b, primary.path);
  if (mirror) {
    uint16_t moff = static_cast<uint16_t>(b.size() + sizeof(hm_nl_volume_t));
    Append(b, Record(*mirror, moff));
    Append(b, mirror->path);
  }
  return b;
}

Bytes Type7Body(const Volume& first, const Volume* second) {
  Bytes b = Type2Body(first);
  if (second) {
    uint16_t off = static_cast<uint16_t>(b.size() + sizeof(hm_nl_volume_t));
    Append(b, Record(*second, off));
    Append(b, second->path);
  }
  return b;
}

Bytes SpeedBody(const Volume& v, uint32_t kbps) {
  Bytes b = Type2Body(v);
  uint8_t s[4];
  memcpy(s, &kbps, 4);
  b.insert(b.end(), s, s + 4);
  return b;
}

Bytes FaultyBody(const Volume& v, char which) {
  hm_nl_header1_t h1{};
  h1.mode = 1;
  h1.nr_vol = 1;
  Bytes b(sizeof(h1));
  memcpy(b.data(), &h1, sizeof(h1));
  Append(b, Record(v, sizeof(h1) + sizeof(hm_nl_volume_t)));
  Append(b, v.path);
  b.push_back(static_cast<uint8_t>(which));
  return b;
}

Reply ParseReply(const uint8_t* buf, size_t len) {
  Reply r;
  if (len < HM_NL_BODY_OFF) return r;
  r.got = true;
  r.raw.assign(buf, buf + len);
  memcpy(&r.nl_len, buf, 4);
  memcpy(&r.hdr, buf + HM_NL_HDR_OFF, sizeof(r.hdr));
  if (r.hdr.msg_len == sizeof(r.status) && len >= HM_NL_BODY_OFF + sizeof(r.status))
    memcpy(&r.status, buf + HM_NL_BODY_OFF, sizeof(r.status));
  return r;
}

namespace {

class Unix : public Transport {
 public:
  Unix(const std::string& rundir, uint32_t port) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof(a.sun_path), "%s/nl/%u", rundir.c_str(), port);
    self_ = a.sun_path;
    unlink(a.sun_path);
    if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
      close(fd_);
      fd_ = -1;
    }
    snprintf(kernel_, sizeof(kernel_), "%s/nl/0", rundir.c_str());
  }
  ~Unix() override {
    if (fd_ >= 0) close(fd_);
    unlink(self_.c_str());
  }
  bool Send(const Bytes& msg) override {
    if (fd_ < 0) return false;
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof(a.sun_path), "%s", kernel_);
    return sendto(fd_, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof(a)) ==
           static_cast<ssize_t>(msg.size());
  }
  long Recv(uint8_t* buf, size_t len, int timeout_ms) override {
    if (fd_ < 0) return -1;
    pollfd p{fd_, POLLIN, 0};
    int n = poll(&p, 1, timeout_ms);
    if (n <= 0) return n == 0 ? 0 : -1;
    return recv(fd_, buf, len, 0);
  }

 private:
  int fd_ = -1;
  std::string self_;
  char kernel_[108];
};

}  // namespace

std::unique_ptr<Transport> UnixTransport(const std::string& rundir, uint32_t port) {
  return std::make_unique<Unix>(rundir, port);
}

Reply Exchange(Transport& t, const Bytes& msg, int timeout_ms) {
  if (!t.Send(msg)) return Reply{};
  uint8_t buf[4096];
  long n = t.Recv(buf, sizeof(buf), timeout_ms);
  if (n <= 0) return Reply{};
  return ParseReply(buf, static_cast<size_t>(n));
}

std::string Describe(const Reply& r) {
  if (!r.got) return "reply=none";
  char line[1024];
  const hm_nl_status_t& s = r.status;
  snprintf(line, sizeof(line),
           "reply=%zu nl_len=%u cmd=%u pad=%u msg_len=%u retcode=%u magic=0x%x mode=%u nr_vol=%u "
           "sync_on=%u bitmap=%u status=0x%llx primary=0x%llx mirror=0x%llx synced=%llu "
           "sync_pending=%u hmbio_pending=%u alloced=%u mempages=%u chunk_needed=%u "
           "p_pending=%d m_pending=%d p_sig=0x%x",
           r.raw.size(), r.nl_len, r.hdr.cmd, r.hdr.pad, r.hdr.msg_len, r.hdr.retcode,
           r.hdr.magic, s.mode, s.nr_vol, s.sync_on, s.bitmap_status,
           (unsigned long long)s.status, (unsigned long long)s.primary.status,
           (unsigned long long)s.mirror.status, (unsigned long long)s.sector_synced,
           s.sync_pending, s.hmbio_pending, s.alloced_mempage, s.mempages, s.chunk_needed,
           s.primary.nr_pending, s.mirror.nr_pending, s.primary.vid.mbp_volumeid.signature);
  return line;
}

}  // namespace nlc
