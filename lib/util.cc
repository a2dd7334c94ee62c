// Socket I/O, body packing, allocation, file checks and disk sizes.
#include "mirapi/util.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "host/host.h"
#include "mirapi/log.h"

namespace {

void do_nothing(size_t) {}

// Called before xcalloc's one retry; nothing in the system frees memory on
// demand, so it stays a no-op.
void (*try_to_free_routine)(size_t) = do_nothing;

}  // namespace

int writen(int fd, const void *buf, int count) {
  const char *p = static_cast<const char *>(buf);
  int left = count;
  while (left > 0) {
    // A peer that hung up must fail the write, not kill the caller's
    // process with SIGPIPE: sockets are written with MSG_NOSIGNAL.
    ssize_t n = send(fd, p, static_cast<size_t>(left), MSG_NOSIGNAL);
    if (n < 0 && errno == ENOTSOCK) n = write(fd, p, static_cast<size_t>(left));
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      return -1;
    }
    if (n == 0) return -1;
    p += n;
    left -= static_cast<int>(n);
  }
  return count;
}

int readn(int fd, void *buf, int count) {
  char *p = static_cast<char *>(buf);
  int got = 0;
  while (got < count) {
    ssize_t n = read(fd, p + got, static_cast<size_t>(count - got));
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) break;
      HM_LOG(LOG_ERR, "failed: %s\n", strerror(errno));
      return -1;
    }
    if (n == 0) break;
    got += static_cast<int>(n);
  }
  return got;
}

int conn_nonb(int sockfd, const struct sockaddr *addr, socklen_t addrlen, int timeout_sec) {
  int flags = fcntl(sockfd, F_GETFL, 0);
  fcntl(sockfd, F_SETFL, flags | O_NONBLOCK);

  if (connect(sockfd, addr, addrlen) == 0) {
    fcntl(sockfd, F_SETFL, flags);
    return 0;
  }
  if (errno != EINPROGRESS) {
    close(sockfd);
    return -1;
  }

  fd_set rset, wset;
  FD_ZERO(&rset);
  FD_SET(sockfd, &rset);
  wset = rset;
  struct timeval tv = {timeout_sec, 0};
  int n = select(sockfd + 1, &rset, &wset, nullptr, timeout_sec ? &tv : nullptr);
  if (n == 0) {
    close(sockfd);
    errno = ETIMEDOUT;
    return -1;
  }
  if (!FD_ISSET(sockfd, &rset) && !FD_ISSET(sockfd, &wset)) {
    syslog(LOG_ERR, "%s sockfd not set\n", __func__);
    exit(0);
  }
  int error = 0;
  socklen_t len = sizeof(error);
  int rc = getsockopt(sockfd, SOL_SOCKET, SO_ERROR, &error, &len);
  syslog(LOG_ERR, "%s code: %d error: %d\n", __func__, rc, error);
  if (rc < 0 || error) {
    if (error) errno = error;
    close(sockfd);
    return -1;
  }
  fcntl(sockfd, F_SETFL, flags);
  return 0;
}

int value_insert(void *off_field, void *len_field, uint32_t *cursor, void *base,
                 const void *text, size_t len) {
  // An offset or an end beyond 16 bits would be stored cut and name the
  // wrong bytes; the request must be refused instead.
  if (*cursor > 0xffff || len > 0xffff || *cursor + len > 0xffff) return -1;
  uint16_t off16 = static_cast<uint16_t>(*cursor);
  uint16_t len16 = static_cast<uint16_t>(len);
  memcpy(off_field, &off16, sizeof(off16));
  memcpy(len_field, &len16, sizeof(len16));
  if (len) memcpy(static_cast<char *>(base) + *cursor, text, len);
  *cursor += static_cast<uint32_t>(len);
  return 0;
}

char *value_get(const void *base, size_t body_len, uint16_t off, uint16_t len, char *dst,
                size_t dst_size) {
  if (len == 0) return nullptr;
  // Both numbers come from a peer: the text must lie inside the body and
  // fit the destination with its terminator.
  if (static_cast<size_t>(off) + len > body_len) {
    HM_LOG(LOG_ERR, "text at %u length %u runs past the body of %zu bytes\n", off, len, body_len);
    return nullptr;
  }
  if (dst_size == 0 || len >= dst_size) {
    HM_LOG(LOG_ERR, "text of %u bytes does not fit a buffer of %zu\n", len, dst_size);
    return nullptr;
  }
  memset(dst, 0, dst_size);
  memcpy(dst, static_cast<const char *>(base) + off, len);
  return dst;
}

void *xcalloc(size_t count, size_t size) {
  void *p = calloc(count, size);
  if (!p && (!count || !size)) p = calloc(1, 1);
  if (!p) {
    try_to_free_routine(count * size);
    p = calloc(count, size);
    if (!p && (!count || !size)) p = calloc(1, 1);
    if (!p) {
      HM_LOG(LOG_EMERG, "PANIC: Out of memory");
      abort();
    }
  }
  return p;
}

void *xzalloc(size_t size) { return xcalloc(1, size); }

void *zalloc(size_t size) { return calloc(1, size); }

int filepresent(const char *path) {
  struct stat st;
  return path && stat(path, &st) == 0 ? 1 : 0;
}

int is_resides_on_scsi_disk(const char *path) {
  if (!path) return 0;
  struct stat st;
  if (stat(path, &st) != 0) {
    HM_LOG(LOG_ERR, "Failed to stat()");
    return 0;
  }
  unsigned long major = static_cast<unsigned long>(st.st_dev) >> 8;
  return (major == 8 || (major >= 65 && major <= 71) || (major >= 72 && major <= 79) ||
          (major >= 104 && major <= 111) || (major >= 128 && major <= 135))
             ? 1
             : 0;
}

int device_size(const char *dev, uint64_t *size) {
  int fd = hl_open(dev, O_RDWR);
  if (fd < 0) {
    int err = errno;
    HM_LOG(LOG_ERR, "get dev: %s size failed: %s\n", dev, strerror(err));
    return -err;
  }
  uint64_t bytes = 0;
  if (hl_ioctl(fd, BLKGETSIZE64, &bytes) < 0) {
    HM_LOG(LOG_DEBUG, "ioctl dev: %s size failed: %s\n", dev, strerror(errno));
    hl_close(fd);
    return -1;
  }
  hl_close(fd);
  *size = bytes;
  return 0;
}

char *hm_get_sysfs_value(const char *path, size_t size) {
  if (!path) {
    HM_LOG(LOG_ERR, "Null file path, cannot read value.");
    return nullptr;
  }
  if (size == 0) {
    HM_LOG(LOG_ERR, "Invalid buffer length, cannot read value.");
    return nullptr;
  }
  char *buf = static_cast<char *>(calloc(1, size));
  if (!buf) {
    HM_LOG(LOG_ERR, "Failed to allocate RAM for file content.");
    return nullptr;
  }
  FILE *f = fopen(path, "r");
  if (!f) {
    HM_LOG(LOG_ERR, "Failed to open target file [%s]: %s.", path, strerror(errno));
    free(buf);
    return nullptr;
  }
  // fgets reads at most size - 1 bytes; a one-byte buffer holds just "".
  if (size > 1 && !fgets(buf, static_cast<int>(size), f)) {
    HM_LOG(LOG_ERR, "Failed to read file [%s].", path);
    fclose(f);
    free(buf);
    return nullptr;
  }
  buf[size - 1] = '\0';
  size_t len = strlen(buf);
  if (len && buf[len - 1] == '\n') buf[len - 1] = '\0';
  if (fclose(f) != 0) HM_LOG(LOG_ERR, "Failed to close [%s]: %s.", path, strerror(errno));
  return buf;
}

namespace {

// Parses a whole unsigned decimal text; false for anything else.
bool parse_u64(const char *text, uint64_t *out) {
  if (!text || *text < '0' || *text > '9') return false;
  errno = 0;
  char *end = nullptr;
  unsigned long long v = strtoull(text, &end, 10);
  if (errno || end == text) return false;
  while (*end == ' ' || *end == '\t' || *end == '\r' || *end == '\n') end++;
  if (*end) return false;
  *out = v;
  return true;
}

}  // namespace

int hm_get_disk_size_via_sysfs(const char *dev, uint64_t *size) {
  if (!dev) {
    HM_LOG(LOG_ERR, "Null device path, refuse to access sysfs.");
    return -1;
  }
  if (!size) {
    HM_LOG(LOG_ERR, "Null pointer to output value.");
    return -1;
  }
  size_t dev_len = strlen(dev);
  if (dev_len == 0) {
    HM_LOG(LOG_ERR, "Empty device path, refuse to access sysfs.");
    return -1;
  }
  if (dev[dev_len - 1] == '/') {
    HM_LOG(LOG_ERR, "Invalid device path [%s].", dev);
    return -1;
  }
  HM_LOG(LOG_INFO, "Reading size of device [%s] via sysfs.", dev);
  const char *name = strrchr(dev, '/');
  if (name) {
    name++;
  } else {
    HM_LOG(LOG_ERR, "Cannot find char '/' in [%s],take it as a device name without path.", dev);
    name = dev;
  }
  HM_LOG(LOG_INFO, "Device name [%s].", name);

  char path[1024];
  int n = snprintf(path, sizeof(path), "/sys/block/%s/size", name);
  if (n < 0) {
    HM_LOG(LOG_ERR, "Failed to format string [/sys/block/%s/size].", name);
    return -1;
  }
  if (n >= static_cast<int>(sizeof(path))) {
    HM_LOG(LOG_ERR, "Failed to format string [/sys/block/%s/size], result truncated.", name);
    return -1;
  }
  char *sectors_text = hm_get_sysfs_value(path, 32);
  if (!sectors_text) {
    HM_LOG(LOG_ERR, "Failed to read content of [/sys/block/%s/size].", name);
    return -1;
  }
  HM_LOG(LOG_INFO, "Device [%s]: %s sectors", name, sectors_text);
  uint64_t sectors = 0;
  if (!parse_u64(sectors_text, &sectors)) {
    HM_LOG(LOG_ERR, "Failed to parse content of [/sys/block/%s/size].", name);
    free(sectors_text);
    return -1;
  }

  n = snprintf(path, sizeof(path), "/sys/block/%s/queue/hw_sector_size", name);
  if (n < 0 || n >= static_cast<int>(sizeof(path))) {
    HM_LOG(LOG_ERR, "Failed to format string [/sys/block/%s/queue/hw_sector_size].", name);
    free(sectors_text);
    return -1;
  }
  uint64_t sector_size = 512;
  char *ss_text = hm_get_sysfs_value(path, 32);
  if (!ss_text) {
    HM_LOG(LOG_ERR, "Failed to read content of [/sys/block/%s/queue/hw_sector_size].", name);
    HM_LOG(LOG_INFO, "Use default sector size.");
  } else {
    HM_LOG(LOG_INFO, "Read device [%s]: %s bytes/sector", name, ss_text);
    if (!parse_u64(ss_text, &sector_size)) {
      HM_LOG(LOG_ERR, "Failed to parse content of [/sys/block/%s/queue/hw_sector_size].", name);
      HM_LOG(LOG_INFO, "Use default sector size.");
      sector_size = 512;
    }
  }
  HM_LOG(LOG_DEBUG, "Number of sector: %lu", static_cast<unsigned long>(sectors));
  HM_LOG(LOG_DEBUG, "Size of sector: %lu", static_cast<unsigned long>(sector_size));
  *size = sectors * sector_size;
  free(sectors_text);
  free(ss_text);
  return 0;
}

int max_int(int a, int b) { return a > b ? a : b; }

void version(void) { printf("zel-linux-hostmirror version:\t%d.%d-%d\n", 1, 5, 99); }
