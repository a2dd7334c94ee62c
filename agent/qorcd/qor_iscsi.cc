// The iSCSI channel to the managing server's target: iscsiadm's discovery,
// login and logout, the sessions in sysfs, and the heartbeat's check.
//
// iscsiadm runs from an argument vector (qor_run_argv), never through a
// shell, so a target IQN that came from a peer is one argument whatever it
// holds; and it is checked before it is used at all.
#include <arpa/inet.h>
#include <dirent.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "mirapi/log.h"
#include "qor_inventory.h"
#include "qor_iscsi.h"
#include "qor_iscsi_files.h"
#include "qor_lock.h"
#include "qor_model.h"
#include "qor_run.h"

namespace {

// Where open-iscsi installs iscsiadm, in the order they are tried.
const char* const kIscsiadmPaths[] = {"/usr/local/sbin/iscsiadm", "/usr/local/bin/iscsiadm",
                                      "/bin/iscsiadm",            "/sbin/iscsiadm",
                                      "/usr/bin/iscsiadm",        "/usr/sbin/iscsiadm"};

const char* iscsiadm_path() {
  for (const char* p : kIscsiadmPaths)
    if (access(p, F_OK) == 0) return p;
  return nullptr;
}

// One iscsiadm command: its words, shown joined by blanks in the log.
class Command {
 public:
  explicit Command(std::initializer_list<const char*> fixed) : words_(fixed.begin(), fixed.end()) {}
  void add(const char* a) { words_.push_back(a); }
  void add(const char* opt, const char* value) {
    words_.push_back(opt);
    words_.push_back(value);
  }
  std::string text() const {
    std::string t;
    for (const auto& w : words_) {
      if (!t.empty()) t += ' ';
      t += w;
    }
    return t;
  }
  // Logs the command at level 7 and runs it: 0 when iscsiadm exited 0,
  // else -1 with the failure logged.
  int run() const {
    std::string line = text();
    HM_LOG(LOG_DEBUG, "%s", line.c_str());
    std::vector<char*> argv;
    for (const auto& w : words_) argv.push_back(const_cast<char*>(w.c_str()));
    argv.push_back(nullptr);
    const char* path = iscsiadm_path();
    int rc = path != nullptr ? qor_run_argv(path, argv.data(), QOR_RUN_LIMIT_S, nullptr, 0, nullptr)
                             : QOR_RUN_FAILED;
    if (rc == 0) return 0;
    char err[64];
    if (rc == QOR_RUN_TIMEOUT)
      snprintf(err, sizeof err, "no end within %d seconds", QOR_RUN_LIMIT_S);
    else if (rc == QOR_RUN_FAILED)
      snprintf(err, sizeof err, "%s", path == nullptr ? "iscsiadm is not installed" : "not started");
    else
      snprintf(err, sizeof err, "exit status %d", rc);
    HM_LOG(LOG_ERR, "Failed to execute cmd: '%s' error: '%s'", line.c_str(), err);
    return -1;
  }

 private:
  std::vector<std::string> words_;
};

#define ISCSIADM_DISCOVERY "iscsiadm", "-m", "discovery", "-t", "st"
#define ISCSIADM_NODE "iscsiadm", "-m", "node"

// Frees its pointers at the end of the scope.
struct Freer {
  std::vector<void*> ptrs;
  ~Freer() {
    for (void* p : ptrs) free(p);
  }
  template <typename T>
  T* keep(T* p) {
    ptrs.push_back(p);
    return p;
  }
};

// The checks both ends of an operation share: both nodes, and a target IQN
// (when it has one) that is safe to hand over.
int check_nodes(const qor_iscsi_node* tgt, const qor_iscsi_node* init) {
  if (tgt == nullptr) {
    HM_LOG(LOG_ERR, "tgt is NULL");
    return -1;
  }
  if (init == nullptr) {
    HM_LOG(LOG_ERR, "init is NULL");
    return -1;
  }
  if (tgt->iqn != nullptr && !qor_iscsi_iqn_ok(tgt->iqn)) {
    HM_LOG(LOG_ERR, "Refused target iqn '%s'", tgt->iqn);
    return -1;
  }
  return 0;
}

int session_dir_filter(const struct dirent* e) { return e->d_name[0] != '.'; }

}  // namespace

void qor_iscsi_node_free(qor_iscsi_node* node) {
  if (node == nullptr) return;
  free(node->iqn);
  free(node);
}

int iscsiadm_installed(void) { return iscsiadm_path() != nullptr ? 1 : 0; }

int iscsid_running(void) {
  char line[512];
  int has_line = 0;
  qor_run_shell("pgrep iscsid", QOR_RUN_LIMIT_S, line, sizeof line, &has_line);
  return has_line ? 1 : 0;
}

int qor_iscsi_discover_target(qor_iscsi_node* tgt, qor_iscsi_node* init) {
  if (check_nodes(tgt, init) != 0) return -1;
  Freer f;
  char* portal = f.keep(get_portal(tgt));
  if (portal == nullptr) return -1;
  char* iface = nullptr;
  if (check_before_operate(&iface, init) != 0) {
    HM_LOG(LOG_ERR, "Failed to check iscsi node");
    return -1;
  }
  f.keep(iface);
  Command cmd{ISCSIADM_DISCOVERY};
  cmd.add("-p", portal);
  if (iface != nullptr) cmd.add("-I", iface);
  if (cmd.run() != 0) return -1;
  // The target's records of other portals would make a later login try
  // them too.
  char* ip = f.keep(node_ip_str(tgt));
  remove_iscsi_node_record(tgt->iqn, ip);
  return 0;
}

int qor_iscsi_login_channel(qor_iscsi_node* tgt, qor_iscsi_node* init) {
  if (check_nodes(tgt, init) != 0) return -1;
  Freer f;
  char* portal = qor_iscsi_addr_unset(tgt->addr) ? nullptr : f.keep(get_portal(tgt));
  char* iface = nullptr;
  if (check_before_operate(&iface, init) != 0) {
    HM_LOG(LOG_ERR, "Failed to check iscsi node");
    return -1;
  }
  f.keep(iface);
  Command cmd{ISCSIADM_NODE};
  if (portal != nullptr) cmd.add("-p", portal);
  if (tgt->iqn != nullptr) cmd.add("-T", tgt->iqn);
  if (iface != nullptr) cmd.add("-I", iface);
  cmd.add("-l");
  return cmd.run();
}

int qor_establish_iscsi_channel(qor_iscsi_node* tgt, qor_iscsi_node* init) {
  if (qor_iscsi_discover_target(tgt, init) != 0) return -1;
  return qor_iscsi_login_channel(tgt, init);
}

int qor_establish_iscsi_channel_auto(qor_iscsi_node* tgt) {
  qor_iscsi_node* init = static_cast<qor_iscsi_node*>(calloc(1, sizeof(qor_iscsi_node)));
  if (init == nullptr) {
    HM_LOG(LOG_ERR, "Failed to allocate memory");
    return -1;
  }
  LIST_HEAD(ips);
  get_ipsv4_filter_ip(g_qor, &ips);
  int ok = 0;
  struct list_head* pos;
  list_for_each(pos, &ips) {
    init->addr = list_entry(pos, ip_entry, list)->addr;
    if (qor_establish_iscsi_channel(tgt, init) != 0) continue;
    ok = 1;
    char* from = node_ip_str(init);
    char* to = node_ip_str(tgt);
    HM_LOG(LOG_INFO, "Connect from '%s' to '%s'(%s:%d) successfully", from ? from : "", tgt->iqn,
           to ? to : "", ntohs(tgt->port));
    free(from);
    free(to);
  }
  ip_list_free(&ips);
  qor_iscsi_node_free(init);
  return ok ? 0 : -1;
}

int qor_iscsi_channel_exist(qor_iscsi_node* tgt, qor_iscsi_node* init) {
  if (tgt == nullptr || tgt->iqn == nullptr) return 0;
  char* iface = (init != nullptr && !qor_iscsi_addr_unset(init->addr)) ? get_iface_name(init) : nullptr;
  struct dirent** names = nullptr;
  int n = scandir(QOR_ISCSI_SESSION_DIR, &names, session_dir_filter, alphasort);
  if (n < 0) {
    HM_LOG(LOG_ERR, "Failed to scandir(%s)", QOR_ISCSI_SESSION_DIR);
    free(iface);
    return 0;
  }
  int found = 0;
  for (int i = n - 1; i >= 0 && !found; --i) {
    char path[PATH_MAX], value[512];
    snprintf(path, sizeof path, "%s/%s/targetname", QOR_ISCSI_SESSION_DIR, names[i]->d_name);
    if (get_value(value, path, sizeof value) != 0 || value[0] == '\0' || strcmp(value, tgt->iqn) != 0)
      continue;
    if (iface == nullptr) {
      found = 1;
      continue;
    }
    snprintf(path, sizeof path, "%s/%s/ifacename", QOR_ISCSI_SESSION_DIR, names[i]->d_name);
    if (get_value(value, path, sizeof value) == 0 && value[0] != '\0' && strcmp(value, iface) == 0)
      found = 1;
  }
  for (int i = 0; i < n; ++i) free(names[i]);
  free(names);
  free(iface);
  return found;
}

int qor_iscsi_logout_channel(qor_iscsi_node* tgt, qor_iscsi_node* init) {
  if (check_nodes(tgt, init) != 0) return -1;
  if (tgt->iqn == nullptr) {
    HM_LOG(LOG_ERR, "Target iqn is NULL");
    return -1;
  }
  // The interface is looked at as for a login; the logout line itself
  // names the target, and its portal when it has an address: the sessions
  // to the same target at its other portals stay.
  char* iface = nullptr;
  if (check_before_operate(&iface, init) != 0) {
    HM_LOG(LOG_ERR, "Failed to check iscsi node");
    return -1;
  }
  free(iface);
  Freer f;
  char* portal = qor_iscsi_addr_unset(tgt->addr) ? nullptr : f.keep(get_portal(tgt));
  Command cmd{ISCSIADM_NODE};
  cmd.add("-T", tgt->iqn);
  if (portal != nullptr) cmd.add("-p", portal);
  cmd.add("-u");
  return cmd.run();
}

int qor_cancel_iscsi_channel_all(const char* iqn) {
  if (iqn == nullptr) return 0;
  qor_iscsi_node* tgt = static_cast<qor_iscsi_node*>(calloc(1, sizeof(qor_iscsi_node)));
  qor_iscsi_node* init = static_cast<qor_iscsi_node*>(calloc(1, sizeof(qor_iscsi_node)));
  if (tgt == nullptr || init == nullptr || (tgt->iqn = strdup(iqn)) == nullptr) {
    HM_LOG(LOG_ERR, "Failed to malloc for qor_iscsi_node");
    qor_iscsi_node_free(tgt);
    qor_iscsi_node_free(init);
    return -1;
  }
  int rc = qor_iscsi_logout_channel(tgt, init);
  if (rc != 0) {
    // Without a logout the files stay, so the channel can still be found
    // and torn down again.
    HM_LOG(LOG_ERR, "logout error");
  } else {
    qor_remove_channel_file(iqn);
  }
  qor_iscsi_node_free(tgt);
  qor_iscsi_node_free(init);
  return rc == 0 ? 0 : -1;
}

int qor_remove_channel_file(const char* iqn) {
  if (iqn == nullptr) return 0;
  if (remove_iscsi_iface() != 0) {
    HM_LOG(LOG_ERR, "Failed to remove iscsi iface file");
    return -1;
  }
  if (remove_iscsi_node_record(iqn, nullptr) != 0) {
    HM_LOG(LOG_ERR, "Failed to remove iscsi node files");
    return -1;
  }
  return 0;
}

int qor_is_iscsi_channel_login(void) {
  qor_iscsi_node* tgt = static_cast<qor_iscsi_node*>(calloc(1, sizeof(qor_iscsi_node)));
  if (tgt == nullptr) {
    HM_LOG(LOG_INFO, "Malloc tgt failed");
    return -1;
  }
  if (g_qor == nullptr) {
    qor_iscsi_node_free(tgt);
    return -1;
  }
  {
    MutexLock l(&g_qor->mutex);
    if (g_qor->manager == nullptr || g_qor->manager->target_iqn == nullptr ||
        (tgt->iqn = strdup(g_qor->manager->target_iqn)) == nullptr) {
      qor_iscsi_node_free(tgt);
      return -1;
    }
  }
  HM_LOG(LOG_DEBUG, "tgt_iqn:%s\n", tgt->iqn);
  if (_is_iscsi_ssn_exist(tgt->iqn)) {
    HM_LOG(LOG_DEBUG, "ISCSI channel is exit.");
    qor_iscsi_node_free(tgt);
    return -1;
  }
  int ok = 0;
  {
    // Held for the whole attempt: the manager's addresses and target must
    // not change (a reset, a new server) while the channel comes up.
    MutexLock l(&g_qor->mutex);
    if (g_qor->manager != nullptr) {
      struct list_head* pos;
      list_for_each(pos, &g_qor->manager->ips) {
        tgt->addr = list_entry(pos, ip_entry, list)->addr;
        if (qor_establish_iscsi_channel_auto(tgt) != 0) continue;
        char* ip = node_ip_str(tgt);
        HM_LOG(LOG_INFO, "Connect to '%s'(%s:%d) success", tgt->iqn, ip ? ip : "", ntohs(tgt->port));
        free(ip);
        ok = 1;
        break;
      }
    }
  }
  qor_iscsi_node_free(tgt);
  if (!ok) return -1;
  HM_LOG(LOG_INFO, "ISCSI is established successfully.");
  return 0;
}
