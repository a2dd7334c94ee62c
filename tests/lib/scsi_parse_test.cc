// What the SCSI routines make of the bytes a device returns.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "log_capture.h"
#include "scsi_parse.h"

namespace {

using namespace mirapi;

const char kGuid[] = "3f2a9c10-77ab-4c1e-9d2b-5e6f7a8b9c0d";

// A VPD page 0x83 built from designators.
struct Vpd {
  std::vector<uint8_t> list;
  int page_len_override = -1;

  Vpd& designator(int type, const std::string& payload, int len_override = -1) {
    list.push_back(0x02);   // code set ASCII
    list.push_back(static_cast<uint8_t>(type));
    list.push_back(0);
    list.push_back(static_cast<uint8_t>(len_override >= 0 ? len_override : payload.size()));
    list.insert(list.end(), payload.begin(), payload.end());
    return *this;
  }
  // A T10 vendor designator: vendor (8), one byte, then the text.
  Vpd& t10(const std::string& text, int len_override = -1) {
    return designator(1, std::string("UVO     ") + " " + text, len_override);
  }
  Vpd& raw(const std::string& bytes) {
    list.insert(list.end(), bytes.begin(), bytes.end());
    return *this;
  }
  std::vector<uint8_t> page() const {
    std::vector<uint8_t> p(kVpd83BufLen, 0);
    p[1] = 0x83;
    int len = page_len_override >= 0 ? page_len_override : static_cast<int>(list.size());
    p[2] = static_cast<uint8_t>(len >> 8);
    p[3] = static_cast<uint8_t>(len);
    if (!list.empty()) memcpy(p.data() + 4, list.data(), std::min<size_t>(list.size(), kVpd83BufLen - 4));
    return p;
  }
};

TEST(LibScsiVpd, GuidFromTheFirstT10Designator) {
  struct Case {
    const char* what;
    Vpd vpd;
    int want;
  };
  Vpd after_naa;
  after_naa.designator(3, std::string(16, '\x11')).t10(kGuid);
  Vpd too_long;
  too_long.t10(kGuid).page_len_override = 253;
  Vpd ends_at_48;
  ends_at_48.t10(kGuid).page_len_override = 48;
  Vpd bad_char;
  bad_char.t10("3f2a9c10_77ab-4c1e-9d2b-5e6f7a8b9c0d");
  Vpd nul_inside;
  nul_inside.t10(std::string("3f2a9c10-77ab-4c1e-9d2b-5e6f7a8b9c0") + '\0');
  // A designator too short for the text, followed by bytes of the page that
  // would make up the rest of a valid-looking "GUID".
  Vpd short_desig;
  short_desig.t10(std::string(kGuid).substr(0, 20)).raw(std::string(kGuid).substr(20) + "xxxx");
  Vpd no_t10;
  no_t10.designator(3, std::string(16, '\x11'));
  Vpd overrun;
  overrun.designator(3, std::string(8, '\x11'), 200);

  Case cases[] = {
      {"plain", Vpd().t10(kGuid), 0},
      {"after another designator", after_naa, 0},
      {"longer designator", Vpd().t10(std::string(kGuid) + "-extra"), 0},
      {"page length 253", too_long, -1},
      {"ends 48 bytes in", ends_at_48, -1},
      {"underscore", bad_char, -1},
      {"terminator inside", nul_inside, -1},
      {"short designator", short_desig, -1},
      {"no type-1 designator", no_t10, -1},
      {"designator runs past the list", overrun, -2},
      {"empty list", Vpd(), -1},
  };
  for (auto& c : cases) {
    auto page = c.vpd.page();
    char dst[64];
    memset(dst, 'Z', sizeof(dst));
    int rc = scsi_parse_vpd83(page.data(), dst, sizeof(dst));
    EXPECT_EQ(rc, c.want) << c.what;
    if (c.want == 0) {
      EXPECT_STREQ(dst, kGuid) << c.what;
      EXPECT_EQ(dst[63], '\0');   // zeroed over its whole size
    }
  }
}

TEST(LibScsiVpd, DestinationMustHoldTheTerminator) {
  auto page = Vpd().t10(kGuid).page();
  char dst[40];
  EXPECT_EQ(scsi_parse_vpd83(page.data(), dst, 36), -1);
  EXPECT_EQ(scsi_parse_vpd83(page.data(), dst, 37), 0);
  EXPECT_STREQ(dst, kGuid);
}

TEST(LibScsiVpd, DesignatorWalk) {
  // Three designators of lengths 4, 0 and 2: offsets 0, 8 and 12, list of 18.
  const uint8_t list[] = {0, 3, 0, 4, 1, 2, 3, 4, 0, 1, 0, 0, 0, 8, 0, 2, 9, 9};
  struct Case {
    int start, type, want_rc, want_off, len;
  } cases[] = {
      {-1, 1, 0, 8, 18},     // first of type 1
      {8, 1, -1, 8, 18},     // no later one: the list ended exactly
      {-1, -1, 0, 0, 18},    // any type: the first
      {0, -1, 0, 8, 18},     // the next after offset 0
      {8, -1, 0, 12, 18},
      {-1, 5, -1, -1, 18},
      {-1, 5, -2, -1, 16},   // the last designator passes a shorter list
      {-1, 1, -2, -1, 3},    // not even one whole header
  };
  for (const auto& c : cases) {
    int off = c.start;
    EXPECT_EQ(scsi_find_designator(list, c.len, &off, c.type), c.want_rc)
        << c.start << " " << c.type << " " << c.len;
    if (c.want_rc == 0) {
      EXPECT_EQ(off, c.want_off);
    }
  }
}

TEST(LibScsiGuid, Characters) {
  EXPECT_EQ(scsi_guid_valid(kGuid), 1);
  EXPECT_EQ(scsi_guid_valid("ABCDEFGH-IJKL-MNOP-QRST-UVWXYZ012345"), 1);
  EXPECT_EQ(scsi_guid_valid("3f2a9c10-77ab-4c1e-9d2b-5e6f7a8b9c0 "), 0);
  EXPECT_EQ(scsi_guid_valid("3f2a9c10-77ab-4c1e-9d2b-5e6f7a8b9c0."), 0);
  EXPECT_EQ(scsi_guid_valid(nullptr), 0);
}

TEST(LibScsiSense, DescriptorAndFixedFormats) {
  struct Case {
    std::vector<uint8_t> sense;
    int len;
    int key, asc, ascq;
  } cases[] = {
      {{0x72, 0x06, 0x29, 0x00}, 4, 6, 0x29, 0},
      {{0x73, 0x02, 0x04, 0x0b}, 4, 2, 0x04, 0x0b},
      {{0x72, 0x06, 0x29}, 3, 0, 0, 0},
      {{0x70, 0, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x04, 0x0b}, 14, 2, 0x04, 0x0b},
      {{0xf0, 0, 0x16, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x29, 0x01}, 14, 6, 0x29, 0x01},
      {{0x71, 0, 0x03, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x11, 0x00}, 14, 3, 0x11, 0},
      {{0x70, 0, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x04}, 13, 0, 0, 0},
      {{0x00, 0x06, 0x29, 0x00}, 4, 0, 0, 0},
  };
  for (const auto& c : cases) {
    scsi_sense s = scsi_sense_decode(c.sense.data(), c.len);
    EXPECT_EQ(s.key, c.key);
    EXPECT_EQ(s.asc, c.asc);
    EXPECT_EQ(s.ascq, c.ascq);
  }
  scsi_sense none = scsi_sense_decode(nullptr, 20);
  EXPECT_EQ(none.key, 0);
}

TEST(LibScsiCapacity, ReadCapacity16Bytes) {
  uint8_t data[32] = {0, 0, 0, 0, 0, 0x1f, 0xff, 0xff, 0, 0, 0x02, 0x00};
  EXPECT_EQ(scsi_read_cap16_bytes(data), 1073741824ull);
  uint8_t big[32] = {0, 0, 0, 0x01, 0x00, 0x00, 0x00, 0x00, 0, 0, 0x10, 0x00};
  EXPECT_EQ(scsi_read_cap16_bytes(big), (0x100000000ull + 1) * 4096);
  EXPECT_EQ(hex_str_to_byte("  fF"), 255u);
  EXPECT_EQ(hex_str_to_byte("1g"), 1u);
  EXPECT_EQ(hex_str_to_byte(nullptr), 0u);
}

// TEST UNIT READY answers played back one per attempt.
struct Script {
  std::vector<tur_attempt> answers;
  std::vector<std::vector<uint8_t>> senses;
  size_t used = 0;
};

int play(void* p, tur_attempt* a) {
  Script* s = static_cast<Script*>(p);
  size_t i = s->used < s->answers.size() ? s->used : s->answers.size() - 1;
  *a = s->answers[i];
  a->sense = s->senses[i].data();
  s->used++;
  return 0;
}

const std::vector<uint8_t> kUnitAttention = {0x72, 0x06, 0x29, 0x00};
const std::vector<uint8_t> kStandby = {0x70, 0, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x04, 0x0b};
const std::vector<uint8_t> kNotReady = {0x72, 0x02, 0x04, 0x02};
const std::vector<uint8_t> kNone = {};

tur_attempt good() { return {0, 0, 0, nullptr, 0}; }
tur_attempt check(int host, const std::vector<uint8_t>& s) {
  return {0, 1, static_cast<unsigned>(host), nullptr, static_cast<int>(s.size())};
}

TEST(LibScsiTur, PathStateFromTheAttempts) {
  struct Case {
    const char* what;
    std::vector<std::pair<tur_attempt, std::vector<uint8_t>>> answers;
    int want_state;
    size_t want_attempts;
  } cases[] = {
      {"ready", {{good(), kNone}}, 2, 1},
      {"unit attention five times",
       {{check(0, kUnitAttention), kUnitAttention}}, 1, 5},
      {"unit attention then ready",
       {{check(0, kUnitAttention), kUnitAttention}, {good(), kNone}}, 2, 2},
      {"standby at once", {{check(0, kStandby), kStandby}}, 3, 1},
      {"not ready otherwise", {{check(0, kNotReady), kNotReady}}, 1, 1},
      {"transient host status four times then ready",
       {{check(7, kNone), kNone},
        {check(7, kNone), kNone},
        {check(7, kNone), kNone},
        {check(7, kNone), kNone},
        {good(), kNone}},
       2, 5},
      {"transient to the end, standby sense on the last",
       {{check(7, kNone), kNone},
        {check(7, kNone), kNone},
        {check(7, kNone), kNone},
        {check(7, kNone), kNone},
        {check(7, kStandby), kStandby}},
       3, 5},
      {"final host status with no sense", {{check(1, kNone), kNone}}, 1, 1},
      {"ioctl fails", {{{-1, 0, 0, nullptr, 0}, kNone}}, 1, 1},
  };
  for (auto& c : cases) {
    Script s;
    for (auto& a : c.answers) {
      s.answers.push_back(a.first);
      s.senses.push_back(a.second);
    }
    EXPECT_EQ(tur_decide(play, &s), c.want_state) << c.what;
    EXPECT_EQ(s.used, c.want_attempts) << c.what;
  }
}

}  // namespace
