// udev's announcements of devices that came and went, as udevd sends them on
// the NETLINK_KOBJECT_UEVENT socket to the "udev" group, so a libudev monitor
// in the host reads them as from a running udevd.
#ifndef ZELMIR_SIM_UEVENT_H
#define ZELMIR_SIM_UEVENT_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "device_tree.h"

namespace sim {

inline constexpr uint32_t kUdevMagic = 0xfeedcafe;
inline constexpr uint32_t kUdevGroup = 2;

// The record that precedes the properties (integers in network byte order).
struct __attribute__((packed)) UdevHeader {
  char prefix[8];            // "libudev"
  uint32_t magic;            // kUdevMagic
  uint32_t header_size;      // sizeof(UdevHeader)
  uint32_t properties_off;
  uint32_t properties_len;
  uint32_t filter_subsystem_hash;
  uint32_t filter_devtype_hash;
  uint32_t filter_tag_bloom_hi;
  uint32_t filter_tag_bloom_lo;
};
static_assert(sizeof(UdevHeader) == 40);
static_assert(offsetof(UdevHeader, magic) == 8);
static_assert(offsetof(UdevHeader, header_size) == 12);
static_assert(offsetof(UdevHeader, properties_off) == 16);
static_assert(offsetof(UdevHeader, properties_len) == 20);
static_assert(offsetof(UdevHeader, filter_subsystem_hash) == 24);
static_assert(offsetof(UdevHeader, filter_devtype_hash) == 28);
static_assert(offsetof(UdevHeader, filter_tag_bloom_hi) == 32);
static_assert(offsetof(UdevHeader, filter_tag_bloom_lo) == 36);

// MurmurHash2 with seed 0, the hash udev's socket filters compare.
uint32_t udev_string_hash(const std::string& s);

// The datagram for one event: header, then NUL-separated KEY=value properties.
std::string build_udev_message(const DeviceEvent& e, uint64_t seqnum);

// Sends events on the network namespace's uevent socket.
class UeventSender {
 public:
  UeventSender() = default;
  ~UeventSender();
  int open();  // 0 or -errno
  int send(const DeviceEvent& e);  // 0 or -errno; numbers events from 1

 private:
  int fd_ = -1;
  uint64_t seqnum_ = 0;
};

}  // namespace sim

#endif  // ZELMIR_SIM_UEVENT_H
