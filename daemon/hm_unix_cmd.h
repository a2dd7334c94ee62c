// The server side of the local host-mirror protocol: the handler of each
// command code and what it does with the registry, the files, the bitmap and
// the kernel, down to the result code of its reply.
#ifndef ZELMIR_DAEMON_HM_UNIX_CMD_H
#define ZELMIR_DAEMON_HM_UNIX_CMD_H

#include <stddef.h>
#include <stdint.h>

#include "hm_unix.h"

struct hmdev;

// One request being answered: the request as read, and the reply being
// built (its header is written into the buffer when the handler returns).
struct un_ctx {
  hm_header_t req;
  const unsigned char* body;
  size_t body_len;
  hm_header_t reply;
  unsigned char* out;
  size_t out_max;
};

// Runs the handler of a request held in a 409,600-byte data buffer and puts
// the reply header and body into it.
void hm_unix_handle(unsigned char* data);

int hmdev_volumes_check(struct hmdev* dev);
int hm_get_status(struct hmdev* dev, unsigned char* out, size_t max, int* len);
int hm_api_get_status(struct hmdev* dev, unsigned char* out, size_t max, int* len);

int disk_unprotect(struct hmdev* dev);
int disk_sync(struct hmdev* dev);
int disk_resync(struct hmdev* dev);
int disk_stop_sync(struct hmdev* dev);

// Seconds slept between the status polls of a resynchronisation; tests
// shorten it.
extern unsigned g_resync_poll_sleep_us;

#endif  // ZELMIR_DAEMON_HM_UNIX_CMD_H
