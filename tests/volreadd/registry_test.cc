// volreadd's reading of the boot registry and its Add Protection message.
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "files.h"
#include "hm_nl.h"
#include "volreadd.h"

namespace {

const std::string kG1 = "1234abcd-0000-0000-0000-000000000000";
const std::string kG2 = "6f1d2c3b-aaaa-bbbb-cccc-0123456789ab";

std::string reg_line(const std::string& p, const std::string& pg,
                     const std::string& m, const std::string& mg) {
  return p + " volume_id_{" + pg + "} " + m + " volume_id_{" + mg + "} line_end\n";
}

struct Parsed {
  int result;
  std::string pname, pguid, mname, mguid;
};

Parsed parse(const std::string& line) {
  char buf[HM_REG_LINE] = {};
  snprintf(buf, sizeof(buf), "%s", line.c_str());
  char pn[HM_NAME_LEN], pg[HM_NAME_LEN], mn[HM_NAME_LEN], mg[HM_NAME_LEN];
  int r = parse_reg_line(buf, sizeof(buf), pn, pg, mn, mg);
  return {r, pn, pg, mn, mg};
}

TEST(VolreaddParse, RegistryLines) {
  const std::string name127 = "/dev/" + std::string(122, 'a');
  const std::string guid127(127, 'g');
  struct {
    const char* what;
    std::string line;
    Parsed want;
  } cases[] = {
      {"both disks", reg_line("/dev/sdb?", kG1, "/dev/sdc?", kG2),
       {0, "/dev/sdb?", kG1, "/dev/sdc?", kG2}},
      {"no mirror token", "/dev/sdb? volume_id_{" + kG1 + "} line_end\n",
       {0, "/dev/sdb?", kG1, "", ""}},
      {"mirror without its brace", "/dev/sdb? volume_id_{" + kG1 + "} /dev/sdc? volume_id_{x\n",
       {-1, "/dev/sdb?", kG1, "", ""}},
      {"leading blank", " " + reg_line("/dev/sdb?", kG1, "/dev/sdc?", kG2), {-1, "", "", "", ""}},
      {"blank line", "\n", {-1, "", "", "", ""}},
      {"no blank at all", std::string(600, 'x'), {-1, "", "", "", ""}},
      {"primary without brace", "/dev/sdb? volume_id_{" + kG1 + "\n", {-1, "", "", "", ""}},
      {"longest fields", reg_line(name127, guid127, name127, guid127),
       {0, name127, guid127, name127, guid127}},
      {"name too long", reg_line(name127 + "b", kG1, "/dev/sdc?", kG2), {-1, "", "", "", ""}},
      {"GUID too long", reg_line("/dev/sdb?", guid127 + "g", "/dev/sdc?", kG2), {-1, "", "", "", ""}},
      {"mirror GUID too long", reg_line("/dev/sdb?", kG1, "/dev/sdc?", guid127 + "g"),
       {-1, "/dev/sdb?", kG1, "", ""}},
  };
  for (const auto& c : cases) {
    Parsed got = parse(c.line);
    EXPECT_EQ(got.result, c.want.result) << c.what;
    EXPECT_EQ(got.pname, c.want.pname) << c.what;
    EXPECT_EQ(got.pguid, c.want.pguid) << c.what;
    EXPECT_EQ(got.mname, c.want.mname) << c.what;
    EXPECT_EQ(got.mguid, c.want.mguid) << c.what;
  }
}

class VolreaddRegistry : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/volreadd-reg-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/hmdevs.reg";
    volreadd_set_registry_path_for_test(path_.c_str());
    INIT_LIST_HEAD(&list_);
  }
  void TearDown() override {
    free_hmdevs_reg(&list_);
    volreadd_set_registry_path_for_test(nullptr);
    ASSERT_TRUE(testsupport::remove_tree(dir_));
  }
  int load(std::string* out) {
    testing::internal::CaptureStdout();
    int r = load_hmdevs_reg(&list_);
    *out = testing::internal::GetCapturedStdout();
    return r;
  }
  std::string dir_, path_;
  struct list_head list_;
};

TEST_F(VolreaddRegistry, MissingFile) {
  std::string out;
  EXPECT_EQ(load(&out), -1);
  EXPECT_EQ(out, "HMDEV.CONF file not exist!\n");
}

TEST_F(VolreaddRegistry, KeepsCompletePairsInFileOrder) {
  std::ofstream(path_) << reg_line("/dev/sdb?", kG1, "/dev/sdc?", kG2)
                       << "\n"
                       << "/dev/sdd? volume_id_{9999aaaa-0000-0000-0000-000000000000} line_end\n"
                       << "/dev/sde? volume_id_{} /dev/sdf? volume_id_{" << kG2 << "} line_end\n"
                       << reg_line("/dev/sdg?", "abcd0001-0000-0000-0000-000000000000",
                                   "/dev/sdh?", "7777-x");
  std::string out;
  ASSERT_EQ(load(&out), 0);
  // Names ending in "?" never give a size.
  EXPECT_NE(out.find("Failed to get disk /dev/sdb? size\n"), std::string::npos) << out;

  // The line without a mirror and the one with an empty GUID are skipped.
  hm_reg_entry* e = find_protection(&list_, kG1.c_str(), HM_SIDE_PRIMARY);
  ASSERT_NE(e, nullptr);
  EXPECT_STREQ(e->primary->name, "/dev/sdb?");
  EXPECT_STREQ(e->mirror->name, "/dev/sdc?");
  EXPECT_EQ(e->primary->size, 0u);
  EXPECT_EQ(find_protection(&list_, kG2.c_str(), HM_SIDE_MIRROR), e);
  EXPECT_EQ(find_protection(&list_, kG2.c_str(), HM_SIDE_PRIMARY), nullptr);
  EXPECT_EQ(find_protection(&list_, "9999aaaa-0000-0000-0000-000000000000", HM_SIDE_PRIMARY),
            nullptr);
  EXPECT_EQ(find_protection(&list_, "", HM_SIDE_PRIMARY), nullptr);
  // Exact text, not a prefix.
  EXPECT_EQ(find_protection(&list_, "7777", HM_SIDE_MIRROR), nullptr);
  EXPECT_NE(find_protection(&list_, "7777-x", HM_SIDE_MIRROR), nullptr);

  testing::internal::CaptureStdout();
  print_protections(&list_);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "HMDEV - 1:\n  primary: /dev/sdb? - " + kG1 + "\n  mirror:  /dev/sdc? - " + kG2 +
                "\nHMDEV - 2:\n  primary: /dev/sdg? - abcd0001-0000-0000-0000-000000000000\n"
                "  mirror:  /dev/sdh? - 7777-x\n\n");
}

TEST_F(VolreaddRegistry, EmptyListPrintsOneLineEnd) {
  testing::internal::CaptureStdout();
  print_protections(&list_);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n");
}

hm_reg_disk disk(const char* name, const std::string& guid, uint64_t size) {
  hm_reg_disk d = {};
  snprintf(d.name, sizeof(d.name), "%s", name);
  snprintf(d.guid, sizeof(d.guid), "%s", guid.c_str());
  d.size = size;
  return d;
}

TEST(VolreaddAddProtection, LaysOutBothRecordsAndPaths) {
  hm_reg_disk p = disk("/dev/sdd", kG1, 64 << 20);
  hm_reg_disk m = disk("/dev/sdc?", kG2, 1000);
  hm_reg_entry e = {};
  e.primary = &p;
  e.mirror = &m;

  uint8_t msg[HM_NL_PAYLOAD];
  int len = build_add_protection(&e, msg);
  hm_nl_header_t h;
  memcpy(&h, msg, sizeof(h));
  EXPECT_EQ(h.cmd, HM_NL_CMD_ADD_PROTECT);
  EXPECT_EQ(h.pad, 0);
  EXPECT_EQ(h.msg_len, 328 + 8 + 9);
  EXPECT_EQ(h.retcode, 0u);
  EXPECT_EQ(h.magic, HM_NL_MAGIC);
  EXPECT_EQ(len, 12 + h.msg_len);

  const uint8_t* body = msg + 12;
  hm_nl_header1_t h1;
  memcpy(&h1, body, sizeof(h1));
  EXPECT_EQ(h1.mode, 1);
  EXPECT_EQ(h1.nr_vol, 2);
  EXPECT_EQ(h1.fd, 0u);

  hm_nl_volume_t pv, mv;
  memcpy(&pv, body + 8, sizeof(pv));
  memcpy(&mv, body + 168 + 8, sizeof(mv));
  EXPECT_STREQ(pv.uuid, kG1.c_str());
  EXPECT_EQ(pv.dev_name_off, 168);
  EXPECT_EQ(pv.dev_name_len, 8);
  EXPECT_EQ(pv.sector_max, (64u << 20) / 512);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(body + 168), 8), "/dev/sdd");
  // The primary's record carries its signature, which the module stamps
  // into sector 0.
  EXPECT_EQ(pv.vid.mbp_volumeid.signature, 0x1234abcdu);
  EXPECT_EQ(pv.vid.mbp_volumeid.first_sector, 0u);

  EXPECT_STREQ(mv.uuid, kG2.c_str());
  EXPECT_EQ(mv.dev_name_off, 328 + 8);
  EXPECT_EQ(mv.dev_name_len, 9);
  EXPECT_EQ(mv.sector_max, 2u);
  uint8_t zero[16] = {};
  EXPECT_EQ(memcmp(&mv.vid, zero, sizeof(zero)), 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(body + 336), 9), "/dev/sdc?");
  for (int i = 12 + h.msg_len; i < HM_NL_PAYLOAD; i++) ASSERT_EQ(msg[i], 0) << i;
}

TEST(VolreaddMain, RefusesAMissingOrOverlongPath) {
  const std::string too_long = "/dev/" + std::string(123, 'x');
  for (std::vector<std::string> args : {std::vector<std::string>{"volreadd"},
                                        {"volreadd", ""},
                                        {"volreadd", too_long}}) {
    std::vector<char*> argv;
    for (std::string& s : args) argv.push_back(s.data());
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    EXPECT_EQ(volreadd_main(static_cast<int>(args.size()), argv.data()), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("usage: volreadd", 0), 0u) << out;
  }
}

}  // namespace
