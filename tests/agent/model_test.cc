// The configuration handle: lists, the manager, the managed and pair tests,
// lookups, the start-time arithmetic and releasing everything a handle owns.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "log_capture.h"
#include "model_util.h"
#include "mirapi/log.h"
#include "qor_client.h"
#include "qor_model.h"
#include "zel/zel_app.h"
#include "zel/zel_devgrp.h"

namespace {

using agenttest::add_ip;
using agenttest::ips_of;
using libtest::syslog_contains;
using libtest::take_syslog;

qor_manager* new_manager(const char* guid) {
  qor_manager* m = static_cast<qor_manager*>(calloc(1, sizeof(*m)));
  INIT_LIST_HEAD(&m->ips);
  m->guid = guid ? strdup(guid) : nullptr;
  return m;
}

cdpsch* add_cdpsch(qor_t* qor, const char* local, const char* mirror) {
  cdpsch* s = static_cast<cdpsch*>(calloc(1, sizeof(*s)));
  s->local_guid = strdup(local);
  s->mirror_guid = strdup(mirror);
  list_add_tail(&s->list, &qor->cdpschs);
  return s;
}

class ModelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    set_log_level(7);
    qor = qor_alloc();
    ASSERT_NE(qor, nullptr);
    take_syslog();
  }
  void TearDown() override { qor_free(qor); }
  qor_t* qor = nullptr;
};

TEST(AgentList, DelClearsLinksAndSpliceKeepsOrder) {
  struct list_head a, b, n1, n2, n3;
  INIT_LIST_HEAD(&a);
  INIT_LIST_HEAD(&b);
  list_add_tail(&n1, &a);
  list_add_tail(&n2, &b);
  list_add_tail(&n3, &b);

  // Splicing an empty list changes neither list.
  struct list_head empty;
  INIT_LIST_HEAD(&empty);
  list_splice_init(&empty, &a);
  EXPECT_EQ(a.next, &n1);
  EXPECT_EQ(a.prev, &n1);
  EXPECT_TRUE(list_empty(&empty));

  // b's entries go, in their order, in front of a's; b is empty again.
  list_splice_init(&b, &a);
  EXPECT_TRUE(list_empty(&b));
  EXPECT_EQ(a.next, &n2);
  EXPECT_EQ(n2.next, &n3);
  EXPECT_EQ(n3.next, &n1);
  EXPECT_EQ(n1.next, &a);
  EXPECT_EQ(a.prev, &n1);

  list_del(&n3);
  EXPECT_EQ(n3.next, nullptr);
  EXPECT_EQ(n3.prev, nullptr);
  EXPECT_EQ(n2.next, &n1);
  EXPECT_EQ(n1.prev, &n2);
}

TEST_F(ModelTest, AppointCopiesGuidAndAddressesButNoTargetIqn) {
  qor_manager* given = new_manager("M-1");
  given->target_iqn = strdup("iqn.2001-04.com.example:old");
  add_ip(&given->ips, "10.0.0.3");
  add_ip(&given->ips, "10.0.0.1");
  add_ip(&given->ips, "10.0.0.2");

  ASSERT_EQ(qor_mngr_appoint(given, qor), 0);
  ASSERT_NE(qor->manager, nullptr);
  EXPECT_NE(qor->manager, given);
  EXPECT_STREQ(qor->manager->guid, "M-1");
  EXPECT_NE(qor->manager->guid, given->guid);
  EXPECT_EQ(qor->manager->target_iqn, nullptr);
  std::vector<std::string> want{"10.0.0.3", "10.0.0.1", "10.0.0.2"};
  EXPECT_EQ(ips_of(&qor->manager->ips), want);
  // The caller's record is untouched and still its own.
  EXPECT_EQ(ips_of(&given->ips), want);
  EXPECT_STREQ(given->target_iqn, "iqn.2001-04.com.example:old");
  EXPECT_TRUE(syslog_contains("Appoint new manager 'M-1'"));

  // A second appointment replaces the whole manager.
  qor_manager* next = new_manager("M-2");
  ASSERT_EQ(qor_mngr_appoint(next, qor), 0);
  EXPECT_STREQ(qor->manager->guid, "M-2");
  EXPECT_TRUE(list_empty(&qor->manager->ips));
  qor_manager_free(next);
  qor_manager_free(given);
}

TEST_F(ModelTest, RemoveDropsManagerAndAlias) {
  struct Case {
    const char* manager;  // null: the handle has none
    const char* log;
  } cases[] = {
      {nullptr, "Delete manager"},
      {"M-9", "Delete manager 'M-9'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.log);
    if (c.manager) qor->manager = new_manager(c.manager);
    qor->client_alias = strdup("alias");
    take_syslog();
    EXPECT_EQ(qor_mngr_remove(qor), 0);
    EXPECT_EQ(qor->manager, nullptr);
    EXPECT_EQ(qor->client_alias, nullptr);
    auto lines = take_syslog();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].priority, 6);
    EXPECT_EQ(lines[0].text, std::string(c.log) + "\n");
  }
  EXPECT_EQ(qor_mngr_appoint(nullptr, nullptr), -1);
  EXPECT_TRUE(syslog_contains("Failed set manager, null pointer."));
}

TEST_F(ModelTest, ManagedAndPairTests) {
  qor->client_guid = strdup("C-1");
  struct Case {
    const char* manager_guid;
    bool has_manager;
    int is_protected;
    int pair_with_same;  // qor_is_pair(manager_guid or "", "C-1")
  } cases[] = {
      {nullptr, false, 0, 0},
      {nullptr, true, 0, 0},
      // An empty GUID is no manager, yet the pair test still compares to it.
      {"", true, 0, 1},
      {"M-1", true, 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.manager_guid ? c.manager_guid : "(null)");
    qor_manager_free(qor->manager);
    qor->manager = c.has_manager ? new_manager(c.manager_guid) : nullptr;
    EXPECT_EQ(qor_is_protected(qor), c.is_protected);
    const char* guid = c.manager_guid ? c.manager_guid : "";
    EXPECT_EQ(qor_is_pair(guid, "C-1", qor), c.pair_with_same);
  }
  // Exact, case-sensitive comparison of both texts.
  EXPECT_EQ(qor_is_pair("m-1", "C-1", qor), 0);
  EXPECT_EQ(qor_is_pair("M-1", "c-1", qor), 0);
  EXPECT_EQ(qor_is_pair("M-1", "C-1 ", qor), 0);

  EXPECT_EQ(qor_is_protected(nullptr), -1);
  EXPECT_TRUE(syslog_contains("Fatal: unkown qor handle"));
  EXPECT_EQ(qor_is_pair(nullptr, "C-1", qor), 0);
  EXPECT_TRUE(syslog_contains("Invalid input parameter"));
  free(qor->client_guid);
  qor->client_guid = nullptr;
  EXPECT_EQ(qor_is_pair("M-1", "C-1", qor), 0);
  EXPECT_TRUE(syslog_contains("Fatal: unkown client guid"));
}

TEST_F(ModelTest, RenameReplacesAlias) {
  EXPECT_EQ(qor_rename_client(qor, "first"), 0);
  EXPECT_EQ(qor_rename_client(qor, "second"), 0);
  EXPECT_STREQ(qor->client_alias, "second");
  EXPECT_EQ(qor_rename_client(qor, nullptr), -1);
  EXPECT_EQ(qor_rename_client(nullptr, "x"), -1);
  EXPECT_TRUE(syslog_contains("Failed to get context"));
  EXPECT_STREQ(qor->client_alias, "second");
}

TEST_F(ModelTest, FindScheduleByMirror) {
  cdpsch* a = add_cdpsch(qor, "L1", "M1");
  cdpsch* b = add_cdpsch(qor, "L2", "M2");
  EXPECT_EQ(qor_find_cdpsch(qor, "M1"), a);
  EXPECT_EQ(qor_find_cdpsch(qor, "M2"), b);
  EXPECT_EQ(qor_find_cdpsch(qor, "L1"), nullptr);  // the local GUID is not the key
  EXPECT_EQ(qor_find_cdpsch(qor, nullptr), nullptr);
  EXPECT_EQ(qor_find_cdpsch(nullptr, "M1"), nullptr);
}

TEST(AgentClient, MirrorOfLocalIsTheFirstRelationship) {
  qor_client client = {};
  INIT_LIST_HEAD(&client.backups);
  const char* rel[][2] = {{"S-0", "D-0"}, {"S-1", "D-first"}, {"S-1", "D-second"}};
  for (auto& r : rel) {
    qor_backup* bk = static_cast<qor_backup*>(calloc(1, sizeof(*bk)));
    strcpy(bk->src_guid, r[0]);
    strcpy(bk->dest_guid, r[1]);
    list_add_tail(&bk->list, &client.backups);
  }
  char* guid = get_mirror_guid_of_local("S-1", &client);
  ASSERT_NE(guid, nullptr);
  EXPECT_STREQ(guid, "D-first");
  free(guid);
  EXPECT_EQ(get_mirror_guid_of_local("S-2", &client), nullptr);
  backup_list_free(&client.backups);
  EXPECT_TRUE(list_empty(&client.backups));
}

// A handle full of everything it can own; freeing it must leave nothing
// behind for the leak checker, whether or not a manager is left.
TEST(AgentRelease, FreeReleasesEverythingTheHandleOwns) {
  for (bool with_manager : {false, true}) {
    qor_t* qor = qor_alloc();
    qor->client_guid = strdup("C");
    qor->client_alias = strdup("A");
    add_ip(&qor->ip_filter, "192.0.2.1");
    if (with_manager) {
      qor->manager = new_manager("M");
      qor->manager->target_iqn = strdup("iqn.x");
      add_ip(&qor->manager->ips, "192.0.2.2");
    }
    add_cdpsch(qor, "L", "M");
    backup_group* grp = static_cast<backup_group*>(calloc(1, sizeof(*grp)));
    grp->name = strdup("G");
    INIT_LIST_HEAD(&grp->members);
    guid_entry* member = static_cast<guid_entry*>(calloc(1, sizeof(*member)));
    member->guid = strdup("L");
    list_add_tail(&member->list, &grp->members);
    list_add_tail(&grp->list, &qor->groups);
    qor_free(qor);
  }

  g_qor = qor_alloc();
  g_qor->client_guid = strdup("C");
  qor_cleanup();
  EXPECT_EQ(g_qor, nullptr);
  qor_cleanup();  // a second clean-up finds nothing to free
}

TEST(AgentRelease, InventoryRecords) {
  qor_disk* disk = static_cast<qor_disk*>(calloc(1, sizeof(*disk)));
  disk->name = strdup("sda");
  disk->path = strdup("/dev/sda");
  disk->guid = strdup("G");
  disk->vendor = strdup("V M");
  INIT_LIST_HEAD(&disk->parts);
  for (const char* name : {"sda1", "sda2"}) {
    qor_part* part = static_cast<qor_part*>(calloc(1, sizeof(*part)));
    part->name = strdup(name);
    part->fs = strdup("ext4");
    list_add_tail(&part->list, &disk->parts);
  }
  struct list_head disks, channels;
  INIT_LIST_HEAD(&disks);
  INIT_LIST_HEAD(&channels);
  list_add_tail(&disk->list, &disks);
  qor_channel* chn = static_cast<qor_channel*>(calloc(1, sizeof(*chn)));
  chn->initiator = strdup("iqn.i");
  chn->target = strdup("iqn.t");
  list_add_tail(&chn->list, &channels);
  disk_list_free(&disks);
  channel_list_free(&channels);
  EXPECT_TRUE(list_empty(&disks));
  EXPECT_TRUE(list_empty(&channels));

  guid_entry* lone = static_cast<guid_entry*>(calloc(1, sizeof(*lone)));
  lone->guid = strdup("x");
  struct list_head members;
  INIT_LIST_HEAD(&members);
  list_add_tail(&lone->list, &members);
  guid_entry_free(lone);  // unlinks itself
  EXPECT_TRUE(list_empty(&members));
}

// A whole client record: everything it owns goes, the configuration's
// client GUID that it borrows stays with the configuration.
TEST(AgentRelease, ClientRecordAndOutsideRecords) {
  qor_t* qor = qor_alloc();
  qor->client_guid = strdup("C-1");
  qor_client* client = static_cast<qor_client*>(calloc(1, sizeof(*client)));
  for (struct list_head* l : {&client->ips, &client->disks, &client->channels, &client->backups,
                              &client->apps})
    INIT_LIST_HEAD(l);
  pthread_mutex_init(&client->lock, nullptr);
  pthread_mutex_init(&client->disk_num_lock, nullptr);
  client->id = qor->client_guid;
  client->hostname = strdup("host");
  client->alias = strdup("alias");
  client->os_version = strdup("os");
  add_ip(&client->ips, "192.0.2.1");
  qor_disk* disk = static_cast<qor_disk*>(calloc(1, sizeof(*disk)));
  disk->name = strdup("sdb");
  INIT_LIST_HEAD(&disk->parts);
  list_add_tail(&disk->list, &client->disks);
  qor_channel* chn = static_cast<qor_channel*>(calloc(1, sizeof(*chn)));
  chn->initiator = strdup("0x10");
  list_add_tail(&chn->list, &client->channels);
  qor_backup* bk = static_cast<qor_backup*>(calloc(1, sizeof(*bk)));
  list_add_tail(&bk->list, &client->backups);
  for (const char* name : {"orcl", "orcl2"}) {
    ZelApp* app = static_cast<ZelApp*>(calloc(1, sizeof(ZelApp)));
    app->instance_name = strdup(name);
    app->type_name = strdup("oracle");
    app->db_user = strdup("u");
    app->db_passwd = strdup("p");
    app->oracle_home = strdup("/opt/oracle");
    app->host = strdup("127.0.0.1");
    app->port = strdup("1521");
    list_add_tail(&app->node, &client->apps);
  }
  client_free(client);
  EXPECT_STREQ(qor->client_guid, "C-1");
  qor_free(qor);

  Zeldevgrp* grp = static_cast<Zeldevgrp*>(calloc(1, sizeof(Zeldevgrp)));
  INIT_LIST_HEAD(&grp->members);
  grp->name = strdup("g");
  for (const char* path : {"/dev/sdc", "/dev/sdd"}) {
    Zeldev* dev = static_cast<Zeldev*>(calloc(1, sizeof(Zeldev)));
    dev->path = strdup(path);
    list_add_tail(&dev->node, &grp->members);
  }
  zeldevgrp_free(grp);
}

// ---------------------------------------------------------------------------
// Start-time arithmetic

constexpr uint64_t k2p63 = uint64_t{1} << 63;

TEST(AgentSchedule, ReaderMovesAPastStartToTheNextBoundary) {
  struct Case {
    uint64_t con_start, start;
    uint32_t interval;
    int64_t now;
    uint64_t want;
  } cases[] = {
      {1000, 1000, 600, 2500, 2800},      // 2500 + 600 - (1500 mod 600)
      {1000, 1000, 600, 2200, 2800},      // on a boundary: a whole interval on
      {1000, 2200, 600, 2200, 2800},      // due exactly now: not now
      {1000, 1300, 600, 2500, 2500 + 600 - (1200 % 600)},  // its own grid, not the console's
      {0, 1000, 600, 2500, 1000},         // no console start: no schedule
      {1000, 1000, 0, 2500, 1000},        // no interval
      {1000, 5000, 600, 2500, 5000},      // still to come
      {3000, 1000, 600, 2500, 1000},      // console start after now
      {2500, 1000, 600, 2500, 1000},      // console start equal to now is not before it
      // Hand-edited values of 2^63 and more are no past times.
      {k2p63, 1000, 600, 2500, 1000},
      {UINT64_MAX, 1000, 600, 2500, 1000},
      {1000, k2p63, 600, 2500, k2p63},
      {1000, UINT64_MAX, 600, 2500, UINT64_MAX},
      {1000, UINT64_MAX, UINT32_MAX, 2500, UINT64_MAX},
      // A start of 0 under a real schedule still moves.
      {1000, 0, 600, 2500, 3000},
      // A result past the signed range stays as read.
      {1000, 1000, UINT32_MAX, INT64_MAX - 10, 1000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.con_start << " " << c.start << " " << c.interval
                                    << " now " << c.now);
    EXPECT_EQ(qor_cfg_start(c.con_start, c.start, c.interval, c.now), c.want);
  }
}

TEST(AgentSchedule, HandlerAlignsAPastConsoleStart) {
  struct Case {
    uint64_t con_start;
    uint32_t interval;
    int64_t now;
    uint64_t want;
  } cases[] = {
      {1000, 300, 2000, 2200},   // 2000 + 300 - (1000 mod 300)
      {1000, 300, 1900, 2200},   // a whole number of intervals: now + interval
      {1000, 600, 2000, 2200},
      {5000, 300, 2000, 5000},   // in the future: as sent
      {2000, 300, 2000, 2000},   // now is not before now
      {0, 300, 2000, 0},
      {1000, 0, 2000, 1000},
      {k2p63, 300, 2000, k2p63},
      {UINT64_MAX, 300, 2000, UINT64_MAX},
      {1000, UINT32_MAX, INT64_MAX - 10, 1000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.con_start << " " << c.interval << " now " << c.now);
    EXPECT_EQ(qor_sched_start(c.con_start, c.interval, c.now), c.want);
  }
}

}  // namespace
