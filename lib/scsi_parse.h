// The parts of the SCSI routines that read what a device returned: pure
// functions over bytes, apart from the devices so they can be checked on
// crafted pages and sense data.
#ifndef ZELMIR_LIB_SCSI_PARSE_H
#define ZELMIR_LIB_SCSI_PARSE_H

#include <stddef.h>
#include <stdint.h>

#include "hm_volume.h"   // HM_GUID_TEXT_LEN

namespace mirapi {

constexpr int kVpd83AllocLen = 252;   // allocation length of the VPD INQUIRY
constexpr int kVpd83BufLen = 256;
constexpr int kGuidDesignatorType = 1;  // T10 vendor identification
constexpr int kGuidInDesignator = 13;   // header 4 + vendor 8 + one byte

// Finds the next designator of type (any when type < 0) after *offset (a
// negative offset means before the first) in a designator list of len
// bytes.  0 with *offset set; -1 when the list ended exactly, -2 when a
// designator ran past its end.
int scsi_find_designator(const uint8_t *list, int len, int *offset, int type);

// 1 when text holds exactly 36 characters of [-0-9A-Za-z] (no terminator
// inside), else 0.
int scsi_guid_valid(const char *text);

// The GUID text of a VPD page 0x83 (page holds kVpd83BufLen bytes) into dst,
// zeroed over dst_size (at least 37).  0, -1 or the designator search's
// result.
int scsi_parse_vpd83(const uint8_t *page, char *dst, size_t dst_size);

// Sense key, additional sense code and qualifier from descriptor or fixed
// format sense data; all 0 when len bytes hold neither.
struct scsi_sense {
  int key;
  int asc;
  int ascq;
};
scsi_sense scsi_sense_decode(const uint8_t *sense, int len);

// The value of hexadecimal text (leading white space skipped, either case,
// up to the first other character); 0 for a null text.
unsigned long hex_str_to_byte(const char *text);

// The capacity in bytes from READ CAPACITY(16) data: (last LBA + 1) times
// the block length.
uint64_t scsi_read_cap16_bytes(const uint8_t *data);

// One TEST UNIT READY attempt as the path check sees it.
struct tur_attempt {
  int ioctl_rc;           // the SG_IO ioctl's result
  unsigned int info;      // the request's info word
  unsigned int host_status;
  const uint8_t *sense;
  int sense_len;          // sense bytes that came back
};
constexpr int kTurAttempts = 5;

// Runs up to kTurAttempts attempts through send (which fills one attempt
// and returns 0) and decides the path state: HM_PATH_DOWN, HM_PATH_READY or
// HM_PATH_STANDBY.
int tur_decide(int (*send)(void *ctx, tur_attempt *a), void *ctx);

}  // namespace mirapi

#endif  // ZELMIR_LIB_SCSI_PARSE_H
