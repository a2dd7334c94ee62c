// The NBD wire: newstyle negotiation with the fixed handshake, then simple
// replies only. All fields are big-endian on the wire.
#ifndef ZELMIR_SIM_NBD_PROTO_H
#define ZELMIR_SIM_NBD_PROTO_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace nbd {

inline constexpr uint64_t kInitMagic = 0x4e42444d41474943ull;  // "NBDMAGIC"
inline constexpr uint64_t kOptMagic = 0x49484156454f5054ull;   // "IHAVEOPT"
inline constexpr uint64_t kOptReplyMagic = 0x0003e889045565a9ull;
inline constexpr uint32_t kRequestMagic = 0x25609513;
inline constexpr uint32_t kSimpleReplyMagic = 0x67446698;

// Handshake flags (server) and client flags.
inline constexpr uint16_t kFlagFixedNewstyle = 1 << 0;
inline constexpr uint16_t kFlagNoZeroes = 1 << 1;
inline constexpr uint32_t kClientFixedNewstyle = 1 << 0;
inline constexpr uint32_t kClientNoZeroes = 1 << 1;

// Transmission flags.
inline constexpr uint16_t kTxHasFlags = 1 << 0;
inline constexpr uint16_t kTxSendFlush = 1 << 2;
inline constexpr uint16_t kTxCanMultiConn = 1 << 8;

enum Option : uint32_t {
  kOptExportName = 1,
  kOptAbort = 2,
  kOptList = 3,
  kOptInfo = 6,
  kOptGo = 7,
};

enum ReplyType : uint32_t {
  kRepAck = 1,
  kRepServer = 2,
  kRepInfo = 3,
  kRepErrUnsup = 0x80000001u,
  kRepErrInvalid = 0x80000003u,
  kRepErrUnknown = 0x80000006u,
  kRepErrTooBig = 0x80000009u,
};

enum InfoType : uint16_t { kInfoExport = 0, kInfoBlockSize = 3 };

enum Command : uint16_t { kCmdRead = 0, kCmdWrite = 1, kCmdDisc = 2, kCmdFlush = 3 };

// Errors as the protocol numbers them.
enum Error : uint32_t { kEperm = 1, kEio = 5, kEnomem = 12, kEinval = 22, kEnospc = 28 };

inline constexpr uint32_t kMaxPayload = 32u << 20;
inline constexpr uint32_t kMaxOptionData = 64u << 10;
inline constexpr uint32_t kMaxName = 4096;

struct __attribute__((packed)) Request {
  uint32_t magic;
  uint16_t flags;
  uint16_t type;
  uint64_t handle;
  uint64_t offset;
  uint32_t length;
};
static_assert(sizeof(Request) == 28);
static_assert(offsetof(Request, flags) == 4);
static_assert(offsetof(Request, type) == 6);
static_assert(offsetof(Request, handle) == 8);
static_assert(offsetof(Request, offset) == 16);
static_assert(offsetof(Request, length) == 24);

struct __attribute__((packed)) SimpleReply {
  uint32_t magic;
  uint32_t error;
  uint64_t handle;  // echoed as received, no byte swapping
};
static_assert(sizeof(SimpleReply) == 16);
static_assert(offsetof(SimpleReply, error) == 4);
static_assert(offsetof(SimpleReply, handle) == 8);

struct __attribute__((packed)) OptionHeader {
  uint64_t magic;
  uint32_t option;
  uint32_t length;
};
static_assert(sizeof(OptionHeader) == 16);
static_assert(offsetof(OptionHeader, option) == 8);
static_assert(offsetof(OptionHeader, length) == 12);

struct __attribute__((packed)) OptionReply {
  uint64_t magic;
  uint32_t option;
  uint32_t type;
  uint32_t length;
};
static_assert(sizeof(OptionReply) == 20);
static_assert(offsetof(OptionReply, option) == 8);
static_assert(offsetof(OptionReply, type) == 12);
static_assert(offsetof(OptionReply, length) == 16);

struct __attribute__((packed)) InfoExport {
  uint16_t type;  // kInfoExport
  uint64_t size;
  uint16_t flags;
};
static_assert(sizeof(InfoExport) == 12);
static_assert(offsetof(InfoExport, size) == 2);
static_assert(offsetof(InfoExport, flags) == 10);

struct __attribute__((packed)) InfoBlockSize {
  uint16_t type;  // kInfoBlockSize
  uint32_t minimum, preferred, maximum;
};
static_assert(sizeof(InfoBlockSize) == 14);
static_assert(offsetof(InfoBlockSize, minimum) == 2);
static_assert(offsetof(InfoBlockSize, maximum) == 10);

// What the server does with one decoded transmission request.
enum class Action {
  kServe,       // hand it to a worker
  kError,       // reply with `error`, nothing to read
  kSkipError,   // read and drop `length` payload bytes, then reply with `error`
  kDisconnect,  // NBD_CMD_DISC: finish what is in flight, then close
  kClose,       // the stream cannot be trusted any more: close now
};

struct Decoded {
  Action action;
  uint16_t type;
  uint64_t handle;  // raw, as on the wire
  uint64_t offset;
  uint32_t length;
  uint32_t error;
};

// Decodes a request as it came off the wire against an export of `size` bytes.
Decoded decode_request(const Request& wire, uint64_t size);

// The data of NBD_OPT_INFO / NBD_OPT_GO: u32 name length, name, u16 count,
// count u16 information requests. False when the lengths do not add up.
struct GoRequest {
  std::string name;
  std::vector<uint16_t> infos;
};
bool parse_go(std::string_view data, GoRequest* out);

// The error the wire carries for a -errno from the kernel.
uint32_t wire_error(int neg_errno);

}  // namespace nbd

#endif  // ZELMIR_SIM_NBD_PROTO_H
