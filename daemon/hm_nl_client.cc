#include "hm_nl_client.h"
#include "hm_nl_transport.h"

#include <errno.h>
#include <inttypes.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "host/host.h"
#include "hm_conf.h"
#include "hm_registry.h"
#include "mirapi/log.h"

namespace {

pthread_mutex_t forbid_lock = PTHREAD_MUTEX_INITIALIZER;
int forbid_count;
// Under forbid_lock: no mark runs, yet the module did not take the last
// restore of the guard, so every mirror still takes other I/O.
int forbid_owed;

// The request message under construction: header and body.
struct nl_request {
  unsigned char buf[HM_NL_PAYLOAD];
  hm_nl_header_t* hdr() { return reinterpret_cast<hm_nl_header_t*>(buf); }
  unsigned char* body() { return buf + sizeof(hm_nl_header_t); }
};

void request_init(nl_request* r, int cmd) {
  memset(r->buf, 0, sizeof(r->buf));
  r->hdr()->cmd = (uint8_t)cmd;
  r->hdr()->magic = HM_NL_MAGIC;
}

// Places a volume record at off and its path right behind it; the length of
// record and path, or -1 when the body would not hold them.
int put_volume(nl_request* r, int off, const struct hmvol* v, int with_size) {
  char name[HM_NAME_LEN];
  hmvol_copy_name(v, name, sizeof(name));
  int plen = (int)strlen(name);
  if (off + (int)sizeof(hm_nl_volume_t) + plen > HM_NL_BODY_MAX) return -1;
  hm_nl_volume_t rec;
  memset(&rec, 0, sizeof(rec));
  memcpy(&rec.vid, &v->vid, sizeof(rec.vid));
  memcpy(rec.uuid, v->guid, sizeof(rec.uuid));
  rec.uuid[sizeof(rec.uuid) - 1] = '\0';
  if (with_size) rec.sector_max = (v->size + 511) >> 9;
  rec.dev_name_off = (uint16_t)(off + sizeof(rec));
  rec.dev_name_len = (uint16_t)plen;
  memcpy(r->body() + off, &rec, sizeof(rec));
  memcpy(r->body() + off + sizeof(rec), name, plen);
  return (int)sizeof(rec) + plen;
}

int send_request(nl_request* r, void* reply, int reply_len) {
  return g_hm_nl_transport(r->buf, (int)sizeof(hm_nl_header_t) + r->hdr()->msg_len, reply,
                           reply_len);
}

// The Add Protection and HM faulty disk bodies: header1, the primary, and
// the mirror when it is to be named.
int build_header1_body(nl_request* r, struct hmdev* dev, int with_mirror) {
  hm_nl_header1_t h1;
  memset(&h1, 0, sizeof(h1));
  h1.mode = 1;
  pthread_mutex_lock(&dev->status_lock);
  h1.fd = (uint32_t)dev->bitmap_fd;
  pthread_mutex_unlock(&dev->status_lock);
  int off = sizeof(h1);
  int n = put_volume(r, off, dev->primary, 1);
  if (n < 0) return -1;
  off += n;
  h1.nr_vol = 1;
  if (with_mirror) {
    n = put_volume(r, off, dev->mirror, 1);
    if (n < 0) return -1;
    off += n;
    h1.nr_vol = 2;
  }
  memcpy(r->body(), &h1, sizeof(h1));
  return off;
}

int cmd_type2_reply(struct hmdev* dev, int cmd, void* reply, int reply_len) {
  nl_request r;
  request_init(&r, cmd);
  int n = put_volume(&r, 0, dev->primary, 0);
  if (n < 0) return -1;
  r.hdr()->msg_len = (uint16_t)n;
  return send_request(&r, reply, reply_len);
}

int cmd_type2(struct hmdev* dev, int cmd) {
  char name[HM_NAME_LEN];
  hmvol_copy_name(dev->primary, name, sizeof(name));
  HM_LOG(LOG_INFO, "cmd: %d primary: %s signature: %lx\n", cmd, name,
         (unsigned long)dev->primary->vid.mbp_volumeid.signature);
  int rc = cmd_type2_reply(dev, cmd, nullptr, 0);
  HM_LOG(LOG_DEBUG, "cmd: %d to kernel ret: %d\n", cmd, rc);
  return rc < 0 ? rc : 0;
}

// A request that is the header alone.
int cmd_header(int cmd) {
  nl_request r;
  request_init(&r, cmd);
  return send_request(&r, nullptr, 0);
}

// The restore of the guard of all mirrors, sent once more when it fails;
// with forbid_lock held.  Records whether it is still owed.
void send_forbid_all(void) {
  HM_LOG(LOG_DEBUG, "FORBID mirror all");
  int rc = cmd_header(HM_NL_CMD_FORBID_MIRROR_ALL);
  if (rc != 0) rc = cmd_header(HM_NL_CMD_FORBID_MIRROR_ALL);
  forbid_owed = rc != 0;
  if (forbid_owed)
    HM_LOG(LOG_ERR, "guard of all mirrors not restored: %d; the mirrors take other I/O until it is", rc);
}

}  // namespace

hm_nl_transport_fn g_hm_nl_transport = do_cmd_with_kernel;

void hm_nl_client_init(void) {
  pthread_mutex_init(&forbid_lock, nullptr);
  forbid_count = 0;
  forbid_owed = 0;
}

int hm_nl_forbid_count(void) {
  pthread_mutex_lock(&forbid_lock);
  int n = forbid_count;
  pthread_mutex_unlock(&forbid_lock);
  return n;
}

int hm_nl_set_protect(struct hmdev* dev) {
  nl_request r;
  request_init(&r, HM_NL_CMD_ADD_PROTECT);
  if (dev->mirror) HM_LOG(LOG_DEBUG, "mirror: %p active: %d", (void*)dev->mirror, dev->mirror->active);
  int len = build_header1_body(&r, dev, dev->mirror != nullptr);
  int rc = -1;
  if (len >= 0) {
    r.hdr()->msg_len = (uint16_t)len;
    rc = send_request(&r, nullptr, 0);
  }
  char p[HM_NAME_LEN], m[HM_NAME_LEN] = "(null)";
  hmvol_copy_name(dev->primary, p, sizeof(p));
  if (dev->mirror) hmvol_copy_name(dev->mirror, m, sizeof(m));
  HM_LOG(LOG_INFO, "add protect primary: %s mirror: %s mode: %u ret: %d\n", p, m, 1u, rc);
  return rc < 0 ? rc : 0;
}

int hm_nl_update_hmdev(struct hmdev* dev, int which) {
  nl_request r;
  request_init(&r, HM_NL_CMD_UPDATE_HMDEV);
  if (dev->mirror) HM_LOG(LOG_DEBUG, "mirror: %p active: %d", (void*)dev->mirror, dev->mirror->active);
  int len = build_header1_body(&r, dev, dev->mirror && dev->mirror->active);
  if (len < 0 || len + 1 > HM_NL_BODY_MAX) return -1;
  r.body()[len] = which ? 'm' : 'p';
  r.hdr()->msg_len = (uint16_t)(len + 1);
  int rc = send_request(&r, nullptr, 0);
  HM_LOG(LOG_INFO, "update hmdev: disk %d", which);
  return rc < 0 ? rc : 0;
}

int hm_nl_send_stop_protect(struct hmdev* dev) { return cmd_type2(dev, HM_NL_CMD_STOP_PROTECT); }
int hm_nl_send_del_protect(struct hmdev* dev) { return cmd_type2(dev, HM_NL_CMD_DEL_PROTECT); }
int hm_nl_send_initialize(struct hmdev* dev) { return cmd_type2(dev, HM_NL_CMD_INITIALIZE); }
int hm_nl_send_cancel_initialize(struct hmdev* dev) {
  return cmd_type2(dev, HM_NL_CMD_CANCEL_INITIALIZE);
}

int hm_nl_get_status(struct hmdev* dev) {
  unsigned char reply[512];
  memset(reply, 0, sizeof(reply));
  int rc = cmd_type2_reply(dev, HM_NL_CMD_GET_STATUS, reply, sizeof(reply));
  if (rc < 0) {
    HM_LOG(LOG_ERR, "%s get status failed: %d", dev->uuid, rc);
    return rc;
  }
  hm_nl_status_t st;
  memcpy(&st, reply + sizeof(hm_nl_header_t), sizeof(st));
  hm_nl_apply_status(dev, &st);
  write_hmdevs_to_conf();
  return 0;
}

static void apply_member(struct hmvol* v, const hm_nl_vol_status_t* m) {
  if (!v) return;
  v->kstatus = m->status;
  v->active = hm_test_bit(m->status, In_Sync) ? 1 : 0;
  v->state = v->active ? HMVOL_UP : HMVOL_DOWN;
  if (!v->active) hmvol_mark_missing(v);
}

void hm_nl_apply_status(struct hmdev* dev, const hm_nl_status_t* st) {
  const uint64_t kernel_bits = 0xffull | (1ull << HM_DEV_LOCKED);
  pthread_mutex_lock(&dev->status_lock);
  uint64_t before = dev->status;
  uint64_t keep = dev->status & 0xffffffffull & ~kernel_bits;
  dev->status = keep | (st->status & kernel_bits);
  dev->nr_vol = st->nr_vol;
  dev->sync_on = st->sync_on;
  dev->sector_synced = st->sector_synced;
  dev->sync_pending = st->sync_pending;
  dev->writes_pending = st->writes_pending;
  dev->hmbio_pending = st->hmbio_pending;
  dev->chunk_needed = st->chunk_needed;
  dev->mempages = st->mempages;
  dev->alloced_mempage = st->alloced_mempage;
  dev->bitmap_status = st->bitmap_status;
  dev->time2lst_rio = st->time2lst_rio;
  dev->time2lst_wio = st->time2lst_wio;
  apply_member(dev->primary, &st->primary);
  apply_member(dev->mirror, &st->mirror);
  uint64_t after = dev->status;
  pthread_mutex_unlock(&dev->status_lock);
  if (after != before) hm_set_conf_dirty(0);
}

int hm_nl_set_sync_speed_max(struct hmdev* dev) {
  nl_request r;
  request_init(&r, HM_NL_CMD_SET_SYNC_SPEED_MAX);
  int n = put_volume(&r, 0, dev->primary, 0);
  if (n < 0 || n + 4 > HM_NL_BODY_MAX) return -1;
  uint32_t speed = dev->sync_speed;
  memcpy(r.body() + n, &speed, sizeof(speed));
  r.hdr()->msg_len = (uint16_t)(n + 4);
  char name[HM_NAME_LEN];
  hmvol_copy_name(dev->primary, name, sizeof(name));
  HM_LOG(LOG_INFO, "HM_NL_CMD_SET_SYNC_SPEED_MAX primary: %s signature: %lx\n", name,
         (unsigned long)dev->primary->vid.mbp_volumeid.signature);
  int rc = send_request(&r, nullptr, 0);
  HM_LOG(LOG_DEBUG, "cmd to kernel ret: %d\n", rc);
  return rc;
}

// The command goes out while forbid_lock is held, so the kernel sees the
// lifts and restores in the order of the count's changes.
void hm_nl_cancel_forbid_mirror_all(void) {
  pthread_mutex_lock(&forbid_lock);
  if (forbid_count++ <= 0) {
    HM_LOG(LOG_DEBUG, "CANCLE FORBID mirror all");
    cmd_header(HM_NL_CMD_CANCEL_FORBID_MIRROR_ALL);
  }
  pthread_mutex_unlock(&forbid_lock);
}

void hm_nl_forbid_mirror_all(void) {
  pthread_mutex_lock(&forbid_lock);
  if (--forbid_count == 0) send_forbid_all();
  pthread_mutex_unlock(&forbid_lock);
}

void hm_nl_forbid_mirror_all_owed(void) {
  pthread_mutex_lock(&forbid_lock);
  if (forbid_count == 0 && forbid_owed) send_forbid_all();
  pthread_mutex_unlock(&forbid_lock);
}
