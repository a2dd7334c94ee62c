// REFRESH_SERVER: the managing server has new addresses.  The agent takes
// them, moves its iSCSI channel to the server's target at a new address,
// rescans its disks and makes the next heartbeat come within 5 seconds.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "mirapi/log.h"
#include "qor_conf.h"
#include "qor_handlers.h"
#include "qor_heartbeat.h"
#include "qor_iscsi.h"
#include "qor_iscsi_files.h"
#include "qor_jobs.h"
#include "qor_lock.h"
#include "qor_model.h"
#include "qor_parse.h"
#include "zel/zeldisk.h"

namespace {

struct ManagerFree {
  void operator()(qor_manager* m) const { qor_manager_free(m); }
};
struct NodeFree {
  void operator()(qor_iscsi_node* n) const { qor_iscsi_node_free(n); }
};

// Stores iqn as the configured manager's target and saves the file;
// false when memory runs out.  Configuration lock held.
bool store_target_locked(const std::string& iqn) {
  if (g_qor->manager == nullptr) return true;
  char* copy = strdup(iqn.c_str());
  if (copy == nullptr) return false;
  free(g_qor->manager->target_iqn);
  g_qor->manager->target_iqn = copy;
  qorcfg_write(QOR_CONF_PATH, g_qor);
  return true;
}

// Ends the sessions to iqn at each old address but the one just logged in
// at: a logout by IQN alone would end the new session too, and without
// this the old ones stay and the mirror LUN is reached twice.  A portal
// without a session only logs its failed logout.
void logout_old_portals(const char* iqn, const std::vector<uint32_t>& old_addrs, uint32_t now_at) {
  std::unique_ptr<qor_iscsi_node, NodeFree> tgt(
      static_cast<qor_iscsi_node*>(calloc(1, sizeof(qor_iscsi_node))));
  std::unique_ptr<qor_iscsi_node, NodeFree> init(
      static_cast<qor_iscsi_node*>(calloc(1, sizeof(qor_iscsi_node))));
  if (tgt == nullptr || init == nullptr || (tgt->iqn = strdup(iqn)) == nullptr) {
    HM_LOG(LOG_ERR, "Failed to allocate memory");
    return;
  }
  for (uint32_t addr : old_addrs) {
    if (addr == now_at || qor_iscsi_addr_unset(addr)) continue;
    tgt->addr = addr;
    qor_iscsi_logout_channel(tgt.get(), init.get());
  }
}

// Logs in to the request's target at each new address in turn, until one
// login succeeds; only then is the old channel logged out (the old target,
// or the same target at its old portals), so a server whose new addresses
// cannot be reached leaves the host its old channel (and the configured
// target that names it).  false when memory ran out.
bool move_channel(const qor_manager* mngr, const std::string& old_iqn,
                  const std::vector<uint32_t>& old_addrs) {
  const char* iqn = mngr->target_iqn;
  if (iqn == nullptr || iqn[0] == '\0') return true;
  std::unique_ptr<qor_iscsi_node, NodeFree> node(
      static_cast<qor_iscsi_node*>(calloc(1, sizeof(qor_iscsi_node))));
  if (node == nullptr || (node->iqn = strdup(iqn)) == nullptr) {
    HM_LOG(LOG_ERR, "Failed to allocate memory");
    return false;
  }
  bool up = false;
  const list_head* pos;
  list_for_each(pos, &mngr->ips) {
    node->addr = list_entry(pos, ip_entry, list)->addr;
    if (qor_establish_iscsi_channel_auto(node.get()) != 0) continue;
    char addr[INET_ADDRSTRLEN] = "";
    in_addr a{node->addr};
    inet_ntop(AF_INET, &a, addr, sizeof(addr));
    HM_LOG(LOG_INFO, "Connect to '%s'(%s:%d) success", iqn, addr, ntohs(node->port));
    MutexLock config(&g_qor->mutex);
    if (!store_target_locked(iqn)) HM_LOG(LOG_ERR, "Failed to allocate memory");
    up = true;
    break;
  }
  if (!up) {
    HM_LOG(LOG_INFO, "Failed to connect to '%s'", iqn);
    return true;
  }
  if (old_iqn.empty()) return true;
  if (old_iqn != iqn)
    qor_cancel_iscsi_channel_all(old_iqn.c_str());
  else
    logout_old_portals(iqn, old_addrs, node->addr);
  return true;
}

// The next heartbeat within 5 seconds, never later than it was due: a
// stream of refreshes, one every 4 seconds, would otherwise put it off for
// good.
void hasten_heartbeat() {
  const int64_t now = job_now();
  job_update(JOB_HEARTBEAT, nullptr, [now](job_status* job) {
    job->backoff = 1;
    job->next_time = std::min<int64_t>(job->next_time, now + 5);
  });
  timer_wake();
}

}  // namespace

int refresh_server(qorc_req* req) {
  if (req == nullptr) return 1;
  if (!qor_managed()) return 50;
  std::unique_ptr<qor_manager, ManagerFree> mngr(xml_to_manager(req->recvxml));
  if (mngr == nullptr) {
    HM_LOG(LOG_ERR, "Failed to fetch manager from xml");
    return 4;
  }

  bool rescan = true;
  bool changed;
  // The whole old IQN (iSCSI names run to 223 characters), for its logout,
  // and the addresses its channel was made at.
  std::string old_iqn;
  std::vector<uint32_t> old_addrs;
  {
    MutexLock config(&g_qor->mutex);
    changed = is_manager_changed(mngr.get()) == 1;
    if (changed) {
      const char* target = g_qor->manager->target_iqn;
      if (target != nullptr && target[0] != '\0') {
        old_iqn = target;
        HM_LOG(LOG_DEBUG, "old_tgt_iqn:%s\n", old_iqn.c_str());
        const list_head* pos;
        list_for_each(pos, &g_qor->manager->ips) {
          old_addrs.push_back(list_entry(pos, ip_entry, list)->addr);
        }
      }
      if (qor_mngr_appoint(mngr.get(), g_qor) < 0) {
        HM_LOG(LOG_ERR, "Failed to appoint manager");
        return 1;
      }
      // The old channel stays until a new one replaces it, and with it the
      // target that names it (the reset and the heartbeat's check use it).
      if (!old_iqn.empty() && !store_target_locked(old_iqn)) {
        HM_LOG(LOG_ERR, "Failed to allocate memory");
        rescan = false;
      } else if (old_iqn.empty()) {
        qorcfg_write(QOR_CONF_PATH, g_qor);
      }
    }
  }
  if (changed && !move_channel(mngr.get(), old_iqn, old_addrs)) rescan = false;

  if (rescan) {
    if (zeldisk_rescan_dev(0) == 1)
      HM_LOG(LOG_INFO, "Zeldisk rescan all of device success.");
    else
      HM_LOG(LOG_INFO, "Zeldisk rescan all of devcie failed.");
  }
  hasten_heartbeat();
  return 0;
}
