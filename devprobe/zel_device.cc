// The zel_device object: the list of probed devices of the maker's storage,
// rebuilt by every probe through the installed architecture.
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#include "zel/zel_device.h"

namespace {

// The device library's log names each message by its source line; readers of
// that log know the messages by these numbers, so they stay as they are.
constexpr int kLineRegistered = 91;
constexpr int kLineNotZelDevice = 95;
constexpr int kLineInquiryFailed = 100;
constexpr int kLineProbing = 121;
constexpr int kLevel = 3;

// Head of the list, in registration order.
zel_device_t* zeldevs;

// The udev monitor and the mark threads probe at the same time, and a probe
// empties the list and rebuilds it: every routine of the list holds this
// lock, a probe from its emptying to the end of the architecture's probe.
// That probe registers through zel_device_add, hence a recursive lock.
pthread_mutex_t list_lock = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;

class ListLock {
 public:
  ListLock() { pthread_mutex_lock(&list_lock); }
  ~ListLock() { pthread_mutex_unlock(&list_lock); }
  ListLock(const ListLock&) = delete;
  ListLock& operator=(const ListLock&) = delete;
};

void _zel_device_free(zel_device_t* dev) {
  free(dev->name);
  free(dev);
}

// The inquiry fills the braced GUID without a promise of a terminator after
// it: compare and show only its 38 bytes.
bool is_zel_device(const zel_device_t* dev) {
  return dev->guid[0] == '{' && dev->guid[ZEL_DEVICE_BRACED_GUID_LEN - 1] == '}';
}

bool same_guid(const zel_device_t* a, const zel_device_t* b) {
  return strncmp(a->guid, b->guid, ZEL_DEVICE_BRACED_GUID_LEN) == 0;
}

}  // namespace

extern "C" {

int zel_device_probe_all(int flag) {
  ListLock lock;
  if (zeldevs) zel_device_free_all();
  if (!zel_arch || !zel_arch->ops || !zel_arch->ops->probe_all) return -1;
  __log_debug(__func__, kLineProbing, kLevel, "Probing all SCSI Device ......");
  return zel_arch->ops->probe_all(flag);
}

void zel_device_add(const char* path, int value, int refuse_dup_guid) {
  // Nothing to register without a path, or without the memory for it.
  if (!path) return;
  zel_device_t* dev = static_cast<zel_device_t*>(calloc(1, sizeof(zel_device_t)));
  if (!dev) return;
  dev->name = strdup(path);
  if (!dev->name) {
    free(dev);
    return;
  }
  dev->value = value;

  ListLock lock;
  if (zel_device_issueinq_t10(dev) != 0) {
    _zel_device_free(dev);
    __log_error(__func__, kLineInquiryFailed, "failed to register device %s (T10)", path);
    return;
  }
  if (!is_zel_device(dev)) {
    __log_debug(__func__, kLineNotZelDevice, kLevel, "Device %s(GUID %.*s)is not a ZEL Device",
                dev->name, ZEL_DEVICE_BRACED_GUID_LEN, dev->guid);
    _zel_device_free(dev);
    return;
  }
  zel_device_t** tail = &zeldevs;
  bool duplicate = false;
  for (; *tail; tail = &(*tail)->next) {
    if (strcmp((*tail)->name, dev->name) == 0 || (refuse_dup_guid && same_guid(*tail, dev)))
      duplicate = true;
  }
  if (duplicate) {
    _zel_device_free(dev);
  } else {
    dev->next = nullptr;
    *tail = dev;
  }
  __log_debug(__func__, kLineRegistered, kLevel, "Register device %s", path);
}

zel_device_t* zel_device_get_next(zel_device_t* dev) {
  ListLock lock;
  return dev ? dev->next : zeldevs;
}

void zel_device_free_all(void) {
  ListLock lock;
  while (zel_device_t* dev = zeldevs) {
    zeldevs = dev->next;
    _zel_device_free(dev);
  }
}

}  // extern "C"
