// The manager of g_qor changes while commands test it: a new address list
// of the same server (REFRESH_SERVER, a heartbeat's answer) and a withdrawal
// followed by a new appointment.  Every test of the manager must read it
// under the configuration lock; under the sanitizer build a read of a
// released manager is a report.  And a command that begins after the host
// was released must answer as for a host without manager.
#include <gtest/gtest.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "eventually.h"
#include "log_capture.h"
#include "mirapi/log.h"
#include "model_util.h"
#include "qor_client.h"
#include "qor_dispatch.h"
#include "qor_heartbeat.h"
#include "qor_inventory.h"
#include "qor_model.h"

namespace {

using agenttest::add_ip;

constexpr char kGuid[] = "MANAGER-GUID";

// A server's record as a request would carry it.
struct Manager {
  qor_manager m{};
  explicit Manager(std::initializer_list<const char*> ips) {
    m.guid = const_cast<char*>(kGuid);
    INIT_LIST_HEAD(&m.ips);
    for (const char* ip : ips) add_ip(&m.ips, ip);
  }
  ~Manager() { ip_list_free(&m.ips); }
};

// A request dispatched on TCP; its status.
int dispatch(uint32_t cmd, const char* doc) {
  qorc_req* req = req_alloc();
  req->recv_head.proto_version = 2;
  req->recv_head.cmd = cmd;
  if (doc != nullptr) req->recvxml = strdup(doc);
  qor_dispatch(req, 0);
  int status = req->send_head.ret_status;
  req_free(req);
  return status;
}

// A group schedule for a group the host does not have: a managed host
// looks for it under the configuration lock and answers 1.
constexpr char kGroupSchedule[] =
    "<Tidewell><Backup SourceType=\"1\" Source=\"NO-SUCH-GROUP\">"
    "<Schedule StartTime=\"0\" IntervalSeconds=\"0\"/></Backup></Tidewell>";
constexpr char kZelGroupSchedule[] =
    "<Tidewell><Snap SourceType=\"1\" Source=\"NO-SUCH-GROUP\">"
    "<Schedule StartTime=\"0\" IntervalSeconds=\"0\"/></Snap></Tidewell>";

// What each command answers on a host that stays managed, and that stays
// unmanaged, while it runs.
const struct {
  uint32_t cmd;
  const char* doc;
  int managed;
  int unmanaged;
} kCommands[] = {
    {54, nullptr, 4, 50},           // REFRESH_SERVER without its Server element
    {15, kGroupSchedule, 1, 50},    // SET_CDP_SCHEDULE: the test again under the lock
    {30001, kZelGroupSchedule, 1, 50},  // ZEL_SET_CDP_SCHEDULE, likewise
    {30002, nullptr, 4, 50},        // ZEL_GET_CDP_SCHEDULE without a request
    {30005, nullptr, 0, 50},        // ZEL_GET_GROUP: the groups read under the lock
    {46, nullptr, 4, 50},           // BG_CREATE without a request
};

class ManagerRaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_qor = qor_alloc();
    ASSERT_NE(nullptr, g_qor);
    heartbeat_set_running(0);
    // The debug lines print the manager's GUID: a read of a released one.
    debug_on();
    libtest::take_syslog();
  }
  void TearDown() override {
    debug_off();
    libtest::take_syslog();
    qor_cleanup();
  }
};

TEST_F(ManagerRaceTest, CommandsSeeOneManagerWhileItChanges) {
  Manager first({"192.0.2.1", "192.0.2.2"});
  Manager second({"192.0.2.3"});
  {
    qor_lock();
    ASSERT_EQ(0, qor_mngr_appoint(&first.m, g_qor));
    qor_unlock();
  }

  // changes: completed changes of the manager; managed: the state the last
  // one left.  A command that saw the same count before and after it ran
  // ran wholly in that state.
  std::atomic<uint64_t> changes{0};
  std::atomic<bool> managed{true};
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  std::atomic<uint64_t> commands{0};

  std::thread changer([&] {
    for (uint64_t round = 0; !stop; round++) {
      qor_lock();
      switch (round % 4) {
        case 0:  // the same server at other addresses
        case 1:
          qor_mngr_appoint(round % 2 ? &first.m : &second.m, g_qor);
          managed = true;
          break;
        case 2:  // the reset's removal of the manager
          qor_mngr_remove(g_qor);
          managed = false;
          break;
        case 3:  // a new appointment (ADD_CLIENT)
          qor_mngr_appoint(&first.m, g_qor);
          managed = true;
          break;
      }
      changes++;
      qor_unlock();
    }
  });

  std::vector<std::thread> readers;
  for (int t = 0; t < 6; t++) {
    readers.emplace_back([&, t] {
      for (size_t i = t; !stop; i++) {
        const auto& c = kCommands[i % (sizeof(kCommands) / sizeof(kCommands[0]))];
        const uint64_t before = changes.load();
        const bool was_managed = managed.load();
        const int status = dispatch(c.cmd, c.doc);
        if (changes.load() == before && status != (was_managed ? c.managed : c.unmanaged)) {
          ADD_FAILURE() << "cmd " << c.cmd << " answered " << status << " on a host that was "
                        << (was_managed ? "managed" : "unmanaged") << " throughout";
          wrong++;
        }
        commands++;
      }
    });
  }
  // The other readers of the manager: the channel list of the inventory and
  // the heartbeat's comparison of address lists.
  readers.emplace_back([&] {
    while (!stop) {
      struct list_head chns;
      INIT_LIST_HEAD(&chns);
      qor_get_chns_lock(g_qor, &chns, &g_qor->mutex);
      channel_list_free(&chns);
      qor_lock();
      is_manager_changed(&second.m);
      qor_unlock();
    }
  });

  // Bounded in rounds and in time: a slow machine runs fewer.
  testsupport::eventually([&] { return changes >= 20000 && commands >= 20000; },
                          std::chrono::seconds(4), std::chrono::milliseconds(50));
  stop = true;
  changer.join();
  for (auto& r : readers) r.join();
  EXPECT_EQ(0, wrong.load());
  EXPECT_GT(changes.load(), 100u);
  EXPECT_GT(commands.load(), 100u);
  RecordProperty("changes", std::to_string(changes.load()));
  RecordProperty("commands", std::to_string(commands.load()));
}

}  // namespace
