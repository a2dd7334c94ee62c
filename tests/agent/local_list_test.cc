// The local list reply: written from a handle, read back by qorctl.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "doc_test_util.h"
#include "log_capture.h"
#include "mirapi/log.h"
#include "qor_report.h"

namespace {

using doctest::add_ip;
using doctest::doc;
using doctest::has_line;
using doctest::ips_of;
using doctest::str;
using libtest::take_syslog;

cdpsch* add_sch(qor_t* qor, const char* local, const char* mirror, uint64_t start, uint32_t interval) {
  cdpsch* s = static_cast<cdpsch*>(calloc(1, sizeof(*s)));
  s->local_guid = local ? strdup(local) : nullptr;
  s->mirror_guid = mirror ? strdup(mirror) : nullptr;
  s->start_time = start;
  s->con_start_time = start ? start - 3600 : 0;
  s->interval = interval;
  list_add_tail(&s->list, &qor->cdpschs);
  return s;
}

std::vector<const cdpsch*> schedules_of(const qor_t* qor) {
  std::vector<const cdpsch*> out;
  struct list_head* pos;
  list_for_each(pos, &qor->cdpschs) out.push_back(list_entry(pos, cdpsch, list));
  return out;
}

class LocalListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    set_log_level(7);
    qor = qor_alloc();
    ASSERT_NE(qor, nullptr);
    take_syslog();
  }
  void TearDown() override {
    qor_free(qor);
    qor_free(back);
  }
  // The handle of the golden reply; ports, filter and groups are not carried.
  void fill() {
    qor->client_guid = strdup("C-0001");
    qor->client_alias = strdup("ops & <db>");
    qor->client_port = 9000;
    qor->server_port = 9001;
    add_ip(&qor->ip_filter, "10.9.9.9");
    qor->manager = static_cast<qor_manager*>(calloc(1, sizeof(qor_manager)));
    INIT_LIST_HEAD(&qor->manager->ips);
    qor->manager->guid = strdup("S-1");
    qor->manager->target_iqn = strdup("iqn.t");
    add_ip(&qor->manager->ips, "192.0.2.1");
    add_ip(&qor->manager->ips, "192.0.2.2");
    add_sch(qor, "L1", "M1", 1700003600, 3600);
    add_sch(qor, "L2", nullptr, 0, 0);
    backup_group* g = static_cast<backup_group*>(calloc(1, sizeof(*g)));
    INIT_LIST_HEAD(&g->members);
    g->name = strdup("g1");
    list_add_tail(&g->list, &qor->groups);
  }
  std::string list_text() {
    uint32_t len = 0;
    char* text = qor_to_xml(qor, &len);
    return doctest::take_doc(text, len);
  }
  qor_t* qor = nullptr;
  qor_t* back = nullptr;
};

TEST_F(LocalListTest, ReplyDocument) {
  fill();
  std::ifstream f(std::string(AGENT_GOLDEN_DIR) + "/local_list.xml", std::ios::binary);
  std::stringstream want;
  want << f.rdbuf();
  EXPECT_EQ(list_text(), want.str());
  auto lines = take_syslog();
  EXPECT_TRUE(has_line(lines, 7, "Get Tidewell_LClient info"));
  EXPECT_TRUE(has_line(lines, 7, "Complete getting Tidewell_LClient info"));

  // Without a manager there is no Manager element; no handle, no reply.
  qor_manager_free(qor->manager);
  qor->manager = nullptr;
  EXPECT_EQ(list_text().find("<Manager"), std::string::npos);
  uint32_t len = 7;
  EXPECT_EQ(qor_to_xml(nullptr, &len), nullptr);
}

TEST_F(LocalListTest, RoundTrip) {
  fill();
  std::string text = list_text();
  back = xml_to_qor(text.c_str());
  ASSERT_NE(back, nullptr);
  EXPECT_STREQ(back->client_guid, "C-0001");
  EXPECT_STREQ(back->client_alias, "ops & <db>");
  ASSERT_NE(back->manager, nullptr);
  EXPECT_STREQ(back->manager->guid, "S-1");
  EXPECT_EQ(back->manager->target_iqn, nullptr);
  EXPECT_EQ(ips_of(&back->manager->ips), (std::vector<std::string>{"192.0.2.1", "192.0.2.2"}));
  auto schs = schedules_of(back);
  ASSERT_EQ(schs.size(), 2u);
  EXPECT_STREQ(schs[0]->local_guid, "L1");
  EXPECT_STREQ(schs[0]->mirror_guid, "M1");
  EXPECT_EQ(schs[0]->start_time, 1700003600u);
  EXPECT_EQ(schs[0]->interval, 3600u);
  EXPECT_EQ(schs[0]->con_start_time, 0u);
  EXPECT_STREQ(schs[1]->local_guid, "L2");
  EXPECT_STREQ(schs[1]->mirror_guid, "");
  // Not carried.
  EXPECT_EQ(back->client_port, 0);
  EXPECT_EQ(back->server_port, 0);
  EXPECT_TRUE(list_empty(&back->ip_filter));
  EXPECT_TRUE(list_empty(&back->groups));
}

TEST_F(LocalListTest, ReadingBack) {
  struct Case {
    const char* body;
    const char* guid;
    const char* alias;
    const char* manager;
    std::vector<std::string> ips;
    std::vector<std::string> schedules;  // "local mirror start interval"
  } cases[] = {
      // A reply without Manager still gives a manager record, without GUID.
      {"<Client GUID=\"C\" Alias=\"a\"/>", "C", "a", nullptr, {}, {}},
      // An empty alias is no alias; an alias without GUID is not read.
      {"<Client GUID=\"C\" Alias=\"\"/>", "C", nullptr, nullptr, {}, {}},
      {"<Client Alias=\"a\"/>", nullptr, nullptr, nullptr, {}, {}},
      // A later Client replaces what an earlier one set.
      {"<Client GUID=\"C1\" Alias=\"a1\"/><Client GUID=\"C2\" Alias=\"a2\"/>", "C2", "a2", nullptr, {}, {}},
      {"<Client GUID=\"C1\" Alias=\"a1\"/><Client GUID=\"C2\"/>", "C2", "a1", nullptr, {}, {}},
      {"<Manager GUID=\"S\" IPs=\"  10.0.0.1   x 10.0.0.2\"/>", nullptr, nullptr, "S",
       {"10.0.0.1", "0.0.0.0", "10.0.0.2"}, {}},
      {"<Manager IPs=\"10.0.0.1\"/>", nullptr, nullptr, nullptr, {"10.0.0.1"}, {}},
      // A schedule lacking any of its four attributes is dropped alone.
      {"<CDPSchedule Local=\"L\" Mirror=\"M\" StartTime=\"5\" Timeout=\"60\"/>"
       "<CDPSchedule Local=\"L\" Mirror=\"M\" StartTime=\"5\"/>"
       "<CDPSchedule Local=\"L\" Mirror=\"M\" Timeout=\"60\"/>"
       "<CDPSchedule Local=\"L\" StartTime=\"5\" Timeout=\"60\"/>"
       "<CDPSchedule Mirror=\"M\" StartTime=\"5\" Timeout=\"60\"/>"
       "<Other/><!-- c -->"
       "<CDPSchedule Local=\"L2\" Mirror=\"M2\" StartTime=\"18446744073709551615\" Timeout=\"x\"/>",
       nullptr, nullptr, nullptr, {}, {"L M 5 60", "L2 M2 18446744073709551615 0"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    qor_t* q = xml_to_qor(doc(c.body).c_str());
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(str(q->client_guid), str(c.guid));
    EXPECT_EQ(str(q->client_alias), str(c.alias));
    ASSERT_NE(q->manager, nullptr);
    EXPECT_EQ(str(q->manager->guid), str(c.manager));
    EXPECT_EQ(ips_of(&q->manager->ips), c.ips);
    std::vector<std::string> schs;
    for (const cdpsch* s : schedules_of(q))
      schs.push_back(str(s->local_guid) + " " + str(s->mirror_guid) + " " + std::to_string(s->start_time) +
                     " " + std::to_string(s->interval));
    EXPECT_EQ(schs, c.schedules);
    EXPECT_EQ(qor_is_protected(q), c.manager != nullptr);
    qor_free(q);
  }
}

}  // namespace
