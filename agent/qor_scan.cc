// The inventory's build at start and the client-scan thread.
#include "qor_scan.h"

#include <stdlib.h>
#include <string.h>

#include "mirapi/log.h"
#include "qor_client.h"
#include "qor_diskid.h"
#include "qor_inventory.h"
#include "qor_jobs.h"
#include "qor_lock.h"
#include "qor_model.h"

namespace {

// Held by the scan thread across each scan; the outermost lock of the agent.
pthread_mutex_t scan_lock = PTHREAD_MUTEX_INITIALIZER;

// Signs every valid disk of the list that has no GUID yet; the GUID shows at
// the next enumeration.
void sign_new_disks(struct list_head* disks, bool announce) {
  struct list_head* pos;
  list_for_each(pos, disks) {
    qor_disk* disk = list_entry(pos, qor_disk, list);
    if (disk->state == 0 || disk->guid != nullptr) continue;
    if (announce) HM_LOG(LOG_DEBUG, "set disk signature.");
    set_unique_signature(disk->path);
  }
}

// Moves the entries of from into the empty head to.
void list_move_all(struct list_head* from, struct list_head* to) {
  INIT_LIST_HEAD(to);
  list_splice_init(from, to);
}

void scan_once(void) {
  HM_LOG(LOG_DEBUG, "Start once client scan pthread.");
  char* hostname = get_hostname();
  int32_t dboem = get_dboem();
  struct list_head ips, channels, backups;
  INIT_LIST_HEAD(&ips);
  INIT_LIST_HEAD(&channels);
  INIT_LIST_HEAD(&backups);
  get_ipsv4_filter_ip(g_qor, &ips);
  qor_get_chns_lock(g_qor, &channels, &g_qor->mutex);
  qor_get_backups_lock(g_qor, &backups, &g_qor->mutex);

  struct list_head old_ips, old_channels, old_backups, old_disks;
  char* old_hostname;
  {
    HM_LOG(LOG_DEBUG, "_scan_cleint_pthread g_client.lock first lock.");
    MutexLock l(&g_client.lock);
    list_move_all(&g_client.ips, &old_ips);
    list_move_all(&g_client.channels, &old_channels);
    list_move_all(&g_client.backups, &old_backups);
    list_splice_init(&ips, &g_client.ips);
    list_splice_init(&channels, &g_client.channels);
    list_splice_init(&backups, &g_client.backups);
    old_hostname = g_client.hostname;
    g_client.hostname = hostname;
    g_client.dboem = dboem;
  }
  HM_LOG(LOG_DEBUG, "_scan_cleint_pthread g_client.lock first unlock.");

  HM_LOG(LOG_DEBUG, "start get disks.");
  struct list_head disks;
  INIT_LIST_HEAD(&disks);
  qor_get_disks(&disks, 1);
  HM_LOG(LOG_DEBUG, "finish get disks.");
  qor_get_part_type_lock(&disks, &g_client.backups, &g_client.lock);
  HM_LOG(LOG_DEBUG, "finish get part.");

  {
    HM_LOG(LOG_DEBUG, "_scan_cleint_pthread g_client.lock second lock.");
    MutexLock l(&g_client.lock);
    list_move_all(&g_client.disks, &old_disks);
    list_splice_init(&disks, &g_client.disks);
    sign_new_disks(&g_client.disks, true);
  }
  HM_LOG(LOG_DEBUG, "_scan_cleint_pthread g_client.lock second unlock.");

  free(old_hostname);
  ip_list_free(&old_ips);
  channel_list_free(&old_channels);
  backup_list_free(&old_backups);
  disk_list_free(&old_disks);
  HM_LOG(LOG_DEBUG, "Finished once client scan thread.");
}

}  // namespace

void g_client_init(void) {
  // g_client is still as the working process was started: zero, its lists
  // empty, its mutexes ready.
  qor_client& c = g_client;
  if (g_qor->client_alias != nullptr) c.alias = strdup(g_qor->client_alias);
  c.id = g_qor->client_guid;
  c.system_type = get_system_type();
  c.os_version = get_osver();
  if (c.os_version != nullptr && strcmp(c.os_version, "\\S") == 0) {
    free(c.os_version);
    c.os_version = get_osver_redhat();
  }
  c.hostname = get_hostname();
  c.dboem = get_dboem();

  get_ipsv4_filter_ip(g_qor, &c.ips);
  qor_get_disks(&c.disks, 1);
  sign_new_disks(&c.disks, false);
  qor_get_chns_lock(g_qor, &c.channels, &g_qor->mutex);
  qor_get_backups_lock(g_qor, &c.backups, &g_qor->mutex);
  qor_get_part_type_lock(&c.disks, &c.backups, nullptr);
  qor_get_apps(&c.apps);
}

void* _scan_client_thread(void* /*arg*/) {
  service_signals_init();
  for (;;) {
    {
      MutexLock l(&scan_lock);
      scan_once();
    }
    scan_wait_until(job_now() + 600);
  }
  return nullptr;
}
