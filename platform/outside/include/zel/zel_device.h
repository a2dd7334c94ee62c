// The device library libzeldev: the list of probed devices of the maker's
// storage with the architecture that probes them (the device-probe
// objects), and what those objects take from the rest of the library (the
// T10 inquiry, the Linux architecture, two logging calls).
#ifndef ZELMIR_OUTSIDE_ZEL_DEVICE_H
#define ZELMIR_OUTSIDE_ZEL_DEVICE_H

#include <stdint.h>

#include "zel/zel_layout.h"

// "{" + 36-character GUID + "}" + NUL, at byte 51 of a probed device.
#define ZEL_DEVICE_GUID_LEN 39
// The braced GUID alone: the bytes that identify a LUN, never relied on to
// be terminated.
#define ZEL_DEVICE_BRACED_GUID_LEN 38

// One probed device, allocated zeroed by zel_device_add. Everything after
// `value` is the inquiry's to fill, and none of it need be terminated.
typedef struct zel_device {
  struct zel_device* next;
  char* name;                      // owned copy of the device path
  int value;
  char vendor[8];                  // standard INQUIRY, blank-padded
  char product[16];
  char revision[4];
  char unused_48[3];
  char guid[ZEL_DEVICE_GUID_LEN];  // "{GUID}" of a LUN of the maker's storage
  char unused_90[6];
} zel_device_t;

ZEL_LAYOUT_ASSERT(sizeof(zel_device_t) == 96);
ZEL_LAYOUT_ASSERT(offsetof(zel_device_t, next) == 0);
ZEL_LAYOUT_ASSERT(offsetof(zel_device_t, name) == 8);
ZEL_LAYOUT_ASSERT(offsetof(zel_device_t, value) == 16);
ZEL_LAYOUT_ASSERT(offsetof(zel_device_t, vendor) == 20);
ZEL_LAYOUT_ASSERT(offsetof(zel_device_t, product) == 28);
ZEL_LAYOUT_ASSERT(offsetof(zel_device_t, revision) == 44);
ZEL_LAYOUT_ASSERT(offsetof(zel_device_t, unused_48) == 48);
ZEL_LAYOUT_ASSERT(offsetof(zel_device_t, guid) == 51);
ZEL_LAYOUT_ASSERT(offsetof(zel_device_t, unused_90) == 90);

// The architecture descriptor: its first member points to the operation
// table, whose first operation probes all devices.
struct zel_arch_ops {
  int (*probe_all)(int flag);
};

struct zel_architecture {
  const struct zel_arch_ops* ops;
};

#ifdef __cplusplus
extern "C" {
#endif

// ---- the device-probe objects ----

// The architecture in use; the Linux one once the library is loaded.
extern struct zel_architecture* zel_arch;

// Empties the list, then lets the architecture register what it finds.
int zel_device_probe_all(int flag);
// Registers one device: inquiry, then appended unless a listed record has the
// same name or (refuse_dup_guid) the same braced GUID.
void zel_device_add(const char* path, int value, int refuse_dup_guid);
// The record after dev; the first record for NULL; NULL at the end.
zel_device_t* zel_device_get_next(zel_device_t* dev);
void zel_device_free_all(void);

int Zel_set_architecture(struct zel_architecture* arch);  // 1
int using_little_endian(void);                            // 1
int endianness_swap(void* buf, int len);                  // 0, or -1 for no buffer
uint64_t get_current_timestamp_microsec(void);

// ---- the rest of the library, which the objects call ----

// Fills the record whose name and value are set; 0 on success.
int zel_device_issueinq_t10(zel_device_t* dev);
extern struct zel_architecture zel_linux_arch;
void __log_debug(const char* func, int line, int level, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));
void __log_error(const char* func, int line, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));

#ifdef __cplusplus
}
#endif

#endif  // ZELMIR_OUTSIDE_ZEL_DEVICE_H
