#include "uevent.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace sim {
namespace {

constexpr int kNetlinkKobjectUevent = 15;

struct NlAddr {
  sa_family_t nl_family;
  unsigned short nl_pad;
  uint32_t nl_pid;
  uint32_t nl_groups;
};
static_assert(sizeof(NlAddr) == 12);

}  // namespace

uint32_t udev_string_hash(const std::string& s) {
  const uint32_t m = 0x5bd1e995;
  const int r = 24;
  size_t len = s.size();
  uint32_t h = static_cast<uint32_t>(len);
  const unsigned char* data = reinterpret_cast<const unsigned char*>(s.data());
  while (len >= 4) {
    uint32_t k;
    memcpy(&k, data, 4);
    k *= m;
    k ^= k >> r;
    k *= m;
    h *= m;
    h ^= k;
    data += 4;
    len -= 4;
  }
  switch (len) {
    case 3: h ^= static_cast<uint32_t>(data[2]) << 16; [[fallthrough]];
    case 2: h ^= static_cast<uint32_t>(data[1]) << 8; [[fallthrough]];
    case 1: h ^= data[0]; h *= m;
  }
  h ^= h >> 13;
  h *= m;
  h ^= h >> 15;
  return h;
}

std::string build_udev_message(const DeviceEvent& e, uint64_t seqnum) {
  std::string props;
  auto add = [&](const std::string& k, const std::string& v) {
    props += k;
    props += '=';
    props += v;
    props += '\0';
  };
  add("ACTION", e.action);
  add("DEVPATH", e.devpath);
  add("SUBSYSTEM", "block");
  add("DEVTYPE", e.devtype);
  if (e.node) add("DEVNAME", "/dev/" + e.name);
  if (e.node && e.devnum) {
    add("MAJOR", std::to_string(e.major));
    add("MINOR", std::to_string(e.minor));
  }
  add("SEQNUM", std::to_string(seqnum));

  UdevHeader h{};
  memcpy(h.prefix, "libudev", 8);
  h.magic = htonl(kUdevMagic);
  h.header_size = sizeof h;
  h.properties_off = sizeof h;
  h.properties_len = static_cast<uint32_t>(props.size());
  h.filter_subsystem_hash = htonl(udev_string_hash("block"));
  h.filter_devtype_hash = htonl(udev_string_hash(e.devtype));
  std::string msg(reinterpret_cast<const char*>(&h), sizeof h);
  return msg + props;
}

UeventSender::~UeventSender() {
  if (fd_ >= 0) ::close(fd_);
}

int UeventSender::open() {
  fd_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, kNetlinkKobjectUevent);
  if (fd_ < 0) return -errno;
  NlAddr a{};
  a.nl_family = AF_NETLINK;
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0) {
    int e = errno;
    ::close(fd_);
    fd_ = -1;
    return -e;
  }
  return 0;
}

int UeventSender::send(const DeviceEvent& e) {
  if (fd_ < 0) return -ENOTCONN;
  std::string msg = build_udev_message(e, ++seqnum_);
  NlAddr to{};
  to.nl_family = AF_NETLINK;
  to.nl_groups = kUdevGroup;
  ssize_t n = ::sendto(fd_, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  // Nobody listening is not a failure: the kernel says ECONNREFUSED then.
  if (n < 0 && errno != ECONNREFUSED) return -errno;
  return 0;
}

}  // namespace sim
