#include "rtnl.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/veth.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace sim {
namespace {

// A request under construction: a header, a fixed part, and attributes,
// some of them nests whose length is filled in when they close.
class Msg {
 public:
  Msg(uint16_t type, uint16_t flags) {
    nlmsghdr h{};
    h.nlmsg_type = type;
    h.nlmsg_flags = static_cast<uint16_t>(NLM_F_REQUEST | NLM_F_ACK | flags);
    put(&h, sizeof h);
  }
  void put(const void* p, size_t n) {
    buf_.append(static_cast<const char*>(p), n);
    buf_.append(NLMSG_ALIGN(n) - n, '\0');
  }
  void attr(uint16_t type, const void* data, size_t n) {
    rtattr a{};
    a.rta_type = type;
    a.rta_len = static_cast<unsigned short>(RTA_LENGTH(n));
    buf_.append(reinterpret_cast<const char*>(&a), sizeof a);
    put(data, n);
  }
  void attr_str(uint16_t type, const std::string& s) { attr(type, s.c_str(), s.size() + 1); }
  size_t begin(uint16_t type) {
    size_t at = buf_.size();
    rtattr a{};
    a.rta_type = type;
    buf_.append(reinterpret_cast<const char*>(&a), sizeof a);
    return at;
  }
  void end(size_t at) {
    auto len = static_cast<unsigned short>(buf_.size() - at);
    memcpy(&buf_[at] + offsetof(rtattr, rta_len), &len, sizeof len);
  }
  std::string done(uint32_t seq) {
    auto* h = reinterpret_cast<nlmsghdr*>(buf_.data());
    h->nlmsg_len = static_cast<uint32_t>(buf_.size());
    h->nlmsg_seq = seq;
    return buf_;
  }

 private:
  std::string buf_;
};

}  // namespace

Rtnl::~Rtnl() {
  if (fd_ >= 0) ::close(fd_);
}

int Rtnl::open() {
  fd_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd_ < 0) return -errno;
  timeval tv{10, 0};  // the kernel answers at once; this is only a bound
  setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return 0;
}

int Rtnl::request(const std::string& msg) {
  if (fd_ < 0) return -EBADF;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (::sendto(fd_, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0)
    return -errno;
  uint32_t seq = reinterpret_cast<const nlmsghdr*>(msg.data())->nlmsg_seq;
  std::vector<char> buf(16384);
  for (;;) {
    ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -errno;
    }
    size_t left = static_cast<size_t>(n);
    for (auto* h = reinterpret_cast<nlmsghdr*>(buf.data()); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
      if (h->nlmsg_seq != seq || h->nlmsg_type != NLMSG_ERROR) continue;
      if (h->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) return -EPROTO;
      return static_cast<const nlmsgerr*>(NLMSG_DATA(h))->error;  // 0 is the ack
    }
  }
}

int Rtnl::add_veth(const std::string& name, const std::string& peer, int peer_netns_fd) {
  Msg m(RTM_NEWLINK, NLM_F_CREATE | NLM_F_EXCL);
  ifinfomsg ifi{};
  ifi.ifi_family = AF_UNSPEC;
  m.put(&ifi, sizeof ifi);
  m.attr_str(IFLA_IFNAME, name);
  size_t info = m.begin(IFLA_LINKINFO);
  m.attr_str(IFLA_INFO_KIND, "veth");
  size_t data = m.begin(IFLA_INFO_DATA);
  size_t p = m.begin(VETH_INFO_PEER);
  m.put(&ifi, sizeof ifi);
  m.attr_str(IFLA_IFNAME, peer);
  if (peer_netns_fd >= 0) {
    uint32_t fd = static_cast<uint32_t>(peer_netns_fd);
    m.attr(IFLA_NET_NS_FD, &fd, sizeof fd);
  }
  m.end(p);
  m.end(data);
  m.end(info);
  return request(m.done(++seq_));
}

int Rtnl::add_ipv4(const std::string& ifname, in_addr addr, int prefix) {
  unsigned index = if_nametoindex(ifname.c_str());
  if (index == 0) return -ENODEV;
  Msg m(RTM_NEWADDR, NLM_F_CREATE | NLM_F_EXCL);
  ifaddrmsg ifa{};
  ifa.ifa_family = AF_INET;
  ifa.ifa_prefixlen = static_cast<unsigned char>(prefix);
  ifa.ifa_scope = RT_SCOPE_UNIVERSE;
  ifa.ifa_index = index;
  m.put(&ifa, sizeof ifa);
  m.attr(IFA_LOCAL, &addr, sizeof addr);
  m.attr(IFA_ADDRESS, &addr, sizeof addr);
  return request(m.done(++seq_));
}

int Rtnl::set_up(const std::string& ifname) {
  unsigned index = if_nametoindex(ifname.c_str());
  if (index == 0) return -ENODEV;
  Msg m(RTM_NEWLINK, 0);
  ifinfomsg ifi{};
  ifi.ifi_family = AF_UNSPEC;
  ifi.ifi_index = static_cast<int>(index);
  ifi.ifi_flags = IFF_UP;
  ifi.ifi_change = IFF_UP;
  m.put(&ifi, sizeof ifi);
  return request(m.done(++seq_));
}

}  // namespace sim
