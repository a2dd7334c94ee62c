// The local requests: what each handler does and answers, and a table of
// malformed requests that must be refused without reading past the body.
#include <stdlib.h>
#include <string.h>

#include <functional>

#include <gtest/gtest.h>

#include "fake_host.h"
#include "hm_conn.h"
#include "hm_nl_client.h"
#include "hm_registry.h"
#include "hm_unix.h"
#include "hm_unix_cmd.h"
#include "mirapi/log.h"

namespace {

const char kMirrorGuid[] = "6c3f1b2a-1111-2222-3333-444455556666";
const uint32_t kSig = 0x5d3f2a10;

struct Reply {
  hm_header_t h;
  std::string body;
};

// Sends one request through the handler table as the worker would.
Reply call(uint8_t cmd, const std::string& body, uint8_t arg = 0, int declared_len = -1) {
  unsigned char* buf = static_cast<unsigned char*>(calloc(1, HM_REQ_BUF_SIZE));
  hm_header_t h{};
  h.cmd = cmd;
  h.arg = arg;
  h.body_len = (uint16_t)(declared_len < 0 ? body.size() : declared_len);
  memcpy(buf, &h, sizeof(h));
  memcpy(buf + HM_REQ_BODY_OFF, body.data(), body.size());
  hm_unix_handle(buf);
  Reply r;
  memcpy(&r.h, buf + HM_REPLY_HDR_OFF, sizeof(r.h));
  r.body.assign(reinterpret_cast<char*>(buf) + HM_REPLY_BODY_OFF, r.h.body_len);
  free(buf);
  return r;
}

std::string desc(uint32_t sig, uint32_t param = 0) {
  hm_un_desc_t d{};
  d.kind = HM_UN_DESC_SIGNATURE;
  d.id.signature = sig;
  d.param = param;
  return std::string(reinterpret_cast<char*>(&d), sizeof(d));
}

std::string protect_body(uint32_t sig, const std::string& p, const std::string& m,
                         const std::string& g) {
  hm_un_protect_req_t rq{};
  rq.mode = 1;
  rq.primary.kind = HM_UN_DESC_SIGNATURE;
  rq.primary.id.signature = sig;
  rq.primary.path_off = 36;
  rq.primary.path_len = (uint16_t)p.size();
  rq.mirror.kind = HM_UN_DESC_GUID;
  rq.mirror.path_off = (uint16_t)(36 + p.size());
  rq.mirror.path_len = (uint16_t)m.size();
  rq.mirror.id.g.guid_off = (uint16_t)(36 + p.size() + m.size());
  rq.mirror.id.g.guid_len = (uint16_t)g.size();
  return std::string(reinterpret_cast<char*>(&rq), sizeof(rq)) + p + m + g + std::string(4, '\0');
}

class UnixCmdTest : public fake::Host {
 protected:
  void SetUp() override {
    fake::Host::SetUp();
    add_disk("sdb", {fake::sig_guid(kSig), 1073741824, 2, false, kSig});
    add_disk("sdc", {kMirrorGuid, 2147483648ull, 2, true, 0});
    k.status = fake::status_with(0, true, true);
  }
  struct hmdev* protect() {
    Reply r = call(SET_DISK_PROTECT, protect_body(kSig, "/dev/sdb", "/dev/sdc", kMirrorGuid));
    EXPECT_EQ(r.h.retcode, 0);
    return hmdev_registry.hmdev_list.next == &hmdev_registry.hmdev_list
               ? nullptr
               : list_first_entry(&hmdev_registry.hmdev_list, struct hmdev, list);
  }
};

TEST_F(UnixCmdTest, ProtectCreatesBitmapKernelEntryAndFiles) {
  struct hmdev* d = protect();
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(k.commands(), std::vector<int>{HM_NL_CMD_ADD_PROTECT});
  EXPECT_GT(d->bitmap_fd, 0);
  EXPECT_NE(read("boot/hmdevs.reg").find("/dev/sdb? volume_id_{5d3f2a10-0000-0000-0000-000000000000} "
                                         "/dev/sdc? volume_id_{6c3f1b2a"),
            std::string::npos);
  EXPECT_NE(read("conf/hmdev.conf").find("\t\tname = /dev/sdc\n"), std::string::npos);
  EXPECT_EQ(fake::script_count(), 1u);
  Reply again = call(SET_DISK_PROTECT, protect_body(kSig, "/dev/sdb", "/dev/sdc", kMirrorGuid));
  EXPECT_EQ(again.h.retcode, UN_RET_PRIMARY_IN_PROTECTION);
  EXPECT_EQ(again.h.cmd, SET_DISK_PROTECT);
}

TEST_F(UnixCmdTest, ProtectFailuresGiveTheirCodes) {
  const std::string good = protect_body(kSig, "/dev/sdb", "/dev/sdc", kMirrorGuid);
  struct {
    const char* what;
    std::function<void()> arrange;
    int code;
    std::string body;
  } cases[] = {
      {"kernel refuses", [&] { k.retcode[HM_NL_CMD_ADD_PROTECT] = 4294967284u; },
       UN_RET_SET_PROTECT_FAILED, good},
      {"no bitmap dir", [&] { system(("rm -rf " + path("boot/vyrbitmap")).c_str()); },
       UN_RET_CREATE_BITMAP_FAILED, good},
      {"mirror has no size", [&] { fake::disks.erase("/dev/sdc"); }, UN_RET_MIRROR_CREATE_FAILED, good},
      {"primary has no size", [&] { fake::disks.erase("/dev/sdb"); }, UN_RET_PRIMARY_CREATE_FAILED, good},
      // The paths must be the disks the identities name.
      {"signature 0", [&] { fake::disks["/dev/sdb"].signature = 0; }, UN_RET_PRIMARY_CREATE_FAILED,
       protect_body(0, "/dev/sdb", "/dev/sdc", kMirrorGuid)},
      {"primary carries another signature", [&] { fake::disks["/dev/sdb"].signature = 0x1111; },
       UN_RET_PRIMARY_CREATE_FAILED, good},
      {"a clone carries the signature too",
       [&] { add_disk("sdd", {fake::sig_guid(kSig), 1073741824, 2, false, kSig}); },
       UN_RET_PRIMARY_CREATE_FAILED, good},
      {"mirror is no LUN", [&] { fake::disks["/dev/sdc"].lun = false; }, UN_RET_MIRROR_CREATE_FAILED, good},
      {"mirror LUN has another GUID", [&] { fake::disks["/dev/sdc"].guid = "7c3f1b2a-1111-2222-3333-444455556666"; },
       UN_RET_MIRROR_CREATE_FAILED, good},
      {"mirror GUID cut short", [&] { fake::disks["/dev/sdc"].guid = "6c3f1b2a"; }, UN_RET_MIRROR_CREATE_FAILED,
       protect_body(kSig, "/dev/sdb", "/dev/sdc", "6c3f1b2a")},
      {"mirror path is the primary's", [&] { fake::disks["/dev/sdb"].lun = true; }, UN_RET_MIRROR_CREATE_FAILED,
       protect_body(kSig, "/dev/sdb", "/dev/sdb", kMirrorGuid)},
      {"primary path is a partition",
       [&] { add_disk("sdb1", {fake::sig_guid(kSig), 1073741824, 2, false, kSig, true}); },
       UN_RET_PRIMARY_CREATE_FAILED, protect_body(kSig, "/dev/sdb1", "/dev/sdc", kMirrorGuid)},
      {"mirror path is a partition",
       [&] { add_disk("sdc1", {kMirrorGuid, 2147483648ull, 2, true, 0, true}); },
       UN_RET_MIRROR_CREATE_FAILED, protect_body(kSig, "/dev/sdb", "/dev/sdc1", kMirrorGuid)},
      {"mirror smaller than the primary", [&] { fake::disks["/dev/sdc"].size = 1 << 29; },
       UN_RET_MIRROR_CREATE_FAILED, good},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    k.requests.clear();
    k.retcode.clear();
    c.arrange();
    Reply r = call(SET_DISK_PROTECT, c.body);
    EXPECT_EQ(r.h.retcode, c.code);
    EXPECT_TRUE(list_empty(&hmdev_registry.hmdev_list));
    if (c.code != UN_RET_SET_PROTECT_FAILED) EXPECT_TRUE(k.commands().empty());
    TearDown();
  }
  SetUp();
}

TEST_F(UnixCmdTest, EmptyMirrorGuidMatchesAnyGuidVolume) {
  protect();
  add_disk("sdd", {fake::sig_guid(0x1234), 1 << 30, 2, false, 0x1234});
  Reply r = call(SET_DISK_PROTECT, protect_body(0x1234, "/dev/sdd", "/dev/sdc", ""));
  EXPECT_EQ(r.h.retcode, UN_RET_PRIMARY_IN_PROTECTION);
}

TEST_F(UnixCmdTest, ProtectOverAStoppedOneReplacesIt) {
  struct hmdev* d = protect();
  d->status |= 1ull << HM_DEV_STOPPED;
  k.requests.clear();
  k.retcode[HM_NL_CMD_DEL_PROTECT] = 16;
  EXPECT_EQ(call(SET_DISK_PROTECT, protect_body(kSig, "/dev/sdb", "/dev/sdc", kMirrorGuid)).h.retcode,
            UN_RET_LAST_STILL_WORKING);
  k.retcode.clear();
  EXPECT_EQ(call(SET_DISK_PROTECT, protect_body(kSig, "/dev/sdb", "/dev/sdc", kMirrorGuid)).h.retcode, 0);
  EXPECT_EQ(k.commands(), (std::vector<int>{HM_NL_CMD_DEL_PROTECT, HM_NL_CMD_DEL_PROTECT,
                                            HM_NL_CMD_ADD_PROTECT}));
  struct hmdev* n = list_first_entry(&hmdev_registry.hmdev_list, struct hmdev, list);
  EXPECT_FALSE(hmdev_stopped(n));
  EXPECT_EQ(n->list.next, &hmdev_registry.hmdev_list);
}

TEST_F(UnixCmdTest, UnprotectStopsAndForgets) {
  protect();
  k.requests.clear();
  fake::script_reset();
  Reply r = call(CANCEL_DISK_PROTECT, desc(kSig));
  EXPECT_EQ(r.h.retcode, 0);
  EXPECT_EQ(k.commands(), std::vector<int>{HM_NL_CMD_STOP_PROTECT});
  EXPECT_TRUE(list_empty(&hmdev_registry.hmdev_list));
  EXPECT_EQ(read("conf/hmdev.conf"), "");
  EXPECT_EQ(read("boot/hmdevs.reg"), "");
  EXPECT_EQ(fake::script_count(), 1u);
  EXPECT_EQ(call(CANCEL_DISK_PROTECT, desc(kSig)).h.retcode, UN_RET_NOT_IN_PROTECTION);
}

TEST_F(UnixCmdTest, SyncSendsTheStoredSpeedFirst) {
  struct hmdev* d = protect();
  k.requests.clear();
  EXPECT_EQ(call(DISK_SYNC, desc(kSig, 5000)).h.retcode, 0);
  EXPECT_EQ(d->sync_speed, 5000);
  EXPECT_EQ(k.commands(), (std::vector<int>{HM_NL_CMD_GET_STATUS, HM_NL_CMD_SET_SYNC_SPEED_MAX,
                                            HM_NL_CMD_INITIALIZE}));
  k.requests.clear();
  k.status = fake::status_with(1ull << HM_INITIALIZE_FINISHED, true, true);
  EXPECT_EQ(call(DISK_SYNC, desc(kSig)).h.retcode, 0);
  EXPECT_EQ(k.commands(), (std::vector<int>{HM_NL_CMD_GET_STATUS, HM_NL_CMD_SET_SYNC_SPEED_MAX}))
      << "a finished copy is not started again";
  k.requests.clear();
  EXPECT_EQ(call(DISK_RESYNC, desc(kSig)).h.retcode, 0);
  EXPECT_EQ(k.commands(), (std::vector<int>{HM_NL_CMD_GET_STATUS, HM_NL_CMD_INITIALIZE}));
}

TEST_F(UnixCmdTest, SyncRefusesAFaultyMember) {
  protect();
  k.status = fake::status_with(0, true, false);
  EXPECT_EQ(call(DISK_SYNC, desc(kSig)).h.retcode, UN_RET_MIRROR_LOST);
  k.status = fake::status_with(0, false, true);
  EXPECT_EQ(call(DISK_SYNC, desc(kSig)).h.retcode, UN_RET_PRIMARY_LOST);
  k.retcode[HM_NL_CMD_GET_STATUS] = 2;
  EXPECT_EQ(call(DISK_SYNC, desc(kSig)).h.retcode, UN_RET_GET_STATUS_FAILED);
}

TEST_F(UnixCmdTest, ResyncWaitsForTheCopyToStandStill) {
  protect();
  k.status = fake::status_with(1ull << HM_INITIALIZE_ON, true, true);
  k.synced_sequence = {0, 10, 10};  // the check's read, then two polls
  EXPECT_EQ(call(DISK_RESYNC, desc(kSig)).h.retcode, 0);
  EXPECT_EQ(k.count(HM_NL_CMD_CANCEL_INITIALIZE), 1);
  EXPECT_EQ(k.count(HM_NL_CMD_INITIALIZE), 1);
  k.requests.clear();
  k.synced_sequence.clear();
  for (uint64_t i = 1; i <= 20; i++) k.synced_sequence.push_back(i * 100);
  EXPECT_EQ(call(DISK_RESYNC, desc(kSig)).h.retcode, UN_RET_TRY_AGAIN);
  EXPECT_EQ(k.count(HM_NL_CMD_GET_STATUS), 1 + 12) << "the check, then 12 polls";
  EXPECT_EQ(k.count(HM_NL_CMD_INITIALIZE), 0);
}

TEST_F(UnixCmdTest, StopSync) {
  protect();
  EXPECT_EQ(call(DISK_STOP_SYNC, desc(kSig)).h.retcode, UN_RET_NOT_SYNCING);
  k.status = fake::status_with(1ull << HM_RECOVERY_ON, true, true);
  EXPECT_EQ(call(DISK_STOP_SYNC, desc(kSig)).h.retcode, 0);
  EXPECT_EQ(k.count(HM_NL_CMD_CANCEL_INITIALIZE), 1);
}

TEST_F(UnixCmdTest, StatusReportAndRecords) {
  protect();
  hm_nl_status_t st = fake::status_with(1ull << HM_INITIALIZE_ON, true, true);
  st.sector_synced = 1048576;
  k.status = st;
  Reply r = call(GET_STATUS, desc(kSig));
  ASSERT_EQ(r.h.retcode, 0);
  EXPECT_EQ(r.body.size(), strlen(r.body.c_str())) << "no terminator";
  EXPECT_EQ(r.body.substr(0, r.body.find("\tPrimary")),
            "Hmdev:\nIndex ID:\t0\nBackup Mode:\tHM_BACKUP\nSync Status:\tSync On\nRun Status: "
            "\tRunning\nSync Percent:\t50%[1048576, 2097152]\n");
  EXPECT_NE(r.body.find("\tName:         \t\t/dev/sdc\n\tVolume ID:    \t\t" +
                        std::string(kMirrorGuid) + "\n\tVolume Size:  \t\t2147483648 Bytes\n"
                        "\tVolume Status:\t\tUp\n"),
            std::string::npos)
      << r.body;

  add_disk("sdd", {fake::sig_guid(0x2), 1 << 30, 2, false, 0x2});
  add_disk("sde", {"7c3f1b2a-1111-2222-3333-444455556666", 1ull << 31, 2, true, 0});
  add_disk("sdf", {fake::sig_guid(0x3), 1 << 30, 2, false, 0x3});
  add_disk("sdg", {"8c3f1b2a-1111-2222-3333-444455556666", 1ull << 31, 2, true, 0});
  call(SET_DISK_PROTECT, protect_body(2, "/dev/sdd", "/dev/sde", "7c3f1b2a-1111-2222-3333-444455556666"));
  call(SET_DISK_PROTECT, protect_body(3, "/dev/sdf", "/dev/sdg", "8c3f1b2a-1111-2222-3333-444455556666"));
  k.status = fake::status_with((1ull << HM_INITIALIZE_FINISHED) | (1ull << HM_RECOVERY_ON), true, false);
  Reply all = call(UN_CMD_API_GET_STATUS, "");
  ASSERT_EQ(all.body.size(), 1165u);
  hm_api_status_t rec;
  memcpy(&rec, all.body.data() + 2 * 388, sizeof(rec));
  EXPECT_EQ(rec.index, 2);
  EXPECT_STREQ(rec.sync_status, "Recovery On");
  EXPECT_STREQ(rec.mirror_status, "Faulty");
  EXPECT_STREQ(rec.primary_path, "/dev/sdf");
  EXPECT_STREQ(rec.mirror_guid, "8c3f1b2a-1111-2222-3333-444455556666");
  EXPECT_EQ(rec.percent, 0) << "a recovery does not count as finished: the copy position counts";
  Reply text = call(GET_STATUS_ALL, "");
  EXPECT_EQ(text.body.back(), '\0');
  EXPECT_NE(text.body.find("Sync Finished, Recovery On"), std::string::npos);
}

// Without its bitmap installed the module does not run a protection: neither
// report may call it running.
TEST_F(UnixCmdTest, ProtectionWithoutBitmapIsReportedStopped) {
  protect();
  k.status = fake::status_with(1ull << HM_INITIALIZE_FINISHED, true, true);
  k.status.bitmap_status = 0;
  Reply r = call(UN_CMD_API_GET_STATUS, desc(kSig));
  ASSERT_EQ(r.h.retcode, 0);
  hm_api_status_t rec;
  memcpy(&rec, r.body.data(), sizeof(rec));
  EXPECT_STREQ(rec.run_status, "Stopped");
  EXPECT_NE(call(GET_STATUS, desc(kSig)).body.find("Run Status: \tStopped\n"), std::string::npos);
  k.status.bitmap_status = 1;
  memcpy(&rec, call(UN_CMD_API_GET_STATUS, desc(kSig)).body.data(), sizeof(rec));
  EXPECT_STREQ(rec.run_status, "Running");
}

TEST_F(UnixCmdTest, EmptyRegistryStatusAllIsOneZeroByte) {
  Reply r = call(GET_STATUS_ALL, "");
  EXPECT_EQ(r.h.retcode, 0);
  EXPECT_EQ(r.body, std::string(1, '\0'));
  EXPECT_EQ(call(UN_CMD_API_GET_STATUS, "").body, std::string(1, '\0'));
}

TEST_F(UnixCmdTest, HmdevInfo) {
  protect();
  EXPECT_EQ(call(GET_HMDEV_INFO, "", 5).h.retcode, UN_RET_HMDEV_NOT_FOUND);
  Reply r = call(GET_HMDEV_INFO, "", 0);
  ASSERT_EQ(r.h.retcode, 0);
  hm_un_desc_t p, m;
  memcpy(&p, r.body.data(), 16);
  memcpy(&m, r.body.data() + 16, 16);
  EXPECT_EQ(p.kind, 1);
  EXPECT_EQ(p.id.signature, kSig);
  EXPECT_EQ(r.body.substr(p.path_off, p.path_len), "/dev/sdb");
  EXPECT_EQ(m.kind, 2);
  EXPECT_EQ(r.body.substr(m.path_off, m.path_len), "/dev/sdc");
  EXPECT_EQ(r.body.substr(m.id.g.guid_off, m.id.g.guid_len), kMirrorGuid);
  EXPECT_EQ(r.body.size(), 32u + 8 + 8 + 36);
}

TEST_F(UnixCmdTest, DiskList) {
  add_disk("loop0", {"x", 1, 2, false, 1});
  add_disk("sr0", {"x", 1, 2, false, 1});
  Reply r = call(DISK_LIST, "");
  EXPECT_EQ(r.body.back(), '\0');
  EXPECT_EQ(std::string(r.body.c_str()),
            "Disk:\t/dev/sdb\nSize:\t1073741824 Bytes, 1 GB\nDisk identifier: 0x5d3f2a10\n\n"
            "Disk:\t/dev/sdc\nSize:\t2147483648 Bytes, 2 GB\nUVO ZELSolution Guid: " +
                std::string(kMirrorGuid) + "\n\n")
      << "loop and sr devices are left out";
}

TEST_F(UnixCmdTest, DebugAndEmptyHandlers) {
  Reply r = call(UN_CMD_ZELMIRD_DEBUG_SET, "", 3);
  EXPECT_EQ(r.h.cmd, UN_CMD_ZELMIRD_DEBUG_SET);
  EXPECT_EQ(r.h.arg, 3);
  EXPECT_EQ(set_log_level(7), 7);
  for (int cmd = UN_CMD_DISK_FAIL; cmd <= UN_CMD_DISK_ADD; cmd++) {
    Reply z = call((uint8_t)cmd, "/dev/sdb");
    hm_header_t zero{};
    EXPECT_EQ(memcmp(&z.h, &zero, sizeof(zero)), 0) << cmd;
  }
}

TEST_F(UnixCmdTest, UpdateFollowsARenamedPrimary) {
  struct hmdev* d = protect();
  // sdb comes back as sdh.
  fake::Disk moved = fake::disks["/dev/sdb"];
  fake::disks.erase("/dev/sdb");
  fake::block_names = {"sdc", "sdh"};
  fake::disks["/dev/sdh"] = moved;
  hm_un_update_req_t rq{};
  rq.mode = 1;
  rq.disk.kind = HM_UN_DESC_SIGNATURE;
  rq.disk.id.signature = kSig;
  rq.disk.path_off = 16;
  rq.disk.path_len = 8;
  std::string body = std::string(reinterpret_cast<char*>(&rq), sizeof(rq)) + "/dev/sdh";
  k.requests.clear();
  EXPECT_EQ(call(UN_CMD_UPDATE_DISK, body).h.retcode, 0);
  EXPECT_STREQ(d->primary->name, "/dev/sdh");
  EXPECT_EQ(k.commands(), std::vector<int>{HM_NL_CMD_ADD_PROTECT});
  k.retcode[HM_NL_CMD_ADD_PROTECT] = 12;
  EXPECT_EQ(call(UN_CMD_UPDATE_DISK, body).h.retcode, 1) << "a refused Add Protection is a failure";
}

TEST_F(UnixCmdTest, LocalMarkReportsAFailedOutsideMark) {
  protect();
  k.status = fake::status_with(1ull << HM_INITIALIZE_FINISHED, true, true);
  std::string name = std::string("zel_{") + kMirrorGuid + "}";
  EXPECT_EQ(call(UN_CMD_API_CREATE_CDP, name).h.retcode, 0);
  ASSERT_EQ(fake::marks.size(), 1u);
  EXPECT_EQ(fake::marks[0].name, std::string("{") + kMirrorGuid + "}");
  EXPECT_EQ(fake::marks[0].time_flag, 0);
  fake::mark_result = -5;
  EXPECT_EQ(call(UN_CMD_API_CREATE_CDP, name).h.retcode, UN_RET_MARK_CDP_FAILED);
  EXPECT_EQ(hm_nl_forbid_count(), 0);
}

// Requests that do not hold what their command reads: each is refused with
// its command's code, never read past its body.
TEST_F(UnixCmdTest, MalformedRequests) {
  protect();
  std::string good = protect_body(0x77, "/dev/sdd", "/dev/sde", "7c3f1b2a-1111-2222-3333-444455556666");
  auto patched = [&](size_t at, uint16_t v) {
    std::string s = good;
    memcpy(&s[at], &v, 2);
    return s;
  };
  struct {
    const char* what;
    uint8_t cmd;
    std::string body;
    int declared;
    int code;
  } cases[] = {
      {"protect body shorter than its fixed part", SET_DISK_PROTECT, good.substr(0, 20), -1,
       UN_RET_PRIMARY_CREATE_FAILED},
      {"primary path past the body", SET_DISK_PROTECT, patched(4 + 2, 60000), -1,
       UN_RET_PRIMARY_CREATE_FAILED},
      {"primary path longer than its field", SET_DISK_PROTECT, patched(4 + 4, 200), -1,
       UN_RET_PRIMARY_CREATE_FAILED},
      {"mirror path past the body", SET_DISK_PROTECT, patched(20 + 4, 1000), -1,
       UN_RET_MIRROR_CREATE_FAILED},
      {"mirror guid past the body", SET_DISK_PROTECT, patched(20 + 8, 1020), -1,
       UN_RET_MIRROR_CREATE_FAILED},
      {"protect with the mirror kind wrong", SET_DISK_PROTECT,
       [&] { std::string s = good; s[20] = 1; return s; }(), -1, UN_RET_MIRROR_CREATE_FAILED},
      {"descriptor cut short", CANCEL_DISK_PROTECT, desc(kSig).substr(0, 10), -1,
       UN_RET_NOT_IN_PROTECTION},
      {"sync without body", DISK_SYNC, "", -1, UN_RET_NOT_IN_PROTECTION},
      {"status descriptor cut short", GET_STATUS, desc(kSig).substr(0, 15), -1,
       UN_RET_NOT_IN_PROTECTION},
      {"body longer than the request area", GET_STATUS, desc(kSig) + std::string(2000, 'x'), -1,
       UN_RET_NOT_IN_PROTECTION},
      {"update body cut short", UN_CMD_UPDATE_DISK, std::string(10, '\0'), -1, 1},
      {"mark name too long", UN_CMD_API_CREATE_CDP, "zel_{" + std::string(200, 'a') + "}", -1,
       UN_RET_MARK_CDP_FAILED},
      {"mark without name", UN_CMD_API_CREATE_CDP, "", -1, UN_RET_MARK_CDP_FAILED},
      {"mark of a short name", UN_CMD_API_CREATE_CDP, "zel_{}", -1, UN_RET_MARK_CDP_FAILED},
      {"command 0", CMD_NONE, "", -1, UN_RET_BAD_INDEX},
      {"command 20", 20, "", -1, UN_RET_BAD_INDEX},
      {"command 255", 255, desc(kSig), -1, UN_RET_BAD_INDEX},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    k.requests.clear();
    Reply r = call(c.cmd, c.body, 0, c.declared);
    EXPECT_EQ(r.h.cmd, c.cmd);
    EXPECT_EQ(r.h.retcode, c.code);
    EXPECT_EQ(r.h.body_len, 0);
    EXPECT_EQ(k.count(HM_NL_CMD_ADD_PROTECT), 0);
  }
  EXPECT_EQ(hmdev_registry.hmdev_list.next->next, &hmdev_registry.hmdev_list) << "one protection";
}

}  // namespace
