// The client reset: what withdrawing the host from management removes, in
// the order it has always been removed.
#include <stdlib.h>
#include <string.h>

#include "mirapi/api.h"
#include "mirapi/log.h"
#include "qor_cdp.h"
#include "qor_client.h"
#include "qor_heartbeat.h"
#include "qor_iscsi.h"
#include "qor_jobs.h"
#include "qor_lock.h"
#include "zel/zel_app.h"
#include "zel/zel_outside.h"

namespace {

pthread_mutex_t reset_lock = PTHREAD_MUTEX_INITIALIZER;
int reset_in_progress = 0;  // under reset_lock

// Owns the in-progress flag from a successful test-and-set to the end.
class ResetTurn {
 public:
  ResetTurn() {
    MutexLock l(&reset_lock);
    if (reset_in_progress) return;
    reset_in_progress = 1;
    mine_ = true;
  }
  ~ResetTurn() {
    if (!mine_) return;
    MutexLock l(&reset_lock);
    reset_in_progress = 0;
  }
  bool mine() const { return mine_; }

 private:
  bool mine_ = false;
};

// A GUID field of a status record as a terminated text.
struct GuidText {
  explicit GuidText(const char (&field)[HM_API_GUID_LEN]) {
    memcpy(text, field, HM_API_GUID_LEN);
    text[HM_API_GUID_LEN] = '\0';
  }
  char text[HM_API_GUID_LEN + 1];
};

// Every protection zelmird holds, whatever its state, and the mirror of
// each in the CDP-agent library's device registry.
void remove_protections() {
  hm_disk_stat_t* list = hm_disk_stat(nullptr);
  for (hm_disk_stat_t* st = list; st != nullptr; st = st->next) {
    HM_LOG(LOG_INFO, "Remove hostmirror protection.");
    GuidText primary(st->status.primary_guid);
    GuidText mirror(st->status.mirror_guid);
    hm_disk_unprotect(primary.text);
    Zel_delete_dev(0, mirror.text);
  }
  hm_disk_stat_release(list);
}

void remove_manager() {
  MutexLock l(&g_qor->mutex);
  // Until this hold the host is still managed: a command that tested the
  // manager after the jobs, schedules and groups were removed above may have
  // added one of each since.  Removed again in the hold that ends the
  // management, so nothing of it outlives the withdrawal.
  qor_remove_cdpsch(nullptr, nullptr);
  backup_grp_list_free(&g_qor->groups);
  jobs_mark_deleted();
  if (g_qor->manager != nullptr) {
    HM_LOG(LOG_INFO, "Shutdown iSCSI channels.");
    qor_cancel_iscsi_channel_all(g_qor->manager->target_iqn);
  }
  HM_LOG(LOG_DEBUG, "Removing manager config informations.");
  qor_mngr_remove(g_qor);
  HM_LOG(LOG_DEBUG, "Manager informations are removed correctly.");
  HM_LOG(LOG_DEBUG, "Updating config file after manager removal.");
  qor_save_config(g_qor);
  HM_LOG(LOG_DEBUG, "config file is updated correctly.");
}

void drop_client_alias() {
  char* old = nullptr;
  {
    MutexLock l(&g_client.lock);
    old = g_client.alias;
    g_client.alias = nullptr;
  }
  free(old);
}

}  // namespace

void remove_all_apps(pthread_mutex_t* mutex) {
  MutexLock l(mutex);
  list_head *pos, *n;
  list_for_each_safe(pos, n, &g_client.apps) {
    ZelApp* app = list_entry(pos, ZelApp, node);
    Zel_delete_app(app->instance_name);
    list_del(pos);
    app_free(app);
  }
}

void _client_reset(void) {
  ResetTurn turn;
  if (!turn.mine()) return;

  HM_LOG(LOG_INFO, "Releasing all background task.");
  jobs_mark_deleted();
  HM_LOG(LOG_INFO, "Stop heartbeat.");
  heartbeat_set_running(0);

  remove_all_apps(&g_client.lock);
  remove_protections();

  HM_LOG(LOG_INFO, "Remove all CDP schedules.");
  qor_remove_cdpsch(nullptr, &g_qor->mutex);
  HM_LOG(LOG_INFO, "Remove all backup groups.");
  qor_remove_groups();

  remove_manager();
  drop_client_alias();
}
