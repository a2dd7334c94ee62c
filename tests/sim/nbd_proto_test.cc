#include <endian.h>
#include <gtest/gtest.h>

#include "nbd_proto.h"

namespace {

nbd::Request wire(uint32_t magic, uint16_t type, uint64_t off, uint32_t len) {
  nbd::Request r{};
  r.magic = htobe32(magic);
  r.type = htobe16(type);
  r.handle = 0x1122334455667788ull;
  r.offset = htobe64(off);
  r.length = htobe32(len);
  return r;
}

struct Case {
  const char* what;
  uint32_t magic;
  uint16_t type;
  uint64_t off;
  uint32_t len;
  nbd::Action action;
  uint32_t error;
};

constexpr uint64_t kSize = 1 << 20;
constexpr uint32_t M = nbd::kRequestMagic;

TEST(SimNbdDecode, RequestTable) {
  using A = nbd::Action;
  const Case cases[] = {
      {"read inside", M, nbd::kCmdRead, 4096, 4096, A::kServe, 0},
      {"read to the very end", M, nbd::kCmdRead, kSize - 512, 512, A::kServe, 0},
      {"read one byte past the end", M, nbd::kCmdRead, kSize - 512, 513, A::kError, nbd::kEinval},
      {"read starting past the end", M, nbd::kCmdRead, kSize + 1, 0, A::kError, nbd::kEinval},
      {"read whose offset wraps", M, nbd::kCmdRead, ~0ull - 10, 4096, A::kError, nbd::kEinval},
      {"read over 32 MiB", M, nbd::kCmdRead, 0, (32u << 20) + 1, A::kError, nbd::kEinval},
      {"write inside", M, nbd::kCmdWrite, 0, 65536, A::kServe, 0},
      {"write past the end, payload dropped", M, nbd::kCmdWrite, kSize - 512, 1024, A::kSkipError,
       nbd::kEnospc},
      {"write whose offset wraps", M, nbd::kCmdWrite, ~0ull, 512, A::kSkipError, nbd::kEnospc},
      {"write over 32 MiB cannot be skipped", M, nbd::kCmdWrite, 0, 0xffffffffu, A::kClose, 0},
      {"flush", M, nbd::kCmdFlush, 0, 0, A::kServe, 0},
      {"disconnect", M, nbd::kCmdDisc, 0, 0, A::kDisconnect, 0},
      {"trim is not offered", M, 4, 0, 512, A::kError, nbd::kEinval},
      {"unknown command", M, 0x7777, 0, 0, A::kError, nbd::kEinval},
      {"bad magic", 0x25609514, nbd::kCmdRead, 0, 512, A::kClose, 0},
      {"reply magic sent as a request", nbd::kSimpleReplyMagic, nbd::kCmdWrite, 0, 512, A::kClose, 0},
  };
  for (const auto& c : cases) {
    nbd::Decoded d = nbd::decode_request(wire(c.magic, c.type, c.off, c.len), kSize);
    EXPECT_EQ(d.action, c.action) << c.what;
    if (c.action == A::kError || c.action == A::kSkipError) {
      EXPECT_EQ(d.error, c.error) << c.what;
    }
    if (c.action != A::kClose) {
      EXPECT_EQ(d.handle, 0x1122334455667788ull) << c.what;  // echoed raw
      EXPECT_EQ(d.length, c.len) << c.what;
    }
  }
}

std::string go_data(const std::string& name, std::vector<uint16_t> infos, int extra = 0) {
  std::string d(4, '\0');
  uint32_t n = htobe32(static_cast<uint32_t>(name.size()));
  memcpy(d.data(), &n, 4);
  d += name;
  uint16_t c = htobe16(static_cast<uint16_t>(infos.size() + extra));
  d.append(reinterpret_cast<char*>(&c), 2);
  for (uint16_t i : infos) {
    uint16_t b = htobe16(i);
    d.append(reinterpret_cast<char*>(&b), 2);
  }
  return d;
}

TEST(SimNbdDecode, GoOption) {
  nbd::GoRequest g;
  ASSERT_TRUE(nbd::parse_go(go_data("sdb", {3, 0}), &g));
  EXPECT_EQ(g.name, "sdb");
  EXPECT_EQ(g.infos, (std::vector<uint16_t>{3, 0}));
  ASSERT_TRUE(nbd::parse_go(go_data("", {}), &g));
  EXPECT_EQ(g.name, "");

  struct {
    const char* what;
    std::string data;
  } bad[] = {
      {"empty", ""},
      {"name length only", go_data("sdb", {}).substr(0, 4)},
      {"name runs past the data", go_data("sdb", {}).substr(0, 6)},
      {"count missing", go_data("sdb", {}).substr(0, 7)},
      {"count claims more requests than sent", go_data("sdb", {3}, 1)},
      {"trailing bytes", go_data("sdb", {3}) + "x"},
      {"huge name length", std::string("\xff\xff\xff\xff", 4) + "sdb\0\0"},
  };
  for (const auto& b : bad) EXPECT_FALSE(nbd::parse_go(b.data, &g)) << b.what;
}

TEST(SimNbdDecode, WireErrors) {
  EXPECT_EQ(nbd::wire_error(0), 0u);
  EXPECT_EQ(nbd::wire_error(-EIO), nbd::kEio);
  EXPECT_EQ(nbd::wire_error(-ENOSPC), nbd::kEnospc);
  EXPECT_EQ(nbd::wire_error(-ENXIO), nbd::kEio);  // a vanished disk is an I/O error to the client
}

}  // namespace
