// The configuration file, the boot registry and the option file: what is
// written, that it reads back, and how damaged files are taken.
#include <errno.h>
#include <signal.h>
#include <string.h>
#include <time.h>
#include <sys/stat.h>
#include <syslog.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "eventually.h"
#include "fake_host.h"
#include "hm_conf.h"
#include "log_capture.h"
#include "hm_registry.h"
#include "hm_startup.h"
#include "hm_sys.h"

namespace {

const char kMirrorGuid[] = "6c3f1b2a-1111-2222-3333-444455556666";

class ConfTest : public fake::Host {
 protected:
  void SetUp() override {
    fake::Host::SetUp();
    add_disk("sdb", {fake::sig_guid(0x5d3f2a10), 1073741824, 2, false, 0x5d3f2a10});
    add_disk("sdc", {kMirrorGuid, 2147483648ull, 2, true, 0});
  }
  static int count() {
    int n = 0;
    struct list_head* pos;
    list_for_each(pos, &hmdev_registry.hmdev_list) n++;
    return n;
  }
  static void clear_registry() {
    while (count()) {
      struct hmdev* d = at(0);
      hmdev_list_del(d);
      hmdev_put(d);
    }
    hmdev_registry_init();
  }
  static struct hmdev* at(int i) {
    struct list_head* pos = hmdev_registry.hmdev_list.next;
    while (i--) pos = pos->next;
    return list_entry(pos, struct hmdev, list);
  }
};

const char kOneBlock[] =
    "hmdev {\n"
    "\tmode = 1\n"
    "\tstatus = 4\n"
    "\tis_ha = 0\n"
    "\thmvol {\n"
    "\t\tname = /dev/sdb\n"
    "\t\tid_type = 1\n"
    "\t\tsignature = 5d3f2a10\n"
    "\t\tguid = 5d3f2a10-0000-0000-0000-000000000000\n"
    "\t\tmajor = 1\n"
    "\t\tactive = 1\n"
    "\t\tis_disk = 1\n"
    "\t\tlock = 0\n"
    "\t\tsize = 1073741824\n"
    "\t}\n"
    "\thmvol {\n"
    "\t\tname = /dev/sdc?\n"
    "\t\tid_type = 2\n"
    "\t\tsignature = 0\n"
    "\t\tguid = 6c3f1b2a-1111-2222-3333-444455556666\n"
    "\t\tmajor = 2\n"
    "\t\tactive = 0\n"
    "\t\tis_disk = 1\n"
    "\t\tlock = 0\n"
    "\t\tsize = 2147483648\n"
    "\t}\n"
    "}\n";

const char kOneLine[] =
    "/dev/sdb? volume_id_{5d3f2a10-0000-0000-0000-000000000000} /dev/sdc? "
    "volume_id_{6c3f1b2a-1111-2222-3333-444455556666} line_end\n";

TEST_F(ConfTest, WritesTheExactBlockAndBootLine) {
  struct hmdev* d = add_protection("/dev/sdb", 0x5d3f2a10, "/dev/sdc", kMirrorGuid, 4);
  hmvol_mark_missing(d->mirror);
  hmvol_mark_missing(d->mirror);  // one mark only
  d->mirror->active = 0;
  hm_set_conf_dirty(0);
  mode_t old = umask(0);  // as the daemon runs
  ASSERT_EQ(write_hmdevs_to_conf(), 0);
  umask(old);
  EXPECT_EQ(read("conf/hmdev.conf"), kOneBlock);
  EXPECT_EQ(read("boot/hmdevs.reg"), kOneLine);
  EXPECT_EQ(fake::script_count(), 0u);
  struct stat st;
  ASSERT_EQ(stat(path("conf/hmdev.conf").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u) << "not writable by every user";
  ASSERT_EQ(stat(path("boot/hmdevs.reg").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  EXPECT_NE(stat(path("conf/hmdev.conf_back").c_str(), &st), 0) << "temporary file left behind";
  EXPECT_NE(stat(path("boot/hmdevs.reg_back").c_str(), &st), 0) << "temporary file left behind";
}

TEST_F(ConfTest, NothingDueOpensNothing) {
  add_protection("/dev/sdb", 0x5d3f2a10, "/dev/sdc", kMirrorGuid);
  EXPECT_EQ(write_hmdevs_to_conf(), 0);
  struct stat st;
  EXPECT_NE(stat(path("conf/hmdev.conf").c_str(), &st), 0);
  EXPECT_NE(stat(path("boot/hmdevs.reg").c_str(), &st), 0);
}

TEST_F(ConfTest, BootScriptRunsOnceAfterProtect) {
  add_protection("/dev/sdb", 0x5d3f2a10, "/dev/sdc", kMirrorGuid);
  hm_set_conf_dirty(1);
  write_hmdevs_to_conf();
  hm_set_conf_dirty(0);  // a later status change
  write_hmdevs_to_conf();
  EXPECT_EQ(fake::script_count(), 1u);
}

// The script runs after its rewrite and outside every lock: while it hangs,
// rewrites and status reads (which rewrite when due) go on.
TEST_F(ConfTest, HangingBootScriptHoldsNoRewrite) {
  add_protection("/dev/sdb", 0x5d3f2a10, "/dev/sdc", kMirrorGuid);
  static std::atomic<bool> started{false}, release{false};
  started = release = false;
  g_disk_ops.run = [](const char*) {
    started = true;
    testsupport::eventually([] { return release.load(); }, std::chrono::seconds(10), std::chrono::milliseconds(1));
    return 0;
  };
  hm_set_conf_dirty(1);
  EXPECT_EQ(write_hmdevs_to_conf(), 0);
  ASSERT_TRUE(testsupport::eventually([] { return started.load(); })) << "after its rewrite";
  EXPECT_EQ(read("boot/hmdevs.reg"), kOneLine);
  hm_set_conf_dirty(0);
  std::atomic<bool> done{false};
  std::thread other([&] {
    write_hmdevs_to_conf();
    done = true;
  });
  EXPECT_TRUE(testsupport::eventually([&] { return done.load(); }, std::chrono::seconds(2)))
      << "a rewrite while the script hangs";
  release = true;
  other.join();
  EXPECT_EQ(hm_boot_script_wait(5000), 0);
}

// The script's time is bounded: a script that hangs is killed with what it
// started, and the daemon goes on.
TEST_F(ConfTest, BootScriptIsBoundedInTime) {
  hm_disk_ops fakes = g_disk_ops;
  hm_sys_reset();
  int (*plain_run)(const char*) = g_disk_ops.run;
  g_disk_ops = fakes;
  g_run_limit_s = 1;
  std::string pidfile = path("shell.pid");
  std::string cmd = "echo $$ > " + pidfile + "; sleep 30 & sleep 30";
  timespec t0, t1;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  int rc = plain_run(cmd.c_str());
  clock_gettime(CLOCK_MONOTONIC, &t1);
  g_run_limit_s = 300;
  EXPECT_NE(rc, 0);
  EXPECT_LT(t1.tv_sec - t0.tv_sec, 5) << "ended by its limit";
  pid_t group = atoi(read("shell.pid").c_str());
  ASSERT_GT(group, 0);
  EXPECT_TRUE(testsupport::eventually([&] { return kill(-group, 0) != 0; })) << "what it started is gone too";
  EXPECT_EQ(plain_run("exit 3"), 3 << 8) << "a script that ends gives its status";
}

TEST_F(ConfTest, FailedRewriteKeepsBothFlagsAndOldFile) {
  add_protection("/dev/sdb", 0x5d3f2a10, "/dev/sdc", kMirrorGuid);
  write("conf/hmdev.conf", "old\n");
  ASSERT_EQ(rmdir(path("boot/vyrbitmap").c_str()), 0);
  ASSERT_EQ(rmdir(path("boot").c_str()), 0);  // the boot registry cannot be made
  hm_set_conf_dirty(1);
  write_hmdevs_to_conf();
  EXPECT_EQ(read("conf/hmdev.conf"), "old\n");
  EXPECT_EQ(hmdev_registry.conf_dirty, 1);
  EXPECT_EQ(hmdev_registry.conf_update_boot, 1);
  EXPECT_EQ(fake::script_count(), 0u);
  ASSERT_EQ(mkdir(path("boot").c_str(), 0755), 0);
  EXPECT_EQ(write_hmdevs_to_conf(), 0);
  EXPECT_EQ(read("boot/hmdevs.reg"), kOneLine);
  EXPECT_EQ(fake::script_count(), 1u);
}

TEST_F(ConfTest, ReadsBackWhatWasWritten) {
  struct hmdev* a = add_protection("/dev/sdb", 0x5d3f2a10, "/dev/sdc", kMirrorGuid, 0x10000004);
  a->is_ha = 1;
  a->mode = 1;
  a->mirror->lock = 2;
  hmvol_mark_missing(a->mirror);
  hm_set_conf_dirty(0);
  ASSERT_EQ(write_hmdevs_to_conf(), 0);
  std::string written = read("conf/hmdev.conf");

  clear_registry();
  ASSERT_EQ(init_hmdev_info(), 0);
  ASSERT_EQ(count(), 1);
  struct hmdev* b = at(0);
  EXPECT_EQ(b->index, 0);
  EXPECT_EQ(b->mode, 1);
  EXPECT_EQ(b->status, 0x10000004u);
  EXPECT_EQ(b->is_ha, 1);
  EXPECT_STREQ(b->uuid, "5d3f2a10-0000-0000-0000-000000000000");
  EXPECT_STREQ(b->primary->name, "/dev/sdb");
  EXPECT_EQ(b->primary->vid.mbp_volumeid.signature, 0x5d3f2a10u);
  EXPECT_EQ(b->primary->size, 1073741824u);
  EXPECT_STREQ(b->mirror->name, "/dev/sdc?");
  EXPECT_STREQ(b->mirror->guid, kMirrorGuid);
  EXPECT_EQ(b->mirror->major, 2);
  EXPECT_EQ(b->mirror->lock, 2);
  EXPECT_EQ(b->mirror->id_type, 2);
  hm_set_conf_dirty(0);
  ASSERT_EQ(write_hmdevs_to_conf(), 0);
  EXPECT_EQ(read("conf/hmdev.conf"), written);
}

TEST_F(ConfTest, IndexesFollowFileOrder) {
  std::string three = std::string(kOneBlock) + kOneBlock + kOneBlock;
  write("conf/hmdev.conf", three);
  ASSERT_EQ(init_hmdev_info(), 0);
  ASSERT_EQ(count(), 3);
  for (int i = 0; i < 3; i++) EXPECT_EQ(at(i)->index, i);
}

std::string replace(std::string s, const std::string& from, const std::string& to) {
  size_t at = s.find(from);
  if (at != std::string::npos) s.replace(at, from.size(), to);
  return s;
}

struct Damaged {
  const char* what;
  std::string text;
  int blocks;       // protections taken
  const char* primary_name;
  std::vector<std::string> said;   // error lines (after the file's path); none: nothing skipped
};

// The error-level lines the daemon logged since the last call.
std::vector<std::string> error_lines() {
  std::vector<std::string> out;
  for (const auto& l : libtest::take_syslog())
    if (l.priority == LOG_ERR) out.push_back(l.text);
  return out;
}

// A block whose middle lines are random bytes, as a damaged sector leaves it.
std::string with_random_bytes(const std::string& block, size_t from, size_t len) {
  std::string s = block;
  uint32_t x = 12345;
  for (size_t i = from; i < from + len && i < s.size(); i++) {
    x = x * 1103515245u + 12345u;
    s[i] = static_cast<char>(x >> 24);
  }
  return s;
}

TEST_F(ConfTest, DamagedFiles) {
  std::string mirror_block = std::string(kOneBlock).substr(std::string(kOneBlock).find("\thmvol {\n\t\tname = /dev/sdc"));
  mirror_block = mirror_block.substr(0, mirror_block.find("\t}\n") + 3);
  const std::string block(kOneBlock);
  const std::string pguid = "5d3f2a10-0000-0000-0000-000000000000";
  const Damaged cases[] = {
      {"empty file", "", 0, nullptr, {}},
      {"no mirror", replace(kOneBlock, mirror_block, ""), 0, nullptr,
       {"hmdev block " + pguid + " of lines 1 to 16 lacks a volume or is damaged, skipped"}},
      {"two mirrors", replace(kOneBlock, mirror_block, mirror_block + mirror_block), 0, nullptr,
       {"hmdev block " + pguid + " of lines 1 to 38 lacks a volume or is damaged, skipped"}},
      {"no closing brace at the end", block.substr(0, block.size() - 2), 1, "/dev/sdb", {}},
      {"garbage between blocks", std::string("junk = 1\nnonsense\n") + kOneBlock + "}}}\n", 1,
       "/dev/sdb",
       {"lines 1 to 2 are no part of an hmdev block, skipped",
        "lines 30 to 30 are no part of an hmdev block, skipped"}},
      {"an overlong name is cut, not overrun",
       replace(kOneBlock, "name = /dev/sdb", "name = /dev/" + std::string(2000, 'x')), 1, nullptr,
       {}},
      {"a long line's rest cannot close the block",
       replace(kOneBlock, "is_ha = 0", "is_ha = 0" + std::string(1100, ' ') + "}"), 1, "/dev/sdb",
       {}},
      {"a damaged block does not stop the next",
       replace(kOneBlock, mirror_block, "") + kOneBlock, 1, "/dev/sdb",
       {"hmdev block " + pguid + " of lines 1 to 16 lacks a volume or is damaged, skipped"}},
      {"no newline at the end", block.substr(0, block.size() - 1), 1, "/dev/sdb", {}},
      {"a line inside a block that the writer never writes",
       replace(kOneBlock, "\t\tmajor = 2\n", "\t\tmajor = 2\n\t\tx\x01\n"), 0, nullptr,
       {"hmdev block " + pguid + " of lines 1 to 28 lacks a volume or is damaged, skipped"}},
      {"a volume without its identity", replace(kOneBlock, "\t\tsignature = 5d3f2a10\n", ""), 0,
       nullptr, {"hmdev block (unknown) of lines 1 to 26 lacks a volume or is damaged, skipped"}},
      {"the block's first line destroyed", with_random_bytes(block, 0, 8) + kOneBlock, 1,
       "/dev/sdb", {"lines 1 to 26 are no part of an hmdev block, skipped"}},
      {"random bytes in the middle of a block", with_random_bytes(block, 60, 200), 0, nullptr,
       {"lacks a volume or is damaged, skipped"}},
  };
  for (const Damaged& c : cases) {
    SCOPED_TRACE(c.what);
    clear_registry();
    write("conf/hmdev.conf", c.text);
    error_lines();
    init_hmdev_info();
    std::vector<std::string> said = error_lines();
    size_t found = 0;
    for (const std::string& want : c.said)
      for (const std::string& line : said)
        if (line.find(path("conf/") + "/hmdev.conf: ") == 0 && line.find(want) != std::string::npos)
          found++;
    EXPECT_EQ(found, c.said.size()) << ::testing::PrintToString(said);
    EXPECT_EQ(hmdev_registry.conf_damaged, c.said.empty() ? 0 : 1);
    ASSERT_EQ(count(), c.blocks);
    if (c.blocks) {
      struct hmdev* d = at(0);
      ASSERT_NE(d->primary, nullptr);
      ASSERT_NE(d->mirror, nullptr);
      EXPECT_LT(strlen(d->primary->name), sizeof(d->primary->name));
      if (c.primary_name) {
        EXPECT_STREQ(d->primary->name, c.primary_name);
      }
      EXPECT_EQ(d->is_ha, 0);
    }
  }
}

// A rewrite from the registry would drop what could not be read from both
// files: after a damaged read they stay as they are, and every change that
// is not saved is said.
TEST_F(ConfTest, DamagedFileAndBootRegistryAreLeftForRepair) {
  std::string damaged = std::string("\x07\x01junk\n") + kOneBlock;
  write("conf/hmdev.conf", damaged);
  write("boot/hmdevs.reg", kOneLine);
  init_client_conf();
  ASSERT_EQ(count(), 1) << "the intact block is taken";
  error_lines();
  at(0)->status |= 1u << 2;   // a change the kernel's next status makes
  hm_set_conf_dirty(1);
  EXPECT_EQ(write_hmdevs_to_conf(), -EROFS);
  std::vector<std::string> said = error_lines();
  ASSERT_EQ(said.size(), 1u) << ::testing::PrintToString(said);
  EXPECT_NE(said[0].find("hmdev.conf was damaged when read: it and " + path("boot/hmdevs.reg") +
                         " are left as they are for repair"),
            std::string::npos)
      << said[0];
  EXPECT_EQ(read("conf/hmdev.conf"), damaged);
  EXPECT_EQ(read("boot/hmdevs.reg"), kOneLine);
  EXPECT_EQ(fake::script_count(), 0u);
  EXPECT_EQ(write_hmdevs_to_conf(), 0) << "nothing due until the next change";
  EXPECT_TRUE(error_lines().empty());
}

TEST_F(ConfTest, MissingFileLeavesRegistryEmpty) {
  EXPECT_LT(init_hmdev_info(), 0);
  EXPECT_EQ(count(), 0);
}

TEST(SplitKeyValue, Table) {
  struct {
    const char* line;
    const char* key;
    const char* value;
  } cases[] = {
      {"\t\tname =   /dev/sdb  \n", "name", "/dev/sdb  "},
      {"na me = x\n", "name", "x"},
      {"key = a = b\n", "key", "a = b"},
      {"key =   \n", "key", ""},
      {"no equal sign\n", "noequalsign", ""},
  };
  for (auto& c : cases) {
    char key[64], value[64];
    split_key_value(c.line, key, value);
    EXPECT_STREQ(key, c.key) << c.line;
    EXPECT_STREQ(value, c.value) << c.line;
  }
}

TEST(VolumeKeys, SignatureAndGuidDependOnIdType) {
  struct hmvol v;
  hmvol_init(&v);
  add_key_value_to_hmvol(&v, "id_type", "1");
  add_key_value_to_hmvol(&v, "signature", "0x1f");
  add_key_value_to_hmvol(&v, "guid", "ignored-for-a-signature-volume");
  EXPECT_EQ(v.vid.mbp_volumeid.signature, 0x1fu);
  EXPECT_STREQ(v.guid, "0000001f-0000-0000-0000-000000000000");
  struct hmvol w;
  hmvol_init(&w);
  add_key_value_to_hmvol(&w, "id_type", "2");
  add_key_value_to_hmvol(&w, "signature", "1234");
  EXPECT_EQ(w.vid.mbp_volumeid.signature, 0u);
  add_key_value_to_hmvol(&w, "guid", std::string(300, 'g').c_str());
  EXPECT_EQ(strlen(w.guid), sizeof(w.guid) - 1);
  add_key_value_to_hmvol(&w, "lock", "7");
  EXPECT_EQ(w.lock, 2);
}

TEST_F(ConfTest, OptionFile) {
  get_conf_value("auto_del_faulty_mirror_disk", g_auto_del_faulty_mirror_disk,
                 sizeof(g_auto_del_faulty_mirror_disk));
  EXPECT_STREQ(g_auto_del_faulty_mirror_disk, "") << "no file: option off";
  write("conf/zelmir.conf",
        "# auto_del_faulty_mirror_disk = no\nother = 1\nauto_del_faulty_mirror_disk = yes\n");
  auto_del_faulty_mirror_disk();
  EXPECT_STREQ(g_auto_del_faulty_mirror_disk, "auto_del_faulty_mirror_disk = yes\n");
  write("conf/zelmir.conf", "auto_del_faulty_mirror_disk = " + std::string(500, 'y') + "\n");
  auto_del_faulty_mirror_disk();
  EXPECT_EQ(strlen(g_auto_del_faulty_mirror_disk), sizeof(g_auto_del_faulty_mirror_disk) - 1);
}

std::string block(const std::string& pname, uint32_t sig, const std::string& mname,
                  const std::string& mguid, const std::string& status) {
  char sigtext[16];
  snprintf(sigtext, sizeof(sigtext), "%x", sig);
  std::string b = replace(kOneBlock, "name = /dev/sdb", "name = " + pname);
  b = replace(b, "signature = 5d3f2a10", std::string("signature = ") + sigtext);
  b = replace(b, "name = /dev/sdc?", "name = " + mname);
  b = replace(b, std::string("guid = ") + kMirrorGuid, "guid = " + mguid);
  return replace(b, "status = 4", "status = " + status);
}

// Start-up: a primary that moved is followed, a lost one is not sent, a
// stopped one is not sent; the files are rewritten for the moved name.
TEST_F(ConfTest, StartUpRefindsAndRegisters) {
  std::string text = block("/dev/sdx", 0x5d3f2a10, "/dev/sdc?", kMirrorGuid, "4") +
                     block("/dev/sde", 0x22222222, "/dev/sdf", "7c3f1b2a-1111-2222-3333-444455556666", "4") +
                     block("/dev/sdg", 0x33333333, "/dev/sdh", "8c3f1b2a-1111-2222-3333-444455556666",
                           "10000004");
  write("conf/hmdev.conf", text);
  add_disk("sdg", {fake::sig_guid(0x33333333), 1 << 30, 2, false, 0x33333333});
  init_client_conf();
  ASSERT_EQ(count(), 3);
  EXPECT_STREQ(at(0)->primary->name, "/dev/sdb");
  EXPECT_STREQ(at(0)->mirror->name, "/dev/sdc");
  EXPECT_EQ(at(0)->nr_vol, 2);
  EXPECT_STREQ(at(1)->primary->name, "/dev/sde?");
  EXPECT_EQ(at(1)->primary->active, 0);
  EXPECT_EQ(at(1)->nr_vol, 0);
  EXPECT_STREQ(at(2)->mirror->name, "/dev/sdh?");
  EXPECT_EQ(at(2)->nr_vol, 1);
  ASSERT_EQ(k.commands(), std::vector<int>{HM_NL_CMD_ADD_PROTECT})
      << "only the protection that moved is sent";
  std::string reg = read("boot/hmdevs.reg");
  EXPECT_NE(reg.find("/dev/sdb? volume_id_{5d3f2a10"), std::string::npos) << reg;
  EXPECT_NE(read("conf/hmdev.conf").find("name = /dev/sdb\n"), 0u);
  EXPECT_EQ(fake::script_count(), 0u) << "no boot image at start-up";
}

// Start-up with a clone of the primary that sorts first: the signature
// names no disk, the protection is not sent and its names stay as they were.
TEST_F(ConfTest, StartUpWithAClonedPrimarySendsNothing) {
  write("conf/hmdev.conf", block("/dev/sdb", 0x5d3f2a10, "/dev/sdc", kMirrorGuid, "4"));
  fake::disks.clear();
  fake::block_names.clear();
  add_disk("sda", {fake::sig_guid(0x5d3f2a10), 1 << 30, 2, false, 0x5d3f2a10});
  add_disk("sdb", {fake::sig_guid(0x5d3f2a10), 1 << 30, 2, false, 0x5d3f2a10});
  add_disk("sdc", {kMirrorGuid, 1ull << 31, 2, true, 0});
  init_client_conf();
  ASSERT_EQ(count(), 1);
  EXPECT_STREQ(at(0)->primary->name, "/dev/sdb");
  EXPECT_EQ(at(0)->primary->active, 0);
  EXPECT_EQ(at(0)->primary->ambiguous, 1);
  EXPECT_TRUE(k.commands().empty());
}

TEST_F(ConfTest, StartUpWithoutFileWritesAndSendsNothing) {
  init_client_conf();
  EXPECT_EQ(count(), 0);
  EXPECT_TRUE(k.commands().empty());
  struct stat st;
  EXPECT_NE(stat(path("conf/hmdev.conf").c_str(), &st), 0);
}

}  // namespace
