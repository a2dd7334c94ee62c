// The request parsers: what each reads from a request, what each refuses
// and the texts it logs.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "doc_test_util.h"
#include "log_capture.h"
#include "mirapi/log.h"
#include "qor_parse.h"
#include "qor_report.h"
#include "zel/zel_app.h"

namespace {

using doctest::doc;
using doctest::guids_of;
using doctest::has_line;
using doctest::ips_of;
using doctest::str;
using libtest::SyslogLine;
using libtest::take_syslog;

void app_release(ZelApp* app) {
  if (app == nullptr) return;
  free(app->instance_name);
  free(app->type_name);
  free(app->db_user);
  free(app->db_passwd);
  free(app->oracle_home);
  free(app->host);
  free(app->port);
  free(app);
}

class ParseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    set_log_level(7);
    take_syslog();
  }
};

// ---------------------------------------------------------------------------
// Documents that cannot be used, for every parser: each has its own texts.

// Runs one parser on a text; true when the parser reported failure.
using Runner = std::function<bool(const char*)>;

struct DocCase {
  const char* parser;
  Runner fails;
  const char* null_text;  // null: a missing document is refused silently
  const char* parse_text;
  const char* bad_root_text;
};

template <typename T, typename F>
Runner null_result(F parse, void (*release)(T*)) {
  return [parse, release](const char* xml) {
    T* r = parse(xml);
    release(r);
    return r == nullptr;
  };
}

void free_text(char* p) { free(p); }

std::vector<DocCase> doc_cases() {
  return {
      {"xml_to_ZelApp", null_result<ZelApp>([](const char* x) { int c; return xml_to_ZelApp(x, &c); }, app_release),
       nullptr, "Failed to parse xml document", "Error: xml's root node must be 'Tidewell'"},
      {"xml_to_backup_grp",
       null_result<backup_group>([](const char* x) { int c; return xml_to_backup_grp(x, &c); }, backup_grp_free),
       nullptr, "Failed to parse xml document", "Error: xml's root node must be 'Tidewell'"},
      {"xml_zel_to_backup_grp",
       null_result<backup_group>([](const char* x) { int c; return xml_zel_to_backup_grp(x, &c); },
                                 backup_grp_free),
       nullptr, "Failed to parse xml document.", "Error: xml's root node must be 'Tidewell'."},
      {"xml_to_manager", null_result<qor_manager>(xml_to_manager, qor_manager_free), nullptr,
       "Failed to parse xml document", "Error: xml's root node must be 'Tidewell'"},
      {"xml_to_alias", null_result<char>(xml_to_alias, free_text), nullptr,
       "Failed to parse xml document", "Error: xml's root node must be 'Tidewell'"},
      {"xml_to_bp_srcguid",
       [](const char* x) {
         struct list_head l;
         INIT_LIST_HEAD(&l);
         int rc = xml_to_bp_srcguid(x, &l);
         guid_list_free(&l);
         return rc == -1;
       },
       "Failed to parse XML request, null pointer.", "Failed to parse XML request.",
       "Error: xml's root node must be 'Tidewell'"},
      {"xml_to_bg_info",
       [](const char* x) {
         char g[QOR_ARG_BUF] = "", n[QOR_ARG_BUF] = "";
         return xml_to_bg_info(g, n, x) == -1;
       },
       nullptr, "Failed to parse xml document", "Error: xml's root node must be 'Tidewell'"},
      {"xml_to_del_grp",
       null_result<backup_group>([](const char* x) { int c; return xml_to_del_grp(x, &c); }, backup_grp_free),
       nullptr, "Failed to parse xml buffer.", "Unexpected root element."},
      {"xml_to_snap_guid",
       [](const char* x) {
         char* src = nullptr;
         int t, c;
         int rc = xml_to_snap_guid(x, &src, &t, &c);
         free(src);
         return rc == -1;
       },
       nullptr, "Failed to parse xml document", "Error: xml's root node must be 'Tidewell'"},
      {"xml_zel_to_snapshot",
       [](const char* x) {
         char* src = nullptr;
         int t, c;
         int rc = xml_zel_to_snapshot(x, &src, &t, &c);
         free(src);
         return rc == -1;
       },
       nullptr, "Failed to parse xml document", "Error :xml's root node must be 'Tidewell'."},
      {"xml_to_snap_vol_guid",
       [](const char* x) {
         struct list_head l;
         int rc = xml_to_snap_vol_guid(x, &l);
         guid_list_free(&l);
         return rc == -1;
       },
       "Null xml doc.", "Failed to parse xml document", "Error: xml's root node must be 'Tidewell'"},
      {"xml_to_instance_name",
       null_result<char>([](const char* x) { int c; return xml_to_instance_name(x, &c); }, free_text),
       nullptr, "Failed to parse xml document", "Error: xml's root node must be 'Tidewell'"},
      {"xml_to_pair",
       [](const char* x) {
         char s[QOR_ARG_BUF] = "keep", c[QOR_ARG_BUF] = "keep";
         xml_to_pair(s, c, x);
         return strcmp(s, "keep") == 0 && strcmp(c, "keep") == 0;
       },
       "Invalid input parameter", "Failed to parse xml document",
       "Error: xml's root node must be 'Tidewell'"},
      {"xml_to_cdpsch_list",
       [](const char* x) {
         struct list_head l;
         INIT_LIST_HEAD(&l);
         qor_schedule s{};
         char g[QOR_ARG_BUF] = "";
         int rc = xml_to_cdpsch_list(x, &l, &s, g);
         cdpsch_list_free(&l);
         return rc == -1;
       },
       "Error, empty XML doc.", "Failed to parse xml document", "Error: Unexpected root element."},
      {"xml_to_volname",
       [](const char* x) {
         char src[QOR_ARG_BUF] = "", dest[QOR_ARG_BUF] = "";
         return xml_to_volname(x, src, dest) == -1;
       },
       nullptr, "Failed to parse xml document", "Error: xml's root node must be 'Tidewell'"},
      {"xml_to_qor", null_result<qor_t>(xml_to_qor, qor_free), nullptr, "Failed to parse xml document",
       "Error: xml's root node must be 'Tidewell'"},
  };
}

// Documents whose every element a parser could want is present, but which
// must not be read all the same.
const std::string& oversized() {
  // Well formed, and one byte longer than any peer may send.
  static const std::string text = [] {
    std::string body = "<Tidewell>";
    body += std::string(QOR_XML_MAX_LEN - body.size() - strlen("</Tidewell>") + 1, ' ');
    return body + "</Tidewell>";
  }();
  return text;
}

const std::string& deeply_nested() {
  static const std::string text = [] {
    std::string s = "<Tidewell>";
    for (int i = 0; i < 100000; i++) s += "<a>";
    for (int i = 0; i < 100000; i++) s += "</a>";
    return s + "</Tidewell>";
  }();
  return text;
}

TEST_F(ParseTest, UnusableDocumentsFailWithEachParsersText) {
  const std::string with_entity =
      "<?xml version=\"1.0\"?><!DOCTYPE Tidewell [<!ENTITY e \"zel_{G}\">]>"
      "<Tidewell><Snap SourceType=\"0\" Source=\"&e;\" IsCluster=\"0\"/></Tidewell>";
  const std::string with_dtd =
      "<?xml version=\"1.0\"?><!DOCTYPE Tidewell SYSTEM \"http://192.0.2.1/t.dtd\"><Tidewell/>";
  const struct {
    const char* what;
    const char* text;
    bool bad_root;
  } inputs[] = {
      {"empty payload", "", false},
      {"not XML", "Tidewell", false},
      {"unterminated", "<Tidewell><Snap", false},
      {"entity declared", with_entity.c_str(), false},
      {"external DTD", with_dtd.c_str(), false},
      {"longer than any peer sends", oversized().c_str(), false},
      {"nested beyond reason", deeply_nested().c_str(), false},
      {"root in lower case", "<tidewell><Snap/></tidewell>", true},
      {"other root", "<Other><Tidewell/></Other>", true},
  };
  for (const DocCase& c : doc_cases()) {
    SCOPED_TRACE(c.parser);
    take_syslog();
    EXPECT_TRUE(c.fails(nullptr));
    std::vector<SyslogLine> lines = take_syslog();
    if (c.null_text != nullptr) {
      EXPECT_TRUE(has_line(lines, 3, c.null_text)) << doctest::dump(lines);
    } else {
      EXPECT_TRUE(lines.empty()) << doctest::dump(lines);
    }

    for (const auto& in : inputs) {
      SCOPED_TRACE(in.what);
      EXPECT_TRUE(c.fails(in.text));
      lines = take_syslog();
      EXPECT_TRUE(has_line(lines, 3, in.bad_root ? c.bad_root_text : c.parse_text))
          << doctest::dump(lines);
    }
  }
}

// ---------------------------------------------------------------------------
// The GUID between braces, as CREATE_SNAPSHOT, ZEL_CREATE_CDP and
// SNAP_RESTORE read it.

struct BraceCase {
  const char* value;
  const char* disk_source;  // what a disk's Source becomes
};

const BraceCase kBraceCases[] = {
    {"zel_{6000c29a-1b2c}", "6000c29a-1b2c"},
    {"x{G}", "G"},
    {"zel_{G}tail}", "G"},          // up to the first closing brace
    {"zel_{G", "G"},                // no closing brace: the rest
    {"{G}", "{G}"},                 // a brace first is no prefix
    {"zel_{}", "zel_{}"},           // nothing between the braces
    {"zel_{", "zel_{"},
    {"plain-guid", "plain-guid"},   // no brace at all
    {"", ""},
};

TEST_F(ParseTest, SnapSourceOfADiskIsTheGuidInBraces) {
  for (const BraceCase& c : kBraceCases) {
    SCOPED_TRACE(c.value);
    for (bool zel : {false, true}) {
      std::string xml = doc(std::string("<Snap SourceType=\"0\" Source=\"") + c.value +
                            "\" IsCluster=\"1\"/>");
      char* src = nullptr;
      int type = -1, cluster = -1;
      int rc = zel ? xml_zel_to_snapshot(xml.c_str(), &src, &type, &cluster)
                   : xml_to_snap_guid(xml.c_str(), &src, &type, &cluster);
      EXPECT_EQ(rc, 0);
      EXPECT_EQ(str(src), c.disk_source);
      EXPECT_EQ(type, QOR_SOURCE_DISK);
      // IsCluster is read only by CREATE_SNAPSHOT.
      EXPECT_EQ(cluster, zel ? 0 : 1);
      free(src);
    }
  }
}

TEST_F(ParseTest, SnapRestoreTakesTheGuidInBracesOfEverySnap) {
  std::string body;
  std::vector<std::string> want;
  for (const BraceCase& c : kBraceCases) {
    body += std::string("<Snap SnapVolGUID=\"") + c.value + "\"/>";
    want.push_back(c.disk_source);
  }
  std::string xml = doc("<Snap/><Other SnapVolGUID=\"zel_{X}\"/><!-- c -->" + body);
  struct list_head guids;
  ASSERT_EQ(xml_to_snap_vol_guid(xml.c_str(), &guids), 0);
  EXPECT_EQ(guids_of(&guids), want);
  guid_list_free(&guids);
  auto lines = take_syslog();
  EXPECT_TRUE(has_line(lines, 7, "Extracted GUID: zel_{6000c29a-1b2c}")) << doctest::dump(lines);
  EXPECT_TRUE(has_line(lines, 3, "Node Snap doesn't contain SnapVolGUID property, ignore!"));

  EXPECT_EQ(xml_to_snap_vol_guid(doc("").c_str(), nullptr), -1);
  EXPECT_TRUE(has_line(take_syslog(), 3, "Null list of guids."));
}

TEST_F(ParseTest, SnapTypesAndMissingParts) {
  struct Case {
    const char* body;
    int rc, zel_rc;
    const char* source;  // the source handed over, also on failure
    int type;            // -1: not written
    int cluster;         // CREATE_SNAPSHOT's flag; -1: not written
    const char* text;    // logged at level 3 by CREATE_SNAPSHOT
  } cases[] = {
      {"<Snap SourceType=\"1\" Source=\"zel_{G}\" IsCluster=\"0\"/>", 0, 0, "zel_{G}", 1, 0, nullptr},
      {"<Snap SourceType=\"00\" Source=\"zel_{G}\" IsCluster=\"true\"/>", 0, 0, "zel_{G}", 1, 0,
       nullptr},
      {"<Snap SourceType=\"\" Source=\"g\" IsCluster=\"1\"/>", 0, 0, "g", 1, 1, nullptr},
      {"<Snap SourceType=\"0\" Source=\"zel_{G}\"/>", -1, 0, "G", 0, -1,
       "Failed to retrieve property IsCluster from Snap node."},
      {"<Snap SourceType=\"0\" IsCluster=\"1\"/>", -1, -1, nullptr, 0, -1,
       "Failed to retrieve property Source from Snap node."},
      {"<Snap Source=\"zel_{G}\" IsCluster=\"1\"/>", -1, -1, nullptr, -1, -1,
       "Failed to retrieve property SourceType from Snap node."},
      {"<Other/><Snap SourceType=\"0\" Source=\"zel_{G}\" IsCluster=\"1\"/>", 0, 0, "G", 0, 1,
       nullptr},
      {"<Backup SourceType=\"0\" Source=\"zel_{G}\" IsCluster=\"1\"/>", -1, -1, nullptr, -1, -1,
       "Failed to retrieve node Snap from XML request."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    std::string xml = doc(c.body);
    char* src = nullptr;
    int type = -1, cluster = -1;
    EXPECT_EQ(xml_to_snap_guid(xml.c_str(), &src, &type, &cluster), c.rc);
    EXPECT_EQ(str(src), str(c.source));
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(cluster, c.cluster);
    auto lines = take_syslog();
    if (c.text != nullptr) {
      EXPECT_TRUE(has_line(lines, 3, c.text)) << doctest::dump(lines);
    }
    free(src);

    src = nullptr;
    type = -1;
    cluster = -1;
    EXPECT_EQ(xml_zel_to_snapshot(xml.c_str(), &src, &type, &cluster), c.zel_rc);
    EXPECT_EQ(cluster, 0);
    free(src);
  }
  take_syslog();
  char* src = nullptr;
  int type, cluster;
  EXPECT_EQ(xml_zel_to_snapshot(doc("<Snapshot/>").c_str(), &src, &type, &cluster), -1);
  EXPECT_TRUE(has_line(take_syslog(), 3, "Failed to retrieve node Snap."));

  EXPECT_EQ(xml_to_snap_guid(doc("<Snap SourceType=\"0\" Source=\"zel_{G}\" IsCluster=\"1\"/>").c_str(),
                             &src, &type, &cluster),
            0);
  auto lines = take_syslog();
  EXPECT_TRUE(has_line(lines, 6, "Source type for manual CDP creation: 0."));
  EXPECT_TRUE(has_line(lines, 6, "Source identity for manual CDP creation: G."));
  free(src);
}

// ---------------------------------------------------------------------------
// The managing server.

TEST_F(ParseTest, ManagerFromTheFirstChildOnly) {
  struct Case {
    const char* body;
    const char* guid;
    const char* iqn;
    std::vector<std::string> ips;
  } cases[] = {
      {"<Server ID=\"S-1\" IPs=\"192.0.2.1 192.0.2.2\" TargetIqn=\"iqn.2001-04.com.zel:t\"/>", "S-1",
       "iqn.2001-04.com.zel:t", {"192.0.2.1", "192.0.2.2"}},
      // Runs of blanks are one separator; a word that is no address is 0.0.0.0.
      {"<Server ID=\"S\" IPs=\"   10.0.0.1    bogus  10.0.0.300 1.2.3 10.0.0.4   \"/>", "S", nullptr,
       {"10.0.0.1", "0.0.0.0", "0.0.0.0", "0.0.0.0", "10.0.0.4"}},
      {"<Server IPs=\"\"/>", nullptr, nullptr, {}},
      {"<Server/><Server ID=\"later\"/>", nullptr, nullptr, {}},
      // Anything first but a Server, a comment included, gives an empty manager.
      {"<Client ID=\"C\"/><Server ID=\"S\" IPs=\"10.0.0.1\"/>", nullptr, nullptr, {}},
      {"<!-- from S --><Server ID=\"S\" IPs=\"10.0.0.1\"/>", nullptr, nullptr, {}},
      {"", nullptr, nullptr, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    qor_manager* m = xml_to_manager(doc(c.body).c_str());
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(str(m->guid), str(c.guid));
    EXPECT_EQ(str(m->target_iqn), str(c.iqn));
    EXPECT_EQ(ips_of(&m->ips), c.ips);
    qor_manager_free(m);
  }
  qor_manager* m = xml_to_manager("<Tidewell/>");
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->guid, nullptr);
  qor_manager_free(m);
  take_syslog();
  EXPECT_EQ(xml_to_manager("<Tidewell"), nullptr);
  EXPECT_TRUE(has_line(take_syslog(), 3, "Failed to parse xml document"));
}

TEST_F(ParseTest, ManyManagerAddressesAreAllRead) {
  std::string ips;
  for (int i = 0; i < 3000; i++) ips += "10.0." + std::to_string(i / 250) + "." + std::to_string(i % 250) + " ";
  qor_manager* m = xml_to_manager(doc("<Server ID=\"S\" IPs=\"" + ips + "\"/>").c_str());
  ASSERT_NE(m, nullptr);
  auto got = ips_of(&m->ips);
  ASSERT_EQ(got.size(), 3000u);
  EXPECT_EQ(got.front(), "10.0.0.0");
  EXPECT_EQ(got.back(), "10.0.11.249");
  qor_manager_free(m);
}

TEST_F(ParseTest, AliasOfAFirstClientElement) {
  struct Case {
    const char* body;
    const char* alias;
  } cases[] = {
      {"<Client Alias=\"db &amp; web\"/>", "db & web"},
      {"<Client Alias=\"\"/>", ""},
      {"<Client/>", nullptr},
      {"<Server Alias=\"s\"/>", nullptr},
      {"<!-- c --><Client Alias=\"a\"/>", nullptr},
      {"", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    char* alias = xml_to_alias(doc(c.body).c_str());
    EXPECT_EQ(str(alias), str(c.alias));
    EXPECT_TRUE(has_line(take_syslog(), 7, std::string("xml_to_alias:") + (c.alias ? c.alias : "(null)")));
    free(alias);
  }
}

// ---------------------------------------------------------------------------
// Groups.

struct GroupCase {
  const char* body;
  const char* name;  // "<none>" when the parser refuses
  std::vector<std::string> members;
  int cluster;
  std::vector<std::pair<int, std::string>> lines;
};

void check_group(backup_group* (*parse)(const char*, int*), const GroupCase& c) {
  SCOPED_TRACE(c.body);
  int cluster = -1;
  backup_group* g = parse(doc(c.body).c_str(), &cluster);
  auto lines = take_syslog();
  if (std::string(c.name) == "<none>") {
    EXPECT_EQ(g, nullptr);
  } else {
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(str(g->name), c.name);
    EXPECT_EQ(guids_of(&g->members), c.members);
    EXPECT_EQ(g->con_start_time, 0u);
    EXPECT_EQ(g->start_time, 0u);
    EXPECT_EQ(g->interval, 0u);
    backup_grp_free(g);
  }
  EXPECT_EQ(cluster, c.cluster);
  for (const auto& [prio, text] : c.lines)
    EXPECT_TRUE(has_line(lines, prio, text)) << text << "\n" << doctest::dump(lines);
}

TEST_F(ParseTest, GroupCreation) {
  const GroupCase cases[] = {
      {"<BGCreate BGName=\"g1\" IsCluster=\"1\"><SrcDisk/><!-- c --><SrcDisk SrcGUID=\"A\"/>"
       "<Other SrcGUID=\"X\"/><SrcDisk SrcGUID=\"B\"/></BGCreate>",
       "g1",
       {"A", "B"},
       1,
       {{4, "Missing property SrcGUID, ignore."},
        {4, "Unexpected node for disk member creation, ignore."},
        {6, "Disk A retrieved."},
        {6, "Disk B retrieved."}}},
      {"<BGCreate IsCluster=\"yes\"/>", "<null>", {}, 0, {}},
      {"<Other/><BGCreate BGName=\"g\">\n    <SrcDisk SrcGUID=\"A\"/>\n  </BGCreate>", "g", {"A"}, 0, {}},
      {"<BGDelete BGName=\"g\"/>", "<none>", {}, 0, {{3, "Failed to retrieve node BGCreate."}}},
  };
  for (const GroupCase& c : cases) check_group(xml_to_backup_grp, c);
}

TEST_F(ParseTest, GroupOfTheCdpAgentSender) {
  const GroupCase cases[] = {
      {"<Group name=\"g1\" IsCluster=\"1\"><Disk/><!-- c --><Disk guid=\"A\"/>"
       "<SrcDisk SrcGUID=\"X\"/><Disk guid=\"B\"/></Group>",
       "g1",
       {"A", "B"},
       1,
       {{4, "Missing property SrcGUID, ignore."},
        {4, "Unexpected node for disk member creation, ignore."},
        {6, "Disk A retrieved."}}},
      // The other form's names mean nothing here.
      {"<Group BGName=\"g\"><Disk SrcGUID=\"A\"/></Group>", "<null>", {}, 0,
       {{4, "Missing property SrcGUID, ignore."}}},
      {"<BGCreate BGName=\"g\"/>", "<none>", {}, 0, {{3, "Failed to retrieve node Group."}}},
  };
  for (const GroupCase& c : cases) check_group(xml_zel_to_backup_grp, c);
}

TEST_F(ParseTest, GroupDeletion) {
  const GroupCase cases[] = {
      {"<BGDelete BGName=\"g1\" IsCluster=\"1\"/>", "g1", {}, 1, {}},
      {"<BGDelete BGName=\"\"/>", "", {}, 0, {}},
      // On failure the flag is not written.
      {"<BGDelete IsCluster=\"1\"/>", "<none>", {}, -1, {{3, "Missing property BGName."}}},
      {"<BGCreate BGName=\"g\"/>", "<none>", {}, -1, {{3, "Failed to retrieve node BGDelete"}}},
  };
  for (const GroupCase& c : cases) check_group(xml_to_del_grp, c);
}

TEST_F(ParseTest, DiskLeavingAGroup) {
  const std::string long_name(QOR_ARG_BUF, 'n');
  const std::string longest(QOR_ARG_BUF - 1, 'n');
  struct Case {
    std::string body;
    int rc;
    std::string grp, guid;  // "keep": the buffer as it was
  } cases[] = {
      {"<RemBGDisk BGName=\"g\" SrcGUID=\"A\"/>", 0, "g", "A"},
      {"<RemBGDisk SrcGUID=\"A\"/>", 0, "keep", "A"},
      {"<RemBGDisk BGName=\"g\"/>", 0, "g", "keep"},
      {"<!-- c --><RemBGDisk BGName=\"g\" SrcGUID=\"A\"/>", 0, "keep", "keep"},
      {"<Other/><RemBGDisk BGName=\"g\" SrcGUID=\"A\"/>", 0, "keep", "keep"},
      {"<RemBGDisk BGName=\"" + longest + "\" SrcGUID=\"A\"/>", 0, longest, "A"},
      // Too long for the caller's buffer: refused whole, nothing changed.
      {"<RemBGDisk BGName=\"" + long_name + "\" SrcGUID=\"A\"/>", -1, "keep", "keep"},
      {"<RemBGDisk BGName=\"g\" SrcGUID=\"" + long_name + "\"/>", -1, "keep", "keep"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body.substr(0, 80));
    char grp[QOR_ARG_BUF] = "keep", guid[QOR_ARG_BUF] = "keep";
    EXPECT_EQ(xml_to_bg_info(guid, grp, doc(c.body).c_str()), c.rc);
    EXPECT_EQ(std::string(grp), c.grp);
    EXPECT_EQ(std::string(guid), c.guid);
    auto lines = take_syslog();
    if (c.rc == 0) {
      EXPECT_TRUE(has_line(lines, 7, "xml_to_bg_info:group(" + c.grp.substr(0, 8)));
    }
  }
}

// ---------------------------------------------------------------------------
// Mirror relationships.

TEST_F(ParseTest, VolumeNamesOfABackup) {
  const std::string long_guid(QOR_ARG_BUF, 'g');
  struct Case {
    std::string body;
    int rc;
    std::string src, dest;  // "keep": the buffer as it was
  } cases[] = {
      {"<Backup SrcGUID=\"A\" DestGUID=\"zel_{M-1}\"/>", 0, "A", "M-1"},
      {"<Backup SrcGUID=\"A\"/>", 0, "A", "keep"},
      {"<Backup DestGUID=\"zel_{M-1}\"/>", 0, "keep", "M-1"},
      // Five characters off the front and one off the end, whatever they are.
      {"<Backup DestGUID=\"abcdeXYZf\"/>", 0, "keep", "XYZ"},
      {"<Backup DestGUID=\"zel_{}\"/>", 0, "keep", ""},
      {"<Backup DestGUID=\"zel_{\"/>", 0, "keep", "keep"},
      // Only a first child counts.
      {"<Other/><Backup SrcGUID=\"A\" DestGUID=\"zel_{M}\"/>", 0, "keep", "keep"},
      {"<!-- c --><Backup SrcGUID=\"A\"/>", 0, "keep", "keep"},
      {"", 0, "keep", "keep"},
      // Too long for the caller's buffer: refused whole, nothing changed.
      {"<Backup SrcGUID=\"" + long_guid + "\" DestGUID=\"zel_{M}\"/>", -1, "keep", "keep"},
      {"<Backup SrcGUID=\"A\" DestGUID=\"zel_{" + long_guid + "}\"/>", -1, "keep", "keep"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body.substr(0, 80));
    char src[QOR_ARG_BUF] = "keep", dest[QOR_ARG_BUF] = "keep";
    EXPECT_EQ(xml_to_volname(doc(c.body).c_str(), src, dest), c.rc);
    EXPECT_EQ(std::string(src), c.src);
    EXPECT_EQ(std::string(dest), c.dest);
    auto lines = take_syslog();
    if (c.rc == -1) {
      EXPECT_TRUE(has_line(lines, 3, "is too long, refused.")) << doctest::dump(lines);
    }
  }
}

TEST_F(ParseTest, SourceGuidsOfRelationships) {
  struct list_head guids;
  INIT_LIST_HEAD(&guids);
  std::string xml = doc("<Other/><BackupList>\n    <Backup SrcGUID=\"A\"/>\n    <Backup/>\n"
                        "    <!-- c -->\n    <Disk SrcGUID=\"X\"/>\n    <Backup SrcGUID=\"B\" ZelGUID=\"zel_{M}\"/>\n"
                        "  </BackupList><BackupList><Backup SrcGUID=\"later\"/></BackupList>");
  ASSERT_EQ(xml_to_bp_srcguid(xml.c_str(), &guids), 0);
  EXPECT_EQ(guids_of(&guids), (std::vector<std::string>{"A", "B"}));
  auto lines = take_syslog();
  EXPECT_TRUE(has_line(lines, 6, "Got source disk A."));
  EXPECT_TRUE(has_line(lines, 4, "Missing property SrcGUID."));
  EXPECT_TRUE(has_line(lines, 4, "Unexpected node Disk."));
  EXPECT_TRUE(has_line(lines, 4, "Unexpected node comment."));

  // Appended to what the list held.
  ASSERT_EQ(xml_to_bp_srcguid(doc("<BackupList><Backup SrcGUID=\"C\"/></BackupList>").c_str(), &guids), 0);
  EXPECT_EQ(guids_of(&guids), (std::vector<std::string>{"A", "B", "C"}));
  guid_list_free(&guids);

  EXPECT_EQ(xml_to_bp_srcguid(doc("<Backup SrcGUID=\"A\"/>").c_str(), &guids), -1);
  EXPECT_TRUE(has_line(take_syslog(), 3, "Failed to retrieve node BackupList."));
  EXPECT_TRUE(list_empty(&guids));
}

struct SchedOut {
  int rc;
  std::vector<cdpsch*> records;
  qor_schedule sched{7, 7};
  std::string grp = "keep";
  std::vector<SyslogLine> lines;
};

SchedOut read_schedules(const std::string& body, struct list_head* list) {
  SchedOut out;
  char grp[QOR_ARG_BUF] = "keep";
  out.rc = xml_to_cdpsch_list(doc(body).c_str(), list, &out.sched, grp);
  out.grp = grp;
  struct list_head* pos;
  list_for_each(pos, list) out.records.push_back(list_entry(pos, cdpsch, list));
  out.lines = take_syslog();
  return out;
}

TEST_F(ParseTest, RelationshipsToAddWithTheirSchedule) {
  struct list_head list;
  INIT_LIST_HEAD(&list);
  // A record the list held before gets the schedule too, keeping its console
  // start time.
  cdpsch* old = static_cast<cdpsch*>(calloc(1, sizeof(*old)));
  old->con_start_time = 55;
  list_add_tail(&old->list, &list);

  SchedOut r = read_schedules(
      "<Schedule StartTime=\"1700000000\" IntervalSeconds=\"3600\" Source=\"zel_{A}\" SourceType=\"0\"/>"
      "<BackupList>\n    <Backup SrcGUID=\"A\" ZelGUID=\"zel_{M-1}\"/>\n    <Backup SrcGUID=\"B\"/>\n"
      "    <Backup ZelGUID=\"zel_\"/>\n    <Backup ZelGUID=\"zel_{}\"/>\n    <Other/>\n  </BackupList>",
      &list);
  ASSERT_EQ(r.rc, 0);
  EXPECT_EQ(r.sched.start_time, 1700000000u);
  EXPECT_EQ(r.sched.interval, 3600u);
  EXPECT_EQ(r.grp, "");  // a single-disk request
  ASSERT_EQ(r.records.size(), 5u);
  EXPECT_EQ(r.records[0], old);
  EXPECT_EQ(old->con_start_time, 55u);
  const struct {
    const char* local;
    const char* mirror;
  } want[] = {{"A", "M-1"}, {"B", nullptr}, {nullptr, nullptr}, {nullptr, ""}};
  for (int i = 0; i < 4; i++) {
    EXPECT_EQ(str(r.records[i + 1]->local_guid), str(want[i].local));
    EXPECT_EQ(str(r.records[i + 1]->mirror_guid), str(want[i].mirror));
    EXPECT_EQ(r.records[i + 1]->con_start_time, 0u);
  }
  for (cdpsch* s : r.records) {
    EXPECT_EQ(s->start_time, 1700000000u);
    EXPECT_EQ(s->interval, 3600u);
  }
  EXPECT_TRUE(has_line(r.lines, 6, "Schedule dumped: start time: 1700000000, interval: 3600, source type: 0."));
  EXPECT_TRUE(has_line(r.lines, 6, "Add backup for single disk: zel_{A}."));
  EXPECT_TRUE(has_line(r.lines, 6, "Got ZEL GUID: M-1."));
  EXPECT_TRUE(has_line(r.lines, 6, "Read disk to be protected, local: A, mirror: M-1."));
  EXPECT_TRUE(has_line(r.lines, 4, "Unknown backup node."));
  EXPECT_TRUE(has_line(r.lines, 6, "CDP schedule retrieved."));
  cdpsch_list_free(&list);
}

TEST_F(ParseTest, ScheduleOfAGroupAndMissingParts) {
  const std::string long_name(QOR_ARG_BUF, 'g');
  const std::string sched_attrs =
      "StartTime=\"0\" IntervalSeconds=\"60\" Source=\"grp\" SourceType=\"1\"";
  struct Case {
    std::string body;
    int rc;
    std::string grp;
    uint64_t start;
    uint32_t interval;
    const char* text;
  } cases[] = {
      {"<Schedule " + sched_attrs + "/><BackupList><Backup SrcGUID=\"A\"/></BackupList>", 0, "grp", 0,
       60, "Add backup for group: grp."},
      {"<Schedule StartTime=\"18446744073709551615\" IntervalSeconds=\"4294967295\" Source=\"s\" "
       "SourceType=\"2\"/><BackupList/>",
       0, "", UINT64_MAX, UINT32_MAX, "Add backup for single disk: s."},
      {"<Schedule StartTime=\"x\" IntervalSeconds=\"\" Source=\"\" SourceType=\"one\"/><BackupList/>", 0,
       "", 0, 0, "source type: 0."},
      {"<Schedule StartTime=\"0\" Source=\"grp\" SourceType=\"1\"/><BackupList><Backup SrcGUID=\"A\"/>"
       "</BackupList>",
       -1, "keep", 7, 7, "Failed to get IntervalSeconds property."},
      {"<Schedule IntervalSeconds=\"60\" Source=\"grp\" SourceType=\"1\"/><BackupList/>", -1, "keep", 7, 7,
       "Failed to get StartTime property."},
      {"<Schedule StartTime=\"0\" IntervalSeconds=\"60\" SourceType=\"1\"/><BackupList/>", -1, "keep", 7, 7,
       "Failed to get Source property."},
      {"<Schedule StartTime=\"0\" IntervalSeconds=\"60\" Source=\"grp\"/><BackupList/>", -1, "keep", 7, 7,
       "Failed to get SourceType property."},
      {"<Schedule " + sched_attrs + "/>", -1, "keep", 7, 7, "Failed to retrieve node BackupList or Schedule."},
      {"<BackupList><Backup SrcGUID=\"A\"/></BackupList>", -1, "keep", 7, 7,
       "Failed to retrieve node BackupList or Schedule."},
      // A group name the caller's buffer cannot hold is refused.
      {"<Schedule StartTime=\"0\" IntervalSeconds=\"60\" Source=\"" + long_name +
           "\" SourceType=\"1\"/><BackupList><Backup SrcGUID=\"A\"/></BackupList>",
       -1, "keep", 0, 60, "Property Source is too long, refused."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body.substr(0, 100));
    struct list_head list;
    INIT_LIST_HEAD(&list);
    SchedOut r = read_schedules(c.body, &list);
    EXPECT_EQ(r.rc, c.rc);
    EXPECT_EQ(r.grp, c.grp);
    EXPECT_EQ(r.sched.start_time, c.start);
    EXPECT_EQ(r.sched.interval, c.interval);
    if (c.rc != 0) {
      EXPECT_TRUE(r.records.empty());
    }
    EXPECT_TRUE(has_line(r.lines, c.rc == 0 ? 6 : 3, c.text)) << doctest::dump(r.lines);
    cdpsch_list_free(&list);
  }
  struct list_head list;
  INIT_LIST_HEAD(&list);
  qor_schedule s{};
  EXPECT_EQ(xml_to_cdpsch_list(doc("").c_str(), &list, &s, nullptr), -1);
  EXPECT_TRUE(has_line(take_syslog(), 3, "Parameter grp is null, it must be initialized."));
}

// ---------------------------------------------------------------------------
// Databases and the release of the host.

TEST_F(ParseTest, DatabaseRegistration) {
  int cluster = -1;
  ZelApp* app = xml_to_ZelApp(
      doc("<!-- c --><DBSet DBType=\"0\" DBUser=\"sys\" DBPasswd=\"pw\" InstanceName=\"orcl\" "
          "ArchiveLog=\"12\" OracleHome=\"/u01/app\" IsCluster=\"1\"/>")
          .c_str(),
      &cluster);
  ASSERT_NE(app, nullptr);
  EXPECT_EQ(app->db_type, 1);
  EXPECT_EQ(str(app->type_name), "oracle");
  EXPECT_EQ(str(app->db_user), "sys");
  EXPECT_EQ(str(app->db_passwd), "pw");
  EXPECT_EQ(str(app->instance_name), "orcl");
  EXPECT_EQ(app->archive_log, 12);
  EXPECT_EQ(str(app->oracle_home), "/u01/app");
  EXPECT_EQ(app->host, nullptr);
  EXPECT_EQ(app->port, nullptr);
  EXPECT_EQ(cluster, 1);
  app_release(app);

  struct Case {
    const char* attrs;
    int db_type;
    int archive;
  } cases[] = {
      {"DBType=\"1\" ArchiveLog=\"x\"", 0, 0},
      {"DBType=\"00\" ArchiveLog=\"7days\"", 0, 7},
      {"ArchiveLog=\"-3\"", 0, -3},
      {"ArchiveLog=\"99999999999\"", 0, 0},
      {"", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.attrs);
    cluster = -1;
    app = xml_to_ZelApp(doc(std::string("<DBSet ") + c.attrs + " IsCluster=\"2\"/>").c_str(), &cluster);
    ASSERT_NE(app, nullptr);
    EXPECT_EQ(app->db_type, c.db_type);
    EXPECT_EQ(app->type_name, nullptr);
    EXPECT_EQ(app->archive_log, c.archive);
    EXPECT_EQ(app->instance_name, nullptr);
    EXPECT_EQ(cluster, 0);
    app_release(app);
  }
  take_syslog();
  EXPECT_EQ(xml_to_ZelApp(doc("<DBCfgDel/>").c_str(), &cluster), nullptr);
  EXPECT_TRUE(has_line(take_syslog(), 3, "Failed to retrieve DBSet node."));
}

TEST_F(ParseTest, DatabaseDeletion) {
  struct Case {
    const char* body;
    const char* name;
    int cluster;
  } cases[] = {
      {"<DBCfgDel InstanceName=\"orcl\"/>", "orcl", 0},
      {"<DBCfgDel IsCluster=\"1\"/>", nullptr, 1},
      {"<DBCfgDel InstanceName=\"\" IsCluster=\"0\"/>", "", 0},
      {"<DBSet InstanceName=\"orcl\" IsCluster=\"1\"/>", nullptr, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    int cluster = -1;
    char* name = xml_to_instance_name(doc(c.body).c_str(), &cluster);
    EXPECT_EQ(str(name), str(c.name));
    EXPECT_EQ(cluster, c.cluster);
    free(name);
  }
  EXPECT_TRUE(has_line(take_syslog(), 3, "Failed to retrieve node DBCfgDel."));
}

TEST_F(ParseTest, PairOfServerAndClient) {
  const std::string long_id(QOR_ARG_BUF, 'i');
  struct Case {
    std::string body;
    std::string server, client;  // "keep": the buffer as it was
  } cases[] = {
      {"<Server ID=\"S\"/><Client ID=\"C\"/>", "S", "C"},
      // The last element of a name wins; one without ID changes nothing.
      {"<Server ID=\"S1\"/><Client ID=\"C\"/><Server ID=\"S2\"/><Server/>", "S2", "C"},
      {"<Client ID=\"C\"/><!-- c --><Other ID=\"X\"/>", "keep", "C"},
      {"<Server ID=\"\"/>", "", "keep"},
      {"<Server ID=\"S\"/><Server ID=\"" + long_id + "\"/>", "", "keep"},
      {"<Server ID=\"" + long_id.substr(1) + "\"/>", long_id.substr(1), "keep"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body.substr(0, 80));
    char server[QOR_ARG_BUF] = "keep", client[QOR_ARG_BUF] = "keep";
    xml_to_pair(server, client, doc(c.body).c_str());
    EXPECT_EQ(std::string(server), c.server);
    EXPECT_EQ(std::string(client), c.client);
  }
}

// The options of one document never become the process's: a document read
// afterwards with libxml2's defaults keeps its blank text.
TEST_F(ParseTest, ParsingLeavesTheLibraryDefaultsAlone) {
  qor_manager_free(xml_to_manager(doc("<Server ID=\"S\"/>").c_str()));
  xmlDoc* d = xmlReadMemory("<a> <b/></a>", 12, nullptr, nullptr, 0);
  ASSERT_NE(d, nullptr);
  xmlNode* first = xmlDocGetRootElement(d)->children;
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->type, XML_TEXT_NODE);
  xmlFreeDoc(d);
}

}  // namespace
