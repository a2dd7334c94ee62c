// The server's commands about the host itself: find it, take it under
// management and release it, read and rename it, rescan its disks, check
// that it answers.
#include <stdlib.h>
#include <string.h>

#include "mirapi/api.h"
#include "mirapi/log.h"
#include "qor_client.h"
#include "qor_handlers.h"
#include "qor_heartbeat.h"
#include "qor_inventory.h"
#include "qor_jobs.h"
#include "qor_lock.h"
#include "qor_model.h"
#include "qor_parse.h"
#include "qor_report.h"
#include "zel/zeldisk.h"

namespace {

// The client report into the reply: full with the configuration's groups,
// short without.  A report that cannot be built leaves the reply without a
// document.
void reply_report(qorc_req* req, int full) {
  uint32_t len = 0;
  char* text = qor_client_report(&g_client, full ? g_qor : nullptr, full, &len);
  if (text == nullptr) return;
  qor_reply_document(req, text, len);
}

// Under the configuration lock: the request's manager made the host's
// manager and saved, unless a manager is there already.  The status to
// answer, 0 when appointed.
int appoint(const qor_manager* mngr) {
  MutexLock l(&g_qor->mutex);
  // Another ADD_CLIENT may have been served since the first test.
  if (qor_managed_locked()) {
    HM_LOG(LOG_WARNING, "Client is already added to an other server.");
    return 52;
  }
  if (qor_mngr_appoint(mngr, g_qor) < 0) {
    HM_LOG(LOG_ERR, "Failed to appoint manager");
    return 1;
  }
  HM_LOG(LOG_INFO, "Manager appointed successfully.");
  qor_save_config(g_qor);
  return 0;
}

}  // namespace

int scan_client(qorc_req* req) {
  HM_LOG(LOG_INFO, "Recv cmd: ST_OP_SCAN_CLIENT");
  if (req == nullptr) return 1;
  if (qor_managed()) return 52;
  reply_report(req, 0);
  HM_LOG(LOG_INFO, "Complete work: SCAN_CLIENT");
  return 0;
}

int add_client(qorc_req* req) {
  HM_LOG(LOG_INFO, "Recv cmd: ADD_CLIENT");
  if (req == nullptr) {
    HM_LOG(LOG_WARNING, "Empty request.");
    return 1;
  }
  if (qor_managed()) {
    HM_LOG(LOG_WARNING, "Client is already added to an other server.");
    return 52;
  }
  qor_manager* mngr = xml_to_manager(req->recvxml);
  // A request without a Server ID names no manager: appointing it would
  // leave the host unmanaged while answering that it is managed.
  if (mngr == nullptr || mngr->guid == nullptr || mngr->guid[0] == '\0') {
    qor_manager_free(mngr);
    HM_LOG(LOG_ERR, "Failed to fetch manager from xml");
    return 1;
  }
  int status = appoint(mngr);
  qor_manager_free(mngr);
  if (status != 0) return status;
  HM_LOG(LOG_DEBUG, "Add client done");

  reply_report(req, 1);

  // Heartbeats are wanted before the job exists: its first firing comes at
  // once and would otherwise find them off and wait a whole period.
  heartbeat_set_running(1);
  if (_register_for_heartbeat() < 0) {
    HM_LOG(LOG_ERR, "Failed to create heartbeat");
    return 1;
  }
  HM_LOG(LOG_INFO, "Heartbeat is registered successfully.");
  HM_LOG(LOG_INFO, "Complete work: ADD_CLIENT");
  return 0;
}

int del_client(qorc_req* req) {
  HM_LOG(LOG_INFO, "Recv cmd: DEL_CLIENT");
  if (req == nullptr) return 1;
  char server_id[QOR_ARG_BUF] = "";
  char client_id[QOR_ARG_BUF] = "";
  xml_to_pair(server_id, client_id, req->recvxml);
  int pair;
  {
    MutexLock l(&g_qor->mutex);
    pair = qor_is_pair(server_id, client_id, g_qor);
  }
  if (!pair) {
    HM_LOG(LOG_ERR, "Server(%s) or client(%s) error", server_id, client_id);
    return 1;
  }
  hm_disk_stat_t* protections = hm_disk_stat(nullptr);
  if (protections != nullptr) {
    HM_LOG(LOG_ERR, "Client resetting failed due to existing hostmirror protection.");
    hm_disk_stat_release(protections);
    return 10000;
  }
  HM_LOG(LOG_INFO, "Resetting client.");
  _client_reset();
  HM_LOG(LOG_INFO, "Client reset.");
  HM_LOG(LOG_INFO, "Complete work: DEL_CLIENT");
  return 0;
}

int get_client_info(qorc_req* req) {
  HM_LOG(LOG_INFO, "Recv cmd: GET_CLIENT_INFO");
  if (req == nullptr) {
    HM_LOG(LOG_WARNING, "Null request, operation aborted.");
    return 1;
  }
  if (!qor_managed()) {
    HM_LOG(LOG_WARNING, "Client ain't protected, operation aborted.");
    return 1;
  }
  // Lets the scan thread start before this refresh of its own.
  scan_wake();
  qor_clock()->sleep(1);
  g_client_refresh();
  reply_report(req, 1);
  HM_LOG(LOG_INFO, "Complete work: GET_CLIENT_INFO");
  return 0;
}

int rename_client(qorc_req* req) {
  HM_LOG(LOG_INFO, "Recv cmd: RENAME_CLIENT");
  if (req == nullptr || !qor_managed()) return 1;
  char* alias = xml_to_alias(req->recvxml);
  if (alias == nullptr) {
    HM_LOG(LOG_ERR, "Failed to fetch client alias from xml");
    return 1;
  }
  char* old;
  {
    // A withdrawal drops the alias together with the manager: a host
    // released since the first test keeps none.  g_client's copy changes in
    // the same hold, so the reset, which clears it after the manager, never
    // sees the two disagree.
    MutexLock l(&g_qor->mutex);
    if (!qor_managed_locked()) {
      free(alias);
      return 1;
    }
    if (qor_rename_client(g_qor, alias) < 0) {
      HM_LOG(LOG_ERR, "Failed to rename the client");
      free(alias);
      return 1;
    }
    qor_save_config(g_qor);
    HM_LOG(LOG_DEBUG, "Set alias done");
    HM_LOG(LOG_DEBUG, "Update g_client's alias");
    MutexLock client(&g_client.lock);
    old = g_client.alias;
    g_client.alias = alias;  // the copy the parser made
  }
  free(old);
  HM_LOG(LOG_INFO, "Complete work: RENAME_CLIENT");
  return 0;
}

int rescan_disks(qorc_req*) { return zeldisk_rescan_dev(0) != 0 ? 0 : 1; }

int ping_client(qorc_req*) { return 0; }
