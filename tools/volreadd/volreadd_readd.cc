// Sending Add Protection for one registry entry, as zelmird would at start.
#include <stdio.h>
#include <string.h>

#include "hm_nl.h"
#include "volreadd.h"
#include "hm_nl_transport.h"
#include "mirapi/disk_id.h"
#include "mirapi/log.h"

namespace {

void fill_volume(hm_nl_volume_t* vol, const hm_reg_disk* d, uint16_t off,
                 uint16_t len) {
  memcpy(vol->uuid, d->guid, sizeof(vol->uuid));
  vol->sector_max = (d->size + 511) >> 9;
  vol->dev_name_off = off;
  vol->dev_name_len = len;
}

}  // namespace

int build_add_protection(const hm_reg_entry* entry, uint8_t* msg) {
  memset(msg, 0, HM_NL_PAYLOAD);
  uint8_t* body = msg + sizeof(hm_nl_header_t);
  const hm_reg_disk* p = entry->primary;
  const hm_reg_disk* m = entry->mirror;
  // Names are held to 127 bytes, so both records and paths always fit.
  uint16_t plen = static_cast<uint16_t>(strnlen(p->name, HM_NAME_LEN - 1));
  uint16_t mlen = static_cast<uint16_t>(strnlen(m->name, HM_NAME_LEN - 1));

  hm_nl_header1_t h1 = {};
  h1.mode = 1;
  h1.nr_vol = 2;
  memcpy(body, &h1, sizeof(h1));

  const uint16_t p_rec = sizeof(h1);
  const uint16_t p_path = p_rec + sizeof(hm_nl_volume_t);
  const uint16_t m_rec = p_path + plen;
  const uint16_t m_path = m_rec + sizeof(hm_nl_volume_t);

  hm_nl_volume_t vol = {};
  fill_volume(&vol, p, p_path, plen);
  // The module stamps the primary record's signature into every write to
  // the primary's sector 0; a zero here would wipe the disk's identity when
  // the module creates the protection from this request.
  guid_t id;
  if (string_to_guid(p->guid, &id) == 0)
    memcpy(&vol.vid.san_volume_id.vol_guid, &id, sizeof(id));
  memcpy(body + p_rec, &vol, sizeof(vol));
  memcpy(body + p_path, p->name, plen);
  log_write(LOG_DEBUG, "readd_protection", __LINE__, "send value primary:%s off:%d, len:%d.",
            p->name, p_path, plen);

  vol = {};
  fill_volume(&vol, m, m_path, mlen);
  memcpy(body + m_rec, &vol, sizeof(vol));
  memcpy(body + m_path, m->name, mlen);
  log_write(LOG_DEBUG, "readd_protection", __LINE__, "send value mirror:%s off:%d, len:%d.",
            m->name, m_path, mlen);

  hm_nl_header_t head = {};
  head.cmd = HM_NL_CMD_ADD_PROTECT;
  head.msg_len = static_cast<uint16_t>(m_path + mlen);
  head.magic = HM_NL_MAGIC;
  memcpy(msg, &head, sizeof(head));
  return static_cast<int>(sizeof(head)) + head.msg_len;
}

int readd_protection(hm_reg_entry* entry) {
  uint8_t msg[HM_NL_PAYLOAD];
  int len = build_add_protection(entry, msg);
  int ret = do_cmd_with_kernel(msg, len, nullptr, 0);
  HM_LOG(LOG_INFO, "add protect primary: %s mirror: %s mode: %u ret: %d\n",
         entry->primary->name, entry->mirror->name, 1u, ret);
  return ret < 0 ? ret : 0;
}
