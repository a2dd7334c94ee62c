// The host layer. Outside a simulated host every call is the system call.
// Inside one, two kinds of descriptor are ours:
//  - a block device that simkernel owns: a real descriptor on /dev/null (so
//    close, dup and poll behave) whose data goes to simkernel either over an
//    NBD connection to the export behind it, opened lazily on the first I/O,
//    or, built with HL_NO_NBD (for programs linked statically, where libnbd
//    and its TLS libraries cannot follow), as READ/WRITE/FLUSH requests on
//    the control socket;
//  - a netlink-21 socket: a unix datagram socket bound under
//    /var/run/simkernel/nl, the directory where simkernel's netlink lives.
// Both live in tables keyed by descriptor; a descriptor not in a table is
// passed to the system untouched.
#include "host/host.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/netlink.h>
#include <memory>
#include <mutex>
#include <scsi/sg.h>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>
#include <unordered_map>

#ifndef HL_NO_NBD
#include <libnbd.h>
#endif

#include "ctl_proto.h"

namespace {

constexpr char kNlDir[] = "/var/run/simkernel/nl";
constexpr int kNetlinkProto = 21;

struct BlockDev {
  std::string name;
  uint32_t major = 0, minor = 0;
  uint64_t size = 0;
  uint32_t sector_size = 512;
  int flags = 0;

  std::mutex pos_mu;  // the file position, held across read()/write() as f_pos is
  uint64_t pos = 0;

  std::mutex nbd_mu;
  struct nbd_handle* nbd = nullptr;  // only with the NBD data path
  pid_t nbd_owner = 0;  // a forked child must not talk on its parent's stream

  ~BlockDev();
};

struct NlSock {
  std::mutex mu;
  bool bound = false;
  uint32_t port = 0;
};

std::mutex g_mu;  // guards both tables
std::unordered_map<int, std::shared_ptr<BlockDev>> g_devs;
std::unordered_map<int, std::shared_ptr<NlSock>> g_nls;

std::shared_ptr<BlockDev> find_dev(int fd) {
  std::lock_guard<std::mutex> l(g_mu);
  auto it = g_devs.find(fd);
  return it == g_devs.end() ? nullptr : it->second;
}

std::shared_ptr<NlSock> find_nl(int fd) {
  std::lock_guard<std::mutex> l(g_mu);
  auto it = g_nls.find(fd);
  return it == g_nls.end() ? nullptr : it->second;
}

bool simulated() {
  static const bool sim = [] {
    struct stat st;
    return ::stat(ctlproto::kSocketPath, &st) == 0 && S_ISSOCK(st.st_mode);
  }();
  return sim;
}

// Asks simkernel whether path names one of its disks or partitions.
// 1 with *out filled, 0 when it does not, -errno when simkernel could not be asked.
int resolve(const char* path, ctlproto::ResolveReply* out) {
  std::string canon;
  if (strncmp(path, "/dev/", 5) == 0) {
    char* rp = realpath(path, nullptr);
    if (!rp) return 0;  // no such file: the plain call reports it
    canon = rp;
    free(rp);
  } else if (path[0] != '/') {
    char* rp = realpath(path, nullptr);
    if (!rp) return 0;
    canon = rp;
    free(rp);
  } else {
    return 0;
  }
  if (canon.compare(0, 5, "/dev/") != 0) return 0;
  ctlproto::Writer w;
  w.str(canon);
  int result = 0;
  std::string reply;
  int rc = ctlproto::call(ctlproto::kSocketPath, ctlproto::kResolve, w.data(), &result, &reply);
  if (rc < 0) return rc;
  if (result < 0) return 0;
  ctlproto::Reader r(reply);
  if (!ctlproto::decode(r, out)) return -EPROTO;
  return 1;
}

void fill_blk_stat(struct stat* st, const ctlproto::ResolveReply& r) {
  st->st_mode = S_IFBLK | (st->st_mode & 07777 ? st->st_mode & 07777 : 0660);
  st->st_rdev = makedev(r.major, r.minor);
  st->st_size = 0;
  st->st_blksize = 4096;
  st->st_blocks = 0;
}

// ---- the data path: one chunk at a time, 0 or -errno ----
#ifndef HL_NO_NBD

constexpr char kNbdSocket[] = "/var/run/simkernel/nbd.sock";
// libnbd refuses requests above 64 MiB and simkernel above 32 MiB.
constexpr size_t kChunk = 8u << 20;

int nbd_error() {
  int e = nbd_get_errno();
  return e ? -e : -EIO;
}

int handle_of(BlockDev& d, nbd_handle** out) {
  std::lock_guard<std::mutex> l(d.nbd_mu);
  if (!(d.nbd && d.nbd_owner == getpid())) {
    d.nbd = nullptr;  // inherited across fork: leave the parent's stream alone
    nbd_handle* h = nbd_create();
    if (!h) return -ENOMEM;
    if (nbd_set_export_name(h, d.name.c_str()) == -1 || nbd_connect_unix(h, kNbdSocket) == -1) {
      int rc = nbd_error();
      nbd_close(h);
      return rc;
    }
    d.nbd = h;
    d.nbd_owner = getpid();
  }
  *out = d.nbd;
  return 0;
}

int data_io(BlockDev& d, bool write, void* buf, size_t n, uint64_t off) {
  nbd_handle* h;
  int rc = handle_of(d, &h);
  if (rc < 0) return rc;
  int r = write ? nbd_pwrite(h, buf, n, off, 0) : nbd_pread(h, buf, n, off, 0);
  return r == -1 ? nbd_error() : 0;
}

int data_flush(BlockDev& d) {
  nbd_handle* h;
  int rc = handle_of(d, &h);
  if (rc < 0) return rc;
  return nbd_flush(h, 0) == -1 ? nbd_error() : 0;
}

BlockDev::~BlockDev() {
  if (nbd && nbd_owner == getpid()) nbd_close(nbd);
}

#else  // HL_NO_NBD: the control socket carries the data

constexpr size_t kChunk = ctlproto::kMaxBlockIo;

int data_io(BlockDev& d, bool write, void* buf, size_t n, uint64_t off) {
  ctlproto::BlockIoRequest rq;
  rq.name = d.name;
  rq.offset = off;
  rq.len = static_cast<uint32_t>(n);
  if (write) rq.data.assign(static_cast<const char*>(buf), n);
  ctlproto::Writer w;
  ctlproto::encode(w, rq);
  int result = 0;
  std::string reply;
  int rc = ctlproto::call(ctlproto::kSocketPath, write ? ctlproto::kWrite : ctlproto::kRead,
                          w.data(), &result, &reply);
  if (rc < 0) return -EIO;  // simkernel gone: the device is unreachable
  if (result < 0) return result;
  // A read answers with exactly the bytes asked for, a write with none.
  if (reply.size() != (write ? 0 : n)) return -EIO;
  if (!write) memcpy(buf, reply.data(), n);
  return 0;
}

int data_flush(BlockDev& d) {
  ctlproto::Writer w;
  w.str(d.name);
  int result = 0;
  std::string reply;
  int rc = ctlproto::call(ctlproto::kSocketPath, ctlproto::kFlush, w.data(), &result, &reply);
  if (rc < 0) return -EIO;
  return result < 0 ? result : 0;
}

BlockDev::~BlockDev() = default;

#endif  // HL_NO_NBD

bool misaligned(const BlockDev& d, const void* buf, size_t count, uint64_t off) {
  if (!(d.flags & O_DIRECT)) return false;
  uint64_t m = d.sector_size - 1;
  return (reinterpret_cast<uintptr_t>(buf) & m) || (count & m) || (off & m);
}

ssize_t dev_pread(BlockDev& d, void* buf, size_t count, uint64_t off) {
  if ((d.flags & O_ACCMODE) == O_WRONLY) {
    errno = EBADF;
    return -1;
  }
  if (misaligned(d, buf, count, off)) {
    errno = EINVAL;
    return -1;
  }
  if (off >= d.size || count == 0) return 0;
  if (count > d.size - off) count = d.size - off;
  size_t done = 0;
  while (done < count) {
    size_t n = std::min(count - done, kChunk);
    int rc = data_io(d, false, static_cast<char*>(buf) + done, n, off + done);
    if (rc < 0) {
      if (done > 0) break;
      errno = -rc;
      return -1;
    }
    done += n;
  }
  return static_cast<ssize_t>(done);
}

ssize_t dev_pwrite(BlockDev& d, const void* buf, size_t count, uint64_t off) {
  if ((d.flags & O_ACCMODE) == O_RDONLY) {
    errno = EBADF;
    return -1;
  }
  if (misaligned(d, buf, count, off)) {
    errno = EINVAL;
    return -1;
  }
  if (count == 0) return 0;
  if (off >= d.size) {
    errno = ENOSPC;
    return -1;
  }
  if (count > d.size - off) count = d.size - off;
  size_t done = 0;
  while (done < count) {
    size_t n = std::min(count - done, kChunk);
    int rc = data_io(d, true, const_cast<char*>(static_cast<const char*>(buf)) + done, n,
                     off + done);
    if (rc < 0) {
      if (done > 0) break;
      errno = -rc;
      return -1;
    }
    done += n;
  }
  return static_cast<ssize_t>(done);
}

int dev_sg_io(BlockDev& d, sg_io_hdr_t* hdr) {
  if (!hdr) {
    errno = EFAULT;
    return -1;
  }
  if (hdr->interface_id != 'S') {
    errno = ENOSYS;
    return -1;
  }
  if (hdr->iovec_count != 0 || hdr->cmd_len < 6 || hdr->cmd_len > 16 || !hdr->cmdp ||
      hdr->dxfer_len > ctlproto::kMaxSgData || (hdr->dxfer_len && !hdr->dxferp)) {
    errno = EINVAL;
    return -1;
  }
  ctlproto::SgIoRequest rq;
  rq.name = d.name;
  memcpy(rq.cdb, hdr->cmdp, hdr->cmd_len);
  rq.cdb_len = hdr->cmd_len;
  switch (hdr->dxfer_direction) {
    case SG_DXFER_NONE: rq.dir = ctlproto::kDxferNone; break;
    case SG_DXFER_TO_DEV: rq.dir = ctlproto::kDxferToDev; break;
    case SG_DXFER_FROM_DEV:
    case SG_DXFER_TO_FROM_DEV: rq.dir = ctlproto::kDxferFromDev; break;
    default: errno = EINVAL; return -1;
  }
  rq.dxfer_len = rq.dir == ctlproto::kDxferNone ? 0 : hdr->dxfer_len;
  if (rq.dir == ctlproto::kDxferToDev)
    rq.data_out.assign(static_cast<const char*>(hdr->dxferp), hdr->dxfer_len);
  rq.mx_sb_len = hdr->sbp ? std::min<uint8_t>(hdr->mx_sb_len, 252) : 0;
  rq.timeout_ms = hdr->timeout;

  ctlproto::Writer w;
  ctlproto::encode(w, rq);
  timespec t0, t1;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  int result = 0;
  std::string reply;
  int rc = ctlproto::call(ctlproto::kSocketPath, ctlproto::kSgIo, w.data(), &result, &reply);
  clock_gettime(CLOCK_MONOTONIC, &t1);
  if (rc < 0 || result < 0) {
    errno = rc < 0 ? EIO : -result;
    return -1;
  }
  ctlproto::SgIoReply rp;
  ctlproto::Reader r(reply);
  if (!ctlproto::decode(r, &rp)) {
    errno = EIO;
    return -1;
  }
  if (rq.dir == ctlproto::kDxferFromDev && !rp.data_in.empty())
    memcpy(hdr->dxferp, rp.data_in.data(), std::min<size_t>(rp.data_in.size(), hdr->dxfer_len));
  size_t sb = std::min<size_t>(rp.sb_len_wr, rq.mx_sb_len);
  if (sb) memcpy(hdr->sbp, rp.sense.data(), sb);
  hdr->status = rp.status;
  hdr->masked_status = (rp.status >> 1) & 0x7f;
  hdr->msg_status = 0;
  hdr->sb_len_wr = static_cast<unsigned char>(sb);
  hdr->host_status = rp.host_status;
  hdr->driver_status = rp.driver_status;
  hdr->resid = rp.resid;
  hdr->duration = static_cast<unsigned>((t1.tv_sec - t0.tv_sec) * 1000 +
                                        (t1.tv_nsec - t0.tv_nsec) / 1000000);
  hdr->info = (rp.status || rp.host_status || rp.driver_status) ? SG_INFO_CHECK : SG_INFO_OK;
  return 0;
}

// ---- netlink ----

std::string nl_path(uint32_t port) { return std::string(kNlDir) + "/" + std::to_string(port); }

bool fill_un(sockaddr_un* sa, const std::string& path) {
  memset(sa, 0, sizeof *sa);
  sa->sun_family = AF_UNIX;
  if (path.size() >= sizeof sa->sun_path) return false;
  memcpy(sa->sun_path, path.data(), path.size());
  return true;
}

// True when some socket still receives on path (a stale file refuses).
bool someone_listens(const sockaddr_un& sa) {
  int p = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (p < 0) return true;
  bool live = ::connect(p, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0 ||
              errno != ECONNREFUSED;
  ::close(p);
  return live;
}

// Binds fd to nl/port; -EADDRINUSE when another socket holds the port. The
// directory lock keeps two processes from both judging a file stale.
int bind_port(int fd, uint32_t port) {
  sockaddr_un sa;
  if (!fill_un(&sa, nl_path(port))) return -ENAMETOOLONG;
  int lk = ::open((std::string(kNlDir) + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lk >= 0) flock(lk, LOCK_EX);
  int rc = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0) {
    rc = -errno;
    if (rc == -EADDRINUSE && !someone_listens(sa)) {
      ::unlink(sa.sun_path);
      rc = ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0 ? -errno : 0;
    }
  }
  if (lk >= 0) ::close(lk);  // also drops the lock
  return rc;
}

// As the kernel does: the process id first, then ids counting down from -4096.
int autobind(int fd, NlSock& s) {
  int rc = bind_port(fd, static_cast<uint32_t>(getpid()));
  if (rc == 0) {
    s.port = static_cast<uint32_t>(getpid());
  } else {
    uint32_t rover = static_cast<uint32_t>(-4096);
    for (int i = 0; i < 4096 && rc == -EADDRINUSE; i++, rover--) {
      rc = bind_port(fd, rover);
      if (rc == 0) s.port = rover;
    }
  }
  if (rc < 0) return rc;
  s.bound = true;
  return 0;
}

int nl_dest(const sockaddr* to, socklen_t tolen, uint32_t* port) {
  *port = 0;
  if (!to) return 0;
  if (tolen < sizeof(sockaddr_nl) || to->sa_family != AF_NETLINK) return -EINVAL;
  *port = reinterpret_cast<const sockaddr_nl*>(to)->nl_pid;
  return 0;
}

void nl_source(const sockaddr_un& from, socklen_t fromlen, sockaddr* out, socklen_t* outlen) {
  if (!out || !outlen) return;
  sockaddr_nl nl{};
  nl.nl_family = AF_NETLINK;
  // The sender's port is the number its unix address ends in; the kernel's end is 0.
  if (fromlen > offsetof(sockaddr_un, sun_path)) {
    std::string p(from.sun_path, strnlen(from.sun_path, fromlen - offsetof(sockaddr_un, sun_path)));
    size_t slash = p.rfind('/');
    if (slash != std::string::npos) nl.nl_pid = static_cast<uint32_t>(strtoul(p.c_str() + slash + 1, nullptr, 10));
  }
  memcpy(out, &nl, std::min<size_t>(*outlen, sizeof nl));
  *outlen = sizeof nl;
}

int ensure_bound(int fd, NlSock& s) {
  std::lock_guard<std::mutex> l(s.mu);
  return s.bound ? 0 : autobind(fd, s);
}

}  // namespace

extern "C" {

int hl_simulated(void) { return simulated() ? 1 : 0; }

int hl_open(const char* path, int flags, ...) {
  mode_t mode = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list ap;
    va_start(ap, flags);
    mode = static_cast<mode_t>(va_arg(ap, int));
    va_end(ap);
  }
  if (!simulated() || !path) return ::open(path, flags, mode);
  ctlproto::ResolveReply r;
  int rc = resolve(path, &r);
  if (rc < 0) {
    // simkernel not answering: its disks (plain empty files under /dev)
    // cannot be reached, and must not be mistaken for empty devices.
    struct stat st;
    if (::stat(path, &st) == 0 && S_ISREG(st.st_mode)) {
      errno = EIO;
      return -1;
    }
    return ::open(path, flags, mode);
  }
  if (rc == 0) return ::open(path, flags, mode);
  int fd = ::open("/dev/null", O_RDWR | (flags & O_CLOEXEC));
  if (fd < 0) return -1;
  auto d = std::make_shared<BlockDev>();
  d->name = r.name;
  d->major = r.major;
  d->minor = r.minor;
  d->size = r.size;
  d->sector_size = r.sector_size;
  d->flags = flags;
  std::lock_guard<std::mutex> l(g_mu);
  g_devs[fd] = std::move(d);  // replaces a stale entry of a descriptor closed behind our back
  g_nls.erase(fd);
  return fd;
}

int hl_close(int fd) {
  std::shared_ptr<BlockDev> d;
  std::shared_ptr<NlSock> s;
  {
    std::lock_guard<std::mutex> l(g_mu);
    auto it = g_devs.find(fd);
    if (it != g_devs.end()) {
      d = std::move(it->second);
      g_devs.erase(it);
    }
    auto jt = g_nls.find(fd);
    if (jt != g_nls.end()) {
      s = std::move(jt->second);
      g_nls.erase(jt);
    }
  }
  if (s) {
    std::lock_guard<std::mutex> l(s->mu);
    if (s->bound) ::unlink(nl_path(s->port).c_str());
  }
  return ::close(fd);
}

ssize_t hl_pread(int fd, void* buf, size_t count, off_t offset) {
  auto d = find_dev(fd);
  if (!d) return ::pread(fd, buf, count, offset);
  if (offset < 0) {
    errno = EINVAL;
    return -1;
  }
  return dev_pread(*d, buf, count, static_cast<uint64_t>(offset));
}

ssize_t hl_pwrite(int fd, const void* buf, size_t count, off_t offset) {
  auto d = find_dev(fd);
  if (!d) return ::pwrite(fd, buf, count, offset);
  if (offset < 0) {
    errno = EINVAL;
    return -1;
  }
  return dev_pwrite(*d, buf, count, static_cast<uint64_t>(offset));
}

ssize_t hl_read(int fd, void* buf, size_t count) {
  auto d = find_dev(fd);
  if (!d) return ::read(fd, buf, count);
  std::lock_guard<std::mutex> l(d->pos_mu);
  ssize_t n = dev_pread(*d, buf, count, d->pos);
  if (n > 0) d->pos += static_cast<uint64_t>(n);
  return n;
}

ssize_t hl_write(int fd, const void* buf, size_t count) {
  auto d = find_dev(fd);
  if (!d) return ::write(fd, buf, count);
  std::lock_guard<std::mutex> l(d->pos_mu);
  ssize_t n = dev_pwrite(*d, buf, count, d->pos);
  if (n > 0) d->pos += static_cast<uint64_t>(n);
  return n;
}

off_t hl_lseek(int fd, off_t offset, int whence) {
  auto d = find_dev(fd);
  if (!d) return ::lseek(fd, offset, whence);
  std::lock_guard<std::mutex> l(d->pos_mu);
  int64_t base;
  switch (whence) {
    case SEEK_SET: base = 0; break;
    case SEEK_CUR: base = static_cast<int64_t>(d->pos); break;
    case SEEK_END: base = static_cast<int64_t>(d->size); break;
    default: errno = EINVAL; return -1;
  }
  int64_t np;
  // A block device's position stays within the device, as its llseek keeps it.
  if (__builtin_add_overflow(base, static_cast<int64_t>(offset), &np) || np < 0 ||
      static_cast<uint64_t>(np) > d->size) {
    errno = EINVAL;
    return -1;
  }
  d->pos = static_cast<uint64_t>(np);
  return static_cast<off_t>(np);
}

int hl_fsync(int fd) {
  auto d = find_dev(fd);
  if (!d) return ::fsync(fd);
  int rc = data_flush(*d);
  if (rc < 0) {
    errno = -rc;
    return -1;
  }
  return 0;
}

int hl_fstat(int fd, struct stat* st) {
  auto d = find_dev(fd);
  if (::fstat(fd, st) < 0) return -1;
  if (!d) return 0;
  ctlproto::ResolveReply r;
  r.major = d->major;
  r.minor = d->minor;
  st->st_mode = 0660;
  fill_blk_stat(st, r);
  return 0;
}

int hl_stat(const char* path, struct stat* st) {
  if (!simulated() || !path) return ::stat(path, st);
  ctlproto::ResolveReply r;
  int rc = resolve(path, &r);
  if (rc <= 0) return ::stat(path, st);
  if (::stat(path, st) < 0) {
    memset(st, 0, sizeof *st);
    st->st_nlink = 1;
  }
  st->st_mode = 0660;
  fill_blk_stat(st, r);
  return 0;
}

int hl_ioctl(int fd, unsigned long request, void* arg) {
  auto d = find_dev(fd);
  if (!d) return ::ioctl(fd, request, arg);
  switch (request) {
    case BLKGETSIZE64:
      *static_cast<uint64_t*>(arg) = d->size;
      return 0;
    case BLKGETSIZE:
      *static_cast<unsigned long*>(arg) = static_cast<unsigned long>(d->size >> 9);
      return 0;
    case BLKSSZGET:
      *static_cast<int*>(arg) = static_cast<int>(d->sector_size);
      return 0;
    case SG_IO:
      return dev_sg_io(*d, static_cast<sg_io_hdr_t*>(arg));
    default:
      return ::ioctl(fd, request, arg);
  }
}

int hl_socket(int domain, int type, int protocol) {
  int kind = type & ~(SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (!simulated() || domain != AF_NETLINK || protocol != kNetlinkProto ||
      (kind != SOCK_RAW && kind != SOCK_DGRAM))
    return ::socket(domain, type, protocol);
  // As on the kernel: a protocol no kernel socket serves cannot be opened.
  struct stat st;
  if (::stat(nl_path(0).c_str(), &st) < 0 || !S_ISSOCK(st.st_mode)) {
    errno = EPROTONOSUPPORT;
    return -1;
  }
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | (type & (SOCK_CLOEXEC | SOCK_NONBLOCK)), 0);
  if (fd < 0) return -1;
  std::lock_guard<std::mutex> l(g_mu);
  g_nls[fd] = std::make_shared<NlSock>();
  g_devs.erase(fd);
  return fd;
}

int hl_bind(int fd, const struct sockaddr* addr, socklen_t len) {
  auto s = find_nl(fd);
  if (!s) return ::bind(fd, addr, len);
  if (!addr || len < sizeof(sockaddr_nl) || addr->sa_family != AF_NETLINK) {
    errno = EINVAL;
    return -1;
  }
  uint32_t port = reinterpret_cast<const sockaddr_nl*>(addr)->nl_pid;
  std::lock_guard<std::mutex> l(s->mu);
  if (s->bound) {
    if (port == s->port) return 0;
    errno = EINVAL;
    return -1;
  }
  int rc;
  if (port == 0) {
    rc = autobind(fd, *s);
  } else {
    rc = bind_port(fd, port);
    if (rc == 0) {
      s->bound = true;
      s->port = port;
    }
  }
  if (rc < 0) {
    errno = -rc;
    return -1;
  }
  return 0;
}

int hl_getsockname(int fd, struct sockaddr* addr, socklen_t* len) {
  auto s = find_nl(fd);
  if (!s) return ::getsockname(fd, addr, len);
  if (!addr || !len) {
    errno = EFAULT;
    return -1;
  }
  sockaddr_nl nl{};
  nl.nl_family = AF_NETLINK;
  {
    std::lock_guard<std::mutex> l(s->mu);
    nl.nl_pid = s->bound ? s->port : 0;
  }
  memcpy(addr, &nl, std::min<size_t>(*len, sizeof nl));
  *len = sizeof nl;
  return 0;
}

int hl_setsockopt(int fd, int level, int name, const void* val, socklen_t len) {
  if (level == SOL_NETLINK && find_nl(fd)) return 0;  // membership and the like: nothing to do
  return ::setsockopt(fd, level, name, val, len);
}

ssize_t hl_sendto(int fd, const void* buf, size_t len, int flags, const struct sockaddr* to,
                  socklen_t tolen) {
  auto s = find_nl(fd);
  if (!s) return ::sendto(fd, buf, len, flags, to, tolen);
  uint32_t port;
  int rc = nl_dest(to, tolen, &port);
  if (rc == 0) rc = ensure_bound(fd, *s);
  sockaddr_un sa;
  if (rc == 0 && !fill_un(&sa, nl_path(port))) rc = -ENAMETOOLONG;
  if (rc < 0) {
    errno = -rc;
    return -1;
  }
  ssize_t n = ::sendto(fd, buf, len, flags | MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  if (n < 0 && errno == ENOENT) errno = ECONNREFUSED;  // no socket on that port
  return n;
}

ssize_t hl_sendmsg(int fd, const struct msghdr* msg, int flags) {
  auto s = find_nl(fd);
  if (!s) return ::sendmsg(fd, msg, flags);
  uint32_t port;
  int rc = nl_dest(static_cast<const sockaddr*>(msg->msg_name), msg->msg_namelen, &port);
  if (rc == 0) rc = ensure_bound(fd, *s);
  sockaddr_un sa;
  if (rc == 0 && !fill_un(&sa, nl_path(port))) rc = -ENAMETOOLONG;
  if (rc < 0) {
    errno = -rc;
    return -1;
  }
  msghdr m = *msg;
  m.msg_name = &sa;
  m.msg_namelen = sizeof sa;
  ssize_t n = ::sendmsg(fd, &m, flags | MSG_NOSIGNAL);
  if (n < 0 && errno == ENOENT) errno = ECONNREFUSED;
  return n;
}

ssize_t hl_recvfrom(int fd, void* buf, size_t len, int flags, struct sockaddr* from,
                    socklen_t* fromlen) {
  auto s = find_nl(fd);
  if (!s) return ::recvfrom(fd, buf, len, flags, from, fromlen);
  sockaddr_un sa{};
  socklen_t salen = sizeof sa;
  ssize_t n = ::recvfrom(fd, buf, len, flags, reinterpret_cast<sockaddr*>(&sa), &salen);
  if (n >= 0) nl_source(sa, salen, from, fromlen);
  return n;
}

ssize_t hl_recvmsg(int fd, struct msghdr* msg, int flags) {
  auto s = find_nl(fd);
  if (!s) return ::recvmsg(fd, msg, flags);
  sockaddr_un sa{};
  msghdr m = *msg;
  m.msg_name = &sa;
  m.msg_namelen = sizeof sa;
  ssize_t n = ::recvmsg(fd, &m, flags);
  if (n < 0) return n;
  msg->msg_flags = m.msg_flags;
  msg->msg_controllen = m.msg_controllen;
  if (msg->msg_name) {
    socklen_t l = msg->msg_namelen;
    nl_source(sa, m.msg_namelen, static_cast<sockaddr*>(msg->msg_name), &l);
    msg->msg_namelen = l;
  }
  return n;
}

}  // extern "C"
