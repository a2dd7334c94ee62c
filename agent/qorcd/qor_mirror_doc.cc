// The failure documents of the mirror-relationship commands.
#include <stdlib.h>

#include "mirapi/log.h"
#include "qor_mirror.h"
#include "qor_xml.h"

namespace {

struct failure_format {
  const char* item;         // one element per failed item
  const char* status_name;  // spelled as the server reads it
  const char* status;
  bool count;               // BackupList carries Count
  bool is_cluster;          // and IsCluster "0" after it
  bool dest;                // items carry DestGUID
};

// Indexed by qor_failure_kind.
constexpr failure_format kFormats[] = {
    {"Device", "rtnStatus", "1", false, false, true},
    {"Device", "RtnStatus", "10016", true, true, false},
    {"Backup", "RtnStatus", "10018", true, false, false},
    {"Backup", "RtnStatus", "10019", true, false, false},
};

}  // namespace

char* qor_failure_xml(qor_failure_kind kind, const qor_failure_item* items, size_t count,
                      uint32_t* len) {
  const failure_format& f = kFormats[kind];
  QorDocBuilder doc;
  xmlNode* list = doc.child(doc.root(), "BackupList");
  for (size_t i = 0; i < count; i++) {
    xmlNode* item = doc.child(list, f.item);
    doc.attr(item, "SrcGUID", items[i].src);
    doc.attr(item, f.status_name, f.status);
    if (f.dest) doc.attr(item, "DestGUID", items[i].dest);
  }
  if (f.count) doc.attrf(list, "Count", "%zu", count);
  if (f.is_cluster) doc.attr(list, "IsCluster", "0");
  char* text = doc.dump(len);
  if (text == nullptr) HM_LOG(LOG_ERR, "Failed to build the reply document of failed items.");
  return text;
}

