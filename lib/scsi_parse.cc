#include "scsi_parse.h"

#include <ctype.h>
#include <scsi/sg.h>
#include <string.h>

#include "mirapi/log.h"
#include "mirapi/scsi.h"

namespace mirapi {

int scsi_find_designator(const uint8_t *list, int len, int *offset, int type) {
  int off = *offset;
  int next = off < 0 ? 0 : off + 4 + list[off + 3];
  // A designator is looked at only when its whole 4-byte header lies
  // inside the list.
  while (next + 3 < len) {
    off = next;
    if (type < 0 || (list[off + 1] & 0x0f) == type) {
      *offset = off;
      return 0;
    }
    next = off + 4 + list[off + 3];
  }
  return next == len ? -1 : -2;
}

int scsi_guid_valid(const char *text) {
  if (!text) return 0;
  for (int i = 0; i < HM_GUID_TEXT_LEN; i++) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (!(c == '-' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')))
      return 0;
  }
  return 1;
}

int scsi_parse_vpd83(const uint8_t *page, char *dst, size_t dst_size) {
  int page_len = (page[2] << 8) | page[3];
  if (page_len > kVpd83AllocLen) {
    HM_LOG(LOG_ERR, "failed to get guid\n");
    return -1;
  }
  const uint8_t *list = page + 4;
  int off = -1;
  int rc = scsi_find_designator(list, page_len, &off, kGuidDesignatorType);
  if (rc != 0) return rc;
  // The 36 characters must lie inside the page and inside the designator
  // itself, or they are another designator's bytes.
  int end = off + kGuidInDesignator + HM_GUID_TEXT_LEN;
  if (page_len < end || 4 + list[off + 3] < kGuidInDesignator + HM_GUID_TEXT_LEN) return -1;
  char text[HM_GUID_TEXT_LEN + 1];
  memcpy(text, list + off + kGuidInDesignator, HM_GUID_TEXT_LEN);
  text[HM_GUID_TEXT_LEN] = '\0';
  if (!scsi_guid_valid(text)) return -1;
  if (!dst || dst_size < static_cast<size_t>(HM_GUID_TEXT_LEN) + 1) return -1;
  memset(dst, 0, dst_size);
  memcpy(dst, text, HM_GUID_TEXT_LEN);
  return 0;
}

scsi_sense scsi_sense_decode(const uint8_t *sense, int len) {
  scsi_sense s = {0, 0, 0};
  if (!sense) return s;
  if (len >= 4 && (sense[0] == 0x72 || sense[0] == 0x73)) {
    s.key = sense[1] & 0x0f;
    s.asc = sense[2];
    s.ascq = sense[3];
  } else if (len >= 14 && ((sense[0] & 0x7f) == 0x70 || (sense[0] & 0x7f) == 0x71)) {
    s.key = sense[2] & 0x0f;
    s.asc = sense[12];
    s.ascq = sense[13];
  }
  return s;
}

unsigned long hex_str_to_byte(const char *text) {
  if (!text) return 0;
  while (isspace(static_cast<unsigned char>(*text))) text++;
  unsigned long v = 0;
  for (;; text++) {
    int c = static_cast<unsigned char>(*text);
    int d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else
      break;
    v = v * 16 + static_cast<unsigned long>(d);
  }
  return v;
}

namespace {

// A big-endian number of n bytes, each taken through its hexadecimal text.
uint64_t be_through_hex(const uint8_t *p, int n) {
  uint64_t v = 0;
  char hex[3];
  for (int i = 0; i < n; i++) {
    static const char digits[] = "0123456789abcdef";
    hex[0] = digits[p[i] >> 4];
    hex[1] = digits[p[i] & 0x0f];
    hex[2] = '\0';
    v = (v << 8) | hex_str_to_byte(hex);
  }
  return v;
}

}  // namespace

uint64_t scsi_read_cap16_bytes(const uint8_t *data) {
  uint64_t last_lba = be_through_hex(data, 8);
  uint64_t block_len = be_through_hex(data + 8, 4);
  return (last_lba + 1) * block_len;
}

namespace {

// The host statuses (the SCSI midlayer's DID_* codes) the path check tells
// apart.
constexpr unsigned int kHostOk = 0x00;
constexpr unsigned int kHostNoConnect = 0x01;
constexpr unsigned int kHostBadTarget = 0x04;
constexpr unsigned int kHostAbort = 0x05;
constexpr unsigned int kHostTransportFailfast = 0x0f;

// Sense keys and the additional sense of a port in standby.
constexpr int kSenseNotReady = 0x02;
constexpr int kSenseUnitAttention = 0x06;
constexpr int kAscNotReady = 0x04;
constexpr int kAscqStandby = 0x0b;

// Host statuses after which the device's own answer counts; any other is a
// transport hiccup worth another attempt.
bool host_status_final(unsigned int hs) {
  return hs == kHostOk || hs == kHostNoConnect || hs == kHostBadTarget || hs == kHostAbort ||
         hs == kHostTransportFailfast;
}

}  // namespace

int tur_decide(int (*send)(void *ctx, tur_attempt *a), void *ctx) {
  for (int attempt = 1; attempt <= kTurAttempts; attempt++) {
    tur_attempt a = {};
    if (send(ctx, &a) != 0 || a.ioctl_rc < 0) {
      HM_LOG(LOG_ERR, "ioctl failed, path down");
      return HM_PATH_DOWN;
    }
    if (!(a.info & SG_INFO_CHECK)) return HM_PATH_READY;
    if (!host_status_final(a.host_status) && attempt < kTurAttempts) continue;
    scsi_sense s = scsi_sense_decode(a.sense, a.sense_len);
    if (s.key == kSenseUnitAttention) {   // ask again
      if (attempt < kTurAttempts) continue;
      return HM_PATH_DOWN;
    }
    if (s.key == kSenseNotReady && s.asc == kAscNotReady && s.ascq == kAscqStandby)
      return HM_PATH_STANDBY;
    return HM_PATH_DOWN;
  }
  return HM_PATH_DOWN;
}

}  // namespace mirapi
