// The disk wait, the reload of the relationships and the rescanning
// handlers.
#include "qor_mirror.h"

#include "host/host.h"
#include "mirapi/log.h"
#include "qor_client.h"
#include "qor_handlers.h"
#include "qor_inventory.h"
#include "qor_lock.h"
#include "zel/zeldisk.h"

void qor_wait_pass(int pass) {
  if (pass == QOR_RESCAN_PASS) {
    zeldisk_rescan_dev(0);
    return;
  }
  // A signal must not shorten the wait the server's time-outs count on.
  unsigned int left = static_cast<unsigned int>(pass + 1);
  while (left > 0) left = hl_sleep(left);
}

void qor_reload_backups(void) {
  struct list_head fresh, old;
  INIT_LIST_HEAD(&fresh);
  INIT_LIST_HEAD(&old);
  qor_get_backups_lock(g_qor, &fresh, g_qor != nullptr ? &g_qor->mutex : nullptr);
  {
    MutexLock l(&g_client.lock);
    list_splice_init(&g_client.backups, &old);
    list_splice_init(&fresh, &g_client.backups);
  }
  backup_list_free(&old);
}

int add_backup_rescan(qorc_req* req) {
  zeldisk_rescan_dev(0);
  return add_backup(req);
}

int del_backup_rescan(qorc_req* req) {
  int status = del_backup(req);
  zeldisk_rescan_dev(0);
  return status;
}
