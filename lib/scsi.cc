// SCSI commands through SG_IO on the block device, and the path state.
#include "mirapi/scsi.h"

#include <errno.h>
#include <fcntl.h>
#include <scsi/sg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "host/host.h"
#include "mirapi/log.h"
#include "scsi_parse.h"

using mirapi::tur_attempt;

namespace {

constexpr int kSgInterfaceId = 'S';   // SCSI generic; <scsi/sg.h> has no name for it
constexpr unsigned int kPassthruTimeoutMs = 6000;
constexpr unsigned int kReadCapTimeoutMs = 1000;
constexpr unsigned int kTurTimeoutMs = 300000;
constexpr off_t kEndReadOffset = 1048576;   // the read a guarded mirror permits
constexpr size_t kSector = 512;

// One SG_IO with no sense buffer; 0 when the ioctl succeeds and the SCSI
// status is GOOD, else -1.
int hm_scsi_passthru(int fd, const uint8_t *cdb, int cdb_len, int direction, void *buf,
                     unsigned int buf_len) {
  sg_io_hdr_t hdr;
  memset(&hdr, 0, sizeof(hdr));
  hdr.interface_id = kSgInterfaceId;
  hdr.dxfer_direction = direction;
  hdr.cmd_len = static_cast<unsigned char>(cdb_len);
  hdr.dxfer_len = buf_len;
  hdr.dxferp = buf;
  hdr.cmdp = const_cast<uint8_t *>(cdb);
  hdr.timeout = kPassthruTimeoutMs;
  if (hl_ioctl(fd, SG_IO, &hdr) < 0) return -1;
  return hdr.status == 0 ? 0 : -1;
}

// Reads exactly count bytes unless the stream ends first.
int _hm_blocking_read(int fd, void *buf, size_t count) {
  if (fd < 0) {
    HM_LOG(LOG_ERR, "Invalid file descriptor: %d.", fd);
    return -1;
  }
  if (!buf) {
    HM_LOG(LOG_ERR, "Null buffer, cannot read.");
    return -1;
  }
  if (count == 0) {
    HM_LOG(LOG_ERR, "Invalid byte-count: 0.");
    return -1;
  }
  size_t got = 0;
  while (got < count) {
    ssize_t n = hl_read(fd, static_cast<char *>(buf) + got, count - got);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<int>(got);
}

}  // namespace

int volume_from_zelsolution(const char *dev) {
  int fd = hl_open(dev, O_RDONLY);
  if (fd < 0) {
    int err = errno;
    HM_LOG(LOG_ERR, "open: %s failed: %s", dev, strerror(err));
    return -err;
  }
  static const uint8_t cdb[6] = {0x12, 0x00, 0x00, 0x00, 0x62, 0x00};
  uint8_t data[98];
  memset(data, 0, sizeof(data));
  int rc = hm_scsi_passthru(fd, cdb, sizeof(cdb), SG_DXFER_FROM_DEV, data, sizeof(data));
  hl_close(fd);
  if (rc != 0) {
    HM_LOG(LOG_ERR, "%s ioctl passthru failed: %d", dev, rc);
    return rc;
  }
  return memcmp(data + 16, HM_ZEL_PRODUCT, strlen(HM_ZEL_PRODUCT)) == 0 ? 1 : 0;
}

int hm_scsi_get_guid(const char *dev, char *guid, size_t size) {
  int fd = hl_open(dev, O_RDONLY);
  if (fd < 0) {
    int err = errno;
    HM_LOG(LOG_ERR, "open %s failed: %s\n", dev, strerror(err));
    HM_LOG(LOG_ERR, "failed to get the uuid of '%s'\n", dev);
    return -err;
  }
  uint8_t *page = static_cast<uint8_t *>(malloc(mirapi::kVpd83BufLen));
  if (!page) {
    int err = errno ? errno : ENOMEM;
    HM_LOG(LOG_ERR, "malloc failed: %s\n", strerror(err));
    HM_LOG(LOG_ERR, "failed to get the uuid of '%s'\n", dev);
    hl_close(fd);
    return -err;
  }
  memset(page, 0, mirapi::kVpd83BufLen);
  static const uint8_t cdb[6] = {0x12, 0x01, 0x83, 0x00, mirapi::kVpd83AllocLen, 0x00};
  int rc = hm_scsi_passthru(fd, cdb, sizeof(cdb), SG_DXFER_FROM_DEV, page,
                            mirapi::kVpd83BufLen);
  if (rc == 0) rc = mirapi::scsi_parse_vpd83(page, guid, size);
  if (rc == 0)
    HM_LOG(LOG_DEBUG, "dev: %s guid: %s\n", dev, guid);
  else
    HM_LOG(LOG_ERR, "failed to get the uuid of '%s'\n", dev);
  free(page);
  hl_close(fd);
  return rc;
}

int device_size_scsi_read_cap(const char *dev, uint64_t *size) {
  if (!dev || !size) {
    HM_LOG(LOG_ERR, "READ_CAPACITY: Invalid input\n");
    return -1;
  }
  int fd = hl_open(dev, O_RDONLY);
  if (fd < 0) {
    HM_LOG(LOG_ERR, "Failed to open %s: %s\n", dev, strerror(errno));
    return -1;
  }
  uint8_t cdb[16] = {0x9e, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x20, 0, 0};
  uint8_t data[32];
  uint8_t sense[252];
  memset(data, 0, sizeof(data));
  memset(sense, 0, sizeof(sense));
  sg_io_hdr_t hdr;
  memset(&hdr, 0, sizeof(hdr));
  hdr.interface_id = kSgInterfaceId;
  hdr.dxfer_direction = SG_DXFER_FROM_DEV;
  hdr.cmd_len = sizeof(cdb);
  hdr.mx_sb_len = sizeof(sense);
  hdr.dxfer_len = sizeof(data);
  hdr.dxferp = data;
  hdr.cmdp = cdb;
  hdr.sbp = sense;
  hdr.timeout = kReadCapTimeoutMs;
  if (hl_ioctl(fd, SG_IO, &hdr) < 0) {
    HM_LOG(LOG_ERR, "ioctl failed: %s\n", strerror(errno));
    hl_close(fd);
    return -1;
  }
  hl_close(fd);
  if (!(hdr.info & SG_INFO_CHECK)) {
    *size = mirapi::scsi_read_cap16_bytes(data);
    return 0;
  }
  int n = hdr.sb_len_wr < sizeof(sense) ? hdr.sb_len_wr : static_cast<int>(sizeof(sense));
  if (n > 0) {
    // One line holds every byte, ten to a row.
    char line[2048];
    size_t pos = snprintf(line, sizeof(line), "INQUIRY sense data: ");
    for (int i = 0; i < n && pos < sizeof(line); i++) {
      if (i > 0 && i % 10 == 0) pos += snprintf(line + pos, sizeof(line) - pos, "\n");
      if (pos < sizeof(line)) pos += snprintf(line + pos, sizeof(line) - pos, "0x%02x ", sense[i]);
    }
    if (pos < sizeof(line)) snprintf(line + pos, sizeof(line) - pos, "\n");
    HM_LOG(LOG_ERR, "%s", line);
  }
  return -1;
}

int zel_create_cdp(const char *dev) {
  int fd = hl_open(dev, O_RDWR);
  if (fd < 0) {
    int err = errno;
    HM_LOG(LOG_ERR, "open %s failed: %s\n", dev, strerror(err));
    return -err;
  }
  static const uint8_t cdb[10] = {0x55, 0, 0, 0, 0, 0, 0, 0, 0x10, 0};
  uint8_t param[16] = {0x00, 0x10, 0, 0, 0, 0, 0, 0, 0x22, 0x10, 0, 0, 0, 0, 0, 0};
  int rc = hm_scsi_passthru(fd, cdb, sizeof(cdb), SG_DXFER_TO_DEV, param, sizeof(param));
  if (rc != 0) HM_LOG(LOG_ERR, "scsi failed: %s\n", strerror(errno));
  hl_close(fd);
  return rc == 0 ? 0 : -1;
}

namespace {

struct tur_ctx {
  int fd;
  uint8_t sense[32];
};

int tur_send(void *p, tur_attempt *a) {
  tur_ctx *ctx = static_cast<tur_ctx *>(p);
  static const uint8_t cdb[6] = {0, 0, 0, 0, 0, 0};
  memset(ctx->sense, 0, sizeof(ctx->sense));
  sg_io_hdr_t hdr;
  memset(&hdr, 0, sizeof(hdr));
  hdr.interface_id = kSgInterfaceId;
  hdr.dxfer_direction = SG_DXFER_NONE;
  hdr.cmd_len = sizeof(cdb);
  hdr.mx_sb_len = sizeof(ctx->sense);
  hdr.cmdp = const_cast<uint8_t *>(cdb);
  hdr.sbp = ctx->sense;
  hdr.timeout = kTurTimeoutMs;
  a->ioctl_rc = hl_ioctl(ctx->fd, SG_IO, &hdr);
  a->info = hdr.info;
  a->host_status = hdr.host_status;
  a->sense = ctx->sense;
  a->sense_len = hdr.sb_len_wr < sizeof(ctx->sense) ? hdr.sb_len_wr
                                                    : static_cast<int>(sizeof(ctx->sense));
  return 0;
}

}  // namespace

int check_path_tur(const char *dev) {
  int fd = hl_open(dev, O_RDONLY | O_DIRECT);
  if (fd < 0) {
    HM_LOG(LOG_ERR, "open %s failed: %s\n", dev, strerror(errno));
    return HM_PATH_DOWN;
  }
  void *buf = nullptr;
  int err = posix_memalign(&buf, kSector, kSector);
  if (err != 0) {
    HM_LOG(LOG_ERR, "posix_memalign failed for %s %s\n", dev, strerror(err));
    hl_close(fd);
    return HM_PATH_DOWN;
  }
  // The first I/O must be the one read a guarded mirror lets through; on a
  // disk under 1 MiB the seek fails and the read lands at the start.
  hl_lseek(fd, -kEndReadOffset, SEEK_END);
  ssize_t n = hl_read(fd, buf, kSector);
  free(buf);
  if (n < 0) {
    HM_LOG(LOG_ERR, "Device %s can not read :%d\n", dev, static_cast<int>(n));
    hl_close(fd);
    return HM_PATH_DOWN;
  }
  tur_ctx ctx;
  ctx.fd = fd;
  int state = mirapi::tur_decide(tur_send, &ctx);
  hl_close(fd);
  return state;
}

int hm_check_path(const char *dev) {
  if (!dev) {
    HM_LOG(LOG_ERR, "Null path, cannot check device status.");
    return HM_PATH_DOWN;
  }
  int state = check_path_tur(dev);
  if (state != HM_PATH_DOWN) return state;
  HM_LOG(LOG_ERR, "The device [%s] is unavailable according to SCSI TUR.", dev);
  HM_LOG(LOG_INFO, "Try direct read the device.");
  if (hm_check_path_direct_read(dev) == 0) {
    HM_LOG(LOG_INFO, "The device [%s] can be read, it's online.", dev);
    return HM_PATH_READY;
  }
  HM_LOG(LOG_ERR, "The device [%s] cannot be read, it's offline.", dev);
  return HM_PATH_DOWN;
}

int hm_check_path_direct_read(const char *dev) {
  if (!dev) {
    HM_LOG(LOG_ERR, "Null device path, cannot check its availability.");
    return -1;
  }
  void *buf = nullptr;
  if (posix_memalign(&buf, kSector, kSector) != 0) {
    HM_LOG(LOG_ERR, "Failed to allocate aligned RAM for direct read.");
    return -1;
  }
  int fd = hl_open(dev, O_RDONLY | O_DIRECT);
  if (fd < 0) {
    HM_LOG(LOG_ERR, "Failed to open device [%s]: %s.", dev, strerror(errno));
    free(buf);
    return -1;
  }
  int n = _hm_blocking_read(fd, buf, kSector);
  int rc = 0;
  if (n != static_cast<int>(kSector)) {
    HM_LOG(LOG_ERR, "Device [%s] doesn't seem to be available.", dev);
    rc = -1;
  }
  hl_close(fd);
  free(buf);
  return rc;
}
