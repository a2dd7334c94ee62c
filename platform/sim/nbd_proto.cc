#include "nbd_proto.h"

#include <cerrno>
#include <cstring>
#include <endian.h>

namespace nbd {

Decoded decode_request(const Request& wire, uint64_t size) {
  Decoded d{};
  d.type = be16toh(wire.type);
  d.handle = wire.handle;
  d.offset = be64toh(wire.offset);
  d.length = be32toh(wire.length);
  if (be32toh(wire.magic) != kRequestMagic) {
    d.action = Action::kClose;
    return d;
  }
  // offset + length, without letting a hostile offset wrap around.
  bool past_end = d.offset > size || d.length > size - d.offset;
  switch (d.type) {
    case kCmdRead:
      if (d.length > kMaxPayload || past_end) {
        d.action = Action::kError;
        d.error = kEinval;
      } else {
        d.action = Action::kServe;
      }
      return d;
    case kCmdWrite:
      // A payload this large cannot be skipped safely; the stream is lost.
      if (d.length > kMaxPayload) {
        d.action = Action::kClose;
      } else if (past_end) {
        d.action = Action::kSkipError;
        d.error = kEnospc;
      } else {
        d.action = Action::kServe;
      }
      return d;
    case kCmdFlush:
      d.action = Action::kServe;
      return d;
    case kCmdDisc:
      d.action = Action::kDisconnect;
      return d;
    default:
      d.action = Action::kError;
      d.error = kEinval;
      return d;
  }
}

bool parse_go(std::string_view data, GoRequest* out) {
  if (data.size() < 4) return false;
  uint32_t nlen;
  memcpy(&nlen, data.data(), 4);
  nlen = be32toh(nlen);
  if (nlen > kMaxName || data.size() - 4 < static_cast<size_t>(nlen) + 2) return false;
  out->name.assign(data.data() + 4, nlen);
  uint16_t n;
  memcpy(&n, data.data() + 4 + nlen, 2);
  n = be16toh(n);
  size_t rest = data.size() - 4 - nlen - 2;
  if (rest != static_cast<size_t>(n) * 2) return false;
  out->infos.clear();
  for (uint16_t i = 0; i < n; i++) {
    uint16_t t;
    memcpy(&t, data.data() + 4 + nlen + 2 + 2 * i, 2);
    out->infos.push_back(be16toh(t));
  }
  return true;
}

uint32_t wire_error(int neg_errno) {
  switch (-neg_errno) {
    case 0: return 0;
    case EPERM: return kEperm;
    case ENOMEM: return kEnomem;
    case EINVAL: return kEinval;
    case ENOSPC: return kEnospc;
    default: return kEio;
  }
}

}  // namespace nbd
