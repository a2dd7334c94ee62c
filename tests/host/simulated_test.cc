// The layer inside a simulated host, against a stand-in kernel: a private
// /run and /dev (in a mount namespace of the test's own) with a control
// socket, an NBD server over a memory disk and a netlink endpoint at nl/0
// that echoes what it gets. Each test runs in a fresh child process, so the
// layer decides afresh that it is simulated.
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mutex>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include "ctl_proto.h"
#include "host/host.h"
#include "namespaces.h"
#include "nbd_server.h"

namespace {

constexpr uint64_t kSize = 1 << 20;
constexpr char kRun[] = "/var/run/simkernel";

struct NlAddr {
  sa_family_t nl_family;
  unsigned short nl_pad;
  uint32_t nl_pid;
  uint32_t nl_groups;
};

class MemDisk : public nbd::Backend {
 public:
  MemDisk() : data_(kSize, '\0') {}
  bool lookup(const std::string& n, uint64_t* size) override {
    if (n == "sdb") *size = kSize;
    else if (n == "sdb1") *size = kSize / 2;
    else return false;
    return true;
  }
  std::vector<std::string> exports() override { return {"sdb", "sdb1"}; }
  int io(const std::string& n, bool write, uint64_t off, void* buf, uint32_t len) override {
    std::lock_guard<std::mutex> l(mu_);
    if (n == "sdb1") off += kSize / 2;
    if (write) memcpy(&data_[off], buf, len);
    else memcpy(buf, &data_[off], len);
    return 0;
  }
  int flush(const std::string&) override {
    flushes++;
    return 0;
  }
  std::atomic<int> flushes{0};

 private:
  std::mutex mu_;
  std::string data_;
};

int listen_unix(const std::string& path, int type) {
  int fd = socket(AF_UNIX, type, 0);
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  strcpy(sa.sun_path, path.c_str());
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0) return -1;
  if (type == SOCK_STREAM) listen(fd, 16);
  return fd;
}

int ctl_answer(uint16_t op, const std::string& payload, std::string* reply) {
  ctlproto::Reader r(payload);
  ctlproto::Writer w;
  if (op == ctlproto::kResolve) {
    std::string path;
    r.str(&path);
    ctlproto::ResolveReply rr;
    if (path == "/dev/sdb") rr = {"sdb", 8, 16, kSize, 512, 0};
    else if (path == "/dev/sdb1") rr = {"sdb1", 8, 17, kSize / 2, 512, 1};
    else return -ENOENT;
    ctlproto::encode(w, rr);
  } else if (op == ctlproto::kSgIo) {
    ctlproto::SgIoRequest rq;
    if (!ctlproto::decode(r, &rq)) return -EINVAL;
    ctlproto::SgIoReply rp;
    if (rq.cdb[0] == 0x12) {
      rp.data_in.assign(rq.dxfer_len, '\0');
      memcpy(&rp.data_in[8], "UVO     ZELSolution     ", 24);
      rp.resid = static_cast<int32_t>(rq.dxfer_len) - 36;
    } else {  // anything else: NOT READY, standby
      rp.status = 2;
      rp.sense = std::string("\x70\0\x02\0\0\0\0\x0a\0\0\0\0\x04\x0b", 14);
      rp.sb_len_wr = 14;
    }
    ctlproto::encode(w, rp);
  } else {
    return -EBADMSG;
  }
  *reply = w.take();
  return 0;
}

// Everything a stand-in kernel serves; lives until the child exits.
void fake_kernel(MemDisk* disk) {
  mkdir("/run/simkernel", 0755);
  mkdir("/run/simkernel/nl", 0755);
  int ctl = listen_unix(std::string(kRun) + "/ctl.sock", SOCK_STREAM);
  std::thread([ctl] {
    for (;;) {
      int c = accept(ctl, nullptr, nullptr);
      ctlproto::RequestHeader h;
      if (ctlproto::read_full(c, &h, sizeof h) == 0 && ctlproto::check_request(h) == 0) {
        std::string p(h.len, '\0'), reply;
        ctlproto::read_full(c, p.data(), p.size());
        int rc = ctl_answer(h.op, p, &reply);
        ctlproto::ReplyHeader rh{ctlproto::kReplyMagic, rc, static_cast<uint32_t>(reply.size())};
        ctlproto::write_full(c, &rh, sizeof rh);
        ctlproto::write_full(c, reply.data(), reply.size());
      }
      close(c);
    }
  }).detach();
  auto* nbd = new nbd::Server(disk);
  nbd->listen(std::string(kRun) + "/nbd.sock");
  int k = listen_unix(std::string(kRun) + "/nl/0", SOCK_DGRAM);
  std::thread([k] {
    char buf[4096];
    for (;;) {
      sockaddr_un from{};
      socklen_t fl = sizeof from;
      ssize_t n = recvfrom(k, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fl);
      if (n > 0 && fl > sizeof(sa_family_t))
        sendto(k, buf, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), fl);
    }
  }).detach();
}

std::string in_fake_host(const std::function<std::string()>& body) {
  return testsupport::run_isolated(0, [&] {
    if (mount("tmpfs", "/run", "tmpfs", 0, "size=16m") < 0) return std::string("mount /run");
    mkdir("/run/olddev", 0755);
    if (mount("/dev", "/run/olddev", nullptr, MS_BIND, nullptr) < 0) return std::string("bind /dev");
    if (mount("tmpfs", "/dev", "tmpfs", 0, "size=1m") < 0) return std::string("mount /dev");
    for (const char* n : {"/dev/null", "/dev/sdb", "/dev/sdb1"}) close(open(n, O_CREAT | O_WRONLY, 0644));
    mount("/run/olddev/null", "/dev/null", nullptr, MS_BIND, nullptr);
    static MemDisk disk;
    fake_kernel(&disk);
    std::string r = body();
    return r.empty() ? std::string("ok") : r;
  });
}

#define CHECK(c)                                                                         \
  do {                                                                                   \
    if (!(c)) r += "line " + std::to_string(__LINE__) + ": " #c " (errno " +            \
                   std::string(strerror(errno)) + ")\n";                                 \
  } while (0)

TEST(HostSimulated, BlockDeviceThroughNbd) {
  std::string out = in_fake_host([] {
    std::string r;
    CHECK(hl_simulated() == 1);
    int fd = hl_open("/dev/sdb", O_RDWR | O_DIRECT);
    CHECK(fd >= 0);
    struct stat st;
    CHECK(hl_fstat(fd, &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == makedev(8, 16) &&
          st.st_size == 0);
    CHECK(hl_stat("/dev/sdb1", &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == makedev(8, 17));
    CHECK(hl_stat("/dev/null", &st) == 0 && S_ISCHR(st.st_mode));
    uint64_t size = 0;
    unsigned long sectors = 0;
    int ss = 0;
    CHECK(hl_ioctl(fd, BLKGETSIZE64, &size) == 0 && size == kSize);
    CHECK(hl_ioctl(fd, BLKGETSIZE, &sectors) == 0 && sectors == kSize / 512);
    CHECK(hl_ioctl(fd, BLKSSZGET, &ss) == 0 && ss == 512);

    void* buf = nullptr;
    posix_memalign(&buf, 4096, 8192);
    memset(buf, 'a', 8192);
    CHECK(hl_pwrite(fd, buf, 4096, 512) == 4096);
    // O_DIRECT is kept: offset, length and buffer must sit on sector bounds.
    errno = 0;
    CHECK(hl_pread(fd, buf, 4096, 100) == -1 && errno == EINVAL);
    errno = 0;
    CHECK(hl_pread(fd, buf, 100, 0) == -1 && errno == EINVAL);
    errno = 0;
    CHECK(hl_pread(fd, static_cast<char*>(buf) + 1, 512, 0) == -1 && errno == EINVAL);
    memset(buf, 0, 8192);
    CHECK(hl_pread(fd, buf, 4096, 512) == 4096 && static_cast<char*>(buf)[4095] == 'a');
    CHECK(hl_pread(fd, buf, 8192, kSize - 4096) == 4096);  // short at the end
    CHECK(hl_pread(fd, buf, 512, kSize) == 0);
    errno = 0;
    CHECK(hl_pwrite(fd, buf, 512, kSize) == -1 && errno == ENOSPC);
    CHECK(hl_lseek(fd, 0, SEEK_END) == static_cast<off_t>(kSize));
    errno = 0;
    CHECK(hl_lseek(fd, 1, SEEK_END) == -1 && errno == EINVAL);
    CHECK(hl_lseek(fd, 512, SEEK_SET) == 512);
    CHECK(hl_read(fd, buf, 512) == 512 && static_cast<char*>(buf)[0] == 'a');
    CHECK(hl_lseek(fd, 0, SEEK_CUR) == 1024);
    CHECK(hl_fsync(fd) == 0);

    // The partition is its own export; what it holds is the disk's second half.
    int pfd = hl_open("/dev/sdb1", O_RDONLY);
    CHECK(pfd >= 0);
    errno = 0;
    CHECK(hl_write(pfd, "x", 1) == -1 && errno == EBADF);
    char c = 0;
    CHECK(hl_pwrite(fd, "Z", 1, kSize / 2) == -1);  // unaligned on an O_DIRECT descriptor
    int bfd = hl_open("/dev/sdb", O_RDWR);
    CHECK(hl_pwrite(bfd, "Z", 1, kSize / 2 + 3) == 1);  // buffered: any length
    CHECK(hl_pread(pfd, &c, 1, 3) == 1 && c == 'Z');
    int d = dup(fd);  // a real descriptor under it
    CHECK(d >= 0 && close(d) == 0);
    CHECK(hl_close(pfd) == 0 && hl_close(bfd) == 0 && hl_close(fd) == 0);
    errno = 0;
    CHECK(hl_pread(fd, buf, 512, 0) == -1 && errno == EBADF);
    free(buf);

    // Not a disk of the kernel's: the plain file.
    int nfd = hl_open("/dev/null", O_RDONLY);
    CHECK(nfd >= 0 && hl_read(nfd, &c, 1) == 0);
    hl_close(nfd);
    return r;
  });
  EXPECT_EQ(out, "ok");
}

TEST(HostSimulated, SgIoGoesToTheKernel) {
  std::string out = in_fake_host([] {
    std::string r;
    int fd = hl_open("/dev/sdb", O_RDONLY);
    unsigned char cdb[6] = {0x12, 0, 0, 0, 98, 0};
    unsigned char data[98] = {};
    sg_io_hdr_t io{};
    io.interface_id = 'S';
    io.dxfer_direction = SG_DXFER_FROM_DEV;
    io.cmd_len = 6;
    io.cmdp = cdb;
    io.dxferp = data;
    io.dxfer_len = sizeof data;
    io.timeout = 6000;
    CHECK(hl_ioctl(fd, SG_IO, &io) == 0);
    CHECK(io.status == 0 && io.info == SG_INFO_OK && io.resid == 62);
    CHECK(memcmp(data + 16, "ZELSolution", 11) == 0);

    unsigned char tur[6] = {};
    unsigned char sense[32] = {};
    sg_io_hdr_t t{};
    t.interface_id = 'S';
    t.dxfer_direction = SG_DXFER_NONE;
    t.cmd_len = 6;
    t.cmdp = tur;
    t.sbp = sense;
    t.mx_sb_len = 8;  // less room than the device has sense: cut to fit
    CHECK(hl_ioctl(fd, SG_IO, &t) == 0);
    CHECK(t.status == 2 && (t.info & SG_INFO_CHECK) && t.sb_len_wr == 8 && sense[2] == 2 &&
          sense[8] == 0);

    sg_io_hdr_t bad = t;
    bad.interface_id = 'Q';
    errno = 0;
    CHECK(hl_ioctl(fd, SG_IO, &bad) == -1 && errno == ENOSYS);
    bad = t;
    bad.cmd_len = 40;
    errno = 0;
    CHECK(hl_ioctl(fd, SG_IO, &bad) == -1 && errno == EINVAL);
    hl_close(fd);
    return r;
  });
  EXPECT_EQ(out, "ok");
}

TEST(HostSimulated, NetlinkSocketBindsSendsAndReceives) {
  std::string out = in_fake_host([] {
    std::string r;
    int s = hl_socket(AF_NETLINK, SOCK_RAW, 21);
    CHECK(s >= 0);
    NlAddr a{};
    socklen_t al = sizeof a;
    CHECK(hl_getsockname(s, reinterpret_cast<sockaddr*>(&a), &al) == 0 && a.nl_pid == 0 &&
          a.nl_family == AF_NETLINK && al == sizeof a);
    NlAddr me{AF_NETLINK, 0, 0x12345u | (7u << 16), 0};
    CHECK(hl_bind(s, reinterpret_cast<sockaddr*>(&me), sizeof me) == 0);
    struct stat st;
    const std::string mine = "/var/run/simkernel/nl/" + std::to_string(me.nl_pid);
    CHECK(stat(mine.c_str(), &st) == 0 && S_ISSOCK(st.st_mode));
    al = sizeof a;
    CHECK(hl_getsockname(s, reinterpret_cast<sockaddr*>(&a), &al) == 0 && a.nl_pid == me.nl_pid);

    // The same port twice: the second bind fails as on the kernel.
    int s2 = hl_socket(AF_NETLINK, SOCK_RAW, 21);
    errno = 0;
    CHECK(hl_bind(s2, reinterpret_cast<sockaddr*>(&me), sizeof me) == -1 && errno == EADDRINUSE);

    timeval tv{30, 0};
    CHECK(hl_setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0);
    CHECK(hl_setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0);
    std::string msg(2064, 'm');
    NlAddr kernel{AF_NETLINK, 0, 0, 0};
    CHECK(hl_sendto(s, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr*>(&kernel),
                    sizeof kernel) == 2064);
    std::string back(4096, '\0');
    NlAddr from{};
    socklen_t fl = sizeof from;
    CHECK(hl_recvfrom(s, back.data(), back.size(), 0, reinterpret_cast<sockaddr*>(&from), &fl) ==
          2064);
    CHECK(from.nl_family == AF_NETLINK && from.nl_pid == 0 && fl == sizeof from);

    // sendmsg/recvmsg with one vector, as the daemon sends.
    iovec v{msg.data(), msg.size()};
    msghdr m{};
    m.msg_name = &kernel;
    m.msg_namelen = sizeof kernel;
    m.msg_iov = &v;
    m.msg_iovlen = 1;
    CHECK(hl_sendmsg(s, &m, 0) == 2064);
    iovec rv{back.data(), back.size()};
    msghdr rm{};
    NlAddr rfrom{};
    rm.msg_name = &rfrom;
    rm.msg_namelen = sizeof rfrom;
    rm.msg_iov = &rv;
    rm.msg_iovlen = 1;
    CHECK(hl_recvmsg(s, &rm, 0) == 2064 && rm.msg_namelen == sizeof rfrom && rfrom.nl_pid == 0);

    // Receive time-outs are real.
    timeval shortv{0, 100000};
    CHECK(hl_setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &shortv, sizeof shortv) == 0);
    errno = 0;
    CHECK(hl_recvfrom(s, back.data(), back.size(), 0, nullptr, nullptr) == -1 &&
          (errno == EAGAIN || errno == EWOULDBLOCK));

    // An unbound socket is bound on its first send: to the process id first.
    CHECK(hl_sendto(s2, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr*>(&kernel),
                    sizeof kernel) == 2064);
    al = sizeof a;
    CHECK(hl_getsockname(s2, reinterpret_cast<sockaddr*>(&a), &al) == 0 &&
          a.nl_pid == static_cast<uint32_t>(getpid()));
    CHECK(hl_recvfrom(s2, back.data(), back.size(), 0, nullptr, nullptr) == 2064);
    // The process id taken: the next choice is the kernel's, counting down from -4096.
    int s3 = hl_socket(AF_NETLINK, SOCK_RAW, 21);
    NlAddr any{AF_NETLINK, 0, 0, 0};
    CHECK(hl_bind(s3, reinterpret_cast<sockaddr*>(&any), sizeof any) == 0);
    al = sizeof a;
    CHECK(hl_getsockname(s3, reinterpret_cast<sockaddr*>(&a), &al) == 0 &&
          a.nl_pid == static_cast<uint32_t>(-4096));

    // Closing frees the port; a file left by a socket that died is no obstacle.
    CHECK(hl_close(s) == 0);
    CHECK(stat(mine.c_str(), &st) == -1);
    {
      int dead = socket(AF_UNIX, SOCK_DGRAM, 0);
      sockaddr_un sa{};
      sa.sun_family = AF_UNIX;
      strcpy(sa.sun_path, "/var/run/simkernel/nl/555");
      bind(dead, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
      close(dead);
    }
    int s4 = hl_socket(AF_NETLINK, SOCK_RAW, 21);
    NlAddr p555{AF_NETLINK, 0, 555, 0};
    CHECK(hl_bind(s4, reinterpret_cast<sockaddr*>(&p555), sizeof p555) == 0);
    // A port nobody holds refuses, as netlink_unicast to it would.
    NlAddr nobody{AF_NETLINK, 0, 999, 0};
    errno = 0;
    CHECK(hl_sendto(s4, "x", 1, 0, reinterpret_cast<sockaddr*>(&nobody), sizeof nobody) == -1 &&
          errno == ECONNREFUSED);
    errno = 0;
    CHECK(hl_bind(s4, reinterpret_cast<sockaddr*>(&nobody), 4) == -1 && errno == EINVAL);
    hl_close(s2);
    hl_close(s3);
    hl_close(s4);

    // Without a kernel socket on protocol 21 the socket cannot be made.
    unlink("/var/run/simkernel/nl/0");
    errno = 0;
    CHECK(hl_socket(AF_NETLINK, SOCK_RAW, 21) == -1 && errno == EPROTONOSUPPORT);
    return r;
  });
  EXPECT_EQ(out, "ok");
}

}  // namespace
