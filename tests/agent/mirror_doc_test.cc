// The documents with which the mirror-relationship commands name the items
// they failed on, byte for byte, and their place in the reply.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "qor_mirror.h"

namespace {

const std::string kHead = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";

std::string build(qor_failure_kind kind, const std::vector<qor_failure_item>& items) {
  uint32_t len = 0;
  char* text = qor_failure_xml(kind, items.data(), items.size(), &len);
  if (text == nullptr) return "(null)";
  std::string out(text, len);
  EXPECT_EQ(out.size(), strlen(text));
  free(text);
  return out;
}

TEST(MirrorFailureDocument, EachCommandsFormat) {
  const std::vector<qor_failure_item> two = {{"a1", "m1"}, {"a2", "m2"}};
  const struct {
    qor_failure_kind kind;
    std::vector<qor_failure_item> items;
    std::string want;
  } cases[] = {
      // ADD_BACKUP spells its status with a lower-case r and gives the
      // mirror without "zel_{" and the brace, as the pair holds it.
      {QOR_FAIL_ADD_BACKUP, two,
       "<Tidewell><BackupList><Device SrcGUID=\"a1\" rtnStatus=\"1\" DestGUID=\"m1\"/>"
       "<Device SrcGUID=\"a2\" rtnStatus=\"1\" DestGUID=\"m2\"/></BackupList></Tidewell>"},
      // A pair that lacked a GUID is listed with the empty text.
      {QOR_FAIL_ADD_BACKUP, {{nullptr, "m"}, {"s", nullptr}},
       "<Tidewell><BackupList><Device SrcGUID=\"\" rtnStatus=\"1\" DestGUID=\"m\"/>"
       "<Device SrcGUID=\"s\" rtnStatus=\"1\" DestGUID=\"\"/></BackupList></Tidewell>"},
      {QOR_FAIL_DEL_BACKUP, {{"a1", nullptr}},
       "<Tidewell><BackupList Count=\"1\" IsCluster=\"0\"><Device SrcGUID=\"a1\" "
       "RtnStatus=\"10016\"/></BackupList></Tidewell>"},
      {QOR_FAIL_INIT_MIRROR, two,
       "<Tidewell><BackupList Count=\"2\"><Backup SrcGUID=\"a1\" RtnStatus=\"10018\"/>"
       "<Backup SrcGUID=\"a2\" RtnStatus=\"10018\"/></BackupList></Tidewell>"},
      {QOR_FAIL_CANCEL_MIRROR, two,
       "<Tidewell><BackupList Count=\"2\"><Backup SrcGUID=\"a1\" RtnStatus=\"10019\"/>"
       "<Backup SrcGUID=\"a2\" RtnStatus=\"10019\"/></BackupList></Tidewell>"},
      // The server's texts go back escaped, never as markup.
      {QOR_FAIL_INIT_MIRROR, {{"x\"/><Backup SrcGUID=\"&y", nullptr}},
       "<Tidewell><BackupList Count=\"1\"><Backup SrcGUID=\"x&quot;/&gt;&lt;Backup "
       "SrcGUID=&quot;&amp;y\" RtnStatus=\"10018\"/></BackupList></Tidewell>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.want);
    EXPECT_EQ(kHead + c.want + "\n", build(c.kind, c.items));
  }
}

TEST(MirrorFailureDocument, GoesIntoTheReply) {
  qorc_req* req = req_alloc();
  ASSERT_NE(nullptr, req);
  qor_failure_item item = {"a", nullptr};
  uint32_t len = 0;
  char* text = qor_failure_xml(QOR_FAIL_DEL_BACKUP, &item, 1, &len);
  ASSERT_NE(nullptr, text);
  qor_reply_document(req, text, len);
  EXPECT_EQ(text, req->sendxml);
  EXPECT_EQ(len, req->send_head.data_len);
  // A document that could not be built leaves an empty body.
  qor_reply_document(req, nullptr, 99);
  EXPECT_EQ(nullptr, req->sendxml);
  EXPECT_EQ(0u, req->send_head.data_len);
  req_free(req);
}

}  // namespace
