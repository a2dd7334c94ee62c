// The inventory's rules that need no host: blanks and vendors, the maker's
// LUNs, the system-disk rule, line and attribute readers, relationship
// states, signature texts and the sector a signature may go into, and
// outside programs under a time limit.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "eventually.h"
#include "files.h"
#include "log_capture.h"
#include "mirapi/log.h"
#include "qor_diskid.h"
#include "qor_inventory.h"
#include "qor_run.h"

namespace {

// A fresh directory for a test's files, removed with it.
class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/zelmir-inv-XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~TempDir() { testsupport::remove_tree(path_); }
  std::string write(const std::string& name, const std::string& content) const {
    std::string p = path_ + "/" + name;
    std::ofstream(p, std::ios::binary) << content;
    return p;
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

TEST(InventoryText, TrimBlankRemovesOnlyOuterSpaces) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"  ZELSolution  ", "ZELSolution"}, {"UVO", "UVO"},   {"   ", ""},
      {"", ""},                           {" a b ", "a b"}, {"\tTab\t", "\tTab\t"},
  };
  for (const Case& c : cases) {
    std::string buf = c.in;
    EXPECT_STREQ(trim_blank(buf.data()), c.out) << '"' << c.in << '"';
  }
}

TEST(InventoryText, VendorTrimmedAndMakersLunsKnown) {
  struct Case {
    const char* vendor;  // null: missing
    const char* model;
    const char* text;    // null: no vendor text
    int on_storage;
  } cases[] = {
      {"ZEL     ", "ZELSolution     ", "ZEL ZELSolution", 1},
      {"  UVO ", "Other", "UVO Other", 1},          // the vendor alone makes a LUN
      {"ATA", "ZELSolutionX", "ATA ZELSolutionX", 0}, // compared whole
      {"UVOX", "Disk", "UVOX Disk", 0},
      {"ZELSolution", "UVO", "ZELSolution UVO", 0},   // each in its own field
      {"ATA   ", "QEMU HARDDISK", "ATA QEMU HARDDISK", 0},
      {nullptr, "ZELSolution", nullptr, 0},
      {"UVO", nullptr, nullptr, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text ? c.text : "missing");
    std::string v = c.vendor ? c.vendor : "", m = c.model ? c.model : "";
    qor_disk d = {};
    ASSERT_EQ(qor_disk_set_vendor(&d, c.vendor ? v.data() : nullptr, c.model ? m.data() : nullptr), 0);
    if (c.text)
      EXPECT_STREQ(d.vendor, c.text);
    else
      EXPECT_EQ(d.vendor, nullptr);
    EXPECT_EQ(d.on_storage, c.on_storage);
    free(d.vendor);
  }
}

TEST(InventoryText, DiskNeedsSignatureOnlyWhenValidUnknownAndNotALun) {
  char guid[] = "1234abcd-0000-0000-0000-000000000000";
  struct Case {
    int state;
    char* guid;
    int on_storage;
    int needs;
  } cases[] = {
      {1, nullptr, 0, 1}, {0, nullptr, 0, 0}, {1, guid, 0, 0}, {1, nullptr, 1, 0},
  };
  for (const Case& c : cases) {
    qor_disk d = {};
    d.state = c.state;
    d.guid = c.guid;
    d.on_storage = c.on_storage;
    EXPECT_EQ(qor_disk_needs_signature(&d), c.needs) << c.state << c.on_storage;
  }
}

TEST(InventoryMtab, SystemDiskHoldsRootOrBoot) {
  TempDir dir;
  struct Case {
    const char* line;
    const char* path;
    int boot;
  } cases[] = {
      {"/dev/sda1 / ext4 rw 0 0", "/dev/sda", 1},
      {"/dev/sda2 /boot ext4 rw 0 0", "/dev/sda", 1},
      {"/dev/sda / ext4 rw 0 0", "/dev/sda", 1},            // the whole disk
      {"/dev/sda1\t/\text4\trw\t0\t0", "/dev/sda", 1},
      {"/dev/sdaa1 / ext4 rw 0 0", "/dev/sda", 0},          // another disk
      {"/dev/sda1 / ext4 rw 0 0", "/dev/sdaa", 0},
      {"/dev/sdb1 /mnt/boot ext4 rw 0 0", "/dev/sdb", 0},   // not the system's /boot
      {"/dev/sdb1 /data ext4 rw 0 0", "/dev/sdb", 0},
      {"/dev/sdb1 /boot/efi vfat rw 0 0", "/dev/sdb", 0},
      {"/dev/cciss/c0d0p2 / ext4 rw 0 0", "/dev/cciss/c0d0", 1},
      {"/dev/cciss/c0d01 / ext4 rw 0 0", "/dev/cciss/c0d0", 0},
      {"/dev/sda1x / ext4 rw 0 0", "/dev/sda", 0},
      {"rootfs / rootfs rw 0 0", "/dev/sda", 0},
  };
  for (const Case& c : cases) {
    std::string mtab = dir.write("mtab", std::string("proc /proc proc rw 0 0\n") + c.line + "\n");
    EXPECT_EQ(is_boot_dev_in(mtab.c_str(), c.path), c.boot) << c.line << " / " << c.path;
  }
  libtest::take_syslog();
  EXPECT_EQ(is_boot_dev_in((dir.path() + "/none").c_str(), "/dev/sda"), 0);
  EXPECT_TRUE(libtest::syslog_contains("/none is not exit."));
}

TEST(InventoryFiles, ReadLine) {
  TempDir dir;
  std::string p = dir.write("lines", "abc\r\nlonger line\nlast");
  FILE* f = fopen(p.c_str(), "r");
  char buf[8];
  EXPECT_EQ(read_line(f, buf, sizeof buf), 5);
  EXPECT_STREQ(buf, "abc");   // the carriage return is cut off
  EXPECT_EQ(read_line(f, buf, sizeof buf), 12);
  EXPECT_STREQ(buf, "longer ");   // at most size - 1 characters
  EXPECT_EQ(read_line(f, buf, sizeof buf), -1);   // no line ending before the end
  fclose(f);
}

TEST(InventoryFiles, SysfsAttributeAndDirectoryLinks) {
  TempDir dir;
  char buf[QOR_TEXT_SIZE];
  EXPECT_EQ(sysfs_read_attribute(buf, dir.write("port_name", "0x21000024ff3dd1e5\n").c_str()), 18);
  EXPECT_STREQ(buf, "0x21000024ff3dd1e5");
  EXPECT_EQ(sysfs_read_attribute(buf, dir.write("long", std::string(700, 'x')).c_str()), 511);
  EXPECT_EQ(strlen(buf), 511u);
  EXPECT_EQ(sysfs_read_attribute(buf, dir.write("empty", "").c_str()), 0);
  libtest::take_syslog();
  EXPECT_EQ(sysfs_read_attribute(buf, (dir.path() + "/none").c_str()), -1);
  EXPECT_TRUE(libtest::syslog_contains("Failed to open '" + dir.path() + "/none'"));

  struct list_head links;
  INIT_LIST_HEAD(&links);
  ASSERT_EQ(get_links_in_dir(&links, dir.path().c_str()), 0);
  std::set<std::string> names;
  struct list_head* pos;
  list_for_each(pos, &links) {
    const qor_link* l = list_entry(pos, qor_link, list);
    names.insert(l->name);
    EXPECT_EQ(std::string(l->path), dir.path() + "/" + l->name);
  }
  EXPECT_EQ(names, (std::set<std::string>{"port_name", "long", "empty"}));
  link_list_free(&links);
  EXPECT_TRUE(list_empty(&links));
  EXPECT_EQ(get_links_in_dir(&links, (dir.path() + "/none").c_str()), ENOENT);
}

hm_api_status_t status(const char* sync, const char* primary, const char* mirror, int percent,
                       const char* path = "/dev/sdb") {
  hm_api_status_t st = {};
  strcpy(st.sync_status, sync);
  strcpy(st.run_status, "Running");
  strcpy(st.primary_status, primary);
  strcpy(st.mirror_status, mirror);
  strcpy(st.primary_path, path);
  strcpy(st.primary_guid, "1234abcd-0000-0000-0000-000000000000");
  strcpy(st.mirror_guid, "6f1d2c3b-aaaa-bbbb-cccc-0123456789ab");
  st.percent = static_cast<uint16_t>(percent);
  return st;
}

TEST(InventoryBackups, StateAndProgressFromTheStatusRecord) {
  struct Case {
    const char* sync;
    const char* primary;
    const char* mirror;
    uint32_t state;
  } cases[] = {
      {"Sync Finished", "Up", "Up", 0},   {"Something else", "Up", "Up", 0},
      {"Sync Cancelled", "Up", "Up", 1},  {"UnSync", "Up", "Up", 1},
      {"Sync On", "Up", "Up", 2},         {"Recovery On", "Up", "Up", 3},
      {"Sync On", "Lost", "Up", 4},       {"Sync Finished", "Faulty", "Lost", 4},
      {"Sync On", "Up", "Lost", 5},       {"Sync Finished", "Up", "Locked", 5},
      {"Sync On", "up", "Up", 4},         // compared exactly
  };
  for (const Case& c : cases) {
    hm_api_status_t st = status(c.sync, c.primary, c.mirror, 40);
    qor_backup bk = {};
    qor_backup_from_status(&bk, &st);
    EXPECT_EQ(bk.state, c.state) << c.sync << " " << c.primary << " " << c.mirror;
    EXPECT_EQ(bk.type, 1u);
    EXPECT_EQ(bk.speed, -1);
    EXPECT_EQ(bk.percent, 40u);
  }

  struct Progress {
    int percent;
    uint32_t reported;
  } progress[] = {{0, 0}, {100, 100}, {101, 0}, {65535, 0}};
  for (const Progress& p : progress) {
    hm_api_status_t st = status("Sync On", "Up", "Up", p.percent);
    qor_backup bk = {};
    qor_backup_from_status(&bk, &st);
    EXPECT_EQ(bk.percent, p.reported) << p.percent;
  }
}

TEST(InventoryBackups, NamesAndGuidsBoundedInTheirFields) {
  struct Case {
    const char* path;
    const char* name;
  } cases[] = {{"/dev/sdb", "sdb"}, {"/dev/cciss/c0d0", "cciss/c0d0"}, {"/dev/", ""}, {"sdb", ""}, {"", ""}};
  for (const Case& c : cases) {
    hm_api_status_t st = status("Sync On", "Up", "Up", 0, c.path);
    qor_backup bk = {};
    memset(bk.src_name, 'x', sizeof bk.src_name);
    qor_backup_from_status(&bk, &st);
    EXPECT_STREQ(bk.src_name, c.name) << c.path;
    EXPECT_STREQ(bk.src_guid, "1234abcd-0000-0000-0000-000000000000");
    EXPECT_STREQ(bk.dest_guid, "6f1d2c3b-aaaa-bbbb-cccc-0123456789ab");
  }

  // Fields that fill their whole width, unterminated, as a peer may send them.
  hm_api_status_t st = status("Sync On", "Up", "Up", 0);
  memset(st.primary_guid, 'a', sizeof st.primary_guid);
  memset(st.primary_path, 'p', sizeof st.primary_path);
  memset(st.sync_status, 'S', sizeof st.sync_status);
  qor_backup bk = {};
  qor_backup_from_status(&bk, &st);
  EXPECT_EQ(std::string(bk.src_guid), std::string(QOR_GUID_FIELD - 1, 'a'));
  EXPECT_EQ(std::string(bk.src_name), std::string(sizeof st.primary_path - 5, 'p'));
  EXPECT_EQ(bk.state, 0u);
}

TEST(DiskIdentity, SignatureGuidText) {
  struct Case {
    uint32_t sig;
    const char* text;
  } cases[] = {
      {0x1234abcd, "1234abcd-0000-0000-0000-000000000000"},
      {0xffffffff, "ffffffff-0000-0000-0000-000000000000"},
      {0x1, "00000001-0000-0000-0000-000000000000"},
      {0x0, "00000000-0000-0000-0000-000000000000"},
  };
  for (const Case& c : cases) {
    char* text = signature_to_guid(c.sig);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, c.text);
    for (int i = 37; i < QOR_SIG_GUID_SIZE; ++i) ASSERT_EQ(text[i], 0) << i;
    free(text);
  }
}

TEST(DiskIdentity, RandomSignatureKeepsTheTopBitClear) {
  for (int i = 0; i < 3; ++i) EXPECT_EQ(random_signature() & 0x80000000u, 0u);
}

TEST(DiskIdentity, SectorZeroThatMayBeSigned) {
  auto sector = [](std::initializer_list<std::pair<int, unsigned char>> bytes) {
    std::vector<unsigned char> s(512, 0);
    for (auto [at, v] : bytes) s[at] = v;
    return s;
  };
  struct Case {
    const char* what;
    std::vector<unsigned char> sector;
    int signable;
  } cases[] = {
      {"empty", sector({}), 1},
      {"partition table", sector({{446, 0x80}, {450, 0x83}, {510, 0x55}, {511, 0xAA}}), 1},
      {"boot code and a table", sector({{0, 0xeb}, {1, 0x63}, {510, 0x55}, {511, 0xAA}}), 1},
      {"raw data", sector({{0, 'X'}, {100, 'Y'}}), 0},
      {"data at the end only", sector({{511, 0xAA}}), 0},
      {"half a table mark", sector({{510, 0x55}}), 0},
      {"signed with a table", sector({{440, 1}, {510, 0x55}, {511, 0xAA}}), 0},
      {"signed without a table", sector({{443, 0x12}}), 0},
  };
  for (const Case& c : cases) EXPECT_EQ(qor_sector0_signable(c.sector.data()), c.signable) << c.what;
}

TEST(DiskIdentity, ReadAndWriteRefuseWhatIsNoBlockDevice) {
  TempDir dir;
  std::string file = dir.write("plain", std::string(1024, '\0'));
  std::string none = dir.path() + "/none";
  libtest::take_syslog();

  EXPECT_EQ(get_disk_signature(file.c_str()), -1);
  EXPECT_LT(write_disk_signature(file.c_str(), 0x1234abcd), 0);
  EXPECT_TRUE(libtest::syslog_contains("'" + file + "' is not a block device"));
  EXPECT_EQ(get_disk_signature(none.c_str()), -1);
  EXPECT_LT(write_disk_signature(none.c_str(), 1), 0);
  EXPECT_TRUE(libtest::syslog_contains("Disk '" + none + "' not exist"));
  EXPECT_EQ(get_disk_signature(nullptr), -1);
  std::ifstream in(file, std::ios::binary);
  std::string data((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(data, std::string(1024, '\0'));   // nothing written

  // A signature that cannot be read is no identity and no unsigned disk.
  char* guid = reinterpret_cast<char*>(1);
  EXPECT_EQ(qor_read_disk_guid(file.c_str(), 0, &guid), -1);
  EXPECT_EQ(guid, nullptr);
  EXPECT_EQ(get_disk_guid(file.c_str(), 0), nullptr);
  EXPECT_EQ(get_disk_guid(nullptr, 0), nullptr);
}

TEST(OutsidePrograms, FirstLineAndStatus) {
  struct Case {
    const char* command;
    int status;
    int has_line;
    const char* line;
  } cases[] = {
      {"echo 42 oracle; echo second", 0, 1, "42 oracle"},
      {"printf 'no newline'", 0, 1, "no newline"},
      {"exit 3", 3, 0, ""},
      {"echo; exit 1", 1, 1, ""},
      {"head -c 300000 /dev/zero | tr '\\0' x; echo; echo done", 0, 1, nullptr},  // more than a pipe holds
      {"kill -9 $$", 137, 0, ""},
  };
  for (const Case& c : cases) {
    char line[16];
    int has_line = -1;
    EXPECT_EQ(qor_run_shell(c.command, 30, line, sizeof line, &has_line), c.status) << c.command;
    EXPECT_EQ(has_line, c.has_line) << c.command;
    if (c.line)
      EXPECT_STREQ(line, c.line) << c.command;
    else
      EXPECT_EQ(strlen(line), sizeof line - 1) << c.command;
  }
  EXPECT_EQ(qor_run_shell("true", 30, nullptr, 0, nullptr), 0);
}

bool process_ended(pid_t pid) {
  if (kill(pid, 0) != 0) return true;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string s((std::istreambuf_iterator<char>(stat)), {});
  size_t paren = s.rfind(')');
  return paren != std::string::npos && s.compare(paren + 2, 1, "Z") == 0;
}

TEST(OutsidePrograms, AHungCommandEndsAtItsLimitWithWhatItStarted) {
  TempDir dir;
  std::string pidfile = dir.path() + "/pid";
  // The shell starts a child of its own and waits for it.
  std::string command = "sleep 1000 & echo $! > " + pidfile + "; echo started; wait";
  char line[32];
  int has_line = 0;
  EXPECT_EQ(qor_run_shell(command.c_str(), 1, line, sizeof line, &has_line), QOR_RUN_TIMEOUT);
  EXPECT_STREQ(line, "started");
  std::ifstream in(pidfile);
  pid_t child = 0;
  ASSERT_TRUE(in >> child);
  EXPECT_TRUE(testsupport::eventually([&] { return process_ended(child); }));
}

TEST(OutsidePrograms, DboemFromTheScriptsFirstLine) {
  TempDir dir;
  std::string script = dir.path() + "/get_db_home.sh";
  std::string old_path = getenv("PATH");
  setenv("PATH", (dir.path() + ":" + old_path).c_str(), 1);
  struct Case {
    const char* body;
    int32_t dboem;
    const char* log;
  } cases[] = {
      {"echo '5 /u01/app/oracle'", 5, "Got DBOEM: 5"},
      {"echo 2147483647", 2147483647, "Got DBOEM: 2147483647"},
      {"echo oracle", 0, "Got DBOEM: 0"},
      {"exit 0", 0, "Failed to get DBOEM."},
  };
  debug_on();   // "Got DBOEM" is a debug line
  for (const Case& c : cases) {
    std::ofstream(script) << "#!/bin/sh\n" << c.body << "\n";
    chmod(script.c_str(), 0755);
    libtest::take_syslog();
    EXPECT_EQ(get_dboem(), c.dboem) << c.body;
    EXPECT_TRUE(libtest::syslog_contains(c.log)) << c.body;
  }
  setenv("PATH", old_path.c_str(), 1);
}

}  // namespace
