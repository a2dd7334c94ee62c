#include "qor_xml.h"

#include <arpa/inet.h>
#include <errno.h>
#include <libxml/parser.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "mirapi/log.h"
#include "qor_model.h"

namespace {

pthread_once_t g_xml_once = PTHREAD_ONCE_INIT;

void init_once() { xmlInitParser(); }

const xmlChar* X(const char* s) { return reinterpret_cast<const xmlChar*>(s); }

}  // namespace

void qor_xml_init(void) { pthread_once(&g_xml_once, init_once); }

xmlDoc* qor_xml_read(const char* text) {
  if (text == nullptr) return nullptr;
  size_t len = strnlen(text, QOR_XML_MAX_LEN + 1);
  if (len > QOR_XML_MAX_LEN) return nullptr;
  qor_xml_init();
  // Entities are left as references (no XML_PARSE_NOENT), no DTD is loaded
  // (no XML_PARSE_DTDLOAD), and the library prints nothing of its own.
  const int options = XML_PARSE_NOBLANKS | XML_PARSE_NONET | XML_PARSE_NOERROR |
                      XML_PARSE_NOWARNING;
  xmlDoc* doc = xmlReadMemory(text, static_cast<int>(len), nullptr, nullptr, options);
  if (doc != nullptr && (doc->intSubset != nullptr || doc->extSubset != nullptr)) {
    xmlFreeDoc(doc);
    return nullptr;
  }
  return doc;
}

char* qor_xml_dump(xmlDoc* doc, uint32_t* len) {
  if (doc == nullptr) return nullptr;
  qor_xml_init();
  xmlChar* mem = nullptr;
  int size = 0;
  xmlDocDumpFormatMemoryEnc(doc, &mem, &size, "utf-8", 0);
  if (mem == nullptr || size <= 0) {
    xmlFree(mem);
    return nullptr;
  }
  char* text = static_cast<char*>(malloc(static_cast<size_t>(size) + 1));
  if (text != nullptr) {
    memcpy(text, mem, static_cast<size_t>(size));
    text[size] = '\0';
    if (len != nullptr) *len = static_cast<uint32_t>(size);
  }
  xmlFree(mem);
  return text;
}

const QorDocTexts kQorDocTexts{"Failed to parse xml document", "Empty xml document",
                               "Error: xml's root node must be 'Tidewell'"};

QorRequest::QorRequest(const char* text, const QorDocTexts& texts) : doc_(qor_xml_read(text)) {
  if (doc_ == nullptr) {
    HM_LOG(LOG_ERR, "%s", texts.parse);
    return;
  }
  xmlNode* root = xmlDocGetRootElement(doc_);
  if (root == nullptr) {
    HM_LOG(LOG_ERR, "%s", texts.no_root);
    return;
  }
  if (xmlStrcmp(root->name, X("Tidewell")) != 0) {
    HM_LOG(LOG_ERR, "%s", texts.bad_root);
    return;
  }
  root_ = root;
}

QorRequest::~QorRequest() { xmlFreeDoc(doc_); }

xmlNode* QorRequest::first_child(const char* name) const {
  return root_ != nullptr && qor_xml_named(root_->children, name) ? root_->children : nullptr;
}

QorDocBuilder::QorDocBuilder() {
  qor_xml_init();
  doc_ = xmlNewDoc(X("1.0"));
  if (doc_ != nullptr) root_ = xmlNewDocNode(doc_, nullptr, X("Tidewell"), nullptr);
  if (root_ == nullptr) {
    failed_ = true;
    return;
  }
  xmlDocSetRootElement(doc_, root_);
}

QorDocBuilder::~QorDocBuilder() { xmlFreeDoc(doc_); }

xmlNode* QorDocBuilder::child(xmlNode* parent, const char* name) {
  xmlNode* node = parent != nullptr ? xmlNewChild(parent, nullptr, X(name), nullptr) : nullptr;
  if (node == nullptr) failed_ = true;
  return node;
}

void QorDocBuilder::attr(xmlNode* node, const char* name, const char* value) {
  if (node == nullptr || xmlNewProp(node, X(name), X(value != nullptr ? value : "")) == nullptr)
    failed_ = true;
}

void QorDocBuilder::attrf(xmlNode* node, const char* name, const char* fmt, ...) {
  char buf[64];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof(buf), fmt, ap);
  va_end(ap);
  attr(node, name, buf);
}

char* QorDocBuilder::dump(uint32_t* len) { return failed_ ? nullptr : qor_xml_dump(doc_, len); }

bool qor_xml_named(const xmlNode* node, const char* name) {
  return node != nullptr && node->type == XML_ELEMENT_NODE && xmlStrcmp(node->name, X(name)) == 0;
}

xmlNode* xml_find_child(const xmlNode* node, const char* name) {
  if (node == nullptr) return nullptr;
  for (xmlNode* cur = node->children; cur != nullptr; cur = cur->next)
    if (qor_xml_named(cur, name)) return cur;
  return nullptr;
}

char* qor_xml_prop(const xmlNode* node, const char* name) {
  if (node == nullptr) return nullptr;
  xmlChar* value = xmlGetProp(node, X(name));
  if (value == nullptr) return nullptr;
  char* copy = strdup(reinterpret_cast<char*>(value));
  xmlFree(value);
  return copy;
}

int32_t qor_dec_i32(const char* text) {
  if (text == nullptr) return 0;
  errno = 0;
  long v = strtol(text, nullptr, 10);
  if (errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return 0;
  return static_cast<int32_t>(v);
}

uint64_t qor_dec_u64(const char* text) {
  if (text == nullptr) return 0;
  return strtoull(text, nullptr, 10);
}

uint32_t qor_dec_u32(const char* text) { return static_cast<uint32_t>(qor_dec_u64(text)); }

void qor_ip_words(const char* text, struct list_head* ips) {
  if (text == nullptr) return;
  const char* p = text;
  for (;;) {
    while (*p == ' ') p++;
    if (*p == '\0') return;
    const char* end = strchr(p, ' ');
    if (end == nullptr) end = p + strlen(p);
    ip_entry* ip = static_cast<ip_entry*>(calloc(1, sizeof(*ip)));
    if (ip == nullptr) return;
    std::string word(p, end);
    if (inet_pton(AF_INET, word.c_str(), &ip->addr) != 1) ip->addr = 0;
    list_add_tail(&ip->list, ips);
    p = end;
  }
}

void qor_ip_text(const struct list_head* ips, char out[QOR_IP_TEXT_SIZE]) {
  size_t used = 0;
  out[0] = '\0';
  if (ips == nullptr) return;
  struct list_head* pos;
  list_for_each(pos, ips) {
    if (QOR_IP_TEXT_SIZE - used <= 16) break;
    char dotted[INET_ADDRSTRLEN];
    const ip_entry* ip = list_entry(pos, ip_entry, list);
    inet_ntop(AF_INET, &ip->addr, dotted, sizeof(dotted));
    // At most a blank and 15 characters go in, and more than 16 bytes are
    // free, so the terminator always fits.
    used += static_cast<size_t>(
        snprintf(out + used, QOR_IP_TEXT_SIZE - used, "%s%s", used ? " " : "", dotted));
  }
}
