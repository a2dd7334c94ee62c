// A small client of the module's netlink protocol 21 for tests: builds the
// fixed 2064-byte requests, sends them over a transport and reads the reply.
#ifndef ZELMIR_TESTS_SUPPORT_NL_CLIENT_H
#define ZELMIR_TESTS_SUPPORT_NL_CLIENT_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "hm_nl.h"

namespace nlc {

using Bytes = std::vector<uint8_t>;

// One disk as a request names it.
struct Volume {
  std::string uuid;        // GUID text, the key for the first record
  std::string path;        // device path
  uint32_t signature = 0;  // first 4 bytes of vid (the MBR signature)
  uint64_t sectors = 0;
};

// A whole netlink message: header, hm_nl_header_t, body, padded to 2064 bytes.
Bytes Message(uint8_t cmd, const Bytes& body, uint32_t magic = HM_NL_MAGIC,
              uint32_t port = 0, uint32_t nl_len = HM_NL_MSG_SIZE);

// Bodies of the command families.
Bytes Record(const Volume& v, uint16_t path_off);
Bytes Type2Body(const Volume& v);                          // record at 0, path at 160
Bytes AddBody(const Volume& primary, const Volume* mirror, uint8_t mode = 1);
Bytes Type7Body(const Volume& first, const Volume* second);
Bytes SpeedBody(const Volume& v, uint32_t kbps);
Bytes FaultyBody(const Volume& v, char which);

struct Reply {
  bool got = false;
  uint32_t nl_len = 0;
  hm_nl_header_t hdr{};
  hm_nl_status_t status{};    // valid when hdr.msg_len == sizeof(status)
  Bytes raw;
};

class Transport {
 public:
  virtual ~Transport() = default;
  virtual bool Send(const Bytes& msg) = 0;
  // Bytes received, 0 on time-out, -1 on error.
  virtual long Recv(uint8_t* buf, size_t len, int timeout_ms) = 0;
};

// The simulated kernel's netlink endpoint in this process: a unix datagram
// socket bound at RUNDIR/nl/PORT sending to RUNDIR/nl/0.
std::unique_ptr<Transport> UnixTransport(const std::string& rundir, uint32_t port);

Reply Exchange(Transport& t, const Bytes& msg, int timeout_ms = 5000);
Reply ParseReply(const uint8_t* buf, size_t len);

// One line of key=value pairs describing a reply (what the hmnl tool prints).
std::string Describe(const Reply& r);

}  // namespace nlc

#endif  // ZELMIR_TESTS_SUPPORT_NL_CLIENT_H
