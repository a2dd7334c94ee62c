// Whether a heartbeat's answer changes the manager's addresses.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "log_capture.h"
#include "qor_heartbeat.h"
#include "qor_model.h"

namespace {

// A manager record of this GUID (null: none) and these dotted addresses.
struct Manager {
  qor_manager m{};
  Manager(const char* guid, const std::vector<std::string>& ips) {
    m.guid = guid != nullptr ? strdup(guid) : nullptr;
    INIT_LIST_HEAD(&m.ips);
    for (const std::string& ip : ips) {
      auto* e = static_cast<ip_entry*>(calloc(1, sizeof(ip_entry)));
      inet_pton(AF_INET, ip.c_str(), &e->addr);
      list_add_tail(&e->list, &m.ips);
    }
  }
  ~Manager() {
    free(m.guid);
    ip_list_free(&m.ips);
  }
};

std::vector<std::string> many(int n, const std::string& last) {
  std::vector<std::string> out;
  for (int i = 0; i < n; i++) out.push_back("10.0.0." + std::to_string(i + 1));
  if (!last.empty()) out.push_back(last);
  return out;
}

TEST(ManagerChanged, ComparesTheConfiguredManagersAddresses) {
  const std::vector<std::string> configured = {"192.0.2.1", "192.0.2.3"};
  const struct {
    const char* name;
    const char* guid;
    std::vector<std::string> ips;
    int changed;
  } cases[] = {
      {"same list", "M1", {"192.0.2.1", "192.0.2.3"}, 0},
      {"second address differs", "M1", {"192.0.2.1", "192.0.2.2"}, 1},
      {"same addresses, other order", "M1", {"192.0.2.3", "192.0.2.1"}, 1},
      {"one more address", "M1", {"192.0.2.1", "192.0.2.3", "192.0.2.4"}, 1},
      {"one address less", "M1", {"192.0.2.1"}, 1},
      {"empty list", "M1", {}, 1},
      // A 0.0.0.0 ends both lists at the same place: the rest is not read.
      {"0.0.0.0 ends the list", "M1", {"192.0.2.1", "192.0.2.3", "0.0.0.0", "192.0.2.9"}, 0},
      {"another manager", "M2", {"198.51.100.1"}, 0},
      {"no GUID", nullptr, {"198.51.100.1"}, 0},
      {"empty GUID", "", {"198.51.100.1"}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    g_qor = qor_alloc();
    Manager mine("M1", configured);
    ASSERT_EQ(0, qor_mngr_appoint(&mine.m, g_qor));
    Manager theirs(c.guid, c.ips);
    EXPECT_EQ(c.changed, is_manager_changed(&theirs.m));
    qor_cleanup();
  }
}

TEST(ManagerChanged, AnotherManagerIsNamedAndNoManagerChangesNothing) {
  g_qor = qor_alloc();
  Manager other("M2", {"198.51.100.1"});
  EXPECT_EQ(0, is_manager_changed(&other.m));  // the host has no manager
  Manager mine("M1", {"192.0.2.1"});
  ASSERT_EQ(0, qor_mngr_appoint(&mine.m, g_qor));
  libtest::take_syslog();
  EXPECT_EQ(0, is_manager_changed(&other.m));
  EXPECT_TRUE(libtest::syslog_contains("'M2' is not the right manager, 'M1' is"));
  EXPECT_EQ(0, is_manager_changed(nullptr));
  qor_cleanup();
}

TEST(ManagerChanged, OnlyTheFirst32AddressesCount) {
  g_qor = qor_alloc();
  Manager mine("M1", many(32, "192.0.2.1"));
  ASSERT_EQ(0, qor_mngr_appoint(&mine.m, g_qor));
  Manager past_32("M1", many(32, "192.0.2.2"));
  EXPECT_EQ(0, is_manager_changed(&past_32.m));
  Manager within("M1", many(31, "192.0.2.2"));
  EXPECT_EQ(1, is_manager_changed(&within.m));
  qor_cleanup();
}

}  // namespace
