// The control server over the stand-in kernel, in a network namespace of its
// own (its udev announcements must not reach this machine): malformed
// requests get a clear error and the server goes on serving.
#include <cerrno>
#include <cstring>
#include <fstream>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "ctl_proto.h"
#include "ctl_server.h"
#include "host_state.h"
#include "namespaces.h"

namespace {

using namespace ctlproto;

std::string str_payload(std::initializer_list<std::string> v) {
  Writer w;
  for (const auto& s : v) w.str(s);
  return w.take();
}

// One raw exchange on a fresh connection; the reply's result, or 1 when the
// server closed without one.
int raw_exchange(const std::string& sock, const std::string& bytes, std::string* text) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  strcpy(sa.sun_path, sock.c_str());
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0) return 2;
  write_full(fd, bytes.data(), bytes.size());
  shutdown(fd, SHUT_WR);  // all there is: a short request ends here
  ReplyHeader h;
  int rc = 1;
  if (read_full(fd, &h, sizeof h) == 0 && check_reply(h) == 0) {
    text->assign(h.len, '\0');
    read_full(fd, text->data(), h.len);
    rc = h.result;
  }
  close(fd);
  return rc;
}

std::string header(uint32_t magic, uint16_t op, uint16_t flags, uint32_t len) {
  RequestHeader h{magic, op, flags, len};
  return std::string(reinterpret_cast<char*>(&h), sizeof h);
}

TEST(SimCtlServer, MalformedRequestsGetClearErrors) {
  std::string out = testsupport::run_isolated(CLONE_NEWNET, [] {
    char t[] = "/tmp/simctlsrv-XXXXXX";
    std::string dir = mkdtemp(t);
    std::string img = dir + "/sdb.img";
    close(open(img.c_str(), O_CREAT | O_WRONLY, 0644));
    truncate(img.c_str(), 1 << 20);
    std::ofstream(dir + "/host.conf") << "disk sdb " << img << " 1048576 8:16\n";
    sim::make_dirs(dir + "/dev");
    sim::TreePaths paths{dir + "/sys", dir + "/dev", dir + "/partitions", dir + "/devices"};
    sim::HostState host(dir + "/host.conf", paths);
    std::string err, r;
    if (host.boot(&err) < 0) return "boot: " + err;
    sim::CtlServer ctl(&host);

    struct {
      const char* what;
      uint16_t op;
      std::string payload;
      int want;
    } cases[] = {
        {"resolve of a disk", kResolve, str_payload({"/dev/sdb"}), 0},
        {"resolve with trailing bytes", kResolve, str_payload({"/dev/sdb"}) + "x", -EINVAL},
        {"resolve outside /dev", kResolve, str_payload({"/etc/passwd"}), -ENOENT},
        {"resolve climbing out", kResolve, str_payload({"/dev/../etc/sdb"}), -ENOENT},
        {"resolve of a string longer than sent", kResolve, std::string("\xff\x00\x00\x00/dev", 8), -EINVAL},
        {"SG_IO with no payload", kSgIo, "", -EINVAL},
        {"disks with a payload", kDisks, "x", -EINVAL},
        {"add with a name too long for the frame", kDiskAdd, str_payload({std::string(100, 'a')}), -EINVAL},
        {"add of a path", kDiskAdd, [] { Writer w; w.str("../x"); w.u64(1 << 20); w.str(""); return w.take(); }(), -EINVAL},
        {"add with a size off sectors", kDiskAdd, [] { Writer w; w.str("sdx"); w.u64(1000); w.str(""); return w.take(); }(), -EINVAL},
        {"add with a GUID holding a blank", kDiskAdd, [] { Writer w; w.str("sdx"); w.u64(1 << 20); w.str("a b"); return w.take(); }(), -EINVAL},
        {"add of a disk there already", kDiskAdd, [] { Writer w; w.str("sdb"); w.u64(1 << 20); w.str(""); return w.take(); }(), -EEXIST},
        {"fail with an unknown mode", kDiskFail, [] { Writer w; w.str("sdb"); w.u8(9); return w.take(); }(), -EINVAL},
        {"remove of no disk", kDiskRemove, str_payload({"nosuch"}), -ENXIO},
        {"rename to a path", kDiskRename, str_payload({"sdb", "a/b"}), -EINVAL},
        {"insmod of no file", kInsmod, str_payload({"/nonexistent.so"}), -ENOENT},
        {"rmmod with nothing loaded", kRmmod, "", -ENOENT},
        {"unknown op", 99, "", -EBADMSG},
    };
    for (const auto& c : cases) {
      std::string reply;
      int rc = ctl.handle(c.op, c.payload, &reply);
      if (rc != c.want)
        r += std::string(c.what) + ": " + std::to_string(rc) + " (" + reply + "); ";
      else if (rc < 0 && reply.empty())
        r += std::string(c.what) + ": no error text; ";
    }

    std::string sock = dir + "/ctl.sock";
    if (ctl.start(sock) < 0) return r + "cannot listen";
    std::string text;
    if (raw_exchange(sock, header(0x11111111, kDisks, 0, 0), &text) != -EBADMSG) r += "bad magic; ";
    if (raw_exchange(sock, header(kRequestMagic, kDisks, 0, kMaxRequest + 1), &text) != -EMSGSIZE)
      r += "oversized; ";
    if (raw_exchange(sock, header(kRequestMagic, kDisks, 0, 100) + "short", &text) != 1)
      r += "cut-short request was answered; ";
    int result;
    std::string body;
    if (call(sock.c_str(), kDisks, "", &result, &body) != 0 || result != 0 ||
        body.find("sdb") == std::string::npos)
      r += "server stopped serving; ";
    sim::remove_tree(dir);
    return r.empty() ? std::string("ok") : r;
  });
  EXPECT_EQ(out, "ok");
}

}  // namespace
