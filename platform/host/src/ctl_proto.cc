#include "ctl_proto.h"

#include <cerrno>
#include <cstring>
#include <endian.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace ctlproto {

int check_request(const RequestHeader& h) {
  if (h.magic != kRequestMagic || h.flags != 0) return -EBADMSG;
  if (h.op == 0 || h.op > kOpMax) return -EBADMSG;
  if (h.len > kMaxRequest) return -EMSGSIZE;
  return 0;
}

int check_reply(const ReplyHeader& h) {
  if (h.magic != kReplyMagic) return -EBADMSG;
  if (h.len > kMaxReply) return -EMSGSIZE;
  if (h.result > 0 || h.result < -4095) return -EBADMSG;
  return 0;
}

void Writer::u16(uint16_t v) { v = htole16(v); put(&v, 2); }
void Writer::u32(uint32_t v) { v = htole32(v); put(&v, 4); }
void Writer::u64(uint64_t v) { v = htole64(v); put(&v, 8); }
void Writer::str(std::string_view s) {
  u32(static_cast<uint32_t>(s.size()));
  put(s.data(), s.size());
}

bool Reader::take(void* out, size_t n) {
  if (!ok_ || n > n_ - pos_) return ok_ = false;
  memcpy(out, p_ + pos_, n);
  pos_ += n;
  return true;
}
bool Reader::u8(uint8_t* v) { return take(v, 1); }
bool Reader::u16(uint16_t* v) {
  if (!take(v, 2)) return false;
  *v = le16toh(*v);
  return true;
}
bool Reader::u32(uint32_t* v) {
  if (!take(v, 4)) return false;
  *v = le32toh(*v);
  return true;
}
bool Reader::u64(uint64_t* v) {
  if (!take(v, 8)) return false;
  *v = le64toh(*v);
  return true;
}
bool Reader::bytes(std::string* s, size_t n) {
  if (!ok_ || n > n_ - pos_) return ok_ = false;
  s->assign(reinterpret_cast<const char*>(p_ + pos_), n);
  pos_ += n;
  return true;
}
bool Reader::str(std::string* s, uint32_t max) {
  uint32_t n;
  if (!u32(&n)) return false;
  if (n > max) return ok_ = false;
  return bytes(s, n);
}

bool valid_disk_name(std::string_view name) {
  if (name.empty() || name.size() > 31) return false;
  if (!((name[0] >= 'a' && name[0] <= 'z') || (name[0] >= 'A' && name[0] <= 'Z'))) return false;
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

void encode(Writer& w, const ResolveReply& r) {
  w.str(r.name);
  w.u32(r.major);
  w.u32(r.minor);
  w.u64(r.size);
  w.u32(r.sector_size);
  w.u8(r.partition);
}

bool decode(Reader& r, ResolveReply* out) {
  return r.str(&out->name, 64) && r.u32(&out->major) && r.u32(&out->minor) &&
         r.u64(&out->size) && r.u32(&out->sector_size) && r.u8(&out->partition) && r.done() &&
         out->sector_size >= 512 && (out->sector_size & (out->sector_size - 1)) == 0;
}

void encode(Writer& w, const SgIoRequest& r) {
  w.str(r.name);
  w.bytes(r.cdb, sizeof r.cdb);
  w.u8(r.cdb_len);
  w.u8(static_cast<uint8_t>(r.dir));
  w.u32(r.dxfer_len);
  w.u8(r.mx_sb_len);
  w.u32(r.timeout_ms);
  w.str(r.data_out);
}

bool decode(Reader& r, SgIoRequest* out) {
  std::string cdb;
  uint8_t dir;
  if (!(r.str(&out->name, 64) && r.bytes(&cdb, sizeof out->cdb) && r.u8(&out->cdb_len) &&
        r.u8(&dir) && r.u32(&out->dxfer_len) && r.u8(&out->mx_sb_len) &&
        r.u32(&out->timeout_ms) && r.str(&out->data_out, kMaxSgData) && r.done()))
    return false;
  memcpy(out->cdb, cdb.data(), sizeof out->cdb);
  out->dir = static_cast<int8_t>(dir);
  if (!valid_disk_name(out->name)) return false;
  if (out->cdb_len < 6 || out->cdb_len > 16) return false;
  if (out->dir != kDxferNone && out->dir != kDxferToDev && out->dir != kDxferFromDev) return false;
  if (out->dxfer_len > kMaxSgData) return false;
  if (out->dir == kDxferNone && out->dxfer_len != 0) return false;
  // Data travels only toward the device in a request, and all of it.
  if (out->dir == kDxferToDev ? out->data_out.size() != out->dxfer_len : !out->data_out.empty())
    return false;
  if (out->mx_sb_len > 252) return false;
  return true;
}

void encode(Writer& w, const SgIoReply& r) {
  w.u8(r.status);
  w.u8(r.sb_len_wr);
  w.u8(r.host_status);
  w.u8(r.driver_status);
  w.u32(static_cast<uint32_t>(r.resid));
  w.str(r.sense);
  w.str(r.data_in);
}

bool decode(Reader& r, SgIoReply* out) {
  uint32_t resid;
  if (!(r.u8(&out->status) && r.u8(&out->sb_len_wr) && r.u8(&out->host_status) &&
        r.u8(&out->driver_status) && r.u32(&resid) && r.str(&out->sense, 252) &&
        r.str(&out->data_in, kMaxSgData) && r.done()))
    return false;
  out->resid = static_cast<int32_t>(resid);
  return out->sb_len_wr <= out->sense.size();
}

void encode(Writer& w, const BlockIoRequest& r) {
  w.str(r.name);
  w.u64(r.offset);
  w.u32(r.len);
  w.str(r.data);
}

bool decode(Reader& r, bool write, BlockIoRequest* out) {
  if (!(r.str(&out->name, 64) && r.u64(&out->offset) && r.u32(&out->len) &&
        r.str(&out->data, kMaxBlockIo) && r.done()))
    return false;
  if (!valid_disk_name(out->name) || out->len > kMaxBlockIo) return false;
  // A write carries exactly its bytes; a read carries none.
  return out->data.size() == (write ? out->len : 0);
}

int read_full(int fd, void* buf, size_t n) {
  char* p = static_cast<char*>(buf);
  while (n > 0) {
    ssize_t r = ::read(fd, p, n);
    if (r < 0) {
      if (errno == EINTR) continue;
      return -errno;
    }
    if (r == 0) return -EPIPE;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return 0;
}

int write_full(int fd, const void* buf, size_t n) {
  const char* p = static_cast<const char*>(buf);
  while (n > 0) {
    ssize_t r = ::send(fd, p, n, MSG_NOSIGNAL);
    if (r < 0) {
      if (errno == EINTR) continue;
      if (errno == ENOTSOCK) r = ::write(fd, p, n);
      if (r < 0) return -errno;
    }
    p += r;
    n -= static_cast<size_t>(r);
  }
  return 0;
}

int call(const char* socket_path, uint16_t op, const std::string& payload, int* result,
         std::string* reply) {
  if (payload.size() > kMaxRequest) return -EMSGSIZE;
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  if (strlen(socket_path) >= sizeof sa.sun_path) return -ENAMETOOLONG;
  strcpy(sa.sun_path, socket_path);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -errno;
  int rc;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0) {
    rc = -errno;
    ::close(fd);
    return rc;
  }
  RequestHeader rq{kRequestMagic, op, 0, static_cast<uint32_t>(payload.size())};
  ReplyHeader rp{};
  rc = write_full(fd, &rq, sizeof rq);
  if (rc == 0) rc = write_full(fd, payload.data(), payload.size());
  if (rc == 0) rc = read_full(fd, &rp, sizeof rp);
  if (rc == 0) rc = check_reply(rp);
  if (rc == 0) {
    std::string body(rp.len, '\0');
    rc = read_full(fd, body.data(), body.size());
    if (rc == 0) {
      *result = rp.result;
      if (reply) *reply = std::move(body);
    }
  }
  ::close(fd);
  return rc;
}

}  // namespace ctlproto
