// qorctl's parts outside a host: the command line, the listing's layout and
// the connection check against listeners of the test's own on loopback.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "ctl_check.h"
#include "ctl_list.h"
#include "ctl_options.h"
#include "qor_client.h"

namespace {

// ---- The command line ----

struct Parsed {
  int rc;
  ctl_options opts;
  std::string out, err;
};

Parsed parse(std::vector<std::string> args) {
  args.insert(args.begin(), "qorctl");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  Parsed p{};
  char *out_buf = nullptr, *err_buf = nullptr;
  size_t out_len = 0, err_len = 0;
  FILE* out = open_memstream(&out_buf, &out_len);
  FILE* err = open_memstream(&err_buf, &err_len);
  p.rc = ctl_parse_args(static_cast<int>(args.size()), argv.data(), &p.opts, out, err);
  fclose(out);
  fclose(err);
  p.out = out_buf;
  p.err = err_buf;
  free(out_buf);
  free(err_buf);
  // check_arg points into args, gone on return; the tests compare it first.
  return p;
}

const std::string kUsage =
    "  -l|--list             list all qorcd knows\n"
    "  -d|--delete           delete all configuration, except client guid\n"
    "  -c|--check <ip:port>  check if connection can be established with peer\n"
    "  -h|--help             show this message and exit\n";

TEST(QorctlArgs, OperationsAndFailures) {
  struct Case {
    std::vector<std::string> args;
    int rc;
    int list, del, check;
    bool usage;
    std::string err;
  };
  const std::string multi = "Multi-operation is forbbiden\n";
  const Case cases[] = {
      {{"-l"}, 0, 1, 0, 0, false, ""},
      {{"--list"}, 0, 1, 0, 0, false, ""},
      {{"-l", "-l"}, 0, 1, 0, 0, false, ""},
      {{"-d"}, 0, 0, 1, 0, false, ""},
      {{"--delete"}, 0, 0, 1, 0, false, ""},
      {{"-c", "10.0.0.1:80"}, 0, 0, 0, 1, false, ""},
      {{"--check=10.0.0.1:80"}, 0, 0, 0, 1, false, ""},
      {{"stray"}, 0, 0, 0, 0, false, ""},
      {{"-h"}, -1, 0, 0, 0, true, ""},
      {{"--help"}, -1, 0, 0, 0, true, ""},
      {{"-l", "-h"}, -1, 1, 0, 0, true, ""},
      {{"-x"}, -1, 0, 0, 0, true, ""},
      {{"--lists"}, -1, 0, 0, 0, true, ""},
      {{"-c"}, -1, 0, 0, 0, true, ""},
      {{"-l", "-d"}, -1, 1, 1, 0, false, multi},
      {{"-d", "-c", "10.0.0.1:80"}, -1, 0, 1, 1, false, multi},
      {{"-l", "-d", "-c", "10.0.0.1:80"}, -1, 1, 1, 1, false, multi},
  };
  for (const Case& c : cases) {
    std::string name;
    for (const std::string& a : c.args) name += a + " ";
    Parsed p = parse(c.args);
    EXPECT_EQ(p.rc, c.rc) << name;
    EXPECT_EQ(p.opts.list, c.list) << name;
    EXPECT_EQ(p.opts.del, c.del) << name;
    EXPECT_EQ(p.opts.check, c.check) << name;
    EXPECT_EQ(p.out, c.usage ? kUsage : "") << name;
    EXPECT_EQ(p.err, c.err) << name;
  }
}

TEST(QorctlArgs, CheckAddressIsAlwaysTerminated) {
  // 31 characters fit the 32-byte buffer with their terminator; 32 do not,
  // and must not be kept as an unterminated text.
  const std::string fits = "192.168.100.100:65535" + std::string(10, '0');
  const std::string too_long = fits + "1";
  ASSERT_EQ(fits.size(), 31u);
  Parsed p = parse({"-c", fits});
  EXPECT_EQ(p.rc, 0);
  EXPECT_EQ(std::string(p.opts.address), fits);
  EXPECT_EQ(p.opts.address_too_long, 0);

  p = parse({"-c", too_long});
  EXPECT_EQ(p.rc, 0);
  EXPECT_EQ(p.opts.address_too_long, 1);
  EXPECT_EQ(memchr(p.opts.address, '\0', sizeof p.opts.address) != nullptr, true);
  EXPECT_EQ(std::string(p.opts.address), "");
}

// ---- The listing ----

class QorctlListing : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    qor_ = qor_alloc();
    ASSERT_NE(qor_, nullptr);
    INIT_LIST_HEAD(&disks_);
  }
  void TearDown() override {
    qor_free(qor_);
    disk_list_free(&disks_);
  }

  void manager(const char* guid, std::vector<const char*> ips) {
    qor_->manager = static_cast<qor_manager*>(calloc(1, sizeof(qor_manager)));
    INIT_LIST_HEAD(&qor_->manager->ips);
    qor_->manager->guid = guid ? strdup(guid) : nullptr;
    for (const char* ip : ips) {
      ip_entry* e = static_cast<ip_entry*>(calloc(1, sizeof(ip_entry)));
      inet_pton(AF_INET, ip, &e->addr);
      list_add_tail(&e->list, &qor_->manager->ips);
    }
  }
  void schedule(const char* local, const char* mirror, uint64_t start, uint32_t interval) {
    cdpsch* s = static_cast<cdpsch*>(calloc(1, sizeof(cdpsch)));
    s->local_guid = strdup(local);
    s->mirror_guid = strdup(mirror);
    s->start_time = start;
    s->interval = interval;
    list_add_tail(&s->list, &qor_->cdpschs);
  }
  void disk(const char* name, const char* guid) {
    qor_disk* d = static_cast<qor_disk*>(calloc(1, sizeof(qor_disk)));
    INIT_LIST_HEAD(&d->parts);
    d->name = strdup(name);
    d->guid = guid ? strdup(guid) : nullptr;
    d->state = 1;
    list_add_tail(&d->list, &disks_);
  }
  std::string listing() {
    char* buf = nullptr;
    size_t len = 0;
    FILE* out = open_memstream(&buf, &len);
    ctl_print_list(out, qor_, &disks_);
    fclose(out);
    std::string s(buf, len);
    free(buf);
    return s;
  }

  qor_t* qor_ = nullptr;
  struct list_head disks_;
};

TEST_F(QorctlListing, UnmanagedHostWithoutSchedules) {
  qor_->client_guid = strdup("c1");
  EXPECT_EQ(listing(), "Client: c1\n  Alias: --\n\nManager: --\n\n");
  // An empty alias, and a manager without GUID, count as none.
  qor_->client_alias = strdup("");
  manager("", {});
  EXPECT_EQ(listing(), "Client: c1\n  Alias: --\n\nManager: --\n\n");
}

TEST_F(QorctlListing, ManagerAddressesAndSchedulesInOrder) {
  qor_->client_guid = strdup("c1");
  qor_->client_alias = strdup("db-west");
  manager("m9", {"10.1.2.3", "192.0.2.200"});
  disk("sda", nullptr);                 // no identity: never named
  disk("sdb", "aaaa0001-0000-0000-0000-000000000000");
  disk("sdc", "lun-mirror");
  disk("sdd", "bbbb0002-0000-0000-0000-000000000000");
  schedule("aaaa0001-0000-0000-0000-000000000000", "lun-mirror", 1700000000, 5400);
  schedule("bbbb0002-0000-0000-0000-000000000000", "lun-elsewhere", 0, 7200);
  schedule("gone", "gone-too", 86399, 0);
  schedule("bbbb0002-0000-0000-0000-000000000000", "lun-mirror", 60, 90);
  EXPECT_EQ(listing(),
            "Client: c1\n"
            "  Alias: db-west\n"
            "\n"
            "Manager: m9\n"
            "  ipaddress: 10.1.2.3\n"
            "  ipaddress: 192.0.2.200\n"
            "\n"
            "CDP Schedule:\n"
            "  Primary:     /dev/sdb (aaaa0001-0000-0000-0000-000000000000)\n"
            "  Mirror:      /dev/sdc (lun-mirror)\n"
            "  Start time:  2023/11/14 22:13:20\n"
            "  Interval:    90 (minute)\n"
            "\n"
            "CDP Schedule:\n"
            "  Primary:     /dev/sdd (bbbb0002-0000-0000-0000-000000000000)\n"
            "  Start time:  1970/01/01 00:00:00\n"
            "  Interval:    2 (hour)\n"
            "\n"
            "CDP Schedule:\n"
            "  Start time:  1970/01/01 23:59:59\n"
            "  Interval:    0 (hour)\n"
            "\n"
            "CDP Schedule:\n"
            "  Mirror:      /dev/sdc (lun-mirror)\n"
            "  Primary:     /dev/sdd (bbbb0002-0000-0000-0000-000000000000)\n"
            "  Start time:  1970/01/01 00:01:00\n"
            "  Interval:    1 (minute)\n"
            "\n");
}

// ---- The connection check ----

std::string hex(const std::string& bytes) {
  std::string out;
  char two[3];
  for (unsigned char c : bytes) {
    snprintf(two, sizeof two, "%02x", c);
    out += two;
  }
  return out;
}

TEST(QorctlCheck, HeadIsVersionOnePing) {
  qorc_head h;
  memset(&h, 0xff, sizeof h);
  check_head_init(&h, QORC_CMD_PING_CLIENT, 0);
  EXPECT_EQ(hex(std::string(reinterpret_cast<char*>(&h), sizeof h)),
            "01000000000000003900000000000000");
}

// A loopback listener on a port of the system's choosing that serves one
// connection and answers as asked.
class Peer {
 public:
  enum Answer {
    kRefusal,        // reads the head, replies as qorcd refuses version 1
    kClose,          // reads the head, closes
    kCloseUnread,    // waits until the head has arrived, closes without reading it
    kResetAfterHead, // waits until the head has arrived, closes with SO_LINGER 0
    kResetAtOnce,    // closes with SO_LINGER 0 as soon as it accepted
  };
  explicit Peer(Answer a) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    EXPECT_EQ(listen(fd_, 4), 0);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(sa.sin_port);
    thread_ = std::thread([this, a] { serve(a); });
  }
  ~Peer() {
    thread_.join();
    close(fd_);
  }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
  std::string head() {
    thread_.join();
    thread_ = std::thread([] {});
    return head_;
  }

 private:
  void serve(Answer a) {
    int c = accept(fd_, nullptr, nullptr);
    char buf[16];
    if (a == kResetAtOnce) {
      reset(c);
      return;
    }
    if (a == kCloseUnread || a == kResetAfterHead) {
      // The whole head in the receive queue, left there: the close that
      // follows finds unread data and answers with a reset.
      ssize_t r = 0;
      for (int tries = 0; tries < 1000 && r < 16; ++tries) {
        pollfd p{c, POLLIN, 0};
        poll(&p, 1, 10);
        r = recv(c, buf, sizeof buf, MSG_PEEK);
      }
      head_.assign(buf, r > 0 ? static_cast<size_t>(r) : 0);
      if (a == kResetAfterHead)
        reset(c);
      else
        close(c);
      return;
    }
    size_t got = 0;
    while (got < sizeof buf) {
      ssize_t r = read(c, buf + got, sizeof buf - got);
      if (r <= 0) break;
      got += static_cast<size_t>(r);
    }
    head_.assign(buf, got);
    if (a == kRefusal) {
      qorc_head h{};
      h.proto_version = 2;
      h.ret_status = 1;
      (void)!write(c, &h, sizeof h);
    }
    close(c);
  }
  static void reset(int c) {
    linger l{1, 0};
    setsockopt(c, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(c);
  }

  int fd_ = -1;
  int port_ = 0;
  std::string head_;
  std::thread thread_;
};

TEST(QorctlCheck, AnyAnswerCounts) {
  // A peer that took the connection answered, however it closes: a reset
  // on the probe's write or read is its answer as much as a reply is.
  const std::string ping = "01000000000000003900000000000000";
  for (Peer::Answer a : {Peer::kRefusal, Peer::kClose, Peer::kCloseUnread, Peer::kResetAfterHead}) {
    Peer peer(a);
    EXPECT_EQ(connection_check(peer.address().c_str()), 0) << a;
    EXPECT_EQ(hex(peer.head()), ping) << a;
  }
  // Whether the reset meets the head on its way or the read after it, the
  // check passes; a few rounds let both orders come up.
  for (int round = 0; round < 20; ++round) {
    Peer peer(Peer::kResetAtOnce);
    EXPECT_EQ(connection_check(peer.address().c_str()), 0) << round;
  }
}

TEST(QorctlCheck, InputThatNamesNoPeerFailsWithoutConnecting) {
  // A closed port: a listener's port, taken back before the check.
  int closed_port;
  {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    closed_port = ntohs(sa.sin_port);
    close(fd);
  }
  const std::string closed = "127.0.0.1:" + std::to_string(closed_port);
  const std::string long_address = std::string(31, '1') + ":80";
  for (const char* text : {static_cast<const char*>(nullptr), "192.0.2.7", "192.0.2.7:",
                           "127.0.0.1:0", "127.0.0.1:65536", "127.0.0.1:-5",
                           "localhost:80", "1.2.3:80", long_address.c_str(), ":80",
                           closed.c_str()}) {
    EXPECT_EQ(connection_check(text), -1) << (text ? text : "(null)");
  }
}

}  // namespace
