#include "hm_unix_cmd.h"

#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

#include "hm_bitmap.h"
#include "hm_cdp.h"
#include "hm_conf.h"
#include "hm_conn.h"
#include "hm_nl.h"
#include "hm_nl_client.h"
#include "hm_registry.h"
#include "hm_sys.h"
#include "mirapi/disk_id.h"
#include "mirapi/log.h"
#include "mirapi/util.h"

unsigned g_resync_poll_sleep_us = 1000000;

namespace {

typedef void (*un_handler)(un_ctx* c);

void reply_init(un_ctx* c) {
  memset(&c->reply, 0, sizeof(c->reply));
  c->reply.cmd = c->req.cmd;
}

void reply_fail(un_ctx* c, int code) { c->reply.retcode = (uint16_t)code; }

int get_desc(const un_ctx* c, size_t off, hm_un_desc_t* d) {
  if (off + sizeof(*d) > c->body_len) return -1;
  memcpy(d, c->body + off, sizeof(*d));
  return 0;
}

// A text named by offset and length inside base[0..base_len), copied bounded
// and terminated into a 128-byte buffer.  An empty text is "" (0); a text
// that runs outside the body or does not fit is refused (-1).
int get_text(const unsigned char* base, size_t base_len, uint16_t off, uint16_t len,
             char* dst) {
  memset(dst, 0, HM_NAME_LEN);
  if (len == 0) return 0;
  return value_get(base, base_len, off, len, dst, HM_NAME_LEN) ? 0 : -1;
}

volume_id_t vid_of_signature(uint32_t sig) {
  volume_id_t v;
  memset(&v, 0, sizeof(v));
  v.mbp_volumeid.signature = sig;
  return v;
}

int is_stopped(struct hmdev* d) {
  pthread_mutex_lock(&d->status_lock);
  int s = hmdev_stopped(d);
  pthread_mutex_unlock(&d->status_lock);
  return s;
}

// The registry's reference goes with the unlink; only the one who unlinked
// drops it, so a protection is removed once.
void registry_remove(struct hmdev* d) {
  if (hmdev_list_del(d)) hmdev_put(d);
}

int vol_faulty(const struct hmvol* v) { return v && hm_test_bit(v->kstatus, Faulty); }

// The paths of a protect request must be the disks its identities name, as
// mirctl checked them: the primary a whole disk that carries the (non-zero)
// signature, alone; the mirror another whole disk, a storage LUN with the
// GUID (a partition answers SCSI commands as its disk does).  Anything else
// would pair, copy onto or sign the wrong disk.  0 or the result code.
static int check_protect_disks(const char* ppath, uint32_t sig, const char* mpath, const char* mguid) {
  uint32_t found = 0;
  if (sig == 0 || !hm_whole_disk(ppath) || g_disk_ops.signature(ppath, &found) != 0 || found != sig) {
    HM_LOG(LOG_ERR, "protect: primary %s does not carry the signature %x", ppath, sig);
    return UN_RET_PRIMARY_CREATE_FAILED;
  }
  char guid[HM_NAME_LEN], other[HM_NAME_LEN];
  signature_to_uuid(sig, guid);
  if (hm_find_disks(guid, HMVOL_ID_SIGNATURE, nullptr, other) > 1) {
    HM_LOG(LOG_ERR, "protect: the signature %x of %s is on %s too", sig, ppath, other);
    return UN_RET_PRIMARY_CREATE_FAILED;
  }
  char lun_guid[HM_NAME_LEN] = {0};
  if (strlen(mguid) != HM_GUID_TEXT_LEN || strcmp(mpath, ppath) == 0 || !hm_whole_disk(mpath) ||
      g_disk_ops.is_zel_lun(mpath) != 1 ||
      g_disk_ops.scsi_guid(mpath, lun_guid, sizeof(lun_guid)) != 0 || strcmp(lun_guid, mguid) != 0) {
    HM_LOG(LOG_ERR, "protect: mirror %s is no storage LUN with the GUID %s", mpath, mguid);
    return UN_RET_MIRROR_CREATE_FAILED;
  }
  return 0;
}

void un_set_disk_protect(un_ctx* c) {
  reply_init(c);
  hm_un_protect_req_t rq;
  if (c->body_len < sizeof(rq)) return reply_fail(c, UN_RET_PRIMARY_CREATE_FAILED);
  memcpy(&rq, c->body, sizeof(rq));
  char ppath[HM_NAME_LEN], mpath[HM_NAME_LEN], mguid[HM_NAME_LEN];
  if (rq.primary.kind != HM_UN_DESC_SIGNATURE ||
      get_text(c->body, c->body_len, rq.primary.path_off, rq.primary.path_len, ppath) != 0)
    return reply_fail(c, UN_RET_PRIMARY_CREATE_FAILED);
  if (rq.mirror.kind != HM_UN_DESC_GUID ||
      get_text(c->body, c->body_len, rq.mirror.path_off, rq.mirror.path_len, mpath) != 0 ||
      get_text(c->body, c->body_len, rq.mirror.id.g.guid_off, rq.mirror.id.g.guid_len, mguid) != 0)
    return reply_fail(c, UN_RET_MIRROR_CREATE_FAILED);
  volume_id_t vid = vid_of_signature(rq.primary.id.signature);
  HM_LOG(LOG_DEBUG, "primary: %x mirror: %s\n", rq.primary.id.signature, mguid);

  struct hmdev* old = hmdev_find_by_vid(&vid);
  if (old) {
    if (!is_stopped(old)) {
      hmdev_put(old);
      return reply_fail(c, UN_RET_PRIMARY_IN_PROTECTION);
    }
    if (hm_nl_send_del_protect(old) != 0) {
      hmdev_put(old);
      return reply_fail(c, UN_RET_LAST_STILL_WORKING);
    }
    registry_remove(old);
    hmdev_put(old);
    hm_set_conf_dirty(1);
    HM_LOG(LOG_DEBUG, "del old hmdev\n");
  }
  HM_LOG(LOG_DEBUG, "check primary in use");
  if (primary_in_use(&vid)) return reply_fail(c, UN_RET_PRIMARY_IN_PROTECTION);
  HM_LOG(LOG_DEBUG, "check mirror in use");
  if (mirror_in_use(mguid)) return reply_fail(c, UN_RET_PRIMARY_IN_PROTECTION);
  int bad = check_protect_disks(ppath, rq.primary.id.signature, mpath, mguid);
  if (bad) return reply_fail(c, bad);
  HM_LOG(LOG_DEBUG, "create primary volume");
  struct hmvol* pv = hm_volume_create(ppath, HMVOL_PRIMARY, HMVOL_ID_SIGNATURE, &vid);
  if (!pv) return reply_fail(c, UN_RET_PRIMARY_CREATE_FAILED);
  struct hmdev* dev = hmdev_create(pv);
  if (!dev) {
    free(pv);
    return reply_fail(c, UN_RET_HMDEV_CREATE_FAILED);
  }
  pv->hmdev = dev;
  dev->mode = (int32_t)rq.mode;
  HM_LOG(LOG_DEBUG, "p_name: %s m_name: %s\n", ppath, mpath);
  struct hmvol* mv = hm_volume_create(mpath, HMVOL_MIRROR, HMVOL_ID_GUID, mguid);
  if (!mv) {
    hmdev_put(dev);
    return reply_fail(c, UN_RET_MIRROR_CREATE_FAILED);
  }
  dev->mirror = mv;
  dev->nr_vol = 2;
  mv->hmdev = dev;
  if (mv->size < pv->size) {
    HM_LOG(LOG_ERR, "protect: mirror %s of %llu bytes is smaller than primary %s of %llu bytes", mpath,
           (unsigned long long)mv->size, ppath, (unsigned long long)pv->size);
    hmdev_put(dev);
    return reply_fail(c, UN_RET_MIRROR_CREATE_FAILED);
  }
  int rc = hmdev_bitmap_init(dev);
  if (rc != 0) {
    hmdev_put(dev);
    return reply_fail(c, -rc);
  }
  rc = hm_nl_set_protect(dev);
  if (rc != 0) {
    hmdev_put(dev);
    return reply_fail(c, UN_RET_SET_PROTECT_FAILED);
  }
  HM_LOG(LOG_DEBUG, "nl_set_protect: p_name: %s m_name: %s ret: %d\n", ppath, mpath, rc);
  hmdev_list_add(dev);
  hm_set_conf_dirty(1);
  write_hmdevs_to_conf();
}

typedef int (*disk_step)(struct hmdev* dev);

void un_disk_cmd_type2(un_ctx* c, disk_step step) {
  reply_init(c);
  hm_un_desc_t d;
  if (get_desc(c, 0, &d) != 0) return reply_fail(c, UN_RET_NOT_IN_PROTECTION);
  volume_id_t vid = vid_of_signature(d.id.signature);
  struct hmdev* dev = hmdev_find_by_vid(&vid);
  if (!dev) return reply_fail(c, UN_RET_NOT_IN_PROTECTION);
  if (is_stopped(dev)) {
    hmdev_put(dev);
    return reply_fail(c, UN_RET_NOT_IN_PROTECTION);
  }
  if (d.param != 0) dev->sync_speed = (uint16_t)(d.param & 0xffff);
  int rc = step(dev);
  hmdev_put(dev);
  if (rc < 0) reply_fail(c, -rc);
}

void un_cancel_protect(un_ctx* c) { un_disk_cmd_type2(c, disk_unprotect); }
void un_disk_sync(un_ctx* c) { un_disk_cmd_type2(c, disk_sync); }
void un_disk_resync(un_ctx* c) { un_disk_cmd_type2(c, disk_resync); }
void un_disk_stop_sync(un_ctx* c) { un_disk_cmd_type2(c, disk_stop_sync); }

int disk_sync_start(struct hmdev* dev) {
  char name[HM_NAME_LEN];
  hmvol_copy_name(dev->primary, name, sizeof(name));
  HM_LOG(LOG_DEBUG, "sync dev: %s is_ha: %d\n", name, dev->is_ha);
  return hm_nl_send_initialize(dev) != 0 ? -UN_RET_INITIALIZE_FAILED : 0;
}

int hm_apply_sync_speed(struct hmdev* dev) {
  if (dev->sync_speed == 0) return 0;
  return hm_nl_set_sync_speed_max(dev);
}

uint64_t status_of(struct hmdev* dev) {
  pthread_mutex_lock(&dev->status_lock);
  uint64_t s = dev->status;
  pthread_mutex_unlock(&dev->status_lock);
  return s;
}

typedef int (*status_builder)(struct hmdev* dev, unsigned char* out, size_t max, int* len);

void un_disk_cmd_type3(un_ctx* c, status_builder build) {
  reply_init(c);
  hm_un_desc_t d;
  if (get_desc(c, 0, &d) != 0) return reply_fail(c, UN_RET_NOT_IN_PROTECTION);
  HM_LOG(LOG_DEBUG, "cmd: %d signature: %x ", c->req.cmd, d.id.signature);
  volume_id_t vid = vid_of_signature(d.id.signature);
  struct hmdev* dev = hmdev_find_by_vid(&vid);
  if (!dev) return reply_fail(c, UN_RET_NOT_IN_PROTECTION);
  HM_LOG(LOG_DEBUG, "cmd: %d hmdev: %p\n", c->req.cmd, (void*)dev);
  int len = 0;
  int rc = build(dev, c->out, c->out_max, &len);
  hmdev_put(dev);
  if (rc < 0) return reply_fail(c, -rc);
  c->reply.body_len = (uint16_t)len;
}

// Every protection's report, in list order, then one 0 byte.  Reports that
// would not fit the 16-bit body length are left out.
void un_disk_cmd_all(un_ctx* c, status_builder build) {
  reply_init(c);
  size_t used = 0;
  unsigned char work[1024];
  for (struct hmdev* dev = hmdev_next(nullptr); dev;) {
    int len = 0;
    if (build(dev, work, sizeof(work), &len) == 0 && len > 0) {
      if (used + (size_t)len + 1 <= c->out_max) {
        memcpy(c->out + used, work, len);
        used += len;
      } else {
        HM_LOG(LOG_ERR, "status reply full, report of %s left out", dev->uuid);
      }
    }
    struct hmdev* next = hmdev_next(dev);
    hmdev_put(dev);
    dev = next;
  }
  c->out[used++] = 0;
  c->reply.body_len = (uint16_t)used;
}

void un_get_status(un_ctx* c) { un_disk_cmd_type3(c, hm_get_status); }
void un_get_status_all(un_ctx* c) { un_disk_cmd_all(c, hm_get_status); }

void un_api_get_status(un_ctx* c) {
  if (c->req.body_len != 0) {
    HM_LOG(LOG_DEBUG, "un_api_get_status: From kernel");
    un_disk_cmd_type3(c, hm_api_get_status);
  } else {
    HM_LOG(LOG_DEBUG, "un_api_get_status: From daemon");
    un_disk_cmd_all(c, hm_api_get_status);
  }
}

// One volume's descriptor and texts of GET_HMDEV_INFO.
int put_info_desc(un_ctx* c, const struct hmvol* v, size_t desc_off, uint32_t* cursor) {
  hm_un_desc_t d;
  memset(&d, 0, sizeof(d));
  d.kind = (uint8_t)v->id_type;
  char name[HM_NAME_LEN];
  hmvol_copy_name(v, name, sizeof(name));
  if (value_insert(&d.path_off, &d.path_len, cursor, c->out, name, strlen(name)) != 0) return -1;
  if (v->id_type == HMVOL_ID_SIGNATURE) {
    d.id.signature = v->vid.mbp_volumeid.signature;
  } else {
    // A GUID-identified volume's identity is its GUID text; its vid is zero.
    if (value_insert(&d.id.g.guid_off, &d.id.g.guid_len, cursor, c->out, v->guid,
                     strnlen(v->guid, HM_NAME_LEN - 1)) != 0)
      return -1;
  }
  memcpy(c->out + desc_off, &d, sizeof(d));
  return 0;
}

void un_get_hmdev_info(un_ctx* c) {
  reply_init(c);
  syslog(LOG_INFO, "get hmdev info: index %d", c->req.arg);
  struct hmdev* dev = hmdev_find_by_index(c->req.arg);
  if (!dev) {
    syslog(LOG_INFO, "get hmdev info: index %d not found", c->req.arg);
    return reply_fail(c, UN_RET_HMDEV_NOT_FOUND);
  }
  uint32_t cursor = HM_UN_INFO_TEXT_OFF;
  memset(c->out, 0, HM_UN_INFO_TEXT_OFF);
  put_info_desc(c, dev->primary, 0, &cursor);
  if (dev->primary->major == HMVOL_PRIMARY && dev->mirror)
    put_info_desc(c, dev->mirror, sizeof(hm_un_desc_t), &cursor);
  syslog(LOG_INFO, "get hmdev info: index %d uuid %s len %u", c->req.arg, dev->uuid, cursor);
  hmdev_put(dev);
  c->reply.body_len = (uint16_t)cursor;
}

struct disk_list {
  un_ctx* c;
  size_t used;
};

int disk_list_visit(const char* name, void* arg) {
  disk_list* dl = static_cast<disk_list*>(arg);
  if (strncmp(name, "md", 2) == 0 || strncmp(name, "ram", 3) == 0 ||
      strncmp(name, "loop", 4) == 0 || strncmp(name, "sr", 2) == 0)
    return 0;
  char dev[257];
  hm_strlcpy(dev, name, sizeof(dev));
  if (strncmp(dev, "cciss!", 6) == 0) dev[5] = '/';
  char path[300];
  snprintf(path, sizeof(path), "/dev/%s", dev);
  if (!g_disk_ops.file_exists(path)) return 0;
  HM_LOG(LOG_DEBUG, "name: %s", dev);
  char guid[HM_NAME_LEN] = {0};
  uint32_t sig = 0;
  int lun = g_disk_ops.is_zel_lun(path) >= 1;
  if (!lun) {
    if (g_disk_ops.signature(path, &sig) != 0) return 0;
  } else if (g_disk_ops.scsi_guid(path, guid, sizeof(guid)) != 0) {
    return 0;
  }
  uint64_t size = 0;
  if (g_disk_ops.size_scsi(path, &size) != 0) return 0;
  char entry[800];
  int n = snprintf(entry, sizeof(entry), "Disk:\t%s\nSize:\t%" PRIu64 " Bytes, %" PRIu64 " GB\n",
                   path, size, size >> 30);
  if (lun)
    n += snprintf(entry + n, sizeof(entry) - n, "UVO ZELSolution Guid: %s\n\n", guid);
  else
    n += snprintf(entry + n, sizeof(entry) - n, "Disk identifier: 0x%.8x\n\n", sig);
  if (dl->used + (size_t)n + 1 > dl->c->out_max) return 1;  // full: the list is cut here
  memcpy(dl->c->out + dl->used, entry, n);
  dl->used += n;
  return 0;
}

void un_get_disk_list(un_ctx* c) {
  reply_init(c);
  disk_list dl = {c, 0};
  if (g_disk_ops.for_each_block(disk_list_visit, &dl) < 0) return;
  c->out[dl.used] = 0;
  c->reply.body_len = (uint16_t)(dl.used + 1);
}

void un_disk_nothing(un_ctx*) {}

void un_update_disk(un_ctx* c) {
  reply_init(c);
  hm_un_update_req_t rq;
  if (c->body_len < sizeof(rq)) return reply_fail(c, 1);
  memcpy(&rq, c->body, sizeof(rq));
  const unsigned char* base = c->body + HM_UN_UPDATE_BASE;
  size_t base_len = c->body_len - HM_UN_UPDATE_BASE;
  char path[HM_NAME_LEN], guid[HM_NAME_LEN];
  int kind1 = rq.disk.kind == HM_UN_DESC_SIGNATURE;
  if (get_text(base, base_len, rq.disk.path_off, rq.disk.path_len, path) != 0 ||
      (!kind1 && get_text(base, base_len, rq.disk.id.g.guid_off, rq.disk.id.g.guid_len, guid) != 0)) {
    HM_LOG(LOG_ERR, "CMD:Update failed, malformed request");
    return reply_fail(c, 1);
  }
  HM_LOG(LOG_ERR, "Receive Signature:%x disk_info %d", rq.disk.id.signature, 16);
  HM_LOG(LOG_ERR, "Receive device path:%s", path);
  struct hmvol* tmp;
  if (kind1) {
    volume_id_t vid = vid_of_signature(rq.disk.id.signature);
    tmp = hm_volume_create(path, HMVOL_PRIMARY, HMVOL_ID_SIGNATURE, &vid);
  } else {
    tmp = hm_volume_create(path, HMVOL_MIRROR, rq.disk.kind, guid);
  }
  if (!tmp) {
    HM_LOG(LOG_ERR, "CMD:Update failed, cannot create update_vol %s\n", path);
    return reply_fail(c, 1);
  }
  struct hmdev* dev = kind1 ? hmdev_find_by_vid(&tmp->vid) : hmdev_find_by_guid(tmp->guid);
  if (!dev) {
    HM_LOG(LOG_INFO, "CMD:Update not find hmdev");
    free(tmp);
    return reply_fail(c, 1);
  }
  HM_LOG(LOG_DEBUG, "CMD:Update find hmdev");
  int ok = 1;
  int prc = update_volume_name(dev->primary);
  if (prc > 0) {
    // Its signature is on another disk too: no name is sent for it.
    HM_LOG(LOG_ERR, "CMD:update failed to update volume name %s", path);
    ok = 0;
  } else if (prc != 0) {
    if (kind1) {
      HM_LOG(LOG_ERR, "CMD:update failed to update volume name %s", path);
      ok = 0;
    } else {
      hmvol_mark_missing(dev->primary);
    }
  }
  if (ok && update_volume_name(dev->mirror) != 0) {
    if (!kind1) {
      HM_LOG(LOG_ERR, "CMD:update failed to update volume name %s", path);
      ok = 0;
    } else {
      hmvol_mark_missing(dev->mirror);
    }
  }
  if (ok) {
    dev->mirror->active = 1;
    int rc = hm_nl_set_protect(dev);
    HM_LOG(LOG_INFO, "zelmir:update disk %s UUID:%s\n", path, tmp->guid);
    if (rc != 0) {
      HM_LOG(LOG_ERR, "CMD:update Add Protection failed: %d", rc);
      ok = 0;
    }
  }
  hmdev_put(dev);
  free(tmp);
  if (!ok) reply_fail(c, 1);
}

void un_create_cdp(un_ctx* c) {
  reply_init(c);
  char name[HM_NAME_LEN] = {0};
  if (c->body_len == 0 || c->body_len >= sizeof(name)) {
    HM_LOG(LOG_ERR, "mark name of %zu bytes refused", c->body_len);
    return reply_fail(c, UN_RET_MARK_CDP_FAILED);
  }
  memcpy(name, c->body, c->body_len);
  if (create_cdp(NET_CMD_CREATE_CDP, name) < 0) reply_fail(c, UN_RET_MARK_CDP_FAILED);
}

void un_debug_on(un_ctx* c) {
  debug_on();
  c->reply = c->req;
}

void un_debug_off(un_ctx* c) {
  debug_off();
  c->reply = c->req;
}

void un_debug_set(un_ctx* c) {
  set_log_level(c->req.arg);
  c->reply = c->req;
}

const un_handler un_request_handlers[HM_UN_CMD_COUNT] = {
    nullptr,           un_set_disk_protect, un_cancel_protect, un_disk_sync,
    un_disk_resync,    un_disk_stop_sync,   un_get_status,     un_get_status_all,
    un_get_hmdev_info, un_get_disk_list,    un_disk_nothing,   un_disk_nothing,
    un_disk_nothing,   un_disk_nothing,     un_update_disk,    un_api_get_status,
    un_create_cdp,     un_debug_on,         un_debug_off,      un_debug_set,
};

// The result a command gives for a request it cannot read.
int malformed_code(int cmd) {
  switch (cmd) {
    case SET_DISK_PROTECT: return UN_RET_PRIMARY_CREATE_FAILED;
    case CANCEL_DISK_PROTECT: case DISK_SYNC: case DISK_RESYNC: case DISK_STOP_SYNC:
    case GET_STATUS: case UN_CMD_API_GET_STATUS: return UN_RET_NOT_IN_PROTECTION;
    case GET_HMDEV_INFO: return UN_RET_HMDEV_NOT_FOUND;
    case UN_CMD_UPDATE_DISK: return 1;
    case UN_CMD_API_CREATE_CDP: return UN_RET_MARK_CDP_FAILED;
    default: return UN_RET_BAD_INDEX;
  }
}

}  // namespace

int hmdev_volumes_check(struct hmdev* dev) {
  if (dev->nr_vol < 2 || !dev->primary || !dev->mirror) return -UN_RET_MIRROR_LOST;
  if (hm_nl_get_status(dev) != 0) return -UN_RET_GET_STATUS_FAILED;
  pthread_mutex_lock(&dev->status_lock);
  int pf = vol_faulty(dev->primary), mf = vol_faulty(dev->mirror);
  pthread_mutex_unlock(&dev->status_lock);
  if (pf) return -UN_RET_PRIMARY_LOST;
  if (mf) return -UN_RET_MIRROR_LOST;
  return 0;
}

int disk_unprotect(struct hmdev* dev) {
  pthread_mutex_lock(&dev->cmd_lock);
  if (hm_nl_send_stop_protect(dev) != 0) {
    pthread_mutex_unlock(&dev->cmd_lock);
    return -UN_RET_CANCEL_PROTECT_FAILED;
  }
  pthread_mutex_lock(&dev->status_lock);
  dev->status |= 1ull << HM_DEV_STOPPED;
  uint64_t s = dev->status;
  pthread_mutex_unlock(&dev->status_lock);
  HM_LOG(LOG_DEBUG, "hmdev status: %lx", (unsigned long)s);
  registry_remove(dev);
  pthread_mutex_unlock(&dev->cmd_lock);
  hm_set_conf_dirty(1);
  write_hmdevs_to_conf();
  return 0;
}

int disk_sync(struct hmdev* dev) {
  int rc = hmdev_volumes_check(dev);
  if (rc != 0) return rc;
  if (hm_apply_sync_speed(dev) != 0) return -UN_RET_SET_SPEED_FAILED;
  uint64_t s = status_of(dev);
  if (hm_test_bit(s, HM_INITIALIZE_ON) || hm_test_bit(s, HM_INITIALIZE_FINISHED)) return 0;
  return disk_sync_start(dev);
}

int disk_resync(struct hmdev* dev) {
  HM_LOG(LOG_DEBUG, "in");
  int rc = hmdev_volumes_check(dev);
  if (rc != 0) return rc;
  uint64_t s = status_of(dev);
  if (!hm_test_bit(s, HM_INITIALIZE_ON) && !hm_test_bit(s, HM_RECOVERY_ON))
    return disk_sync_start(dev);
  if (hm_nl_send_cancel_initialize(dev) != 0) {
    HM_LOG(LOG_ERR, "cancel initialize failed\n");
    return -UN_RET_CANCEL_SYNC_FAILED;
  }
  uint64_t prev = 0;
  for (int polls = 0;; polls++) {
    if (hm_nl_get_status(dev) != 0) {
      HM_LOG(LOG_ERR, "nl get status failed\n");
      return -UN_RET_GET_STATUS_FAILED;
    }
    pthread_mutex_lock(&dev->status_lock);
    uint64_t synced = dev->sector_synced;
    pthread_mutex_unlock(&dev->status_lock);
    if (synced == prev) return disk_sync_start(dev);
    if (polls > 10) {
      HM_LOG(LOG_ERR, "timeout\n");
      return -UN_RET_TRY_AGAIN;
    }
    prev = synced;
    usleep(g_resync_poll_sleep_us);
  }
}

int disk_stop_sync(struct hmdev* dev) {
  if (hm_nl_get_status(dev) != 0) return -UN_RET_GET_STATUS_FAILED;
  uint64_t s = status_of(dev);
  if (hm_test_bit(s, HM_INITIALIZE_ON) || hm_test_bit(s, HM_RECOVERY_ON)) {
    if (hm_nl_send_cancel_initialize(dev) != 0) return -UN_RET_CANCEL_SYNC_FAILED;
    return 0;
  }
  return -UN_RET_NOT_SYNCING;
}

namespace {

// What both status builders show of a protection after a kernel status read.
struct status_words {
  const char* sync;
  int recovery;
  const char* run;
  const char* primary;
  const char* mirror;
  unsigned long percent;
  uint64_t sector_synced, sector_max;
  int index, mode;
  char pname[HM_NAME_LEN], mname[HM_NAME_LEN], pguid[HM_NAME_LEN], mguid[HM_NAME_LEN];
  uint64_t psize, msize;
};

int read_status_words(struct hmdev* dev, status_words* w) {
  if (hm_nl_get_status(dev) != 0) return -UN_RET_GET_STATUS_FAILED;
  pthread_mutex_lock(&dev->status_lock);
  uint64_t s = dev->status;
  struct hmvol* p = dev->primary;
  struct hmvol* m = dev->mirror;
  w->sync = hm_test_bit(s, HM_INITIALIZE_ON)         ? "Sync On"
            : hm_test_bit(s, HM_INITIALIZE_CANCELED) ? "Sync Cancelled"
            : hm_test_bit(s, HM_INITIALIZE_FINISHED) ? "Sync Finished"
                                                     : "UnSync";
  w->recovery = hm_test_bit(s, HM_RECOVERY_ON);
  int finished = strcmp(w->sync, "Sync Finished") == 0 && !w->recovery;
  int counts = strcmp(w->sync, "Sync On") == 0 || strcmp(w->sync, "Sync Finished") == 0;
  // The module runs a protection only with its bitmap installed.
  w->run = hm_test_bit(s, HM_DEV_STOPPED) || !dev->bitmap_status ? "Stopped" : "Running";
  // A disk that waits because its signature is on another disk too says so.
  w->primary = hmvol_ambiguous(p) && !p->active ? "Ambiguous"
               : vol_faulty(p)            ? "Faulty"
               : p->active                ? "Up"
                                          : "Lost";
  w->mirror = !m ? "Lost"
              : vol_faulty(m) ? "Faulty"
              : hm_test_bit(s, HM_DEV_LOCKED) ? "Locked"
              : m->active ? "Up" : "Lost";
  if (strcmp(w->primary, "Lost") == 0) {
    HM_LOG(LOG_DEBUG, "mirror not in kernel");
    if (m && m->state == HMVOL_UP) w->mirror = "Up";
  }
  w->sector_max = dev->sector_max;
  w->sector_synced = dev->sector_synced;
  uint64_t synced;
  if (finished) {
    synced = dev->sector_max;
  } else if (dev->chunk_needed != 0) {
    uint64_t left = dev->chunk_needed * 1024;
    synced = left < dev->sector_max ? dev->sector_max - left : 0;
  } else {
    synced = dev->sector_synced;
  }
  w->percent = (dev->sector_max != 0 && counts) ? (unsigned long)(synced * 100 / dev->sector_max) : 0;
  if (w->percent > 100) w->percent = 100;
  uint64_t chunk_needed = dev->chunk_needed, wio = dev->time2lst_wio;
  w->psize = p->size;
  w->msize = m ? m->size : 0;
  hm_strlcpy(w->pguid, p->guid, sizeof(w->pguid));
  hm_strlcpy(w->mguid, m ? m->guid : "", sizeof(w->mguid));
  uint32_t psig = p->vid.mbp_volumeid.signature, msig = m ? m->vid.mbp_volumeid.signature : 0;
  pthread_mutex_unlock(&dev->status_lock);
  hmvol_copy_name(p, w->pname, sizeof(w->pname));
  if (m) hmvol_copy_name(m, w->mname, sizeof(w->mname));
  else w->mname[0] = '\0';
  w->index = dev->index;
  w->mode = dev->mode;
  HM_LOG(LOG_DEBUG, "signature: %lx vol_p: %s signature: %lx vol_m: %s\n", (unsigned long)psig, w->pname,
         (unsigned long)msig, w->mname);
  HM_LOG(LOG_DEBUG, "chunk_needed: %llu time2st_wio: %llu\n", (unsigned long long)chunk_needed,
         (unsigned long long)wio);
  return 0;
}

}  // namespace

int hm_get_status(struct hmdev* dev, unsigned char* out, size_t max, int* len) {
  status_words w;
  int rc = read_status_words(dev, &w);
  if (rc != 0) return rc;
  char sync[64];
  snprintf(sync, sizeof(sync), "%s%s", w.sync, w.recovery ? ", Recovery On" : "");
  HM_LOG(LOG_DEBUG, "before sprintf synced: %lu max: %lu", (unsigned long)w.sector_synced,
         (unsigned long)w.sector_max);
  int n = snprintf(reinterpret_cast<char*>(out), max,
                   "Hmdev:\nIndex ID:\t%d\nBackup Mode:\t%s\nSync Status:\t%s\nRun Status: \t%s\n"
                   "Sync Percent:\t%lu%%[%lu, %lu]\n\tPrimary:\n\tName:         \t\t%s\n"
                   "\tVolume ID:    \t\t%s\n\tVolume Size:  \t\t%lu Bytes\n\tVolume Status:\t\t%s\n"
                   "\tMirror:\n\tName:         \t\t%s\n\tVolume ID:    \t\t%s\n"
                   "\tVolume Size:  \t\t%lu Bytes\n\tVolume Status:\t\t%s\n",
                   w.index, w.mode == 1 ? "HM_BACKUP" : "HM_HA", sync, w.run, w.percent,
                   (unsigned long)w.sector_synced, (unsigned long)w.sector_max, w.pname, w.pguid,
                   (unsigned long)w.psize, w.primary, w.mname, w.mguid, (unsigned long)w.msize,
                   w.mirror);
  if (n < 0) n = 0;
  if ((size_t)n >= max) n = (int)max - 1;
  *len = n;
  HM_LOG(LOG_DEBUG, "len: %d msg: %s", n, reinterpret_cast<char*>(out));
  return 0;
}

int hm_api_get_status(struct hmdev* dev, unsigned char* out, size_t max, int* len) {
  if (max < sizeof(hm_api_status_t)) return -UN_RET_GET_STATUS_FAILED;
  status_words w;
  int rc = read_status_words(dev, &w);
  if (rc != 0) return rc;
  hm_api_status_t st;
  memset(&st, 0, sizeof(st));
  st.index = (uint16_t)w.index;
  st.percent = (uint16_t)w.percent;
  hm_strlcpy(st.sync_status, w.recovery ? "Recovery On" : w.sync, sizeof(st.sync_status));
  hm_strlcpy(st.run_status, w.run, sizeof(st.run_status));
  hm_strlcpy(st.primary_status, w.primary, sizeof(st.primary_status));
  hm_strlcpy(st.primary_path, w.pname, sizeof(st.primary_path));
  hm_strlcpy(st.primary_guid, w.pguid, sizeof(st.primary_guid));
  hm_strlcpy(st.mirror_status, w.mirror, sizeof(st.mirror_status));
  hm_strlcpy(st.mirror_path, w.mname, sizeof(st.mirror_path));
  hm_strlcpy(st.mirror_guid, w.mguid, sizeof(st.mirror_guid));
  HM_LOG(LOG_DEBUG, "[index: %d] sync_percent: %d, sync_status: %s, run_status: %s", st.index,
         st.percent, st.sync_status, st.run_status);
  HM_LOG(LOG_DEBUG, "[Primary]Status: %s, Name: %s, UUid: %s", st.primary_status, st.primary_path,
         st.primary_guid);
  HM_LOG(LOG_DEBUG, "[Mirror]Status: %s, Name: %s, UUid: %s", st.mirror_status, st.mirror_path,
         st.mirror_guid);
  memcpy(out, &st, sizeof(st));
  *len = (int)sizeof(st);
  return 0;
}

void hm_unix_handle(unsigned char* data) {
  un_ctx c;
  memcpy(&c.req, data + HM_REQ_HDR_OFF, sizeof(c.req));
  c.body = data + HM_REQ_BODY_OFF;
  c.body_len = c.req.body_len;
  memset(&c.reply, 0, sizeof(c.reply));
  c.out = data + HM_REPLY_BODY_OFF;
  c.out_max = HM_REPLY_BODY_MAX;
  HM_LOG(LOG_DEBUG, "OP COMMAND: %s", hm_un_cmd_name(c.req.cmd));
  if (c.req.cmd >= HM_UN_CMD_COUNT || !un_request_handlers[c.req.cmd]) {
    HM_LOG(LOG_ERR, "unknown command code %d", c.req.cmd);
    reply_init(&c);
    reply_fail(&c, UN_RET_BAD_INDEX);
  } else if (c.body_len > HM_REQ_BODY_MAX) {
    // The body would reach into the reply area the handler writes.
    HM_LOG(LOG_ERR, "request body of %zu bytes refused", c.body_len);
    reply_init(&c);
    reply_fail(&c, malformed_code(c.req.cmd));
  } else {
    un_request_handlers[c.req.cmd](&c);
  }
  memcpy(data + HM_REPLY_HDR_OFF, &c.reply, sizeof(c.reply));
}

void unix_request_process(struct hm_work* w) {
  struct hm_request* r = hm_request_of(w);
  hm_unix_handle(static_cast<unsigned char*>(r->data));
  hm_request_finished(r);
}
