// What every XML document of the agent shares: libxml2 set up once, reading
// a document received from a peer, writing one as it goes on the wire, and
// the two value formats of the protocol that are more than a single text
// (the child lookup and the list of IPv4 addresses).
#ifndef ZELMIR_AGENT_LIB_QOR_XML_H
#define ZELMIR_AGENT_LIB_QOR_XML_H

#include <libxml/tree.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <memory>

#include "hm_list.h"
#include "qor_transport.h"

// Sets up libxml2's global state.  An agent program calls it in main before
// it starts any thread; the routines below call it as well, so a later call
// does nothing.
void qor_xml_init(void);

// The longest document read: what the transport accepts as one payload.
constexpr size_t QOR_XML_MAX_LEN = QORC_MAX_DATA_LEN;

// Reads a NUL-terminated document received from a peer, with the options of
// this document alone (never the process-wide defaults, which other threads
// may be using): blank text between elements dropped, nothing fetched from
// the network, no entity substituted, no DTD loaded.  Null for a null text,
// a text longer than QOR_XML_MAX_LEN, a document that does not parse and a
// document that declares a DTD (no peer sends one; it could only carry
// entities).  Released with xmlFreeDoc.
xmlDoc* qor_xml_read(const char* text);

// The document as the agent sends it: the declaration (version "1.0",
// encoding "utf-8"), a newline, the root element on one line without
// indentation, a newline.  A new malloc'ed NUL-terminated text whose length
// without the NUL goes to *len, or null when it cannot be written.
char* qor_xml_dump(xmlDoc* doc, uint32_t* len);

// The first child element of node whose name is name, or null (also for a
// null node).
xmlNode* xml_find_child(const xmlNode* node, const char* name);

// Whether node is an element named name.
bool qor_xml_named(const xmlNode* node, const char* name);

// A malloc'ed copy of the attribute's value, or null when the element has no
// such attribute or memory runs out.
char* qor_xml_prop(const xmlNode* node, const char* name);

// A malloc'ed text (qor_xml_prop's, a parser's) freed at the end of its scope.
struct QorTextFree {
  void operator()(char* text) const { free(text); }
};
using QorText = std::unique_ptr<char, QorTextFree>;

// A received "Tidewell" document, released with the object.  root() is the
// root element, or null when the document could not be used, after the
// matching text (the readers' texts differ) was logged at level 3.  A null
// text is the caller's to answer before, as each reader answers it its own
// way; here it counts as a document that does not parse.
struct QorDocTexts {
  const char* parse;     // does not parse
  const char* no_root;   // no root element
  const char* bad_root;  // root not named "Tidewell"
};
extern const QorDocTexts kQorDocTexts;  // the texts most readers log

class QorRequest {
 public:
  QorRequest(const char* text, const QorDocTexts& texts);
  ~QorRequest();
  QorRequest(const QorRequest&) = delete;
  QorRequest& operator=(const QorRequest&) = delete;

  xmlNode* root() const { return root_; }
  // The root's first child node, whatever its kind, when it is an element
  // of that name; else null (a root without children included).
  xmlNode* first_child(const char* name) const;

 private:
  xmlDoc* doc_;
  xmlNode* root_ = nullptr;
};

// Builds a "Tidewell" document.  A node or attribute that cannot be made
// fails the whole document (dump gives null) rather than leaving a hole.
class QorDocBuilder {
 public:
  QorDocBuilder();
  ~QorDocBuilder();
  QorDocBuilder(const QorDocBuilder&) = delete;
  QorDocBuilder& operator=(const QorDocBuilder&) = delete;

  xmlNode* root() const { return root_; }
  // A new last child element of parent; null (and the document failed) when
  // parent is null or memory runs out.
  xmlNode* child(xmlNode* parent, const char* name);
  // Adds an attribute after the node's others; a null value is written as
  // the empty text.
  void attr(xmlNode* node, const char* name, const char* value);
  void attrf(xmlNode* node, const char* name, const char* fmt, ...)
      __attribute__((format(printf, 4, 5)));
  // qor_xml_dump of the document, or null when it failed.
  char* dump(uint32_t* len);

 private:
  xmlDoc* doc_;
  xmlNode* root_ = nullptr;
  bool failed_ = false;
};

// Decimal numbers of attribute values, read as far as they go: leading
// blanks and a sign are taken, anything after the digits is ignored, and a
// text without digits is 0.  A value outside the signed 32-bit range is 0;
// the unsigned readers wrap as C's conversions do.
int32_t qor_dec_i32(const char* text);
uint64_t qor_dec_u64(const char* text);
uint32_t qor_dec_u32(const char* text);

// Appends one ip_entry per word of text (words are separated by runs of
// blanks); a word that is no dotted IPv4 address gives 0.0.0.0.  An entry
// that cannot be allocated ends the list.
void qor_ip_words(const char* text, struct list_head* ips);

// The addresses of an ip_entry list as dotted quads separated by one blank,
// into a 512-byte buffer: an address is added only while more than 16 bytes
// of it are free, so the text is at most 511 characters and the addresses
// after that point are left out.
constexpr size_t QOR_IP_TEXT_SIZE = 512;
void qor_ip_text(const struct list_head* ips, char out[QOR_IP_TEXT_SIZE]);

#endif  // ZELMIR_AGENT_LIB_QOR_XML_H
