// The configuration handle: its manager, the managed and pair tests, the
// schedule lookup, the start-time arithmetic and the release of its records.
#include "qor_model.h"

#include <stdlib.h>
#include <string.h>

#include "mirapi/log.h"
#include "qor_conf.h"
#include "qor_list.h"
#include "zel/zel_app.h"
#include "zel/zel_devgrp.h"

qor_t* g_qor = nullptr;

qor_t* qor_alloc(void) {
  qor_t* qor = static_cast<qor_t*>(calloc(1, sizeof(*qor)));
  if (qor == nullptr) return nullptr;
  INIT_LIST_HEAD(&qor->ip_filter);
  INIT_LIST_HEAD(&qor->cdpschs);
  INIT_LIST_HEAD(&qor->groups);
  pthread_mutex_init(&qor->mutex, nullptr);
  return qor;
}

qor_t* qor_load_config(void) { return qorcfg_read(QOR_CONF_PATH); }

void qor_save_config(qor_t* qor) {
  if (qor == nullptr) return;
  qorcfg_write(QOR_CONF_PATH, qor);
}

void qor_lock(void) { pthread_mutex_lock(&g_qor->mutex); }
void qor_unlock(void) { pthread_mutex_unlock(&g_qor->mutex); }

int qor_mngr_appoint(const qor_manager* mngr, qor_t* qor) {
  if (qor == nullptr) {
    HM_LOG(LOG_ERR, "Failed set manager, null pointer.");
    return -1;
  }
  if (mngr == nullptr) {
    if (qor->manager != nullptr && qor->manager->guid != nullptr)
      HM_LOG(LOG_INFO, "Delete manager '%s'", qor->manager->guid);
    else
      HM_LOG(LOG_INFO, "Delete manager");
    qor_manager_free(qor->manager);
    qor->manager = nullptr;
    free(qor->client_alias);
    qor->client_alias = nullptr;
    return 0;
  }

  qor_manager* copy = static_cast<qor_manager*>(calloc(1, sizeof(*copy)));
  if (copy == nullptr) {
    HM_LOG(LOG_ERR, "Failed to allocate memory");
    return -1;
  }
  INIT_LIST_HEAD(&copy->ips);
  if (mngr->guid != nullptr) {
    copy->guid = strdup(mngr->guid);
    if (copy->guid == nullptr) {
      // A manager without its GUID would count as no manager at all.
      HM_LOG(LOG_ERR, "Failed to allocate memory");
      qor_manager_free(copy);
      return -1;
    }
  }
  struct list_head* pos;
  list_for_each(pos, &mngr->ips) {
    const ip_entry* ip = list_entry(pos, ip_entry, list);
    ip_entry* dup = static_cast<ip_entry*>(calloc(1, sizeof(*dup)));
    if (dup == nullptr) {
      HM_LOG(LOG_ERR, "Failed to allocate memory");
      continue;
    }
    dup->addr = ip->addr;
    list_add_tail(&dup->list, &copy->ips);
  }
  // The target IQN belongs to a channel to the old server; the new one has
  // none until a channel to it is logged in.
  qor_manager* old = qor->manager;
  qor->manager = copy;
  qor_manager_free(old);
  HM_LOG(LOG_INFO, "Appoint new manager '%s'", copy->guid != nullptr ? copy->guid : "(null)");
  return 0;
}

int qor_mngr_remove(qor_t* qor) { return qor_mngr_appoint(nullptr, qor); }

int qor_rename_client(qor_t* qor, const char* alias) {
  if (qor == nullptr || alias == nullptr) {
    HM_LOG(LOG_ERR, "Failed to get context");
    return -1;
  }
  char* dup = strdup(alias);
  if (dup == nullptr) {
    HM_LOG(LOG_ERR, "Failed to allocate memory");
    return -1;
  }
  free(qor->client_alias);
  qor->client_alias = dup;
  return 0;
}

int qor_is_protected(const qor_t* qor) {
  if (qor == nullptr) {
    HM_LOG(LOG_ERR, "Fatal: unkown qor handle");
    return -1;
  }
  if (qor->manager != nullptr && qor->manager->guid != nullptr &&
      qor->manager->guid[0] != '\0') {
    HM_LOG(LOG_DEBUG, "Client is managed by %s", qor->manager->guid);
    return 1;
  }
  HM_LOG(LOG_DEBUG, "Client is not managed by anyone");
  return 0;
}

bool qor_managed_locked(void) { return qor_is_protected(g_qor) == 1; }

bool qor_managed(void) {
  if (g_qor == nullptr) return qor_managed_locked();
  pthread_mutex_lock(&g_qor->mutex);
  const bool managed = qor_managed_locked();
  pthread_mutex_unlock(&g_qor->mutex);
  return managed;
}

int qor_is_pair(const char* mngr_guid, const char* client_guid, const qor_t* qor) {
  if (mngr_guid == nullptr || client_guid == nullptr || qor == nullptr) {
    HM_LOG(LOG_ERR, "Invalid input parameter");
    return 0;
  }
  if (qor->client_guid == nullptr) {
    HM_LOG(LOG_ERR, "Fatal: unkown client guid");
    return 0;
  }
  if (qor->manager == nullptr || qor->manager->guid == nullptr) {
    HM_LOG(LOG_DEBUG, "There is no manager");
    return 0;
  }
  HM_LOG(LOG_DEBUG, "Pair: manager:%s VS recv:%s", qor->manager->guid, mngr_guid);
  HM_LOG(LOG_DEBUG, "Pair: localhost:%s VS recv:%s", qor->client_guid, client_guid);
  return strcmp(mngr_guid, qor->manager->guid) == 0 &&
         strcmp(client_guid, qor->client_guid) == 0;
}

cdpsch* qor_find_cdpsch(const qor_t* qor, const char* guid) {
  if (qor == nullptr || guid == nullptr) return nullptr;
  struct list_head* pos;
  list_for_each(pos, &qor->cdpschs) {
    cdpsch* sch = list_entry(pos, cdpsch, list);
    if (sch->mirror_guid != nullptr && strcmp(sch->mirror_guid, guid) == 0) return sch;
  }
  return nullptr;
}

namespace {

// The first boundary after now of the grid of interval-long steps through
// base (base <= now, both in the signed range): now + interval when now is
// on the grid.  Leaves fallback when the result would not fit.
uint64_t next_boundary(int64_t base, uint32_t interval, int64_t now, uint64_t fallback) {
  int64_t rem = (now - base) % static_cast<int64_t>(interval);
  int64_t next;
  if (__builtin_add_overflow(now, static_cast<int64_t>(interval) - rem, &next)) return fallback;
  return static_cast<uint64_t>(next);
}

// Whether t, read as a signed 64-bit time, lies before now.  A value of
// 2^63 or more is a hand-edited far future, not a negative past.
bool before(uint64_t t, int64_t now) {
  return t <= static_cast<uint64_t>(INT64_MAX) && static_cast<int64_t>(t) < now;
}

}  // namespace

uint64_t qor_sched_start(uint64_t con_start_time, uint32_t interval, int64_t now) {
  if (con_start_time == 0 || interval == 0 || !before(con_start_time, now))
    return con_start_time;
  return next_boundary(static_cast<int64_t>(con_start_time), interval, now, con_start_time);
}

uint64_t qor_cfg_start(uint64_t con_start_time, uint64_t start_time, uint32_t interval,
                       int64_t now) {
  if (con_start_time == 0 || interval == 0 || !before(con_start_time, now)) return start_time;
  // A start time still to come stays.  Past here, start_time <= now.
  if (start_time > static_cast<uint64_t>(INT64_MAX) || static_cast<int64_t>(start_time) > now)
    return start_time;
  return next_boundary(static_cast<int64_t>(start_time), interval, now, start_time);
}

void cdpsch_free(cdpsch* sch) {
  if (sch == nullptr) return;
  free(sch->local_guid);
  free(sch->mirror_guid);
  free(sch);
}

void cdpsch_list_free(struct list_head* list) { QOR_LIST_FREE(list, cdpsch, list, cdpsch_free); }

void guid_entry_free(guid_entry* entry) {
  if (entry == nullptr) return;
  free(entry->guid);
  // An entry already taken out of its list (as the list release does) has
  // null links.
  if (entry->list.next != nullptr) list_del(&entry->list);
  free(entry);
}

void guid_list_free(struct list_head* list) { QOR_LIST_FREE(list, guid_entry, list, guid_entry_free); }

void backup_grp_free(backup_group* grp) {
  if (grp == nullptr) return;
  free(grp->name);
  guid_list_free(&grp->members);
  free(grp);
}

void backup_grp_list_free(struct list_head* list) { QOR_LIST_FREE(list, backup_group, list, backup_grp_free); }

void ip_list_free(struct list_head* list) { QOR_LIST_FREE(list, ip_entry, list, free); }

void qor_manager_free(qor_manager* mngr) {
  if (mngr == nullptr) return;
  free(mngr->guid);
  free(mngr->target_iqn);
  ip_list_free(&mngr->ips);
  free(mngr);
}

void app_free(ZelApp* app) {
  if (app == nullptr) return;
  free(app->instance_name);
  free(app->type_name);
  free(app->db_user);
  free(app->db_passwd);
  free(app->oracle_home);
  free(app->host);
  free(app->port);
  free(app);
}

void app_list_free(struct list_head* list) { QOR_LIST_FREE(list, ZelApp, node, app_free); }

namespace {
void zeldev_free(Zeldev* dev) {
  free(dev->path);
  free(dev);
}
}  // namespace

void zeldevgrp_free(Zeldevgrp* grp) {
  if (grp == nullptr) return;
  QOR_LIST_FREE(&grp->members, Zeldev, node, zeldev_free);
  free(grp->name);
  free(grp);
}

void qor_free(qor_t* qor) {
  if (qor == nullptr) return;
  free(qor->client_guid);
  free(qor->client_alias);
  qor_manager_free(qor->manager);
  ip_list_free(&qor->ip_filter);
  // Schedules and groups are the handle's whether or not a manager is left.
  cdpsch_list_free(&qor->cdpschs);
  backup_grp_list_free(&qor->groups);
  pthread_mutex_destroy(&qor->mutex);
  free(qor);
}

void qor_cleanup(void) {
  qor_free(g_qor);
  g_qor = nullptr;
}
