// ESTABLISH_CHANNELS (5): the Tidewell server has this host set up the
// iSCSI channel to its target (qor_iscsi.h) and, on first success, records
// the target's IQN with the manager, so the heartbeat can keep the channel
// up.  The iSCSI steps run without any lock: they start outside programs.
#include <arpa/inet.h>
#include <stdlib.h>
#include <string.h>

#include "mirapi/log.h"
#include "qor_client.h"
#include "qor_handlers.h"
#include "qor_iscsi.h"
#include "qor_lock.h"
#include "qor_model.h"
#include "qor_run.h"
#include "qor_xml.h"

namespace {

constexpr int kIscsiadmMissing = 10025;
constexpr int kIscsidDown = 10031;
constexpr int kChannelFailed = 10039;

void dotted(const qor_iscsi_node* node, char out[INET_ADDRSTRLEN]) {
  struct in_addr a;
  a.s_addr = node != nullptr ? node->addr : 0;
  inet_ntop(AF_INET, &a, out, INET_ADDRSTRLEN);
}

// Status 10039 with the Path failure document: the two addresses as far as
// they were read ("0.0.0.0" for one that was not, or without nodes).
int channel_failed(qorc_req* req, const qor_iscsi_node* tgt, const qor_iscsi_node* init) {
  char init_ip[INET_ADDRSTRLEN], tgt_ip[INET_ADDRSTRLEN];
  dotted(init, init_ip);
  dotted(tgt, tgt_ip);
  QorDocBuilder doc;
  xmlNode* path = doc.child(doc.root(), "Path");
  doc.attr(path, "RetValue", "1");
  doc.attr(path, "InitiatorIP", init_ip);
  // The client GUID is set when the configuration is read and never
  // changes: read without a lock.
  doc.attr(path, "ClientID", g_client.id);
  doc.attr(path, "TargetIP", tgt_ip);
  uint32_t len = 0;
  char* text = doc.dump(&len);
  if (text == nullptr) {
    HM_LOG(LOG_ERR, "Failed to build the reply document.");
    return kChannelFailed;
  }
  qor_reply_document(req, text, len);
  return kChannelFailed;
}

bool manager_has_target(void) {
  MutexLock l(&g_qor->mutex);
  return g_qor->manager != nullptr && g_qor->manager->target_iqn != nullptr;
}

// Records the target IQN with the manager and saves the configuration.
void store_target(const char* iqn) {
  MutexLock l(&g_qor->mutex);
  if (g_qor->manager == nullptr) return;  // withdrawn meanwhile
  char* copy = strdup(iqn);
  if (copy == nullptr) {
    HM_LOG(LOG_ERR, "Failed to allocate memory");
    return;
  }
  HM_LOG(LOG_INFO, "Updaing server IQN information.");
  free(g_qor->manager->target_iqn);
  g_qor->manager->target_iqn = copy;
  qor_save_config(g_qor);
  HM_LOG(LOG_INFO, "Server IQN is updated.");
}

// The channel's set-up with both nodes allocated: the reply's status.
int establish(qorc_req* req, qor_iscsi_node* tgt, qor_iscsi_node* init) {
  if (xml_to_iscsinode(tgt, init, req->recvxml) < 0) {
    HM_LOG(LOG_ERR, "Failed to get iscsi node info");
    return channel_failed(req, tgt, init);
  }
  if (qor_iscsi_discover_target(tgt, init) < 0) {
    HM_LOG(LOG_INFO, "Cannot received servcer targetiqn.");
    return channel_failed(req, tgt, init);
  }
  if (qor_iscsi_channel_exist(tgt, init)) {
    HM_LOG(LOG_INFO, "Iscsi session(tgt: %s) already exist", tgt->iqn);
    return 0;
  }
  if (qor_establish_iscsi_channel(tgt, init) < 0) {
    HM_LOG(LOG_ERR, "Failed to establish iscsi channel");
    if (!iscsid_running()) {
      HM_LOG(LOG_ERR, "Failed to start iscsid service");
      return kIscsidDown;
    }
    // A failed login is a failed set-up: success only when a session to
    // the target is there after all (one the heartbeat brought up
    // meanwhile), never merely because an IQN was stored before.
    if (manager_has_target() && qor_iscsi_channel_exist(tgt, init)) {
      HM_LOG(LOG_INFO, "Iscsi session already exist");
      return 0;
    }
    return channel_failed(req, tgt, init);
  }
  HM_LOG(LOG_INFO, "iSCSI is established successfully.");
  store_target(tgt->iqn);
  HM_LOG(LOG_DEBUG, "Establish iscsi channel done");
  HM_LOG(LOG_INFO, "Complete work: ESTABLISH_CHANNELS");
  return 0;
}

}  // namespace

int establish_channels(qorc_req* req) {
  HM_LOG(LOG_INFO, "Recv cmd: ESTABLISH_CHANNELS");
  // Without a record there is nowhere to put the document.
  if (req == nullptr) return kChannelFailed;
  if (!qor_managed()) return channel_failed(req, nullptr, nullptr);
  if (!iscsiadm_installed()) {
    HM_LOG(LOG_ERR, "Iscsi initiator is not installed");
    return kIscsiadmMissing;
  }
  if (!iscsid_running()) {
    HM_LOG(LOG_WARNING, "Iscsid service is not start");
    qor_run_shell("service iscsi start", QOR_RUN_LIMIT_S, nullptr, 0, nullptr);
  }
  qor_iscsi_node* tgt = static_cast<qor_iscsi_node*>(calloc(1, sizeof(qor_iscsi_node)));
  qor_iscsi_node* init = static_cast<qor_iscsi_node*>(calloc(1, sizeof(qor_iscsi_node)));
  int status = tgt != nullptr && init != nullptr ? establish(req, tgt, init)
                                                 : channel_failed(req, nullptr, nullptr);
  qor_iscsi_node_free(tgt);
  qor_iscsi_node_free(init);
  return status;
}
