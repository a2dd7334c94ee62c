// Run inside a simulated host by the host-layer tests: drives the layer as
// the system's programs do and prints what it saw.
//   simtest_hl inquiry DEV   standard INQUIRY and VPD 0x83 over SG_IO
//   simtest_hl stat DEV      stat, fstat and the size requests
//   simtest_hl io DEV        O_DIRECT write and read back
//   simtest_hl data DEV      buffered I/O across transfer chunks, the device's end,
//                            O_DIRECT's alignment rule
//   simtest_hl wfail DEV     a write the disk refuses, and a read beside it
//   simtest_hl rawio DISK    block requests on the control socket that must be refused
//   simtest_hl netlink DISK  round trip through testmod, and its queue hook on DISK
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <scsi/sg.h>
#include <string>
#include <sys/mount.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "ctl_proto.h"
#include "host/host.h"

namespace {

int fail(const char* what) {
  printf("%s failed: %s\n", what, strerror(errno));
  return 1;
}

int sg(int fd, const unsigned char* cdb, int cdb_len, unsigned char* buf, unsigned len) {
  sg_io_hdr_t io{};
  io.interface_id = 'S';
  io.dxfer_direction = SG_DXFER_FROM_DEV;
  io.cmd_len = static_cast<unsigned char>(cdb_len);
  io.cmdp = const_cast<unsigned char*>(cdb);
  io.dxferp = buf;
  io.dxfer_len = len;
  io.timeout = 6000;
  if (hl_ioctl(fd, SG_IO, &io) < 0) return -1;
  return io.status == 0 && (io.info & SG_INFO_OK_MASK) == SG_INFO_OK ? 0 : -2;
}

int inquiry(const char* dev) {
  int fd = hl_open(dev, O_RDONLY);
  if (fd < 0) return fail("open");
  const unsigned char std_cdb[6] = {0x12, 0, 0, 0, 0x62, 0};
  unsigned char data[256] = {};
  if (sg(fd, std_cdb, 6, data, 98) != 0) return fail("INQUIRY");
  printf("vendor=%.8s product=%.16s\n", data + 8, data + 16);
  const unsigned char vpd_cdb[6] = {0x12, 0x01, 0x83, 0, 0xfc, 0};
  memset(data, 0, sizeof data);
  if (sg(fd, vpd_cdb, 6, data, 256) != 0) return fail("VPD 0x83");
  unsigned page_len = (data[2] << 8) | data[3];
  std::string guid = "none";
  for (unsigned off = 0; page_len <= 252 && off + 3 < page_len;) {
    const unsigned char* d = data + 4 + off;
    if ((d[1] & 0x0f) == 1 && off + 49 <= page_len) {
      guid.assign(reinterpret_cast<const char*>(d + 13), 36);
      break;
    }
    off += 4 + d[3];
  }
  printf("guid=%s\n", guid.c_str());
  hl_close(fd);
  return 0;
}

int stat_dev(const char* dev) {
  struct stat a, b;
  if (hl_stat(dev, &a) < 0) return fail("stat");
  int fd = hl_open(dev, O_RDONLY);
  if (fd < 0) return fail("open");
  if (hl_fstat(fd, &b) < 0) return fail("fstat");
  uint64_t size = 0;
  int ssz = 0;
  if (hl_ioctl(fd, BLKGETSIZE64, &size) < 0 || hl_ioctl(fd, BLKSSZGET, &ssz) < 0) return fail("ioctl");
  printf("blk=%d/%d rdev=%u:%u size=%llu ssz=%d\n", S_ISBLK(a.st_mode), S_ISBLK(b.st_mode),
         major(b.st_rdev), minor(b.st_rdev), static_cast<unsigned long long>(size), ssz);
  hl_close(fd);
  return 0;
}

int io(const char* dev) {
  int fd = hl_open(dev, O_RDWR | O_DIRECT);
  if (fd < 0) return fail("open");
  void* w;
  void* r;
  if (posix_memalign(&w, 4096, 65536) || posix_memalign(&r, 4096, 65536)) return fail("memalign");
  for (int i = 0; i < 65536; i++) static_cast<unsigned char*>(w)[i] = static_cast<unsigned char>(i * 13 + 5);
  if (hl_pwrite(fd, w, 65536, 1 << 20) != 65536) return fail("pwrite");
  if (hl_fsync(fd) < 0) return fail("fsync");
  if (hl_pread(fd, r, 65536, 1 << 20) != 65536) return fail("pread");
  if (memcmp(w, r, 65536) != 0) {
    printf("read back differs\n");
    return 1;
  }
  errno = 0;
  if (hl_pread(fd, r, 512, 100) != -1 || errno != EINVAL) {
    printf("unaligned direct read was not refused\n");
    return 1;
  }
  printf("io=ok\n");
  free(w);
  free(r);
  hl_close(fd);
  return 0;
}

// Bytes a test outside can recognise in the image: byte i of the pattern.
unsigned char pattern(size_t i) { return static_cast<unsigned char>(i * 7 + 3); }

int data(const char* dev) {
  int fd = hl_open(dev, O_RDWR);
  if (fd < 0) return fail("open");
  uint64_t size = 0;
  if (hl_ioctl(fd, BLKGETSIZE64, &size) < 0) return fail("BLKGETSIZE64");
  // Over several transfer chunks, on no sector boundary at either end.
  const size_t n = (3u << 20) + 1000;
  std::string w(n, '\0'), r(n, '\0');
  for (size_t i = 0; i < n; i++) w[i] = static_cast<char>(pattern(i));
  if (hl_pwrite(fd, w.data(), n, 511) != static_cast<ssize_t>(n)) return fail("pwrite");
  if (hl_fsync(fd) < 0) return fail("fsync");
  if (hl_pread(fd, r.data(), n, 511) != static_cast<ssize_t>(n)) return fail("pread");
  if (r != w) {
    printf("read back differs\n");
    return 1;
  }
  // The end: a write is cut there and then finds no space, a read stops there.
  char buf[200] = {};
  if (hl_lseek(fd, static_cast<off_t>(size - 100), SEEK_SET) != static_cast<off_t>(size - 100))
    return fail("lseek");
  ssize_t a = hl_write(fd, buf, sizeof buf);
  errno = 0;
  ssize_t b = hl_write(fd, buf, sizeof buf);
  int b_errno = errno;
  ssize_t c = hl_pread(fd, buf, sizeof buf, static_cast<off_t>(size - 100));
  ssize_t d = hl_read(fd, buf, sizeof buf);
  printf("end: write=%zd then=%zd/%s pread=%zd read=%zd\n", a, b, strerror(b_errno), c, d);
  hl_close(fd);

  fd = hl_open(dev, O_RDWR | O_DIRECT);
  if (fd < 0) return fail("open direct");
  void* al;
  if (posix_memalign(&al, 4096, 8192)) return fail("memalign");
  char* p = static_cast<char*>(al);
  memcpy(p, w.data(), 4096);
  ssize_t ok = hl_pwrite(fd, p, 4096, 8u << 20);
  if (ok == 4096) ok = hl_pread(fd, p + 4096, 4096, 8u << 20) == 4096 && memcmp(p, p + 4096, 4096) == 0 ? 4096 : -1;
  struct { const char* what; void* buf; size_t len; off_t off; } bad[] = {
      {"length", p, 100, 0}, {"offset", p, 512, 100}, {"buffer", p + 1, 512, 0}};
  printf("direct: aligned=%s", ok == 4096 ? "ok" : "bad");
  for (const auto& t : bad) {
    errno = 0;
    ssize_t rr = hl_pread(fd, t.buf, t.len, t.off);
    int re = errno;
    errno = 0;
    ssize_t ww = hl_pwrite(fd, t.buf, t.len, t.off);
    printf(" %s=%s", t.what, rr == -1 && re == EINVAL && ww == -1 && errno == EINVAL ? "EINVAL" : "bad");
  }
  printf("\n");
  free(al);
  hl_close(fd);
  return 0;
}

int wfail(const char* dev) {
  int fd = hl_open(dev, O_RDWR);
  if (fd < 0) return fail("open");
  char buf[4096] = {};
  errno = 0;
  ssize_t w = hl_pwrite(fd, buf, sizeof buf, 0);
  int we = errno;
  ssize_t r = hl_pread(fd, buf, sizeof buf, 4096);
  printf("write=%s read=%s\n", w == -1 ? strerror(we) : "done", r == 4096 ? "ok" : "bad");
  hl_close(fd);
  return 0;
}

// Requests no layer would send, straight onto the control socket: each
// result is printed as a negative errno.
int rawio(const char* disk) {
  int fd = hl_open((std::string("/dev/") + disk).c_str(), O_RDONLY);
  uint64_t size = 0;
  if (fd < 0 || hl_ioctl(fd, BLKGETSIZE64, &size) < 0) return fail("size");
  hl_close(fd);
  struct Case {
    const char* what;
    uint16_t op;
    std::string name;
    uint64_t off;
    uint32_t len;
    size_t data;
  } cases[] = {
      {"read_in", ctlproto::kRead, disk, size - 512, 512, 0},
      {"read_past_end", ctlproto::kRead, disk, size - 512, 1024, 0},
      {"read_far", ctlproto::kRead, disk, ~uint64_t{0} - 100, 512, 0},
      {"write_past_end", ctlproto::kWrite, disk, size, 512, 512},
      {"write_wraps", ctlproto::kWrite, disk, ~uint64_t{0} - 100, 512, 512},
      {"read_too_long", ctlproto::kRead, disk, 0, ctlproto::kMaxBlockIo + 1, 0},
      {"write_short_data", ctlproto::kWrite, disk, 0, 1024, 512},
      {"read_with_data", ctlproto::kRead, disk, 0, 512, 512},
      {"unknown_disk", ctlproto::kRead, "sdzz", 0, 512, 0},
      {"bad_name", ctlproto::kRead, "../x", 0, 512, 0},
  };
  for (const auto& c : cases) {
    ctlproto::BlockIoRequest rq;
    rq.name = c.name;
    rq.offset = c.off;
    rq.len = c.len;
    rq.data.assign(c.data, 'x');
    ctlproto::Writer w;
    ctlproto::encode(w, rq);
    int result = 0;
    std::string reply;
    int rc = ctlproto::call(ctlproto::kSocketPath, c.op, w.data(), &result, &reply);
    if (rc < 0) return fail(c.what);
    printf("%s=%d%s\n", c.what, result,
           result == 0 && reply.size() != (c.op == ctlproto::kRead ? c.len : 0) ? " (bad length)" : "");
  }
  ctlproto::Writer w;
  w.str("sdzz");
  int result = 0;
  std::string reply;
  if (ctlproto::call(ctlproto::kSocketPath, ctlproto::kFlush, w.data(), &result, &reply) < 0)
    return fail("flush");
  printf("flush_unknown=%d\n", result);
  return 0;
}

struct NlAddr {
  sa_family_t nl_family;
  unsigned short nl_pad;
  uint32_t nl_pid;
  uint32_t nl_groups;
};

// One 2064-byte request: netlink header, then cmd, pad, msg_len, retcode, magic, body.
int round_trip(int s, uint8_t cmd, const std::string& body, uint32_t* retcode, std::string* reply) {
  unsigned char m[2064] = {};
  uint32_t len = 2064, magic = 0x484D4E4C;
  memcpy(m, &len, 4);
  m[16] = cmd;
  uint16_t bl = static_cast<uint16_t>(body.size());
  memcpy(m + 18, &bl, 2);
  memcpy(m + 24, &magic, 4);
  memcpy(m + 28, body.data(), body.size());
  NlAddr k{AF_NETLINK, 0, 0, 0};
  if (hl_sendto(s, m, sizeof m, 0, reinterpret_cast<sockaddr*>(&k), sizeof k) != 2064) return -1;
  unsigned char in[2064];
  NlAddr from{};
  socklen_t fl = sizeof from;
  if (hl_recvfrom(s, in, sizeof in, 0, reinterpret_cast<sockaddr*>(&from), &fl) != 2064) return -1;
  if (from.nl_pid != 0) return -1;
  memcpy(retcode, in + 20, 4);
  reply->assign(reinterpret_cast<char*>(in + 28), 2036);
  return 0;
}

int netlink(const char* disk) {
  int s = hl_socket(AF_NETLINK, SOCK_RAW, 21);
  if (s < 0) return fail("socket");
  timeval tv{10, 0};
  hl_setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  NlAddr me{AF_NETLINK, 0, static_cast<uint32_t>(getpid()) | (1u << 16), 0};
  if (hl_bind(s, reinterpret_cast<sockaddr*>(&me), sizeof me) < 0) return fail("bind");
  uint32_t rc;
  std::string reply;
  if (round_trip(s, 6, "echo me", &rc, &reply) < 0) return fail("echo");
  printf("echo=%s ret=%u\n", reply.compare(0, 7, "echo me") == 0 ? "ok" : "bad", rc);
  if (round_trip(s, 200, disk, &rc, &reply) < 0) return fail("hook");
  printf("hook=%u\n", rc);
  std::string dev = std::string("/dev/") + disk;
  int fd = hl_open(dev.c_str(), O_RDWR);
  char buf[4096] = {};
  if (fd < 0 || hl_pwrite(fd, buf, sizeof buf, 0) != 4096 || hl_pread(fd, buf, sizeof buf, 8192) != 4096)
    return fail("disk io");
  hl_close(fd);
  if (round_trip(s, 201, "", &rc, &reply) < 0) return fail("count");
  uint64_t count;
  memcpy(&count, reply.data(), 8);
  printf("counted=%s\n", count >= 2 ? "yes" : "no");
  if (round_trip(s, 202, "", &rc, &reply) < 0) return fail("unhook");
  printf("unhook=%u\n", rc);
  hl_close(s);
  return 0;
}

}  // namespace

// Failure paths exit without tidying up; what they print is what counts.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: simtest_hl inquiry|stat|io|data|wfail DEV | netlink|rawio DISK\n");
    return 2;
  }
  setvbuf(stdout, nullptr, _IOLBF, 0);
  std::string op = argv[1];
  if (!hl_simulated()) {
    printf("not in a simulated host\n");
    return 1;
  }
  if (op == "inquiry") return inquiry(argv[2]);
  if (op == "stat") return stat_dev(argv[2]);
  if (op == "io") return io(argv[2]);
  if (op == "data") return data(argv[2]);
  if (op == "wfail") return wfail(argv[2]);
  if (op == "rawio") return rawio(argv[2]);
  if (op == "netlink") return netlink(argv[2]);
  return 2;
}
