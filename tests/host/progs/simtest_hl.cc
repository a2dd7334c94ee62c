// Run inside a simulated host by the host-layer tests: drives the layer as
// the system's programs do and prints what it saw.
//   simtest_hl inquiry DEV   standard INQUIRY and VPD 0x83 over SG_IO
//   simtest_hl stat DEV      stat, fstat and the size requests
//   simtest_hl io DEV        O_DIRECT write and read back
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
    fprintf(stderr, "usage: simtest_hl inquiry|stat|io DEV | netlink DISK\n");
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
  if (op == "netlink") return netlink(argv[2]);
  return 2;
}
