// The client report, byte for byte, from a small inventory, and the value
// formats it uses.
#include <gtest/gtest.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "doc_test_util.h"
#include "log_capture.h"
#include "mirapi/log.h"
#include "qor_report.h"
#include "qor_inventory.h"
#include "qor_xml.h"
#include "zel/zel_app.h"

namespace {

using doctest::add_ip;
using doctest::has_line;
using libtest::take_syslog;

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// A golden document; the host name is the one thing of the report that is
// this machine's.
std::string golden(const std::string& name) {
  std::string text = read_file(std::string(AGENT_GOLDEN_DIR) + "/" + name);
  EXPECT_FALSE(text.empty()) << name;
  char host[512] = {0};
  gethostname(host, sizeof(host) - 1);
  size_t at = text.find("@HOSTNAME@");
  if (at != std::string::npos) text.replace(at, strlen("@HOSTNAME@"), host);
  return text;
}

// The device this machine has mounted at "/", which the system-disk test
// must call a system disk.
std::string root_device() {
  std::ifstream f("/etc/mtab");
  std::string dev, dir, rest;
  while (f >> dev >> dir && std::getline(f, rest))
    if (dir == "/") return dev;
  return "";
}

char* dup(const char* s) { return s != nullptr ? strdup(s) : nullptr; }

qor_disk* add_disk(qor_client* c, const char* name, const char* path, const char* guid, int state,
                   uint64_t size, const char* vendor) {
  qor_disk* d = static_cast<qor_disk*>(calloc(1, sizeof(*d)));
  INIT_LIST_HEAD(&d->parts);
  d->name = dup(name);
  d->path = dup(path);
  d->guid = dup(guid);
  d->state = state;
  d->size = size;
  d->vendor = dup(vendor);
  list_add_tail(&d->list, &c->disks);
  return d;
}

void add_part(qor_disk* d, const char* name, const char* guid, uint64_t size, uint64_t used,
              const char* fs) {
  qor_part* p = static_cast<qor_part*>(calloc(1, sizeof(*p)));
  p->name = dup(name);
  p->guid = dup(guid);
  p->size = size;
  p->used = used;
  p->fs = dup(fs);
  list_add_tail(&p->list, &d->parts);
}

void add_channel(qor_client* c, int type, const char* ini, const char* target) {
  qor_channel* ch = static_cast<qor_channel*>(calloc(1, sizeof(*ch)));
  ch->type = type;
  ch->initiator = dup(ini);
  ch->target = dup(target);
  list_add_tail(&ch->list, &c->channels);
}

qor_backup* add_backup(qor_client* c, const char* src, const char* dest, const char* name) {
  qor_backup* b = static_cast<qor_backup*>(calloc(1, sizeof(*b)));
  b->type = 1;
  b->state = QOR_BACKUP_SYNCING;
  b->percent = 37;
  b->speed = -1;
  snprintf(b->src_guid, sizeof(b->src_guid), "%s", src);
  snprintf(b->dest_guid, sizeof(b->dest_guid), "%s", dest);
  snprintf(b->src_name, sizeof(b->src_name), "%s", name);
  b->con_start_time = 1700000000;
  b->start_time = 1700003600;
  b->interval = 3600;
  list_add_tail(&b->list, &c->backups);
  return b;
}

void add_app(qor_client* c, int type, const char* home, const char* instance, int archive) {
  ZelApp* a = static_cast<ZelApp*>(calloc(1, sizeof(*a)));
  a->db_type = type;
  a->oracle_home = dup(home);
  a->instance_name = dup(instance);
  a->archive_log = archive;
  list_add_tail(&a->node, &c->apps);
}

backup_group* add_group(struct list_head* groups, const char* name, uint64_t con, uint32_t interval,
                        std::vector<const char*> members) {
  backup_group* g = static_cast<backup_group*>(calloc(1, sizeof(*g)));
  INIT_LIST_HEAD(&g->members);
  g->name = dup(name);
  g->con_start_time = con;
  g->start_time = con + 600;
  g->interval = interval;
  for (const char* m : members) {
    guid_entry* e = static_cast<guid_entry*>(calloc(1, sizeof(*e)));
    e->guid = dup(m);
    list_add_tail(&e->list, &g->members);
  }
  list_add_tail(&g->list, groups);
  return g;
}

const char* kSdaGuid = "0a1b2c3d-0000-0000-0000-000000000000";

class ReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    set_log_level(7);
    memset(&client, 0, sizeof(client));
    INIT_LIST_HEAD(&client.ips);
    INIT_LIST_HEAD(&client.disks);
    INIT_LIST_HEAD(&client.channels);
    INIT_LIST_HEAD(&client.backups);
    INIT_LIST_HEAD(&client.apps);
    pthread_mutex_init(&client.lock, nullptr);
    pthread_mutex_init(&client.disk_num_lock, nullptr);
    qor = qor_alloc();
    ASSERT_NE(qor, nullptr);
    take_syslog();
  }
  void TearDown() override {
    free(client.hostname);
    free(client.alias);
    free(client.os_version);
    ip_list_free(&client.ips);
    disk_list_free(&client.disks);
    channel_list_free(&client.channels);
    backup_list_free(&client.backups);
    struct list_head *pos, *n;
    list_for_each_safe(pos, n, &client.apps) {
      ZelApp* a = list_entry(pos, ZelApp, node);
      list_del(pos);
      free(a->oracle_home);
      free(a->instance_name);
      free(a);
    }
    pthread_mutex_destroy(&client.lock);
    pthread_mutex_destroy(&client.disk_num_lock);
    qor_free(qor);
  }

  // The host of the golden documents: a system disk with two partitions, an
  // invalid disk, two LUNs of the maker's storage (one the mirror of the
  // relationship), a disk not yet signed, every kind of channel, a
  // relationship, two databases and two groups.
  void fill() {
    client.hostname = dup("host-a");
    add_ip(&client.ips, "192.0.2.10");
    add_ip(&client.ips, "10.1.1.1");
    client.id = const_cast<char*>("C-0001");
    client.alias = dup("ops & <db>");
    client.os_version = dup("Red Hat Enterprise Linux Server release 6.4 (Santiago)");
    client.dboem = 5;

    sysdisk = root_device();
    ASSERT_FALSE(sysdisk.empty()) << "no device is mounted at / in /etc/mtab";
    qor_disk* sda = add_disk(&client, "sda", sysdisk.c_str(), kSdaGuid, 1, 10737418240ull,
                             "ATA QEMU HARDDISK");
    sda->part_type = 1;
    add_part(sda, "sda1", kSdaGuid, 1073741824ull, 52428800ull, "ext4");
    add_part(sda, "sda2", nullptr, 9663676416ull, 0, nullptr);
    add_disk(&client, "sdb", "/dev/qortest-sdb", nullptr, 0, 1ull << 30, "ATA QEMU HARDDISK");
    add_disk(&client, "sdc", "/dev/qortest-sdc", "6006016012345678", 1, 2147483648ull, "UVO ZELSolution")
        ->on_storage = 1;
    add_disk(&client, "sdd", "/dev/qortest-sdd", "6006016087654321", 1, 4294967296ull, "UVO ZELSolution")
        ->on_storage = 1;
    add_disk(&client, "sde", "/dev/qortest-sde", nullptr, 1, 1048576, nullptr);

    add_channel(&client, QOR_CHANNEL_ISCSI, "iqn.1994-05.com.redhat:host-a", "iqn.2001-04.com.zel:store");
    add_channel(&client, QOR_CHANNEL_FC, "0x21000024ff3dd0a8", nullptr);
    add_channel(&client, 9, "x", "y");

    add_backup(&client, kSdaGuid, "6006016012345678", "sda");

    add_app(&client, 1, "/u01/app/oracle", "orcl", 1);
    add_app(&client, 0, nullptr, "test", 0);

    add_group(&qor->groups, "g1", 1700000100, 600, {kSdaGuid, "ffffffff-dead"});
    add_group(&qor->groups, "empty", 0, 0, {});
  }

  std::string report(qor_t* with, int full) {
    uint32_t len = 0;
    char* text = qor_client_report(&client, with, full, &len);
    return doctest::take_doc(text, len);
  }

  qor_client client;
  qor_t* qor = nullptr;
  std::string sysdisk;
};

TEST_F(ReportTest, FullReport) {
  fill();
  EXPECT_EQ(report(qor, 1), golden("report_full.xml"));
  auto lines = take_syslog();
  EXPECT_TRUE(has_line(lines, 7, "'/dev/qortest-sdc' is hostmirror backup device, ignore it"));
  EXPECT_TRUE(has_line(lines, 7, "DBOEM: 00000000000000000000000000000101"));
  // The name lookup of the member no disk has passes the disks without GUID.
  EXPECT_TRUE(has_line(lines, 4, "Error, unable to read the GUID of disk sdb."));
  EXPECT_TRUE(has_line(lines, 4, "Error, unable to read the GUID of disk sde."));
}

// The debug dumps of the golden host, each with the log line it writes.
TEST_F(ReportTest, DebugDumpsOfEachPart) {
  fill();
  const struct {
    const char* golden;
    char* (*dump)(const qor_client*);
  } cases[] = {
      {"dump_simple_client.txt", xml_print_simple_client}, {"dump_disks.txt", xml_print_disks},
      {"dump_channels.txt", xml_print_channels},           {"dump_backups.txt", xml_print_backups},
      {"dump_databases.txt", xml_print_databases},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.golden);
    take_syslog();
    char* text = c.dump(&client);
    ASSERT_NE(text, nullptr);
    const std::string got = text;
    free(text);
    EXPECT_EQ(got, golden(c.golden));
    auto lines = take_syslog();
    EXPECT_TRUE(has_line(lines, 7, "###\n" + got)) << doctest::dump(lines);
    EXPECT_EQ(c.dump(nullptr), nullptr);
  }
}

TEST_F(ReportTest, DebugDumpsOfAnEmptyRecordAndOfMarkupInValues) {
  const struct {
    char* (*dump)(const qor_client*);
    const char* text;
  } cases[] = {
      {xml_print_disks, "<DiskList>\n</DiskList>\n"},
      {xml_print_channels, "<ChannelList>\n</ChannelList>\n"},
      {xml_print_backups, "<BackupList>\n</BackupList>\n"},
      {xml_print_databases, "<DataBaseList ConfiguredBy=\"0\">\n</DataBaseList>\n"},
  };
  for (const auto& c : cases) {
    char* text = c.dump(&client);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text), c.text);
    free(text);
  }
  // A value is text of the record, never markup of the dump.
  add_app(&client, 1, "/u01/\"a&b\"", "<orcl>", 0);
  char* text = xml_print_databases(&client);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(std::string(text),
            "<DataBaseList ConfiguredBy=\"0\">\n"
            "  <DataBase Type=\"0\" OracleHome=\"/u01/&quot;a&amp;b&quot;\" InstanceName=\"&lt;orcl&gt;\" "
            "ArchiveLog=\"0\"/>\n"
            "</DataBaseList>\n");
  free(text);
}

TEST_F(ReportTest, ShortReport) {
  fill();
  EXPECT_EQ(report(nullptr, 0), golden("report_short.xml"));
  // The handle changes nothing in the short form.
  EXPECT_EQ(report(qor, 0), golden("report_short.xml"));
}

TEST_F(ReportTest, EmptyHost) {
  EXPECT_EQ(report(qor, 1), golden("report_empty.xml"));
  // Without a handle there is no GroupList at all.
  std::string no_groups = golden("report_empty.xml");
  no_groups.replace(no_groups.find("<GroupList/>"), strlen("<GroupList/>"), "");
  EXPECT_EQ(report(nullptr, 1), no_groups);
}

TEST_F(ReportTest, MirrorLunIsReportedOnceItsRelationshipIsGone) {
  fill();
  EXPECT_EQ(report(qor, 1).find("Name=\"sdc\""), std::string::npos);
  backup_list_free(&client.backups);
  std::string text = report(qor, 1);
  size_t sdc = text.find("<Disk Name=\"sdc\" Size=\"2147483648\"");
  EXPECT_NE(sdc, std::string::npos);
  // In list order, between sda and sdd.
  EXPECT_LT(text.find("<Disk Name=\"sda\""), sdc);
  EXPECT_LT(sdc, text.find("<Disk Name=\"sdd\""));

  // A disk of the host that is no LUN is reported even when a relationship
  // names its GUID as the mirror.
  add_backup(&client, "other", "6006016087654321", "sdx");
  qor_disk* sdd = list_entry(client.disks.prev->prev, qor_disk, list);
  ASSERT_STREQ(sdd->name, "sdd");
  sdd->on_storage = 0;
  EXPECT_NE(report(qor, 1).find("<Disk Name=\"sdd\""), std::string::npos);
}

TEST_F(ReportTest, AddressListStopsBeforeItsBufferIsFull) {
  struct Case {
    const char* addr;
    int given;
    int reported;
  } cases[] = {
      {"255.255.255.255", 40, 32},  // 32 * 16 - 1 = 511 characters
      {"1.1.1.1", 80, 63},
      {"10.0.0.1", 3, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.addr);
    struct list_head ips;
    INIT_LIST_HEAD(&ips);
    for (int i = 0; i < c.given; i++) add_ip(&ips, c.addr);
    char text[QOR_IP_TEXT_SIZE];
    qor_ip_text(&ips, text);
    std::string want = c.addr;
    for (int i = 1; i < c.reported; i++) want += std::string(" ") + c.addr;
    EXPECT_EQ(std::string(text), want);
    EXPECT_LE(strlen(text), 511u);
    ip_list_free(&ips);
  }
}

TEST(ReportFormats, DboemBits) {
  struct Case {
    int32_t value;
    const char* bits;
  } cases[] = {
      {5, "00000000000000000000000000000101"},
      {-1, "11111111111111111111111111111111"},
      {0, "00000000000000000000000000000000"},
      {INT32_MIN, "10000000000000000000000000000000"},
      {0x40000001, "01000000000000000000000000000001"},
  };
  for (const Case& c : cases) {
    char* bits = dboem_to_bits(c.value);
    ASSERT_NE(bits, nullptr);
    EXPECT_STREQ(bits, c.bits) << c.value;
    free(bits);
  }
}

TEST(ReportFormats, WwnText) {
  struct Case {
    const char* port;
    size_t size;
    int len;           // -1: refused, the buffer untouched
    const char* text;
  } cases[] = {
      {"0x21000024ff3dd0a8", 512, 23, "21:00:00:24:ff:3d:d0:a8"},
      {"0x21000024ff3dd0a8", 24, 23, "21:00:00:24:ff:3d:d0:a8"},  // exactly fits
      {"0x21000024ff3dd0a8", 23, -1, nullptr},                    // one byte short
      {"zzab", 512, 2, "ab"},                                     // the prefix is not checked
      {"0xabcd", 512, 5, "ab:cd"},
      {"0xabc", 512, -1, nullptr},  // odd length
      {"0x", 512, -1, nullptr},
      {"", 512, -1, nullptr},
      {nullptr, 512, -1, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.port ? c.port : "(null)");
    char out[512];
    memset(out, '#', sizeof(out));
    EXPECT_EQ(wwn_to_colon(out, c.size, c.port), c.len);
    if (c.len < 0) {
      EXPECT_EQ(out[0], '#');
    } else {
      EXPECT_STREQ(out, c.text);
    }
  }

  // A port name whose text would overflow the report's field reports an
  // empty WWN.
  qor_client client;
  memset(&client, 0, sizeof(client));
  INIT_LIST_HEAD(&client.ips);
  INIT_LIST_HEAD(&client.disks);
  INIT_LIST_HEAD(&client.channels);
  INIT_LIST_HEAD(&client.backups);
  INIT_LIST_HEAD(&client.apps);
  std::string huge = "0x" + std::string(600, 'a');
  add_channel(&client, QOR_CHANNEL_FC, huge.c_str(), "0xabcd");
  uint32_t len;
  char* text = client_to_xml(&client, nullptr, 1, &len);
  ASSERT_NE(text, nullptr);
  EXPECT_NE(strstr(text, "<Channel Type=\"FC\" InitiatorWWN=\"\" TargetWWN=\"ab:cd\"/>"), nullptr) << text;
  free(text);
  channel_list_free(&client.channels);
}

TEST(SystemDisk, MountTableRule) {
  std::string path = testing::TempDir() + "qor_mtab_XXXXXX";
  int fd = mkstemp(path.data());
  ASSERT_GE(fd, 0);
  close(fd);
  struct Case {
    const char* mtab;
    const char* disk;
    int sys;
  } cases[] = {
      {"/dev/sda1 / ext4 rw 0 0\n", "/dev/sda", 1},
      {"/dev/sda / ext4 rw 0 0\n", "/dev/sda", 1},
      {"/dev/sda3 /boot ext4 rw 0 0\n", "/dev/sda", 1},
      {"/dev/nvme0n1p2 / xfs rw 0 0\n", "/dev/nvme0n1", 1},
      {"proc /proc proc rw 0 0\n/dev/sdb1 /data ext4 rw 0 0\n/dev/sda1 / ext4 rw 0 0\n", "/dev/sda", 1},
      // Another disk whose name begins with this one's is not this disk.
      {"/dev/sdaa1 / ext4 rw 0 0\n", "/dev/sda", 0},
      {"/dev/nvme0n10p1 / xfs rw 0 0\n", "/dev/nvme0n1", 0},
      {"/dev/sdb1 /data ext4 rw 0 0\n", "/dev/sdb", 0},
      {"/dev/sda1 /bootx ext4 rw 0 0\n", "/dev/sda", 0},
      {"/dev/sda1 / ext4 rw 0 0\n", "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.mtab) + c.disk);
    std::ofstream(path, std::ios::trunc) << c.mtab;
    EXPECT_EQ(is_boot_dev_in(path.c_str(), c.disk), c.sys);
  }
  unlink(path.c_str());
  take_syslog();
  EXPECT_EQ(is_boot_dev_in(path.c_str(), "/dev/sda"), 0);
  EXPECT_TRUE(has_line(take_syslog(), 3, " is not exit."));
}

// Handlers change the groups under the configuration lock while reports are
// built from other threads; the report reads only its own copy.
TEST_F(ReportTest, GroupsChangingUnderTheLockWhileReportsAreBuilt) {
  fill();
  std::atomic<bool> stop{false};
  std::thread changer([&] {
    for (int i = 0; !stop; i++) {
      pthread_mutex_lock(&qor->mutex);
      if (i % 2 == 0) {
        add_group(&qor->groups, "tmp", i, 60, {kSdaGuid, "x", "y"});
      } else {
        backup_group* g = list_entry(qor->groups.prev, backup_group, list);
        list_del(&g->list);
        backup_grp_free(g);
      }
      pthread_mutex_unlock(&qor->mutex);
    }
  });
  for (int i = 0; i < 300; i++) {
    std::string text = report(qor, 1);
    EXPECT_NE(text.find("<Group GroupName=\"g1\""), std::string::npos);
  }
  stop = true;
  changer.join();
}

}  // namespace
