#include "hm_bitmap.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/statfs.h>
#include <syslog.h>
#include <unistd.h>

#include "hm_nl.h"
#include "hm_nl_client.h"
#include "hm_registry.h"
#include "hm_sys.h"
#include "mirapi/log.h"

struct hm_bitmap_geometry hm_bitmap_geometry_of(uint64_t size) {
  struct hm_bitmap_geometry g;
  g.chunks = size >> 19;
  g.bitmap_bytes = (g.chunks + 7) >> 3;
  g.length = 4096 + g.bitmap_bytes;
  g.space = (g.length + 511) >> 9;
  return g;
}

// Writes all of buf at off; the kernel module writes the file's blocks in
// place and never allocates one, so every block must really be written and a
// full file system must show as an error here, not as a fault later.
static int write_all(int fd, const void* buf, size_t len, off_t off) {
  const char* p = static_cast<const char*>(buf);
  while (len > 0) {
    ssize_t n = pwrite(fd, p, len, off);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -errno;
    }
    if (n == 0) return -EIO;
    p += n;
    len -= (size_t)n;
    off += n;
  }
  return 0;
}

// Writes the fresh file into fd: 0, -16 for too little room on "/boot",
// -15 for any other failure.
static int bitmap_write(int fd, struct hmdev* dev, const char* path) {
  bitmap_super_t sb;
  memset(&sb, 0, sizeof(sb));
  sb.magic = BITMAP_MAGIC;
  sb.version = HM_BITMAP_VERSION;
  sb.bp_off = 1;
  sb.chunksize = HM_BITMAP_CHUNK;
  struct hm_bitmap_geometry g = hm_bitmap_geometry_of(dev->primary->size);

  struct statfs st;
  if (statfs(g_hm_paths.boot_dir, &st) != 0) {
    syslog(LOG_ERR, "%s statfs boot failed: %s\n", "hmdev_bitmap_init", strerror(errno));
    return -15;
  }
  // Both counts as they are, in their own units.
  if (!((uint64_t)st.f_bfree > g.space)) {
    zelc_syslog("%s boot dir free space: %ld file: %ld block\n", "hmdev_bitmap_init",
                (long)st.f_bfree, (long)g.space);
    return -16;
  }

  char* page = static_cast<char*>(calloc(1, g.length + 1));
  if (!page) return -15;
  memcpy(page, &sb, sizeof(sb));
  page[g.length] = ' ';
  int rc = write_all(fd, page, g.length + 1, 0);
  free(page);
  if (rc == 0 && fsync(fd) != 0) rc = -errno;
  if (rc != 0) {
    HM_LOG(LOG_ERR, "write bitmap file %s failed: %s", path, strerror(-rc));
    return rc == -ENOSPC || rc == -EDQUOT ? -16 : -15;
  }
  return 0;
}

static int bitmap_path(const struct hmdev* dev, char* path, size_t size) {
  int n = snprintf(path, size, "%s/hm_%s.bitmap", g_hm_paths.bitmap_dir, dev->primary->guid);
  return n < 0 || (size_t)n >= size ? -1 : 0;
}

int hmdev_bitmap_init(struct hmdev* dev) {
  char path[512];
  if (bitmap_path(dev, path, sizeof(path)) != 0) return -15;
  // A file this call creates is removed again when the call fails, so a
  // refused protect leaves nothing behind; an existing one is reused as it is.
  int created = 1;
  int fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0);
  if (fd < 0 && errno == EEXIST) {
    created = 0;
    fd = open(path, O_RDWR | O_CLOEXEC);
  }
  if (fd < 0) {
    syslog(LOG_ERR, "%s open file %s failed: %s\n", "hmdev_bitmap_init", path, strerror(errno));
    return -15;
  }
  int rc = bitmap_write(fd, dev, path);
  if (rc != 0) {
    close(fd);
    if (created) unlink(path);
    return rc;
  }
  // A worker may be sending Add Protection with the descriptor's number at
  // this moment: the new file takes the old number's place at once, so that
  // number never names a closed or reused descriptor.
  pthread_mutex_lock(&dev->status_lock);
  if (dev->bitmap_fd > 0 && dup2(fd, dev->bitmap_fd) == dev->bitmap_fd) {
    close(fd);
  } else {
    if (dev->bitmap_fd > 0) close(dev->bitmap_fd);
    dev->bitmap_fd = fd;
  }
  pthread_mutex_unlock(&dev->status_lock);
  return 0;
}

// The module holds no bitmap although it has the primary open.
static int bitmap_missing(struct hmdev* dev) {
  pthread_mutex_lock(&dev->status_lock);
  int missing = !hmdev_stopped(dev) && dev->primary && !dev->bitmap_status &&
                hm_test_bit(dev->primary->kstatus, In_Sync);
  pthread_mutex_unlock(&dev->status_lock);
  return missing;
}

int hmdev_bitmap_check(struct hmdev* dev) {
  if (!bitmap_missing(dev)) return 0;
  // Another sender's Add Protection may be installing it right now: one of
  // our own, which the module applies after that one, settles it.
  hm_nl_set_protect(dev);
  if (hm_nl_get_status(dev) != 0 || !bitmap_missing(dev)) return 0;

  char path[512], pname[HM_NAME_LEN], mname[HM_NAME_LEN] = "";
  if (bitmap_path(dev, path, sizeof(path)) != 0) return -15;
  hmvol_copy_name(dev->primary, pname, sizeof(pname));
  if (dev->mirror) hmvol_copy_name(dev->mirror, mname, sizeof(mname));
  HM_LOG(LOG_ERR, "bitmap file %s refused by the kernel module: %s is not protected, nothing reaches "
         "its mirror %s", path, pname, mname);
  int rc = hmdev_bitmap_init(dev);
  if (rc != 0) {
    HM_LOG(LOG_ERR, "bitmap file %s cannot be made again: %d", path, rc);
    return rc;
  }
  hm_nl_set_protect(dev);
  if (hm_nl_get_status(dev) != 0 || bitmap_missing(dev)) {
    HM_LOG(LOG_ERR, "bitmap file %s made again is refused too: %s is not protected", path, pname);
    return -1;
  }
  HM_LOG(LOG_ERR, "bitmap file %s made again: %s is protected again and copied whole to %s", path,
         pname, mname);
  if (hm_nl_send_initialize(dev) != 0) {
    HM_LOG(LOG_ERR, "full copy of %s to %s not started", pname, mname);
    return -1;
  }
  return 1;
}
