// Stand-in for the rest of the maker's libzeldev: the Linux architecture,
// whose probe offers every SCSI disk of the host's /sys to the probed-device
// list, the T10 inquiry that identifies a LUN of the maker's storage, and
// the library's logging, which lands in the call log.
//
// The inquiry goes through the host layer to a simulated host's SCSI model
// and does nothing anywhere else: no test may send INQUIRY to the disks of
// the machine it runs on.
#include <dirent.h>
#include <fcntl.h>
#include <scsi/sg.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "calls_log.h"
#include "host/host.h"
#include "zel/zel_device.h"

namespace {

constexpr char kSysBlock[] = "/sys/block";
constexpr int kInquiryTimeoutMs = 10000;
// A T10 vendor identification designator of the maker's storage: the 8-byte
// vendor "UVO", one separator byte, then the 36-character GUID.
constexpr char kVendor[] = "UVO     ";
constexpr size_t kGuidAt = 9;
constexpr size_t kGuidLen = 36;

// Kernel order: sdb before sdaa.
bool kernel_order(const std::string& a, const std::string& b) {
  return a.size() != b.size() ? a.size() < b.size() : a < b;
}

bool scsi_disks(std::vector<std::string>* names) {
  DIR* d = opendir(kSysBlock);
  if (!d) return false;
  while (dirent* e = readdir(d))
    if (strncmp(e->d_name, "sd", 2) == 0) names->push_back(e->d_name);
  closedir(d);
  std::sort(names->begin(), names->end(), kernel_order);
  return true;
}

// Offers every SCSI disk, the probe's flag refusing a second path to a LUN
// already listed; the number of disks offered, -1 without /sys/block.
int linux_probe_all(int flag) {
  std::vector<std::string> names;
  if (!scsi_disks(&names)) return -1;
  for (const auto& name : names) zel_device_add(("/dev/" + name).c_str(), 0, flag);
  return static_cast<int>(names.size());
}

const struct zel_arch_ops linux_ops = {linux_probe_all};

// INQUIRY of page (evpd) into buf; 0 when the device answered GOOD.
int inquiry(int fd, bool evpd, unsigned char page, unsigned char* buf, unsigned len) {
  unsigned char cdb[6] = {0x12, static_cast<unsigned char>(evpd ? 1 : 0), page,
                          static_cast<unsigned char>(len >> 8), static_cast<unsigned char>(len), 0};
  unsigned char sense[32];
  sg_io_hdr_t io;
  memset(&io, 0, sizeof io);
  io.interface_id = 'S';
  io.dxfer_direction = SG_DXFER_FROM_DEV;
  io.cmd_len = sizeof cdb;
  io.cmdp = cdb;
  io.dxfer_len = len;
  io.dxferp = buf;
  io.mx_sb_len = sizeof sense;
  io.sbp = sense;
  io.timeout = kInquiryTimeoutMs;
  if (hl_ioctl(fd, SG_IO, &io) < 0) return -1;
  return io.status || io.host_status || io.driver_status ? -1 : 0;
}

// Looks through VPD page 0x83 for the storage's designator; true with the
// braced GUID written into dev.
bool find_guid(const unsigned char* page, size_t got, zel_device_t* dev) {
  if (got < 4) return false;
  size_t end = std::min(got, 4 + ((static_cast<size_t>(page[2]) << 8) | page[3]));
  for (size_t at = 4; at + 4 <= end;) {
    size_t len = page[at + 3];
    const unsigned char* des = page + at + 4;
    if (at + 4 + len > end) break;
    bool t10_vendor_id = (page[at + 1] & 0x0f) == 1;
    if (t10_vendor_id && len >= kGuidAt + kGuidLen && memcmp(des, kVendor, 8) == 0) {
      dev->guid[0] = '{';
      memcpy(dev->guid + 1, des + kGuidAt, kGuidLen);
      dev->guid[kGuidLen + 1] = '}';
      dev->guid[kGuidLen + 2] = 0;
      return true;
    }
    at += 4 + len;
  }
  return false;
}

int inquire(zel_device_t* dev) {
  int fd = hl_open(dev->name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  unsigned char std_data[96] = {};
  int rc = inquiry(fd, false, 0, std_data, sizeof std_data);
  if (rc == 0) {
    memcpy(dev->vendor, std_data + 8, sizeof dev->vendor);
    memcpy(dev->product, std_data + 16, sizeof dev->product);
    memcpy(dev->revision, std_data + 32, sizeof dev->revision);
    unsigned char vpd[252] = {};
    // A disk without the page is identified all the same: it is no LUN.
    if (inquiry(fd, true, 0x83, vpd, sizeof vpd) == 0) find_guid(vpd, sizeof vpd, dev);
  }
  hl_close(fd);
  return rc;
}

}  // namespace

extern "C" {

struct zel_architecture zel_linux_arch = {&linux_ops};

int zel_device_issueinq_t10(zel_device_t* dev) {
  if (!dev || !dev->name) return -1;
  int rc = hl_simulated() ? inquire(dev) : -1;
  std::string guid = dev->guid[0] ? std::string(dev->guid, strnlen(dev->guid, ZEL_DEVICE_BRACED_GUID_LEN))
                                  : "(none)";
  zel_record_call("zel_device_issueinq_t10 %s result=%d guid=%s", dev->name, rc, guid.c_str());
  return rc;
}

void __log_debug(const char* func, int line, int level, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string text = zel_vformat(fmt, ap);
  va_end(ap);
  zel_record_call("__log_debug %s %d %d %s", zel_text(func), line, level, text.c_str());
}

void __log_error(const char* func, int line, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string text = zel_vformat(fmt, ap);
  va_end(ap);
  zel_record_call("__log_error %s %d %s", zel_text(func), line, text.c_str());
}

}  // extern "C"
