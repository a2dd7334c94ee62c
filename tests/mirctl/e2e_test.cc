// mirctl against a running zelmird and the real module on simulated hosts.
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "eventually.h"
#include "hm_unix.h"
#include "simhost.h"

namespace {

using testsupport::ExecResult;
using testsupport::SimHost;

const std::string kMirrorGuid = "6f1d2c3b-aaaa-bbbb-cccc-0123456789ab";
const std::string kSmallGuid = "7a2e3d4c-1111-2222-3333-abcdefabcdef";
const char kMirctl[] = "/usr/local/zelmir/bin/mirctl";
const char kZelmird[] = "/usr/local/zelmir/bin/zelmird";

std::string join(const std::vector<std::string>& v) {
  std::string s;
  for (const std::string& a : v) s += (s.empty() ? "" : " ") + a;
  return s;
}

// The run of characters from @set that follows @key in @out ("" when none).
std::string token_after(const std::string& out, const std::string& key,
                        const char* set) {
  size_t at = out.find(key);
  if (at == std::string::npos) return "";
  at += key.size();
  return out.substr(at, out.find_first_not_of(set, at) - at);
}

// The disk signature (bytes 440 to 443) of a host's disk, read from its image.
uint32_t image_signature(const SimHost& h, const std::string& disk) {
  uint32_t sig = 0xffffffffu;
  int fd = open(h.image(disk).c_str(), O_RDONLY);
  if (fd >= 0) {
    if (pread(fd, &sig, sizeof(sig), 440) != sizeof(sig)) sig = 0xffffffffu;
    close(fd);
  }
  return sig;
}

class MirctlHost : public ::testing::Test {
 protected:
  explicit MirctlHost(const std::vector<std::string>& disks) : h_(disks) {}

  // What the package places besides the programs, then the daemon, until
  // it serves.
  void SetUp() override {
    ExecResult r = h_.exec({"mkdir", "-p", "/usr/local/zelmir/conf", "/boot/vyrbitmap"});
    ASSERT_EQ(r.status, 0) << r.out;
    r = h_.exec({kZelmird});
    ASSERT_EQ(r.status, 0) << r.out;
    ASSERT_TRUE(testsupport::eventually(
        [&] { return h_.exec({"test", "-S", "/var/run/hm_unix"}).status == 0; },
        std::chrono::seconds(10)))
        << "zelmird does not serve";
  }

  ExecResult mirctl(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {kMirctl};
    argv.insert(argv.end(), args.begin(), args.end());
    return h_.exec(argv);
  }

  // Runs a command and checks one line of its output and its exit status.
  void expect(const std::vector<std::string>& args, const std::string& line,
              int status = 0) {
    ExecResult r = mirctl(args);
    EXPECT_NE(r.out.find(line), std::string::npos)
        << "mirctl " << join(args) << "\nwanted: " << line << "\ngot:\n" << r.out;
    EXPECT_EQ(r.status, status) << "mirctl " << join(args);
  }

  // Polls the status of the primary until its copy has finished.
  bool wait_sync_finished(const std::string& primary) {
    return testsupport::eventually(
        [&] {
          ExecResult r = mirctl({"disk", "stat", primary});
          return r.out.find("Sync Status:\tSync Finished") != std::string::npos;
        },
        std::chrono::seconds(60), std::chrono::milliseconds(500));
  }

  SimHost h_;
};

// A plain disk, a LUN as large, a smaller LUN and a second plain disk.
class MirctlWords : public MirctlHost {
 protected:
  MirctlWords()
      : MirctlHost({"--disk", "sdb:16M", "--lun", "sdc:16M:" + kMirrorGuid, "--lun",
                    "sdd:8M:" + kSmallGuid, "--disk", "sde:16M"}) {}
};

struct Row {
  std::vector<std::string> args;
  std::string line;  // expected somewhere in the output
  int status;
};

TEST_F(MirctlWords, EveryWordAgainstTheDaemon) {
  const Row refused[] = {
      {{"disk", "list"}, "Disk:\t/dev/sdb\n", 0},
      {{"disk", "list"}, "UVO ZELSolution Guid: " + kMirrorGuid, 0},
      {{"disk", "protect", "primary=/dev/sdc", "mirror=/dev/sdd"},
       "primary volume: /dev/sdc must not come from ZELSolution", 0},
      {{"disk", "protect", "primary=/dev/sdb", "mirror=/dev/sde"},
       "mirror volume: /dev/sde not come from ZELSolution", 0},
      {{"disk", "protect", "primary=/dev/sdb", "mirror=/dev/sdd"},
       "Failed:\nprimary: /dev/sdb size: 16777216 Bytes\nmirror: /dev/sdd size: 8388608 Bytes too small", 0},
      {{"disk", "protect", "primary=/dev/sdb", "mirror=/dev/sdx"}, "mirror disk /dev/sdx not exist", 0},
      {{"disk", "protect", "primary=/dev/sdb"}, "tool mirctl must use like:", 0},
  };
  for (const Row& r : refused) expect(r.args, r.line, r.status);
  // No refused protect may have signed a disk.
  EXPECT_EQ(image_signature(h_, "sdb"), 0u);
  EXPECT_EQ(image_signature(h_, "sdc"), 0u);

  ExecResult p = mirctl({"disk", "protect", "primary=/dev/sdb", "mirror=/dev/sdc"});
  EXPECT_NE(p.out.find("add protect: primary=/dev/sdb mirror=/dev/sdc success"), std::string::npos)
      << p.out;
  std::string changed = token_after(p.out, "check_volume_signature /dev/sdb signature change to: ",
                                    "0123456789abcdef");
  ASSERT_FALSE(changed.empty()) << p.out;
  uint32_t sig = static_cast<uint32_t>(std::stoul(changed, nullptr, 16));
  EXPECT_NE(sig, 0u);
  EXPECT_EQ(image_signature(h_, "sdb"), sig);

  const Row protected_rows[] = {
      {{"disk", "protect", "primary=/dev/sdb", "mirror=/dev/sdc"},
       "add protect: primary=/dev/sdb mirror=/dev/sdc failed: Primary volume is already in protection", 0},
      {{"disk", "protect", "primary=/dev/sde", "mirror=/dev/sdc"},
       "add protect: primary=/dev/sde mirror=/dev/sdc failed: Primary volume is already in protection", 0},
      {{"disk", "stat", "/dev/sdb"}, "cmd: GET_STATUS success", 0},
      {{"disk", "stat", "/dev/sdb"}, "Sync Status:\tUnSync", 0},
      {{"disk", "stat", "/dev/sde"}, "cmd: GET_STATUS failed: Volume not in protection", 0},
      {{"disk", "statall"}, "Run Status: \tRunning", 0},
      {{"disk", "stopsync", "/dev/sdb"}, "cmd: DISK_STOP_SYNC failed: Hmdev not in syncing", 0},
      {{"disk", "sync", "/dev/sdb", "speed=200000"}, "param: speed=200000", 0},
  };
  for (const Row& r : protected_rows) expect(r.args, r.line, r.status);
  ASSERT_TRUE(wait_sync_finished("/dev/sdb"));

  const Row rest[] = {
      {{"disk", "stat", "/dev/sdb"}, "Sync Percent:\t100%", 0},
      {{"disk", "sync", "/dev/sdb"}, "cmd: DISK_SYNC success", 0},
      {{"disk", "resync", "/dev/sdb"}, "cmd: DISK_RESYNC success", 0},
      {{"disk", "fail", "sdc"}, "cmd: UN_CMD_DISK_FAIL success", 0},
      {{"disk", "up", "sdc"}, "cmd: UN_CMD_DISK_UP success", 0},
      {{"disk", "del", "sdc"}, "cmd: UN_CMD_DISK_DEL success", 0},
      {{"disk", "add", "sdc"}, "cmd: UN_CMD_DISK_ADD success", 0},
      {{"disk", "update", "/dev/sdb"}, "update disk /dev/sdb success", 0},
      {{"disk", "update", "/dev/sdc"}, "update disk /dev/sdc success", 0},
      {{"zelmird", "debugon"}, "do cmd UN_CMD_ZELMIRD_DEBUG_ON success", 0},
      {{"zelmird", "debugoff"}, "do cmd UN_CMD_ZELMIRD_DEBUG_OFF success", 0},
      {{"zelmird", "debug", "3"}, "do cmd UN_CMD_ZELMIRD_DEBUG_SET success", 0},
      {{"zelmird", "debug", "8"}, "debug level must be in range [0, 7]", 0},
      {{"disk", "frobnicate"}, "wrong arg: frobnicate", 255},
      {{"disk", "list", "-v"}, "zel-linux-hostmirror version:\t1.5-99", 0},
  };
  for (const Row& r : rest) expect(r.args, r.line, r.status);
  ASSERT_TRUE(wait_sync_finished("/dev/sdb"));

  ExecResult st = mirctl({"disk", "stat", "/dev/sdb"});
  std::string index = token_after(st.out, "Index ID:\t", "0123456789");
  ASSERT_FALSE(index.empty()) << st.out;
  const Row unprotect[] = {
      {{"disk", "unprotect", "IndexID=x"}, "wrong arg: IndexID=x", 0},
      {{"disk", "unprotect", "IndexID=" + index}, "index_cmd send unprotect cmd\ncmd: CANCEL_DISK_PROTECT success", 0},
      {{"disk", "unprotect", "/dev/sdb"}, "cmd: CANCEL_DISK_PROTECT failed: Volume not in protection", 0},
      {{"disk", "unprotect", "IndexID=" + index}, "cmd: GET_HMDEV_INFO failed: Hmdev not found", 0},
  };
  for (const Row& r : unprotect) expect(r.args, r.line, r.status);

  // Protected again after the unprotect, then unprotected by its path.
  expect({"disk", "protect", "primary=/dev/sdb", "mirror=/dev/sdc"},
         "add protect: primary=/dev/sdb mirror=/dev/sdc success");
  expect({"disk", "unprotect", "/dev/sdb"}, "cmd: CANCEL_DISK_PROTECT success");

  ExecResult k = h_.exec({"sh", "-c", "kill $(cat /var/run/zelmir.pid)"});
  ASSERT_EQ(k.status, 0) << k.out;
  EXPECT_TRUE(testsupport::eventually(
      [&] {
        ExecResult r = mirctl({"disk", "statall"});
        return r.out.find(": make sure zelmird is running") != std::string::npos;
      },
      std::chrono::seconds(10), std::chrono::milliseconds(200)));
}

// Two plain disks and a LUN.
class MirctlMarkUpdate : public MirctlHost {
 protected:
  MirctlMarkUpdate()
      : MirctlHost({"--disk", "sdb:64M", "--lun", "sdc:64M:" + kMirrorGuid, "--disk", "sde:64M"}) {}
};

TEST_F(MirctlMarkUpdate, MarkSignsAndProtectKeepsSignaturesUnique) {
  expect({"disk", "mark", "/dev/sde", "Signature=1a2b3c4d"}, "");
  EXPECT_EQ(image_signature(h_, "sde"), 0x1a2b3c4du);
  expect({"disk", "list"}, "Disk identifier: 0x1a2b3c4d");
  expect({"disk", "mark", "/dev/sde", "Signature=zz"}, "wrong arg: Signature=zz");
  expect({"disk", "mark", "/dev/sde"}, "tool mirctl must use like:");
  EXPECT_EQ(image_signature(h_, "sde"), 0x1a2b3c4du);

  // sdb takes sde's signature; protect must give it one of its own.
  expect({"disk", "mark", "/dev/sdb", "Signature=1a2b3c4d"}, "");
  ExecResult p = mirctl({"disk", "protect", "primary=/dev/sdb", "mirror=/dev/sdc"});
  EXPECT_NE(p.out.find("check_volume_signature /dev/sdb signature change to: "), std::string::npos)
      << p.out;
  EXPECT_NE(p.out.find("add protect: primary=/dev/sdb mirror=/dev/sdc success"), std::string::npos)
      << p.out;
  uint32_t sig = image_signature(h_, "sdb");
  EXPECT_NE(sig, 0x1a2b3c4du);
  EXPECT_NE(sig, 0u);
  EXPECT_EQ(image_signature(h_, "sde"), 0x1a2b3c4du);
  // A protected primary keeps its registered signature whatever is written.
  expect({"disk", "mark", "/dev/sdb", "Signature=99"},
         "cmd: mark Failed to write volume: /dev/sdb signature");
  EXPECT_EQ(image_signature(h_, "sdb"), sig);
  // The mirror is guarded now: its signature cannot be written, and says so.
  expect({"disk", "mark", "/dev/sdc", "Signature=99"},
         "cmd: mark Failed to write volume: /dev/sdc signature");
  // It holds what the primary's sector 0 got: the primary's signature.
  EXPECT_EQ(image_signature(h_, "sdc"), sig);
}

TEST_F(MirctlMarkUpdate, UpdateAfterTheMirrorIsRenamed) {
  expect({"disk", "protect", "primary=/dev/sdb", "mirror=/dev/sdc"},
         "add protect: primary=/dev/sdb mirror=/dev/sdc success");
  ExecResult r = h_.simctl({"disk", "rename", "sdc", "sdf"});
  ASSERT_EQ(r.status, 0) << r.out;
  expect({"disk", "update", "/dev/sdf"}, "update disk /dev/sdf success");
  expect({"disk", "stat", "/dev/sdb"}, "/dev/sdf");
  expect({"disk", "update", "/dev/sdc"}, "cmd: update Failed to get volume /dev/sdc guid");
}

}  // namespace

namespace {

// The requests mirctl builds from real disks, caught by a stand-in daemon
// inside the host (mirctl_probe).
class MirctlRequests : public ::testing::Test {
 protected:
  MirctlRequests() : h_({"--disk", "sdb:16M", "--lun", "sdc:16M:" + kMirrorGuid}) {}

  void SetUp() override {
    ExecResult r = h_.exec({kMirctl, "disk", "mark", "/dev/sdb", "Signature=5d3f2a10"});
    ASSERT_EQ(r.status, 0) << r.out;
  }

  // The requests of one command, as hex texts.
  std::vector<std::string> requests(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {testsupport::test_program("mirctl_probe")};
    argv.insert(argv.end(), args.begin(), args.end());
    ExecResult r = h_.exec(argv);
    EXPECT_EQ(r.status, 0) << r.out;
    std::vector<std::string> reqs;
    for (size_t at = r.out.find("REQ "); at != std::string::npos; at = r.out.find("REQ ", at + 1))
      reqs.push_back(r.out.substr(at + 4, r.out.find('\n', at) - at - 4));
    return reqs;
  }

  SimHost h_;
};

std::string hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (unsigned char c : bytes) {
    s += digits[c >> 4];
    s += digits[c & 15];
  }
  return s;
}

template <typename T>
std::string raw(const T& v) {
  return std::string(reinterpret_cast<const char*>(&v), sizeof(v));
}

std::string head(uint8_t cmd, size_t body_len) {
  hm_header_t h = {};
  h.cmd = cmd;
  h.body_len = static_cast<uint16_t>(body_len);
  return raw(h);
}

hm_un_desc_t desc(uint8_t kind, uint16_t off, uint16_t len) {
  hm_un_desc_t d = {};
  d.kind = kind;
  d.path_off = off;
  d.path_len = len;
  return d;
}

// A primary descriptor as mirctl sends it: the descriptor, 16 zero bytes,
// the path.
std::string primary_request(uint8_t cmd, uint32_t param) {
  hm_un_desc_t d = desc(1, 32, 8);
  d.id.signature = 0x5d3f2a10;
  d.param = param;
  return hex(head(cmd, 40) + raw(d) + std::string(16, '\0') + "/dev/sdb");
}

TEST_F(MirctlRequests, DiskCommandsCarrySignatureAndSpeed) {
  EXPECT_EQ(requests({"disk", "sync", "/dev/sdb", "speed=50"}),
            std::vector<std::string>{primary_request(DISK_SYNC, 50)});
  EXPECT_EQ(requests({"disk", "resync", "/dev/sdb", "speed=50"}),
            std::vector<std::string>{primary_request(DISK_RESYNC, 0)});
  EXPECT_EQ(requests({"disk", "stat", "/dev/sdb"}),
            std::vector<std::string>{primary_request(GET_STATUS, 0)});
  EXPECT_EQ(requests({"disk", "unprotect", "/dev/sdb"}),
            std::vector<std::string>{primary_request(CANCEL_DISK_PROTECT, 0)});
}

TEST_F(MirctlRequests, ProtectAndUpdateBodies) {
  hm_un_protect_req_t p = {};
  p.mode = 1;
  p.primary = desc(1, 36, 8);
  p.primary.id.signature = 0x5d3f2a10;
  p.mirror = desc(2, 44, 8);
  p.mirror.id.g.guid_off = 52;
  p.mirror.id.g.guid_len = 36;
  std::string body = raw(p) + "/dev/sdb/dev/sdc" + kMirrorGuid + std::string(4, '\0');
  EXPECT_EQ(requests({"disk", "protect", "primary=/dev/sdb", "mirror=/dev/sdc"}),
            std::vector<std::string>{hex(head(SET_DISK_PROTECT, body.size()) + body)});

  hm_un_update_req_t u = {};
  u.mode = 1;
  u.disk = desc(2, 16, 8);
  u.disk.id.g.guid_off = 24;
  u.disk.id.g.guid_len = 36;
  body = raw(u) + "/dev/sdc" + kMirrorGuid;
  EXPECT_EQ(requests({"disk", "update", "/dev/sdc"}),
            std::vector<std::string>{hex(head(UN_CMD_UPDATE_DISK, body.size()) + body)});

  u.disk = desc(1, 16, 8);
  u.disk.id.signature = 0x5d3f2a10;
  body = raw(u) + "/dev/sdb";
  EXPECT_EQ(requests({"disk", "update", "/dev/sdb"}),
            std::vector<std::string>{hex(head(UN_CMD_UPDATE_DISK, body.size()) + body)});
}

}  // namespace
