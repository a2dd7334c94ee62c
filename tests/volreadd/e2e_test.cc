// volreadd on a simulated host with the real module and no daemon: the boot
// registry names protections whose disks now sit under other names.
#include <stdio.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "eventually.h"
#include "simhost.h"

namespace {

using testsupport::ExecResult;
using testsupport::SimHost;

const std::string kMirrorGuid = "6f1d2c3b-aaaa-bbbb-cccc-0123456789ab";
const std::string kLostGuid = "0badf00d-dead-beef-0000-000000000001";
const std::string kPrimaryGuid = "1234abcd-0000-0000-0000-000000000000";
const std::string kOrphanGuid = "5555aaaa-0000-0000-0000-000000000000";
const std::string kLoneGuid = "7777bbbb-0000-0000-0000-000000000000";
const char kVolreadd[] = "/usr/local/zelmir/bin/volreadd";
const char kMirctl[] = "/usr/local/zelmir/bin/mirctl";

std::string reg_line(const std::string& p, const std::string& pg, const std::string& m,
                     const std::string& mg) {
  return p + " volume_id_{" + pg + "} " + m + " volume_id_{" + mg + "} line_end\n";
}

class VolreaddHost : public ::testing::Test {
 protected:
  // sdb: a primary (signed 1234abcd), sdc: its mirror LUN; sde: a primary whose
  // mirror is gone; sdf: a disk of a registry line without a mirror; sdg: a
  // disk in no protection.
  VolreaddHost()
      : h_({"--disk", "sdb:64M", "--lun", "sdc:64M:" + kMirrorGuid, "--disk", "sde:64M",
            "--disk", "sdf:64M", "--disk", "sdg:64M"}) {}

  void SetUp() override {
    for (auto [disk, sig] : {std::pair<const char*, const char*>{"/dev/sdb", "1234abcd"},
                             {"/dev/sde", "5555aaaa"},
                             {"/dev/sdf", "7777bbbb"},
                             {"/dev/sdg", "4242cafe"}}) {
      ExecResult r = h_.exec({kMirctl, "disk", "mark", disk, std::string("Signature=") + sig});
      ASSERT_EQ(r.status, 0) << r.out;
    }
    h_.write_file("/vyrboot/hmdevs.reg",
                  reg_line("/dev/sdx?", kPrimaryGuid, "/dev/sdy?", kMirrorGuid) +
                      reg_line("/dev/sdq?", kOrphanGuid, "/dev/sdz?", kLostGuid) +
                      "/dev/sdr? volume_id_{" + kLoneGuid + "} line_end\n");
  }

  ExecResult volreadd(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {kVolreadd};
    argv.insert(argv.end(), args.begin(), args.end());
    return h_.exec(argv);
  }

  void expect_lines(const std::vector<std::string>& args, const std::vector<std::string>& lines) {
    ExecResult r = volreadd(args);
    EXPECT_EQ(r.status, 0);
    size_t at = 0;
    for (const std::string& l : lines) {
      size_t f = r.out.find(l, at);
      EXPECT_NE(f, std::string::npos) << "volreadd " << (args.empty() ? "" : args[0])
                                      << "\nwanted, in order: " << l << "\ngot:\n" << r.out;
      if (f != std::string::npos) at = f + l.size();
    }
  }

  SimHost h_;
};

TEST_F(VolreaddHost, AddedMirrorFindsItsPrimary) {
  expect_lines({"/dev/sdc"},
               {"Add new dev:\033[1;32m/dev/sdc\033[0m, come from \033[1;32mZELSOLUTION\033[0m\n",
                "dev:/dev/sdc -- uuid:" + kMirrorGuid + "\n", "Find hmdev protection",
                "primary: /dev/sdx?(old) => /dev/sdb(new)\n", "primary:/dev/sdb  mirror:/dev/sdc\n",
                "Inform Kernel successfully", "\nAll protection:\n", "HMDEV - 1:\n",
                "  primary: /dev/sdb - " + kPrimaryGuid + "\n",
                "  mirror:  /dev/sdc - " + kMirrorGuid + "\n", "HMDEV - 2:\n"});
  // The module opened both members by their current paths.
  ExecResult d = h_.simctl({"dmesg"});
  EXPECT_NE(d.out.find("/dev/sdc"), std::string::npos) << d.out;
  EXPECT_NE(d.out.find("/dev/sdb"), std::string::npos) << d.out;
}

TEST_F(VolreaddHost, AddedPrimaryFindsItsMirror) {
  expect_lines({"/dev/sdb"},
               {"Add new dev:\033[1;32m/dev/sdb\033[0m, come from \033[1;32mOthers\033[0m\n",
                "dev:/dev/sdb -- uuid:" + kPrimaryGuid + "\n", "Find hmdev protection",
                "mirror:/dev/sdy?(old) => /dev/sdc(new)\n", "primary:/dev/sdb  mirror:/dev/sdc\n",
                "Inform Kernel successfully"});
}

TEST_F(VolreaddHost, PartnerMissingIsSentAsAbsent) {
  expect_lines({"/dev/sde"}, {"Find hmdev protection", "failed to get primary disk:/dev/sde\n",
                              "primary:/dev/sde  mirror:/dev/sdz?\n", "Inform Kernel"});
}

TEST_F(VolreaddHost, DisksInNoProtection) {
  // sdg is in no line; sdf only in a line without a mirror, which is skipped.
  for (const char* disk : {"/dev/sdg", "/dev/sdf"}) {
    ExecResult r = volreadd({disk});
    EXPECT_EQ(r.status, 0);
    size_t not_in = r.out.find(std::string("\033[1;31mDisk ") + disk + " not in protection\033[0m\n");
    EXPECT_NE(not_in, std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\nAll protection:\n", not_in), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("HMDEV - 2:\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("HMDEV - 3:"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Inform Kernel"), std::string::npos) << r.out;
  }
}

// sdg is signed anew with the primary's signature, as a clone or a restored
// snapshot of it would be: the signature names no disk, neither the added
// clone nor the added mirror's partner search may pick one, nothing is sent.
TEST_F(VolreaddHost, SignatureOnTwoDisksIsRefused) {
  ExecResult r = h_.exec({kMirctl, "disk", "mark", "/dev/sdg", "Signature=1234abcd"});
  ASSERT_EQ(r.status, 0) << r.out;
  for (const char* disk : {"/dev/sdg", "/dev/sdb"})
    expect_lines({disk}, {"Find hmdev protection",
                          std::string("The signature of ") + disk +
                              " is on /dev/sdb and on /dev/sdg: it identifies no disk",
                          "\nAll protection:\n"});
  expect_lines({"/dev/sdc"}, {"Find hmdev protection",
                              "primary /dev/sdx?: its signature is on /dev/sdb and on /dev/sdg",
                              "\nAll protection:\n"});
  for (const char* disk : {"/dev/sdg", "/dev/sdb", "/dev/sdc"}) {
    r = volreadd({disk});
    EXPECT_EQ(r.out.find("Inform Kernel"), std::string::npos) << r.out;
  }
  ExecResult d = h_.simctl({"dmesg"});
  EXPECT_EQ(d.out.find("add primary"), std::string::npos) << "nothing reached the module\n" << d.out;
}

TEST_F(VolreaddHost, BadArgumentsAndNoRegistry) {
  expect_lines({}, {"usage: volreadd"});
  expect_lines({"/dev/" + std::string(123, 'x')}, {"usage: volreadd"});
  expect_lines({"/dev/nosuch"}, {"\033[1;31mFailed to get disk guid\033[0m"});
  ExecResult r = h_.exec({"rm", "-f", "/vyrboot/hmdevs.reg"});
  ASSERT_EQ(r.status, 0) << r.out;
  expect_lines({"/dev/sdb"}, {"HMDEV.CONF file not exist!\n", "Failed to load conf file\n"});
}

}  // namespace

namespace {

uint32_t image_signature(const SimHost& h, const std::string& disk) {
  uint32_t sig = 0xffffffffu;
  FILE* f = fopen(h.image(disk).c_str(), "rb");
  if (f != nullptr) {
    if (fseek(f, 440, SEEK_SET) != 0 || fread(&sig, sizeof(sig), 1, f) != 1) sig = 0xffffffffu;
    fclose(f);
  }
  return sig;
}

// A protection that zelmird made (so its bitmap file exists) is gone from
// the module, which was loaded again without a boot registry; volreadd
// brings it back, and the module must stamp the primary's own signature
// into sector 0, not a zero.
TEST(VolreaddReadd, ReaddedPrimaryKeepsItsSignature) {
  SimHost h({"--disk", "sdb:16M", "--lun", "sdc:16M:" + kMirrorGuid});
  auto run = [&h](const std::vector<std::string>& argv) {
    ExecResult r = h.exec(argv);
    EXPECT_EQ(r.status, 0) << argv[0] << ": " << r.out;
    return r;
  };
  run({"mkdir", "-p", "/usr/local/zelmir/conf", "/boot/vyrbitmap", "/vyrboot"});
  run({"/usr/local/zelmir/bin/zelmird"});
  EXPECT_TRUE(testsupport::eventually(
      [&] { return h.exec({"test", "-S", "/var/run/hm_unix"}).status == 0; },
      std::chrono::seconds(10)));
  ExecResult p = run({kMirctl, "disk", "protect", "primary=/dev/sdb", "mirror=/dev/sdc"});
  ASSERT_NE(p.out.find("success"), std::string::npos) << p.out;
  uint32_t sig = image_signature(h, "sdb");
  ASSERT_NE(sig, 0u);

  run({"sh", "-c", "kill $(cat /var/run/zelmir.pid)"});
  ASSERT_EQ(h.simctl({"rmmod"}).status, 0);
  run({"mv", "/boot/hmdevs.reg", "/vyrboot/hmdevs.reg"});
  ASSERT_EQ(h.simctl({"insmod"}).status, 0);

  ExecResult r = run({kVolreadd, "/dev/sdc"});
  EXPECT_NE(r.out.find("Inform Kernel successfully"), std::string::npos) << r.out;

  // Zeros over sector 0 of the primary, through the mirror's hooks.
  const std::string zeros = h.dir() + "/zero-sector";
  {
    FILE* f = fopen(zeros.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    char buf[512] = {};
    ASSERT_EQ(fwrite(buf, sizeof(buf), 1, f), 1u);
    fclose(f);
  }
  run({"nbdcopy", zeros, h.nbd_uri("sdb")});
  EXPECT_EQ(image_signature(h, "sdb"), sig);
  EXPECT_EQ(image_signature(h, "sdc"), sig);
}

}  // namespace

namespace {

// The mirror LUN carries a partition table: its partition answers SCSI
// commands as the whole disk does, but it is no disk of a protection.
TEST(VolreaddPartition, PartitionIsIgnored) {
  SimHost h({"--disk", "sdb:16M", "--lun", "sdc:16M:" + kMirrorGuid}, false);
  ASSERT_TRUE(testsupport::write_partition_table(h.image("sdc"), 2048, 16384));
  h.start();
  ASSERT_EQ(h.exec({kMirctl, "disk", "mark", "/dev/sdb", "Signature=1234abcd"}).status, 0);
  h.write_file("/vyrboot/hmdevs.reg", reg_line("/dev/sdx?", kPrimaryGuid, "/dev/sdy?", kMirrorGuid));
  ASSERT_EQ(h.exec({"test", "-e", "/sys/class/block/sdc1"}).status, 0) << "the partition is there";
  ExecResult r = h.exec({kVolreadd, "/dev/sdc1"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("/dev/sdc1 is not a whole disk: ignored"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("Inform Kernel"), std::string::npos) << r.out;
  ExecResult d = h.simctl({"dmesg"});
  EXPECT_EQ(d.out.find("sdc1"), std::string::npos) << d.out;
  // The whole disk is taken.
  r = h.exec({kVolreadd, "/dev/sdc"});
  EXPECT_NE(r.out.find("primary:/dev/sdb  mirror:/dev/sdc\n"), std::string::npos) << r.out;
}

}  // namespace
