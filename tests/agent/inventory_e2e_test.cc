// The inventory and the disk identities on simulated hosts: signatures read
// from the images outside the host, the whole inventory of a host compared
// with what it holds, and the relationship list of a running protection.
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "eventually.h"
#include "qor_server.h"
#include "simhost.h"

namespace {

using testsupport::ExecResult;
using testsupport::QorConf;
using testsupport::QorServer;
using testsupport::SimHost;

const std::string kProbe = testsupport::test_program("inventory_probe");
const char kLunGuid[] = "6f1d2c3b-aaaa-bbbb-cccc-0123456789ab";

std::string sector_of(const SimHost& h, const std::string& disk) {
  std::string s(512, '\0');
  int fd = open(h.image(disk).c_str(), O_RDONLY);
  if (fd >= 0) {
    if (pread(fd, s.data(), s.size(), 0) != 512) s.clear();
    close(fd);
  }
  return s;
}

void put_sector(const SimHost& h, const std::string& disk, const std::string& sector) {
  int fd = open(h.image(disk).c_str(), O_WRONLY);
  ASSERT_GE(fd, 0) << h.image(disk);
  ASSERT_EQ(pwrite(fd, sector.data(), sector.size(), 0), 512);
  close(fd);
}

uint32_t signature_of(const std::string& sector) {
  uint32_t sig = 0;
  memcpy(&sig, sector.data() + 440, 4);
  return sig;
}

std::string with_signature(std::string sector, uint32_t sig) {
  memcpy(sector.data() + 440, &sig, 4);
  return sector;
}

std::string guid_of(uint32_t sig) {
  char buf[64];
  snprintf(buf, sizeof buf, "%08x-0000-0000-0000-000000000000", sig);
  return buf;
}

// An MBR with one Linux partition from sector 2048 over 8 MiB.
std::string partition_table() {
  std::string s(512, '\0');
  s[0] = static_cast<char>(0xeb);
  unsigned char* e = reinterpret_cast<unsigned char*>(s.data()) + 446;
  e[4] = 0x83;
  uint32_t start = 2048, count = 16384;
  memcpy(e + 8, &start, 4);
  memcpy(e + 12, &count, 4);
  s[510] = 0x55;
  s[511] = static_cast<char>(0xAA);
  return s;
}

// What inventory_probe printed: the lines of one kind, and each disk's
// fields by name.
struct Inventory {
  std::vector<std::string> lines;
  std::map<std::string, std::map<std::string, std::string>> disks;

  explicit Inventory(const std::string& out) {
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
      lines.push_back(line);
      if (line.compare(0, 5, "disk ") != 0) continue;
      std::map<std::string, std::string> f;
      std::istringstream words(line.substr(5));
      std::string w, key;
      // vendor=ATA QEMU HARDDISK holds blanks: a word without "=" continues
      // the field before it.
      while (words >> w) {
        size_t eq = w.find('=');
        if (eq == std::string::npos) {
          f[key] += " " + w;
        } else {
          key = w.substr(0, eq);
          f[key] = w.substr(eq + 1);
        }
      }
      disks[f["name"]] = f;
    }
  }
  std::vector<std::string> kind(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const std::string& l : lines)
      if (l.compare(0, prefix.size() + 1, prefix + " ") == 0) out.push_back(l);
    return out;
  }
  std::string fact(const std::string& name) const {
    for (const std::string& l : lines)
      if (l.compare(0, name.size() + 1, name + " ") == 0) return l.substr(name.size() + 1);
    return "";
  }
};

Inventory probe(SimHost& h, const std::string& mode = "init", const std::string& between = "") {
  std::vector<std::string> argv = {kProbe, mode};
  if (!between.empty()) argv.push_back(between);
  ExecResult r = h.exec(argv);
  EXPECT_EQ(r.status, 0) << r.out;
  return Inventory(r.out);
}

TEST(InventoryHost, SignaturesGoOnlyWhereTheyBelong) {
  SimHost h({"--disk", "sdb:16M", "--disk", "sdc:16M", "--disk", "sdd:16M", "--disk", "sde:16M",
             "--lun", std::string("sdf:16M:") + kLunGuid, "--disk", "sdg:16M", "--disk", "sdh:16M"},
            false);
  std::string table = partition_table();
  std::string raw(512, '\0');
  raw.replace(0, 11, "raw data...");
  put_sector(h, "sdc", table);
  put_sector(h, "sdd", raw);
  put_sector(h, "sde", with_signature(std::string(512, '\0'), 0xdeadbeef));
  put_sector(h, "sdh", with_signature(std::string(512, '\0'), 0x0badcafe));
  h.start();
  h.write_file("/etc/zelcdpagt/partitions.answer", "sdc1 4a2b0000-0000-0000-0000-000000000001 ext4 100\n");
  ASSERT_EQ(h.simctl({"disk", "fail", "sdg", "read"}).status, 0);
  ASSERT_EQ(h.simctl({"disk", "offline", "sdh"}).status, 0);

  Inventory first = probe(h);
  // Signed: the empty disk and the one with a partition table, each with
  // its own value, the table left whole.
  uint32_t sdb = signature_of(sector_of(h, "sdb"));
  std::string sdc_sector = sector_of(h, "sdc");
  uint32_t sdc = signature_of(sdc_sector);
  EXPECT_NE(sdb, 0u);
  EXPECT_NE(sdc, 0u);
  EXPECT_NE(sdb, sdc);
  EXPECT_EQ(sdb & 0x80000000u, 0u);
  EXPECT_EQ(sdc_sector, with_signature(table, sdc));
  // Left alone: raw data, a signed disk, the LUN, a disk that cannot be
  // read and an offline one.
  EXPECT_EQ(sector_of(h, "sdd"), raw);
  EXPECT_EQ(signature_of(sector_of(h, "sde")), 0xdeadbeefu);
  EXPECT_EQ(sector_of(h, "sdf"), std::string(512, '\0'));
  EXPECT_EQ(sector_of(h, "sdg"), std::string(512, '\0'));
  EXPECT_EQ(signature_of(sector_of(h, "sdh")), 0x0badcafeu);

  // The generation that signed them still shows them without identity.
  EXPECT_EQ(first.disks["sdb"]["guid"], "(null)");
  EXPECT_EQ(first.disks["sdb"]["state"], "1");
  EXPECT_EQ(first.disks["sde"]["guid"], "deadbeef-0000-0000-0000-000000000000");
  EXPECT_EQ(first.disks["sdf"]["guid"], kLunGuid);
  EXPECT_EQ(first.disks["sdf"]["storage"], "1");
  EXPECT_EQ(first.disks["sdd"]["guid"], "(null)");
  EXPECT_EQ(first.disks["sdd"]["state"], "1");
  // A signature that cannot be read fails the disk for this scan.
  EXPECT_EQ(first.disks["sdg"]["guid"], "(null)");
  EXPECT_EQ(first.disks["sdg"]["state"], "0");
  EXPECT_EQ(first.disks["sdh"]["state"], "0");
  EXPECT_EQ(first.disks["sdh"]["guid"], "(null)");

  // The next enumeration reads the new identities back.
  Inventory second = probe(h);
  EXPECT_EQ(second.disks["sdb"]["guid"], guid_of(sdb));
  EXPECT_EQ(second.disks["sdc"]["guid"], guid_of(sdc));
  EXPECT_EQ(signature_of(sector_of(h, "sdb")), sdb) << "a signed disk is never signed again";

  auto online = [&](const std::string& guid) { return h.exec({kProbe, "online", guid}).out; };
  EXPECT_EQ(online(guid_of(sdb)), "1\n");
  EXPECT_EQ(online(kLunGuid), "1\n");
  EXPECT_EQ(online("4a2b0000-0000-0000-0000-000000000001"), "1\n");   // a partition's
  EXPECT_EQ(online(guid_of(0x0badcafe)), "0\n");                     // an offline disk's
  EXPECT_EQ(online("12345678-0000-0000-0000-000000000000"), "0\n");

  // Healed, the disk is signed at the next refresh.
  ASSERT_EQ(h.simctl({"disk", "heal", "sdg"}).status, 0);
  probe(h, "refresh");
  uint32_t sdg = signature_of(sector_of(h, "sdg"));
  EXPECT_NE(sdg, 0u);
  EXPECT_NE(sdg, sdb);
  EXPECT_NE(sdg, sdc);

  EXPECT_EQ(h.exec({kProbe, "guid", "/dev/sdf", "1"}).out, std::string(kLunGuid) + "\n");
  EXPECT_EQ(h.exec({kProbe, "guid", "/dev/sdd", "0"}).out, "(null)\n");
  EXPECT_EQ(h.exec({kProbe, "guid", "/dev/sde", "0"}).out, "deadbeef-0000-0000-0000-000000000000\n");
  // A LUN whose inquiry fails has the empty identity.
  EXPECT_EQ(h.exec({kProbe, "guid", "/dev/sdb", "1"}).out, "\n");
}

}  // namespace

namespace {

const char kClientGuid[] = "c0ffee00-1111-4222-8333-444455556666";
const char kTargetIqn[] = "iqn.2001-04.com.example:storage.target";

QorConf managed_conf() {
  QorConf c;
  c.client_guid = kClientGuid;
  c.client_alias = "db-host";
  c.client_port = 7200;
  c.server_port = 7201;
  c.has_manager = true;
  c.manager_guid = "ma0000aa-0000-4000-8000-000000000001";
  c.target_iqn = kTargetIqn;
  c.manager_ips = {"127.0.0.1"};
  return c;
}

TEST(InventoryHost, AVendorUvoDiskIsAMakersLun) {
  // A plain disk whose vendor the library reports as "UVO": a LUN of the
  // maker's storage, whatever its model, so never signed; its VPD page holds
  // no GUID, so its identity is the empty text, which names no disk.
  SimHost h({"--disk", "sdb:1M"});
  h.write_file("/sys/block/sdb/device/vendor", "UVO     \n");
  Inventory inv = probe(h);
  EXPECT_EQ(inv.disks["sdb"]["storage"], "1");
  EXPECT_EQ(inv.disks["sdb"]["vendor"], "UVO QEMU HARDDISK");
  EXPECT_EQ(inv.disks["sdb"]["guid"], "");
  EXPECT_EQ(sector_of(h, "sdb"), std::string(512, '\0'));
  EXPECT_EQ(h.exec({kProbe, "online", ""}).out, "0\n");
}

TEST(InventoryHost, WhatTheHostHolds) {
  SimHost h({"--disk", "sdb:16M", "--disk", "sdc:16M", "--lun", std::string("sdd:16M:") + kLunGuid,
             "--disk", "sde:16M"},
            false);
  put_sector(h, "sdb", with_signature(partition_table(), 0x11112222));
  put_sector(h, "sdc", with_signature(std::string(512, '\0'), 0x33334444));
  put_sector(h, "sde", with_signature(std::string(512, '\0'), 0x55556666));
  h.start();
  ASSERT_EQ(h.simctl({"disk", "offline", "sde"}).status, 0);
  h.write_file("/etc/issue", "\\S\nKernel \\r on an \\m\n");
  h.write_file("/etc/redhat-release", "Red Hat Enterprise Linux Server release 6.10 (Santiago)\n");
  h.exec({"rm", "-f", "/etc/mtab"});   // a link to the host's own mounts
  h.write_file("/etc/mtab", "rootfs / rootfs rw 0 0\n/dev/sdb1 / ext4 rw 0 0\n/dev/sdc1 /data ext4 rw 0 0\n");
  h.write_file("/etc/zelcdpagt/db_home.answer", "3 /u01/app/oracle\n");
  h.write_file("/etc/zelcdpagt/partitions.answer", "sdb1 - ext4 4096\n");
  h.write_file("/etc/zelcdpagt/apps.reg",
               "instance=ORCL\tdb_type=1\tarchive_log=1\ttype_name=oracle\tdb_user=sys\t"
               "oracle_home=/u01\thost=127.0.0.1\tport=1521\n");
  QorServer srv(h.dir());
  srv.write_conf(managed_conf());

  Inventory inv = probe(h);
  std::string host = h.dir().substr(h.dir().rfind('/') + 1);
  EXPECT_EQ(inv.fact("id"), kClientGuid);
  EXPECT_EQ(inv.fact("hostname"), host);
  EXPECT_EQ(inv.fact("alias"), "db-host");
  EXPECT_EQ(inv.fact("os"), "Red Hat Enterprise Linux Server release 6.10 (Santiago)");
  EXPECT_EQ(inv.fact("system_type"), "0");
  EXPECT_EQ(inv.fact("dboem"), "3");
  EXPECT_EQ(inv.fact("disk_num"), "3");
  EXPECT_EQ(inv.kind("ip"), std::vector<std::string>{}) << "loopback is never reported";
  EXPECT_EQ(inv.kind("disk"),
            (std::vector<std::string>{
                "disk name=sdb path=/dev/sdb guid=11112222-0000-0000-0000-000000000000 storage=0 "
                "size=16777216 used=0 fs=(null) vendor=ATA QEMU HARDDISK state=1 part_type=1 sysdisk=1",
                "disk name=sdc path=/dev/sdc guid=33334444-0000-0000-0000-000000000000 storage=0 "
                "size=16777216 used=0 fs=(null) vendor=ATA QEMU HARDDISK state=1 part_type=0 sysdisk=0",
                std::string("disk name=sdd path=/dev/sdd guid=") + kLunGuid +
                    " storage=1 size=16777216 used=0 fs=(null) vendor=UVO ZELSolution state=1 "
                    "part_type=0 sysdisk=0",
                "disk name=sde path=/dev/sde guid=(null) storage=0 size=16777216 used=0 fs=(null) "
                "vendor=ATA QEMU HARDDISK state=0 part_type=0 sysdisk=0",
            }));
  EXPECT_EQ(inv.kind("part"), (std::vector<std::string>{"part name=sdb1 guid=(null) index=0 size=8388608 "
                                                         "used=4096 fs=ext4 state=0"}));
  EXPECT_EQ(inv.kind("app"), (std::vector<std::string>{"app instance=ORCL type=1"}));
  EXPECT_EQ(inv.kind("backup"), std::vector<std::string>{}) << "no zelmird runs";

  // A refresh sees a disk that went away, rescans the devices once for it,
  // and keeps the facts it does not refresh.
  auto rescans = [&] {
    std::string log = h.read_file("/var/log/zelcdpagt-calls.log");
    size_t n = 0;
    for (size_t at = 0; (at = log.find(" zeldisk -r\n", at)) != std::string::npos; ++at) ++n;
    return n;
  };
  EXPECT_EQ(rescans(), 0u);
  Inventory after = probe(h, "refresh", "/usr/local/zelmir/bin/simctl disk remove sdc");
  EXPECT_EQ(rescans(), 1u);
  EXPECT_EQ(after.fact("os"), inv.fact("os"));
  EXPECT_EQ(after.kind("app"), inv.kind("app"));
  EXPECT_EQ(after.fact("disk_num"), "2");
  EXPECT_EQ(after.kind("disk").size(), 3u);
  EXPECT_EQ(after.disks.count("sdc"), 0u);
  // More valid disks than before: no rescan.
  probe(h, "refresh", "/usr/local/zelmir/bin/simctl disk add sdf 8M");
  EXPECT_EQ(rescans(), 1u);
}

TEST(InventoryHost, AddressesLessTheFilterAndChannelsOnlyForAManagedHost) {
  SimHost h({"--disk", "sdb:1M", "--nic", "eth0:192.0.2.10/24,192.0.2.11/24", "--nic",
             "eth1:198.51.100.7/24"});
  ASSERT_EQ(h.simctl({"iscsi", "session", "add", kTargetIqn}).status, 0);
  ASSERT_EQ(h.simctl({"fc", "add", "host3", "0x21000024ff000001"}).status, 0);
  QorServer srv(h.dir());
  QorConf c = managed_conf();
  c.ip_filter = {"192.0.2.11", "203.0.113.1"};
  srv.write_conf(c);

  // An address of the host's own that the filter names is left out; the
  // filter's address that no interface holds changes nothing.
  Inventory managed = probe(h);
  EXPECT_EQ(managed.kind("ip"), (std::vector<std::string>{"ip 192.0.2.10", "ip 198.51.100.7"}));
  std::vector<std::string> chns = managed.kind("channel");
  ASSERT_EQ(chns.size(), 2u);
  EXPECT_EQ(chns[0].rfind("channel type=0 initiator=", 0), 0u) << chns[0];
  EXPECT_NE(chns[0].find(std::string(" target=") + kTargetIqn), std::string::npos) << chns[0];
  EXPECT_EQ(chns[1], "channel type=1 initiator=0x21000024ff000001 target=(null)");

  // Without a manager the host reports no channel at all, its FC port
  // included.
  c.has_manager = false;
  srv.write_conf(c);
  Inventory unmanaged = probe(h);
  EXPECT_EQ(unmanaged.kind("channel"), std::vector<std::string>{});
  EXPECT_EQ(unmanaged.kind("ip"), managed.kind("ip"));
}

TEST(InventoryHost, ATestClientIsTheInventoryWithoutSigning) {
  SimHost h({"--disk", "sdb:1M", "--disk", "sdc:1M", "--nic", "eth0:192.0.2.10/24"}, false);
  put_sector(h, "sdc", with_signature(std::string(512, '\0'), 0x33334444));
  h.start();
  ASSERT_EQ(h.simctl({"iscsi", "session", "add", kTargetIqn}).status, 0);
  h.write_file("/etc/zelcdpagt/apps.reg", "instance=ORCL\tdb_type=1\n");
  QorServer srv(h.dir());
  srv.write_conf(managed_conf());

  ExecResult r = h.exec({kProbe, "test-client"});
  ASSERT_EQ(r.status, 0) << r.out;
  Inventory test(r.out);
  EXPECT_EQ(sector_of(h, "sdb"), std::string(512, '\0')) << "a test client signs nothing";
  std::string log;
  EXPECT_TRUE(testsupport::eventually([&] {
    log = h.read_file("/var/log/messages");
    return log.find("Complete testing client") != std::string::npos;
  })) << log;
  EXPECT_LT(log.find("Start to test client"), log.find("Complete testing client"));

  // Everything else as start-up builds it (which signs sdb only after its
  // enumeration); the valid-disk count is g_client's, not the test record's.
  Inventory init = probe(h);
  auto without_count = [](std::vector<std::string> lines) {
    lines.erase(std::remove_if(lines.begin(), lines.end(),
                               [](const std::string& l) { return l.rfind("disk_num ", 0) == 0; }),
                lines.end());
    return lines;
  };
  EXPECT_EQ(without_count(test.lines), without_count(init.lines));
  EXPECT_EQ(test.fact("disk_num"), "0");
  EXPECT_EQ(test.disks["sdc"]["guid"], "33334444-0000-0000-0000-000000000000");
  EXPECT_EQ(test.kind("ip"), std::vector<std::string>{"ip 192.0.2.10"});
  EXPECT_EQ(test.kind("channel").size(), 1u);
  EXPECT_EQ(test.kind("app"), std::vector<std::string>{"app instance=ORCL type=1"});
}

TEST(InventoryHost, InitiatorsOfEveryKindAndWhatIsMissing) {
  struct Case {
    const char* what;
    std::vector<std::string> fc;    // "NAME WWN" of each port
    const char* initiator_file;     // null: no file
    bool fc_dir;                    // /sys/class/fc_host there
    std::vector<std::string> out;
    std::vector<std::string> warnings;
  } cases[] = {
      {"both kinds",
       {"host3 0x21000024ff000001", "host4 0x21000024ff000002"},
       "## a comment\nInitiatorName=iqn.1994-05.com.redhat:a\nInitiatorName=iqn.1994-05.com.redhat:b\n",
       true,
       {"appended 4", "channel type=1 initiator=0x21000024ff000001 target=(null)",
        "channel type=1 initiator=0x21000024ff000002 target=(null)",
        "channel type=0 initiator=iqn.1994-05.com.redhat:a target=(null)",
        "channel type=0 initiator=iqn.1994-05.com.redhat:b target=(null)"},
       {}},
      {"no FC port, a file without a name", {}, "InitiatorAlias=a\n", true, {"appended 0"},
       {"Failed to get iqn"}},
      {"no FC class, no file", {}, nullptr, false, {"appended 0"},
       {"Failed to get wwn", "Failed to get iqn"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SimHost h({"--disk", "sdb:1M"});
    for (const std::string& port : c.fc) {
      std::vector<std::string> args = {"fc", "add"};
      args.push_back(port.substr(0, port.find(' ')));
      args.push_back(port.substr(port.find(' ') + 1));
      ASSERT_EQ(h.simctl(args).status, 0);
    }
    h.exec({"rm", "-f", "/etc/iscsi/initiatorname.iscsi"});
    if (c.initiator_file != nullptr) h.write_file("/etc/iscsi/initiatorname.iscsi", c.initiator_file);
    if (!c.fc_dir) ASSERT_EQ(h.exec({"rm", "-rf", "/sys/class/fc_host"}).status, 0);
    ExecResult r = h.exec({kProbe, "inis"});
    ASSERT_EQ(r.status, 0) << r.out;
    // The ports come in the order the directory lists them, before the
    // initiator names, which come in the file's order.
    std::vector<std::string> got = Inventory(r.out).lines;
    auto fc_begin = got.begin() + (got.empty() ? 0 : 1);
    auto fc_end = std::find_if(fc_begin, got.end(), [](const std::string& l) {
      return l.rfind("channel type=1 ", 0) != 0;
    });
    std::sort(fc_begin, fc_end);
    EXPECT_EQ(got, c.out);
    // The probe's last line shows that its earlier ones are in the log.
    ASSERT_EQ(h.exec({"logger", "probe done"}).status, 0);
    std::string log;
    ASSERT_TRUE(testsupport::eventually([&] {
      log = h.read_file("/var/log/messages");
      return log.find("probe done") != std::string::npos;
    }));
    for (const char* w : {"Failed to get wwn", "Failed to get iqn"}) {
      bool expected = std::find(c.warnings.begin(), c.warnings.end(), w) != c.warnings.end();
      EXPECT_EQ(log.find(w) != std::string::npos, expected) << w << "\n" << log;
    }
  }
}

TEST(InventoryHost, DevicesOfTheCdpAgentLibrary) {
  SimHost h({"--disk", "sdb:1M"});
  ExecResult r = h.exec({kProbe, "devs"});
  EXPECT_EQ(r.out, "result 0\n");
  h.write_file("/etc/zelcdpagt/devs.reg", std::string(kLunGuid) + "\n60030d90-0000-0000-0000-00000000beef\n");
  r = h.exec({kProbe, "devs"});
  EXPECT_EQ(r.out, std::string("result 0\ndev ") + kLunGuid + "\ndev 60030d90-0000-0000-0000-00000000beef\n");
}

TEST(InventoryHost, OsVersionFromTheIssueFile) {
  SimHost h({"--disk", "sdb:8M"});
  struct Case {
    const char* issue;    // null: no file
    const char* release;  // null: no file
    const char* os;
  } cases[] = {
      {"CentOS release 6.5 (Final)\nKernel \\r\n", "ignored\n", "CentOS release 6.5 (Final)"},
      {"\\S\n", "Red Hat Enterprise Linux release 6.4\n", "Red Hat Enterprise Linux release 6.4"},
      {"\\S\n", nullptr, "(null)"},
      {"\\S and more\n", "ignored\n", "\\S and more"},
      {"no line ending", "ignored\n", "(null)"},
      {nullptr, "ignored\n", "(null)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.issue ? c.issue : "no issue file");
    h.exec({"rm", "-f", "/etc/issue", "/etc/redhat-release"});
    if (c.issue) h.write_file("/etc/issue", c.issue);
    if (c.release) h.write_file("/etc/redhat-release", c.release);
    EXPECT_EQ(probe(h).fact("os"), c.os);
  }
}

TEST(InventoryHost, RelationshipsOfARunningProtection) {
  SimHost h({"--disk", "sdb:32M", "--lun", std::string("sdc:32M:") + kLunGuid});
  QorServer srv(h.dir());
  QorConf conf = managed_conf();
  // A console start in the future keeps its start time as written.
  conf.schedules = {{"ignored", kLunGuid, 4000000000u, 4000000600u, 600}};
  srv.write_conf(conf);
  ExecResult r = h.exec({"/usr/local/zelmir/bin/zelmird"});
  ASSERT_EQ(r.status, 0) << r.out;
  ASSERT_TRUE(testsupport::eventually([&] { return h.exec({"test", "-S", "/var/run/hm_unix"}).status == 0; }));
  r = h.exec({"/usr/local/zelmir/bin/mirctl", "disk", "protect", "primary=/dev/sdb", "mirror=/dev/sdc"});
  ASSERT_NE(r.out.find("success"), std::string::npos) << r.out;
  std::string primary = guid_of(signature_of(sector_of(h, "sdb")));
  std::string schedule = " con=4000000000 start=4000000600 interval=600";

  Inventory before = probe(h);
  EXPECT_EQ(before.kind("backup"), (std::vector<std::string>{"backup type=1 state=1 percent=0 speed=-1 src=" +
                                                             primary + " dest=" + kLunGuid +
                                                             " name=sdb" + schedule}));

  r = h.exec({"/usr/local/zelmir/bin/mirctl", "disk", "sync", "/dev/sdb", "speed=200000"});
  ASSERT_EQ(r.status, 0) << r.out;
  ASSERT_TRUE(testsupport::eventually(
      [&] {
        return h.exec({"/usr/local/zelmir/bin/mirctl", "disk", "stat", "/dev/sdb"})
                   .out.find("Sync Status:\tSync Finished") != std::string::npos;
      },
      std::chrono::seconds(120), std::chrono::milliseconds(500)));

  Inventory after = probe(h);
  EXPECT_EQ(after.kind("backup"), (std::vector<std::string>{"backup type=1 state=0 percent=100 speed=-1 src=" +
                                                            primary + " dest=" + kLunGuid + " name=sdb" +
                                                            schedule}));
  // The mirror is never read for its partition table.
  EXPECT_EQ(after.disks["sdc"]["part_type"], "0");
  EXPECT_EQ(after.disks["sdc"]["guid"], kLunGuid);
  EXPECT_NE(h.read_file("/var/log/zelcdpagt-calls.log").find("get_part_type /dev/sdb"), std::string::npos);
  EXPECT_EQ(h.read_file("/var/log/zelcdpagt-calls.log").find("get_part_type /dev/sdc"), std::string::npos);
}

}  // namespace

namespace {

// Replaces an outside program of the host by one that notes each start in
// /tmp/NAME.starts and then hangs.
void hang_program(SimHost& h, const std::string& name) {
  std::string path = "/usr/local/zelmir/bin/" + name;
  h.write_file(path, "#!/bin/sh\necho started >> /tmp/" + name + ".starts\nexec sleep 1000\n");
  ASSERT_EQ(h.exec({"chmod", "755", path}).status, 0);
}

// Once the program has started n times, moves the host's clocks past the
// limit of the wait in progress.
void advance_past_limit_after(SimHost& h, const std::string& name, size_t n) {
  ASSERT_TRUE(testsupport::eventually([&] {
    std::string starts = h.read_file("/tmp/" + name + ".starts");
    return static_cast<size_t>(std::count(starts.begin(), starts.end(), '\n')) >= n;
  }));
  ASSERT_EQ(h.simctl({"clock", "advance", "31"}).status, 0);
}

TEST(InventoryHost, HungOutsideProgramsEndAtTheirLimit) {
  SimHost h({"--disk", "sdb:8M", "--disk", "sdc:8M"});
  hang_program(h, "get_db_home.sh");
  hang_program(h, "zeldisk");
  ExecResult r;
  // Built, a disk removed, refreshed: DBOEM twice, "zeldisk -r" once.
  std::thread probe([&] {
    r = h.exec({kProbe, "refresh", "/usr/local/zelmir/bin/simctl disk remove sdc"});
  });
  advance_past_limit_after(h, "get_db_home.sh", 1);
  advance_past_limit_after(h, "get_db_home.sh", 2);
  advance_past_limit_after(h, "zeldisk", 1);
  probe.join();
  EXPECT_EQ(r.status, 0) << r.out;
  Inventory inv(r.out);
  EXPECT_EQ(inv.fact("dboem"), "0");
  EXPECT_EQ(inv.kind("disk").size(), 1u);
  // The host's syslog is written apart from the probe: its lines may come late.
  std::string log;
  EXPECT_TRUE(testsupport::eventually([&] {
    log = h.read_file("/var/log/messages");
    return log.find("get_db_home.sh ran past 30 seconds.") != std::string::npos &&
           log.find("zeldisk -r ran past 30 seconds.") != std::string::npos;
  })) << log;
  // What the hung programs started ended with them.
  EXPECT_EQ(h.exec({"sh", "-c", "grep -l 'sleep 100[0]' /proc/[0-9]*/cmdline 2>/dev/null"}).out, "");
}

TEST(InventoryHost, ADiskThatGainsDataWhileTheDisksAreEnumeratedIsNotSigned) {
  SimHost h({"--disk", "sdb:8M", "--disk", "sdc:8M"});
  // "zeldisk -r", which the enumeration runs when valid disks went away,
  // stands for an enumeration that takes long: it waits for /tmp/go.
  h.write_file("/usr/local/zelmir/bin/zeldisk",
               "#!/bin/sh\necho started >> /tmp/zeldisk.starts\n"
               "while [ ! -e /tmp/go ]; do sleep 0.05; done\n");
  ASSERT_EQ(h.exec({"chmod", "755", "/usr/local/zelmir/bin/zeldisk"}).status, 0);

  // Blank throughout: signed, through the same road.
  h.write_file("/tmp/go", "");
  ExecResult r = h.exec({kProbe, "sign-after-loss", "/dev/sdc"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(signature_of(sector_of(h, "sdc")), 0u);
  EXPECT_EQ(h.read_file("/tmp/zeldisk.starts"), "started\n");

  // Blank when the signing began, data on it while the disks are
  // enumerated: left as the data left it.
  ASSERT_EQ(h.exec({"rm", "/tmp/go"}).status, 0);
  std::thread probe([&] { r = h.exec({kProbe, "sign-after-loss", "/dev/sdb"}); });
  EXPECT_TRUE(testsupport::eventually([&] {
    return h.read_file("/tmp/zeldisk.starts") == "started\nstarted\n";
  }));
  std::string raw(512, '\0');
  raw.replace(0, 11, "raw data...");
  put_sector(h, "sdb", raw);
  h.write_file("/tmp/go", "");
  probe.join();
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(sector_of(h, "sdb"), raw);
}

TEST(InventoryHost, ASignatureNoOtherDiskCarries) {
  // The host's wall clock is set, so the first value drawn is that of a
  // known second; the disks already carry the values of that second and the
  // next ones.
  SimHost h({"--disk", "sdb:1M", "--disk", "sdc:1M", "--disk", "sdd:1M", "--disk", "sde:1M",
             "--disk", "sdf:1M"},
            false);
  const time_t when = 1900000000;
  std::vector<uint32_t> taken;
  const char* disks[] = {"sdc", "sdd", "sde", "sdf"};
  for (int k = 0; k < 4; ++k) {
    srand(static_cast<unsigned>(when + k));
    taken.push_back(static_cast<uint32_t>(rand()));
    put_sector(h, disks[k], with_signature(std::string(512, '\0'), taken.back()));
  }
  h.start();
  ASSERT_EQ(h.simctl({"clock", "set-wall", std::to_string(when)}).status, 0);
  ExecResult r = h.exec({kProbe, "sign", "/dev/sdb"});
  ASSERT_EQ(r.status, 0) << r.out;
  uint32_t sig = signature_of(sector_of(h, "sdb"));
  EXPECT_NE(sig, 0u);
  for (uint32_t t : taken) EXPECT_NE(sig, t);
  for (int k = 0; k < 4; ++k) EXPECT_EQ(signature_of(sector_of(h, disks[k])), taken[k]);
}

TEST(InventoryHost, SigningsAtOnceGiveEachDiskItsOwnValue) {
  // Start-up, the scan and GET_CLIENT_INFO may sign at the same moment; with
  // the wall clock held on one second, each would draw the same value.
  SimHost h({"--disk", "sdb:1M", "--disk", "sdc:1M", "--disk", "sdd:1M", "--disk", "sde:1M"});
  ASSERT_EQ(h.simctl({"clock", "set-wall", "1900000000"}).status, 0);
  ExecResult r = h.exec({kProbe, "sign", "/dev/sdb", "/dev/sdc", "/dev/sdd", "/dev/sde"});
  ASSERT_EQ(r.status, 0) << r.out;
  std::set<uint32_t> values;
  for (const char* d : {"sdb", "sdc", "sdd", "sde"}) {
    uint32_t sig = signature_of(sector_of(h, d));
    EXPECT_NE(sig, 0u) << d;
    values.insert(sig);
  }
  EXPECT_EQ(values.size(), 4u);
}

}  // namespace
