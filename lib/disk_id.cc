// Disk signatures, GUID texts and lookups of the current device of a disk.
#include "mirapi/disk_id.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <sysfs/libsysfs.h>

#include "disk_id_internal.h"
#include "host/host.h"
#include "mirapi/log.h"
#include "mirapi/scsi.h"
#include "mirapi/util.h"

namespace mirapi {

int signature_at(int fd, uint32_t *sig, bool write, const char **step) {
  *step = "seek";
  errno = 0;
  if (hl_lseek(fd, HM_SIGNATURE_OFF, SEEK_SET) != HM_SIGNATURE_OFF) return errno ? -errno : -EIO;
  *step = write ? "write" : "read";
  errno = 0;
  ssize_t n = write ? hl_write(fd, sig, sizeof(*sig)) : hl_read(fd, sig, sizeof(*sig));
  if (n == static_cast<ssize_t>(sizeof(*sig))) return 0;
  // A short transfer leaves errno as it was, often 0: it must still fail.
  if (n < 0 && errno != 0) return -errno;
  return -EIO;
}

bool sysfs_is_partition(const char *sysfs_dir) {
  char attr[SYSFS_PATH_MAX + 16];
  int n = snprintf(attr, sizeof(attr), "%s/partition", sysfs_dir);
  return n > 0 && static_cast<size_t>(n) < sizeof(attr) && filepresent(attr) == 1;
}

}  // namespace mirapi

int get_volume_signature(const char *dev, uint32_t *signature) {
  if (!filepresent(dev)) {
    HM_LOG(LOG_ERR, "file: %s not exist", dev ? dev : "(null)");
    return -1;
  }
  int fd = hl_open(dev, O_RDONLY);
  if (fd < 0) {
    int err = errno;
    HM_LOG(LOG_ERR, "open %s failed: %s\n", dev, strerror(err));
    return -err;
  }
  uint32_t sig = 0;
  int rc = 0;
  struct stat st;
  if (hl_fstat(fd, &st) != 0) {
    rc = -errno;
    HM_LOG(LOG_ERR, "stat %s failed: %s\n", dev, strerror(errno));
  } else if (!S_ISBLK(st.st_mode)) {
    HM_LOG(LOG_ERR, "%s is not a block device\n", dev);
    rc = -1;
  } else {
    const char *step = "";
    rc = mirapi::signature_at(fd, &sig, false, &step);
    if (rc != 0) {
      sig = 0;
      HM_LOG(LOG_ERR, "%s %s error: %s\n", step, dev, strerror(-rc));
    }
  }
  if (rc == 0 && signature) *signature = sig;
  HM_LOG(LOG_DEBUG, "dev: %s signature: %lx ret: %d\n", dev, static_cast<unsigned long>(sig), rc);
  hl_close(fd);
  return rc;
}

int write_volume_signature(const char *dev, uint32_t signature) {
  int fd = hl_open(dev, O_RDWR);
  if (fd < 0) {
    int err = errno;
    syslog(LOG_ERR, "open %s failed: %s\n", dev, strerror(err));
    return -err;
  }
  int rc = 0;
  struct stat st;
  if (hl_fstat(fd, &st) != 0) {
    rc = -errno;
    syslog(LOG_ERR, "stat %s failed: %s\n", dev, strerror(errno));
  } else if (!S_ISBLK(st.st_mode)) {
    syslog(LOG_ERR, "%s is not a block device\n", dev);
    rc = -1;
  } else {
    const char *step = "";
    rc = mirapi::signature_at(fd, &signature, true, &step);
    if (rc != 0) {
      syslog(LOG_ERR, "%s %s error: %s\n", step, dev, strerror(-rc));
    } else if (hl_fsync(fd) != 0) {
      syslog(LOG_ERR, "fsync %s error: %s\n", dev, strerror(errno));
      rc = -1;
    }
  }
  hl_close(fd);
  return rc;
}

char *signature_to_uuid(uint32_t signature, char *buf) {
  guid_t g;
  memset(&g, 0, sizeof(g));
  g.data1 = signature;
  return guid_to_string(&g, buf, HM_GUID_BUF_LEN);
}

char *guid_to_string(const guid_t *guid, char *buf, int size) {
  // The text needs 36 bytes and its terminator: a smaller buffer would
  // hand back a cut identity.
  if (size < HM_GUID_BUF_LEN || !guid || !buf) {
    HM_LOG(LOG_ERR, "sguid buffer size: %d, must big than 32\n", size);
    return nullptr;
  }
  guid_t g;
  memcpy(&g, guid, sizeof(g));
  snprintf(buf, static_cast<size_t>(size),
           "%08x-%04hx-%04hx-%02hhx%02hhx-%02hhx%02hhx%02hhx%02hhx%02hhx%02hhx", g.data1,
           g.data2, g.data3, g.data4[0], g.data4[1], g.data4[2], g.data4[3], g.data4[4],
           g.data4[5], g.data4[6], g.data4[7]);
  return buf;
}

int string_to_guid(const char *text, guid_t *guid) {
  if (!text || strnlen(text, 32) < 32) {
    HM_LOG(LOG_ERR, "Wrong sguid:%s to convert", text ? text : "(null)");
    return -1;
  }
  unsigned int d1 = 0;
  unsigned short d2 = 0, d3 = 0;
  unsigned char d4[8] = {0};
  sscanf(text, "%08x-%04hx-%04hx-%02hhx%02hhx-%02hhx%02hhx%02hhx%02hhx%02hhx%02hhx", &d1, &d2,
         &d3, &d4[0], &d4[1], &d4[2], &d4[3], &d4[4], &d4[5], &d4[6], &d4[7]);
  guid_t g;
  g.data1 = d1;
  g.data2 = d2;
  g.data3 = d3;
  memcpy(g.data4, d4, sizeof(d4));
  memcpy(guid, &g, sizeof(g));
  return 0;
}

namespace {

// Names that are never disks of the system.
int virtual_device(const char *name) {
  return strncmp(name, "md", 2) == 0 || strncmp(name, "ram", 3) == 0 ||
         strncmp(name, "loop", 4) == 0 || strncmp(name, "sr", 2) == 0;
}


// The device path of a listed name; false when it does not fit.
bool dev_path(const char *name, bool slashes, char *out, size_t size) {
  int n = snprintf(out, size, "/dev/%s", name);
  if (n < 0 || static_cast<size_t>(n) >= size) return false;
  if (slashes)
    for (char *p = out + 5; *p; p++)
      if (*p == '!') *p = '/';
  return true;
}

}  // namespace

int mirapi::walk_disks(bool slashes, disk_visit_fn visit, void *arg) {
  struct sysfs_class *cls = sysfs_open_class("block");
  if (!cls) {
    HM_LOG(LOG_ERR, "open subsystem block failed");
    return -1;
  }
  struct dlist *devs = sysfs_get_class_devices(cls);
  if (!devs) {
    sysfs_close_class(cls);
    return -2;
  }
  struct sysfs_class_device *cdev;
  dlist_for_each_data(devs, cdev, struct sysfs_class_device) {
    if (virtual_device(cdev->name)) continue;
    char path[HM_NAME_LEN];
    if (!dev_path(cdev->name, slashes, path, sizeof(path))) continue;
    if (!filepresent(path)) continue;
    if (mirapi::sysfs_is_partition(cdev->path)) continue;
    if (visit(path, arg)) break;
  }
  sysfs_close_class(cls);
  return 0;
}

namespace {

// Walks the whole disks and stops at the first one for which match gives
// true, its path copied to result.
template <typename Match>
int walk_block_disks(bool slashes, char *result, Match match) {
  struct Ctx {
    Match *match;
    char *result;
    int rc;
  } ctx = {&match, result, -1};
  auto visit = [](const char *path, void *arg) {
    Ctx *c = static_cast<Ctx *>(arg);
    if (!(*c->match)(path)) return 0;
    memcpy(c->result, path, strlen(path) + 1);
    c->rc = 0;
    return 1;
  };
  if (mirapi::walk_disks(slashes, visit, &ctx) != 0) return -1;
  return ctx.rc;
}

struct SigCount {
  uint32_t signature;
  int count;
  char *out[2];
};

int count_signature(const char *path, void *arg) {
  SigCount *c = static_cast<SigCount *>(arg);
  if (volume_from_zelsolution(path) > 0) return 0;
  uint32_t sig = 0;
  if (get_volume_signature(path, &sig) != 0 || sig != c->signature) return 0;
  if (c->out[c->count]) memcpy(c->out[c->count], path, strlen(path) + 1);
  return ++c->count == 2;
}

}  // namespace

int mirapi::disks_with_signature(uint32_t signature, char *first, char *second) {
  SigCount c = {signature, 0, {first, second}};
  if (mirapi::walk_disks(true, count_signature, &c) != 0) return 0;
  return c.count;
}

int find_disk_by_signature(uint32_t signature, char *path) {
  // Every unsigned disk holds 0: it names no disk in particular.
  if (signature == 0 || !path) return -1;
  char first[HM_NAME_LEN], second[HM_NAME_LEN];
  int n = mirapi::disks_with_signature(signature, first, second);
  if (n == 0) return -1;
  if (n > 1) {
    HM_LOG(LOG_ERR, "disk signature %08x is on %s and %s: it identifies no disk", signature, first,
           second);
    return -1;
  }
  memcpy(path, first, strlen(first) + 1);
  HM_LOG(LOG_ERR, "disk path:%s", path);
  return 0;
}

int find_disk_by_uuid(const char *guid, char *path) {
  if (!guid || !path || !*guid) return -1;
  return walk_block_disks(false, path, [&](const char *dev) {
    if (volume_from_zelsolution(dev) != 1) return false;
    char found[HM_NAME_LEN];
    memset(found, 0, sizeof(found));
    if (hm_scsi_get_guid(dev, found, sizeof(found)) != 0) return false;
    if (strcmp(found, guid) != 0) return false;
    HM_LOG(LOG_DEBUG, "find device: %s uuid: %s by guid: %s", dev, guid, found);
    return true;
  });
}

int get_guid_by_name(const char *dev, char *buf) {
  if (!dev || !buf) {
    HM_LOG(LOG_ERR, "get_guid_by_name: invalid input");
    return -1;
  }
  if (hm_check_path(dev) == HM_PATH_DOWN) {
    HM_LOG(LOG_ERR, "get_guid_by_name: %s is offline", dev);
    return -1;
  }
  char text[HM_GUID_BUF_LEN];
  memset(text, 0, sizeof(text));
  if (volume_from_zelsolution(dev) > 0) {
    if (hm_scsi_get_guid(dev, text, sizeof(text)) != 0) return -1;
  } else {
    uint32_t sig = 0;
    if (get_volume_signature(dev, &sig) != 0) return -1;
    if (sig == 0) {
      HM_LOG(LOG_ERR, "get_guid_by_name: %s has no disk signature", dev);
      return -1;
    }
    signature_to_uuid(sig, text);
  }
  memcpy(buf, text, sizeof(text));
  return 0;
}
