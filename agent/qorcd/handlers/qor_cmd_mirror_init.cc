// INIT_MIRROR and CANCEL_INIT_MIRROR: the full copy of each listed primary
// onto its mirror started or stopped.  Neither touches the agent's own
// state; the next inventory shows the copy.
#include <vector>

#include "mirapi/api.h"
#include "mirapi/log.h"
#include "qor_handlers.h"
#include "qor_mirror.h"
#include "qor_model.h"
#include "qor_parse.h"

namespace {

// The request's GUIDs; the entries still on the list when the command ends
// are the failed ones, freed with it.
class GuidList {
 public:
  GuidList() { INIT_LIST_HEAD(&head); }
  ~GuidList() { guid_list_free(&head); }
  GuidList(const GuidList&) = delete;
  GuidList& operator=(const GuidList&) = delete;
  struct list_head head;
};

// An empty GUID names no protection: it fails without reaching zelmird.
bool names_disk(const char* guid) { return guid[0] != '\0'; }

// Calls op for every GUID in request order; an entry whose op fails stays on
// the list, the others are freed.
template <typename Op>
void for_each_guid(struct list_head* guids, Op op) {
  struct list_head *pos, *n;
  list_for_each_safe(pos, n, guids) {
    guid_entry* e = list_entry(pos, guid_entry, list);
    bool ok = e->guid != nullptr && op(e->guid);
    if (ok) guid_entry_free(e);
  }
}

void reply_failures(qorc_req* req, qor_failure_kind kind, const struct list_head* failed) {
  std::vector<qor_failure_item> items;
  const struct list_head* pos;
  list_for_each(pos, failed) items.push_back({list_entry(pos, guid_entry, list)->guid, nullptr});
  uint32_t len = 0;
  char* text = qor_failure_xml(kind, items.data(), items.size(), &len);
  qor_reply_document(req, text, len);
}

}  // namespace

int init_mirror(qorc_req* req) {
  HM_LOG(LOG_INFO, "Recv cmd: INIT_MIRROR");
  if (req == nullptr) return 1;
  if (!qor_managed()) return 50;
  GuidList guids;
  if (xml_to_bp_srcguid(req->recvxml, &guids.head) < 0) return 4;
  HM_LOG(LOG_INFO, "Launching mirror initialization.");
  for_each_guid(&guids.head, [](const char* guid) {
    if (names_disk(guid) && hm_disk_resync(guid, 0) >= 0) return true;
    HM_LOG(LOG_ERR, "Failed to initialize mirror %s.", guid);
    return false;
  });
  if (list_empty(&guids.head)) {
    HM_LOG(LOG_INFO, "All mirrors are initialized successfully.");
    return 0;
  }
  HM_LOG(LOG_INFO, "Some mirrors are not initialized correctly.");
  reply_failures(req, QOR_FAIL_INIT_MIRROR, &guids.head);
  return 1;
}

int cancel_init_mirror(qorc_req* req) {
  HM_LOG(LOG_INFO, "Recv cmd: CANCEL_INIT_MIRROR");
  if (req == nullptr) {
    HM_LOG(LOG_ERR, "Failed to parse request, null pointer.");
    return 1;
  }
  if (!qor_managed()) return 50;
  GuidList guids;
  if (xml_to_bp_srcguid(req->recvxml, &guids.head) < 0) {
    HM_LOG(LOG_ERR, "Failed to parse XML doc.");
    return 4;
  }
  for_each_guid(&guids.head, [](const char* guid) {
    return names_disk(guid) && hm_disk_stop_sync(guid) >= 0;
  });
  // The server reads the failed copies from the document; the status stays 0.
  if (!list_empty(&guids.head)) reply_failures(req, QOR_FAIL_CANCEL_MIRROR, &guids.head);
  return 0;
}
