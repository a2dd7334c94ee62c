// simkernel's control protocol (unix stream socket ctl.sock): one request and
// one reply per exchange, each a fixed header followed by a payload whose
// length the header gives. Payload fields are little-endian integers and
// length-prefixed strings, read through a Reader that refuses to run past the
// end, so a short or lying frame is an error, never an over-read.
#ifndef ZELMIR_HOST_CTL_PROTO_H
#define ZELMIR_HOST_CTL_PROTO_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ctlproto {

inline constexpr char kSocketPath[] = "/var/run/simkernel/ctl.sock";

inline constexpr uint32_t kRequestMagic = 0x534b4351;  // "SKCQ"
inline constexpr uint32_t kReplyMagic = 0x534b4352;    // "SKCR"
inline constexpr uint32_t kMaxRequest = 2u << 20;      // an SG_IO buffer and change
inline constexpr uint32_t kMaxReply = 16u << 20;       // dmesg and the syslog may be long
inline constexpr uint32_t kMaxSgData = 1u << 20;
inline constexpr uint32_t kMaxString = 4096;
// One block read or write: the host layer splits larger transfers.
inline constexpr uint32_t kMaxBlockIo = 1u << 20;

enum Op : uint16_t {
  kResolve = 1,     // path -> ResolveReply
  kSgIo = 2,        // SgIoRequest -> SgIoReply
  kDisks = 3,       // -> text
  kDiskAdd = 4,     // name, size u64, guid
  kDiskRemove = 5,  // name
  kDiskRename = 6,  // old, new
  kDiskFail = 7,    // name, mode u8
  kDiskHeal = 8,    // name
  kDiskOffline = 9, // name
  kDiskKnob = 10,   // name, knob
  kInsmod = 11,     // path (empty: the config's module)
  kRmmod = 12,
  kReboot = 13,
  kDmesg = 14,      // -> text
  kLog = 15,        // -> text
  kRead = 16,       // BlockIoRequest -> the bytes read
  kWrite = 17,      // BlockIoRequest with its data
  kFlush = 18,      // name
  kClockAdvance = 19,  // u64 nanoseconds: both host clocks move forward
  kClockSetWall = 20,  // u64 nanoseconds since the epoch: the host's wall clock
  // target IQN, interface name ("": "default"), optionally the portal
  // ("ADDR:PORT"; none: a session without a connection's address)
  kIscsiSessionAdd = 21,
  // target IQN, interface name ("": every session of the IQN), optionally
  // the portal ("": at any portal)
  kIscsiSessionRemove = 22,
  kFcAdd = 23,               // FC host name, port WWN
  kFcRemove = 24,            // FC host name
  kUevent = 25,              // action, device name, devtype, u8 flags (kUeventNoNode)
  kDiskHold = 26,            // name (a disk or a partition), u8 1 hold, 0 let go
  kOpMax = 26,
};

struct __attribute__((packed)) RequestHeader {
  uint32_t magic;
  uint16_t op;
  uint16_t flags;  // 0
  uint32_t len;    // payload bytes that follow
};
static_assert(sizeof(RequestHeader) == 12);
static_assert(offsetof(RequestHeader, op) == 4);
static_assert(offsetof(RequestHeader, flags) == 6);
static_assert(offsetof(RequestHeader, len) == 8);

struct __attribute__((packed)) ReplyHeader {
  uint32_t magic;
  int32_t result;  // 0 or -errno
  uint32_t len;    // payload bytes that follow; on failure an error text
};
static_assert(sizeof(ReplyHeader) == 12);
static_assert(offsetof(ReplyHeader, result) == 4);
static_assert(offsetof(ReplyHeader, len) == 8);

// 0, or -EBADMSG (magic, flags, op) / -EMSGSIZE (length) for a header that
// must not be served.
int check_request(const RequestHeader& h);
int check_reply(const ReplyHeader& h);

class Writer {
 public:
  void u8(uint8_t v) { put(&v, 1); }
  void u16(uint16_t v);
  void u32(uint32_t v);
  void u64(uint64_t v);
  void str(std::string_view s);  // u32 length, bytes
  void bytes(const void* p, size_t n) { put(p, n); }
  const std::string& data() const { return buf_; }
  std::string take() { return std::move(buf_); }

 private:
  void put(const void* p, size_t n) { buf_.append(static_cast<const char*>(p), n); }
  std::string buf_;
};

class Reader {
 public:
  Reader(const void* p, size_t n) : p_(static_cast<const uint8_t*>(p)), n_(n) {}
  explicit Reader(std::string_view s) : Reader(s.data(), s.size()) {}
  bool u8(uint8_t* v);
  bool u16(uint16_t* v);
  bool u32(uint32_t* v);
  bool u64(uint64_t* v);
  bool str(std::string* s, uint32_t max = kMaxString);
  bool bytes(std::string* s, size_t n);
  bool done() const { return ok_ && pos_ == n_; }  // everything consumed, nothing wrong
  bool ok() const { return ok_; }

 private:
  bool take(void* out, size_t n);
  const uint8_t* p_;
  size_t n_;
  size_t pos_ = 0;
  bool ok_ = true;
};

inline constexpr uint8_t kUeventNoNode = 1;  // the event names no device node

// A disk or partition name as the kernel would give one: it becomes a file
// name under /dev and /var/lib/simhost/disks, so nothing that could climb out.
bool valid_disk_name(std::string_view name);

struct ResolveReply {
  std::string name;
  uint32_t major = 0, minor = 0;
  uint64_t size = 0;          // bytes
  uint32_t sector_size = 512;
  uint8_t partition = 0;
};
void encode(Writer& w, const ResolveReply& r);
bool decode(Reader& r, ResolveReply* out);

// SG_IO directions as <scsi/sg.h> numbers them.
inline constexpr int kDxferNone = -1, kDxferToDev = -2, kDxferFromDev = -3;

struct SgIoRequest {
  std::string name;
  uint8_t cdb[16] = {};
  uint8_t cdb_len = 0;
  int8_t dir = kDxferNone;
  uint32_t dxfer_len = 0;
  uint8_t mx_sb_len = 0;
  uint32_t timeout_ms = 0;
  std::string data_out;  // dxfer_len bytes when dir is kDxferToDev
};
void encode(Writer& w, const SgIoRequest& r);
bool decode(Reader& r, SgIoRequest* out);

struct SgIoReply {
  uint8_t status = 0, sb_len_wr = 0, host_status = 0, driver_status = 0;
  int32_t resid = 0;
  std::string sense;
  std::string data_in;  // what the device returned (dir kDxferFromDev)
};
void encode(Writer& w, const SgIoReply& r);
bool decode(Reader& r, SgIoReply* out);

// A block read (kRead: data empty) or write (kWrite: data of len bytes) of
// a disk or partition, as the host layer's descriptors do without NBD.
struct BlockIoRequest {
  std::string name;
  uint64_t offset = 0;
  uint32_t len = 0;  // at most kMaxBlockIo
  std::string data;
};
void encode(Writer& w, const BlockIoRequest& r);
bool decode(Reader& r, bool write, BlockIoRequest* out);

// Client side: one exchange over a fresh connection. Returns 0 with the
// server's result in *result and its payload in *reply, or -errno when the
// exchange itself failed (no server, bad frame).
int call(const char* socket_path, uint16_t op, const std::string& payload,
         int* result, std::string* reply);

// Whole-buffer socket I/O that retries on EINTR: 0, or -errno (-EPIPE when
// the peer closed early).
int read_full(int fd, void* buf, size_t n);
int write_full(int fd, const void* buf, size_t n);

// The host's clocks. simkernel keeps the offsets that the host layer adds to
// this machine's clocks in the first bytes of this file, which every process
// of the host maps. The writer makes seq odd, stores the offsets, makes seq
// even again (a sequence lock), then raises gen and wakes every futex waiter
// on it, so a wait in progress learns of the move at once.
inline constexpr char kClockPath[] = "/var/run/simkernel/clock";
inline constexpr uint32_t kClockMagic = 0x534b434b;  // "SKCK"
inline constexpr size_t kClockFileSize = 4096;

struct ClockPage {
  uint32_t magic;
  uint32_t seq;          // odd while the offsets change
  uint32_t gen;          // raised after every change; a futex word
  uint32_t reserved;
  int64_t mono_off_ns;   // added to CLOCK_MONOTONIC
  int64_t wall_off_ns;   // added to CLOCK_REALTIME
};
static_assert(sizeof(ClockPage) == 32);
static_assert(offsetof(ClockPage, seq) == 4);
static_assert(offsetof(ClockPage, gen) == 8);
static_assert(offsetof(ClockPage, mono_off_ns) == 16);
static_assert(offsetof(ClockPage, wall_off_ns) == 24);

}  // namespace ctlproto

#endif  // ZELMIR_HOST_CTL_PROTO_H
