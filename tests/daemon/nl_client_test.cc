// The netlink requests the daemon builds, the copy of a kernel status into
// the registry, and the count that lifts the guard of all mirrors.
#include <string.h>

#include <thread>

#include <gtest/gtest.h>

#include "fake_host.h"
#include "hm_nl_client.h"
#include "hm_registry.h"

namespace {

const char kMirrorGuid[] = "6c3f1b2a-1111-2222-3333-444455556666";

class NlTest : public fake::Host {
 protected:
  void SetUp() override {
    fake::Host::SetUp();
    add_disk("sdb", {fake::sig_guid(0x5d3f2a10), 1073741824, 2, false, 0x5d3f2a10});
    add_disk("sdc", {kMirrorGuid, 2147483648ull, 2, true, 0});
    dev = add_protection("/dev/sdb", 0x5d3f2a10, "/dev/sdc", kMirrorGuid);
  }
  static hm_nl_volume_t vol_at(const fake::NlRequest& r, size_t off) {
    hm_nl_volume_t v;
    memcpy(&v, r.body.data() + off, sizeof(v));
    return v;
  }
  struct hmdev* dev = nullptr;
};

TEST_F(NlTest, AddProtectionLayout) {
  dev->bitmap_fd = 7;
  ASSERT_EQ(hm_nl_set_protect(dev), 0);
  ASSERT_EQ(k.requests.size(), 1u);
  const fake::NlRequest& r = k.requests[0];
  EXPECT_EQ(r.cmd, HM_NL_CMD_ADD_PROTECT);
  ASSERT_EQ(r.body.size(), 344u);
  hm_nl_header1_t h1;
  memcpy(&h1, r.body.data(), sizeof(h1));
  EXPECT_EQ(h1.mode, 1);
  EXPECT_EQ(h1.nr_vol, 2);
  EXPECT_EQ(h1.fd, 7u);
  hm_nl_volume_t p = vol_at(r, 8), m = vol_at(r, 176);
  EXPECT_EQ(p.vid.mbp_volumeid.signature, 0x5d3f2a10u);
  EXPECT_STREQ(p.uuid, "5d3f2a10-0000-0000-0000-000000000000");
  EXPECT_EQ(p.sector_max, 2097152u);
  EXPECT_EQ(p.dev_name_off, 168);
  EXPECT_EQ(p.dev_name_len, 8);
  EXPECT_EQ(std::string(r.body.begin() + 168, r.body.begin() + 176), "/dev/sdb");
  EXPECT_STREQ(m.uuid, kMirrorGuid);
  EXPECT_EQ(m.dev_name_off, 336);
  EXPECT_EQ(std::string(r.body.begin() + 336, r.body.end()), "/dev/sdc");
}

TEST_F(NlTest, MissingPrimaryGoesWithItsMark) {
  hmvol_mark_missing(dev->primary);
  hm_nl_send_stop_protect(dev);
  const fake::NlRequest& r = k.requests.at(0);
  EXPECT_EQ(r.cmd, HM_NL_CMD_STOP_PROTECT);
  ASSERT_EQ(r.body.size(), 169u);
  hm_nl_volume_t p = vol_at(r, 0);
  EXPECT_EQ(p.dev_name_off, 160);
  EXPECT_EQ(p.dev_name_len, 9);
  EXPECT_EQ(p.sector_max, 0u) << "single-volume commands send no size";
}

TEST_F(NlTest, FaultyDiskNamesTheActiveMembersAndTheRole) {
  dev->mirror->active = 0;
  hm_nl_update_hmdev(dev, 1);
  const fake::NlRequest& r = k.requests.at(0);
  EXPECT_EQ(r.cmd, HM_NL_CMD_UPDATE_HMDEV);
  ASSERT_EQ(r.body.size(), 8u + 160 + 8 + 1);
  EXPECT_EQ(r.body[1], 1) << "nr_vol";
  EXPECT_EQ(r.body.back(), 'm');
  dev->mirror->active = 1;
  hm_nl_update_hmdev(dev, 0);
  EXPECT_EQ(k.requests.at(1).body.size(), 8u + 160 + 8 + 160 + 8 + 1);
  EXPECT_EQ(k.requests.at(1).body.back(), 'p');
}

TEST_F(NlTest, SyncSpeedFollowsThePath) {
  dev->sync_speed = 5000;
  hm_nl_set_sync_speed_max(dev);
  const fake::NlRequest& r = k.requests.at(0);
  ASSERT_EQ(r.body.size(), 172u);
  uint32_t speed;
  memcpy(&speed, r.body.data() + 168, 4);
  EXPECT_EQ(speed, 5000u);
}

TEST_F(NlTest, KernelErrorsComeBackNegated) {
  struct {
    uint32_t retcode;
    int result;
  } cases[] = {{0, 0}, {2, -2}, {16, -16}, {4294967284u, -12}};
  for (auto& c : cases) {
    k.retcode[HM_NL_CMD_DEL_PROTECT] = c.retcode;
    EXPECT_EQ(hm_nl_send_del_protect(dev), c.result) << c.retcode;
  }
  k.down = true;
  EXPECT_LT(hm_nl_set_protect(dev), 0);
}

TEST_F(NlTest, StatusIsCopiedIn) {
  hm_nl_status_t st = fake::status_with((1ull << HM_INITIALIZE_FINISHED) | (1ull << HM_DEV_LOCKED) |
                                            (1ull << 40),
                                        true, false);
  st.sector_synced = 77;
  st.chunk_needed = 3;
  k.status = st;
  dev->status = (1ull << HM_DEV_STOPPED) | (1ull << 10) | (1ull << HM_INITIALIZE_ON);
  hmdev_registry.conf_dirty = 0;
  ASSERT_EQ(hm_nl_get_status(dev), 0);
  EXPECT_EQ(dev->status, (1ull << HM_DEV_STOPPED) | (1ull << 10) | (1ull << HM_INITIALIZE_FINISHED) |
                             (1ull << HM_DEV_LOCKED))
      << "daemon bits kept, kernel bits taken, high bits cleared";
  EXPECT_EQ(dev->sector_synced, 77u);
  EXPECT_EQ(dev->chunk_needed, 3u);
  EXPECT_EQ(dev->primary->state, HMVOL_UP);
  EXPECT_EQ(dev->mirror->state, HMVOL_DOWN);
  EXPECT_EQ(dev->mirror->active, 0);
  EXPECT_STREQ(dev->mirror->name, "/dev/sdc?");
  k.status = fake::status_with(0, true, true);
  ASSERT_EQ(hm_nl_get_status(dev), 0);
  EXPECT_EQ(dev->mirror->state, HMVOL_UP);
  EXPECT_STREQ(dev->mirror->name, "/dev/sdc?") << "only a re-find removes the mark";
}

TEST_F(NlTest, FailedStatusChangesNothing) {
  k.retcode[HM_NL_CMD_GET_STATUS] = 2;
  dev->status = 5;
  EXPECT_EQ(hm_nl_get_status(dev), -2);
  EXPECT_EQ(dev->status, 5u);
}

// Overlapping marks lift the guard once and restore it once, and the
// commands reach the kernel in the order of the count's changes, however
// the threads interleave.
TEST_F(NlTest, GuardFollowsTheCount) {
  hm_nl_cancel_forbid_mirror_all();
  hm_nl_cancel_forbid_mirror_all();
  hm_nl_forbid_mirror_all();
  EXPECT_EQ(k.commands(), std::vector<int>{HM_NL_CMD_CANCEL_FORBID_MIRROR_ALL});
  hm_nl_forbid_mirror_all();
  EXPECT_EQ(k.commands(),
            (std::vector<int>{HM_NL_CMD_CANCEL_FORBID_MIRROR_ALL, HM_NL_CMD_FORBID_MIRROR_ALL}));
  EXPECT_EQ(hm_nl_forbid_count(), 0);

  k.requests.clear();
  std::vector<std::thread> ts;
  for (int i = 0; i < 8; i++)
    ts.emplace_back([] {
      for (int j = 0; j < 200; j++) {
        hm_nl_cancel_forbid_mirror_all();
        hm_nl_forbid_mirror_all();
      }
    });
  for (auto& t : ts) t.join();
  std::vector<int> cmds = k.commands();
  ASSERT_FALSE(cmds.empty());
  for (size_t i = 0; i < cmds.size(); i++)
    ASSERT_EQ(cmds[i], i % 2 == 0 ? HM_NL_CMD_CANCEL_FORBID_MIRROR_ALL : HM_NL_CMD_FORBID_MIRROR_ALL)
        << "at " << i;
  EXPECT_EQ(cmds.size() % 2, 0u);
  EXPECT_EQ(hm_nl_forbid_count(), 0);
}

}  // namespace
