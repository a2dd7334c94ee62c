// The hm_disk_* client API over the local host-mirror protocol.
#include "mirapi/api.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "mirapi/disk_id.h"
#include "mirapi/log.h"
#include "mirapi/scsi.h"
#include "mirapi/util.h"
#include "un_cmd.h"

using mirapi::do_un_cmd;

namespace {

constexpr size_t kReqBuf = 1024;   // every request is built in one such buffer
constexpr size_t kType2Len = sizeof(hm_header_t) + sizeof(hm_un_desc_t);   // 22

const hm_header_t *reply_header(const char *reply) {
  return reinterpret_cast<const hm_header_t *>(reply);
}

// The one-descriptor request of codes 2 to 6 and 15: header and a kind-1
// descriptor holding the primary's signature.  -1 when the identity text
// names no signature.
int hm_un_cmd_type2_msg(const char *primary, int cmd, int param, char *buf, int *len) {
  guid_t g;
  if (!primary || string_to_guid(primary, &g) != 0) return -1;
  memset(buf, 0, kType2Len);
  hm_header_t hdr = {};
  hdr.cmd = static_cast<uint8_t>(cmd);
  hdr.body_len = sizeof(hm_un_desc_t);
  hm_un_desc_t desc = {};
  desc.kind = HM_UN_DESC_SIGNATURE;
  desc.id.signature = g.data1;
  if (param != 0) desc.param = static_cast<uint32_t>(param);
  memcpy(buf, &hdr, sizeof(hdr));
  memcpy(buf + sizeof(hdr), &desc, sizeof(desc));
  HM_LOG(LOG_DEBUG, "signature: %x\n", g.data1);
  *len = static_cast<int>(kType2Len);
  return 0;
}

int hm_un_cmd_type2(const char *primary, int cmd, int param) {
  char req[kReqBuf];
  int len = 0;
  if (hm_un_cmd_type2_msg(primary, cmd, param, req, &len) != 0) return -1;
  char *reply = nullptr;
  int rc = do_un_cmd(req, len, &reply);
  if (rc < 0) return rc;
  const hm_header_t *hdr = reply_header(reply);
  if (hdr->retcode != 0) {
    HM_LOG(LOG_ERR, "cmd: %s failed: %s", hm_un_cmd_name(cmd), hm_un_retcode_text(hdr->retcode));
    rc = -static_cast<int>(hdr->retcode);
  } else {
    HM_LOG(LOG_INFO, "cmd: %s success\n", hm_un_cmd_name(cmd));
    if (hdr->body_len)
      HM_LOG(LOG_DEBUG, "%d %.*s\n", hdr->body_len, static_cast<int>(hdr->body_len),
             reply + sizeof(hm_header_t));
  }
  free(reply);
  return rc;
}

// A text field of a status record equals text: compared within the field,
// whether or not the daemon terminated it.
bool field_equals(const char *field, size_t size, const char *text) {
  size_t n = strnlen(field, size);
  return strlen(text) == n && memcmp(field, text, n) == 0;
}

// Terminates every text field of a status record inside its own width, so
// callers may print them.
void terminate_fields(hm_api_status_t *s) {
  s->sync_status[sizeof(s->sync_status) - 1] = '\0';
  s->run_status[sizeof(s->run_status) - 1] = '\0';
  s->primary_status[sizeof(s->primary_status) - 1] = '\0';
  s->primary_path[sizeof(s->primary_path) - 1] = '\0';
  s->primary_guid[sizeof(s->primary_guid) - 1] = '\0';
  s->mirror_status[sizeof(s->mirror_status) - 1] = '\0';
  s->mirror_path[sizeof(s->mirror_path) - 1] = '\0';
  s->mirror_guid[sizeof(s->mirror_guid) - 1] = '\0';
}

}  // namespace

int hm_disk_protect(const char *primary, const char *mirror) {
  if (!primary || !mirror) return -1;

  guid_t g;
  if (string_to_guid(primary, &g) != 0) return -1;
  uint32_t signature = g.data1;
  char dev_p[HM_NAME_LEN];
  char dev_m[HM_NAME_LEN];
  memset(dev_p, 0, sizeof(dev_p));
  memset(dev_m, 0, sizeof(dev_m));
  if (find_disk_by_signature(signature, dev_p) != 0) {
    HM_LOG(LOG_ERR, "Can Not find src device by uuid: %s", primary);
    return -1;
  }
  if (find_disk_by_uuid(mirror, dev_m) != 0) {
    HM_LOG(LOG_ERR, "Can Not find dst device by uuid: %s", mirror);
    return -1;
  }
  HM_LOG(LOG_DEBUG, "dev_p: %s signature: %x dev_m: %s guid: %s", dev_p, signature, dev_m,
         mirror);

  hm_disk_stat_t *list = hm_disk_stat(nullptr);
  if (!list) HM_LOG(LOG_DEBUG, "No hmdev exist!");
  bool taken = false;
  for (hm_disk_stat_t *n = list; n; n = n->next) {
    const hm_api_status_t &s = n->status;
    HM_LOG(LOG_DEBUG, "Exist hmdev: '%s' & '%s'; Creating hmdev: '%s' & '%s'", s.primary_guid,
           s.mirror_guid, primary, mirror);
    if (field_equals(s.primary_guid, sizeof(s.primary_guid), primary) ||
        field_equals(s.primary_guid, sizeof(s.primary_guid), mirror) ||
        field_equals(s.mirror_guid, sizeof(s.mirror_guid), primary) ||
        field_equals(s.mirror_guid, sizeof(s.mirror_guid), mirror))
      taken = true;
  }
  hm_disk_stat_release(list);
  if (taken) {
    HM_LOG(LOG_ERR, "Device '%s' or '%s' is already protected", primary, mirror);
    return -1;
  }

  uint64_t size_p = 0, size_m = 0;
  if (device_size_scsi_read_cap(dev_p, &size_p) != 0) {
    HM_LOG(LOG_ERR, "Failed to get size of [%s] via SCSI command.", dev_p);
    HM_LOG(LOG_INFO, "Try to get size of [%s] via sysfs.", dev_p);
    if (hm_get_disk_size_via_sysfs(dev_p, &size_p) != 0) {
      HM_LOG(LOG_ERR, "Still cannot get size of [%s] via sysfs.", dev_p);
      return -1;
    }
  }
  if (device_size_scsi_read_cap(dev_m, &size_m) != 0) {
    HM_LOG(LOG_ERR, "Failed to get size of '%s'", dev_m);
    return -1;
  }
  HM_LOG(LOG_ERR, "src size(%lu) VS. dst size(%lu)", static_cast<unsigned long>(size_p),
         static_cast<unsigned long>(size_m));
  if (size_m < size_p) return -1;

  size_t len_p = strlen(dev_p), len_m = strlen(dev_m), len_g = strlen(mirror);
  size_t body_len = HM_UN_PROTECT_TEXT_OFF + len_p + len_m + len_g + HM_UN_PROTECT_TAIL;
  if (sizeof(hm_header_t) + body_len > kReqBuf) {
    HM_LOG(LOG_ERR, "protect request of %zu bytes does not fit %zu: mirror text too long",
           sizeof(hm_header_t) + body_len, kReqBuf);
    return -1;
  }

  char req[kReqBuf];
  memset(req, 0, sizeof(req));
  char *body = req + sizeof(hm_header_t);
  hm_un_protect_req_t pr = {};
  pr.mode = HM_UN_MODE_BACKUP;
  pr.primary.kind = HM_UN_DESC_SIGNATURE;
  pr.primary.id.signature = signature;
  pr.mirror.kind = HM_UN_DESC_GUID;
  uint32_t cursor = HM_UN_PROTECT_TEXT_OFF;
  value_insert(&pr.primary.path_off, &pr.primary.path_len, &cursor, body, dev_p, len_p);
  value_insert(&pr.mirror.path_off, &pr.mirror.path_len, &cursor, body, dev_m, len_m);
  value_insert(&pr.mirror.id.g.guid_off, &pr.mirror.id.g.guid_len, &cursor, body, mirror, len_g);
  memcpy(body, &pr, sizeof(pr));
  hm_header_t hdr = {};
  hdr.cmd = SET_DISK_PROTECT;
  hdr.body_len = static_cast<uint16_t>(body_len);
  memcpy(req, &hdr, sizeof(hdr));
  int msg_len = static_cast<int>(sizeof(hdr) + body_len);
  HM_LOG(LOG_DEBUG, "msg_len: %u body_len: %u", static_cast<unsigned>(msg_len),
         static_cast<unsigned>(body_len));

  char *reply = nullptr;
  int rc = do_un_cmd(req, msg_len, &reply);
  if (rc < 0) return rc;
  unsigned retcode = reply_header(reply)->retcode;
  free(reply);
  if (retcode != 0) {
    HM_LOG(LOG_ERR, "retcode: %d\n", static_cast<int>(retcode));
    return -1;
  }
  HM_LOG(LOG_INFO, "add protect: primary=%s mirror=%s Success", dev_p, dev_m);
  return 0;
}

int hm_disk_unprotect(const char *primary) { return hm_un_cmd_type2(primary, CANCEL_DISK_PROTECT, 0); }

int hm_disk_sync(const char *primary, int speed) { return hm_un_cmd_type2(primary, DISK_SYNC, speed); }

int hm_disk_resync(const char *primary, int speed) {
  return hm_un_cmd_type2(primary, DISK_RESYNC, speed);
}

int hm_disk_stop_sync(const char *primary) { return hm_un_cmd_type2(primary, DISK_STOP_SYNC, 0); }

int hm_disk_mark_cdp(const char *guid) {
  if (!guid) return -1;
  char req[kReqBuf];
  memset(req, 0, sizeof(req));
  char *body = req + sizeof(hm_header_t);
  size_t room = sizeof(req) - sizeof(hm_header_t);
  int n = snprintf(body, room, HM_UN_CDP_NAME_FMT, guid);
  if (n < 0 || static_cast<size_t>(n) >= room) {
    HM_LOG(LOG_ERR, "CREATE_CDP: mark name for '%.64s...' does not fit a request", guid);
    return -1;
  }
  hm_header_t hdr = {};
  hdr.cmd = UN_CMD_API_CREATE_CDP;
  hdr.body_len = static_cast<uint16_t>(n);
  memcpy(req, &hdr, sizeof(hdr));
  char *reply = nullptr;
  int rc = do_un_cmd(req, static_cast<int>(sizeof(hdr)) + n, &reply);
  if (rc < 0) return rc;
  unsigned retcode = reply_header(reply)->retcode;
  free(reply);
  if (retcode != 0) {
    HM_LOG(LOG_ERR, "CREATE_CDP failed: %s", hm_un_retcode_text(retcode));
    return -static_cast<int>(retcode);
  }
  HM_LOG(LOG_INFO, "create cdp success");
  return 0;
}

hm_disk_stat_t *hm_disk_stat(const char *primary) {
  char req[kReqBuf];
  int len = 0;
  if (primary) {
    if (hm_un_cmd_type2_msg(primary, UN_CMD_API_GET_STATUS, 0, req, &len) != 0) return nullptr;
  } else {
    hm_header_t hdr = {};
    hdr.cmd = UN_CMD_API_GET_STATUS;
    memcpy(req, &hdr, sizeof(hdr));
    len = sizeof(hdr);
  }
  char *reply = nullptr;
  if (do_un_cmd(req, len, &reply) < 0) return nullptr;
  const hm_header_t *hdr = reply_header(reply);
  if (hdr->retcode != 0) {
    HM_LOG(LOG_ERR, "API_GET_STATUS failed: %s", hm_un_retcode_text(hdr->retcode));
    free(reply);
    return nullptr;
  }
  HM_LOG(LOG_DEBUG, "API_GET_STATUS success, len: %d", hdr->body_len);
  size_t count = hdr->body_len / sizeof(hm_api_status_t);
  const char *rec = reply + sizeof(hm_header_t);
  hm_disk_stat_t *head = nullptr;
  hm_disk_stat_t **tail = &head;
  for (size_t i = 0; i < count; i++, rec += sizeof(hm_api_status_t)) {
    hm_disk_stat_t *node = static_cast<hm_disk_stat_t *>(malloc(sizeof(*node)));
    if (!node) {
      HM_LOG(LOG_ERR, "Out of memory");
      hm_disk_stat_release(head);
      free(reply);
      return nullptr;
    }
    memcpy(&node->status, rec, sizeof(node->status));
    terminate_fields(&node->status);
    node->next = nullptr;
    *tail = node;
    tail = &node->next;
  }
  free(reply);
  return head;
}

void hm_disk_stat_release(hm_disk_stat_t *list) {
  while (list) {
    hm_disk_stat_t *next = list->next;
    free(list);
    list = next;
  }
}

int hm_disk_backup_list(void) { return 0; }
