// Small routines shared by the library and every program built from its
// sources: whole-buffer socket I/O, packing texts into protocol bodies,
// allocation that never returns nothing, file checks and disk sizes.
#ifndef ZELMIR_MIRAPI_UTIL_H
#define ZELMIR_MIRAPI_UTIL_H

#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>

#ifdef __cplusplus
extern "C" {
#endif

// Writes all count bytes (retrying EAGAIN and EINTR); count or -1.
int writen(int fd, const void *buf, int count);
// Reads up to count bytes; stops early at end of stream or EAGAIN.  The
// count read (possibly short) or -1.
int readn(int fd, void *buf, int count);
// Connects a socket with a time-out in seconds (0: none); 0 or -1 with errno.
int conn_nonb(int sockfd, const struct sockaddr *addr, socklen_t addrlen, int timeout_sec);

// Stores *cursor as the text's 16-bit offset and len as its 16-bit length
// (off_field and len_field point at uint16_t fields, aligned or not), copies
// the text to base + *cursor without terminator and advances *cursor.
// Returns 0, or -1 without touching anything when the offset or the end of
// the text would not fit the 16-bit fields.
int value_insert(void *off_field, void *len_field, uint32_t *cursor, void *base,
                 const void *text, size_t len);

// Copies the text at base + off, len bytes, into dst (zeroed over dst_size
// first) and returns dst, always terminated.  Returns null with dst
// untouched when len is 0, and null (logged) when the text runs past
// body_len or does not fit dst_size with its terminator.
char *value_get(const void *base, size_t body_len, uint16_t off, uint16_t len,
                char *dst, size_t dst_size);

// Zeroed memory or abort ("PANIC: Out of memory"); never null.
void *xcalloc(size_t count, size_t size);
void *xzalloc(size_t size);
// calloc of one element; may be null.
void *zalloc(size_t size);

// 1 when stat of path succeeds, else 0.
int filepresent(const char *path);
// 1 when the file lies on a disk of a SCSI major number, else 0.
int is_resides_on_scsi_disk(const char *path);
// BLKGETSIZE64 of a device: 0, -errno (open) or -1 (ioctl).
int device_size(const char *dev, uint64_t *size);
// The first line of a file, without its newline, in a new buffer of size
// bytes (the caller frees it); null on failure.
char *hm_get_sysfs_value(const char *path, size_t size);
// Size in bytes from /sys/block/NAME/size and queue/hw_sector_size
// (512 when that cannot be read); 0 or -1.
int hm_get_disk_size_via_sysfs(const char *dev, uint64_t *size);

int max_int(int a, int b);
// Prints "zel-linux-hostmirror version:\t1.5-99\n".
void version(void);

#ifdef __cplusplus
}
#endif

#endif  // ZELMIR_MIRAPI_UTIL_H
