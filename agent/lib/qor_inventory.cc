// The mirror relationships and databases of the inventory, and the build and
// refresh of g_client.
#include "qor_inventory.h"

#include <stdlib.h>
#include <string.h>

#include "mirapi/api.h"
#include "mirapi/log.h"
#include "qor_diskid.h"
#include "zel/zel_outside.h"

namespace {

// A fixed-width text of a status record, which need not be terminated.
bool field_is(const char* field, size_t width, const char* text) {
  size_t n = strnlen(field, width);
  return n == strlen(text) && memcmp(field, text, n) == 0;
}

void copy_field(char* dst, size_t dst_size, const char* field, size_t width) {
  size_t n = strnlen(field, width);
  if (n > dst_size - 1) n = dst_size - 1;
  memcpy(dst, field, n);
  dst[n] = '\0';
}

uint32_t backup_state(const hm_api_status_t* st) {
  const size_t w = sizeof(st->sync_status);
  uint32_t state = QOR_BACKUP_SYNCED;
  if (field_is(st->sync_status, w, "Sync Cancelled") || field_is(st->sync_status, w, "UnSync"))
    state = QOR_BACKUP_UNSYNCED;
  else if (field_is(st->sync_status, w, "Sync On"))
    state = QOR_BACKUP_SYNCING;
  else if (field_is(st->sync_status, w, "Recovery On"))
    state = QOR_BACKUP_RECOVERING;
  if (!field_is(st->primary_status, sizeof(st->primary_status), "Up"))
    state = QOR_BACKUP_SRC_DOWN;
  else if (!field_is(st->mirror_status, sizeof(st->mirror_status), "Up"))
    state = QOR_BACKUP_DEST_DOWN;
  return state;
}

// The paths of the disks that need a signature, copied so that the signing
// (an enumeration of all disks and a write each) runs without g_client.lock.
struct list_head* unsigned_paths(const struct list_head* disks, struct list_head* paths) {
  const struct list_head* pos;
  list_for_each(pos, disks) {
    const qor_disk* d = list_entry(pos, qor_disk, list);
    if (!qor_disk_needs_signature(d) || d->path == nullptr) continue;
    qor_link* e = static_cast<qor_link*>(calloc(1, sizeof(*e)));
    if (e == nullptr || (e->path = strdup(d->path)) == nullptr) {
      free(e);
      HM_LOG(LOG_ERR, "Failed to allocate memory");
      continue;
    }
    list_add_tail(&e->list, paths);
  }
  return paths;
}

void sign_all(struct list_head* paths, bool scan_log) {
  struct list_head* pos;
  list_for_each(pos, paths) {
    if (scan_log) HM_LOG(LOG_DEBUG, "set disk signature.");
    set_unique_signature(list_entry(pos, qor_link, list)->path);
  }
  link_list_free(paths);
}

// Moves the entries of cur to old and those of fresh to cur.
void swap_list(struct list_head* cur, struct list_head* fresh, struct list_head* old) {
  INIT_LIST_HEAD(old);
  list_splice_init(cur, old);
  list_splice_init(fresh, cur);
}

// The refresh of g_client_refresh and of the scan thread: everything slow
// outside g_client.lock, then whole lists swapped in under it.
void refresh(bool scan_log) {
  if (scan_log) HM_LOG(LOG_DEBUG, "Start once client scan pthread.");
  pthread_mutex_t* qor_mutex = g_qor != nullptr ? &g_qor->mutex : nullptr;
  char* hostname = get_hostname();
  int32_t dboem = get_dboem();
  struct list_head ips, chns, backups, disks, paths;
  struct list_head old_ips, old_chns, old_backups, old_disks;
  INIT_LIST_HEAD(&ips);
  INIT_LIST_HEAD(&chns);
  INIT_LIST_HEAD(&backups);
  INIT_LIST_HEAD(&disks);
  INIT_LIST_HEAD(&paths);
  get_ipsv4_filter_ip(g_qor, &ips);
  qor_get_chns_lock(g_qor, &chns, qor_mutex);
  qor_get_backups_lock(g_qor, &backups, qor_mutex);

  g_client_lock();
  if (scan_log) HM_LOG(LOG_DEBUG, "_scan_cleint_pthread g_client.lock first lock.");
  swap_list(&g_client.ips, &ips, &old_ips);
  swap_list(&g_client.channels, &chns, &old_chns);
  swap_list(&g_client.backups, &backups, &old_backups);
  char* old_hostname = g_client.hostname;
  g_client.hostname = hostname;
  g_client.dboem = dboem;
  if (scan_log) HM_LOG(LOG_DEBUG, "_scan_cleint_pthread g_client.lock first unlock.");
  g_client_unlock();

  if (scan_log) HM_LOG(LOG_DEBUG, "start get disks.");
  qor_get_disks(&disks, 1);
  if (scan_log) HM_LOG(LOG_DEBUG, "finish get disks.");
  qor_get_part_type_lock(&disks, &g_client.backups, &g_client.lock);
  if (scan_log) HM_LOG(LOG_DEBUG, "finish get part.");

  g_client_lock();
  if (scan_log) HM_LOG(LOG_DEBUG, "_scan_cleint_pthread g_client.lock second lock.");
  swap_list(&g_client.disks, &disks, &old_disks);
  unsigned_paths(&g_client.disks, &paths);
  if (scan_log) HM_LOG(LOG_DEBUG, "_scan_cleint_pthread g_client.lock second unlock.");
  g_client_unlock();
  // A signed disk shows its identity at the next enumeration.
  sign_all(&paths, scan_log);

  free(old_hostname);
  ip_list_free(&old_ips);
  channel_list_free(&old_chns);
  backup_list_free(&old_backups);
  disk_list_free(&old_disks);
  if (scan_log) HM_LOG(LOG_DEBUG, "Finished once client scan thread.");
}

}  // namespace

void qor_backup_from_status(qor_backup* bk, const hm_api_status_t* st) {
  bk->type = 1;
  bk->state = backup_state(st);
  bk->percent = st->percent > 100 ? 0 : st->percent;
  bk->speed = -1;
  copy_field(bk->src_guid, sizeof(bk->src_guid), st->primary_guid, sizeof(st->primary_guid));
  copy_field(bk->dest_guid, sizeof(bk->dest_guid), st->mirror_guid, sizeof(st->mirror_guid));
  // The device name without "/dev/"; a path too short to hold it gives "".
  size_t len = strnlen(st->primary_path, sizeof(st->primary_path));
  if (len >= 5)
    copy_field(bk->src_name, sizeof(bk->src_name), st->primary_path + 5, len - 5);
  else
    bk->src_name[0] = '\0';
}

int qor_get_backups_lock(qor_t* qor, struct list_head* backups, pthread_mutex_t* mutex) {
  if (backups == nullptr) return -1;
  HM_LOG(LOG_DEBUG, "Start load all backup relationships from hostmirror.");
  hm_disk_stat_t* list = hm_disk_stat(nullptr);
  HM_LOG(LOG_DEBUG, "Finished load all backup relationships from hostmirror.");
  int rc = 0;
  for (hm_disk_stat_t* s = list; s != nullptr; s = s->next) {
    if (field_is(s->status.run_status, sizeof(s->status.run_status), "Stopped")) continue;
    qor_backup* bk = static_cast<qor_backup*>(calloc(1, sizeof(*bk)));
    if (bk == nullptr) {
      HM_LOG(LOG_ERR, "Failed to allocate memory");
      rc = -1;
      break;
    }
    qor_backup_from_status(bk, &s->status);
    if (qor != nullptr) {
      if (mutex != nullptr) pthread_mutex_lock(mutex);
      const cdpsch* sch = qor_find_cdpsch(qor, bk->dest_guid);
      if (sch != nullptr) {
        bk->con_start_time = sch->con_start_time;
        bk->start_time = sch->start_time;
        bk->interval = sch->interval;
      }
      if (mutex != nullptr) pthread_mutex_unlock(mutex);
    }
    list_add_tail(&bk->list, backups);
  }
  hm_disk_stat_release(list);
  return rc;
}

namespace {

// Moves what an outside library's lister appends to a list of its own to the
// tail of out; -1 without a list.
int splice_listed(struct list_head* out, int (*lister)(struct list_head*)) {
  if (out == nullptr) return -1;
  struct list_head listed;
  INIT_LIST_HEAD(&listed);
  lister(&listed);
  list_splice_tail(&listed, out);
  return 0;
}

}  // namespace

int qor_get_apps(struct list_head* apps) { return splice_listed(apps, Zel_list_app); }

int qor_get_devs(struct list_head* devs) { return splice_listed(devs, Zel_list_dev); }

void dev_list_free(struct list_head* devs) {
  if (devs == nullptr) return;
  struct list_head *pos, *n;
  list_for_each_safe(pos, n, devs) {
    ZelDevEntry* dev = list_entry(pos, ZelDevEntry, node);
    list_del(pos);
    free(dev->guid);
    free(dev);
  }
}

namespace {

// Fills a zeroed record from qor with every gatherer, each list from empty;
// sign: give each disk that needs it a signature, as start-up does.
void gather_client(qor_client* c, qor_t* qor, bool sign) {
  pthread_mutex_init(&c->lock, nullptr);
  pthread_mutex_init(&c->disk_num_lock, nullptr);
  if (qor != nullptr) {
    if (qor->client_alias != nullptr) c->alias = strdup(qor->client_alias);
    c->id = qor->client_guid;
  }
  c->system_type = get_system_type();
  c->os_version = get_osver();
  // An issue file that only names the kernel's escape for the distribution.
  if (c->os_version != nullptr && strcmp(c->os_version, "\\S") == 0) {
    free(c->os_version);
    c->os_version = get_osver_redhat();
  }
  c->hostname = get_hostname();
  c->dboem = get_dboem();
  INIT_LIST_HEAD(&c->ips);
  INIT_LIST_HEAD(&c->disks);
  INIT_LIST_HEAD(&c->channels);
  INIT_LIST_HEAD(&c->backups);
  INIT_LIST_HEAD(&c->apps);
  get_ipsv4_filter_ip(qor, &c->ips);

  qor_get_disks(&c->disks, 1);
  if (sign) {
    struct list_head paths;
    INIT_LIST_HEAD(&paths);
    sign_all(unsigned_paths(&c->disks, &paths), false);
  }

  pthread_mutex_t* qor_mutex = qor != nullptr ? &qor->mutex : nullptr;
  qor_get_chns_lock(qor, &c->channels, qor_mutex);
  qor_get_backups_lock(qor, &c->backups, qor_mutex);
  qor_get_part_type_lock(&c->disks, &c->backups, nullptr);
  qor_get_apps(&c->apps);
}

}  // namespace

void g_client_init(void) {
  // Runs before any other thread exists: nothing to lock against.
  memset(&g_client, 0, sizeof(g_client));
  gather_client(&g_client, g_qor, true);
}

qor_client* qor_test_client(qor_t* qor) {
  HM_LOG(LOG_DEBUG, "Start to test client");
  qor_client* client = static_cast<qor_client*>(calloc(1, sizeof(*client)));
  if (client == nullptr) {
    HM_LOG(LOG_ERR, "Failed to allocate memory");
    return nullptr;
  }
  gather_client(client, qor, false);
  HM_LOG(LOG_DEBUG, "Complete testing client");
  return client;
}

qor_client* g_client_refresh(void) {
  refresh(false);
  return &g_client;
}

void qor_client_scan(void) { refresh(true); }
