// The loaded module in this process: simulated disks on temporary images,
// netlink datagrams to the kernel's endpoint, block I/O through
// simk::user_io.  Each test runs in its own process (ctest), inside a mount
// namespace of its own with a tmpfs over /boot, so the module's fixed paths
// never reach this machine's files.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <cstddef>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "bitmap_file.h"
#include "eventually.h"
#include "hm_nl.h"
#include "nl_client.h"
#include "namespaces.h"
#include "sim/kernel.h"
// Last: the emulation's internal header brings the kernel's own headers.
#include "internal.h"

namespace {

using Clock = std::chrono::steady_clock;

const char kPG[] = "5fa1c2d3-0000-0000-0000-000000000000";   // primary's signature GUID
const uint32_t kSig = 0x5fa1c2d3;
const char kMG[] = "60000000-1111-2222-3333-444455556666";   // the mirror LUN
const uint64_t kSize = 16ULL << 20;
const uint64_t kSectors = kSize / 512;
const uint64_t kChunkBytes = kt::kChunk;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), data.size());
}

std::string Pattern(size_t len, uint8_t seed) {
  std::string s(len, '\0');
  for (size_t i = 0; i < len; i++) s[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 9)) & 0xff);
  return s;
}

// Stands between the module and a disk's driver.  The module keeps the
// function a queue had when it opened the disk (or created the bitmap on
// it), so every clone, copy read and bitmap page write it sends there passes
// through here: the bios the test picks are held until it releases them, or
// failed.  One gate per test process.
struct Gate {
  enum Verdict { kPass, kHold, kFail };
  struct request_queue* q = nullptr;
  ::make_request_fn* fn = nullptr;
  ::unplug_fn* unplug = nullptr;
  std::mutex m;
  std::vector<struct bio*> held;
  std::function<Verdict(struct bio*)> pick;
  // Unplugs made by a copy thread: it unplugs the members before each sleep
  // in which it waits for requests in flight.
  std::atomic<int> copy_unplugs{0};

  static int MakeRequest(struct request_queue* q, struct bio* b);
  static void Unplug(struct request_queue* q);
  void Install(struct request_queue* queue) {
    q = queue;
    fn = q->make_request_fn;
    unplug = q->unplug_fn;
    q->make_request_fn = MakeRequest;
    q->unplug_fn = Unplug;
  }
  size_t Held() {
    std::lock_guard<std::mutex> l(m);
    return held.size();
  }
  // Lets every held bio go on to the driver and picks nothing more.
  void Release() {
    std::vector<struct bio*> go;
    {
      std::lock_guard<std::mutex> l(m);
      pick = nullptr;
      go.swap(held);
    }
    for (struct bio* b : go) fn(q, b);
    if (unplug) unplug(q);
  }
};
Gate g_gate;

int Gate::MakeRequest(struct request_queue* q, struct bio* b) {
  Verdict v = kPass;
  {
    std::lock_guard<std::mutex> l(g_gate.m);
    if (g_gate.pick) v = g_gate.pick(b);
    if (v == kHold) {
      g_gate.held.push_back(b);
      return 0;
    }
  }
  if (v == kFail) {
    b->bi_size = 0;
    bio_endio(b, -EIO);
    return 0;
  }
  return g_gate.fn(q, b);
}

void Gate::Unplug(struct request_queue* q) {
  if (strncmp(current->comm, "hmsync_", 7) == 0) g_gate.copy_unplugs++;
  if (g_gate.unplug) g_gate.unplug(q);
}

struct request_queue* DiskQueue(const std::string& name) {
  struct block_device* bdev = simlinux::bdev_lookup(name);
  if (!bdev) return nullptr;
  struct request_queue* q = bdev_get_queue(bdev);
  bdput(bdev);
  return q;
}

class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace";
    std::string why;
    ASSERT_TRUE(testsupport::private_namespaces(0, &why) &&
                testsupport::mount_tmpfs("/boot", "size=128m", &why))
        << why;
    if (access("/etc/hmdevs.reg", F_OK) == 0) GTEST_SKIP() << "this machine has /etc/hmdevs.reg";
    mkdir("/boot/vyrbitmap", 0755);
    char tmpl[] = "/tmp/kernel_module_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    dir_ = tmpl;
    mkdir((dir_ + "/run").c_str(), 0755);
    ASSERT_EQ(0, simk::boot(dir_ + "/run"));
    booted_ = true;
  }

  void TearDown() override {
    if (booted_ && HasFailure()) {
      std::string log = simk::dmesg();
      if (log.size() > 6000) log = log.substr(log.size() - 6000);
      fprintf(stderr, "---- kernel log (tail) ----\n%s\n", log.c_str());
    }
    if (booted_) simk::shutdown();
    if (!dir_.empty()) (void)!system(("rm -rf " + dir_).c_str());
  }

  std::string ImagePath(const std::string& name) { return dir_ + "/" + name + ".img"; }

  void AddDisk(const std::string& name, unsigned minor, const std::string& guid,
               const std::string& content = "") {
    std::string img = ImagePath(name);
    int fd = open(img.c_str(), O_CREAT | O_RDWR | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    if (!content.empty()) {
      ASSERT_EQ((ssize_t)content.size(), pwrite(fd, content.data(), content.size(), 0));
    }
    ASSERT_EQ(0, ftruncate(fd, kSize));
    close(fd);
    simk::DiskSpec d;
    d.name = name;
    d.image = img;
    d.size = kSize;
    d.major = 8;
    d.minor = minor;
    d.guid = guid;
    ASSERT_EQ(0, simk::disk_add(d));
  }

  void Disks(const std::string& primary_content = "") {
    AddDisk("sdb", 16, "", primary_content);
    AddDisk("sdc", 32, kMG);
  }

  void WriteBitmap(uint32_t state = 0, uint64_t sectors = kSectors) {
    kt::BitmapLayout l;
    l.sectors = sectors;
    l.state = state;
    WriteFile(kt::BitmapPath("/boot/vyrbitmap", kPG), kt::BitmapFile(l));
  }
  std::string Bitmap() { return ReadFile(kt::BitmapPath("/boot/vyrbitmap", kPG)); }

  void Load() { ASSERT_EQ(0, simk::module_load(ZELMIR_SO)); }

  nlc::Reply SendMsg(const nlc::Bytes& msg, int timeout_ms = 5000) {
    auto t = nlc::UnixTransport(dir_ + "/run", ++port_);
    return nlc::Exchange(*t, msg, timeout_ms);
  }
  nlc::Reply Send(uint8_t cmd, const nlc::Bytes& body, int timeout_ms = 5000) {
    return SendMsg(nlc::Message(cmd, body, HM_NL_MAGIC, port_ + 1), timeout_ms);
  }
  // Sends msg and waits until the module's input has returned from it, by
  // when any reply has been sent: true when one came.
  bool Answered(const nlc::Bytes& msg) {
    auto t = nlc::UnixTransport(dir_ + "/run", ++port_);
    unsigned long before = simlinux::netlink_inputs_done();
    EXPECT_TRUE(t->Send(msg));
    EXPECT_TRUE(testsupport::eventually([&] { return simlinux::netlink_inputs_done() > before; },
                                        std::chrono::seconds(5), std::chrono::milliseconds(1)));
    uint8_t buf[4096];
    return t->Recv(buf, sizeof(buf), 0) > 0;
  }

  nlc::Volume Primary() {
    nlc::Volume v;
    v.uuid = kPG;
    v.path = "/dev/sdb";
    v.signature = kSig;
    v.sectors = kSectors;
    return v;
  }
  nlc::Volume Mirror() {
    nlc::Volume v;
    v.uuid = kMG;
    v.path = "/dev/sdc";
    v.sectors = kSectors;
    return v;
  }
  nlc::Volume Key() {
    nlc::Volume v;
    v.uuid = kPG;
    v.path = "/dev/sdb";
    return v;
  }

  nlc::Reply Add() {
    nlc::Volume p = Primary(), m = Mirror();
    return Send(HM_NL_CMD_ADD_PROTECT, nlc::AddBody(p, &m));
  }
  nlc::Reply Status() { return Send(HM_NL_CMD_GET_STATUS, nlc::Type2Body(Key())); }
  uint32_t Cmd(uint8_t cmd) {
    nlc::Reply r = Send(cmd, nlc::Type2Body(Key()));
    EXPECT_TRUE(r.got) << nl_cmd_string[cmd];
    return r.hdr.retcode;
  }

  // Disks, bitmap file, module, Add Protection; the protection runs.  With
  // a gate, it stands on the disk of that name ("bitmap": the file system
  // of the bitmap file) before the module opens it.
  void Protect(uint32_t state = 0, const std::string& gate = "") {
    Disks();
    WriteBitmap(state);
    if (gate == "bitmap") {
      struct file* f = filp_open(kt::BitmapPath("/boot/vyrbitmap", kPG).c_str(), O_RDONLY, 0);
      ASSERT_FALSE(IS_ERR(f));
      g_gate.Install(bdev_get_queue(f->f_dentry->d_inode->i_sb->s_bdev));
      filp_close(f, nullptr);
    } else if (!gate.empty()) {
      struct request_queue* q = DiskQueue(gate);
      ASSERT_NE(nullptr, q);
      g_gate.Install(q);
    }
    Load();
    nlc::Reply r = Add();
    ASSERT_TRUE(r.got);
    ASSERT_EQ(0u, r.hdr.retcode);
    nlc::Reply s = Status();
    ASSERT_EQ(0u, s.hdr.retcode);
    ASSERT_EQ(1, s.status.bitmap_status);
  }

  bool WaitBit(int bit, bool set, int seconds) {
    return testsupport::eventually(
        [&] {
          nlc::Reply s = Status();
          return s.got && s.hdr.retcode == 0 && (((s.status.status >> bit) & 1) != 0) == set;
        },
        std::chrono::seconds(seconds), std::chrono::milliseconds(50));
  }

  int Io(const std::string& disk, bool write, uint64_t off, std::string& buf) {
    return simk::user_io(disk, write, off, buf.data(), static_cast<uint32_t>(buf.size()));
  }
  int Write(const std::string& disk, uint64_t off, const std::string& data) {
    std::string b = data;
    return Io(disk, true, off, b);
  }
  int Read(const std::string& disk, uint64_t off, uint32_t len, std::string* out = nullptr) {
    std::string b(len, '\0');
    int r = Io(disk, false, off, b);
    if (out) *out = b;
    return r;
  }

  std::string Region(const std::string& disk, uint64_t off, size_t len) {
    return ReadFile(ImagePath(disk)).substr(off, len);
  }

  std::string dir_;
  bool booted_ = false;
  uint32_t port_ = 100;
};

// ------------------------------------------------------------ protocol

struct WireCase {
  const char* what;
  nlc::Bytes msg;
  bool reply;
  hm_nl_header_t want;   // when reply
};

TEST_F(ModuleTest, WireTable) {
  Disks();
  Load();
  nlc::Volume key = Key();
  nlc::Bytes status = nlc::Type2Body(key);
  auto bad_magic = nlc::Message(HM_NL_CMD_GET_STATUS, status, 0);
  auto cut = nlc::Message(HM_NL_CMD_GET_STATUS, status);
  cut.resize(15);
  auto nl_too_long = nlc::Message(HM_NL_CMD_GET_STATUS, status, HM_NL_MAGIC, 0, 4000);
  auto msg_len_too_long = nlc::Message(HM_NL_CMD_GET_STATUS, status);
  uint16_t big = 2037;
  memcpy(&msg_len_too_long[18], &big, 2);
  nlc::Bytes short_rec(100, 0);
  nlc::Bytes long_path = nlc::Type2Body(key);
  uint16_t len128 = 128;
  memcpy(&long_path[154], &len128, 2);
  long_path.resize(160 + 128, 'a');
  nlc::Bytes far_path = nlc::Type2Body(key);
  uint16_t far = 2000;
  memcpy(&far_path[152], &far, 2);
  hm_nl_header1_t three{1, 3, 0, 0};
  nlc::Bytes add3(reinterpret_cast<uint8_t*>(&three), reinterpret_cast<uint8_t*>(&three) + 8);

  const WireCase cases[] = {
      {"status of an unknown key", nlc::Message(6, status), true, {6, 0, 0, 2, HM_NL_MAGIC}},
      {"magic 0", bad_magic, false, {}},
      {"command 0", nlc::Message(0, status), false, {}},
      {"command 25", nlc::Message(25, status), false, {}},
      {"command 200", nlc::Message(200, status), false, {}},
      {"15 bytes", cut, false, {}},
      {"netlink length beyond the datagram", nl_too_long, false, {}},
      {"msg_len beyond the message", msg_len_too_long, false, {}},
      {"set user server", nlc::Message(12, {}), true, {12, 0, 0, 0, 0}},
      {"set protection mode", nlc::Message(4, status), true, {0, 0, 0, 0, 0}},
      {"get protection mode", nlc::Message(5, {}), true, {0, 0, 0, 0, 0}},
      {"get all status", nlc::Message(7, status), true, {0, 0, 0, 0, 0}},
      {"remove module", nlc::Message(10, {}), true, {0, 0, 0, 0, 0}},
      {"create cdp", nlc::Message(11, status), true, {0, 0, 0, 0, 0}},
      {"forbid all with a body", nlc::Message(15, status), true, {15, 0, 0, 0, 0}},
      {"cancel forbid all", nlc::Message(16, {}), true, {16, 0, 0, 0, 0}},
      {"stop, unknown key", nlc::Message(2, status), true, {2, 0, 0, 0, 0}},
      {"del, unknown key", nlc::Message(3, status), true, {3, 0, 0, 0, 0}},
      {"cancel init, unknown key", nlc::Message(9, status), true, {9, 0, 0, 0, 0}},
      {"initialize, unknown key", nlc::Message(8, status), true, {8, 0, 0, 2, 0}},
      {"lock, unknown key", nlc::Message(18, status), true, {18, 0, 0, 2, 0}},
      {"faulty disk, unknown key", nlc::Message(24, nlc::FaultyBody(key, 'm')), true, {24, 0, 0, 0, 0}},
      {"record cut short", nlc::Message(8, short_rec), true, {8, 0, 0, 22, 0}},
      {"status without a body", nlc::Message(6, {}), true, {6, 0, 0, 22, HM_NL_MAGIC}},
      {"path of 128 bytes", nlc::Message(8, long_path), true, {8, 0, 0, 22, 0}},
      {"path outside the body", nlc::Message(8, far_path), true, {8, 0, 0, 22, 0}},
      {"add with nr_vol 3", nlc::Message(1, add3), true, {1, 0, 0, 0, 0}},
      {"add without a record", nlc::Message(1, nlc::Bytes{1, 1, 0, 0, 0, 0, 0, 0}), true, {1, 0, 0, 22, 0}},
  };
  for (const auto& c : cases) {
    if (!c.reply) {
      ASSERT_FALSE(Answered(c.msg)) << c.what;
      continue;
    }
    nlc::Reply r = SendMsg(c.msg);
    ASSERT_TRUE(r.got) << c.what;
    EXPECT_EQ(HM_NL_MSG_SIZE, r.raw.size()) << c.what;
    EXPECT_EQ(HM_NL_MSG_SIZE, r.nl_len) << c.what;
    EXPECT_EQ(c.want.cmd, r.hdr.cmd) << c.what;
    EXPECT_EQ(c.want.pad, r.hdr.pad) << c.what;
    EXPECT_EQ(c.want.msg_len, r.hdr.msg_len) << c.what;
    EXPECT_EQ(c.want.retcode, r.hdr.retcode) << c.what;
    EXPECT_EQ(c.want.magic, r.hdr.magic) << c.what;
    // Nothing of the kernel's memory beyond the defined bytes.
    for (size_t i = HM_NL_BODY_OFF + r.hdr.msg_len; i < r.raw.size(); i++)
      ASSERT_EQ(0, r.raw[i]) << c.what << " byte " << i;
  }
  EXPECT_EQ(2u, Status().hdr.retcode) << "nr_vol 3 created nothing";
}

TEST_F(ModuleTest, ReplyGoesToTheSendingPortWhateverTheHeaderClaims) {
  Disks();
  Load();
  auto liar = nlc::UnixTransport(dir_ + "/run", 4242);
  auto sender = nlc::UnixTransport(dir_ + "/run", 77);
  unsigned long before = simlinux::netlink_inputs_done();
  nlc::Reply r = nlc::Exchange(*sender, nlc::Message(12, {}, HM_NL_MAGIC, 4242), 5000);
  EXPECT_TRUE(r.got);
  // Every reply is out once the input has returned.
  EXPECT_TRUE(testsupport::eventually([&] { return simlinux::netlink_inputs_done() > before; },
                                      std::chrono::seconds(5), std::chrono::milliseconds(1)));
  uint8_t buf[4096];
  EXPECT_EQ(0, liar->Recv(buf, sizeof(buf), 0));
}

TEST_F(ModuleTest, ConcurrentSendersEachGetTheirOwnReply) {
  Disks();
  Load();
  std::atomic<int> bad{0};
  std::vector<std::thread> ts;
  for (int t = 0; t < 8; t++) {
    ts.emplace_back([&, t] {
      auto tr = nlc::UnixTransport(dir_ + "/run", 500 + t);
      for (int i = 0; i < 25; i++) {
        uint8_t cmd = (t % 2) ? 6 : 12;
        nlc::Reply r = nlc::Exchange(*tr, nlc::Message(cmd, nlc::Type2Body(Key())), 5000);
        if (!r.got || r.hdr.cmd != cmd) bad++;
      }
    });
  }
  for (auto& t : ts) t.join();
  EXPECT_EQ(0, bad.load());
}

TEST_F(ModuleTest, ConcurrentAddsOfOneKeyMakeOneProtection) {
  Disks();
  WriteBitmap();
  Load();
  std::vector<std::thread> ts;
  std::atomic<int> bad{0};
  for (int t = 0; t < 8; t++) {
    ts.emplace_back([&, t] {
      auto tr = nlc::UnixTransport(dir_ + "/run", 700 + t);
      nlc::Volume p = Primary(), m = Mirror();
      nlc::Reply r = nlc::Exchange(*tr, nlc::Message(HM_NL_CMD_ADD_PROTECT, nlc::AddBody(p, &m)), 10000);
      if (!r.got || r.hdr.retcode != 0) bad++;
    });
  }
  for (auto& t : ts) t.join();
  EXPECT_EQ(0, bad.load());
  nlc::Reply s = Status();
  EXPECT_EQ(2, s.status.nr_vol);
  EXPECT_EQ(1, s.status.bitmap_status);
  EXPECT_EQ(0u, Cmd(HM_NL_CMD_STOP_PROTECT));
  EXPECT_EQ(2u, Status().hdr.retcode) << "no second protection under the key";
}

// Requests of every shape from several senders at once, none waiting for its
// reply before sending the next.  Whatever arrives, the module must not
// fault (the sanitizers end this process at the first report, the emulation
// logs a kernel BUG line where a kernel would oops) and must go on answering.
TEST_F(ModuleTest, FuzzedRequestsFromConcurrentSendersNeverFaultTheModule) {
  Protect(4);
  const std::vector<uint32_t> edges = {0, 1, 12, 15, 16, 27, 28, 29, 159, 160, 161, 288,
                                       2035, 2036, 2048, 2063, 2064, 2065, 0x7fff, 0xffff,
                                       0xffffffffu};
  // The well-formed request of any command on the protection, half of them
  // one of those that open, fail or release a member.
  const uint8_t member_cmds[] = {HM_NL_CMD_ADD_PROTECT, HM_NL_CMD_FAIL_MIRROR,
                                 HM_NL_CMD_UP_MIRROR, HM_NL_CMD_UPDATE_HMDEV};
  auto well_formed = [&](std::mt19937& rng) {
    nlc::Volume p = Primary(), m = Mirror(), k = Key();
    uint8_t cmd = rng() % 2 ? member_cmds[rng() % 4]
                            : static_cast<uint8_t>(1 + rng() % (HM_NL_CMD_MAX - 1));
    switch (cmd) {
      case HM_NL_CMD_ADD_PROTECT:
        return nlc::Message(cmd, nlc::AddBody(p, rng() % 4 ? &m : nullptr));
      case HM_NL_CMD_FAIL_MIRROR:
        return nlc::Message(cmd, nlc::Type7Body(k, nullptr));
      case HM_NL_CMD_UP_MIRROR:
        return nlc::Message(cmd, nlc::Type7Body(k, rng() % 2 ? &m : nullptr));
      case HM_NL_CMD_SET_SYNC_SPEED_MAX:
        return nlc::Message(cmd, nlc::SpeedBody(k, rng() % 2 ? 0 : 50000));
      case HM_NL_CMD_UPDATE_HMDEV:
        return nlc::Message(cmd, nlc::FaultyBody(k, "pmx"[rng() % 3]));
      default:
        return nlc::Message(cmd, nlc::Type2Body(k));
    }
  };
  auto put32 = [](nlc::Bytes& b, size_t off, uint32_t v) { memcpy(&b[off], &v, 4); };
  auto put16 = [](nlc::Bytes& b, size_t off, uint16_t v) { memcpy(&b[off], &v, 2); };
  struct Kind {
    const char* what;
    int weight;
    std::function<nlc::Bytes(std::mt19937&)> make;
  };
  const Kind kinds[] = {
      {"well formed", 6, well_formed},
      {"random datagram", 1,
       [](std::mt19937& rng) {
         nlc::Bytes b(rng() % 2200);
         for (auto& c : b) c = static_cast<uint8_t>(rng());
         return b;
       }},
      {"random body under a good header", 1,
       [](std::mt19937& rng) {
         nlc::Bytes body(rng() % HM_NL_BODY_MAX);
         for (auto& c : body) c = static_cast<uint8_t>(rng());
         return nlc::Message(static_cast<uint8_t>(rng() % 32), body);
       }},
      {"header length at an edge", 1,
       [&](std::mt19937& rng) {
         nlc::Bytes b = well_formed(rng);
         uint32_t v = edges[rng() % edges.size()];
         if (rng() % 2)
           put32(b, 0, v);   // nlmsg_len
         else
           put16(b, HM_NL_HDR_OFF + 2, static_cast<uint16_t>(v));   // msg_len
         if (rng() % 3 == 0) b.resize(rng() % b.size());
         return b;
       }},
      {"record field at an edge", 1,
       [&](std::mt19937& rng) {
         nlc::Bytes b = well_formed(rng);
         // A record's path offset or length, wherever the first two records lie.
         static const size_t fields[] = {offsetof(hm_nl_volume_t, dev_name_off),
                                         offsetof(hm_nl_volume_t, dev_name_len)};
         size_t rec = rng() % 2 ? 0 : sizeof(hm_nl_header1_t) + (rng() % 2) * 180;
         size_t off = HM_NL_BODY_OFF + rec + fields[rng() % 2];
         put16(b, off, static_cast<uint16_t>(edges[rng() % edges.size()]));
         if (rng() % 4 == 0) b[HM_NL_BODY_OFF + 1] = static_cast<uint8_t>(rng() % 5);   // nr_vol
         return b;
       }},
      {"bytes flipped", 1,
       [&](std::mt19937& rng) {
         nlc::Bytes b = well_formed(rng);
         for (int n = 1 + rng() % 8; n > 0; n--) b[rng() % 600] ^= static_cast<uint8_t>(1 + rng() % 255);
         return b;
       }},
  };

  int total_weight = 0;
  for (const Kind& k : kinds) total_weight += k.weight;

  const int kSenders = 4, kMessages = 800, kBurst = 8;
  const auto deadline = Clock::now() + std::chrono::seconds(90);
  std::atomic<long> sent{0}, replies{0};
  std::vector<std::thread> ts;
  for (int t = 0; t < kSenders; t++) {
    ts.emplace_back([&, t] {
      std::mt19937 rng(1000 + t);
      auto tr = nlc::UnixTransport(dir_ + "/run", 900 + t);
      uint8_t buf[4096];
      for (int i = 0; i < kMessages && Clock::now() < deadline; i += kBurst) {
        for (int j = 0; j < kBurst; j++) {
          int pick = static_cast<int>(rng() % total_weight);
          const Kind* k = kinds;
          while (pick >= k->weight) pick -= (k++)->weight;
          nlc::Bytes msg = k->make(rng);
          if (tr->Send(msg)) sent++;
        }
        // The replies of this burst, until none comes for a while.
        while (tr->Recv(buf, sizeof(buf), 100) > 0) replies++;
      }
    });
  }
  for (auto& t : ts) t.join();
  printf("fuzz: %ld requests sent, %ld replies\n", sent.load(), replies.load());
  EXPECT_GE(sent.load(), 2000);

  std::string log = simk::dmesg();
  EXPECT_EQ(std::string::npos, log.find("kernel BUG")) << "the kernel log names a fault";
  EXPECT_EQ(std::string::npos, log.find("BUG: ")) << "the kernel log names a fault";
  nlc::Reply s = Status();
  ASSERT_TRUE(s.got) << "the module still answers";
  EXPECT_TRUE(s.hdr.retcode == 0 || s.hdr.retcode == 2) << s.hdr.retcode;
  // Stop and Del requests still in the workers may remove it once more.
  EXPECT_TRUE(testsupport::eventually(
      [&] { return Add().hdr.retcode == 0 && Status().hdr.retcode == 0; }));
  EXPECT_EQ(0, simk::module_unload());
}

// ------------------------------------------------------------ protection

TEST_F(ModuleTest, WritesReachBothDisksAndReadsComeFromThePrimary) {
  Protect();
  nlc::Reply s = Status();
  EXPECT_EQ(1, s.status.mode);
  EXPECT_EQ(2, s.status.nr_vol);
  EXPECT_TRUE(s.status.primary.status & (1 << 2)) << "primary In_Sync";
  EXPECT_TRUE(s.status.mirror.status & (1 << 2)) << "mirror In_Sync";
  EXPECT_EQ(kSig, s.status.primary.vid.mbp_volumeid.signature);
  EXPECT_EQ(1u, s.status.mempages);

  std::string data = Pattern(192 * 1024, 3);
  ASSERT_EQ(0, Write("sdb", 3 * kChunkBytes - 4096, data));
  EXPECT_EQ(data, Region("sdb", 3 * kChunkBytes - 4096, data.size()));
  EXPECT_EQ(data, Region("sdc", 3 * kChunkBytes - 4096, data.size()));
  std::string back;
  ASSERT_EQ(0, Read("sdb", 3 * kChunkBytes - 4096, data.size(), &back));
  EXPECT_EQ(data, back);

  // The bits of both chunks were on disk before the write was acknowledged.
  std::string bm = Bitmap();
  EXPECT_TRUE(kt::BitmapBit(bm, 2));
  EXPECT_TRUE(kt::BitmapBit(bm, 3));
  EXPECT_FALSE(kt::BitmapBit(bm, 4));
}

TEST_F(ModuleTest, SectorZeroCarriesTheSignatureOnBothDisks) {
  Protect();
  std::string mbr = Pattern(4096, 9);
  ASSERT_EQ(0, Write("sdb", 0, mbr));
  const uint8_t want[4] = {0xd3, 0xc2, 0xa1, 0x5f};
  for (const char* d : {"sdb", "sdc"}) {
    std::string got = Region(d, 0, 4096);
    EXPECT_EQ(0, memcmp(want, got.data() + 440, 4)) << d;
    EXPECT_EQ(mbr.substr(0, 440), got.substr(0, 440)) << d;
    EXPECT_EQ(mbr.substr(444), got.substr(444)) << d;
  }
  // A write elsewhere is left alone.
  ASSERT_EQ(0, Write("sdb", 512, mbr.substr(0, 512)));
  EXPECT_EQ(mbr.substr(0, 512), Region("sdc", 512, 512));
}

TEST_F(ModuleTest, GuardRefusesAllButTheLivenessRead) {
  Protect();
  uint64_t window = (kSectors - 2048) * 512;
  EXPECT_EQ(0, Read("sdc", window, 512));
  EXPECT_NE(0, Read("sdc", window + 512, 512));
  EXPECT_NE(0, Read("sdc", window, 1024));
  EXPECT_NE(0, Read("sdc", 0, 512));
  EXPECT_NE(0, Write("sdc", window, std::string(512, 'x')));
  EXPECT_EQ(std::string(512, '\0'), Region("sdc", window, 512));

  EXPECT_EQ(0u, Cmd(HM_NL_CMD_CANCEL_FORBID_MIRROR_IO));
  EXPECT_EQ(0, Read("sdc", 0, 512));
  EXPECT_EQ(0u, Cmd(HM_NL_CMD_FORBID_MIRROR_IO));
  EXPECT_NE(0, Read("sdc", 0, 512));
  EXPECT_EQ(0u, Send(HM_NL_CMD_CANCEL_FORBID_MIRROR_ALL, {}).hdr.retcode);
  EXPECT_EQ(0, Read("sdc", 0, 512));
  EXPECT_EQ(0u, Send(HM_NL_CMD_FORBID_MIRROR_ALL, {}).hdr.retcode);
  EXPECT_NE(0, Read("sdc", 0, 512));
}

TEST_F(ModuleTest, InitializeCopiesTheWholeDisk) {
  std::string content = Pattern(kSize - 3 * 512, 5);
  Disks(content);
  WriteBitmap();
  Load();
  ASSERT_EQ(0u, Add().hdr.retcode);
  EXPECT_EQ(0u, Cmd(HM_NL_CMD_INITIALIZE));
  ASSERT_TRUE(WaitBit(HM_INITIALIZE_FINISHED, true, 60));
  EXPECT_FALSE(WaitBit(HM_INITIALIZE_ON, true, 0));
  EXPECT_EQ(ReadFile(ImagePath("sdb")), ReadFile(ImagePath("sdc")));
  EXPECT_EQ(4u, kt::BitmapState(Bitmap()) & 0xF);
  nlc::Reply s = Status();
  EXPECT_EQ(0u, s.status.chunk_needed);
  EXPECT_EQ(0, s.status.sync_on);
}

TEST_F(ModuleTest, InitializeThenCancelThenInitializeAgain) {
  Protect();
  ASSERT_EQ(0u, Send(HM_NL_CMD_SET_SYNC_SPEED_MAX, nlc::SpeedBody(Key(), 1000)).hdr.retcode);
  EXPECT_EQ(0u, Cmd(HM_NL_CMD_INITIALIZE));
  EXPECT_EQ(0u, Cmd(HM_NL_CMD_CANCEL_INITIALIZE));
  nlc::Reply s = Status();
  EXPECT_TRUE(s.status.status & (1 << HM_INITIALIZE_CANCELED));
  EXPECT_TRUE(s.status.status & (1 << HM_SYNC_INTR));
  EXPECT_EQ(0u, s.status.status & 0xF5) << "no initialization or recovery bit but canceled";
  EXPECT_EQ(2u, kt::BitmapState(Bitmap()) & 0xF);
  ASSERT_EQ(0u, Send(HM_NL_CMD_SET_SYNC_SPEED_MAX, nlc::SpeedBody(Key(), 0)).hdr.retcode);
  EXPECT_EQ(0u, Cmd(HM_NL_CMD_INITIALIZE));
  ASSERT_TRUE(WaitBit(HM_INITIALIZE_FINISHED, true, 60));
  EXPECT_FALSE(Status().status.status & (1 << HM_SYNC_INTR));
}

TEST_F(ModuleTest, RecoveryCopiesOnlyTheDirtyChunks) {
  Protect(4);   // the mirror is already equal: initialization finished
  // A difference in a clean chunk, made behind the module's back.
  {
    int fd = open(ImagePath("sdc").c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(4, pwrite(fd, "DIFF", 4, 10 * kChunkBytes + 100));
    close(fd);
  }
  ASSERT_EQ(0, simk::disk_fail("sdc", simk::kFailWrite));
  std::string data = Pattern(8192, 7);
  ASSERT_EQ(0, Write("sdb", 3 * kChunkBytes + 4096, data)) << "a mirror failure is not the caller's";
  nlc::Reply s = Status();
  EXPECT_TRUE(s.status.mirror.status & (1 << 1)) << "mirror Faulty";
  EXPECT_TRUE(s.status.status & (1 << HM_RECOVERY_NEEDED));
  EXPECT_TRUE(s.status.status & (1 << HM_SYNC_ERR));
  ASSERT_EQ(0, Write("sdb", 5 * kChunkBytes, data)) << "writes go on with the mirror failed";
  EXPECT_EQ(data, Region("sdb", 5 * kChunkBytes, data.size()));

  ASSERT_EQ(0, simk::disk_heal("sdc"));
  ASSERT_EQ(0u, Add().hdr.retcode) << "the mirror is re-opened and test-read";
  ASSERT_TRUE(WaitBit(HM_RECOVERY_FINISHED, true, 60));
  EXPECT_EQ(data, Region("sdc", 3 * kChunkBytes + 4096, data.size()));
  EXPECT_EQ(data, Region("sdc", 5 * kChunkBytes, data.size()));
  EXPECT_EQ("DIFF", Region("sdc", 10 * kChunkBytes + 100, 4)) << "a clean chunk is not copied";
  s = Status();
  EXPECT_TRUE(s.status.mirror.status & (1 << 2));
  EXPECT_EQ(0u, s.status.chunk_needed);
}

TEST_F(ModuleTest, LockedMirrorMissesWritesWithoutFailingAndRecoversAfterUnlock) {
  Protect(4);
  EXPECT_EQ(0u, Cmd(HM_NL_CMD_LOCK_MIRROR_RDEV));
  EXPECT_EQ(0x104u, kt::BitmapState(Bitmap()));
  std::string data = Pattern(4096, 11);
  ASSERT_EQ(0, Write("sdb", 2 * kChunkBytes, data));
  EXPECT_EQ(std::string(4096, '\0'), Region("sdc", 2 * kChunkBytes, 4096));
  nlc::Reply s = Status();
  EXPECT_FALSE(s.status.mirror.status & (1 << 1)) << "a skipped clone does not fail the mirror";
  EXPECT_TRUE(s.status.mirror.status & (1 << 6)) << "mirror Locked";
  EXPECT_TRUE(s.status.status & (1 << HM_DEV_LOCKED));
  EXPECT_TRUE(s.status.status & (1 << HM_RECOVERY_NEEDED));
  EXPECT_EQ(1u, s.status.chunk_needed);

  EXPECT_EQ(0u, Cmd(HM_NL_CMD_UNLOCK_MIRROR_RDEV));
  EXPECT_EQ(0x4u, kt::BitmapState(Bitmap()));
  ASSERT_TRUE(WaitBit(HM_RECOVERY_FINISHED, true, 60));
  EXPECT_EQ(data, Region("sdc", 2 * kChunkBytes, 4096));
}

// The status says the copy is done, as zelmird reads it: no copy running,
// the last recovery finished.
bool Finished(const nlc::Reply& s) {
  return s.got && s.hdr.retcode == 0 && !s.status.sync_on &&
         !(s.status.status & ((1 << HM_RECOVERY_ON) | (1 << HM_INITIALIZE_ON))) &&
         (s.status.status & (1 << HM_RECOVERY_FINISHED));
}

// A write to a clean chunk skips the locked mirror and is still in flight
// (its primary clone held) when the mirror is unlocked and the recovery
// starts.  The copy must not judge the chunk before the write has ended:
// once it says finished, the acknowledged write is on the mirror.
TEST_F(ModuleTest, WriteInFlightWhenTheMirrorReturnsIsCopied) {
  Protect(4, "sdb");
  const uint64_t chunk = 6;
  EXPECT_EQ(0u, Cmd(HM_NL_CMD_LOCK_MIRROR_RDEV));
  // A write that ended while the mirror was locked, behind the one held: a
  // recovery is due, and its copy waits for the held write once it gets there.
  ASSERT_EQ(0, Write("sdb", 10 * kChunkBytes, Pattern(4096, 40)));
  {
    std::lock_guard<std::mutex> l(g_gate.m);
    g_gate.pick = [&](struct bio* b) {
      bool w = bio_data_dir(b) == WRITE && b->bi_sector / (kChunkBytes / 512) == chunk;
      return w ? Gate::kHold : Gate::kPass;
    };
  }
  std::string data = Pattern(8192, 41);
  std::atomic<int> result{1};
  std::thread writer([&] { result = Write("sdb", chunk * kChunkBytes, data); });
  struct Join {
    std::thread& t;
    ~Join() {
      g_gate.Release();
      if (t.joinable()) t.join();
    }
  } join{writer};
  ASSERT_TRUE(testsupport::eventually([&] { return g_gate.Held() == 1; }, std::chrono::seconds(5),
                                      std::chrono::milliseconds(1)));
  EXPECT_EQ(0u, Cmd(HM_NL_CMD_UNLOCK_MIRROR_RDEV));
  // The copy either waits for the write or has already gone past the chunk.
  ASSERT_TRUE(testsupport::eventually(
      [&] { return g_gate.copy_unplugs > 0 || (Status().status.status & (1 << HM_RECOVERY_FINISHED)); },
      std::chrono::seconds(10), std::chrono::milliseconds(1)));
  g_gate.Release();
  writer.join();
  ASSERT_EQ(0, result.load());
  ASSERT_TRUE(testsupport::eventually([&] { return Finished(Status()); }, std::chrono::seconds(20),
                                      std::chrono::milliseconds(1)));
  nlc::Reply s = Status();
  EXPECT_EQ(0u, s.status.chunk_needed);
  EXPECT_FALSE(s.status.status & (1 << HM_RECOVERY_NEEDED));
  EXPECT_TRUE(data == Region("sdc", chunk * kChunkBytes, data.size())) << "the acknowledged write is on the mirror";
}

// Random writes at queue depth 32 while the mirror fails and comes back, or
// is locked and unlocked, several times.  Each time it returns, the writes
// that missed it in the first four chunks are still in flight (held below
// the module, as on a slow disk) until the copy has started and waits for
// them; those behind them have ended and marked their chunks.
// Once the writes stop and the status says finished, nothing waits for a
// copy and the mirror equals the primary.
TEST_F(ModuleTest, MirrorFailingAndReturningUnderWritesEndsEqual) {
  Protect(4, "sdb");
  const int kDepth = 32, kCycles = 20;
  const uint64_t kHeld = 4;   // writes to the first chunks are held
  std::atomic<bool> run{true}, pause{false};
  std::atomic<long> writes{0}, failed{0};
  std::vector<std::thread> ts;
  for (int t = 0; t < kDepth; t++) {
    ts.emplace_back([&, t] {
      std::mt19937 rng(77 + t);
      while (run) {
        if (pause) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
          continue;
        }
        uint32_t len = 4096u << (rng() % 5);   // 4 to 64 KiB
        uint64_t off = (rng() % (kSize / 4096)) * 4096;
        if (off + len > kSize) off = kSize - len;
        if (Write("sdb", off, Pattern(len, static_cast<uint8_t>(rng()))) != 0) failed++;
        writes++;
      }
    });
  }
  struct Stop {
    std::atomic<bool>& run;
    std::vector<std::thread>& ts;
    ~Stop() {
      run = false;
      g_gate.Release();
      for (auto& t : ts)
        if (t.joinable()) t.join();
    }
  } stop{run, ts};
  auto more_writes = [&](long n) {
    long until = writes + n;
    return testsupport::eventually([&] { return writes >= until; }, std::chrono::seconds(20),
                                   std::chrono::milliseconds(1));
  };
  auto mirror_bit = [&](int bit) { return (Status().status.mirror.status >> bit) & 1; };
  nlc::Reply last;
  auto settled = [&] {
    last = Status();
    return last.got && !last.status.sync_on &&
           !(last.status.status & ((1 << HM_RECOVERY_ON) | (1 << HM_RECOVERY_NEEDED)));
  };
  int left_behind = 0;   // returns whose copy ended with chunks still needed
  for (int c = 0; c < kCycles; c++) {
    ASSERT_TRUE(more_writes(100));
    // The last return's copy is done and none is owed: none starts under
    // the held writes, where it would hold its barrier up.  The writers
    // pause meanwhile: at depth 32 they leave a copy little room.
    pause = true;
    ASSERT_TRUE(testsupport::eventually(settled, std::chrono::seconds(10), std::chrono::milliseconds(1)));
    if (last.status.chunk_needed) left_behind++;
    pause = false;
    int unplugs = g_gate.copy_unplugs;
    {
      std::lock_guard<std::mutex> l(g_gate.m);
      g_gate.pick = [](struct bio* b) {
        return bio_data_dir(b) == WRITE && b->bi_sector < kHeld * (kChunkBytes / 512) ? Gate::kHold : Gate::kPass;
      };
    }
    bool fail = c % 2 == 0;
    if (fail) {
      ASSERT_EQ(0, simk::disk_fail("sdc", simk::kFailWrite));
      ASSERT_TRUE(testsupport::eventually([&] { return mirror_bit(Faulty) == 1; }, std::chrono::seconds(10),
                                          std::chrono::milliseconds(1)));
    } else {
      ASSERT_EQ(0u, Cmd(HM_NL_CMD_LOCK_MIRROR_RDEV));
    }
    // Writes held in the first chunks, and writes behind them that ended
    // and marked their chunks: a copy is due.
    ASSERT_TRUE(testsupport::eventually(
        [&] {
          nlc::Reply r = Status();
          return g_gate.Held() >= 4 && r.status.chunk_needed > 0 &&
                 (r.status.status & (1 << HM_RECOVERY_NEEDED));
        },
        std::chrono::seconds(10), std::chrono::milliseconds(1)));
    if (fail) {
      ASSERT_EQ(0, simk::disk_heal("sdc"));
      // The release may still wait for the mirror's last requests.
      ASSERT_TRUE(testsupport::eventually([&] { return Add().hdr.retcode == 0 && mirror_bit(In_Sync) == 1; },
                                          std::chrono::seconds(10), std::chrono::milliseconds(5)));
    } else {
      ASSERT_EQ(0u, Cmd(HM_NL_CMD_UNLOCK_MIRROR_RDEV));
    }
    // The copy has started and waits for the held writes.
    ASSERT_TRUE(testsupport::eventually([&] { return g_gate.copy_unplugs > unplugs; }, std::chrono::seconds(10),
                                        std::chrono::milliseconds(1)));
    g_gate.Release();
  }
  ASSERT_TRUE(more_writes(200));
  run = false;
  for (auto& t : ts) t.join();
  EXPECT_EQ(0, failed.load()) << "a mirror's failure is never the writer's";
  ASSERT_TRUE(testsupport::eventually([&] { return Finished(Status()); }, std::chrono::seconds(30),
                                      std::chrono::milliseconds(1)));
  nlc::Reply s = Status();
  EXPECT_FALSE(s.status.status & (1 << HM_RECOVERY_NEEDED)) << "no copy is owed";
  std::string p = ReadFile(ImagePath("sdb")), m = ReadFile(ImagePath("sdc"));
  int differ = 0;
  for (uint64_t c = 0; c < kSize / kChunkBytes; c++)
    if (p.compare(c * kChunkBytes, kChunkBytes, m, c * kChunkBytes, kChunkBytes) != 0) differ++;
  printf("workload: %d cycles, %ld writes, %d copies ended with chunks needed, chunk_needed %u at the end, "
         "%d chunks differ\n",
         kCycles, writes.load(), left_behind, s.status.chunk_needed, differ);
  EXPECT_EQ(0, left_behind);
  EXPECT_EQ(0u, s.status.chunk_needed);
  EXPECT_EQ(0, differ);
}

// A bitmap page that cannot be written leaves the writes going on, and says
// so: once in the kernel log at error level, and in the status.
TEST_F(ModuleTest, FailedBitmapPageWriteIsReported) {
  Protect(4, "bitmap");
  {
    std::lock_guard<std::mutex> l(g_gate.m);
    g_gate.pick = [](struct bio* b) { return bio_data_dir(b) == WRITE ? Gate::kFail : Gate::kPass; };
  }
  EXPECT_FALSE(Status().status.status & (1ULL << HM_BITMAP_WRITE_ERR));
  std::string data = Pattern(4096, 51);
  ASSERT_EQ(0, Write("sdb", 9 * kChunkBytes, data));
  EXPECT_EQ(data, Region("sdc", 9 * kChunkBytes, data.size()));
  EXPECT_TRUE(Status().status.status & (1ULL << HM_BITMAP_WRITE_ERR));
  std::string log = simk::dmesg();
  size_t at = log.find("bitmap page I/O failed");
  ASSERT_NE(std::string::npos, at);
  EXPECT_EQ("<3>", log.substr(log.rfind('\n', at) + 1, 3));
  ASSERT_EQ(0, Write("sdb", 10 * kChunkBytes, data));
  EXPECT_EQ(at, simk::dmesg().rfind("bitmap page I/O failed")) << "said once";
}

TEST_F(ModuleTest, LockAndStatusWithoutBitmapOrMirrorFailCleanly) {
  Disks();
  Load();
  nlc::Volume p = Primary();
  ASSERT_EQ(0u, Send(HM_NL_CMD_ADD_PROTECT, nlc::AddBody(p, nullptr)).hdr.retcode);
  nlc::Reply s = Status();
  ASSERT_EQ(0u, s.hdr.retcode);
  EXPECT_EQ(0, s.status.bitmap_status) << "no bitmap file";
  EXPECT_EQ(1, s.status.nr_vol);
  EXPECT_EQ(0u, s.status.mirror.status);
  EXPECT_EQ(2u, Cmd(HM_NL_CMD_LOCK_MIRROR_RDEV)) << "no mirror";
  EXPECT_EQ(2u, Cmd(HM_NL_CMD_INITIALIZE)) << "no bitmap";
  EXPECT_EQ(2u, Cmd(HM_NL_CMD_FINISHED_INITIALIZE));
  EXPECT_EQ(2u, Cmd(HM_NL_CMD_CANCEL_INITIALIZE));
  nlc::Volume m = Mirror();
  ASSERT_EQ(0u, Send(HM_NL_CMD_ADD_PROTECT, nlc::AddBody(p, &m)).hdr.retcode);
  EXPECT_EQ(2u, Cmd(HM_NL_CMD_LOCK_MIRROR_RDEV)) << "a mirror but still no bitmap";
  EXPECT_EQ(2u, Cmd(HM_NL_CMD_UNLOCK_MIRROR_RDEV));
  EXPECT_EQ(2u, Send(HM_NL_CMD_UP_MIRROR, nlc::Type7Body(Key(), nullptr)).hdr.retcode);
}

TEST_F(ModuleTest, BadBitmapFilesAreRefused) {
  struct Case {
    const char* what;
    kt::BitmapLayout l;
    bool sparse;
  };
  kt::BitmapLayout v5, magic0, chunk, bpoff0, good;
  v5.version = 5;
  magic0.magic = 0;
  chunk.chunksize = 1000;
  bpoff0.bp_off = 0;
  const Case cases[] = {
      {"version 5", v5, false},
      {"magic 0", magic0, false},
      {"chunk size not a power of two", chunk, false},
      {"bits over the superblock", bpoff0, false},
      {"too short for the disk", good, true},
  };
  Disks();
  Load();
  for (const auto& c : cases) {
    kt::BitmapLayout l = c.l;
    l.sectors = kSectors;
    std::string f = kt::BitmapFile(l);
    if (c.sparse) f.resize(4096);
    WriteFile(kt::BitmapPath("/boot/vyrbitmap", kPG), f);
    ASSERT_EQ(0u, Add().hdr.retcode) << c.what;
    EXPECT_EQ(0, Status().status.bitmap_status) << c.what;
  }
  WriteBitmap(0x101);
  ASSERT_EQ(0u, Add().hdr.retcode);
  nlc::Reply s = Status();
  EXPECT_EQ(1, s.status.bitmap_status);
  EXPECT_TRUE(s.status.status & (1 << HM_INITIALIZE_ON));
  EXPECT_TRUE(s.status.status & (1 << HM_DEV_LOCKED));
}

TEST_F(ModuleTest, DirtyBitsAtLoadAreRecovered) {
  Disks(Pattern(kSize, 2));
  kt::BitmapLayout l;
  l.sectors = kSectors;
  l.state = 4;
  std::string f = kt::BitmapFile(l);
  f[4096 + 0] = 0x02;   // chunk 1
  WriteFile(kt::BitmapPath("/boot/vyrbitmap", kPG), f);
  Load();
  ASSERT_EQ(0u, Add().hdr.retcode);
  ASSERT_TRUE(WaitBit(HM_RECOVERY_FINISHED, true, 60));
  EXPECT_EQ(Region("sdb", kChunkBytes, kChunkBytes), Region("sdc", kChunkBytes, kChunkBytes));
  EXPECT_EQ(std::string(kChunkBytes, '\0'), Region("sdc", 2 * kChunkBytes, kChunkBytes));
}

TEST_F(ModuleTest, StopAndDelWithWritesInFlight) {
  Protect();
  std::atomic<bool> run{true};
  std::atomic<int> done{0};
  std::thread writer([&] {
    std::string d = Pattern(65536, 1);
    for (uint64_t i = 0; run; i++) {
      Write("sdb", (i % 200) * 65536, d);
      done++;
    }
  });
  ASSERT_TRUE(testsupport::eventually([&] { return done >= 20; }, std::chrono::seconds(30),
                                      std::chrono::milliseconds(5)));
  EXPECT_EQ(0u, Cmd(HM_NL_CMD_STOP_PROTECT));
  run = false;
  writer.join();
  nlc::Reply s = Status();
  if (s.hdr.retcode == 0) {
    // Left listed because I/O came back in flight: Del removes it.
    EXPECT_TRUE(s.status.status & (1 << HM_DEV_STOPPED));
    EXPECT_EQ(0u, Cmd(HM_NL_CMD_DEL_PROTECT));
  }
  EXPECT_EQ(2u, Status().hdr.retcode);
  EXPECT_EQ(0u, Cmd(HM_NL_CMD_DEL_PROTECT));
  EXPECT_EQ(0, Read("sdc", 0, 512)) << "the guard went with the protection";
}

TEST_F(ModuleTest, StopEndsARunningCopy) {
  Protect();
  ASSERT_EQ(0u, Send(HM_NL_CMD_SET_SYNC_SPEED_MAX, nlc::SpeedBody(Key(), 1000)).hdr.retcode);
  EXPECT_EQ(0u, Cmd(HM_NL_CMD_INITIALIZE));
  ASSERT_TRUE(WaitBit(HM_INITIALIZE_ON, true, 5));
  ASSERT_TRUE(testsupport::eventually([&] { return Status().status.sector_synced > 0; }, std::chrono::seconds(5),
                                      std::chrono::milliseconds(10)))
      << "the copy is under way";
  auto t0 = Clock::now();
  EXPECT_EQ(0u, Cmd(HM_NL_CMD_STOP_PROTECT));
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(5)) << "the copy stops instead of finishing";
  EXPECT_EQ(2u, Status().hdr.retcode);
}

TEST_F(ModuleTest, UnloadWaitsForWritesInFlight) {
  Protect();
  std::atomic<bool> run{true};
  std::atomic<int> done{0};
  std::thread writer([&] {
    std::string d = Pattern(65536, 4);
    for (uint64_t i = 0; run; i++) {
      Write("sdb", (i % 100) * 65536, d);
      done++;
    }
  });
  ASSERT_TRUE(testsupport::eventually([&] { return done >= 10; }, std::chrono::seconds(30),
                                      std::chrono::milliseconds(5)));
  EXPECT_EQ(0, simk::module_unload());
  run = false;
  writer.join();
  EXPECT_EQ(0, Read("sdc", 0, 512));
}

TEST_F(ModuleTest, FailedMirrorDiskDeletedAndAddedBack) {
  Protect(4);
  ASSERT_EQ(0, simk::disk_fail("sdc", simk::kFailWrite));
  ASSERT_EQ(0, Write("sdb", 0, std::string(4096, 'a')));
  ASSERT_TRUE(Status().status.mirror.status & (1 << 1));
  // The protection's thread releases the failed disk.
  ASSERT_TRUE(testsupport::eventually(
      [] { return simk::dmesg().find("rdev: /dev/sdc? release\n") != std::string::npos; }, std::chrono::seconds(5),
      std::chrono::milliseconds(10)))
      << simk::dmesg();
  // The disk goes away for good: the module must hold nothing of it.
  ASSERT_EQ(0, simk::disk_remove("sdc"));
  std::string data = Pattern(65536, 31);
  EXPECT_EQ(0, Write("sdb", 2 * kChunkBytes, data));
  nlc::Reply s = Status();
  EXPECT_EQ(0u, s.hdr.retcode);
  EXPECT_EQ(2, s.status.nr_vol);

  AddDisk("sdc", 32, kMG);
  ASSERT_EQ(0u, Add().hdr.retcode);
  ASSERT_TRUE(WaitBit(HM_RECOVERY_FINISHED, true, 60));
  EXPECT_EQ(data, Region("sdc", 2 * kChunkBytes, data.size()));
  EXPECT_NE(0, Read("sdc", 0, 512)) << "guarded again";
  EXPECT_EQ(0, simk::module_unload());
}

TEST_F(ModuleTest, FaultyDiskCommand) {
  Protect();
  EXPECT_EQ(0u, Send(HM_NL_CMD_UPDATE_HMDEV, nlc::FaultyBody(Key(), 'x')).hdr.retcode);
  EXPECT_FALSE(Status().status.mirror.status & (1 << 1));
  EXPECT_EQ(0u, Send(HM_NL_CMD_UPDATE_HMDEV, nlc::FaultyBody(Key(), 'm')).hdr.retcode);
  nlc::Reply s = Status();
  EXPECT_TRUE(s.status.mirror.status & (1 << 1));
  EXPECT_EQ(0, Write("sdb", 0, std::string(512, 'a')));
}

TEST_F(ModuleTest, LostPrimaryFoundAgainCopiesWhatWasWrittenMeanwhile) {
  Protect(4);
  EXPECT_EQ(0u, Send(HM_NL_CMD_UPDATE_HMDEV, nlc::FaultyBody(Key(), 'p')).hdr.retcode);
  ASSERT_TRUE(WaitBit(HM_DEV_LOST, true, 5));
  // The primary's queue was its own again before the bit was set: this
  // write is not mirrored.
  std::string data = Pattern(4096, 13);
  ASSERT_EQ(0, Write("sdb", 6 * kChunkBytes, data));
  EXPECT_EQ(std::string(4096, '\0'), Region("sdc", 6 * kChunkBytes, 4096));
  ASSERT_EQ(0u, Add().hdr.retcode) << "the primary is found again";
  ASSERT_TRUE(WaitBit(HM_DEV_LOST, false, 5));
  ASSERT_TRUE(WaitBit(HM_RECOVERY_FINISHED, true, 60));
  EXPECT_EQ(data, Region("sdc", 6 * kChunkBytes, 4096));
  std::string more = Pattern(4096, 14);
  ASSERT_EQ(0, Write("sdb", 7 * kChunkBytes, more)) << "mirrored again";
  EXPECT_EQ(more, Region("sdc", 7 * kChunkBytes, 4096));
}

TEST_F(ModuleTest, RegistryRecreatesProtectionsAtLoad) {
  Disks();
  WriteBitmap(4);
  WriteFile("/boot/hmdevs.reg", kt::RegistryLine("/dev/sdb", kPG, "/dev/sdc", kMG) +
                                    kt::RegistryLine("/dev/sdd", "77777777-0000-0000-0000-000000000000", "", ""));
  Load();
  nlc::Reply s = Status();
  ASSERT_EQ(0u, s.hdr.retcode);
  EXPECT_EQ(2, s.status.nr_vol);
  EXPECT_TRUE(s.status.primary.status & (1 << 1)) << "paths with '?' stay closed";
  EXPECT_TRUE(s.status.mirror.status & (1 << 1));
  EXPECT_EQ(kSig, s.status.primary.vid.mbp_volumeid.signature);
  EXPECT_EQ(0, s.status.bitmap_status);
  nlc::Volume second;
  second.uuid = "77777777-0000-0000-0000-000000000000";
  nlc::Reply s2 = Send(HM_NL_CMD_GET_STATUS, nlc::Type2Body(second));
  EXPECT_EQ(0u, s2.hdr.retcode);
  EXPECT_EQ(1, s2.status.nr_vol);

  ASSERT_EQ(0u, Add().hdr.retcode);
  s = Status();
  EXPECT_EQ(1, s.status.bitmap_status);
  EXPECT_TRUE(s.status.primary.status & (1 << 2));
  EXPECT_TRUE(s.status.mirror.status & (1 << 2));
  std::string data = Pattern(4096, 21);
  ASSERT_EQ(0, Write("sdb", 4096, data));
  EXPECT_EQ(data, Region("sdc", 4096, 4096));
}

// A registry line without the closing "?" (hand-written, or stale) names
// disks by path: the primary is taken only when its disk holds the
// signature, the mirror is never taken by its path, and no disk that now
// has a stale name is claimed or written.
class RegistryWithoutMark : public ModuleTest, public ::testing::WithParamInterface<bool> {};

TEST_P(RegistryWithoutMark, PathIsTakenOnlyByIdentity) {
  const bool signed_primary = GetParam();
  std::string sector0(512, '\0');
  memcpy(&sector0[440], &kSig, 4);
  Disks(signed_primary ? sector0 : "");
  WriteBitmap(4);
  WriteFile("/boot/hmdevs.reg", "/dev/sdb volume_id_{" + std::string(kPG) + "} /dev/sdc volume_id_{" + kMG +
                                    "} line_end\n");
  Load();
  nlc::Reply s = Status();
  ASSERT_EQ(0u, s.hdr.retcode);
  EXPECT_EQ(signed_primary, (s.status.primary.status & (1 << 2)) != 0) << "the primary by its signature";
  EXPECT_TRUE(s.status.mirror.status & (1 << 1)) << "the mirror stays closed";
  EXPECT_EQ(std::string::npos, simk::dmesg().find("bd_claim /dev/sdc")) << "never claimed";
  ASSERT_EQ(0, Write("sdb", 4096, Pattern(4096, 31)));
  EXPECT_EQ(std::string(4096, '\0'), Region("sdc", 4096, 4096)) << "nothing reaches the mirror";
  ASSERT_EQ(0u, Add().hdr.retcode);
  EXPECT_TRUE(Status().status.mirror.status & (1 << 2)) << "named by an Add Protection, it is taken";
}

INSTANTIATE_TEST_SUITE_P(PrimarySigned, RegistryWithoutMark, ::testing::Bool());

TEST_F(ModuleTest, RebootStopsCopies) {
  Protect();
  simk::reboot_notify();
  EXPECT_TRUE(Status().status.status & (1 << HM_SYNC_INTR));
}

TEST_F(ModuleTest, IdleChunkIsCleanedOnDiskByTheDaemon) {
  Protect();
  ASSERT_EQ(0, Write("sdb", 4 * kChunkBytes, std::string(4096, 'q')));
  ASSERT_TRUE(kt::BitmapBit(Bitmap(), 4));
  EXPECT_TRUE(testsupport::eventually([&] { return !kt::BitmapBit(Bitmap(), 4); }, std::chrono::seconds(45),
                                      std::chrono::milliseconds(250)));
}

TEST_F(ModuleTest, SpeedCapHoldsWithinTenPercent) {
  Protect();
  const unsigned kbps = 1024;
  ASSERT_EQ(0u, Send(HM_NL_CMD_SET_SYNC_SPEED_MAX, nlc::SpeedBody(Key(), kbps)).hdr.retcode);
  auto t0 = Clock::now();
  EXPECT_EQ(0u, Cmd(HM_NL_CMD_INITIALIZE));
  ASSERT_TRUE(WaitBit(HM_INITIALIZE_FINISHED, true, 60));
  double secs = std::chrono::duration<double>(Clock::now() - t0).count();
  double expect = (kSize / 1024.0) / kbps;
  EXPECT_GT(secs, expect * 0.9);
  EXPECT_LT(secs, expect * 1.1);
}

}  // namespace
