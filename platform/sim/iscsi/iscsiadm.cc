// The host's iscsiadm stand-in.  It records every argument vector it is
// run with (kCallLog) and answers from the test's table of targets
// (kTargetsFile):
//   -m discovery -t st|sendtargets -p PORTAL [-I IFACE]
//       writes a node record kNodesDir/IQN/ADDR,PORT,1/IFACE for every target
//       at the portal; fails without iscsid or without a target there.
//   -m node [-T IQN] [-p PORTAL] [-I IFACE] -l
//       logs in to every matching node record whose target the table has at
//       that portal (and does not mark refuse-login): a session in /sys
//       (through simkernel) that keeps its portal, as open-iscsi's do, and
//       the target's LUNs hot-added, so udev events follow.
//   -m node [-T IQN] [-p PORTAL] [-I IFACE] -u
//       ends the matching sessions (a portal without port is at 3260); the
//       target's LUNs go with its last one.
// Anything else fails.  Exit codes are open-iscsi's.
#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ctl_proto.h"
#include "device_tree.h"
#include "host_config.h"
#include "standin.h"
#include "transport_tree.h"

namespace {

using namespace simiscsi;

enum Exit {
  kOk = 0,
  kErrTrans = 4,
  kErrInval = 7,
  kErrTransTimeout = 8,
  kErrSessExists = 15,
  kErrIscsidNotconn = 20,
  kErrNoObjsFound = 21,
};

struct Lun {
  std::string name, guid;
  uint64_t size = 0;
};

struct Target {
  std::string iqn, addr;
  int port = 3260;
  bool refuse_login = false;
  std::vector<Lun> luns;
};

struct Portal {
  std::string addr;
  int port = 3260;
};

struct Args {
  std::string mode, type, portal, target, iface;
  bool login = false, logout = false;
};

void record(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  std::string line = json_array(args) + "\n";
  int fd = open(kCallLog, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  if (write(fd, line.data(), line.size()) < 0) {
  }
  close(fd);
}

bool parse_portal(const std::string& text, Portal* p) {
  std::string addr = text;
  size_t colon = text.find(':');
  if (colon != std::string::npos) {
    addr = text.substr(0, colon);
    std::string port = text.substr(colon + 1);
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
      return false;
    p->port = std::stoi(port);
    if (p->port < 1 || p->port > 65535) return false;
  }
  in_addr a;
  if (inet_pton(AF_INET, addr.c_str(), &a) != 1) return false;
  p->addr = addr;
  return true;
}

std::string portal_text(const Portal& p) { return p.addr + ":" + std::to_string(p.port); }

// The table; a line that does not read is skipped with a word on stderr.
std::vector<Target> load_targets() {
  std::vector<Target> out;
  std::ifstream in(kTargetsFile);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream w(line);
    std::string kind, iqn, portal;
    if (!(w >> kind) || kind[0] == '#') continue;
    Target t;
    Portal p;
    bool ok = kind == "target" && (w >> iqn >> portal) && sim::valid_iqn(iqn) && parse_portal(portal, &p);
    t.iqn = iqn;
    t.addr = p.addr;
    t.port = p.port;
    std::string word, lun;
    while (ok && (w >> word)) {
      if (word == "refuse-login") {
        t.refuse_login = true;
        continue;
      }
      ok = word == "lun" && (w >> lun);
      size_t a = lun.find(':'), b = lun.find(':', a + 1);
      if (!ok || a == std::string::npos || b == std::string::npos) {
        ok = false;
        break;
      }
      Lun l{lun.substr(0, a), lun.substr(b + 1)};
      ok = sim::parse_size(lun.substr(a + 1, b - a - 1), &l.size) && ctlproto::valid_disk_name(l.name);
      t.luns.push_back(l);
    }
    if (ok)
      out.push_back(t);
    else
      fprintf(stderr, "iscsiadm: %s: line not understood: %s\n", kTargetsFile, line.c_str());
  }
  return out;
}

const Target* find_target(const std::vector<Target>& ts, const std::string& iqn, const Portal& p) {
  for (const auto& t : ts)
    if (t.iqn == iqn && t.addr == p.addr && t.port == p.port) return &t;
  return nullptr;
}

bool iface_usable(const std::string& iface) {
  if (iface == "default") return true;
  struct stat st;
  return sim::valid_iface_name(iface) &&
         stat((std::string(kIfacesDir) + "/" + iface).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

int ctl(uint16_t op, const std::vector<std::string>& strs, uint64_t* size_after_first = nullptr,
        std::string* msg = nullptr) {
  ctlproto::Writer w;
  for (size_t i = 0; i < strs.size(); ++i) {
    w.str(strs[i]);
    if (i == 0 && size_after_first != nullptr) w.u64(*size_after_first);
  }
  int result = 0;
  std::string reply;
  int rc = ctlproto::call(ctlproto::kSocketPath, op, w.data(), &result, &reply);
  if (rc < 0) {
    if (msg) *msg = strerror(-rc);
    return rc;
  }
  if (msg) *msg = reply;
  return result;
}

std::vector<std::string> list_dir(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (struct dirent* e = readdir(d))
      if (e->d_name[0] != '.') names.push_back(e->d_name);
    closedir(d);
  }
  return names;
}

int discovery(const Args& a) {
  Portal p;
  if ((a.type != "st" && a.type != "sendtargets") || !parse_portal(a.portal, &p) || a.login ||
      a.logout || !a.target.empty()) {
    fprintf(stderr, "iscsiadm: discovery needs -t st and a portal ADDR[:PORT]\n");
    return kErrInval;
  }
  std::string iface = a.iface.empty() ? "default" : a.iface;
  if (!iface_usable(iface)) {
    fprintf(stderr, "iscsiadm: Could not read iface info for %s.\n", iface.c_str());
    return kErrNoObjsFound;
  }
  if (iscsid_pids().empty()) {
    fprintf(stderr, "iscsiadm: can not connect to iSCSI daemon (111)!\n");
    return kErrIscsidNotconn;
  }
  std::vector<Target> found;
  for (const auto& t : load_targets())
    if (t.addr == p.addr && t.port == p.port) found.push_back(t);
  if (found.empty()) {
    fprintf(stderr,
            "iscsiadm: cannot make connection to %s: No route to host\n"
            "iscsiadm: Could not perform SendTargets discovery: encountered connection failure\n",
            p.addr.c_str());
    return kErrTrans;
  }
  for (const auto& t : found) {
    std::string rec = std::string(kNodesDir) + "/" + t.iqn + "/" + t.addr + "," +
                      std::to_string(t.port) + ",1";
    if (sim::make_dirs(rec) < 0) {
      fprintf(stderr, "iscsiadm: cannot write %s: %s\n", rec.c_str(), strerror(errno));
      return kErrInval;
    }
    std::string body = "node.name = " + t.iqn + "\nnode.tpgt = 1\nnode.conn[0].address = " + t.addr +
                       "\nnode.conn[0].port = " + std::to_string(t.port) +
                       "\niface.iscsi_ifacename = " + iface + "\n";
    sim::write_in_place(rec + "/" + iface, body);
    printf("%s:%d,1 %s\n", t.addr.c_str(), t.port, t.iqn.c_str());
  }
  return kOk;
}

struct Record {
  std::string iqn, iface;
  Portal portal;
};

// The node records that match the selection: kNodesDir/IQN/ADDR,PORT,TPGT/IFACE.
std::vector<Record> select_records(const Args& a, const Portal* want) {
  std::vector<Record> out;
  for (const auto& iqn : list_dir(kNodesDir)) {
    if (!a.target.empty() && iqn != a.target) continue;
    for (const auto& pdir : list_dir(std::string(kNodesDir) + "/" + iqn)) {
      size_t c1 = pdir.find(','), c2 = pdir.find(',', c1 + 1);
      if (c1 == std::string::npos || c2 == std::string::npos) continue;
      Portal p;
      if (!parse_portal(pdir.substr(0, c1) + ":" + pdir.substr(c1 + 1, c2 - c1 - 1), &p)) continue;
      if (want != nullptr && (p.addr != want->addr || p.port != want->port)) continue;
      for (const auto& iface : list_dir(std::string(kNodesDir) + "/" + iqn + "/" + pdir)) {
        if (!a.iface.empty() && iface != a.iface) continue;
        out.push_back({iqn, iface, p});
      }
    }
  }
  return out;
}

int login(const Args& a) {
  Portal want;
  if (!a.portal.empty() && !parse_portal(a.portal, &want)) {
    fprintf(stderr, "iscsiadm: bad portal %s\n", a.portal.c_str());
    return kErrInval;
  }
  if (iscsid_pids().empty()) {
    fprintf(stderr, "iscsiadm: can not connect to iSCSI daemon (111)!\n");
    return kErrIscsidNotconn;
  }
  std::vector<Record> recs = select_records(a, a.portal.empty() ? nullptr : &want);
  if (recs.empty()) {
    fprintf(stderr, "iscsiadm: No records found\n");
    return kErrNoObjsFound;
  }
  std::vector<Target> targets = load_targets();
  int rc = kOk;
  for (const auto& r : recs) {
    char where[512];
    snprintf(where, sizeof where, "[iface: %s, target: %s, portal: %s,%d]", r.iface.c_str(),
             r.iqn.c_str(), r.portal.addr.c_str(), r.portal.port);
    printf("Logging in to %s (multiple)\n", where);
    const Target* t = find_target(targets, r.iqn, r.portal);
    if (t == nullptr || t->refuse_login || !iface_usable(r.iface)) {
      fprintf(stderr, "iscsiadm: Could not login to %s.\n"
                      "iscsiadm: initiator reported error (8 - connection timed out)\n", where);
      rc = kErrTransTimeout;
      continue;
    }
    std::string msg;
    int s = ctl(ctlproto::kIscsiSessionAdd, {r.iqn, r.iface, portal_text(r.portal)}, nullptr, &msg);
    if (s == -EEXIST) {
      fprintf(stderr, "iscsiadm: %s: 1 session requested, but 1 already present.\n", r.iface.c_str());
      rc = kErrSessExists;
      continue;
    }
    if (s < 0) {
      fprintf(stderr, "iscsiadm: Could not login to %s: %s\n", where, msg.c_str());
      rc = kErrTransTimeout;
      continue;
    }
    for (const auto& l : t->luns) {
      uint64_t size = l.size;
      int d = ctl(ctlproto::kDiskAdd, {l.name, l.guid}, &size, &msg);
      if (d < 0 && d != -EEXIST) fprintf(stderr, "iscsiadm: LUN %s: %s\n", l.name.c_str(), msg.c_str());
    }
    printf("Login to %s successful.\n", where);
  }
  return rc;
}

struct Session {
  std::string iqn, iface, portal;  // portal "ADDR:PORT", or "" when it has none
};

// The sessions in /sys, each with the portal of its connection.
std::vector<Session> sessions() {
  std::vector<Session> out;
  const std::string dir = "/sys/class/iscsi_session";
  for (const auto& s : list_dir(dir)) {
    Session one;
    std::ifstream t(dir + "/" + s + "/targetname"), i(dir + "/" + s + "/ifacename");
    std::getline(t, one.iqn);
    std::getline(i, one.iface);
    const std::string conn =
        "/sys/class/iscsi_connection/connection" + s.substr(strlen("session")) + ":0";
    std::string addr, port;
    std::ifstream ca(conn + "/persistent_address"), cp(conn + "/persistent_port");
    if (std::getline(ca, addr) && std::getline(cp, port)) one.portal = addr + ":" + port;
    out.push_back(one);
  }
  return out;
}

int logout(const Args& a) {
  Portal want;
  if (!a.portal.empty() && !parse_portal(a.portal, &want)) {
    fprintf(stderr, "iscsiadm: bad portal %s\n", a.portal.c_str());
    return kErrInval;
  }
  if (iscsid_pids().empty()) {
    fprintf(stderr, "iscsiadm: can not connect to iSCSI daemon (111)!\n");
    return kErrIscsidNotconn;
  }
  std::vector<Session> ended;
  for (const auto& s : sessions())
    if ((a.target.empty() || s.iqn == a.target) && (a.iface.empty() || s.iface == a.iface) &&
        (a.portal.empty() || s.portal == portal_text(want)))
      ended.push_back(s);
  if (ended.empty()) {
    fprintf(stderr, "iscsiadm: No matching sessions found\n");
    return kErrNoObjsFound;
  }
  std::vector<Target> targets = load_targets();
  for (const auto& [iqn, iface, portal] : ended) {
    printf("Logging out of session [iface: %s, target: %s, portal: %s]\n", iface.c_str(),
           iqn.c_str(), portal.c_str());
    ctl(ctlproto::kIscsiSessionRemove, {iqn, iface, portal});
    bool last = true;
    for (const auto& s : sessions()) last = last && s.iqn != iqn;
    if (last) {
      for (const auto& t : targets) {
        if (t.iqn != iqn) continue;
        for (const auto& l : t.luns) ctl(ctlproto::kDiskRemove, {l.name});
      }
    }
    printf("Logout of [iface: %s, target: %s, portal: %s] successful.\n", iface.c_str(),
           iqn.c_str(), portal.c_str());
  }
  return kOk;
}

}  // namespace

int main(int argc, char** argv) {
  record(argc, argv);
  Args a;
  for (int i = 1; i < argc; ++i) {
    std::string o = argv[i];
    std::string* value = o == "-m" || o == "--mode"         ? &a.mode
                         : o == "-t" || o == "--type"       ? &a.type
                         : o == "-p" || o == "--portal"     ? &a.portal
                         : o == "-T" || o == "--targetname" ? &a.target
                         : o == "-I" || o == "--interface"  ? &a.iface
                                                            : nullptr;
    if (value != nullptr && i + 1 < argc) {
      *value = argv[++i];
    } else if (o == "-l" || o == "--login") {
      a.login = true;
    } else if (o == "-u" || o == "--logout") {
      a.logout = true;
    } else {
      fprintf(stderr, "iscsiadm: unsupported argument '%s'\n", o.c_str());
      return kErrInval;
    }
  }
  if ((!a.target.empty() && !sim::valid_iqn(a.target)) ||
      (!a.iface.empty() && !sim::valid_iface_name(a.iface))) {
    fprintf(stderr, "iscsiadm: bad target name or interface\n");
    return kErrInval;
  }
  if (a.mode == "discovery") return discovery(a);
  if (a.mode == "node" && a.login && !a.logout) return login(a);
  if (a.mode == "node" && a.logout && !a.login) return logout(a);
  fprintf(stderr, "iscsiadm: this host's iscsiadm knows no such operation\n");
  return kErrInval;
}
