// The database and group commands of qorcd (and SET_CDP_SCHEDULE's new disk
// schedules), handler by handler, run inside a
// simulated host (groups_e2e_test.cc runs this program there): the handlers
// save the host's qorcd.conf and call the outside CDP-agent library, which
// answers from the host's /etc/zelcdpagt and logs each call.  Each table
// row is a request document with the status, the reply document and the
// state (groups, disk schedules, jobs, saved file) it must leave.
#include <errno.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "eventually.h"
#include "host/host.h"
#include "log_capture.h"
#include "mirapi/log.h"
#include "qor_cdp.h"
#include "qor_client.h"
#include "qor_conf.h"
#include "qor_handlers.h"
#include "qor_heartbeat.h"
#include "qor_inventory.h"
#include "qor_jobs.h"
#include "qor_model.h"
#include "qor_report.h"
#include "zel/zel_app.h"

namespace {

const char kClientGuid[] = "6f1c7a52-0000-0000-0000-0000000000aa";
const char kCallLog[] = "/var/log/zelcdpagt-calls.log";
const char kAnswers[] = "/etc/zelcdpagt";

// Disk GUIDs of the fixture: 36 characters each, as a disk's are.
const char kA[] = "aaaaaaaa-0000-0000-0000-000000000000";
const char kB[] = "bbbbbbbb-0000-0000-0000-000000000000";
const char kC[] = "cccccccc-0000-0000-0000-000000000000";
const char kD[] = "dddddddd-0000-0000-0000-000000000000";
const char kX[] = "eeeeeeee-0000-0000-0000-000000000000";

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream(path) << text;
}

std::string doc(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Tidewell>\n  " + body + "\n</Tidewell>\n";
}

// What a handler answered.
struct Answer {
  int status;
  bool has_doc;
  std::string doc;
};

Answer call(int (*handler)(qorc_req*), const char* xml) {
  qorc_req* req = req_alloc();
  req->recv_head.proto_version = 2;
  if (xml != nullptr) {
    req->recvxml = strdup(xml);
    req->recv_head.data_len = strlen(xml);
  }
  Answer a{handler(req), req->sendxml != nullptr, ""};
  if (a.has_doc) {
    a.doc.assign(req->sendxml);
    EXPECT_EQ(req->send_head.data_len, a.doc.size());
  } else {
    EXPECT_EQ(0u, req->send_head.data_len);
  }
  req_free(req);
  return a;
}

std::string str(const char* s) { return s != nullptr ? s : "<null>"; }

// Short names of the fixture's disks in dumps: "A" for kA.
std::string disk_name(const char* guid) {
  const char* names[] = {kA, kB, kC, kD, kX};
  for (size_t i = 0; i < 5; i++)
    if (guid != nullptr && strcmp(guid, names[i]) == 0) return std::string(1, "ABCDX"[i]);
  return str(guid);
}

// The groups of a handle: "NAME[A,B]{con,start,interval}" each, blank-separated.
std::string groups_of(const qor_t* qor) {
  std::string out;
  const list_head* pos;
  list_for_each(pos, &qor->groups) {
    const backup_group* g = list_entry(pos, backup_group, list);
    out += (out.empty() ? "" : " ") + str(g->name) + "[";
    const list_head* m;
    bool first = true;
    list_for_each(m, &g->members) {
      out += (first ? "" : ",") + disk_name(list_entry(m, guid_entry, list)->guid);
      first = false;
    }
    out += "]{" + std::to_string(g->con_start_time) + "," + std::to_string(g->start_time) + "," +
           std::to_string(g->interval) + "}";
  }
  return out;
}

// The disk schedules of a handle: "LOCAL>MIRROR{con,start,interval}" each
// (without start when the configuration reader may have moved it).
std::string schedules_of(const qor_t* qor, bool with_start = true) {
  std::string out;
  const list_head* pos;
  list_for_each(pos, &qor->cdpschs) {
    const cdpsch* s = list_entry(pos, cdpsch, list);
    out += (out.empty() ? "" : " ") + disk_name(s->local_guid) + ">" + str(s->mirror_guid) + "{" +
           std::to_string(s->con_start_time) + "," +
           (with_start ? std::to_string(s->start_time) : "-") + "," + std::to_string(s->interval) +
           "}";
  }
  return out;
}

// The CDP jobs of the fixture's disks and groups: "disk:C grp:G1".
std::string jobs() {
  std::string out;
  const char* disks[] = {kA, kB, kC, kD, kX};
  for (const char* d : disks)
    if (find_cdp_job(d)) out += (out.empty() ? "disk:" : " disk:") + disk_name(d);
  for (const char* g : {"G1", "G2", "DUP", "NEW"})
    if (find_grp_job(g)) out += std::string(out.empty() ? "" : " ") + "grp:" + g;
  return out;
}

// The state the group commands change, in memory and as saved.
struct State {
  std::string groups, schedules, jobs;
  bool operator==(const State&) const = default;
};

std::ostream& operator<<(std::ostream& os, const State& s) {
  return os << "groups '" << s.groups << "' schedules '" << s.schedules << "' jobs '" << s.jobs
            << "'";
}

backup_group* new_group(const char* name, std::vector<const char*> members, uint64_t con = 0,
                        uint64_t start = 0, uint32_t interval = 0) {
  auto* g = static_cast<backup_group*>(calloc(1, sizeof(backup_group)));
  g->name = strdup(name);
  g->con_start_time = con;
  g->start_time = start;
  g->interval = interval;
  INIT_LIST_HEAD(&g->members);
  for (const char* m : members) {
    auto* e = static_cast<guid_entry*>(calloc(1, sizeof(guid_entry)));
    e->guid = strdup(m);
    list_add_tail(&e->list, &g->members);
  }
  return g;
}

cdpsch* new_schedule(const char* local, const char* mirror, uint64_t con, uint64_t start,
                     uint32_t interval) {
  auto* s = static_cast<cdpsch*>(calloc(1, sizeof(cdpsch)));
  s->local_guid = strdup(local);
  s->mirror_guid = strdup(mirror);
  s->con_start_time = con;
  s->start_time = start;
  s->interval = interval;
  return s;
}

void add_backup(const char* src, const char* dest) {
  auto* bk = static_cast<qor_backup*>(calloc(1, sizeof(qor_backup)));
  snprintf(bk->src_guid, sizeof(bk->src_guid), "%s", src);
  snprintf(bk->dest_guid, sizeof(bk->dest_guid), "%s", dest);
  list_add_tail(&bk->list, &g_client.backups);
}

// A managed host whose configuration holds one scheduled group G1 of A and
// B with its job, a disk schedule of C with its job and one of D without
// (a stored schedule whose job was never registered), and the mirror
// relationships A>MA, C>MC and X>MX.
class CommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mkdir("/etc/zeltidewell", 0755);
    mkdir(kAnswers, 0755);
    for (const char* f : {"connect_db.answer", "delete_app.answer", "apps.reg"})
      unlink((std::string(kAnswers) + "/" + f).c_str());
    unlink(QOR_CONF_PATH);
    unlink(kCallLog);

    g_qor = qor_alloc();
    ASSERT_NE(nullptr, g_qor);
    g_qor->client_guid = strdup(kClientGuid);
    g_qor->client_port = 7030;
    g_qor->server_port = 7031;
    qor_manager mngr{};
    mngr.guid = const_cast<char*>("MANAGER-GUID");
    INIT_LIST_HEAD(&mngr.ips);
    ASSERT_EQ(0, qor_mngr_appoint(&mngr, g_qor));
    g_client.id = g_qor->client_guid;

    backup_group* g1 = new_group("G1", {kA, kB}, 1000, 2000, 600);
    list_add_tail(&g1->list, &g_qor->groups);
    ASSERT_EQ(0, _register_for_grpsch(g1));
    cdpsch* c = new_schedule(kC, "MC", 1000, 2000, 300);
    list_add_tail(&c->list, &g_qor->cdpschs);
    ASSERT_EQ(0, _register_for_cdpsch(c));
    list_add_tail(&new_schedule(kD, "MD", 1000, 2000, 300)->list, &g_qor->cdpschs);
    add_backup(kA, "MA");
    add_backup(kC, "MC");
    add_backup(kX, "MX");
    libtest::take_syslog();
  }

  void TearDown() override {
    // Every path of every handler lets go of both locks.
    EXPECT_EQ(0, pthread_mutex_trylock(&g_qor->mutex));
    pthread_mutex_unlock(&g_qor->mutex);
    EXPECT_EQ(0, pthread_mutex_trylock(&g_client.lock));
    pthread_mutex_unlock(&g_client.lock);
    jobs_free_all();
    app_list_free(&g_client.apps);
    backup_list_free(&g_client.backups);
    g_client.id = nullptr;
    qor_cleanup();
  }

  State state() const { return {groups_of(g_qor), schedules_of(g_qor), jobs()}; }

  // The saved file holds what memory holds; its reader moves the past
  // start times of disk schedules.
  void expect_saved() const {
    qor_t* saved = qorcfg_read(QOR_CONF_PATH);
    ASSERT_NE(nullptr, saved) << "no configuration saved";
    EXPECT_EQ(groups_of(g_qor), groups_of(saved));
    EXPECT_EQ(schedules_of(g_qor, false), schedules_of(saved, false));
    qor_free(saved);
  }

  static void unmanage() { ASSERT_EQ(0, qor_mngr_remove(g_qor)); }

  // The fixture anew, for the next case of a table.
  void fresh() {
    TearDown();
    SetUp();
  }

  struct GroupCase {
    const char* name;
    std::string request;
    int status;
    // What the case leaves; a field left "" is as before the request, "-"
    // is empty.  A refused request must leave everything as it was.
    State after;
  };

  // Runs each case on a fresh fixture (with extra, when given, added to
  // it).  What a case leaves must be saved as well.
  void run(int (*handler)(qorc_req*), const std::vector<GroupCase>& cases,
           void (*extra)() = nullptr) {
    for (const GroupCase& c : cases) {
      SCOPED_TRACE(c.name);
      fresh();
      if (extra != nullptr) extra();
      State before = state();
      Answer a = call(handler, c.request.c_str());
      EXPECT_EQ(c.status, a.status);
      EXPECT_FALSE(a.has_doc);
      State want = c.status != 0 ? before : c.after;
      for (auto [w, b] : {std::pair{&want.groups, &before.groups},
                          std::pair{&want.schedules, &before.schedules},
                          std::pair{&want.jobs, &before.jobs}}) {
        if (w->empty()) *w = *b;
        if (*w == "-") w->clear();
      }
      EXPECT_EQ(want, state());
      if (c.status == 0) expect_saved();
    }
  }

  const State initial_{"G1[A,B]{1000,2000,600}",
                       "C>MC{1000,2000,300} D>MD{1000,2000,300}", "disk:C grp:G1"};
};

// ---- Requests every command refuses alike ----

struct Handler {
  const char* name;
  int (*fn)(qorc_req*);
  int unmanaged;  // status on a host without manager
};

const Handler kGroupHandlers[] = {
    {"BG_CREATE", bg_create, 50},           {"REM_DISK_FROM_BG", rem_disk_from_bg, 50},
    {"DEL_BACKUP_GRP", del_backup_grp, 50}, {"ADD_DISK_TO_BG", add_disk_to_grp, 50},
    {"ZEL_CREATE_GROUP", zel_create_group, 50}, {"ZEL_GET_GROUP", zel_get_group, 50},
    {"ZEL_DELETE_GROUP", zel_delete_group, 50}, {"ZEL_ADD_MEMBER", zel_add_member, 50},
    {"ZEL_DEL_MEMBER", zel_del_member, 50},
};

TEST_F(CommandTest, NoRecordAndNoManagerChangeNothing) {
  for (const Handler& h : kGroupHandlers) {
    SCOPED_TRACE(h.name);
    EXPECT_EQ(1, h.fn(nullptr));
  }
  EXPECT_EQ(1, db_set(nullptr));
  EXPECT_EQ(1, dbcfg_del(nullptr));
  unmanage();
  for (const Handler& h : kGroupHandlers) {
    SCOPED_TRACE(h.name);
    Answer a = call(h.fn, doc("<Group name=\"G1\"><Disk guid=\"x\"/></Group>").c_str());
    EXPECT_EQ(h.unmanaged, a.status);
    EXPECT_FALSE(a.has_doc);
  }
  EXPECT_EQ(initial_, state());
  EXPECT_EQ("", read_file(QOR_CONF_PATH));
  EXPECT_TRUE(libtest::syslog_contains("Failed to create group, client is not affected to a server."));
  EXPECT_TRUE(libtest::syslog_contains("Error: client is not protected by a server."));
}

// ---- Databases ----

std::string db_doc(const char* status_name, int status) {
  return std::string("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Tidewell><Client ClientID=\"") +
         kClientGuid + "\" " + status_name + "=\"" + std::to_string(status) + "\"/></Tidewell>\n";
}

std::string db_set_doc(const std::string& attrs) { return doc("<DBSet " + attrs + "/>"); }

const char kPassword[] = "pw-Sesame-42";

// The instances g_client lists.
std::string apps() {
  std::string out;
  g_client_lock();
  const list_head* pos;
  list_for_each(pos, &g_client.apps) {
    out += (out.empty() ? "" : " ") + str(list_entry(pos, ZelApp, node)->instance_name);
  }
  g_client_unlock();
  return out;
}

// ORCL registered with the library and listed in g_client.
void register_orcl() {
  write_file(std::string(kAnswers) + "/apps.reg", "instance=ORCL\tdb_type=1\n");
  qor_get_apps(&g_client.apps);
  unlink(kCallLog);
}

TEST_F(CommandTest, DbSet) {
  const std::string full = std::string("DBType=\"0\" DBUser=\"sys\" DBPasswd=\"") + kPassword +
                           "\" InstanceName=\"PROD\" ArchiveLog=\"1\" OracleHome=\"/u01/db\"";
  const struct {
    const char* name;
    bool managed;
    bool orcl_known;
    const char* answer;  // connect_db.answer, or none
    std::string request;
    bool has_body;
    int status;
    const char* call;  // what the library's log must hold, or "" for no call
    const char* listed;  // g_client's instances afterwards
  } cases[] = {
      {"unmanaged", false, false, nullptr, db_set_doc(full), true, 1, "", ""},
      {"no body", true, false, nullptr, "", false, 1, "", ""},
      {"not a document", true, false, nullptr, "<Tidewell><DBSet", true, 1, "", ""},
      {"no DBSet", true, false, nullptr, doc("<DBCfgDel InstanceName=\"PROD\"/>"), true, 1, "", ""},
      {"no instance name", true, false, nullptr, db_set_doc("DBType=\"0\" DBUser=\"sys\""), true, 1,
       "", ""},
      {"empty instance name", true, false, nullptr, db_set_doc("InstanceName=\"\""), true, 1, "",
       ""},
      {"known instance", true, true, nullptr, db_set_doc("InstanceName=\"ORCL\""), true, 0, "",
       "ORCL"},
      {"registered", true, true, nullptr, db_set_doc(full), true, 0,
       "Zel_connect_db_flush_cfg instance=PROD db_type=1 archive_log=1 type_name=oracle "
       "db_user=sys passwd=(given) oracle_home=/u01/db host=127.0.0.1 port=1521 result=0",
       "ORCL PROD"},
      {"any answer but -1 registers", true, false, "7", db_set_doc(full), true, 0, "result=7", ""},
      {"refused", true, true, "-1", db_set_doc(full), true, 10028, "result=-1", "ORCL"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fresh();
    if (!c.managed) unmanage();
    if (c.orcl_known) register_orcl();
    if (c.answer != nullptr) write_file(std::string(kAnswers) + "/connect_db.answer", c.answer);
    Answer a = call(db_set, c.has_body ? c.request.c_str() : nullptr);
    EXPECT_EQ(c.status, a.status);
    EXPECT_EQ(db_doc("rtnStatus", c.status), a.doc);
    std::string calls = read_file(kCallLog);
    if (c.call[0] == '\0') {
      EXPECT_EQ(std::string::npos, calls.find("Zel_connect_db_flush_cfg")) << calls;
    } else {
      EXPECT_NE(std::string::npos, calls.find(c.call)) << calls;
    }
    // The stand-in keeps no registry when it answers from a file.
    if (c.answer == nullptr) {
      EXPECT_EQ(c.listed, apps());
    }
    EXPECT_EQ(std::string::npos, calls.find(kPassword));
    for (const auto& line : libtest::take_syslog())
      EXPECT_EQ(std::string::npos, line.text.find(kPassword)) << line.text;
  }
}

TEST_F(CommandTest, DbCfgDel) {
  const struct {
    const char* name;
    bool managed;
    const char* answer;  // delete_app.answer, or none
    std::string request;
    bool has_body;
    int status;
    const char* call;
    const char* listed;
  } cases[] = {
      {"unmanaged", false, nullptr, doc("<DBCfgDel InstanceName=\"ORCL\"/>"), true, 1, "", "ORCL"},
      {"no body", true, nullptr, "", false, 1, "", "ORCL"},
      {"no instance name", true, nullptr, doc("<DBCfgDel IsCluster=\"1\"/>"), true, 1, "", "ORCL"},
      {"unknown instance", true, nullptr, doc("<DBCfgDel InstanceName=\"PROD\"/>"), true, 0, "",
       "ORCL"},
      {"deleted", true, nullptr, doc("<DBCfgDel InstanceName=\"ORCL\"/>"), true, 0,
       "Zel_delete_app ORCL result=1", ""},
      {"library answers 0", true, "0", doc("<DBCfgDel InstanceName=\"ORCL\"/>"), true, 10028,
       "Zel_delete_app ORCL result=0", "ORCL"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fresh();
    if (!c.managed) unmanage();
    register_orcl();
    if (c.answer != nullptr) write_file(std::string(kAnswers) + "/delete_app.answer", c.answer);
    Answer a = call(dbcfg_del, c.has_body ? c.request.c_str() : nullptr);
    EXPECT_EQ(c.status, a.status);
    EXPECT_EQ(db_doc("RtnStatus", c.status), a.doc);
    std::string calls = read_file(kCallLog);
    if (c.call[0] == '\0') {
      EXPECT_EQ(std::string::npos, calls.find("Zel_delete_app")) << calls;
    } else {
      EXPECT_NE(std::string::npos, calls.find(c.call)) << calls;
    }
    EXPECT_EQ(c.listed, apps());
  }
}

// The password of DB_SET reaches no log, the debug log of the received
// document included, however its attribute is written.
TEST_F(CommandTest, PasswordOfAReceivedRequestIsNotLogged) {
  const std::string requests[] = {
      db_set_doc(std::string("InstanceName=\"P\" DBPasswd=\"") + kPassword + "\""),
      db_set_doc(std::string("DBPasswd='") + kPassword + "' InstanceName=\"P\""),
      db_set_doc(std::string("DBPasswd = \"") + kPassword + "\" DBUser=\"DBPasswd\""),
      doc(std::string("<DBSet DBPasswd=\"a\"/><DBSet DBPasswd=\"") + kPassword + "\"/>"),
      doc(std::string("<DBSet DBPasswd=\"") + kPassword),
  };
  for (const std::string& text : requests) {
    SCOPED_TRACE(text);
    int pair[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, pair));
    qorc_head head{};
    head.proto_version = 2;
    head.cmd = 45;
    head.data_len = static_cast<uint32_t>(text.size());
    ASSERT_EQ(static_cast<ssize_t>(sizeof(head)), write(pair[0], &head, sizeof(head)));
    ASSERT_EQ(static_cast<ssize_t>(text.size()), write(pair[0], text.data(), text.size()));
    qorc_req* req = req_alloc();
    ASSERT_EQ(0, recv_from_remote(pair[1], req));
    EXPECT_EQ(text, req->recvxml);
    call(db_set, req->recvxml);
    req_free(req);
    close(pair[0]);
    close(pair[1]);
    bool shown = false;
    for (const auto& line : libtest::take_syslog()) {
      EXPECT_EQ(std::string::npos, line.text.find(kPassword)) << line.text;
      shown = shown || line.text.find("Recv xml: ") != std::string::npos;
    }
    EXPECT_TRUE(shown);
  }
}

TEST_F(CommandTest, RegisteredDatabaseIsInTheNextReport) {
  ASSERT_EQ(0, call(db_set, db_set_doc("DBType=\"0\" InstanceName=\"PROD\" ArchiveLog=\"1\" "
                                       "OracleHome=\"/u01/db\" DBPasswd=\"x\"")
                                .c_str())
                   .status);
  uint32_t len = 0;
  char* report = qor_client_report(&g_client, g_qor, 1, &len);
  ASSERT_NE(nullptr, report);
  std::string text(report);
  free(report);
  EXPECT_NE(std::string::npos,
            text.find("<DataBaseList ConfiguredBy=\"0\"><DataBase Type=\"0\" OracleHome=\"/u01/db\" "
                      "InstanceName=\"PROD\" ArchiveLog=\"1\"/></DataBaseList>"))
      << text;
}

// ---- Groups ----

class GroupTest : public CommandTest {};


std::string bg_create_doc(const char* name_attr, std::vector<std::string> guids) {
  std::string body = std::string("<BGCreate ") + name_attr + " IsCluster=\"0\">";
  for (const std::string& g : guids) body += "<SrcDisk SrcGUID=\"" + g + "\"/>";
  return doc(body + "</BGCreate>");
}

std::string zel_group_doc(const char* name_attr, std::vector<std::string> guids) {
  std::string body = std::string("<Group ") + name_attr + " IsCluster=\"0\">";
  for (const std::string& g : guids) body += "<Disk guid=\"" + g + "\"/>";
  return doc(body + "</Group>");
}

const std::string kLongName(512, 'n');
const std::string kLongestName(511, 'n');
const std::string kGuid37 = std::string(kB) + "0";


// Creation, in the server's form and the CDP agent's: a new group goes to
// the tail without schedule and without job; a name in use, a missing name
// and what a group cannot hold are refused and change nothing.
TEST_F(GroupTest, Create) {
  for (bool zel : {false, true}) {
    SCOPED_TRACE(zel ? "ZEL_CREATE_GROUP" : "BG_CREATE");
    auto req = zel ? zel_group_doc : bg_create_doc;
    const char* name_attr = zel ? "name" : "BGName";
    auto named = [&](const std::string& n) { return std::string(name_attr) + "=\"" + n + "\""; };
    std::vector<GroupCase> cases = {
        {"new group", req(named("NEW").c_str(), {kC, kD}), 0,
         {"G1[A,B]{1000,2000,600} NEW[C,D]{0,0,0}", "", ""}},
        {"no members", req(named("NEW").c_str(), {}), 0, {"G1[A,B]{1000,2000,600} NEW[]{0,0,0}", "", ""}},
        {"name in use", req(named("G1").c_str(), {kC}), zel ? 10029 : 1, {}},
        {"no name", req("Other=\"NEW\"", {kC}), 4, {}},
        {"empty name", req(named("").c_str(), {kC}), 4, {}},
        {"not a document", "<Tidewell>", 4, {}},
        {"no group element", doc("<Nothing/>"), 4, {}},
        {"longest name", req(named(kLongestName).c_str(), {kC}), 0,
         {"G1[A,B]{1000,2000,600} " + kLongestName + "[C]{0,0,0}", "", ""}},
        {"name too long", req(named(kLongName).c_str(), {kC}), 1, {}},
        {"GUID too long", req(named("NEW").c_str(), {kC, kGuid37}), 1, {}},
    };
    run(zel ? zel_create_group : bg_create, cases);
  }
  EXPECT_EQ(4, call(zel_create_group, nullptr).status);
  EXPECT_EQ(4, call(bg_create, nullptr).status);
}

TEST_F(GroupTest, CreatedGroupIsInTheNextReport) {
  ASSERT_EQ(0, call(bg_create, bg_create_doc("BGName=\"NEW\"", {kC}).c_str()).status);
  uint32_t len = 0;
  char* report = qor_client_report(&g_client, g_qor, 1, &len);
  ASSERT_NE(nullptr, report);
  std::string text(report);
  free(report);
  EXPECT_NE(std::string::npos,
            text.find(std::string("<Group GroupName=\"NEW\" StartTimestamp=\"0\" IntervalTime=\"0\" "
                                  "IsCluster=\"0\" DiskType=\"1\" Active=\"1\"><Disk GUID=\"") +
                      kC + "\"/></Group></GroupList>"))
      << text;
}

// Members join at the tail and give up their own schedules, where they had
// a job; the group keeps its schedule and job.  A group that is not there is
// looked up before anything is touched: the refusal costs no disk its
// schedule.
TEST_F(GroupTest, AddMembers) {
  for (bool zel : {false, true}) {
    SCOPED_TRACE(zel ? "ZEL_ADD_MEMBER" : "ADD_DISK_TO_BG");
    auto req = zel ? zel_group_doc : bg_create_doc;
    std::string g1 = zel ? "name=\"G1\"" : "BGName=\"G1\"";
    std::vector<GroupCase> cases = {
        {"disk with job and disk without", req(g1.c_str(), {kC, kD}), 0,
         {"G1[A,B,C,D]{1000,2000,600}", "D>MD{1000,2000,300}", "grp:G1"}},
        {"a member again", req(g1.c_str(), {kA}), 0, {"G1[A,B,A]{1000,2000,600}", "", ""}},
        {"no disks", req(g1.c_str(), {}), 0, {}},
        {"no such group", req(zel ? "name=\"NOPE\"" : "BGName=\"NOPE\"", {kC}), 1, {}},
        {"no name", req("IsCluster=\"1\"", {kC}), 4, {}},
        {"GUID too long", req(g1.c_str(), {kC, kGuid37}), 1, {}},
        {"not a document", "", 4, {}},
    };
    run(zel ? zel_add_member : add_disk_to_grp, cases);
  }
}

// Deletion removes the group and its job; its members get no schedule.
TEST_F(GroupTest, Delete) {
  for (bool zel : {false, true}) {
    SCOPED_TRACE(zel ? "ZEL_DELETE_GROUP" : "DEL_BACKUP_GRP");
    auto req = [&](const char* attrs, std::vector<std::string> disks = {}) {
      return zel ? zel_group_doc(attrs, disks) : doc(std::string("<BGDelete ") + attrs + "/>");
    };
    std::vector<GroupCase> cases = {
        {"deleted", req(zel ? "name=\"G1\"" : "BGName=\"G1\""), 0, {"-", "", "disk:C"}},
        // Only the name counts: a listed disk no group could hold is not read.
        {"disks listed", req(zel ? "name=\"G1\"" : "BGName=\"G1\"", {kC, kGuid37}), 0,
         {"-", "", "disk:C"}},
        {"unknown", req(zel ? "name=\"NOPE\"" : "BGName=\"NOPE\""), 1, {}},
        {"no name", req("IsCluster=\"1\""), 4, {}},
        {"not a document", "<", 4, {}},
    };
    run(zel ? zel_delete_group : del_backup_grp, cases);
  }
}

// ---- REM_DISK_FROM_BG and ZEL_DEL_MEMBER ----

// Beside G1: an unscheduled G2 of A, and two scheduled groups named DUP,
// the first holding B, the second A and X.
void more_groups() {
  list_add_tail(&new_group("G2", {kA})->list, &g_qor->groups);
  list_add_tail(&new_group("DUP", {kB}, 7000, 8000, 70)->list, &g_qor->groups);
  list_add_tail(&new_group("DUP", {kA, kX}, 5000, 6000, 60)->list, &g_qor->groups);
}


std::string rem_doc(const std::string& attrs) { return doc("<RemBGDisk " + attrs + "/>"); }
std::string rem(const char* group, const char* guid) {
  return rem_doc(std::string("BGName=\"") + group + "\" SrcGUID=\"" + guid + "\"");
}


// The disk leaves its group; a disk with a mirror relationship leaving a
// scheduled group takes the group's times as a schedule and a job of its
// own.  Only a disk that really was a member does, and once.
TEST_F(GroupTest, RemoveDisk) {
  std::vector<GroupCase> cases = {
      {"member with relationship", rem("G1", kA), 0,
       {"G1[B]{1000,2000,600} G2[A]{0,0,0} DUP[B]{7000,8000,70} DUP[A,X]{5000,6000,60}",
        "C>MC{1000,2000,300} D>MD{1000,2000,300} A>MA{1000,2000,600}", "disk:A disk:C grp:G1"}},
      {"member without relationship", rem("G1", kB), 0,
       {"G1[A]{1000,2000,600} G2[A]{0,0,0} DUP[B]{7000,8000,70} DUP[A,X]{5000,6000,60}", "", ""}},
      {"group without schedule", rem("G2", kA), 0,
       {"G1[A,B]{1000,2000,600} G2[]{0,0,0} DUP[B]{7000,8000,70} DUP[A,X]{5000,6000,60}", "", ""}},
      // The first DUP lacks A: the second, which holds it, gives its times,
      // and A gets one schedule.
      {"second group of the name", rem("DUP", kA), 0,
       {"G1[A,B]{1000,2000,600} G2[A]{0,0,0} DUP[B]{7000,8000,70} DUP[X]{5000,6000,60}",
        "C>MC{1000,2000,300} D>MD{1000,2000,300} A>MA{5000,6000,60}", "disk:A disk:C grp:G1"}},
      // X has a relationship but is no member of G1: nothing for it.
      {"not a member", rem("G1", kX), 1, {}},
      {"no such group", rem("NOPE", kA), 1, {}},
      {"no group name", rem_doc(std::string("SrcGUID=\"") + kA + "\""), 4, {}},
      {"no GUID", rem_doc("BGName=\"G1\""), 4, {}},
      {"other element", doc(std::string("<BGDelete BGName=\"G1\" SrcGUID=\"") + kA + "\"/>"), 4, {}},
      {"name too long for the buffer", rem(kLongName.c_str(), kA), 4, {}},
      {"not a document", "<Tidewell><RemBGDisk", 4, {}},
  };
  run(rem_disk_from_bg, cases, more_groups);
}

// D keeps its stored schedule (it has no job) as a member of the scheduled
// G3; it has a mirror relationship.
void d_in_g3() {
  list_add_tail(&new_group("G3", {kD}, 3000, 4000, 30)->list, &g_qor->groups);
  add_backup(kD, "MD2");
}

// Leaving the group, a disk with a stored schedule of its own takes the
// group's times in that one: one disk, one schedule.
TEST_F(GroupTest, RemoveDiskWithAScheduleOfItsOwn) {
  run(rem_disk_from_bg,
      {{"member with a schedule", rem("G3", kD), 0,
        {"G1[A,B]{1000,2000,600} G3[]{3000,4000,30}", "C>MC{1000,2000,300} D>MD2{3000,4000,30}",
         "disk:C disk:D grp:G1"}}},
      d_in_g3);
}

// Every group of the name loses each listed member, each at most once; no
// schedule is given.
TEST_F(GroupTest, DeleteMembers) {
  std::vector<GroupCase> cases = {
      {"listed twice", zel_group_doc("name=\"G1\"", {kA, kA}), 0,
       {"G1[B]{1000,2000,600} G2[A]{0,0,0} DUP[B]{7000,8000,70} DUP[A,X]{5000,6000,60}", "", ""}},
      {"every group of the name", zel_group_doc("name=\"DUP\"", {kB, kA}), 0,
       {"G1[A,B]{1000,2000,600} G2[A]{0,0,0} DUP[]{7000,8000,70} DUP[X]{5000,6000,60}", "", ""}},
      {"only non-members", zel_group_doc("name=\"G1\"", {kC, kX}), 1, {}},
      {"no such group", zel_group_doc("name=\"NOPE\"", {kA}), 1, {}},
      {"no name", zel_group_doc("IsCluster=\"0\"", {kA}), 4, {}},
      {"not a document", "", 4, {}},
  };
  run(zel_del_member, cases, more_groups);
}

TEST_F(GroupTest, DuplicateMembersAllLeave) {
  backup_group* g = new_group("G3", {kA, kB, kA});
  list_add_tail(&g->list, &g_qor->groups);
  ASSERT_EQ(0, call(zel_del_member, zel_group_doc("name=\"G3\"", {kA}).c_str()).status);
  EXPECT_EQ("G1[A,B]{1000,2000,600} G3[B]{0,0,0}", groups_of(g_qor));
}

// ZEL_GET_GROUP lists names and members, never schedules.
TEST_F(GroupTest, GetGroups) {
  const std::string head = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Tidewell>";
  Answer a = call(zel_get_group, "ignored, never read");
  EXPECT_EQ(0, a.status);
  EXPECT_EQ(head + "<GroupList><Group name=\"G1\"><Disk guid=\"" + kA + "\"/><Disk guid=\"" + kB +
                "\"/></Group></GroupList></Tidewell>\n",
            a.doc);
  backup_grp_list_free(&g_qor->groups);
  a = call(zel_get_group, nullptr);
  EXPECT_EQ(0, a.status);
  EXPECT_EQ(head + "<GroupList/></Tidewell>\n", a.doc);
  EXPECT_TRUE(libtest::syslog_contains("GroupList is empty."));
  list_add_tail(&new_group("E", {})->list, &g_qor->groups);
  EXPECT_EQ(head + "<GroupList><Group name=\"E\"/></GroupList></Tidewell>\n",
            call(zel_get_group, nullptr).doc);
}

// The group commands' lookups and changes each hold the configuration lock
// once: creations of one name from many threads leave exactly one group.
TEST_F(GroupTest, ConcurrentCreationsOfOneName) {
  constexpr int kThreads = 8;
  std::vector<pthread_t> threads(kThreads);
  std::vector<int> statuses(kThreads);
  static const std::string request = zel_group_doc("name=\"NEW\"", {kC});
  for (int i = 0; i < kThreads; i++) {
    pthread_create(
        &threads[i], nullptr,
        [](void* out) -> void* {
          *static_cast<int*>(out) = call(zel_create_group, request.c_str()).status;
          return nullptr;
        },
        &statuses[i]);
  }
  for (pthread_t t : threads) pthread_join(t, nullptr);
  EXPECT_EQ(1, std::count(statuses.begin(), statuses.end(), 0));
  EXPECT_EQ(kThreads - 1, std::count(statuses.begin(), statuses.end(), 10029));
  EXPECT_EQ("G1[A,B]{1000,2000,600} NEW[C]{0,0,0}", groups_of(g_qor));
}

// ---- Disk schedules ----

// SET_CDP_SCHEDULE looks for the disk's schedule and adds a new one in two
// holds of the configuration lock: requests for one disk that all found no
// schedule (held up at the relationships until each has looked) still leave
// it one schedule, which a clearing then removes for good.
TEST_F(CommandTest, ConcurrentNewSchedulesOfOneDisk) {
  constexpr int kThreads = 8;
  auto request = [](uint64_t start, uint32_t interval) {
    return doc(std::string("<Backup SourceType=\"0\" Source=\"") + kX +
               "\"><Schedule StartTime=\"" + std::to_string(start) + "\" IntervalSeconds=\"" +
               std::to_string(interval) + "\"/></Backup>");
  };
  static std::string set;
  set = request(4000000000u, 600);
  std::vector<pthread_t> threads(kThreads);
  std::vector<int> statuses(kThreads);
  g_client_lock();
  for (int i = 0; i < kThreads; i++) {
    pthread_create(
        &threads[i], nullptr,
        [](void* out) -> void* {
          *static_cast<int*>(out) = call(set_cdp_schedule, set.c_str()).status;
          return nullptr;
        },
        &statuses[i]);
  }
  const std::string looked = std::string("Looking for disk ") + kX + " in backup list.";
  int looking = 0;
  bool all = testsupport::eventually([&] {
    for (const auto& line : libtest::take_syslog())
      looking += line.text.find(looked) != std::string::npos;
    return looking == kThreads;
  });
  g_client_unlock();
  for (pthread_t t : threads) pthread_join(t, nullptr);
  ASSERT_TRUE(all) << looking;
  EXPECT_EQ(kThreads, std::count(statuses.begin(), statuses.end(), 0));
  EXPECT_EQ((State{initial_.groups,
                   initial_.schedules + " X>MX{4000000000,4000000000,600}",
                   "disk:C disk:X grp:G1"}),
            state());
  expect_saved();

  ASSERT_EQ(0, call(set_cdp_schedule, request(0, 0).c_str()).status);
  EXPECT_EQ(initial_, state());
  expect_saved();
}

// A withdrawal removes the jobs first and the manager last.  A command that
// found the host managed in between (here held up at the relationships,
// after the jobs were removed) must not leave a job or schedule that
// outlives the withdrawal.
TEST_F(CommandTest, AScheduleSetDuringAWithdrawalDoesNotOutliveIt) {
  g_client_lock();
  pthread_t reset;
  pthread_create(
      &reset, nullptr,
      [](void*) -> void* {
        _client_reset();
        return nullptr;
      },
      nullptr);
  bool stopped = testsupport::eventually([&] {
    for (const auto& line : libtest::take_syslog())
      if (line.text.find("Stop heartbeat.") != std::string::npos) return true;
    return false;
  });
  const int status = call(set_cdp_schedule,
                          doc(std::string("<Backup SourceType=\"0\" Source=\"") + kC +
                              "\"><Schedule StartTime=\"4000000000\" IntervalSeconds=\"600\"/>"
                              "</Backup>")
                              .c_str())
                         .status;
  g_client_unlock();
  pthread_join(reset, nullptr);
  ASSERT_TRUE(stopped);
  EXPECT_EQ(0, status);  // the host was still managed
  EXPECT_EQ(0, qor_is_protected(g_qor));
  EXPECT_EQ((State{"", "", ""}), state());
  expect_saved();
}

}  // namespace

int main(int argc, char** argv) {
  // It writes the host's configuration and the outside library's files:
  // never this machine's.
  if (!hl_simulated()) {
    fprintf(stderr, "%s runs only inside a simulated host\n", argv[0]);
    return 2;
  }
  // Debug lines too: no password may reach any of them.
  set_log_level(7);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
