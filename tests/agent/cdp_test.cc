// CDP jobs and the checks before a mark, in the test's own process: the
// jobs on a clock the test moves, the bounds of mark names and device-group
// records, and the locks left free on every way out of a mark.  No path
// here reaches the CDP agent's library or writes a file; the marks
// themselves run in a host (cdp_e2e_test.cc).
#include <gtest/gtest.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <thread>
#include <vector>

#include "fake_clock.h"
#include "log_capture.h"
#include "qor_cdp.h"
#include "qor_client.h"
#include "qor_handlers.h"
#include "qor_jobs.h"
#include "qor_model.h"
#include "zel/zel_devgrp.h"

namespace {

using agenttest::FakeClock;

constexpr int64_t kMono = 5000;
constexpr int64_t kWall = 1700000000;

const std::string kGuid36 = "60030d90-aaaa-bbbb-cccc-000000000001";

// The due time of a disk's job, or -1 when it has none.
int64_t due_of(const char* local_guid) {
  int64_t due = -1;
  job_update(JOB_DISK_CDP, local_guid, [&](job_status* j) { due = j->next_time; });
  return due;
}

bool free_lock(pthread_mutex_t* m) {
  if (pthread_mutex_trylock(m) != 0) return false;
  pthread_mutex_unlock(m);
  return true;
}

class CdpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FakeClock::install(kMono, kWall);
    service_signals_init();
    jobs_free_all();
    g_qor = qor_alloc();
    ASSERT_NE(nullptr, g_qor);
    qor_manager mngr{};
    mngr.guid = const_cast<char*>("MANAGER-GUID");
    INIT_LIST_HEAD(&mngr.ips);
    ASSERT_EQ(0, qor_mngr_appoint(&mngr, g_qor));
    libtest::take_syslog();
  }
  void TearDown() override {
    jobs_free_all();
    backup_list_free(&g_client.backups);
    disk_list_free(&g_client.disks);
    qor_cleanup();
    FakeClock::uninstall();
  }

  void relationship(const std::string& src, const std::string& dest, uint32_t state = 0) {
    auto* bk = static_cast<qor_backup*>(calloc(1, sizeof(qor_backup)));
    snprintf(bk->src_guid, sizeof(bk->src_guid), "%s", src.c_str());
    snprintf(bk->dest_guid, sizeof(bk->dest_guid), "%s", dest.c_str());
    bk->state = state;
    list_add_tail(&bk->list, &g_client.backups);
  }
  void disk(const char* name, const char* guid) {
    auto* d = static_cast<qor_disk*>(calloc(1, sizeof(qor_disk)));
    INIT_LIST_HEAD(&d->parts);
    d->name = strdup(name);
    d->path = strdup((std::string("/dev/") + name).c_str());
    d->guid = guid != nullptr ? strdup(guid) : nullptr;
    list_add_tail(&d->list, &g_client.disks);
  }
  backup_group* group(const char* name, const std::vector<std::string>& members) {
    auto* grp = static_cast<backup_group*>(calloc(1, sizeof(backup_group)));
    grp->name = strdup(name);
    INIT_LIST_HEAD(&grp->members);
    for (const std::string& m : members) {
      auto* e = static_cast<guid_entry*>(calloc(1, sizeof(guid_entry)));
      e->guid = strdup(m.c_str());
      list_add_tail(&e->list, &grp->members);
    }
    list_add_tail(&grp->list, &g_qor->groups);
    return grp;
  }
};

TEST_F(CdpTest, AScheduleIsOneJobDueAtItsStartOnTheMonotonicClock) {
  cdpsch sch{};
  sch.local_guid = const_cast<char*>("L1");
  sch.mirror_guid = const_cast<char*>("M1");
  sch.start_time = kWall + 3600;
  sch.interval = 600;
  ASSERT_EQ(0, _register_for_cdpsch(&sch));
  EXPECT_EQ(kMono + 3600, due_of("L1"));
  // Converted once: a wall clock set back later moves nothing, and a second
  // registration replaces the first.
  FakeClock::set_wall(kWall - 86400);
  EXPECT_EQ(kMono + 3600, due_of("L1"));
  sch.start_time = kWall - 86400 + 60;
  ASSERT_EQ(0, _register_for_cdpsch(&sch));
  EXPECT_EQ(kMono + 60, due_of("L1"));
  EXPECT_TRUE(libtest::syslog_contains("Remove old CDP schedule."));

  // Registrations of one schedule from many threads at once leave one job.
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; t++)
    threads.emplace_back([&] {
      for (int i = 0; i < 200; i++) _register_for_cdpsch(&sch);
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(1, job_remove_key(JOB_DISK_CDP, "L1"));

  backup_group grp{};
  grp.name = const_cast<char*>("G");
  grp.start_time = kWall - 86400 - 10;  // a group's past start stands: due at once
  grp.interval = 60;
  INIT_LIST_HEAD(&grp.members);
  ASSERT_EQ(0, _register_for_grpsch(&grp));
  ASSERT_EQ(0, _register_for_grpsch(&grp));
  int64_t due = 0;
  EXPECT_EQ(1, job_update(JOB_GROUP_CDP, "G", [&](job_status* j) { due = j->next_time; }));
  EXPECT_EQ(kMono - 10, due);
  unregister_grp_job("G");
  EXPECT_EQ(0, find_grp_job("G"));
}

TEST_F(CdpTest, AnIntervalOfZeroRegistersNothing) {
  cdpsch sch{};
  sch.local_guid = const_cast<char*>("L0");
  sch.start_time = kWall;
  ASSERT_EQ(0, _register_for_cdpsch(&sch));
  EXPECT_EQ(0, find_cdp_job("L0"));
  EXPECT_TRUE(libtest::syslog_contains("CDP schedule of disk L0 has interval 0, not registered."));
  backup_group grp{};
  grp.name = const_cast<char*>("G0");
  INIT_LIST_HEAD(&grp.members);
  ASSERT_EQ(0, _register_for_grpsch(&grp));
  EXPECT_EQ(0, find_grp_job("G0"));
  // A key that would not fit a job is refused, not cut.
  std::string long_guid(QOR_JOB_TEXT, 'a');
  sch.local_guid = long_guid.data();
  sch.interval = 60;
  EXPECT_EQ(-1, _register_for_cdpsch(&sch));
}

TEST_F(CdpTest, MarkNamesAreBoundedNeverCut) {
  const struct {
    std::string guid;
    size_t size;
    int rc;
  } cases[] = {
      {kGuid36, ZELDEV_GUID_LEN, 0},        {kGuid36 + "0", ZELDEV_GUID_LEN, -1},
      {std::string(61, 'f'), QOR_MARK_NAME, 0}, {std::string(62, 'f'), QOR_MARK_NAME, -1},
      {"", 3, 0},                            {"a", 3, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.guid + " in " + std::to_string(c.size));
    std::vector<char> out(c.size, 'x');
    EXPECT_EQ(c.rc, qor_braced_guid(out.data(), out.size(), c.guid.c_str()));
    EXPECT_EQ(c.rc == 0 ? "{" + c.guid + "}" : "", std::string(out.data()));
  }
  char out[QOR_MARK_NAME];
  EXPECT_EQ(-1, qor_braced_guid(out, sizeof(out), nullptr));
}

TEST_F(CdpTest, DeviceGroupHoldsTheMembersMirrorsAsTheLibraryLaysThemOut) {
  const std::string m2 = "60030d90-aaaa-bbbb-cccc-000000000002";
  relationship("S1", kGuid36);
  relationship("S2", m2);  // its mirror disk is not in the inventory
  disk("sdx", nullptr);
  disk("sdc", kGuid36.c_str());
  backup_group* grp = group("G", {"S2", "S1"});

  Zeldevgrp* devs = _bkup_grp_to_cdp_zelgrp(grp);
  ASSERT_NE(nullptr, devs);
  EXPECT_STREQ("G", devs->name);
  EXPECT_NE(grp->name, devs->name);
  ASSERT_EQ(devs->members.next, devs->members.prev);
  const Zeldev* dev = list_entry(devs->members.next, Zeldev, node);
  EXPECT_EQ(std::string("{") + kGuid36 + "}", std::string(dev->guid));
  EXPECT_EQ(1, dev->flag);
  EXPECT_STREQ("/dev/sdc", dev->path);
  const char zeros[16] = {};
  EXPECT_EQ(0, memcmp(zeros, dev->zero_0, sizeof(dev->zero_0)));
  EXPECT_EQ(0, memcmp(zeros, dev->zero_32, sizeof(dev->zero_32)));
  EXPECT_EQ(0, memcmp(zeros, dev->zero_88, sizeof(dev->zero_88)));
  EXPECT_EQ(0, memcmp(zeros, devs->zero_0, sizeof(devs->zero_0)));
  zeldevgrp_free(devs);
  EXPECT_TRUE(libtest::syslog_contains("Disk anomaly detected, GUID of disk sdx is null."));

  // A member without relationship, and a mirror GUID longer than a Zeldev
  // holds: no group.
  EXPECT_EQ(nullptr, _bkup_grp_to_cdp_zelgrp(group("H", {"S1", "S3"})));
  EXPECT_TRUE(libtest::syslog_contains("Failed to get mirror GUID of disk S3."));
  relationship("S4", kGuid36 + "9");
  disk("sdd", (kGuid36 + "9").c_str());
  EXPECT_EQ(nullptr, _bkup_grp_to_cdp_zelgrp(group("I", {"S4"})));
  EXPECT_TRUE(free_lock(&g_client.lock));
}

// Leaves the stack below the caller full of non-zero bytes, so that a record
// filled from an uninitialised buffer shows it.
__attribute__((noinline)) void paint_stack() {
  volatile char junk[16384];
  for (size_t i = 0; i < sizeof(junk); i++) junk[i] = 0x5a;
}

TEST_F(CdpTest, AShortMirrorGuidLeavesTheRestOfItsFieldZero) {
  relationship("S5", "M5");
  disk("sde", "M5");
  paint_stack();
  Zeldevgrp* devs = _bkup_grp_to_cdp_zelgrp(group("J", {"S5"}));
  ASSERT_NE(nullptr, devs);
  ASSERT_FALSE(list_empty(&devs->members));
  const Zeldev* dev = list_entry(devs->members.next, Zeldev, node);
  EXPECT_EQ(std::string(dev->guid, sizeof(dev->guid)), std::string("{M5}") + std::string(35, '\0'));
  zeldevgrp_free(devs);
}

// Every way out of a mark before the library call leaves both locks free.
TEST_F(CdpTest, MarksThatStopEarlyLeaveEveryLockFree) {
  const std::string long_mirror = kGuid36 + "9";
  relationship("S1", kGuid36);
  relationship("S2", "M2", QOR_BACKUP_SYNCING);
  relationship("S3", long_mirror);
  disk("sdd", long_mirror.c_str());
  group("unsynced", {"S1", "S2"});
  group("unrelated", {"S1", "S9"});
  group("unconvertible", {"S3"});

  const struct {
    const char* group;
    const char* log;
  } groups[] = {
      {"nosuch", "CDP Schedule: Searching for group nosuch."},
      {"unsynced", "Disk S2 is not synchronized yet, snapshort creation canceled."},
      {"unrelated", "Unable to find backup relationship of disk S9, snapshot creation canceled."},
      {"unconvertible", "CDP Schedule: Failed to convert backup_group to zeldevgrp."},
  };
  for (const auto& c : groups) {
    SCOPED_TRACE(c.group);
    EXPECT_EQ(-1, cdp_mark_group(c.group));
    EXPECT_TRUE(libtest::syslog_contains(c.log));
    EXPECT_TRUE(free_lock(&g_qor->mutex));
    EXPECT_TRUE(free_lock(&g_client.lock));
  }

  const struct {
    std::string mirror;
    const char* log;
  } disks[] = {
      {"M2", "Snapshot creation failed, source disk is not synchronized yet, abort."},
      {"M9", "Unable to find backup relationship, snapshot creation canceled."},
      {std::string(63, 'f'), "does not fit a mark name of 64 bytes."},
      {"", "CDP Schedule: Invalid mirror GUID: ."},
  };
  for (const auto& c : disks) {
    SCOPED_TRACE(c.mirror);
    EXPECT_EQ(-1, cdp_mark_disk(c.mirror.c_str()));
    EXPECT_TRUE(libtest::syslog_contains(c.log));
    EXPECT_TRUE(free_lock(&g_client.lock));
  }
}

// The CDP agent's commands on the paths that neither mark nor write.
TEST_F(CdpTest, AgentCommandsRefuseWhatDoesNotFitAndFormatTheirNumbers) {
  const std::string long_mirror(63, 'e');
  relationship("S5", long_mirror);
  qorc_req req{};
  std::string body = "<Tidewell><Snap SourceType=\"0\" Source=\"zel_{S5}\"/></Tidewell>";
  req.recvxml = body.data();
  EXPECT_EQ(1, zel_create_cdp(&req));
  EXPECT_TRUE(free_lock(&g_client.lock));

  auto* sch = static_cast<cdpsch*>(calloc(1, sizeof(cdpsch)));
  sch->local_guid = strdup("S5");
  sch->mirror_guid = strdup("M5");
  sch->con_start_time = 4000000000u;
  sch->interval = 600;
  list_add_tail(&sch->list, &g_qor->cdpschs);
  EXPECT_EQ(0, zel_get_cdp_schedule(&req));
  EXPECT_TRUE(libtest::syslog_contains(
      "Schedule for disk S5,console start time:4000000000,interval:600."));
  EXPECT_EQ(std::string("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                        "<Tidewell><Schedule StartTime=\"4000000000\" IntervalSeconds=\"600\"/>"
                        "</Tidewell>\n"),
            std::string(req.sendxml, req.send_head.data_len));
  free(req.sendxml);

  // Without a record or a manager.
  for (auto handler : {zel_create_cdp, zel_set_cdp_schedule, zel_get_cdp_schedule,
                       zel_del_cdp_schedule, set_cdp_schedule, local_list})
    EXPECT_EQ(1, handler(nullptr));
  qor_mngr_remove(g_qor);
  qorc_req none{};
  for (auto handler : {zel_create_cdp, zel_set_cdp_schedule, zel_get_cdp_schedule,
                       zel_del_cdp_schedule, set_cdp_schedule})
    EXPECT_EQ(50, handler(&none));
  EXPECT_TRUE(free_lock(&g_qor->mutex));
}

}  // namespace
