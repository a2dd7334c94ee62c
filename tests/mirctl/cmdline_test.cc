// mirctl's command line, argument checks and requests, against a fake daemon
// socket. Commands that must read a real disk are covered on simulated hosts.
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "blkdev.h"
#include "fake_hm_server.h"
#include "files.h"
#include "hm_unix.h"
#include "mirctl.h"
#include "un_cmd.h"

namespace {

using testsupport::FakeHmServer;
using Reply = FakeHmServer::Reply;

Reply reply(uint8_t cmd, uint16_t retcode, const std::string& body = "", uint8_t arg = 0) {
  return FakeHmServer::reply(cmd, retcode, body, arg);
}

const std::string kUsage =
    "\n"
    "tool mirctl must use like:\n"
    "mirctl disk protect primary=DiskID mirror=DiskID\n"
    "mirctl disk unprotect [DiskID] [IndexID=]\n"
    "mirctl disk sync DiskID [speed=num MB/s]\n"
    "mirctl disk resync DiskID [speed=num MB/s]\n"
    "mirctl disk stopsync DiskID\n"
    "mirctl disk stat DiskID\n"
    "mirctl disk statall\n"
    "mirctl disk list\n"
    "mirctl zelmird debugon\n"
    "mirctl zelmird debugoff\n";

const std::string kLong(128, 'x');  // one byte over the longest path

std::string header(uint8_t cmd, uint8_t arg = 0, const std::string& body = "") {
  return reply(cmd, 0, body, arg).bytes;
}

std::string desc(uint8_t kind, uint16_t path_off, uint16_t path_len,
                 uint32_t id, uint32_t param = 0) {
  hm_un_desc_t d = {};
  d.kind = kind;
  d.path_off = path_off;
  d.path_len = path_len;
  d.id.signature = id;
  d.param = param;
  return std::string(reinterpret_cast<const char*>(&d), sizeof(d));
}

struct Case {
  const char* name;
  std::vector<std::string> args;  // after "mirctl"
  std::vector<Reply> replies;
  std::string out;                // expected standard output
  bool out_is_prefix;
  int status;
  std::vector<std::string> requests;  // expected requests, in order
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class MirctlCmd : public ::testing::TestWithParam<Case> {
 protected:
  static void SetUpTestSuite() {
    char tmpl[] = "/tmp/mirctl-cmd-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    // The host's disks, for the checks of protect.
    ASSERT_TRUE(testsupport::make_dirs(dir_ + "/root/sys/block/sdb"));
    ASSERT_TRUE(testsupport::make_dirs(dir_ + "/root/sys/block/sdc"));
  }
  static void TearDownTestSuite() {
    ASSERT_TRUE(testsupport::remove_tree(dir_));
  }
  void SetUp() override {
    mirapi::set_socket_path_for_test((dir_ + "/hm_unix").c_str());
    blkdev_set_root_for_test((dir_ + "/root").c_str());
  }
  void TearDown() override {
    mirapi::set_socket_path_for_test(nullptr);
    blkdev_set_root_for_test(nullptr);
  }

  static int run(const std::vector<std::string>& args, std::string* out) {
    std::vector<std::string> copies = {"mirctl"};
    copies.insert(copies.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : copies) argv.push_back(s.data());
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    int status = mirctl_main(static_cast<int>(copies.size()), argv.data());
    *out = testing::internal::GetCapturedStdout();
    return status;
  }

  static std::string dir_;
};

std::string MirctlCmd::dir_;

TEST_P(MirctlCmd, PrintsSendsAndExits) {
  const Case& c = GetParam();
  FakeHmServer daemon(dir_ + "/hm_unix", FakeHmServer::Unscripted::kHangUp);
  for (const Reply& r : c.replies) daemon.push(r);
  std::string out;
  int status = run(c.args, &out);
  if (c.out_is_prefix)
    EXPECT_EQ(out.substr(0, c.out.size()), c.out) << out;
  else
    EXPECT_EQ(out, c.out);
  EXPECT_EQ(status, c.status);
  EXPECT_EQ(daemon.requests(), c.requests);
}

std::string hmdev_info_body() {
  // Primary /dev/sdb (kind 1, signature 5d3f2a10), mirror /dev/sdc (kind 2).
  std::string guid(36, 'a');
  std::string body = desc(1, 32, 8, 0x5d3f2a10);
  hm_un_desc_t m = {};
  m.kind = 2;
  m.path_off = 40;
  m.path_len = 8;
  m.id.g.guid_off = 48;
  m.id.g.guid_len = 36;
  body.append(reinterpret_cast<const char*>(&m), sizeof(m));
  return body + "/dev/sdb/dev/sdc" + guid;
}

std::vector<std::string> many_long_args() {
  std::vector<std::string> a = {"disk", "list"};
  for (int i = 0; i < 10; i++) a.push_back(std::string(200, 'a' + i));
  return a;
}

const Case kCases[] = {
    {"NoCommandWord", {"disk"}, {}, "wrong cmd format\n" + kUsage, false, 0, {}},
    {"UnknownDiskWord", {"disk", "frobnicate"}, {}, "wrong arg: frobnicate\n" + kUsage, false, 255, {}},
    {"UnknownFirstWord", {"volume", "list"}, {}, "wrong arg: volume\n" + kUsage, false, 0, {}},
    {"UnknownDaemonWord", {"zelmird", "list"}, {}, "wrong arg: list\n" + kUsage, false, 255, {}},
    {"VersionOnly", {"disk", "list", "-v"}, {}, "zel-linux-hostmirror version:\t1.5-99\n", false, 0, {}},
    {"VersionAlone", {"-v"}, {}, "zel-linux-hostmirror version:\t1.5-99\n", false, 0, {}},
    {"List", {"disk", "list"}, {reply(DISK_LIST, 0, std::string("Disk:\t/dev/sdb\n") + '\0')},
     "Disk:\t/dev/sdb\n\n", false, 0, {header(DISK_LIST)}},
    {"ListWithConsoleFlag", {"disk", "list", "-d"}, {reply(DISK_LIST, 0, std::string("x") + '\0')},
     "x\n", false, 0, {header(DISK_LIST)}},
    {"StatallEmpty", {"disk", "statall"}, {reply(GET_STATUS_ALL, 0, std::string(1, '\0'))},
     "\n", false, 0, {header(GET_STATUS_ALL)}},
    {"StatallFailed", {"disk", "statall"}, {reply(GET_STATUS_ALL, 12)},
     "retcode: 12\ncmd: GET_STATUS_ALL code: 7 failed: Get status in kernel failed\n", false, 0,
     {header(GET_STATUS_ALL)}},
    {"DebugOn", {"zelmird", "debugon"}, {reply(UN_CMD_ZELMIRD_DEBUG_ON, 0)},
     "do cmd UN_CMD_ZELMIRD_DEBUG_ON success\n", false, 0, {header(UN_CMD_ZELMIRD_DEBUG_ON)}},
    {"DebugOff", {"zelmird", "debugoff"}, {reply(UN_CMD_ZELMIRD_DEBUG_OFF, 0)},
     "do cmd UN_CMD_ZELMIRD_DEBUG_OFF success\n", false, 0, {header(UN_CMD_ZELMIRD_DEBUG_OFF)}},
    {"DebugOnRefused", {"zelmird", "debugon"}, {reply(UN_CMD_ZELMIRD_DEBUG_ON, 19)},
     "cmd: UN_CMD_ZELMIRD_DEBUG_ON failed: Try again later\n", false, 0,
     {header(UN_CMD_ZELMIRD_DEBUG_ON)}},
    {"ResultWithoutText", {"zelmird", "debugon"}, {reply(UN_CMD_ZELMIRD_DEBUG_ON, 40)},
     std::string("cmd: UN_CMD_ZELMIRD_DEBUG_ON failed: ") + hm_un_retcode_text(40) + "\n", false, 0,
     {header(UN_CMD_ZELMIRD_DEBUG_ON)}},
    {"DebugLevel", {"zelmird", "debug", "3"}, {reply(UN_CMD_ZELMIRD_DEBUG_SET, 0, "", 3)},
     "do cmd UN_CMD_ZELMIRD_DEBUG_SET success\n", false, 0, {header(UN_CMD_ZELMIRD_DEBUG_SET, 3)}},
    {"DebugLevelLeadingDigits", {"zelmird", "debug", "7abc"}, {reply(UN_CMD_ZELMIRD_DEBUG_SET, 0, "", 7)},
     "do cmd UN_CMD_ZELMIRD_DEBUG_SET success\n", false, 0, {header(UN_CMD_ZELMIRD_DEBUG_SET, 7)}},
    {"DebugLevelTooHigh", {"zelmird", "debug", "8"}, {}, "debug level must be in range [0, 7]\n", false, 0, {}},
    {"DebugLevelNegative", {"zelmird", "debug", "-1"}, {}, "debug level must be in range [0, 7]\n", false, 0, {}},
    {"DebugLevelHuge", {"zelmird", "debug", "4294967303"}, {}, "debug level must be in range [0, 7]\n", false, 0, {}},
    {"DebugLevelMissing", {"zelmird", "debug"}, {}, kUsage, false, 0, {}},
    {"Fail", {"disk", "fail", "sdb"}, {reply(0, 0)}, "cmd: UN_CMD_DISK_FAIL success\n", false, 0,
     {header(UN_CMD_DISK_FAIL, 0, "/dev/sdb")}},
    {"Up", {"disk", "up", "sdb"}, {reply(0, 0)}, "cmd: UN_CMD_DISK_UP success\n", false, 0,
     {header(UN_CMD_DISK_UP, 0, "/dev/sdb")}},
    {"Del", {"disk", "del", "sdc"}, {reply(0, 0)}, "cmd: UN_CMD_DISK_DEL success\n", false, 0,
     {header(UN_CMD_DISK_DEL, 0, "/dev/sdc")}},
    {"Add", {"disk", "add", "sdc"}, {reply(0, 0)}, "cmd: UN_CMD_DISK_ADD success\n", false, 0,
     {header(UN_CMD_DISK_ADD, 0, "/dev/sdc")}},
    {"FailWithoutDisk", {"disk", "fail"}, {}, kUsage, false, 0, {}},
    {"AddEmptyDisk", {"disk", "add", ""}, {}, "wrong arg: \n" + kUsage, false, 0, {}},
    {"FailNameTooLong", {"disk", "fail", std::string(123, 'x')}, {},
     "wrong arg: " + std::string(123, 'x') + "\n" + kUsage, false, 0, {}},
    {"FailLongestName", {"disk", "fail", std::string(122, 'x')}, {reply(0, 0)},
     "cmd: UN_CMD_DISK_FAIL success\n", false, 0,
     {header(UN_CMD_DISK_FAIL, 0, "/dev/" + std::string(122, 'x'))}},
    {"UnprotectIndexNotDigits", {"disk", "unprotect", "IndexID=x"}, {},
     "wrong arg: IndexID=x\n" + kUsage, false, 0, {}},
    {"UnprotectIndexEmpty", {"disk", "unprotect", "IndexID="}, {},
     "wrong arg: IndexID=\n" + kUsage, false, 0, {}},
    {"UnprotectIndexKeyOnly", {"disk", "unprotect", "IndexID"}, {},
     "wrong arg: IndexID\n" + kUsage, false, 0, {}},
    {"UnprotectIndexOverByte", {"disk", "unprotect", "IndexID=256"}, {},
     "wrong arg: IndexID=256\n" + kUsage, false, 0, {}},
    {"UnprotectByIndex", {"disk", "unprotect", "IndexID=3"},
     {reply(GET_HMDEV_INFO, 0, hmdev_info_body()), reply(CANCEL_DISK_PROTECT, 0)},
     "index_cmd send unprotect cmd\ncmd: CANCEL_DISK_PROTECT success\n", false, 0,
     {header(GET_HMDEV_INFO, 3), header(CANCEL_DISK_PROTECT, 0, desc(1, 0, 0, 0x5d3f2a10))}},
    {"UnprotectByIndexNotFound", {"disk", "unprotect", "IndexID=3"}, {reply(GET_HMDEV_INFO, 20)},
     "cmd: GET_HMDEV_INFO failed: Hmdev not found\n", false, 0, {header(GET_HMDEV_INFO, 3)}},
    {"UnprotectByIndexShortReply", {"disk", "unprotect", "IndexID=3"},
     {reply(GET_HMDEV_INFO, 0, "abcd")}, "cmd: GET_HMDEV_INFO failed: ", true, 0,
     {header(GET_HMDEV_INFO, 3)}},
    {"UnprotectWithoutDisk", {"disk", "unprotect"}, {}, kUsage, false, 0, {}},
    {"StatWithoutDisk", {"disk", "stat"}, {}, kUsage, false, 0, {}},
    {"StatPathTooLong", {"disk", "stat", kLong}, {}, "wrong arg: " + kLong + "\n" + kUsage, false, 0, {}},
    {"StatNoSuchDisk", {"disk", "stat", "/dev/nosuch"}, {},
     "cmd: GET_STATUS failed get volume: /dev/nosuch signature\n", false, 0, {}},
    {"SyncNoSuchDisk", {"disk", "sync", "/dev/nosuch", "speed=50"}, {},
     "cmd: DISK_SYNC failed get volume: /dev/nosuch signature\n", false, 0, {}},
    {"UpdateWithoutDisk", {"disk", "update"}, {}, kUsage, false, 0, {}},
    {"UpdateEmptyDisk", {"disk", "update", ""}, {}, "", false, 0, {}},
    {"UpdateTwoArguments", {"disk", "update", "/dev/sdb", "-d"}, {}, kUsage, false, 0, {}},
    {"UpdatePathTooLong", {"disk", "update", kLong}, {}, "wrong arg: " + kLong + "\n" + kUsage, false, 0, {}},
    {"MarkWithoutSignature", {"disk", "mark", "/dev/sdb"}, {}, kUsage, false, 0, {}},
    {"MarkSignatureNotHex", {"disk", "mark", "/dev/sdb", "Signature=zz"}, {},
     "wrong arg: Signature=zz\n" + kUsage, false, 0, {}},
    {"MarkSignatureTrailingJunk", {"disk", "mark", "/dev/sdb", "Signature=12g"}, {},
     "wrong arg: Signature=12g\n" + kUsage, false, 0, {}},
    {"MarkSignatureKeyMissing", {"disk", "mark", "/dev/sdb", "Sig=12"}, {},
     "wrong arg: Sig=12\n" + kUsage, false, 0, {}},
    {"MarkNoSuchDisk", {"disk", "mark", "/dev/nosuch", "Signature=1a2b3c4d"}, {},
     "cmd: mark Failed to write volume: /dev/nosuch signature\n", false, 0, {}},
    {"MarkPathTooLong", {"disk", "mark", kLong, "Signature=1"}, {},
     "wrong arg: " + kLong + "\n" + kUsage, false, 0, {}},
    {"ProtectOneArgument", {"disk", "protect", "primary=/dev/sdb"}, {}, kUsage, false, 0, {}},
    {"ProtectPrimaryEmpty", {"disk", "protect", "primary=", "mirror=/dev/sdc"}, {},
     "wrong arg: primary=\n" + kUsage, false, 0, {}},
    {"ProtectMirrorKeyOnly", {"disk", "protect", "primary=/dev/sdb", "mirror"}, {},
     "wrong arg: mirror\n" + kUsage, false, 0, {}},
    {"ProtectPrimaryTooLong", {"disk", "protect", "primary=" + kLong, "mirror=/dev/sdc"}, {},
     "wrong arg: primary=" + kLong + "\n" + kUsage, false, 0, {}},
    {"ProtectNoSuchPrimary", {"disk", "protect", "primary=/dev/sdx", "mirror=/dev/sdc"}, {},
     "primary disk /dev/sdx not exist\n", false, 0, {}},
    {"ProtectNoSuchDisks", {"disk", "protect", "primary=/dev/sdx", "mirror=/dev/sdy"}, {},
     "primary disk /dev/sdx not exist\nmirror disk /dev/sdy not exist\n", false, 0, {}},
    {"ProtectMirrorIsPrimary", {"disk", "protect", "primary=/dev/sdb", "mirror=/dev/sdb"}, {},
     "mirror disk /dev/sdb not exist\n", false, 0, {}},
    {"ArgumentsOverflowTheArea", many_long_args(), {}, "wrong arg: " + std::string(200, 'e') + "\n" + kUsage,
     false, 0, {}},
    {"DaemonHangsUp", {"disk", "list"}, {Reply{"", true}}, "failed in: readn hm_header_t err: ", true, 0,
     {header(DISK_LIST)}},
};

INSTANTIATE_TEST_SUITE_P(Table, MirctlCmd, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });

TEST_F(MirctlCmd, DeadDaemonIsReported) {
  mirapi::set_socket_path_for_test((dir_ + "/nobody-listens").c_str());
  std::string out;
  EXPECT_EQ(run({"disk", "list"}, &out), 0);
  EXPECT_EQ(out, "No such file or directory: make sure zelmird is running\n");
}

TEST(MirctlKeyValue, ValueAfterKeyAndSeparator) {
  struct {
    const char* arg;
    const char* key;
    const char* value;  // null: none
  } cases[] = {
      {"primary=/dev/sdb", "primary", "/dev/sdb"},
      {"xprimary:/dev/sdb", "primary", "/dev/sdb"},
      {"speed=50", "speed", "50"},
      {"primary=", "primary", nullptr},
      {"primary", "primary", nullptr},
      {"mirror=/dev/sdc", "primary", nullptr},
  };
  for (const auto& c : cases) {
    const char* v = get_key_value(c.arg, c.key);
    if (c.value == nullptr)
      EXPECT_EQ(v, nullptr) << c.arg;
    else
      EXPECT_STREQ(v, c.value) << c.arg;
  }
  EXPECT_TRUE(is_all_digits("0123"));
  EXPECT_FALSE(is_all_digits(""));
  EXPECT_FALSE(is_all_digits("12a"));
  EXPECT_FALSE(is_all_digits(nullptr));
}

}  // namespace
