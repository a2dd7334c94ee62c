// The protocol's tables and the packing of texts into bodies.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "hm_unix.h"
#include "log_capture.h"
#include "mirapi/util.h"

namespace {

TEST(LibProtocolTables, CommandNamesAndResultTexts) {
  struct Case {
    unsigned code;
    const char* name;
  } cmds[] = {{0, "CMD_NONE"},         {1, "SET_DISK_PROTECT"},
              {6, "GET_STATUS"},       {13, "UN_CMD_DISK_ADD"},
              {14, ""},                {15, "UN_CMD_API_GET_STATUS"},
              {19, "UN_CMD_ZELMIRD_DEBUG_SET"}};
  for (const auto& c : cmds) EXPECT_STREQ(un_cmd_string[c.code], c.name) << c.code;

  struct Ret {
    unsigned code;
    const char* text;
  } rets[] = {{0, "Success"},
              {1, "Primary volume is already in protection"},
              {8, "Volume not in protection"},
              {18, "Can not find hmdev by index, check you command!"},
              {20, "Hmdev not found"},
              {28, "HA: init finished, exit first if need to be reconfiguration"},
              {31, "mark CDP failed"},
              {32, "'/boot' doesn't reside on scsi disk, cannot protect disk"}};
  for (const auto& r : rets) {
    EXPECT_STREQ(un_retcode_string[r.code], r.text) << r.code;
    EXPECT_STREQ(hm_un_retcode_text(r.code), r.text);
  }
  // Codes outside the tables still give a printable text.
  EXPECT_STREQ(hm_un_retcode_text(33), "Unknown result code");
  EXPECT_STREQ(hm_un_retcode_text(65535), "Unknown result code");
  EXPECT_STREQ(hm_un_cmd_name(20), "Unknown command");
  for (unsigned i = 0; i < HM_UN_RET_COUNT; i++)
    EXPECT_GT(strlen(un_retcode_string[i]), 0u) << "result " << i << " has no text";
}

TEST(LibPacking, ValueInsertPlacesTextsOneAfterAnother) {
  char body[128];
  memset(body, 0, sizeof(body));
  hm_un_desc_t d[3] = {};
  const char* texts[3] = {"/dev/sdb1", "/dev/sdc1", "6a1f0c3e-1111-2222-3333-444455556666"};
  uint32_t cursor = 36;
  const uint16_t want_off[3] = {36, 45, 54};
  for (int i = 0; i < 3; i++) {
    ASSERT_EQ(value_insert(&d[i].path_off, &d[i].path_len, &cursor, body, texts[i],
                           strlen(texts[i])),
              0);
    EXPECT_EQ(d[i].path_off, want_off[i]);
    EXPECT_EQ(d[i].path_len, strlen(texts[i]));
  }
  EXPECT_EQ(cursor, 90u);
  EXPECT_EQ(std::string(body + 36, 54),
            std::string("/dev/sdb1/dev/sdc16a1f0c3e-1111-2222-3333-444455556666"));
  EXPECT_EQ(body[90], '\0');   // no terminator is written

  // An empty text takes no room.
  ASSERT_EQ(value_insert(&d[0].path_off, &d[0].path_len, &cursor, body, "", 0), 0);
  EXPECT_EQ(d[0].path_off, 90);
  EXPECT_EQ(d[0].path_len, 0);
  EXPECT_EQ(cursor, 90u);
}

TEST(LibPacking, ValueInsertRefusesWhatSixteenBitsCannotName) {
  struct Case {
    uint32_t cursor;
    size_t len;
    int want;
  } cases[] = {
      {0, 0xffff, 0},
      {1, 0xffff, -1},
      {0x10000, 0, -1},
      {0xfff0, 0x20, -1},
  };
  static char big[0x10000];
  static char src[0x10000];
  for (const auto& c : cases) {
    uint16_t off = 7, len = 7;
    uint32_t cursor = c.cursor;
    // Only the first case copies; the base is offset so it stays in bounds.
    EXPECT_EQ(value_insert(&off, &len, &cursor, big, src, c.len), c.want);
    if (c.want != 0) {
      EXPECT_EQ(off, 7);
      EXPECT_EQ(len, 7);
      EXPECT_EQ(cursor, c.cursor);
    }
  }
}

TEST(LibPacking, ValueGetChecksBodyAndDestination) {
  const char body[] = "0123456789abcdef";   // 16 bytes of body
  struct Case {
    uint16_t off, len;
    size_t body_len, dst_size;
    const char* want;   // null: refused, destination untouched
  } cases[] = {
      {0, 4, 16, 8, "0123"},
      {12, 4, 16, 8, "cdef"},
      {12, 5, 16, 8, nullptr},      // runs past the body
      {40000, 2, 16, 8, nullptr},   // offset far outside
      {0, 8, 16, 8, nullptr},       // no room for the terminator
      {0, 7, 16, 8, "0123456"},
      {3, 0, 16, 8, nullptr},       // length 0: nothing
  };
  for (const auto& c : cases) {
    char dst[8];
    memset(dst, 'Z', sizeof(dst));
    char* r = value_get(body, c.body_len, c.off, c.len, dst, c.dst_size);
    if (c.want) {
      ASSERT_EQ(r, dst);
      EXPECT_STREQ(dst, c.want);
    } else {
      EXPECT_EQ(r, nullptr);
      EXPECT_EQ(std::string(dst, 8), std::string(8, 'Z'));
    }
  }
}

TEST(LibPacking, RecordLayoutOnTheWire) {
  // A SET_DISK_PROTECT body laid out by hand: the records must put every
  // field where the daemon reads it.
  char body[64];
  memset(body, 0, sizeof(body));
  hm_un_protect_req_t pr = {};
  pr.mode = HM_UN_MODE_BACKUP;
  pr.primary.kind = HM_UN_DESC_SIGNATURE;
  pr.primary.id.signature = 0x1234abcd;
  pr.mirror.kind = HM_UN_DESC_GUID;
  pr.mirror.id.g.guid_off = 0x0102;
  pr.mirror.id.g.guid_len = 0x0304;
  pr.mirror.param = 0x05060708;
  memcpy(body, &pr, sizeof(pr));
  const unsigned char want[] = {1,    0,    0,    0,                          // mode
                                1,    0,    0,    0, 0, 0, 0, 0,              // primary
                                0xcd, 0xab, 0x34, 0x12, 0, 0, 0, 0,           //
                                2,    0,    0,    0, 0, 0, 0, 0,              // mirror
                                0x02, 0x01, 0x04, 0x03, 0x08, 0x07, 0x06, 0x05};
  EXPECT_EQ(memcmp(body, want, sizeof(want)), 0);
}

}  // namespace
