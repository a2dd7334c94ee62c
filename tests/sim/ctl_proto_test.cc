// The control socket's framing: headers and payloads a client or a broken
// peer could send, and the client's handling of bad replies.
#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include "ctl_proto.h"

namespace {

using namespace ctlproto;

TEST(SimCtlProto, RequestHeaders) {
  struct {
    const char* what;
    RequestHeader h;
    int want;
  } cases[] = {
      {"good", {kRequestMagic, kDisks, 0, 0}, 0},
      {"largest payload", {kRequestMagic, kSgIo, 0, kMaxRequest}, 0},
      {"payload too large", {kRequestMagic, kSgIo, 0, kMaxRequest + 1}, -EMSGSIZE},
      {"bad magic", {kReplyMagic, kDisks, 0, 0}, -EBADMSG},
      {"flags set", {kRequestMagic, kDisks, 1, 0}, -EBADMSG},
      {"op 0", {kRequestMagic, 0, 0, 0}, -EBADMSG},
      {"op past the last", {kRequestMagic, kOpMax + 1, 0, 0}, -EBADMSG},
  };
  for (const auto& c : cases) EXPECT_EQ(check_request(c.h), c.want) << c.what;

  EXPECT_EQ(check_reply({kReplyMagic, -ENOENT, 10}), 0);
  EXPECT_EQ(check_reply({kRequestMagic, 0, 0}), -EBADMSG);
  EXPECT_EQ(check_reply({kReplyMagic, 0, kMaxReply + 1}), -EMSGSIZE);
  EXPECT_EQ(check_reply({kReplyMagic, 5, 0}), -EBADMSG);
}

TEST(SimCtlProto, ReaderNeverRunsPastTheEnd) {
  Writer w;
  w.str("sdb");
  w.u64(1ull << 40);
  std::string full = w.take();
  for (size_t cut = 0; cut < full.size(); cut++) {
    Reader r(full.data(), cut);
    std::string s;
    uint64_t v;
    EXPECT_FALSE(r.str(&s) && r.u64(&v)) << "cut at " << cut;
    EXPECT_FALSE(r.ok() && r.done()) << "cut at " << cut;
  }
  Reader r(full);
  std::string s;
  uint64_t v;
  ASSERT_TRUE(r.str(&s) && r.u64(&v) && r.done());
  EXPECT_EQ(s, "sdb");
  EXPECT_EQ(v, 1ull << 40);

  // A string length that lies, and one over the limit.
  Writer lie;
  lie.u32(0xfffffff0u);
  lie.bytes("abc", 3);
  Reader rl(lie.data());
  EXPECT_FALSE(rl.str(&s));
  Writer big;
  big.str(std::string(100, 'x'));
  Reader rb(big.data());
  EXPECT_FALSE(rb.str(&s, 64));
}

SgIoRequest inquiry() {
  SgIoRequest r;
  r.name = "sdc";
  r.cdb[0] = 0x12;
  r.cdb[4] = 0x62;
  r.cdb_len = 6;
  r.dir = kDxferFromDev;
  r.dxfer_len = 98;
  r.mx_sb_len = 32;
  r.timeout_ms = 6000;
  return r;
}

TEST(SimCtlProto, SgIoRequests) {
  {
    Writer w;
    encode(w, inquiry());
    Reader r(w.data());
    SgIoRequest out;
    ASSERT_TRUE(decode(r, &out));
    EXPECT_EQ(out.name, "sdc");
    EXPECT_EQ(out.cdb[4], 0x62);
    EXPECT_EQ(out.dxfer_len, 98u);
  }
  struct {
    const char* what;
    std::function<void(SgIoRequest&)> spoil;
  } bad[] = {
      {"cdb too short", [](SgIoRequest& r) { r.cdb_len = 5; }},
      {"cdb too long", [](SgIoRequest& r) { r.cdb_len = 17; }},
      {"unknown direction", [](SgIoRequest& r) { r.dir = 3; }},
      {"data over 1 MiB", [](SgIoRequest& r) { r.dxfer_len = kMaxSgData + 1; }},
      {"no direction but a length", [](SgIoRequest& r) { r.dir = kDxferNone; }},
      {"data out missing", [](SgIoRequest& r) { r.dir = kDxferToDev; }},
      {"data sent with a read", [](SgIoRequest& r) { r.data_out = "x"; }},
      {"sense buffer too large", [](SgIoRequest& r) { r.mx_sb_len = 253; }},
      {"a path for a name", [](SgIoRequest& r) { r.name = "../../etc/passwd"; }},
      {"empty name", [](SgIoRequest& r) { r.name = ""; }},
  };
  for (const auto& b : bad) {
    SgIoRequest rq = inquiry();
    b.spoil(rq);
    Writer w;
    encode(w, rq);
    Reader r(w.data());
    SgIoRequest out;
    EXPECT_FALSE(decode(r, &out)) << b.what;
  }
  {
    Writer w;
    encode(w, inquiry());
    w.u8(0);  // trailing byte
    Reader r(w.data());
    SgIoRequest out;
    EXPECT_FALSE(decode(r, &out));
  }
}

TEST(SimCtlProto, SgIoReplyAndResolveReply) {
  SgIoReply rp;
  rp.status = 2;
  rp.sb_len_wr = 3;
  rp.sense = "abc";
  rp.resid = -1;
  Writer w;
  encode(w, rp);
  Reader r(w.data());
  SgIoReply out;
  ASSERT_TRUE(decode(r, &out));
  EXPECT_EQ(out.resid, -1);
  EXPECT_EQ(out.sense, "abc");

  rp.sb_len_wr = 4;  // more sense claimed than sent
  Writer w2;
  encode(w2, rp);
  Reader r2(w2.data());
  EXPECT_FALSE(decode(r2, &out));

  ResolveReply rr{"sdb1", 8, 17, 1 << 20, 512, 1};
  Writer w3;
  encode(w3, rr);
  Reader r3(w3.data());
  ResolveReply ro;
  ASSERT_TRUE(decode(r3, &ro));
  EXPECT_EQ(ro.minor, 17u);
  rr.sector_size = 500;
  Writer w4;
  encode(w4, rr);
  Reader r4(w4.data());
  EXPECT_FALSE(decode(r4, &ro));
}

TEST(SimCtlProto, DiskNames) {
  for (const char* good : {"sdb", "sdb1", "sdaa", "vol_1", "Disk-2"}) EXPECT_TRUE(valid_disk_name(good)) << good;
  for (const char* badn : {"", "1sd", "-sd", ".", "..", "sd/b", "sd b", "sdb\n",
                           "abcdefghijklmnopqrstuvwxyz0123456"})
    EXPECT_FALSE(valid_disk_name(badn)) << badn;
}

// A server that answers whatever bytes the test gives, for the client's checks.
class FakeServer {
 public:
  explicit FakeServer(std::string answer) : answer_(std::move(answer)) {
    path_ = "/tmp/simctl-" + std::to_string(getpid()) + "-" + std::to_string(++n_) + ".sock";
    fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    strcpy(sa.sun_path, path_.c_str());
    unlink(path_.c_str());
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    listen(fd_, 1);
    t_ = std::thread([this] {
      int c = accept(fd_, nullptr, nullptr);
      RequestHeader h;
      read_full(c, &h, sizeof h);
      std::string p(h.len, '\0');
      read_full(c, p.data(), p.size());
      request_ = p;
      write_full(c, answer_.data(), answer_.size());
      close(c);
    });
  }
  ~FakeServer() {
    t_.join();
    close(fd_);
    unlink(path_.c_str());
  }
  const char* path() const { return path_.c_str(); }
  std::string request_;

 private:
  static inline int n_ = 0;
  std::string answer_, path_;
  int fd_;
  std::thread t_;
};

std::string frame(uint32_t magic, int32_t result, uint32_t len, const std::string& body) {
  ReplyHeader h{magic, result, len};
  return std::string(reinterpret_cast<char*>(&h), sizeof h) + body;
}

TEST(SimCtlProto, ClientChecksReplies) {
  struct {
    const char* what;
    std::string answer;
    int rc, result;
    std::string body;
  } cases[] = {
      {"good", frame(kReplyMagic, 0, 2, "ok"), 0, 0, "ok"},
      {"error with text", frame(kReplyMagic, -ENOENT, 4, "gone"), 0, -ENOENT, "gone"},
      {"bad magic", frame(0x12345678, 0, 0, ""), -EBADMSG, 0, ""},
      {"too long", frame(kReplyMagic, 0, kMaxReply + 1, ""), -EMSGSIZE, 0, ""},
      {"cut short", frame(kReplyMagic, 0, 10, "abc"), -EPIPE, 0, ""},
      {"header cut short", std::string("\x52\x43", 2), -EPIPE, 0, ""},
  };
  for (const auto& c : cases) {
    FakeServer s(c.answer);
    int result = 99;
    std::string body;
    EXPECT_EQ(call(s.path(), kDisks, "req", &result, &body), c.rc) << c.what;
    if (c.rc == 0) {
      EXPECT_EQ(result, c.result) << c.what;
      EXPECT_EQ(body, c.body) << c.what;
    }
  }
  int result;
  EXPECT_EQ(call("/tmp/no-such-simkernel.sock", kDisks, "", &result, nullptr), -ENOENT);
}

}  // namespace
