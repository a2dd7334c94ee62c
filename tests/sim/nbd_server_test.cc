// The NBD server against a memory disk: a real client (libnbd) and raw
// clients that send what a hostile or broken peer would.
#include <condition_variable>
#include <cstring>
#include <endian.h>
#include <gtest/gtest.h>
#include <libnbd.h>
#include <mutex>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include "nbd_proto.h"
#include "nbd_server.h"

namespace {

constexpr uint64_t kSize = 1 << 20;

class MemBackend : public nbd::Backend {
 public:
  MemBackend() : data_(kSize, '\0') {}
  bool lookup(const std::string& name, uint64_t* size) override {
    if (name == "sdb") *size = kSize;
    else if (name == "sdb1") *size = kSize / 2;
    else return false;
    return true;
  }
  std::vector<std::string> exports() override { return {"sdb", "sdb1"}; }
  int io(const std::string&, bool write, uint64_t off, void* buf, uint32_t len) override {
    std::unique_lock<std::mutex> l(mu_);
    cur_++;
    max_ = std::max(max_, cur_);
    cv_.notify_all();
    // Held requests wait until `hold_` of them are inside at once.
    if (cur_ >= hold_) released_ = true;
    cv_.wait_for(l, std::chrono::seconds(5), [&] { return released_; });
    if (write) memcpy(&data_[off], buf, len);
    else memcpy(buf, &data_[off], len);
    cur_--;
    return 0;
  }
  int flush(const std::string&) override { return 0; }

  void hold(int n) {
    std::lock_guard<std::mutex> l(mu_);
    hold_ = n;
    released_ = false;
  }
  int max_concurrent() {
    std::lock_guard<std::mutex> l(mu_);
    return max_;
  }
  std::string bytes(uint64_t off, size_t n) {
    std::lock_guard<std::mutex> l(mu_);
    return data_.substr(off, n);
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::string data_;
  int cur_ = 0, max_ = 0, hold_ = 0;
  bool released_ = false;
};

class SimNbdServer : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = "/tmp/simnbd-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".sock";
    server_ = std::make_unique<nbd::Server>(&be_);
    ASSERT_EQ(server_->listen(path_), 0);
  }
  void TearDown() override {
    server_.reset();
    unlink(path_.c_str());
  }
  std::string uri(const std::string& name) { return "nbd+unix:///" + name + "?socket=" + path_; }

  nbd_handle* client(const std::string& name) {
    nbd_handle* h = nbd_create();
    EXPECT_NE(h, nullptr);
    EXPECT_EQ(nbd_connect_uri(h, uri(name).c_str()), 0) << nbd_get_error();
    return h;
  }

  // A raw connection; with `name`, negotiated up to transmission.
  int raw(const char* name = nullptr) {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    strcpy(sa.sun_path, path_.c_str());
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char hello[18];
    EXPECT_TRUE(get(fd, hello, sizeof hello));
    EXPECT_EQ(memcmp(hello, "NBDMAGICIHAVEOPT", 16), 0);
    if (name) {
      put32(fd, nbd::kClientFixedNewstyle | nbd::kClientNoZeroes);
      option(fd, nbd::kOptExportName, name);
      char info[10];
      EXPECT_TRUE(get(fd, info, sizeof info));
    }
    return fd;
  }

  static bool get(int fd, void* p, size_t n) {
    char* c = static_cast<char*>(p);
    while (n) {
      ssize_t r = recv(fd, c, n, 0);
      if (r <= 0) return false;
      c += r;
      n -= static_cast<size_t>(r);
    }
    return true;
  }
  static void put(int fd, const void* p, size_t n) {
    ASSERT_EQ(send(fd, p, n, MSG_NOSIGNAL), static_cast<ssize_t>(n));
  }
  static void put32(int fd, uint32_t v) {
    v = htobe32(v);
    put(fd, &v, 4);
  }
  static void option(int fd, uint32_t opt, const std::string& data) {
    nbd::OptionHeader h{htobe64(nbd::kOptMagic), htobe32(opt), htobe32(static_cast<uint32_t>(data.size()))};
    put(fd, &h, sizeof h);
    if (!data.empty()) put(fd, data.data(), data.size());
  }
  // Reads one option reply; returns its type, its data in *data.
  static uint32_t option_reply(int fd, std::string* data = nullptr) {
    nbd::OptionReply r;
    if (!get(fd, &r, sizeof r)) return 0;
    EXPECT_EQ(be64toh(r.magic), nbd::kOptReplyMagic);
    std::string d(be32toh(r.length), '\0');
    EXPECT_TRUE(get(fd, d.data(), d.size()));
    if (data) *data = d;
    return be32toh(r.type);
  }
  static void request(int fd, uint16_t type, uint64_t off, uint32_t len, uint64_t handle,
                      uint32_t magic = nbd::kRequestMagic) {
    nbd::Request r{htobe32(magic), 0, htobe16(type), handle, htobe64(off), htobe32(len)};
    put(fd, &r, sizeof r);
  }
  // Reads a simple reply; -1 when the server closed the connection.
  static int64_t reply(int fd, uint64_t handle) {
    nbd::SimpleReply r;
    if (!get(fd, &r, sizeof r)) return -1;
    EXPECT_EQ(be32toh(r.magic), nbd::kSimpleReplyMagic);
    EXPECT_EQ(r.handle, handle);
    return be32toh(r.error);
  }
  static bool closed(int fd) {
    char c;
    return recv(fd, &c, 1, 0) == 0;
  }

  MemBackend be_;
  std::string path_;
  std::unique_ptr<nbd::Server> server_;
};

TEST_F(SimNbdServer, RealClientWritesReadsAndFlushes) {
  nbd_handle* h = client("sdb");
  EXPECT_EQ(nbd_get_size(h), static_cast<int64_t>(kSize));
  EXPECT_EQ(nbd_can_flush(h), 1);
  EXPECT_EQ(nbd_can_multi_conn(h), 1);
  std::string out(65536, '\0');
  for (size_t i = 0; i < out.size(); i++) out[i] = static_cast<char>(i * 7 + 1);
  ASSERT_EQ(nbd_pwrite(h, out.data(), out.size(), 4096, 0), 0) << nbd_get_error();
  ASSERT_EQ(nbd_flush(h, 0), 0);
  std::string in(out.size(), '\0');
  ASSERT_EQ(nbd_pread(h, in.data(), in.size(), 4096, 0), 0);
  EXPECT_EQ(in, out);
  EXPECT_EQ(be_.bytes(4096, out.size()), out);
  // Unaligned requests are the backend's to handle; the server passes them as they are.
  ASSERT_EQ(nbd_pwrite(h, "abc", 3, 7, 0), 0);
  EXPECT_EQ(be_.bytes(7, 3), "abc");
  nbd_shutdown(h, 0);
  nbd_close(h);
}

extern "C" int collect(void* user, const char* name, const char*) {
  static_cast<std::vector<std::string>*>(user)->push_back(name);
  return 0;
}

TEST_F(SimNbdServer, ListInfoAndGo) {
  nbd_handle* h = nbd_create();
  ASSERT_EQ(nbd_set_opt_mode(h, true), 0);
  ASSERT_EQ(nbd_connect_unix(h, path_.c_str()), 0) << nbd_get_error();
  std::vector<std::string> names;
  ASSERT_EQ(nbd_opt_list(h, (nbd_list_callback){.callback = collect, .user_data = &names,
                                                .free = nullptr}),
            2);
  EXPECT_EQ(names, (std::vector<std::string>{"sdb", "sdb1"}));
  nbd_set_export_name(h, "nosuch");
  EXPECT_EQ(nbd_opt_info(h), -1);
  nbd_set_export_name(h, "sdb1");
  ASSERT_EQ(nbd_set_request_block_size(h, true), 0);
  ASSERT_EQ(nbd_opt_info(h), 0) << nbd_get_error();
  EXPECT_EQ(nbd_get_size(h), static_cast<int64_t>(kSize / 2));
  EXPECT_EQ(nbd_get_block_size(h, LIBNBD_SIZE_PREFERRED), 4096);
  ASSERT_EQ(nbd_opt_go(h), 0) << nbd_get_error();
  char buf[512];
  EXPECT_EQ(nbd_pread(h, buf, sizeof buf, 0, 0), 0);
  nbd_close(h);
}

TEST_F(SimNbdServer, OptionsNotOfferedGetUnsupported) {
  int fd = raw();
  put32(fd, nbd::kClientFixedNewstyle);
  option(fd, 8 /* structured replies */, "");
  EXPECT_EQ(option_reply(fd), nbd::kRepErrUnsup);
  option(fd, 99, "xyz");
  EXPECT_EQ(option_reply(fd), nbd::kRepErrUnsup);
  option(fd, nbd::kOptList, "junk");
  EXPECT_EQ(option_reply(fd), nbd::kRepErrInvalid);
  option(fd, nbd::kOptGo, "\0\0");
  EXPECT_EQ(option_reply(fd), nbd::kRepErrInvalid);
  // The session is still in step: an export can be chosen after all that.
  option(fd, nbd::kOptExportName, "sdb");
  char info[134];
  ASSERT_TRUE(get(fd, info, sizeof info));  // no NO_ZEROES asked: the 124 zeroes follow
  uint64_t size;
  memcpy(&size, info, 8);
  EXPECT_EQ(be64toh(size), kSize);
  request(fd, nbd::kCmdRead, 0, 512, 1);
  EXPECT_EQ(reply(fd, 1), 0);
  close(fd);
}

TEST_F(SimNbdServer, AbortIsAcknowledged) {
  int fd = raw();
  put32(fd, nbd::kClientFixedNewstyle);
  option(fd, nbd::kOptAbort, "");
  EXPECT_EQ(option_reply(fd), nbd::kRepAck);
  EXPECT_TRUE(closed(fd));
  close(fd);
}

// Each hostile exchange ends in the protocol's error reply or a closed
// connection; a client already connected is not disturbed and nothing it
// wrote is lost.
TEST_F(SimNbdServer, HostileClientsDoNotDisturbOthers) {
  nbd_handle* good = client("sdb");
  std::string mine(4096, 'G');
  ASSERT_EQ(nbd_pwrite(good, mine.data(), mine.size(), 8192, 0), 0);

  struct Case {
    const char* what;
    std::function<void(int)> send;
    int64_t expect;  // wire error, or -1 for "closed"
    bool in_step;    // a good read still works on the same connection
  };
  const Case cases[] = {
      {"bad request magic", [](int fd) { request(fd, nbd::kCmdRead, 0, 512, 9, 0xdeadbeef); }, -1,
       false},
      {"write longer than 32 MiB", [](int fd) { request(fd, nbd::kCmdWrite, 0, 0xfffffff0u, 9); },
       -1, false},
      {"read past the end", [](int fd) { request(fd, nbd::kCmdRead, kSize - 512, 1024, 9); },
       nbd::kEinval, true},
      {"read with a wrapping offset", [](int fd) { request(fd, nbd::kCmdRead, ~0ull - 100, 512, 9); },
       nbd::kEinval, true},
      {"write past the end with its payload",
       [](int fd) {
         request(fd, nbd::kCmdWrite, kSize, 1024, 9);
         std::string junk(1024, 'X');
         put(fd, junk.data(), junk.size());
       },
       nbd::kEnospc, true},
      {"unknown command", [](int fd) { request(fd, 0x55, 0, 0, 9); }, nbd::kEinval, true},
      {"read longer than 32 MiB", [](int fd) { request(fd, nbd::kCmdRead, 0, 64u << 20, 9); },
       nbd::kEinval, true},
  };
  for (const auto& c : cases) {
    int fd = raw("sdb");
    c.send(fd);
    int64_t r = reply(fd, 9);
    EXPECT_EQ(r, c.expect) << c.what;
    if (c.in_step) {
      request(fd, nbd::kCmdRead, 8192, 4096, 10);
      EXPECT_EQ(reply(fd, 10), 0) << c.what;
      std::string back(4096, '\0');
      ASSERT_TRUE(get(fd, back.data(), back.size())) << c.what;
      EXPECT_EQ(back, mine) << c.what;
    }
    close(fd);
  }

  // Broken negotiations.
  {
    int fd = raw();
    put32(fd, 0x80000000u);  // client flags we do not know
    EXPECT_TRUE(closed(fd));
    close(fd);
  }
  {
    int fd = raw();
    put32(fd, nbd::kClientFixedNewstyle);
    option(fd, nbd::kOptExportName, "nosuch");
    EXPECT_TRUE(closed(fd));
    close(fd);
  }
  {
    int fd = raw();
    put32(fd, nbd::kClientFixedNewstyle);
    nbd::OptionHeader h{htobe64(nbd::kOptMagic), htobe32(nbd::kOptList), htobe32(1u << 30)};
    put(fd, &h, sizeof h);
    EXPECT_TRUE(closed(fd));
    close(fd);
  }
  {
    int fd = raw("sdb");  // half a request, then gone
    put(fd, "\x25\x60\x95", 3);
    close(fd);
  }

  std::string back(4096, '\0');
  ASSERT_EQ(nbd_pread(good, back.data(), back.size(), 8192, 0), 0) << nbd_get_error();
  EXPECT_EQ(back, mine);
  nbd_close(good);
}

TEST_F(SimNbdServer, SixteenRequestsAreInFlightAtOnce) {
  be_.hold(16);
  nbd_handle* h = client("sdb");
  std::vector<std::string> bufs(16, std::string(4096, '\0'));
  for (int i = 0; i < 16; i++)
    ASSERT_GT(nbd_aio_pread(h, bufs[i].data(), 4096, i * 4096, NBD_NULL_COMPLETION, 0), 0);
  while (nbd_aio_in_flight(h) > 0) ASSERT_GE(nbd_poll(h, 10000), 0);
  EXPECT_EQ(be_.max_concurrent(), 16);
  nbd_close(h);
}

TEST_F(SimNbdServer, DisconnectAnswersWhatIsInFlight) {
  int fd = raw("sdb");
  std::string data(4096, 'D');
  request(fd, nbd::kCmdWrite, 0, 4096, 1);
  put(fd, data.data(), data.size());
  request(fd, nbd::kCmdDisc, 0, 0, 2);
  EXPECT_EQ(reply(fd, 1), 0);
  EXPECT_TRUE(closed(fd));
  close(fd);
  EXPECT_EQ(be_.bytes(0, 4096), data);
}

}  // namespace
