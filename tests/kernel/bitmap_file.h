// The bitmap file as the daemon creates it, laid out by the tests: a 256-byte
// superblock in page 0, then one bit per chunk from page bp_off on.
#ifndef ZELMIR_TESTS_KERNEL_BITMAP_FILE_H
#define ZELMIR_TESTS_KERNEL_BITMAP_FILE_H

#include <cstdint>
#include <cstring>
#include <string>

namespace kt {

constexpr uint32_t kBitmapMagic = 0x6D746962;
constexpr uint32_t kChunk = 524288;

struct BitmapLayout {
  uint64_t sectors = 0;
  uint32_t chunksize = kChunk;
  uint32_t version = 3;
  uint32_t state = 0;
  uint32_t bp_off = 1;
  uint32_t magic = kBitmapMagic;
};

inline uint64_t BitmapChunks(const BitmapLayout& l) {
  uint64_t k = l.chunksize / 512;
  return (l.sectors + k - 1) / k;
}

// Every block written: the module never extends the file.
inline std::string BitmapFile(const BitmapLayout& l) {
  uint64_t bytes = (BitmapChunks(l) + 7) / 8;
  uint64_t pages = (bytes + 4095) / 4096;
  std::string f((l.bp_off + pages) * 4096, '\0');
  auto put32 = [&](size_t off, uint32_t v) { memcpy(&f[off], &v, 4); };
  put32(0, l.magic);
  put32(4, l.version);
  put32(24, l.bp_off);
  uint64_t sync = l.sectors;
  memcpy(&f[32], &sync, 8);
  put32(40, l.state);
  put32(44, l.chunksize);
  put32(48, 5);
  return f;
}

inline bool BitmapBit(const std::string& file, uint64_t chunk, uint32_t bp_off = 1) {
  uint64_t byte = bp_off * 4096ULL + chunk / 8;
  if (byte >= file.size()) return false;
  return (static_cast<uint8_t>(file[byte]) >> (chunk % 8)) & 1;
}

inline uint32_t BitmapState(const std::string& file) {
  uint32_t v = 0;
  if (file.size() >= 44) memcpy(&v, &file[40], 4);
  return v;
}

inline std::string BitmapPath(const std::string& dir, const std::string& uuid) {
  return dir + "/hm_" + uuid + ".bitmap";
}

// A registry line as zelmird writes it.
inline std::string RegistryLine(const std::string& p, const std::string& pguid,
                                const std::string& m, const std::string& mguid) {
  std::string line = p + "? volume_id_{" + pguid + "} ";
  if (!m.empty()) line += m + "? volume_id_{" + mguid + "} ";
  return line + "line_end\n";
}

}  // namespace kt

#endif
