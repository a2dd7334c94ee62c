// The module on simulated hosts: netlink requests from hmnl inside the host,
// writes through NBD with real clients (nbdcopy, qemu-io), images compared
// outside.  The bitmap file and the boot registry are laid out by the test,
// as the daemon would.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "bitmap_file.h"
#include "eventually.h"
#include "simhost.h"

namespace {

using testsupport::ExecResult;
using testsupport::SimHost;

const char kPG[] = "5fa1c2d3-0000-0000-0000-000000000000";
const char kSig[] = "5fa1c2d3";
const char kMG[] = "60000000-1111-2222-3333-444455556666";
const uint64_t kSize = 64ULL << 20;
const uint64_t kChunk = kt::kChunk;
const std::string kHmnl = testsupport::test_program("hmnl");

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string Region(const std::string& path, uint64_t off, size_t len) {
  std::string s(len, '\0');
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return "";
  fseek(f, (long)off, SEEK_SET);
  size_t n = fread(&s[0], 1, len, f);
  fclose(f);
  s.resize(n);
  return s;
}

void WriteAt(const std::string& path, uint64_t off, const std::string& data) {
  FILE* f = fopen(path.c_str(), "r+b");
  ASSERT_NE(nullptr, f);
  fseek(f, (long)off, SEEK_SET);
  fwrite(data.data(), 1, data.size(), f);
  fclose(f);
}

std::string Pattern(size_t len, unsigned seed) {
  std::string s(len, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < len; i++) {
    x = x * 1103515245u + 12345u;
    s[i] = static_cast<char>(x >> 24);
  }
  return s;
}

// A local file outside the host; the host sees it at the same path.
class TempFile {
 public:
  explicit TempFile(const std::string& data) {
    char tmpl[] = "/tmp/kernel_e2e_XXXXXX";
    int fd = mkstemp(tmpl);
    path_ = tmpl;
    if (fd >= 0) {
      (void)!write(fd, data.data(), data.size());
      close(fd);
    }
  }
  ~TempFile() { unlink(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::vector<std::string> HostArgs() {
  return {"--disk", "sdb:64M", "--lun", std::string("sdc:64M:") + kMG};
}

class E2E : public ::testing::Test {
 protected:
  // A host not yet started, with the bitmap file in place.
  void Make(uint32_t state = 0) {
    h_ = std::make_unique<SimHost>(HostArgs(), false);
    kt::BitmapLayout l;
    l.sectors = kSize / 512;
    l.state = state;
    h_->write_file(kt::BitmapPath("/boot/vyrbitmap", kPG), kt::BitmapFile(l));
  }
  ExecResult Nl(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {kHmnl};
    argv.insert(argv.end(), args.begin(), args.end());
    return h_->exec(argv);
  }
  void Protect() {
    ExecResult r = Nl({"add", kPG, "/dev/sdb", kSig, kMG, "/dev/sdc"});
    ASSERT_EQ(0, r.status) << r.out;
    ASSERT_NE(std::string::npos, r.out.find("retcode=0 ")) << r.out;
    r = Nl({"status", kPG});
    ASSERT_NE(std::string::npos, r.out.find(" bitmap=1 ")) << r.out;
  }
  bool Wait(int bit, bool set, int seconds) {
    ExecResult r = Nl({"wait", kPG, std::to_string(bit), set ? "set" : "clear",
                       std::to_string(seconds)});
    return r.status == 0;
  }
  ExecResult QemuIo(const std::string& disk, const std::string& cmd) {
    return h_->exec({"qemu-io", "-f", "raw", "-c", cmd, h_->nbd_uri(disk)});
  }
  static bool QemuOk(const ExecResult& r) {
    return r.status == 0 && r.out.find("error") == std::string::npos &&
           r.out.find("failed") == std::string::npos;
  }

  std::unique_ptr<SimHost> h_;
};

TEST_F(E2E, NbdWritesReachBothDisksWithTheSignatureAndTheGuardHolds) {
  Make();
  h_->start();
  Protect();

  std::string data = Pattern(kSize, 1);
  TempFile src(data);
  ExecResult r = h_->exec({"nbdcopy", src.path(), h_->nbd_uri("sdb")});
  ASSERT_EQ(0, r.status) << r.out;

  std::string p = ReadFile(h_->image("sdb")), m = ReadFile(h_->image("sdc"));
  ASSERT_EQ(kSize, p.size());
  EXPECT_TRUE(p == m) << "the mirror equals the primary";
  const char want[4] = {'\xd3', '\xc2', '\xa1', '\x5f'};
  EXPECT_EQ(0, memcmp(want, p.data() + 440, 4)) << "sector 0 carries the signature";
  EXPECT_EQ(data.substr(0, 440), p.substr(0, 440));
  EXPECT_EQ(data.substr(444), p.substr(444));

  uint64_t window = kSize - 2048 * 512;
  EXPECT_TRUE(QemuOk(QemuIo("sdc", "read " + std::to_string(window) + " 512")));
  EXPECT_FALSE(QemuOk(QemuIo("sdc", "read 0 512")));
  EXPECT_FALSE(QemuOk(QemuIo("sdc", "read " + std::to_string(window) + " 1024")));
  EXPECT_FALSE(QemuOk(QemuIo("sdc", "write -P 7 " + std::to_string(window) + " 512")));
  EXPECT_TRUE(QemuOk(QemuIo("sdb", "read 0 512"))) << "reads of the primary pass";

  // The module writes the bits in place before the data they cover.  A copy
  // of 64 MiB may take longer under load than the bitmap daemon lets a clean
  // chunk keep its bit, so the bits are those of two fresh writes, read at
  // once.
  std::string last = std::to_string(kSize - kChunk);
  ASSERT_TRUE(QemuOk(h_->exec({"qemu-io", "-f", "raw", "-c", "write -P 9 4096 4096", "-c",
                               "write -P 9 " + last + " 4096", h_->nbd_uri("sdb")})));
  std::string bm = h_->read_file(kt::BitmapPath("/boot/vyrbitmap", kPG));
  EXPECT_TRUE(kt::BitmapBit(bm, 0));
  EXPECT_TRUE(kt::BitmapBit(bm, kSize / kChunk - 1));
}

TEST_F(E2E, InitializeCopiesTheWholeDisk) {
  Make();
  // Data on the primary before it is protected: only a full copy brings it over.
  std::string data = Pattern(kSize, 2);
  {
    std::ofstream out(h_->image("sdb"), std::ios::binary | std::ios::trunc);
    out.write(data.data(), data.size());
  }
  h_->start();
  Protect();
  ASSERT_EQ(0, Nl({"cmd", "8", kPG}).status);
  ASSERT_TRUE(Wait(2, true, 120)) << "initialization finished";
  EXPECT_TRUE(ReadFile(h_->image("sdb")) == ReadFile(h_->image("sdc")));
  EXPECT_EQ(4u, kt::BitmapState(h_->read_file(kt::BitmapPath("/boot/vyrbitmap", kPG))) & 0xF);
}

TEST_F(E2E, MirrorFailureThenRecoveryCopiesOnlyDirtyChunks) {
  Make(4);   // both images zero: the mirror is equal, initialization finished
  h_->start();
  Protect();

  // A difference in a chunk nobody writes: a recovery must leave it alone.
  WriteAt(h_->image("sdc"), 20 * kChunk + 10, "PLANTED");
  ExecResult r = h_->simctl({"disk", "fail", "sdc", "write"});
  ASSERT_EQ(0, r.status) << r.out;
  EXPECT_TRUE(QemuOk(QemuIo("sdb", "write -P 0x5a " + std::to_string(3 * kChunk) + " 65536")))
      << "the master write succeeds though the mirror fails";
  EXPECT_TRUE(QemuOk(QemuIo("sdb", "write -P 0x6b " + std::to_string(9 * kChunk) + " 4096")));
  r = Nl({"status", kPG});
  EXPECT_NE(std::string::npos, r.out.find("mirror=0x2 ")) << r.out;   // Faulty only

  ASSERT_EQ(0, h_->simctl({"disk", "heal", "sdc"}).status);
  Protect();   // the daemon's Add Protection when the disk is back
  ASSERT_TRUE(Wait(6, true, 120)) << "recovery finished";
  EXPECT_EQ(std::string(65536, 0x5a), Region(h_->image("sdc"), 3 * kChunk, 65536));
  EXPECT_EQ(std::string(4096, 0x6b), Region(h_->image("sdc"), 9 * kChunk, 4096));
  EXPECT_EQ("PLANTED", Region(h_->image("sdc"), 20 * kChunk + 10, 7));
}

// A mirror another holder has (a mounted file system, an exclusive opener)
// is not ours: Add Protection leaves it out as a failed member, neither
// hooked nor written, and takes it once the holder lets go.
TEST_F(E2E, HeldMirrorIsNeitherHookedNorWritten) {
  Make(4);
  h_->start();
  WriteAt(h_->image("sdc"), kChunk, "THEIRS");
  ExecResult r = h_->simctl({"disk", "hold", "sdc"});
  ASSERT_EQ(0, r.status) << r.out;
  for (int i = 0; i < 2; i++) {   // a first add, and one that re-opens the failed member
    r = Nl({"add", kPG, "/dev/sdb", kSig, kMG, "/dev/sdc"});
    ASSERT_NE(std::string::npos, r.out.find("retcode=0 ")) << r.out;
    r = Nl({"status", kPG});
    EXPECT_NE(std::string::npos, r.out.find("mirror=0x2 ")) << "Faulty, not opened: " << r.out;
  }
  EXPECT_TRUE(QemuOk(QemuIo("sdb", "write -P 0x5a " + std::to_string(kChunk) + " 4096")));
  EXPECT_EQ("THEIRS", Region(h_->image("sdc"), kChunk, 6)) << "nothing written to the held disk";
  EXPECT_TRUE(QemuOk(QemuIo("sdc", "read 0 512"))) << "its own reads are not refused";
  std::string d = h_->simctl({"dmesg"}).out;
  EXPECT_NE(std::string::npos, d.find("bd_claim /dev/sdc failed -16")) << d;
  EXPECT_NE(std::string::npos, d.find("is held by another: not added")) << d;

  ASSERT_EQ(0, h_->simctl({"disk", "unhold", "sdc"}).status);
  Protect();
  r = Nl({"status", kPG});
  EXPECT_EQ(std::string::npos, r.out.find("mirror=0x2 ")) << r.out;
  EXPECT_TRUE(QemuOk(QemuIo("sdb", "write -P 0x6b " + std::to_string(2 * kChunk) + " 4096")));
  EXPECT_EQ(std::string(4096, 0x6b), Region(h_->image("sdc"), 2 * kChunk, 4096)) << "now mirrored";
  EXPECT_FALSE(QemuOk(QemuIo("sdc", "read 0 512"))) << "and guarded";
  r = h_->simctl({"disk", "hold", "sdc"});
  EXPECT_NE(0, r.status) << "the protection holds it now: " << r.out;
}

// "/etc/hmdevs.reg", read first and written by nobody, still names the
// disks of an old protection without the closing "?": the disk now at the
// primary's path does not hold its signature and the mirror's path is no
// identity, so neither is opened, hooked or written.
TEST_F(E2E, StaleRegistryPathsOpenNoDisk) {
  Make(4);
  h_->write_file("/etc/hmdevs.reg", std::string("/dev/sdb volume_id_{") + kPG + "} /dev/sdc volume_id_{" +
                                        kMG + "} line_end\n");
  h_->start();
  ExecResult r = Nl({"status", kPG});
  ASSERT_NE(std::string::npos, r.out.find("retcode=0 ")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("mirror=0x2 ")) << r.out;
  EXPECT_EQ(std::string::npos, r.out.find(" bitmap=1 ")) << "not running: " << r.out;
  EXPECT_TRUE(QemuOk(QemuIo("sdb", "write -P 0x5a " + std::to_string(kChunk) + " 4096")));
  EXPECT_EQ(std::string(4096, '\0'), Region(h_->image("sdc"), kChunk, 4096)) << "nothing written";
  EXPECT_TRUE(QemuOk(QemuIo("sdc", "read 0 512"))) << "not guarded";
  std::string d = h_->simctl({"dmesg"}).out;
  EXPECT_NE(std::string::npos, d.find("/dev/sdb does not hold signature 5fa1c2d3: left closed")) << d;
}

TEST_F(E2E, CrashDuringWritesThenTheRegistryBringsTheProtectionBack) {
  Make(4);   // the mirror starts equal (both images zero), initialization finished
  h_->write_file("/boot/hmdevs.reg", kt::RegistryLine("/dev/sdb", kPG, "/dev/sdc", kMG));
  h_->start();
  Protect();

  // Each write acknowledged by the client is logged after it returned.
  std::string uri = h_->nbd_uri("sdb");
  std::string loop =
      "i=0; while [ $i -lt 400 ]; do "
      "qemu-io -f raw -c \"write -P $(( i % 200 + 1 )) $(( i * 65536 )) 65536\" '" + uri +
      "' >/dev/null 2>&1 && echo $i >> /var/tmp/acked; i=$((i+1)); done";
  std::thread load([&] { h_->exec({"sh", "-c", loop}); });
  // The crash comes once some writes were acknowledged, with most still to come.
  EXPECT_TRUE(testsupport::eventually(
      [&] {
        std::string acked = h_->read_file("/var/tmp/acked");
        return std::count(acked.begin(), acked.end(), '\n') >= 20;
      },
      std::chrono::seconds(60), std::chrono::milliseconds(20)));
  h_->crash();
  load.join();

  std::string acked = h_->read_file("/var/tmp/acked");
  std::vector<int> writes;
  {
    std::istringstream in(acked);
    int i;
    while (in >> i) writes.push_back(i);
  }
  ASSERT_FALSE(writes.empty()) << "no write was acknowledged before the crash";

  h_->start();
  ExecResult r = Nl({"status", kPG});
  ASSERT_NE(std::string::npos, r.out.find("retcode=0 ")) << "re-created from the registry: " << r.out;
  EXPECT_NE(std::string::npos, r.out.find("nr_vol=2 ")) << r.out;
  Protect();
  ASSERT_TRUE(Wait(6, true, 120)) << "recovery after the crash finished";

  for (int i : writes) {
    std::string want(65536, static_cast<char>(i % 200 + 1));
    if (i == 0) memcpy(&want[440], "\xd3\xc2\xa1\x5f", 4);
    ASSERT_EQ(want, Region(h_->image("sdb"), (uint64_t)i * 65536, 65536)) << "primary, write " << i;
    ASSERT_EQ(want, Region(h_->image("sdc"), (uint64_t)i * 65536, 65536)) << "mirror, write " << i;
  }
}

// Requests that change one protection's members, sent at once from several
// sockets without waiting for replies, as zelmird's threads and volreadd may.
TEST_F(E2E, RacingRequestsOnOneProtectionLeaveTheHostAndTheMirrorWhole) {
  Make(4);
  h_->start();
  Protect();
  struct Race {
    const char* before;   // sent one by one, each reply awaited
    const char* at_once;
  };
  const Race races[] = {
      {"-", "1,21"},       // Add with Fail mirror
      {"-", "21,22"},      // Fail with Up mirror
      {"-", "1,24m"},      // Add with the faulty-disk update
      {"-", "21,24m"},     // Fail with the faulty-disk update
      {"1", "2,21"},       // Stop with Fail
      {"1", "2,3,21"},     // Stop and Del with Fail
      {"-", "1,21"},
  };
  const int kRounds = 200;
  for (const Race& r : races) {
    ExecResult x = Nl({"race", std::to_string(kRounds), r.before, r.at_once, kPG, "/dev/sdb",
                       kSig, kMG, "/dev/sdc"});
    ASSERT_EQ(0, x.status) << r.at_once << ": " << x.out;
    x = Nl({"status", kPG});
    ASSERT_EQ(0, x.status) << "the module answers after " << r.at_once << ": " << x.out;
    EXPECT_TRUE(x.out.find("retcode=0 ") != std::string::npos ||
                x.out.find("retcode=2 ") != std::string::npos)
        << x.out;
  }

  // The daemon's Add Protection when the disk is back: once nothing of the
  // last failure is in flight, the mirror joins again and is written.
  bool joined = testsupport::eventually(
      [&] {
        Nl({"add", kPG, "/dev/sdb", kSig, kMG, "/dev/sdc"});
        ExecResult s = Nl({"status", kPG});
        return s.out.find("retcode=0 ") != std::string::npos &&
               s.out.find("mirror=0x4 ") != std::string::npos;
      },
      std::chrono::seconds(60), std::chrono::milliseconds(500));
  ASSERT_TRUE(joined) << Nl({"status", kPG}).out;
  const uint64_t off = 40 * kChunk;
  ASSERT_TRUE(QemuOk(QemuIo("sdb", "write -P 0x3c " + std::to_string(off) + " 65536")));
  EXPECT_EQ(std::string(65536, 0x3c), Region(h_->image("sdb"), off, 65536));
  EXPECT_EQ(std::string(65536, 0x3c), Region(h_->image("sdc"), off, 65536));
}

}  // namespace
