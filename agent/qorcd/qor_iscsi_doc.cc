// ESTABLISH_CHANNELS' document: the channel's two ends.
#include <arpa/inet.h>
#include <stdlib.h>
#include <string.h>

#include "mirapi/log.h"
#include "qor_iscsi.h"
#include "qor_xml.h"

namespace {

// A dotted IPv4 address in network order; a text that is none gives
// 255.255.255.255, which counts as unset.
uint32_t to_addr(const char* text) {
  struct in_addr a;
  return inet_pton(AF_INET, text, &a) == 1 ? a.s_addr : 0xFFFFFFFFu;
}

// The attribute's value, or null with the failure logged.
char* required_prop(const xmlNode* node, const char* name) {
  char* v = qor_xml_prop(node, name);
  if (v == nullptr) HM_LOG(LOG_ERR, "Failed to retrieve property %s.", name);
  return v;
}

}  // namespace

int xml_to_iscsinode(qor_iscsi_node* tgt, qor_iscsi_node* init, const char* xml) {
  if (tgt == nullptr) {
    HM_LOG(LOG_ERR, "tgt is NULL");
    return -1;
  }
  if (init == nullptr) {
    HM_LOG(LOG_ERR, "init is NULL");
    return -1;
  }
  if (xml == nullptr) return -1;
  QorRequest doc(xml, kQorDocTexts);
  if (doc.root() == nullptr) return -1;
  xmlNode* channel = doc.first_child("Channel");
  if (channel == nullptr) {
    HM_LOG(LOG_ERR, "Failed to retrieve node Channel.");
    return -1;
  }
  char* iqn = required_prop(channel, "InitiatorIqn");
  if (iqn == nullptr) return -1;
  free(init->iqn);
  init->iqn = iqn;
  HM_LOG(LOG_INFO, "Get Initiator Iqn: %s.", iqn);
  iqn = required_prop(channel, "TargetIqn");
  if (iqn == nullptr) return -1;
  free(tgt->iqn);
  tgt->iqn = iqn;
  HM_LOG(LOG_INFO, "Get Target Iqn: %s.", iqn);

  xmlNode* path = channel->children;
  if (!qor_xml_named(path, "Path")) {
    HM_LOG(LOG_ERR, "Failed to retrieve node Path.");
    return -1;
  }
  char* ip = required_prop(path, "InitiatorIP");
  if (ip == nullptr) return -1;
  init->addr = to_addr(ip);
  HM_LOG(LOG_INFO, "Get Initiator IP: %s.", ip);
  free(ip);

  ip = required_prop(path, "TargetIP");
  if (ip == nullptr) return -1;
  // "ADDR:PORT", or the address alone and the iSCSI port.  A colon with no
  // number after it gives the iSCSI port too; a number keeps its low 16
  // bits.
  uint16_t port = 3260;
  if (char* colon = strchr(ip, ':')) {
    *colon = '\0';
    if (colon[1] != '\0') port = static_cast<uint16_t>(qor_dec_u32(colon + 1));
  }
  tgt->addr = to_addr(ip);
  tgt->port = htons(port);
  HM_LOG(LOG_INFO, "Get Target IP: %s.", ip);
  free(ip);
  return 0;
}
