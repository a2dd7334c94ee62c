#include "ctl_server.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include <sim/kernel.h>

#include "ctl_proto.h"

namespace sim {
namespace {

using ctlproto::Reader;
using ctlproto::Writer;

int bad(std::string* reply) {
  *reply = "malformed request";
  return -EINVAL;
}

int resolve(const std::string& path, std::string* reply) {
  if (path.compare(0, 5, "/dev/") != 0 || !ctlproto::valid_disk_name(path.substr(5))) {
    *reply = "not a disk";
    return -ENOENT;
  }
  std::string name = path.substr(5);
  for (const auto& d : simk::disks()) {
    ctlproto::ResolveReply r;
    r.major = d.major;
    if (d.name == name) {
      r.name = d.name;
      r.minor = d.minor;
      r.size = d.size;
    } else {
      for (const auto& p : d.parts) {
        if (p.name == name) {
          r.name = p.name;
          r.minor = p.minor;
          r.size = p.nr_sects * 512;
          r.partition = 1;
        }
      }
      if (r.name.empty()) continue;
    }
    Writer w;
    ctlproto::encode(w, r);
    *reply = w.take();
    return 0;
  }
  *reply = "not a disk";
  return -ENOENT;
}

int sg_io(const ctlproto::SgIoRequest& rq, std::string* reply) {
  std::string data(rq.dxfer_len, '\0');
  if (rq.dir == ctlproto::kDxferToDev) data = rq.data_out;
  uint8_t sense[252] = {};
  simk::SgIo io{rq.cdb, rq.cdb_len, rq.dir, data.data(), rq.dxfer_len, sense, rq.mx_sb_len};
  int rc = simk::sg_io(rq.name, io);
  if (rc < 0) {
    *reply = "SG_IO failed: " + std::string(strerror(-rc));
    return rc;
  }
  ctlproto::SgIoReply rp;
  rp.status = io.status;
  rp.sb_len_wr = std::min<uint8_t>(io.sb_len_wr, rq.mx_sb_len);
  rp.host_status = io.host_status;
  rp.driver_status = io.driver_status;
  rp.resid = io.resid;
  rp.sense.assign(reinterpret_cast<char*>(sense), rp.sb_len_wr);
  if (rq.dir == ctlproto::kDxferFromDev) rp.data_in = std::move(data);
  Writer w;
  ctlproto::encode(w, rp);
  *reply = w.take();
  return 0;
}

// Past the end as the NBD server answers it: a read is invalid, a write
// finds no space. The check cannot overflow.
int block_io(KernelBackend& be, bool write, ctlproto::BlockIoRequest& rq, std::string* reply) {
  uint64_t size;
  if (!be.lookup(rq.name, &size)) {
    *reply = "no such disk";
    return -ENOENT;
  }
  if (rq.offset > size || rq.len > size - rq.offset) {
    *reply = "past the end of the disk";
    return write ? -ENOSPC : -EINVAL;
  }
  if (rq.len == 0) return 0;
  int rc;
  if (write) {
    rc = be.io(rq.name, true, rq.offset, rq.data.data(), rq.len);
  } else {
    reply->assign(rq.len, '\0');
    rc = be.io(rq.name, false, rq.offset, reply->data(), rq.len);
  }
  if (rc < 0) *reply = "I/O failed: " + std::string(strerror(-rc));
  return rc;
}

std::string read_messages() {
  std::ifstream in("/var/log/messages");
  std::ostringstream s;
  s << in.rdbuf();
  std::string t = s.str();
  // The reply must fit its frame: keep the newest part.
  if (t.size() > ctlproto::kMaxReply - 64) t.erase(0, t.size() - (ctlproto::kMaxReply - 64));
  return t;
}

}  // namespace

int CtlServer::handle(uint16_t op, const std::string& payload, std::string* reply) {
  Reader r(payload);
  std::string a, b;
  reply->clear();
  switch (op) {
    case ctlproto::kResolve:
      if (!r.str(&a) || !r.done()) return bad(reply);
      return resolve(a, reply);
    case ctlproto::kSgIo: {
      ctlproto::SgIoRequest rq;
      if (!ctlproto::decode(r, &rq)) return bad(reply);
      return sg_io(rq, reply);
    }
    case ctlproto::kRead:
    case ctlproto::kWrite: {
      ctlproto::BlockIoRequest rq;
      bool write = op == ctlproto::kWrite;
      if (!ctlproto::decode(r, write, &rq)) return bad(reply);
      return block_io(backend_, write, rq, reply);
    }
    case ctlproto::kFlush: {
      if (!r.str(&a, 64) || !r.done() || !ctlproto::valid_disk_name(a)) return bad(reply);
      uint64_t size;
      if (!backend_.lookup(a, &size)) {
        *reply = "no such disk";
        return -ENOENT;
      }
      int rc = backend_.flush(a);
      if (rc < 0) *reply = "flush failed: " + std::string(strerror(-rc));
      return rc;
    }
    case ctlproto::kDisks:
      if (!r.done()) return bad(reply);
      *reply = host_->disks_text();
      return 0;
    case ctlproto::kDiskAdd: {
      uint64_t size;
      if (!r.str(&a, 64) || !r.u64(&size) || !r.str(&b, 64) || !r.done()) return bad(reply);
      return host_->disk_add(a, size, b, reply);
    }
    case ctlproto::kDiskRemove:
      if (!r.str(&a, 64) || !r.done()) return bad(reply);
      return host_->disk_remove(a, reply);
    case ctlproto::kDiskRename:
      if (!r.str(&a, 64) || !r.str(&b, 64) || !r.done()) return bad(reply);
      return host_->disk_rename(a, b, reply);
    case ctlproto::kDiskFail: {
      uint8_t mode;
      if (!r.str(&a, 64) || !r.u8(&mode) || !r.done()) return bad(reply);
      return host_->disk_fail(a, mode, reply);
    }
    case ctlproto::kDiskHeal:
      if (!r.str(&a, 64) || !r.done()) return bad(reply);
      return host_->disk_heal(a, reply);
    case ctlproto::kDiskOffline:
      if (!r.str(&a, 64) || !r.done()) return bad(reply);
      return host_->disk_offline(a, reply);
    case ctlproto::kDiskHold: {
      uint8_t on;
      if (!r.str(&a, 64) || !r.u8(&on) || !r.done()) return bad(reply);
      return host_->disk_hold(a, on != 0, reply);
    }
    case ctlproto::kDiskKnob:
      if (!r.str(&a, 64) || !r.str(&b, 64) || !r.done()) return bad(reply);
      return host_->disk_knob(a, b, reply);
    case ctlproto::kInsmod:
      if (!r.str(&a) || !r.done()) return bad(reply);
      return host_->insmod(a, reply);
    case ctlproto::kRmmod:
      if (!r.done()) return bad(reply);
      return host_->rmmod(reply);
    case ctlproto::kReboot:
      if (!r.done()) return bad(reply);
      simk::reboot_notify();
      return 0;
    case ctlproto::kDmesg:
      if (!r.done()) return bad(reply);
      *reply = simk::dmesg();
      if (reply->size() > ctlproto::kMaxReply - 64)
        reply->erase(0, reply->size() - (ctlproto::kMaxReply - 64));
      return 0;
    case ctlproto::kLog:
      if (!r.done()) return bad(reply);
      *reply = read_messages();
      return 0;
    case ctlproto::kIscsiSessionAdd:
    case ctlproto::kIscsiSessionRemove:
    {
      std::string portal;
      if (!r.str(&a, 256) || !r.str(&b, 64)) return bad(reply);
      if (!r.done() && (!r.str(&portal, 64) || !r.done())) return bad(reply);
      return op == ctlproto::kIscsiSessionAdd ? host_->iscsi_session_add(a, b, portal, reply)
                                              : host_->iscsi_session_remove(a, b, portal, reply);
    }
    case ctlproto::kFcAdd:
      if (!r.str(&a, 64) || !r.str(&b, 64) || !r.done()) return bad(reply);
      return host_->fc_add(a, b, reply);
    case ctlproto::kFcRemove:
      if (!r.str(&a, 64) || !r.done()) return bad(reply);
      return host_->fc_remove(a, reply);
    case ctlproto::kUevent: {
      std::string devtype;
      uint8_t flags;
      if (!r.str(&a, 64) || !r.str(&b, 64) || !r.str(&devtype, 64) || !r.u8(&flags) || !r.done())
        return bad(reply);
      return host_->announce(a, b, devtype, (flags & ctlproto::kUeventNoNode) != 0, reply);
    }
    case ctlproto::kClockAdvance:
    case ctlproto::kClockSetWall: {
      uint64_t ns;
      if (!r.u64(&ns) || !r.done()) return bad(reply);
      if (!clock_) {
        *reply = "this host keeps no clock";
        return -ENODEV;
      }
      int64_t v = static_cast<int64_t>(ns);
      int rc = op == ctlproto::kClockAdvance ? clock_->advance(v) : clock_->set_wall(v);
      if (rc < 0) *reply = op == ctlproto::kClockAdvance ? "the clock cannot move that far"
                                                         : "the wall clock cannot read that";
      return rc;
    }
    default:
      *reply = "unknown request";
      return -EBADMSG;
  }
}

int CtlServer::start(const std::string& path) {
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  if (path.size() >= sizeof sa.sun_path) return -ENAMETOOLONG;
  memcpy(sa.sun_path, path.data(), path.size());
  fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return -errno;
  ::unlink(path.c_str());
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0 || ::listen(fd_, 64) < 0) {
    int e = errno;
    ::close(fd_);
    fd_ = -1;
    return -e;
  }
  std::thread([this] {
    for (;;) {
      int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        if (errno == EMFILE || errno == ENFILE) {
          usleep(10000);
          continue;
        }
        return;
      }
      if (clients_.load() >= kMaxClients) {  // one thread each: keep them bounded
        ::close(c);
        continue;
      }
      clients_++;
      std::thread([this, c] {
        serve(c);
        clients_--;
      }).detach();
    }
  }).detach();
  return 0;
}

void CtlServer::serve(int fd) {
  // A client that stalls mid-frame must not hold its thread for ever.
  timeval tv{30, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  std::string payload, reply;
  for (;;) {
    ctlproto::RequestHeader h;
    if (ctlproto::read_full(fd, &h, sizeof h) < 0) break;
    int rc = ctlproto::check_request(h);
    if (rc < 0) {
      // The stream is out of step: say why, then hang up.
      reply = rc == -EMSGSIZE ? "request too large" : "malformed request header";
      ctlproto::ReplyHeader rh{ctlproto::kReplyMagic, rc, static_cast<uint32_t>(reply.size())};
      ctlproto::write_full(fd, &rh, sizeof rh);
      ctlproto::write_full(fd, reply.data(), reply.size());
      break;
    }
    payload.resize(h.len);
    if (h.len && ctlproto::read_full(fd, payload.data(), h.len) < 0) break;
    rc = handle(h.op, payload, &reply);
    ctlproto::ReplyHeader rh{ctlproto::kReplyMagic, rc, static_cast<uint32_t>(reply.size())};
    if (ctlproto::write_full(fd, &rh, sizeof rh) < 0 ||
        ctlproto::write_full(fd, reply.data(), reply.size()) < 0)
      break;
  }
  ::close(fd);
}

}  // namespace sim
