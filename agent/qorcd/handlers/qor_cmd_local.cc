// The local tool's commands, served on the unix socket only: LOCAL_LIST (the
// configuration as a document) and LOCAL_WITHDRAW (the host withdrawn
// unless its server still answers heartbeats).
#include <stdlib.h>

#include "mirapi/log.h"
#include "qor_handlers.h"
#include "qor_heartbeat.h"
#include "qor_jobs.h"
#include "qor_lock.h"
#include "qor_model.h"
#include "qor_report.h"

int local_list(qorc_req* req) {
  HM_LOG(LOG_INFO, "Recv cmd: LOCAL_LIST");
  if (req == nullptr || g_qor == nullptr) return 1;
  uint32_t len = 0;
  char* xml;
  {
    MutexLock config(&g_qor->mutex);
    xml = qor_to_xml(g_qor, &len);
  }
  if (xml == nullptr) return 1;
  qor_reply_document(req, xml, len);
  HM_LOG(LOG_INFO, "Complete work: LOCAL_LIST");
  return 0;
}

int local_withdraw(qorc_req* req) {
  HM_LOG(LOG_INFO, "Recv cmd: LOCAL_WITHDRAW");
  if (req == nullptr) return 1;
  // A server that still answers heartbeats is the one to withdraw the host.
  if (heartbeat_is_healthy() == 1) {
    HM_LOG(LOG_ERR, "Failed to reset: server still alive(you can delete client on console)");
    return 1;
  }
  _client_reset();
  HM_LOG(LOG_INFO, "Complete work: LOCAL_WITHDRAW");
  return 0;
}
