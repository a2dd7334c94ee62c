// qorcd.conf: reading a qor_t from the file and writing one out as the whole
// file.  Reading is lenient about what a hand edit may leave (unknown
// elements, a group or schedule missing a field) and strict about what would
// change the host's meaning (an address filter entry that is no address).
#include "qor_conf.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "host/host.h"
#include "mirapi/log.h"

namespace {

const xmlChar* X(const char* s) { return reinterpret_cast<const xmlChar*>(s); }

bool named(const xmlNode* node, const char* name) {
  return node->type == XML_ELEMENT_NODE && xmlStrcmp(node->name, X(name)) == 0;
}

// A malloc'ed copy of a libxml2 string, which is then freed.  Null in, null
// out.
char* take_text(xmlChar* text) {
  if (text == nullptr) return nullptr;
  char* copy = strdup(reinterpret_cast<char*>(text));
  xmlFree(text);
  return copy;
}

// Replaces *dst with a copy of the node's text content.  false only when
// memory ran out (the old text is then kept).
bool set_text(char** dst, xmlNode* node) {
  xmlChar* content = xmlNodeGetContent(node);
  if (content == nullptr) {
    free(*dst);
    *dst = nullptr;
    return true;
  }
  char* copy = take_text(content);
  if (copy == nullptr) return false;
  free(*dst);
  *dst = copy;
  return true;
}

// The text content of the first child (of any kind) of node named name, or
// null; the caller frees it with xmlFree.
xmlChar* child_text(xmlNode* node, const char* name) {
  for (xmlNode* cur = node->children; cur != nullptr; cur = cur->next)
    if (xmlStrcmp(cur->name, X(name)) == 0) return xmlNodeGetContent(cur);
  return nullptr;
}

// atoi: leading digits, 0 when there are none.
int32_t read_int(xmlNode* node) {
  xmlChar* content = xmlNodeGetContent(node);
  if (content == nullptr) return 0;
  long v = strtol(reinterpret_cast<char*>(content), nullptr, 10);
  xmlFree(content);
  return static_cast<int32_t>(v);
}

uint64_t scan_u64(const xmlChar* text) {
  unsigned long v = 0;
  if (text != nullptr) sscanf(reinterpret_cast<const char*>(text), "%lu", &v);
  return v;
}

uint32_t scan_u32(const xmlChar* text) {
  unsigned int v = 0;
  if (text != nullptr) sscanf(reinterpret_cast<const char*>(text), "%u", &v);
  return v;
}

int _cfg_xml_to_filter(xmlNode* node, struct list_head* list) {
  for (xmlNode* cur = node->children; cur != nullptr; cur = cur->next) {
    if (!named(cur, "IPAddr")) continue;
    ip_entry* ip = static_cast<ip_entry*>(calloc(1, sizeof(*ip)));
    if (ip == nullptr) {
      HM_LOG(LOG_ERR, "Failed to allocate memory for IP address.");
      return -1;
    }
    xmlChar* text = xmlNodeGetContent(cur);
    if (text == nullptr) {
      HM_LOG(LOG_WARNING, "Empty IP address.");
      free(ip);
      continue;
    }
    if (inet_pton(AF_INET, reinterpret_cast<char*>(text), &ip->addr) != 1) {
      HM_LOG(LOG_ERR, "Failed to convert IP address: %s.", reinterpret_cast<char*>(text));
      xmlFree(text);
      free(ip);
      return -1;
    }
    xmlFree(text);
    list_add_tail(&ip->list, list);
  }
  return 0;
}

qor_manager* _cfg_xml_to_mngr(xmlNode* node) {
  qor_manager* mngr = static_cast<qor_manager*>(calloc(1, sizeof(*mngr)));
  if (mngr == nullptr) {
    HM_LOG(LOG_ERR, "Failed to allocate memory for qor_manager.");
    return nullptr;
  }
  INIT_LIST_HEAD(&mngr->ips);
  for (xmlNode* cur = node->children; cur != nullptr; cur = cur->next) {
    if (named(cur, "ManagerGUID")) {
      if (!set_text(&mngr->guid, cur)) goto nomem;
    } else if (named(cur, "TargetIQN")) {
      xmlChar* text = xmlNodeGetContent(cur);
      if (text == nullptr || text[0] == '\0') {
        xmlFree(text);
        continue;
      }
      char* iqn = take_text(text);
      if (iqn == nullptr) goto nomem;
      free(mngr->target_iqn);
      mngr->target_iqn = iqn;
    } else if (named(cur, "ManagerIPAddr")) {
      ip_entry* ip = static_cast<ip_entry*>(calloc(1, sizeof(*ip)));
      if (ip == nullptr) {
        HM_LOG(LOG_ERR, "Failed to allocate memory for server IP address.");
        qor_manager_free(mngr);
        return nullptr;
      }
      // A text that is no address leaves 0.0.0.0, which the next write keeps.
      xmlChar* text = xmlNodeGetContent(cur);
      if (text != nullptr) inet_pton(AF_INET, reinterpret_cast<char*>(text), &ip->addr);
      xmlFree(text);
      list_add_tail(&ip->list, &mngr->ips);
    }
  }
  return mngr;

nomem:
  HM_LOG(LOG_ERR, "Failed to allocate memory for qor_manager.");
  qor_manager_free(mngr);
  return nullptr;
}

int _cfg_xml_to_grp_disk(xmlNode* node, backup_group* grp) {
  for (xmlNode* cur = node->children; cur != nullptr; cur = cur->next) {
    if (!named(cur, "Disk")) continue;
    guid_entry* member = static_cast<guid_entry*>(calloc(1, sizeof(*member)));
    if (member == nullptr) {
      HM_LOG(LOG_ERR, "Failed to allocate memory for group member.");
      return -1;
    }
    xmlChar* guid = xmlGetProp(cur, X("DiskGUID"));
    if (guid == nullptr) {
      HM_LOG(LOG_WARNING, "Failed to retrieve property DiskGUID.");
      free(member);
      continue;
    }
    member->guid = take_text(guid);
    if (member->guid == nullptr) {
      HM_LOG(LOG_ERR, "Failed to allocate memory for group member.");
      free(member);
      return -1;
    }
    list_add_tail(&member->list, &grp->members);
  }
  return 0;
}

int _cfg_xml_to_grp(xmlNode* node, qor_t* qor) {
  static const char* const kProps[] = {"GroupName", "CDPConStartTime", "CDPStartTime",
                                       "CDPTimeout"};
  for (xmlNode* cur = node->children; cur != nullptr; cur = cur->next) {
    if (!named(cur, "DiskGroup")) continue;
    backup_group* grp = static_cast<backup_group*>(calloc(1, sizeof(*grp)));
    if (grp == nullptr) {
      HM_LOG(LOG_ERR, "Failed to allocate memory for consistency group.");
      return -1;
    }
    INIT_LIST_HEAD(&grp->members);

    xmlChar* props[4];
    bool missing = false;
    for (int i = 0; i < 4; i++) {
      props[i] = xmlGetProp(cur, X(kProps[i]));
      if (props[i] == nullptr) missing = true;
    }
    if (missing) {
      HM_LOG(LOG_WARNING, "Missing group property, ignore.");
      for (xmlChar* p : props) xmlFree(p);
      backup_grp_free(grp);
      continue;
    }
    grp->name = take_text(props[0]);
    // Group times stand as written: a group's past start is not moved.
    grp->con_start_time = scan_u64(props[1]);
    grp->start_time = scan_u64(props[2]);
    grp->interval = scan_u32(props[3]);
    for (int i = 1; i < 4; i++) xmlFree(props[i]);
    if (grp->name == nullptr) {
      HM_LOG(LOG_ERR, "Failed to allocate memory for consistency group.");
      backup_grp_free(grp);
      return -1;
    }
    if (_cfg_xml_to_grp_disk(cur, grp) != 0) {
      HM_LOG(LOG_ERR, "Failed to load members of group whose name is %s.", grp->name);
      backup_grp_free(grp);
      return -1;
    }
    list_add_tail(&grp->list, &qor->groups);
  }
  return 0;
}

int _cfg_xml_to_cdpsch(xmlNode* node, qor_t* qor, int64_t now) {
  static const char* const kChildren[] = {"CDPLocalLUN", "CDPMirrorLUN", "CDPConStartTime",
                                          "CDPStartTime", "CDPTimeout"};
  for (xmlNode* cur = node->children; cur != nullptr; cur = cur->next) {
    if (!named(cur, "CDPSchedule")) continue;
    cdpsch* sch = static_cast<cdpsch*>(calloc(1, sizeof(*sch)));
    if (sch == nullptr) {
      HM_LOG(LOG_ERR, "Failed to allocate memory for CDP schedule.");
      return -1;
    }
    xmlChar* texts[5];
    bool missing = false;
    for (int i = 0; i < 5; i++) {
      texts[i] = child_text(cur, kChildren[i]);
      if (texts[i] == nullptr) missing = true;
    }
    if (missing) {
      HM_LOG(LOG_WARNING, "Missing children node, ignore.");
      for (xmlChar* t : texts) xmlFree(t);
      cdpsch_free(sch);
      continue;
    }
    sch->local_guid = take_text(texts[0]);
    sch->mirror_guid = take_text(texts[1]);
    sch->con_start_time = scan_u64(texts[2]);
    sch->start_time = scan_u64(texts[3]);
    sch->interval = scan_u32(texts[4]);
    for (int i = 2; i < 5; i++) xmlFree(texts[i]);
    if (sch->local_guid == nullptr || sch->mirror_guid == nullptr) {
      HM_LOG(LOG_ERR, "Failed to allocate memory for CDP schedule.");
      cdpsch_free(sch);
      return -1;
    }
    sch->start_time = qor_cfg_start(sch->con_start_time, sch->start_time, sch->interval, now);
    list_add_tail(&sch->list, &qor->cdpschs);
  }
  return 0;
}

// Fills qor from the children of the root; false after a logged failure.
bool read_root(xmlNode* root, qor_t* qor) {
  const int64_t now = hl_time(nullptr);
  for (xmlNode* cur = root->children; cur != nullptr; cur = cur->next) {
    if (named(cur, "ClientGUID")) {
      if (!set_text(&qor->client_guid, cur)) {
        HM_LOG(LOG_ERR, "Failed to allocate memory for qor_t.");
        return false;
      }
    } else if (named(cur, "ClientAlias")) {
      if (!set_text(&qor->client_alias, cur)) {
        HM_LOG(LOG_ERR, "Failed to allocate memory for qor_t.");
        return false;
      }
    } else if (named(cur, "ClientPort")) {
      qor->client_port = read_int(cur);
    } else if (named(cur, "ServerPort")) {
      qor->server_port = read_int(cur);
    } else if (named(cur, "IPAddrFilter")) {
      if (_cfg_xml_to_filter(cur, &qor->ip_filter) != 0) {
        HM_LOG(LOG_ERR, "Failed to initialize IP filter.");
        return false;
      }
    } else if (named(cur, "Manager")) {
      qor_manager* mngr = _cfg_xml_to_mngr(cur);
      if (mngr == nullptr) {
        HM_LOG(LOG_ERR, "Failed to load manager informations from config file.");
        return false;
      }
      qor_manager_free(qor->manager);
      qor->manager = mngr;
    } else if (named(cur, "DiskGroupList")) {
      if (_cfg_xml_to_grp(cur, qor) != 0) {
        HM_LOG(LOG_ERR, "Failed to load consistency groups.");
        return false;
      }
    } else if (named(cur, "CDPScheduleList")) {
      if (_cfg_xml_to_cdpsch(cur, qor, now) != 0) {
        HM_LOG(LOG_ERR, "Failed to load CDP schedules.");
        return false;
      }
    }
  }
  return true;
}

}  // namespace

qor_t* qorcfg_read(const char* path) {
  if (path == nullptr) return nullptr;
  if (access(path, F_OK) != 0) {
    HM_LOG(LOG_ERR, "Failed to find '%s'", path);
    return nullptr;
  }
  qor_t* qor = qor_alloc();
  if (qor == nullptr) {
    HM_LOG(LOG_ERR, "Failed to allocate memory for qor_t.");
    return nullptr;
  }
  // libxml2's own error printing is off: the failure is logged here.
  xmlDoc* doc = xmlReadFile(path, nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (doc == nullptr) {
    HM_LOG(LOG_ERR, "Failed to parse config file: %s", path);
    qor_free(qor);
    return nullptr;
  }
  xmlNode* root = xmlDocGetRootElement(doc);
  bool ok = false;
  if (root == nullptr)
    HM_LOG(LOG_ERR, "Failed to retrieve root node of config file.");
  else if (xmlStrcmp(root->name, X("Tidewell")) != 0)
    HM_LOG(LOG_ERR, "Config file format error.");
  else
    ok = read_root(root, qor);
  xmlFreeDoc(doc);
  if (!ok) {
    qor_free(qor);
    return nullptr;
  }
  return qor;
}

// ---------------------------------------------------------------------------
// Writing

namespace {

// An IPv4 address (network byte order) as dotted decimal.
std::string dotted(uint32_t addr) {
  char buf[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &addr, buf, sizeof(buf));
  return buf;
}

// The configuration's addresses as one element of text children.
xmlNode* ip_list_to_xml(xmlNode* parent, const struct list_head* ips, const char* name) {
  struct list_head* pos;
  list_for_each(pos, ips) {
    const ip_entry* ip = list_entry(pos, ip_entry, list);
    if (xmlNewTextChild(parent, nullptr, X(name), X(dotted(ip->addr).c_str())) == nullptr)
      return nullptr;
  }
  return parent;
}

xmlNode* _cfg_filter_to_xml(const qor_t* qor) {
  if (qor == nullptr) {
    HM_LOG(LOG_DEBUG, "Null config handler, no IP filter node generated.");
    return nullptr;
  }
  xmlNode* node = xmlNewNode(nullptr, X("IPAddrFilter"));
  if (node == nullptr || ip_list_to_xml(node, &qor->ip_filter, "IPAddr") == nullptr) {
    HM_LOG(LOG_ERR, "Failed to create node IPAddrFilter.");
    xmlFreeNode(node);
    return nullptr;
  }
  return node;
}

xmlNode* _cfg_mngr_to_xml(const qor_manager* mngr) {
  if (mngr == nullptr) {
    HM_LOG(LOG_DEBUG, "Null manager, no manager node generated.");
    return nullptr;
  }
  xmlNode* node = xmlNewNode(nullptr, X("Manager"));
  bool ok = node != nullptr &&
            xmlNewTextChild(node, nullptr, X("ManagerGUID"), X(mngr->guid)) != nullptr &&
            (mngr->target_iqn == nullptr ||
             xmlNewTextChild(node, nullptr, X("TargetIQN"), X(mngr->target_iqn)) != nullptr) &&
            ip_list_to_xml(node, &mngr->ips, "ManagerIPAddr") != nullptr;
  if (!ok) {
    HM_LOG(LOG_ERR, "Failed to create node Manager.");
    xmlFreeNode(node);
    return nullptr;
  }
  return node;
}

// An attribute value; a null text gives an empty one.
bool set_prop(xmlNode* node, const char* name, const char* value) {
  return xmlNewProp(node, X(name), X(value != nullptr ? value : "")) != nullptr;
}

xmlNode* _cfg_backup_grp_to_xml(const backup_group* grp) {
  if (grp == nullptr) {
    HM_LOG(LOG_DEBUG, "Null group, no backup group node generated.");
    return nullptr;
  }
  char con_start[50], start[50], interval[50];
  snprintf(con_start, sizeof(con_start), "%lu", static_cast<unsigned long>(grp->con_start_time));
  snprintf(start, sizeof(start), "%lu", static_cast<unsigned long>(grp->start_time));
  snprintf(interval, sizeof(interval), "%u", grp->interval);

  xmlNode* node = xmlNewNode(nullptr, X("DiskGroup"));
  if (node == nullptr || !set_prop(node, "GroupName", grp->name) ||
      !set_prop(node, "CDPConStartTime", con_start) || !set_prop(node, "CDPStartTime", start) ||
      !set_prop(node, "CDPTimeout", interval)) {
    HM_LOG(LOG_ERR, "Failed to create node DiskGroup.");
    xmlFreeNode(node);
    return nullptr;
  }
  struct list_head* pos;
  list_for_each(pos, &grp->members) {
    const guid_entry* member = list_entry(pos, guid_entry, list);
    xmlNode* disk = xmlNewChild(node, nullptr, X("Disk"), nullptr);
    if (disk == nullptr || !set_prop(disk, "DiskGUID", member->guid)) {
      HM_LOG(LOG_ERR, "Failed to create node Disk.");
      xmlFreeNode(node);
      return nullptr;
    }
  }
  return node;
}

xmlNode* _cfg_cdpsch_to_xml(const cdpsch* sch) {
  if (sch == nullptr) {
    HM_LOG(LOG_DEBUG, "Null schedule, no CDP schedule node generated.");
    return nullptr;
  }
  char con_start[50], start[50], interval[50];
  snprintf(con_start, sizeof(con_start), "%lu", static_cast<unsigned long>(sch->con_start_time));
  snprintf(start, sizeof(start), "%lu", static_cast<unsigned long>(sch->start_time));
  snprintf(interval, sizeof(interval), "%u", sch->interval);
  HM_LOG(LOG_INFO,
         "Ready to write new schedule into config, console start time: %s, start_time: %s, "
         "interval: %s.",
         con_start, start, interval);

  xmlNode* node = xmlNewNode(nullptr, X("CDPSchedule"));
  bool ok = node != nullptr &&
            xmlNewTextChild(node, nullptr, X("CDPLocalLUN"), X(sch->local_guid)) != nullptr &&
            xmlNewTextChild(node, nullptr, X("CDPMirrorLUN"), X(sch->mirror_guid)) != nullptr &&
            xmlNewTextChild(node, nullptr, X("CDPConStartTime"), X(con_start)) != nullptr &&
            xmlNewTextChild(node, nullptr, X("CDPStartTime"), X(start)) != nullptr &&
            xmlNewTextChild(node, nullptr, X("CDPTimeout"), X(interval)) != nullptr;
  if (!ok) {
    HM_LOG(LOG_ERR, "Failed to create node CDPSchedule.");
    xmlFreeNode(node);
    return nullptr;
  }
  return node;
}

// Builds the whole document; null after a logged failure, when nothing may
// be written.
xmlDoc* build_doc(const qor_t* qor) {
  char when[32] = "";
  char comment[60] = "";
  time_t now = hl_time(nullptr);
  struct tm tm;
  if (localtime_r(&now, &tm) == nullptr || strftime(when, sizeof(when), "%Y/%m/%d %H:%M:%S", &tm) == 0)
    HM_LOG(LOG_WARNING, "Failed to format comment for config file.");
  int n = snprintf(comment, sizeof(comment), "Generated by Tidewell Client: %s", when);
  if (n < 0 || static_cast<size_t>(n) >= sizeof(comment))
    HM_LOG(LOG_WARNING, "Failed to format comment for config file.");

  xmlDoc* doc = xmlNewDoc(X("1.0"));
  xmlNode* root = doc != nullptr ? xmlNewNode(nullptr, X("Tidewell")) : nullptr;
  if (root == nullptr) {
    HM_LOG(LOG_ERR, "Failed to create config document.");
    xmlFreeDoc(doc);
    return nullptr;
  }
  xmlDocSetRootElement(doc, root);
  xmlNode* note = xmlNewDocComment(doc, X(comment));
  if (note == nullptr || xmlAddChild(root, note) == nullptr) {
    HM_LOG(LOG_WARNING, "Failed to attach comment to XML doc.");
    xmlFreeNode(note);
  }

  // Ports are signed 32-bit: 11 characters at most.
  char client_port[12], server_port[12];
  snprintf(client_port, sizeof(client_port), "%d", qor->client_port);
  snprintf(server_port, sizeof(server_port), "%d", qor->server_port);
  if (xmlNewTextChild(root, nullptr, X("ClientGUID"), X(qor->client_guid)) == nullptr ||
      xmlNewTextChild(root, nullptr, X("ClientAlias"), X(qor->client_alias)) == nullptr ||
      xmlNewTextChild(root, nullptr, X("ClientPort"), X(client_port)) == nullptr ||
      xmlNewTextChild(root, nullptr, X("ServerPort"), X(server_port)) == nullptr) {
    HM_LOG(LOG_ERR, "Failed to create config document.");
    xmlFreeDoc(doc);
    return nullptr;
  }

  xmlNode* filter = _cfg_filter_to_xml(qor);
  if (filter == nullptr) {
    HM_LOG(LOG_ERR, "Failed to generate node IPAddrFilter.");
    xmlFreeDoc(doc);
    return nullptr;
  }
  if (xmlAddChild(root, filter) == nullptr) {
    HM_LOG(LOG_ERR, "Failed to attach node IPAddrFilter to root.");
    xmlFreeNode(filter);
    xmlFreeDoc(doc);
    return nullptr;
  }

  xmlNode* mngr = _cfg_mngr_to_xml(qor->manager);
  if (qor->manager == nullptr) {
    HM_LOG(LOG_INFO, "No manager node is generated.");
  } else if (mngr == nullptr || xmlAddChild(root, mngr) == nullptr) {
    // A manager that cannot be written must not vanish from the file.
    HM_LOG(LOG_ERR, "Failed to attach node Manager to root.");
    xmlFreeNode(mngr);
    xmlFreeDoc(doc);
    return nullptr;
  }

  xmlNode* groups = xmlNewChild(root, nullptr, X("DiskGroupList"), nullptr);
  if (groups == nullptr) {
    HM_LOG(LOG_ERR, "Failed to generate node DiskGroup.");
    xmlFreeDoc(doc);
    return nullptr;
  }
  struct list_head* pos;
  list_for_each(pos, &qor->groups) {
    xmlNode* grp = _cfg_backup_grp_to_xml(list_entry(pos, backup_group, list));
    if (grp == nullptr) {
      HM_LOG(LOG_ERR, "Failed to generate node DiskGroup.");
      xmlFreeDoc(doc);
      return nullptr;
    }
    if (xmlAddChild(groups, grp) == nullptr) {
      HM_LOG(LOG_ERR, "Failed to attach node DiskGroup to list.");
      xmlFreeNode(grp);
      xmlFreeDoc(doc);
      return nullptr;
    }
  }

  xmlNode* schedules = xmlNewChild(root, nullptr, X("CDPScheduleList"), nullptr);
  if (schedules == nullptr) {
    HM_LOG(LOG_ERR, "Failed to generate node CDPSchedule.");
    xmlFreeDoc(doc);
    return nullptr;
  }
  list_for_each(pos, &qor->cdpschs) {
    xmlNode* sch = _cfg_cdpsch_to_xml(list_entry(pos, cdpsch, list));
    if (sch == nullptr) {
      HM_LOG(LOG_ERR, "Failed to generate node CDPSchedule.");
      xmlFreeDoc(doc);
      return nullptr;
    }
    if (xmlAddChild(schedules, sch) == nullptr) {
      HM_LOG(LOG_ERR, "Failed to attach node CDPSChedule to list.");
      xmlFreeNode(sch);
      xmlFreeDoc(doc);
      return nullptr;
    }
  }
  return doc;
}

bool write_all(int fd, const char* data, size_t len) {
  while (len > 0) {
    ssize_t n = write(fd, data, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

// The bytes become the file at path only once they are whole on disk: they
// go to a temporary file beside it, which is synced and renamed over it.  A
// full disk or a crash on the way leaves the old file as it was; the client
// GUID and the manager in it are the host's identity.
void save_whole(const char* path, const char* data, size_t len) {
  std::string tmp = std::string(path) + ".tmp";
  unlink(tmp.c_str());
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (fd < 0) {
    HM_LOG(LOG_ERR, "Failed to save config file '%s': %s", path, strerror(errno));
    return;
  }
  bool ok = write_all(fd, data, len) && fsync(fd) == 0;
  int err = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (ok && rename(tmp.c_str(), path) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    HM_LOG(LOG_ERR, "Failed to save config file '%s': %s", path, strerror(err));
    unlink(tmp.c_str());
    return;
  }
  // The rename itself lasts only once the directory is on disk.
  std::string dir(path);
  size_t slash = dir.rfind('/');
  dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
  int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    fsync(dfd);
    close(dfd);
  }
}

}  // namespace

void qorcfg_write(const char* path, qor_t* qor) {
  if (path == nullptr || qor == nullptr) return;
  xmlDoc* doc = build_doc(qor);
  if (doc == nullptr) return;
  xmlChar* mem = nullptr;
  int size = 0;
  xmlDocDumpFormatMemoryEnc(doc, &mem, &size, "utf-8", 1);
  xmlFreeDoc(doc);
  if (mem == nullptr || size <= 0) {
    HM_LOG(LOG_ERR, "Failed to save config file '%s': %s", path, "no document");
    xmlFree(mem);
    return;
  }
  save_whole(path, reinterpret_cast<const char*>(mem), static_cast<size_t>(size));
  xmlFree(mem);
}
