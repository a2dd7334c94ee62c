// The status thread's pass: disks that go away and come back, the dead-mirror
// deletion option, and the removal of stopped protections by kernel tasks.
#include <fcntl.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "eventually.h"
#include "fake_host.h"
#include "hm_conf.h"
#include "log_capture.h"
#include "hm_nl_client.h"
#include "hm_registry.h"
#include "hm_sys.h"
#include "hm_unix_cmd.h"
#include "hm_workd.h"
#include "hm_workqueue.h"

namespace {

const char kMirrorGuid[] = "6c3f1b2a-1111-2222-3333-444455556666";

class QueuesEnv : public ::testing::Environment {
 public:
  void SetUp() override { ASSERT_EQ(create_work_queues(), 0); }
};
::testing::Environment* const env = ::testing::AddGlobalTestEnvironment(new QueuesEnv);

class WorkdTest : public fake::Host {
 protected:
  void SetUp() override {
    fake::Host::SetUp();
    add_disk("sdb", {fake::sig_guid(0x5d3f2a10), 1 << 30, 2, false, 0x5d3f2a10});
    add_disk("sdc", {kMirrorGuid, 1ull << 31, 2, true, 0});
    dev = add_protection("/dev/sdb", 0x5d3f2a10, "/dev/sdc", kMirrorGuid);
    k.status = fake::status_with(1ull << HM_INITIALIZE_FINISHED, true, true);
    hm_workd_pass();  // both UP
    k.requests.clear();
  }
  void TearDown() override {
    // A removal a pass queued runs out before the next test's host is made.
    EXPECT_TRUE(fake::drain(kernel));
    fake::Host::TearDown();
  }
  static int registered() {
    int n = 0;
    pthread_mutex_lock(&hmdev_registry.list_lock);
    struct list_head* pos;
    list_for_each(pos, &hmdev_registry.hmdev_list) n++;
    pthread_mutex_unlock(&hmdev_registry.list_lock);
    return n;
  }
  std::vector<int> sent_besides_status() {
    std::vector<int> v;
    for (int c : k.commands())
      if (c != HM_NL_CMD_GET_STATUS) v.push_back(c);
    return v;
  }
  struct hmdev* dev = nullptr;
};

TEST_F(WorkdTest, MirrorGoesAwayOnceAndComesBack) {
  fake::disks["/dev/sdc"].path_state = 1;  // the kernel has not noticed yet
  hm_workd_pass();
  EXPECT_EQ(sent_besides_status(), std::vector<int>{HM_NL_CMD_UPDATE_HMDEV});
  EXPECT_EQ(k.requests.back().body.back(), 'm');
  EXPECT_EQ(dev->mirror->active, 0);
  EXPECT_STREQ(dev->mirror->name, "/dev/sdc?");

  k.requests.clear();
  k.status = fake::status_with(1ull << HM_INITIALIZE_FINISHED, true, false);
  hm_workd_pass();
  EXPECT_TRUE(sent_besides_status().empty()) << "told once";

  k.requests.clear();
  fake::disks["/dev/sdc"].path_state = 2;
  hm_workd_pass();
  EXPECT_EQ(sent_besides_status(), std::vector<int>{HM_NL_CMD_ADD_PROTECT});
  EXPECT_EQ(dev->mirror->active, 1);
  EXPECT_STREQ(dev->mirror->name, "/dev/sdc");
}

// The mirror's disk lookup blocks until opened (a slow disk), so a test can
// act while a pass is between its look at a protection and what it sends.
std::atomic<bool> latch_armed{false}, latch_entered{false}, latch_open{false};
int (*plain_guid_by_name)(const char*, char*);
int latched_guid_by_name(const char* dev, char* buf) {
  if (latch_armed && strcmp(dev, "/dev/sdc") == 0) {
    latch_entered = true;
    testsupport::eventually([] { return latch_open.load(); }, std::chrono::seconds(10),
                            std::chrono::milliseconds(1));
  }
  return plain_guid_by_name(dev, buf);
}

// A cancel that completes while the pass reads the disks of the protection:
// the pass gives up its Add, so the module is not handed back a protection
// that claims and guards the mirror with nobody left to remove it.
TEST_F(WorkdTest, CancelDuringThePassKeepsItsAddFromTheKernel) {
  fake::disks["/dev/sdc"].path_state = 1;
  k.status = fake::status_with(1ull << HM_INITIALIZE_FINISHED, true, false);
  hm_workd_pass();  // the mirror is DOWN
  fake::disks["/dev/sdc"].path_state = 2;  // and back: the next pass would add it
  k.requests.clear();
  plain_guid_by_name = g_disk_ops.guid_by_name;
  g_disk_ops.guid_by_name = latched_guid_by_name;
  latch_entered = latch_open = false;
  latch_armed = true;
  std::thread pass([] { hm_workd_pass(); });
  ASSERT_TRUE(testsupport::eventually([] { return latch_entered.load(); }));
  EXPECT_EQ(disk_unprotect(dev), 0);
  dev = nullptr;  // gone with the pass's reference
  latch_open = true;
  pass.join();
  latch_armed = false;
  EXPECT_EQ(k.count(HM_NL_CMD_STOP_PROTECT), 1);
  EXPECT_EQ(k.count(HM_NL_CMD_ADD_PROTECT), 0) << "no Add after the Stop";
  EXPECT_EQ(registered(), 0);
}

// With no descriptor left, a disk that cannot be opened is not judged: the
// pass tells the module nothing, and judges it once descriptors are back.
TEST_F(WorkdTest, NoVerdictOnADiskWhileDescriptorsRunOut) {
  plain_guid_by_name = g_disk_ops.guid_by_name;
  g_disk_ops.guid_by_name = [](const char* d, char* buf) {
    int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);  // what reading the disk needs
    if (fd < 0) return -1;
    close(fd);
    return plain_guid_by_name(d, buf);
  };
  fake::FullFdTable full;
  libtest::take_syslog();
  hm_workd_pass();
  full.release();
  EXPECT_TRUE(sent_besides_status().empty()) << "no disk reported faulty";
  EXPECT_EQ(dev->mirror->active, 1);
  EXPECT_EQ(dev->primary->state, HMVOL_UP);
  bool said = false;
  for (const auto& l : libtest::take_syslog())
    said |= l.priority % 8 == LOG_ERR && l.text.find("no descriptor was left") != std::string::npos;
  EXPECT_TRUE(said);

  fake::disks["/dev/sdc"].path_state = 1;
  hm_workd_pass();
  EXPECT_EQ(sent_besides_status(), std::vector<int>{HM_NL_CMD_UPDATE_HMDEV}) << "judged again";
}

// Descriptors run short while the re-find walks the disks: the primary's
// open fails, its clone's succeeds.  A disk that could not be read was not
// counted, so the walk tells nothing: the clone is not taken for the
// primary, nor named for it, and nothing is sent.
TEST_F(WorkdTest, RefindShortOfDescriptorsTakesNoClone) {
  add_disk("sdd", fake::disks["/dev/sdb"]);  // a clone of the primary
  k.status = fake::status_with(1ull << HM_INITIALIZE_FINISHED, false, true);
  plain_guid_by_name = g_disk_ops.guid_by_name;
  g_disk_ops.guid_by_name = [](const char* d, char* buf) {
    if (strncmp(d, "/dev/sdb", 8) != 0) return plain_guid_by_name(d, buf);
    hm_fd_shortage_note();  // as the main thread does when the table is full
    return -1;
  };
  hm_workd_pass();
  EXPECT_EQ(k.count(HM_NL_CMD_ADD_PROTECT), 0);
  EXPECT_EQ(std::string(dev->primary->name).find("/dev/sdd"), std::string::npos) << dev->primary->name;

  g_disk_ops.guid_by_name = plain_guid_by_name;
  hm_workd_pass();
  EXPECT_EQ(k.count(HM_NL_CMD_ADD_PROTECT), 0);
  EXPECT_EQ(dev->primary->ambiguous, 1) << "both are seen once descriptors are back";
}

// The module holds no bitmap for a protection whose primary it has open:
// the pass says so at the error level, asks once more (another sender's
// install may have been under way), and otherwise makes the file anew, adds
// the protection again and starts a full copy.
TEST_F(WorkdTest, RefusedBitmapFileIsMadeAgainAndCopiedWhole) {
  const std::string file = "boot/vyrbitmap/hm_5d3f2a10-0000-0000-0000-000000000000.bitmap";
  struct Case {
    const char* what;
    int refusals;             // Add Protection requests that still refuse it
    std::vector<int> sent;    // besides Get Protection Status
    bool made_again;
    std::vector<std::string> said;   // error lines, in order
  } cases[] = {
      {"installed by the Add that was under way", 1, {HM_NL_CMD_ADD_PROTECT}, false, {}},
      {"refused: a fresh file and a full copy", 2,
       {HM_NL_CMD_ADD_PROTECT, HM_NL_CMD_ADD_PROTECT, HM_NL_CMD_INITIALIZE}, true,
       {"refused by the kernel module: /dev/sdb is not protected, nothing reaches its mirror "
        "/dev/sdc",
        "made again: /dev/sdb is protected again and copied whole to /dev/sdc"}},
      {"the fresh file refused too", 3, {HM_NL_CMD_ADD_PROTECT, HM_NL_CMD_ADD_PROTECT}, true,
       {"refused by the kernel module", "made again is refused too: /dev/sdb is not protected"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    write(file, std::string(100, 'x'));   // cut short, no magic
    k.requests.clear();
    k.status = fake::status_with(1ull << HM_INITIALIZE_FINISHED, true, true);
    k.status.bitmap_status = 0;
    k.bitmap_refusals = c.refusals;
    libtest::take_syslog();
    hm_workd_pass();
    EXPECT_EQ(sent_besides_status(), c.sent);
    std::vector<std::string> said;
    for (const auto& l : libtest::take_syslog())
      if (l.priority == LOG_ERR) said.push_back(l.text);
    ASSERT_EQ(said.size(), c.said.size()) << ::testing::PrintToString(said);
    for (size_t i = 0; i < said.size(); i++) {
      EXPECT_NE(said[i].find("bitmap file " + path(file) + " "), std::string::npos) << said[i];
      EXPECT_NE(said[i].find(c.said[i]), std::string::npos) << said[i];
    }
    std::string f = read(file);
    if (c.made_again) {
      ASSERT_EQ(f.size(), 4096u + 256 + 1) << "a primary of 1 GiB";
      EXPECT_EQ(f.substr(0, 4), "bitm");
      EXPECT_EQ(f[40], 0) << "state 0: nothing copied yet";
    } else {
      EXPECT_EQ(f, std::string(100, 'x'));
    }
  }
  // A stopped protection has no bitmap to ask for.
  k.requests.clear();
  k.status = fake::status_with((1ull << HM_INITIALIZE_FINISHED) | (1ull << HM_DEV_STOPPED), true, true);
  k.status.bitmap_status = 0;
  dev->status |= 1ull << HM_DEV_STOPPED;
  hm_workd_pass();
  EXPECT_EQ(k.count(HM_NL_CMD_ADD_PROTECT), 0);
}

TEST_F(WorkdTest, MirrorBackUnderAnotherName) {
  k.status = fake::status_with(1ull << HM_INITIALIZE_FINISHED, true, false);
  fake::Disk d = fake::disks["/dev/sdc"];
  fake::disks.erase("/dev/sdc");
  fake::block_names = {"sdb", "sdd"};
  fake::disks["/dev/sdd"] = d;
  hm_workd_pass();
  EXPECT_STREQ(dev->mirror->name, "/dev/sdd");
  EXPECT_EQ(sent_besides_status(), std::vector<int>{HM_NL_CMD_ADD_PROTECT});
  EXPECT_NE(read("boot/hmdevs.reg").find("/dev/sdd? volume_id_{6c3f"), std::string::npos);
}

// The re-find takes a whole disk whose identity is the volume's, whole, and
// only when no other disk carries the same signature: a partition holding an
// image of the primary's sector 0, a clone of the primary, or a GUID that
// only begins the same, is never taken for the disk and nothing is sent.
TEST_F(WorkdTest, RefindTakesOnlyTheOneWholeDisk) {
  const std::string pguid = fake::sig_guid(0x5d3f2a10);
  fake::Disk primary = fake::disks["/dev/sdb"];
  fake::Disk part = primary;
  part.partition = true;
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, fake::Disk>> disks;  // in sysfs order
    const char* name;     // the primary's name afterwards
    const char* word;     // its status word, when it is the daemon's own
    int adds;             // Add Protection requests sent
  } cases[] = {
      {"renamed, alone", {{"sdd", primary}}, "/dev/sdd", nullptr, 1},
      {"a partition with its sector 0", {{"sda1", part}}, "/dev/sdb?", nullptr, 0},
      // The module's view of the member marks the name; the name stays.
      {"a clone sorting first", {{"sda", primary}, {"sdf", primary}}, "/dev/sdb?", "Ambiguous", 0},
      {"a clone sorting last", {{"sdd", primary}, {"sdz", primary}}, "/dev/sdb?", "Ambiguous", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fake::disks.clear();
    fake::block_names.clear();
    for (const auto& d : c.disks) add_disk(d.first, d.second);
    add_disk("sdc", {kMirrorGuid, 1ull << 31, 2, true, 0});
    hmvol_set_name(dev->primary, "/dev/sdb");
    dev->primary->state = HMVOL_DOWN;
    dev->primary->ambiguous = 0;
    k.status = fake::status_with(1ull << HM_INITIALIZE_FINISHED, false, true);
    k.requests.clear();
    libtest::take_syslog();
    hm_workd_pass();
    EXPECT_STREQ(dev->primary->name, c.name);
    EXPECT_EQ(k.count(HM_NL_CMD_ADD_PROTECT), c.adds);
    EXPECT_EQ(k.count(HM_NL_CMD_UPDATE_HMDEV), 0);
    if (!c.word) continue;
    unsigned char out[1024];
    int len = 0;
    ASSERT_EQ(hm_get_status(dev, out, sizeof(out), &len), 0);
    std::string report(reinterpret_cast<char*>(out), len);
    std::string primary_part = report.substr(report.find("Primary:"), report.find("Mirror:") - report.find("Primary:"));
    EXPECT_NE(primary_part.find(std::string("Volume Status:\t\t") + c.word + "\n"), std::string::npos) << report;
    {
      int said = 0;
      for (const auto& l : libtest::take_syslog())
        if (l.priority == LOG_ERR && l.text.find("is on /dev/" + c.disks[0].first + " and on /dev/" +
                                                 c.disks[1].first) != std::string::npos)
          said++;
      EXPECT_EQ(said, 1) << "the disks are named at the error level";
      hm_workd_pass();
      EXPECT_EQ(k.count(HM_NL_CMD_ADD_PROTECT), 0) << "it keeps waiting";
    }
  }
  // The clone is signed anew: the primary is the one disk that carries it.
  fake::disks["/dev/sdz"].signature = 0x1234;
  fake::disks["/dev/sdz"].guid = fake::sig_guid(0x1234);
  hm_workd_pass();
  EXPECT_STREQ(dev->primary->name, "/dev/sdd");
  EXPECT_EQ(dev->primary->ambiguous, 0);
  EXPECT_EQ(k.count(HM_NL_CMD_ADD_PROTECT), 1);

  // A mirror known by a GUID text that only begins a disk's identity.
  k.status = fake::status_with(1ull << HM_INITIALIZE_FINISHED, true, false);
  hmvol_set_name(dev->mirror, "/dev/sdx");
  strcpy(dev->mirror->guid, "5d3f2a10");
  dev->mirror->state = HMVOL_DOWN;
  k.requests.clear();
  hm_workd_pass();
  EXPECT_STREQ(dev->mirror->name, "/dev/sdx?");
  EXPECT_EQ(k.count(HM_NL_CMD_ADD_PROTECT), 0);
}

// While the primary's signature is on two disks, the module may still hold
// the protection on the primary it opened before; when its mirror comes
// back, the pass sends nothing, for an Add would hand the module a primary
// under a name that no longer says which disk it is.
TEST_F(WorkdTest, MirrorBackWhileThePrimaryIsAmbiguousSendsNothing) {
  add_disk("sdd", fake::disks["/dev/sdb"]);  // a clone of the primary
  k.status = fake::status_with(1ull << HM_INITIALIZE_FINISHED, false, true);
  hm_workd_pass();  // the primary is looked for, and is on two disks
  ASSERT_EQ(dev->primary->ambiguous, 1);
  k.status = fake::status_with(1ull << HM_INITIALIZE_FINISHED, true, false);
  k.requests.clear();
  hm_workd_pass();  // the module holds the primary; the mirror is back
  EXPECT_EQ(dev->mirror->state, HMVOL_UP);
  EXPECT_EQ(k.count(HM_NL_CMD_ADD_PROTECT), 0);
  EXPECT_EQ(dev->primary->ambiguous, 1);
}

TEST_F(WorkdTest, PrimaryBackWhileMirrorDown) {
  k.status = fake::status_with(1ull << HM_INITIALIZE_FINISHED, false, false);
  fake::disks["/dev/sdc"].path_state = 1;
  hm_workd_pass();
  std::vector<int> sent = sent_besides_status();
  ASSERT_EQ(sent, std::vector<int>{HM_NL_CMD_ADD_PROTECT}) << "the primary came back";
}

TEST_F(WorkdTest, StandbyIsRecordedAndSendsNothing) {
  k.status = fake::status_with(1ull << HM_INITIALIZE_FINISHED, true, false);
  fake::disks["/dev/sdc"].path_state = 3;
  hm_workd_pass();
  EXPECT_EQ(dev->mirror->state, HMVOL_STANDBY);
  EXPECT_TRUE(sent_besides_status().empty());
}

TEST_F(WorkdTest, DeadMirrorIsDeletedOnlyWhenAsked) {
  k.status = fake::status_with(1ull << HM_INITIALIZE_FINISHED, true, false);
  fake::disks["/dev/sdc"].path_state = 1;
  system(("mkdir -p " + path("sys/class/block/sdc/device")).c_str());
  write("sys/class/block/sdc/device/delete", "");
  hm_workd_pass();  // no option: left alone
  hm_workd_pass();
  EXPECT_EQ(read("sys/class/block/sdc/device/delete"), "");
  system(("rm -rf " + path("sys/class")).c_str());
  snprintf(g_auto_del_faulty_mirror_disk, sizeof(g_auto_del_faulty_mirror_disk),
           "auto_del_faulty_mirror_disk = yes\n");
  // The device file is still there, its identity cannot be read.
  system(("mkdir -p " + path("sys/block/sdc/device")).c_str());
  write("sys/block/sdc/device/delete", "");
  hm_workd_pass();
  EXPECT_EQ(read("sys/block/sdc/device/delete"), "1");
  write("sys/block/sdc/device/delete", "");
  fake::disks["/dev/sdc"].path_state = 2;  // it answers again: left alone
  k.status = fake::status_with(1ull << HM_INITIALIZE_FINISHED, true, false);
  dev->mirror->state = HMVOL_DOWN;
  hm_workd_pass();
  EXPECT_EQ(read("sys/block/sdc/device/delete"), "");

  // The mirror vanished and another disk took its name: whatever it is, a
  // disk that is not the mirror is never deleted.
  struct Case {
    const char* what;
    fake::Disk disk;
  } others[] = {
      {"a plain disk without identity", {"", 1 << 30, 1, false, 0}},
      {"another storage LUN", {"7c3f1b2a-1111-2222-3333-444455556666", 1ull << 31, 1, true, 0}},
      {"a LUN that answers nothing", {"", 1ull << 31, 1, false, 0}},
  };
  for (const Case& c : others) {
    SCOPED_TRACE(c.what);
    fake::disks["/dev/sdc"] = c.disk;
    k.status = fake::status_with(1ull << HM_INITIALIZE_FINISHED, true, false);
    dev->mirror->state = HMVOL_DOWN;
    hm_workd_pass();
    EXPECT_EQ(dev->mirror->state, HMVOL_DOWN);
    EXPECT_EQ(read("sys/block/sdc/device/delete"), "");
  }
}

TEST_F(WorkdTest, StoppedProtectionIsRemovedOnce) {
  add_disk("sdd", {fake::sig_guid(0x77), 1 << 30, 2, false, 0x77});
  add_disk("sde", {"7c3f1b2a-1111-2222-3333-444455556666", 1ull << 31, 2, true, 0});
  struct hmdev* second = add_protection("/dev/sdd", 0x77, "/dev/sde", "7c3f1b2a-1111-2222-3333-444455556666");
  hmdev_get(second);  // a handler still holds it
  dev->status |= 1ull << HM_DEV_STOPPED;
  g_kern_task_retry_us = 50000;
  {
    std::lock_guard<std::mutex> l(k.mu);
    k.retcode[HM_NL_CMD_DEL_PROTECT] = 16;  // busy at first
  }
  hm_workd_pass();
  hm_workd_pass();  // the task is still pending: no second one
  EXPECT_TRUE(testsupport::eventually([&] { return k.count(HM_NL_CMD_DEL_PROTECT) != 0; },
                                      std::chrono::seconds(5), std::chrono::milliseconds(5)));
  {
    std::lock_guard<std::mutex> l(k.mu);
    k.retcode.clear();
  }
  EXPECT_TRUE(testsupport::eventually([] { return registered() != 2 && fake::script_count() != 0; },
                                      std::chrono::seconds(5), std::chrono::milliseconds(10)));
  ASSERT_TRUE(fake::drain(kernel)) << "no task is left to run";
  EXPECT_EQ(registered(), 1);
  EXPECT_EQ(list_first_entry(&hmdev_registry.hmdev_list, struct hmdev, list), second);
  EXPECT_EQ(fake::script_count(), 1u) << "rewrite after the removal runs the boot script";
  EXPECT_EQ(read("boot/hmdevs.reg").find("5d3f2a10"), std::string::npos);
  // A late status read of the removed record must not remove anything again.
  hmdev_put(second);
}

TEST_F(WorkdTest, ProtectionsAfterAStoppedOneWaitAPass) {
  add_disk("sdd", {fake::sig_guid(0x77), 1 << 30, 2, false, 0x77});
  add_disk("sde", {"7c3f1b2a-1111-2222-3333-444455556666", 1ull << 31, 2, true, 0});
  add_protection("/dev/sdd", 0x77, "/dev/sde", "7c3f1b2a-1111-2222-3333-444455556666");
  dev->status |= 1ull << HM_DEV_STOPPED;
  {
    std::lock_guard<std::mutex> l(k.mu);
    k.retcode[HM_NL_CMD_DEL_PROTECT] = 16;
  }
  g_kern_task_max_attempts = 3;
  hm_workd_pass();
  EXPECT_EQ(k.count(HM_NL_CMD_GET_STATUS), 1) << "the walk ended at the stopped one";
  EXPECT_TRUE(testsupport::eventually([&] { return k.count(HM_NL_CMD_DEL_PROTECT) >= 3; },
                                      std::chrono::seconds(5), std::chrono::milliseconds(10)));
  ASSERT_TRUE(fake::drain(kernel)) << "no attempt is left to run";
  EXPECT_EQ(k.count(HM_NL_CMD_DEL_PROTECT), 3) << "a refused task is dropped after its attempts";
  EXPECT_EQ(registered(), 2);
  g_kern_task_max_attempts = 10;
}

}  // namespace
