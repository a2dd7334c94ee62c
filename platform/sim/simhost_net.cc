#include "simhost_net.h"

#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "rtnl.h"
#include "simhost_cmds.h"

namespace simhost {
namespace {

using sim::Rtnl;

std::string errtext(const std::string& what, int neg) { return what + ": " + strerror(-neg); }

// Runs fn in a child (which may join other namespaces without changing this
// process); "" or what fn said went wrong.
std::string in_child(const std::function<std::string()>& fn) {
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) return std::string("pipe: ") + strerror(errno);
  fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) return std::string("fork: ") + strerror(errno);
  if (pid == 0) {
    close(p[0]);
    std::string err = fn();
    if (!err.empty() && write(p[1], err.data(), err.size()) < 0) _exit(2);
    _exit(err.empty() ? 0 : 1);
  }
  close(p[1]);
  std::string err;
  char buf[512];
  for (ssize_t n; (n = read(p[0], buf, sizeof buf)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    err.append(buf, static_cast<size_t>(n));
  }
  close(p[0]);
  int st;
  while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
  }
  if (err.empty() && !(WIFEXITED(st) && WEXITSTATUS(st) == 0)) err = "helper process failed";
  return err;
}

int open_netns(pid_t pid) {
  return open(("/proc/" + std::to_string(pid) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
}

std::string address_and_up(Rtnl& nl, const std::string& ifname, const Ipv4Prefix& a) {
  int rc = nl.add_ipv4(ifname, a.addr, a.prefix);
  if (rc < 0) return errtext("address " + a.text + " on " + ifname, rc);
  rc = nl.set_up(ifname);
  return rc < 0 ? errtext("bringing " + ifname + " up", rc) : "";
}

// The pair of a link, made from inside host a's network namespace with its
// other end straight in host b's: no name of it ever stands in this machine's.
std::string make_link(pid_t a, const std::string& if_a, const Ipv4Prefix& addr_a, pid_t b,
                      const std::string& if_b, const Ipv4Prefix& addr_b) {
  return in_child([&]() -> std::string {
    int na = open_netns(a), nb = open_netns(b);
    if (na < 0 || nb < 0) return std::string("network namespace: ") + strerror(errno);
    if (setns(na, CLONE_NEWNET) != 0) return std::string("joining host's network: ") + strerror(errno);
    Rtnl in_a;
    int rc = in_a.open();
    if (rc < 0) return errtext("rtnetlink", rc);
    rc = in_a.add_veth(if_a, if_b, nb);
    if (rc == -EEXIST) return "an interface " + if_a + " or " + if_b + " exists already";
    if (rc < 0) return errtext("veth " + if_a + "/" + if_b, rc);
    std::string err = address_and_up(in_a, if_a, addr_a);
    if (!err.empty()) return err;
    if (setns(nb, CLONE_NEWNET) != 0) return std::string("joining peer's network: ") + strerror(errno);
    Rtnl in_b;
    rc = in_b.open();
    if (rc < 0) return errtext("rtnetlink", rc);
    return address_and_up(in_b, if_b, addr_b);
  });
}

bool has_interface(pid_t pid, const std::string& ifname) {
  return in_child([&]() -> std::string {
           int ns = open_netns(pid);
           if (ns < 0 || setns(ns, CLONE_NEWNET) != 0) return "no namespace";
           return if_nametoindex(ifname.c_str()) ? "" : "absent";
         }).empty();
}

bool read_desc(const HostDir& h, HostDesc* d, std::string* text, std::string* err) {
  if (!read_text(h.conf(), text)) {
    *err = h.conf() + ": " + strerror(errno);
    return false;
  }
  if (!parse_desc(*text, d, err)) {
    *err = h.conf() + ": " + *err;
    return false;
  }
  return true;
}

// Takes the locks of two hosts in one order, so that two commands that each
// need both never wait for each other.
struct TwoLocks {
  TwoLocks(const HostDir& a, const HostDir& b) {
    bool a_first = a.dir < b.dir;
    first = lock_host(a_first ? a : b);
    second = lock_host(a_first ? b : a);
  }
  ~TwoLocks() {
    if (second >= 0) close(second);
    if (first >= 0) close(first);
  }
  int first, second;
};

}  // namespace

std::string make_nics(const std::vector<Nic>& nics) {
  if (nics.empty()) return "";
  Rtnl nl;
  int rc = nl.open();
  if (rc < 0) return errtext("rtnetlink", rc);
  for (const Nic& n : nics) {
    rc = nl.add_veth(n.name, n.peer(), -1);
    if (rc < 0) return errtext("veth " + n.name + "/" + n.peer(), rc);
    for (const Ipv4Prefix& a : n.addrs) {
      rc = nl.add_ipv4(n.name, a.addr, a.prefix);
      if (rc < 0) return errtext("address " + a.text + " on " + n.name, rc);
    }
    for (const std::string& end : {n.name, n.peer()}) {
      rc = nl.set_up(end);
      if (rc < 0) return errtext("bringing " + end + " up", rc);
    }
  }
  return "";
}

int cmd_link(const std::vector<std::string>& args) {
  if (args.size() != 2) return usage();
  LinkEnd ends[2];
  for (int i = 0; i < 2; i++) {
    std::string err;
    if (!parse_link_end(args[i], &ends[i], &err)) return fail("link %s: %s", args[i].c_str(), err.c_str());
  }
  HostDir h[2];
  for (int i = 0; i < 2; i++)
    if (!open_host(ends[i].dir, &h[i])) return kFail;
  if (h[0].dir == h[1].dir) return fail("link: both ends are host %s", h[0].dir.c_str());

  TwoLocks locks(h[0], h[1]);
  FirstProcess fp[2];
  HostDesc desc[2];
  std::string text[2];
  for (int i = 0; i < 2; i++) {
    if (!running(h[i], &fp[i])) return fail("link: host %s is not running", h[i].dir.c_str());
    std::string err;
    if (!read_desc(h[i], &desc[i], &text[i], &err)) return fail("link: %s", err.c_str());
    if (desc[i].has_ifname(ends[i].ifname) || has_interface(fp[i].pid, ends[i].ifname))
      return fail("link: host %s has an interface %s already", h[i].dir.c_str(), ends[i].ifname.c_str());
  }
  std::string err = make_link(fp[0].pid, ends[0].ifname, ends[0].addr, fp[1].pid, ends[1].ifname,
                              ends[1].addr);
  if (!err.empty()) return fail("link: %s", err.c_str());
  for (int i = 0; i < 2; i++) {
    int j = 1 - i;
    LinkRecord rec{ends[i].ifname, ends[i].addr, h[j].dir, ends[j].ifname, ends[j].addr};
    if (!write_text(h[i].conf(), text[i] + link_line(rec)))
      return fail("link: %s: %s", h[i].conf().c_str(), strerror(errno));
  }
  return 0;
}

void remake_links(const HostDir& h) {
  HostDesc desc;
  std::string text, err;
  if (!read_desc(h, &desc, &text, &err)) {
    fprintf(stderr, "simhost: warning: %s\n", err.c_str());
    return;
  }
  for (const LinkRecord& l : desc.links) {
    HostDir peer{l.peer_dir};
    if (!exists(peer.conf())) {
      fprintf(stderr, "simhost: warning: link %s: %s is no host any more\n", l.ifname.c_str(),
              l.peer_dir.c_str());
      continue;
    }
    TwoLocks locks(h, peer);
    FirstProcess me, other;
    if (!running(h, &me)) return;
    // The peer makes the link at its own start when it is not running now;
    // when it started meanwhile, it may have made it already.
    if (!running(peer, &other) || has_interface(me.pid, l.ifname)) continue;
    err = make_link(me.pid, l.ifname, l.addr, other.pid, l.peer_if, l.peer_addr);
    if (!err.empty())
      fprintf(stderr, "simhost: warning: link %s to %s %s not made: %s\n", l.ifname.c_str(),
              l.peer_dir.c_str(), l.peer_if.c_str(), err.c_str());
  }
}

}  // namespace simhost
