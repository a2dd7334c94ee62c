// The local list reply: what qorcd tells qorctl of its configuration, and
// qorctl's reading of it back into a handle.
#include <stdlib.h>
#include <string.h>

#include "mirapi/log.h"
#include "qor_report.h"
#include "qor_xml.h"

namespace {

// Replaces *dst by a copy of the attribute when the element has it.
void replace_prop(char** dst, const xmlNode* node, const char* name) {
  char* value = qor_xml_prop(node, name);
  if (value == nullptr) return;
  free(*dst);
  *dst = value;
}

void read_client(qor_t* qor, const xmlNode* node) {
  char* guid = qor_xml_prop(node, "GUID");
  if (guid == nullptr) return;
  free(qor->client_guid);
  qor->client_guid = guid;
  char* alias = qor_xml_prop(node, "Alias");
  if (alias == nullptr || alias[0] == '\0') {
    free(alias);
    return;
  }
  free(qor->client_alias);
  qor->client_alias = alias;
}

void read_manager(qor_manager* mngr, const xmlNode* node) {
  replace_prop(&mngr->guid, node, "GUID");
  char* ips = qor_xml_prop(node, "IPs");
  qor_ip_words(ips, &mngr->ips);
  free(ips);
}

// A schedule lacking any of its four attributes is dropped.
void read_schedule(qor_t* qor, const xmlNode* node) {
  cdpsch* sch = static_cast<cdpsch*>(calloc(1, sizeof(*sch)));
  if (sch == nullptr) {
    HM_LOG(LOG_ERR, "Failed to allocate memoty");
    return;
  }
  sch->local_guid = qor_xml_prop(node, "Local");
  sch->mirror_guid = qor_xml_prop(node, "Mirror");
  char* start = qor_xml_prop(node, "StartTime");
  char* timeout = qor_xml_prop(node, "Timeout");
  if (sch->local_guid == nullptr || sch->mirror_guid == nullptr || start == nullptr ||
      timeout == nullptr) {
    cdpsch_free(sch);
  } else {
    sch->start_time = qor_dec_u64(start);
    sch->interval = qor_dec_u32(timeout);
    list_add_tail(&sch->list, &qor->cdpschs);
  }
  free(start);
  free(timeout);
}

}  // namespace

char* qor_to_xml(const qor_t* qor, uint32_t* len) {
  if (qor == nullptr) return nullptr;
  HM_LOG(LOG_DEBUG, "Get Tidewell_LClient info");
  QorDocBuilder b;
  xmlNode* client = b.child(b.root(), "Client");
  b.attr(client, "GUID", qor->client_guid);
  b.attr(client, "Alias", qor->client_alias);
  if (qor->manager != nullptr) {
    xmlNode* mngr = b.child(b.root(), "Manager");
    b.attr(mngr, "GUID", qor->manager->guid);
    char ips[QOR_IP_TEXT_SIZE];
    qor_ip_text(&qor->manager->ips, ips);
    b.attr(mngr, "IPs", ips);
  }
  struct list_head* pos;
  list_for_each(pos, &qor->cdpschs) {
    const cdpsch* sch = list_entry(pos, cdpsch, list);
    xmlNode* n = b.child(b.root(), "CDPSchedule");
    b.attr(n, "Local", sch->local_guid);
    b.attr(n, "Mirror", sch->mirror_guid);
    b.attrf(n, "StartTime", "%lu", static_cast<unsigned long>(sch->start_time));
    b.attrf(n, "Timeout", "%d", static_cast<int>(sch->interval));
  }
  char* text = b.dump(len);
  HM_LOG(LOG_DEBUG, "Complete getting Tidewell_LClient info");
  return text;
}

qor_t* xml_to_qor(const char* xml) {
  if (xml == nullptr) return nullptr;
  qor_manager* mngr = static_cast<qor_manager*>(calloc(1, sizeof(*mngr)));
  qor_t* qor = qor_alloc();
  if (mngr == nullptr || qor == nullptr) {
    free(mngr);
    qor_free(qor);
    return nullptr;
  }
  INIT_LIST_HEAD(&mngr->ips);
  QorRequest req(xml, kQorDocTexts);
  if (req.root() == nullptr) {
    qor_manager_free(mngr);
    qor_free(qor);
    return nullptr;
  }
  for (xmlNode* cur = req.root()->children; cur != nullptr; cur = cur->next) {
    if (qor_xml_named(cur, "Client"))
      read_client(qor, cur);
    else if (qor_xml_named(cur, "Manager"))
      read_manager(mngr, cur);
    else if (qor_xml_named(cur, "CDPSchedule"))
      read_schedule(qor, cur);
  }
  qor->manager = mngr;
  return qor;
}
