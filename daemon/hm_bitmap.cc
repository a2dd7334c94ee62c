#include "hm_bitmap.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/statfs.h>
#include <syslog.h>
#include <unistd.h>

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
    HM_LOG(3, "write bitmap file %s failed: %s", path, strerror(-rc));
    return rc == -ENOSPC || rc == -EDQUOT ? -16 : -15;
  }
  return 0;
}

int hmdev_bitmap_init(struct hmdev* dev) {
  char path[512];
  int n = snprintf(path, sizeof(path), "%s/hm_%s.bitmap", g_hm_paths.bitmap_dir,
                   dev->primary->guid);
  if (n < 0 || (size_t)n >= sizeof(path)) return -15;
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
  if (dev->bitmap_fd > 0) close(dev->bitmap_fd);
  dev->bitmap_fd = fd;
  return 0;
}
