// The Tidewell server's database commands: DB_SET (45) registers a database
// instance with the outside CDP-agent library, DBCFG_DEL (49) deletes one.
// The registrations live in the library; g_client.apps mirrors its list for
// the client report.  Both answer with a Client document carrying the
// client's ID and the status on every path that has a request record.
//
// The library's calls are made without any lock.  The database password
// travels only in the record handed to the library and is never logged.
#include <stdlib.h>
#include <string.h>

#include "mirapi/log.h"
#include "qor_client.h"
#include "qor_handlers.h"
#include "qor_inventory.h"
#include "qor_lock.h"
#include "qor_model.h"
#include "qor_parse.h"
#include "qor_xml.h"
#include "zel/zel_app.h"
#include "zel/zel_outside.h"

namespace {

constexpr int kDbRefused = 10028;

// The reply document: Client with ClientID and the status under the
// command's own attribute name.  Without memory for it the status goes
// alone.
int db_reply(qorc_req* req, const char* status_name, int status) {
  QorDocBuilder doc;
  xmlNode* client = doc.child(doc.root(), "Client");
  // The client GUID is set when the configuration is read and never
  // changes: read without a lock.
  doc.attr(client, "ClientID", g_client.id);
  doc.attrf(client, status_name, "%d", status);
  uint32_t len = 0;
  char* text = doc.dump(&len);
  if (text == nullptr) {
    HM_LOG(LOG_ERR, "Failed to build the reply document.");
    return status;
  }
  qor_reply_document(req, text, len);
  return status;
}

// Whether the library's list, as last read, holds the instance.
bool db_known(const char* instance) {
  MutexLock l(&g_client.lock);
  const list_head* pos;
  list_for_each(pos, &g_client.apps) {
    const ZelApp* app = list_entry(pos, ZelApp, node);
    if (app->instance_name != nullptr && strcmp(app->instance_name, instance) == 0) return true;
  }
  return false;
}

// Reads the library's list anew and puts it in place of g_client's.
void db_reload(void) {
  LIST_HEAD(fresh);
  qor_get_apps(&fresh);
  LIST_HEAD(old);
  {
    MutexLock l(&g_client.lock);
    list_splice_init(&g_client.apps, &old);
    list_splice_init(&fresh, &g_client.apps);
  }
  app_list_free(&old);
  HM_LOG(LOG_DEBUG, "Update 'g_client' databases info done");
}

// DB_SET's work once the request is known to be for a managed host: the
// status of the reply.
int db_set_status(const char* xml) {
  int is_cluster = 0;
  ZelApp* app = xml_to_ZelApp(xml, &is_cluster);
  if (app == nullptr) {
    HM_LOG(LOG_ERR, "Failed to retrieve ZelApp.");
    return 1;
  }
  // Without an instance name there is nothing to register or compare.
  if (app->instance_name == nullptr || app->instance_name[0] == '\0') {
    HM_LOG(LOG_ERR, "Failed to retrieve ZelApp, no InstanceName.");
    app_free(app);
    return 1;
  }
  app->host = strdup("127.0.0.1");
  app->port = strdup("1521");
  if (app->host == nullptr || app->port == nullptr) {
    HM_LOG(LOG_ERR, "Failed to allocate memory for db config.");
    app_free(app);
    return 1;
  }
  if (db_known(app->instance_name)) {
    HM_LOG(LOG_DEBUG, "Database(%s) has already been set", app->instance_name);
    app_free(app);
    return 0;
  }
  // The library takes the record on success; on failure it is ours.
  if (Zel_connect_db_flush_cfg(app) == -1) {
    HM_LOG(LOG_ERR, "Failed to connect database(%s).", app->instance_name);
    app_free(app);
    return kDbRefused;
  }
  db_reload();
  HM_LOG(LOG_INFO, "Complete work: DB_SET");
  return 0;
}

// DBCFG_DEL's work, as db_set_status.
int dbcfg_del_status(const char* xml) {
  int is_cluster = 0;
  char* instance = xml_to_instance_name(xml, &is_cluster);
  if (instance == nullptr || instance[0] == '\0') {
    free(instance);
    return 1;
  }
  int status = 0;
  if (!db_known(instance)) {
    HM_LOG(LOG_DEBUG, "Configuration of database(%s) cannot be found in Zelcdpagt", instance);
  } else if (Zel_delete_app(instance) > 0) {
    db_reload();
    HM_LOG(LOG_INFO, "Complete work: DBCFG_DEL");
  } else {
    HM_LOG(LOG_DEBUG, "Failed to delete zelcdpagt configuration of database(%s).", instance);
    status = kDbRefused;
  }
  free(instance);
  return status;
}

}  // namespace

int db_set(qorc_req* req) {
  HM_LOG(LOG_INFO, "Recv cmd: DB_SET");
  if (req == nullptr) return 1;
  int status = qor_managed() ? db_set_status(req->recvxml) : 1;
  return db_reply(req, "rtnStatus", status);
}

int dbcfg_del(qorc_req* req) {
  HM_LOG(LOG_INFO, "Recv cmd: DBCFG_DEL");
  if (req == nullptr) return 1;
  int status = qor_managed() ? dbcfg_del_status(req->recvxml) : 1;
  return db_reply(req, "RtnStatus", status);
}
