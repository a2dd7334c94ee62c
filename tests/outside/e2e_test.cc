// The stand-ins for the maker's outside libraries and programs in whole
// hosts: what each call answers from the host's files and disks, and the
// line it leaves in the call log.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "simhost.h"

namespace {

using testsupport::SimHost;

constexpr char kCalls[] = "/var/log/zelcdpagt-calls.log";
const std::string kCall = testsupport::test_program("outside_call");
const std::string kGuid1 = "6a3e1d3c-0b61-4bde-9d2c-6f3a4d5e6f70";
const std::string kGuid2 = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Each of `lines` stands in the call log as a whole line (after the time and
// pid), in this order.
::testing::AssertionResult logged_in_order(const std::string& calls,
                                           const std::vector<std::string>& lines) {
  size_t at = 0;
  for (const auto& l : lines) {
    size_t found = calls.find(" " + l + "\n", at);
    if (found == std::string::npos)
      return ::testing::AssertionFailure() << "no line \"" << l << "\" (in order) in:\n" << calls;
    at = found + l.size();
  }
  return ::testing::AssertionSuccess();
}

class Outside {
 public:
  explicit Outside(SimHost& h) : h_(h) {}
  std::string call(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {kCall};
    argv.insert(argv.end(), args.begin(), args.end());
    testsupport::ExecResult r = h_.exec(argv);
    EXPECT_EQ(r.status, 0) << r.out;
    return r.out;
  }
  std::string calls() const { return h_.read_file(kCalls); }

 private:
  SimHost& h_;
};

TEST(OutsideE2e, MarksAreRecordedAndAnsweredFromTheFiles) {
  SimHost h({"--disk", "sdb:16M"});
  Outside o(h);
  const std::string g1 = "{" + kGuid1 + "}", g2 = "{" + kGuid2 + "}";
  EXPECT_EQ(o.call({"disk-mark", g1}), "result=0\n");
  h.write_file("/etc/zelcdpagt/disk_markcdp.answer", "-3 0\n");
  EXPECT_EQ(o.call({"disk-mark", g1}), "result=-3\n");
  // A caller's text cannot split a line of the log.
  EXPECT_EQ(o.call({"disk-mark", g2 + "\nforged"}), "result=-3\n");

  EXPECT_EQ(o.call({"grp-mark", "grp1", kGuid1 + ":/dev/sdc", kGuid2 + ":/dev/sdd"}), "result=0\n");
  EXPECT_EQ(o.call({"grp-mark", "empty"}), "result=0\n");
  h.write_file("/etc/zelcdpagt/grp_markcdp.answer", "-1\n");
  EXPECT_EQ(o.call({"grp-mark", "grp1", kGuid2 + ":/dev/sdd"}), "result=-1\n");

  std::string calls = o.calls();
  EXPECT_TRUE(logged_in_order(calls, {
                                         "zel_call_disk_markcdp begin " + g1,
                                         "zel_call_disk_markcdp end " + g1 + " result=0",
                                         "zel_call_disk_markcdp end " + g1 + " result=-3",
                                         "zel_call_disk_markcdp begin " + g2 + "\\x0aforged",
                                         "zel_call_grp_markcdp begin grp1 members=2 " + g1 +
                                             ",1,/dev/sdc " + g2 + ",1,/dev/sdd",
                                         "zel_call_grp_markcdp end grp1 result=0",
                                         "zel_call_grp_markcdp begin empty members=0",
                                         "zel_call_grp_markcdp end empty result=0",
                                         "zel_call_grp_markcdp begin grp1 members=1 " + g2 +
                                             ",1,/dev/sdd",
                                         "zel_call_grp_markcdp end grp1 result=-1",
                                     }));
  EXPECT_FALSE(has(calls, "\nforged")) << calls;
}

TEST(OutsideE2e, DatabaseAndDeviceRegistries) {
  SimHost h({"--disk", "sdb:16M"});
  Outside o(h);
  const std::string orcl =
      "instance=ORCL db_type=1 archive_log=1 type_name=oracle db_user=sys passwd=(null) "
      "oracle_home=/u01/app host=127.0.0.1 port=1521\n";
  h.write_file("/etc/zelcdpagt/apps.reg",
               "instance=ORCL\tdb_type=1\tarchive_log=1\ttype_name=oracle\tdb_user=sys\t"
               "oracle_home=/u01/app\thost=127.0.0.1\tport=1521\n");
  EXPECT_EQ(o.call({"list-app"}), "result=1\n" + orcl);

  // A registration keeps every text as given, tabs and blanks too, but not
  // the password.
  EXPECT_EQ(o.call({"db-set", "R&D\tlab", "scott", "s3cr3t-pw", "/u01/a b"}), "result=0\n");
  const std::string rnd =
      "instance=R&D\tlab db_type=1 archive_log=0 type_name=oracle db_user=scott passwd=(null) "
      "oracle_home=/u01/a b host=127.0.0.1 port=1521\n";
  EXPECT_EQ(o.call({"list-app"}), "result=2\n" + orcl + rnd);

  h.write_file("/etc/zelcdpagt/connect_db.answer", "-1\n");
  EXPECT_EQ(o.call({"db-set", "NEW", "u", "s3cr3t-pw", "/h"}), "result=-1\n");
  EXPECT_EQ(o.call({"list-app"}), "result=2\n" + orcl + rnd);

  EXPECT_EQ(o.call({"delete-app", "R&D\tlab"}), "result=1\n");
  EXPECT_EQ(o.call({"delete-app", "R&D\tlab"}), "result=0\n");
  h.write_file("/etc/zelcdpagt/delete_app.answer", "0\n");
  EXPECT_EQ(o.call({"delete-app", "ORCL"}), "result=0\n");
  EXPECT_EQ(o.call({"list-app"}), "result=1\n" + orcl);

  auto r = h.exec({"grep", "-r", "s3cr3t", "/var/log", "/etc/zelcdpagt"});
  EXPECT_EQ(r.status, 1) << "the password was written down: " << r.out;

  h.write_file("/etc/zelcdpagt/devs.reg", kGuid1 + "\n" + kGuid2 + "\n");
  EXPECT_EQ(o.call({"list-dev"}), "result=2\n" + kGuid1 + "\n" + kGuid2 + "\n");
  EXPECT_EQ(o.call({"delete-dev", kGuid1}), "result=0\n");
  EXPECT_EQ(o.call({"delete-dev", kGuid1}), "result=-1\n");
  EXPECT_EQ(o.call({"list-dev"}), "result=1\n" + kGuid2 + "\n");

  EXPECT_TRUE(logged_in_order(
      o.calls(),
      {"Zel_list_app apps=1",
       "Zel_connect_db_flush_cfg instance=R&D\\x09lab db_type=1 archive_log=0 type_name=oracle "
       "db_user=scott passwd=(given) oracle_home=/u01/a b host=127.0.0.1 port=1521 result=0",
       "Zel_list_app apps=2",
       "Zel_connect_db_flush_cfg instance=NEW db_type=1 archive_log=0 type_name=oracle db_user=u "
       "passwd=(given) oracle_home=/h host=127.0.0.1 port=1521 result=-1",
       "Zel_delete_app R&D\\x09lab result=1", "Zel_delete_app R&D\\x09lab result=0",
       "Zel_delete_app ORCL result=0", "Zel_list_dev devs=2", "Zel_delete_dev 0 " + kGuid1 + " result=0",
       "Zel_delete_dev 0 " + kGuid1 + " result=-1"}));
}

TEST(OutsideE2e, DbHomeScriptPrintsItsAnswer) {
  SimHost h({"--disk", "sdb:16M"});
  auto r = h.exec({"get_db_home.sh"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "0\n");
  h.write_file("/etc/zelcdpagt/db_home.answer", "12 /u01/app/oracle\n");
  r = h.exec({"sh", "-c", "get_db_home.sh | head -1"});
  EXPECT_EQ(r.out, "12 /u01/app/oracle\n");
  EXPECT_TRUE(logged_in_order(h.read_file(kCalls), {"get_db_home.sh", "get_db_home.sh"}));
}

// sdb gets an MBR with two primary partitions before the host starts.
void write_mbr(const std::string& image) {
  unsigned char mbr[512] = {};
  const uint32_t parts[2][2] = {{2048, 16384}, {18432, 8192}};
  for (int i = 0; i < 2; i++) {
    unsigned char* e = mbr + 446 + 16 * i;
    e[4] = 0x83;
    memcpy(e + 8, &parts[i][0], 4);
    memcpy(e + 12, &parts[i][1], 4);
  }
  mbr[510] = 0x55;
  mbr[511] = 0xAA;
  int fd = open(image.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0) << image;
  ASSERT_EQ(pwrite(fd, mbr, sizeof mbr, 0), 512);
  close(fd);
}

TEST(OutsideE2e, DisksOfTheHostAndTheProbedLuns) {
  SimHost h({"--disk", "sdb:64M", "--disk", "sdc:32M", "--lun", "sdd:32M:" + kGuid1}, false);
  write_mbr(h.image("sdb"));
  h.write_file("/etc/zelcdpagt/partitions.answer",
               "sdb1 1234abcd-0000-0000-0000-000000000000 ext3 4096\nsdb2 - - -\n");
  h.start();
  Outside o(h);
  EXPECT_EQ(o.call({"get-devs", "1"}),
            "result=3\n"
            "sdb /dev/sdb [ATA     ] [QEMU HARDDISK   ] 131072 valid=1\n"
            "  sdb1 1234abcd-0000-0000-0000-000000000000 ext3 8388608 4096\n"
            "  sdb2 (null) (null) 4194304 0\n"
            "sdc /dev/sdc [ATA     ] [QEMU HARDDISK   ] 65536 valid=1\n"
            "sdd /dev/sdd [UVO     ] [ZELSolution     ] 65536 valid=1\n"
            "empty=1\n");
  EXPECT_EQ(o.call({"part-type", "/dev/sdb"}), "result=1\n");
  EXPECT_EQ(o.call({"part-type", "/dev/sdc"}), "result=0\n");
  EXPECT_EQ(o.call({"part-type", "/dev/sdz"}), "result=-1\n");

  // An offline disk is listed but not valid, and its inquiry fails.
  ASSERT_EQ(h.simctl({"disk", "offline", "sdc"}).status, 0);
  EXPECT_TRUE(has(o.call({"get-devs", "0"}), "\nsdc /dev/sdc [ATA     ] [QEMU HARDDISK   ] 65536 valid=0\n"));
  EXPECT_EQ(o.call({"probe"}), "result=3\n/dev/sdd 0 {" + kGuid1 + "}\n");

  EXPECT_TRUE(logged_in_order(
      o.calls(),
      {"zeldisk_get_devs 1 result=3 sdb sdc sdd", "zeldisk_free_devs 3",
       "get_part_type /dev/sdb result=1", "get_part_type /dev/sdc result=0",
       "get_part_type /dev/sdz result=-1", "zeldisk_get_devs 0 result=3 sdb sdc sdd",
       "__log_debug zel_device_probe_all 121 3 Probing all SCSI Device ......",
       "zel_device_issueinq_t10 /dev/sdb result=0 guid=(none)",
       "__log_debug zel_device_add 95 3 Device /dev/sdb(GUID )is not a ZEL Device",
       "zel_device_issueinq_t10 /dev/sdc result=-1 guid=(none)",
       "__log_error zel_device_add 100 failed to register device /dev/sdc (T10)",
       "zel_device_issueinq_t10 /dev/sdd result=0 guid={" + kGuid1 + "}",
       "__log_debug zel_device_add 91 3 Register device /dev/sdd"}));
}

TEST(OutsideE2e, RescanAttachesTheDisksStagedForIt) {
  SimHost h({"--disk", "sdb:16M"});
  Outside o(h);
  h.write_file("/etc/zelcdpagt/pending.disks", "sdc 16M " + kGuid2 + "\n");
  EXPECT_NE(h.exec({"test", "-e", "/sys/block/sdc"}).status, 0);
  auto r = h.exec({"zeldisk", "-r"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(has(o.call({"get-devs", "1"}), "\nsdc /dev/sdc [UVO     ] [ZELSolution     ] 32768 valid=1\n"));
  EXPECT_NE(h.exec({"test", "-e", "/etc/zelcdpagt/pending.disks"}).status, 0);

  // A failed rescan finds nothing; the next one that succeeds does.
  h.write_file("/etc/zelcdpagt/pending.disks", "sdd 8M\nsde 3x\n");
  h.write_file("/etc/zelcdpagt/rescan.answer", "0\n");
  EXPECT_EQ(h.exec({"zeldisk", "-r"}).status, 1);
  EXPECT_NE(h.exec({"test", "-e", "/sys/block/sdd"}).status, 0);
  h.write_file("/etc/zelcdpagt/rescan.answer", "2\n");
  EXPECT_EQ(o.call({"rescan"}), "result=2\n");
  EXPECT_EQ(h.exec({"test", "-e", "/sys/block/sdd"}).status, 0);
  EXPECT_EQ(h.exec({"zeldisk", "-x"}).status, 2);

  EXPECT_TRUE(logged_in_order(o.calls(), {"zeldisk -r", "zeldisk_rescan_dev attach sdc 16M " + kGuid2 + " result=0",
                                          "zeldisk_rescan_dev 0 result=1", "zeldisk -r",
                                          "zeldisk_rescan_dev 0 result=0",
                                          "zeldisk_rescan_dev attach sdd 8M - result=0",
                                          "zeldisk_rescan_dev attach sde 3x - result=-22",
                                          "zeldisk_rescan_dev 0 result=2"}));
}

}  // namespace
