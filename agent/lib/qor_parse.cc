#include "qor_parse.h"

#include <stdlib.h>
#include <string.h>

#include <memory>

#include "mirapi/log.h"
#include "zel/zel_app.h"
#include "qor_xml.h"

namespace {

QorText prop(const xmlNode* node, const char* name) { return QorText(qor_xml_prop(node, name)); }

// For logs: glibc would print "(null)" itself, but only by grace.
const char* shown(const char* text) { return text != nullptr ? text : "(null)"; }

void set_flag(int* flag, int value) {
  if (flag != nullptr) *flag = value;
}

int cluster_flag(const xmlNode* node) {
  QorText v = prop(node, "IsCluster");
  return v != nullptr && strcmp(v.get(), "1") == 0;
}

int source_type_of(const char* value) {
  return strcmp(value, "0") == 0 ? QOR_SOURCE_DISK : QOR_SOURCE_GROUP;
}

// The GUID of a value written prefix "{" GUID "}" (the server writes
// "zel_{...}"): what lies between the first "{" and the next "}", or the
// rest of the value when no "}" follows.  A value with no "{", one that
// starts with "{", and one with nothing between the braces are copied
// unchanged.
char* brace_guid(const char* value) {
  const char* open = strchr(value, '{');
  if (open == nullptr || open == value) return strdup(value);
  const char* start = open + 1;
  const char* close = strchr(start, '}');
  size_t n = close != nullptr ? static_cast<size_t>(close - start) : strlen(start);
  if (n == 0) return strdup(value);
  return strndup(start, n);
}

// Replaces *text by its brace GUID; keeps it when memory runs out.
void to_brace_guid(char** text) {
  char* guid = brace_guid(*text);
  if (guid == nullptr) return;
  free(*text);
  *text = guid;
}

// Whether a value fits a QOR_ARG_BUF-byte buffer of the caller; one that
// does not is refused, and logged.
bool fits_arg(const char* value, const char* name) {
  if (value == nullptr || strnlen(value, QOR_ARG_BUF) < QOR_ARG_BUF) return true;
  HM_LOG(LOG_ERR, "Property %s is too long, refused.", name);
  return false;
}

// Copies a value that fits into the caller's buffer; the buffer is left
// alone otherwise.
bool copy_arg(char* buf, const char* value, const char* name) {
  if (!fits_arg(value, name)) return false;
  memcpy(buf, value, strlen(value) + 1);
  return true;
}

guid_entry* append_guid(struct list_head* list, const char* guid) {
  guid_entry* entry = static_cast<guid_entry*>(calloc(1, sizeof(*entry)));
  if (entry == nullptr) return nullptr;
  entry->guid = strdup(guid);
  if (entry->guid == nullptr) {
    free(entry);
    return nullptr;
  }
  list_add_tail(&entry->list, list);
  return entry;
}

backup_group* new_group() {
  backup_group* grp = static_cast<backup_group*>(calloc(1, sizeof(*grp)));
  if (grp != nullptr) INIT_LIST_HEAD(&grp->members);
  return grp;
}

// The two group documents differ only in their names and texts.
struct GroupForm {
  const char* element;
  const char* missing_element;
  const char* name_attr;
  const char* member;
  const char* member_attr;
  const char* member_alloc_failed;
};

constexpr GroupForm kBGCreate{"BGCreate", "Failed to retrieve node BGCreate.", "BGName", "SrcDisk",
                              "SrcGUID", "Failed to allocate memory for group member."};
constexpr GroupForm kZelGroup{"Group", "Failed to retrieve node Group.", "name", "Disk", "guid",
                              "Failed to allocate memory fot group member."};

backup_group* read_group(const QorRequest& req, int* is_cluster, const GroupForm& form) {
  if (req.root() == nullptr) return nullptr;
  set_flag(is_cluster, 0);
  xmlNode* node = xml_find_child(req.root(), form.element);
  if (node == nullptr) {
    HM_LOG(LOG_ERR, "%s", form.missing_element);
    return nullptr;
  }
  backup_group* grp = new_group();
  if (grp == nullptr) {
    HM_LOG(LOG_ERR, "Failed to allocate memory for disk group creation.");
    return nullptr;
  }
  grp->name = qor_xml_prop(node, form.name_attr);
  set_flag(is_cluster, cluster_flag(node));
  for (xmlNode* cur = node->children; cur != nullptr; cur = cur->next) {
    if (!qor_xml_named(cur, form.member)) {
      HM_LOG(LOG_WARNING, "Unexpected node for disk member creation, ignore.");
      continue;
    }
    QorText guid = prop(cur, form.member_attr);
    if (guid == nullptr) {
      HM_LOG(LOG_WARNING, "Missing property SrcGUID, ignore.");
      continue;
    }
    if (append_guid(&grp->members, guid.get()) == nullptr) {
      HM_LOG(LOG_WARNING, "%s", form.member_alloc_failed);
      continue;
    }
    HM_LOG(LOG_INFO, "Disk %s retrieved.", guid.get());
  }
  return grp;
}

// The two Snap documents: the source and its type, and for CREATE_SNAPSHOT
// the cluster flag.
int read_snap(const QorRequest& req, char** source, int* source_type, int* is_cluster,
              const char* missing_snap, bool want_cluster) {
  if (req.root() == nullptr) return -1;
  if (!want_cluster) set_flag(is_cluster, 0);
  xmlNode* snap = xml_find_child(req.root(), "Snap");
  if (snap == nullptr) {
    HM_LOG(LOG_ERR, "%s", missing_snap);
    return -1;
  }
  QorText type = prop(snap, "SourceType");
  if (type == nullptr) {
    HM_LOG(LOG_ERR, "Failed to retrieve property SourceType from Snap node.");
    return -1;
  }
  int t = source_type_of(type.get());
  set_flag(source_type, t);
  HM_LOG(LOG_INFO, "Source type for manual CDP creation: %d.", t);
  char* src = qor_xml_prop(snap, "Source");
  if (src == nullptr) {
    HM_LOG(LOG_ERR, "Failed to retrieve property Source from Snap node.");
    return -1;
  }
  if (t == QOR_SOURCE_DISK) to_brace_guid(&src);
  HM_LOG(LOG_INFO, "Source identity for manual CDP creation: %s.", src);
  if (source != nullptr)
    *source = src;
  else
    free(src);
  if (!want_cluster) return 0;
  QorText cluster = prop(snap, "IsCluster");
  if (cluster == nullptr) {
    HM_LOG(LOG_ERR, "Failed to retrieve property IsCluster from Snap node.");
    return -1;
  }
  set_flag(is_cluster, strcmp(cluster.get(), "1") == 0);
  return 0;
}

// ZelGUID is "zel_{" GUID "}": the GUID is what is left without the first
// five characters and the last one.  A shorter value has no GUID.
char* zel_guid(const char* value) {
  size_t n = strlen(value);
  if (n < 6) return nullptr;
  return strndup(value + 5, n - 6);
}

}  // namespace

ZelApp* xml_to_ZelApp(const char* xml, int* is_cluster) {
  if (xml == nullptr) return nullptr;
  QorRequest req(xml, kQorDocTexts);
  if (req.root() == nullptr) return nullptr;
  set_flag(is_cluster, 0);
  ZelApp* app = static_cast<ZelApp*>(calloc(1, sizeof(*app)));
  if (app == nullptr) {
    HM_LOG(LOG_ERR, "Failed to allocate memory for db config.");
    return nullptr;
  }
  xmlNode* set = xml_find_child(req.root(), "DBSet");
  if (set == nullptr) {
    HM_LOG(LOG_ERR, "Failed to retrieve DBSet node.");
    free(app);
    return nullptr;
  }
  QorText type = prop(set, "DBType");
  if (type != nullptr && strcmp(type.get(), "0") == 0) {
    app->db_type = 1;
    app->type_name = strdup("oracle");
  }
  app->db_user = qor_xml_prop(set, "DBUser");
  app->db_passwd = qor_xml_prop(set, "DBPasswd");
  app->instance_name = qor_xml_prop(set, "InstanceName");
  QorText archive = prop(set, "ArchiveLog");
  if (archive != nullptr) app->archive_log = qor_dec_i32(archive.get());
  app->oracle_home = qor_xml_prop(set, "OracleHome");
  set_flag(is_cluster, cluster_flag(set));
  return app;
}

backup_group* xml_to_backup_grp(const char* xml, int* is_cluster) {
  if (xml == nullptr) return nullptr;
  QorRequest req(xml, kQorDocTexts);
  return read_group(req, is_cluster, kBGCreate);
}

backup_group* xml_zel_to_backup_grp(const char* xml, int* is_cluster) {
  if (xml == nullptr) return nullptr;
  QorRequest req(xml, {"Failed to parse xml document.", "Empty xml document.",
                    "Error: xml's root node must be 'Tidewell'."});
  return read_group(req, is_cluster, kZelGroup);
}

qor_manager* xml_to_manager(const char* xml) {
  if (xml == nullptr) return nullptr;
  QorRequest req(xml, {"Failed to parse xml document", "Failed to retrieve root node.",
                    "Error: xml's root node must be 'Tidewell'"});
  if (req.root() == nullptr) return nullptr;
  qor_manager* mngr = static_cast<qor_manager*>(calloc(1, sizeof(*mngr)));
  if (mngr == nullptr) {
    HM_LOG(LOG_ERR, "Failed to allocate memory");
    return nullptr;
  }
  INIT_LIST_HEAD(&mngr->ips);
  xmlNode* server = req.first_child("Server");
  if (server != nullptr) {
    mngr->guid = qor_xml_prop(server, "ID");
    QorText ips = prop(server, "IPs");
    qor_ip_words(ips.get(), &mngr->ips);
    mngr->target_iqn = qor_xml_prop(server, "TargetIqn");
  }
  return mngr;
}

char* xml_to_alias(const char* xml) {
  if (xml == nullptr) return nullptr;
  QorRequest req(xml, kQorDocTexts);
  if (req.root() == nullptr) return nullptr;
  char* alias = qor_xml_prop(req.first_child("Client"), "Alias");
  HM_LOG(LOG_DEBUG, "xml_to_alias:%s", shown(alias));
  return alias;
}

int xml_to_bp_srcguid(const char* xml, struct list_head* guids) {
  if (xml == nullptr || guids == nullptr) {
    HM_LOG(LOG_ERR, "Failed to parse XML request, null pointer.");
    return -1;
  }
  QorRequest req(xml, {"Failed to parse XML request.", "Failed to retrieve root element.",
                    "Error: xml's root node must be 'Tidewell'"});
  if (req.root() == nullptr) return -1;
  xmlNode* list = xml_find_child(req.root(), "BackupList");
  if (list == nullptr) {
    HM_LOG(LOG_ERR, "Failed to retrieve node BackupList.");
    return -1;
  }
  for (xmlNode* cur = list->children; cur != nullptr; cur = cur->next) {
    if (!qor_xml_named(cur, "Backup")) {
      HM_LOG(LOG_WARNING, "Unexpected node %s.", reinterpret_cast<const char*>(cur->name));
      continue;
    }
    QorText guid = prop(cur, "SrcGUID");
    if (guid == nullptr) {
      HM_LOG(LOG_WARNING, "Missing property SrcGUID.");
      continue;
    }
    HM_LOG(LOG_INFO, "Got source disk %s.", guid.get());
    if (append_guid(guids, guid.get()) == nullptr) {
      HM_LOG(LOG_ERR, "Failed to allocate memory for backup disks.");
      return -1;
    }
  }
  return 0;
}

int xml_to_bg_info(char* guid, char* grp, const char* xml) {
  if (xml == nullptr || guid == nullptr || grp == nullptr) return -1;
  QorRequest req(xml, kQorDocTexts);
  if (req.root() == nullptr) return -1;
  xmlNode* rem = req.first_child("RemBGDisk");
  if (rem != nullptr) {
    QorText name = prop(rem, "BGName");
    QorText src = prop(rem, "SrcGUID");
    // Both are checked before either buffer changes.
    if (!fits_arg(name.get(), "BGName") || !fits_arg(src.get(), "SrcGUID")) return -1;
    if (name != nullptr) copy_arg(grp, name.get(), "BGName");
    if (src != nullptr) copy_arg(guid, src.get(), "SrcGUID");
  }
  HM_LOG(LOG_DEBUG, "xml_to_bg_info:group(%.511s) guid(%.511s)", grp, guid);
  return 0;
}

int xml_to_volname(const char* xml, char* src_guid, char* dest_guid) {
  if (xml == nullptr || src_guid == nullptr || dest_guid == nullptr) return -1;
  QorRequest req(xml, kQorDocTexts);
  if (req.root() == nullptr) return -1;
  xmlNode* backup = req.first_child("Backup");
  if (backup == nullptr) return 0;
  QorText src = prop(backup, "SrcGUID");
  QorText dest = prop(backup, "DestGUID");
  std::unique_ptr<char, decltype(&free)> mirror(dest != nullptr ? zel_guid(dest.get()) : nullptr,
                                                free);
  // Both are checked before either buffer changes.
  if (!fits_arg(src.get(), "SrcGUID") || !fits_arg(mirror.get(), "DestGUID")) return -1;
  if (src != nullptr) copy_arg(src_guid, src.get(), "SrcGUID");
  if (mirror != nullptr) copy_arg(dest_guid, mirror.get(), "DestGUID");
  return 0;
}

backup_group* xml_to_del_grp(const char* xml, int* is_cluster) {
  if (xml == nullptr) return nullptr;
  QorRequest req(xml, {"Failed to parse xml buffer.", "Failed to retrieve root element.",
                    "Unexpected root element."});
  if (req.root() == nullptr) return nullptr;
  xmlNode* del = xml_find_child(req.root(), "BGDelete");
  if (del == nullptr) {
    HM_LOG(LOG_ERR, "Failed to retrieve node BGDelete");
    return nullptr;
  }
  QorText name = prop(del, "BGName");
  if (name == nullptr) {
    HM_LOG(LOG_ERR, "Missing property BGName.");
    return nullptr;
  }
  backup_group* grp = new_group();
  if (grp == nullptr) {
    HM_LOG(LOG_ERR, "Failed to allocate memory for group.");
    return nullptr;
  }
  grp->name = name.release();
  set_flag(is_cluster, cluster_flag(del));
  return grp;
}

int xml_to_snap_guid(const char* xml, char** source, int* source_type, int* is_cluster) {
  if (xml == nullptr) return -1;
  QorRequest req(xml, {"Failed to parse xml document", "Failed to retrieve root element of the XML doc.",
                    "Error: xml's root node must be 'Tidewell'"});
  return read_snap(req, source, source_type, is_cluster,
                   "Failed to retrieve node Snap from XML request.", true);
}

int xml_zel_to_snapshot(const char* xml, char** source, int* source_type, int* is_cluster) {
  if (xml == nullptr) return -1;
  QorRequest req(xml, {"Failed to parse xml document", "Failed to retrieve root element of the XML doc.",
                    "Error :xml's root node must be 'Tidewell'."});
  return read_snap(req, source, source_type, is_cluster, "Failed to retrieve node Snap.", false);
}

int xml_to_snap_vol_guid(const char* xml, struct list_head* guids) {
  // Initialised before anything can fail, so the caller may release the
  // list whatever the result.
  if (guids != nullptr) INIT_LIST_HEAD(guids);
  if (xml == nullptr) {
    HM_LOG(LOG_ERR, "Null xml doc.");
    return -1;
  }
  if (guids == nullptr) {
    HM_LOG(LOG_ERR, "Null list of guids.");
    return -1;
  }
  QorRequest req(xml, kQorDocTexts);
  if (req.root() == nullptr) return -1;
  for (xmlNode* cur = req.root()->children; cur != nullptr; cur = cur->next) {
    if (!qor_xml_named(cur, "Snap")) continue;
    QorText vol = prop(cur, "SnapVolGUID");
    if (vol == nullptr) {
      HM_LOG(LOG_ERR, "Node Snap doesn't contain SnapVolGUID property, ignore!");
      continue;
    }
    guid_entry* entry = append_guid(guids, vol.get());
    if (entry == nullptr) {
      HM_LOG(LOG_ERR, "Failed to allocate memory for extracting snapshots' guids.");
      return -1;
    }
    HM_LOG(LOG_DEBUG, "Extracted GUID: %s", vol.get());
    to_brace_guid(&entry->guid);
  }
  return 0;
}

char* xml_to_instance_name(const char* xml, int* is_cluster) {
  if (xml == nullptr) return nullptr;
  QorRequest req(xml, kQorDocTexts);
  if (req.root() == nullptr) return nullptr;
  set_flag(is_cluster, 0);
  xmlNode* del = xml_find_child(req.root(), "DBCfgDel");
  if (del == nullptr) {
    HM_LOG(LOG_ERR, "Failed to retrieve node DBCfgDel.");
    return nullptr;
  }
  char* name = qor_xml_prop(del, "InstanceName");
  set_flag(is_cluster, cluster_flag(del));
  HM_LOG(LOG_DEBUG, "xml_to_instance_name:%s", shown(name));
  return name;
}

void xml_to_pair(char* server_id, char* client_id, const char* xml) {
  if (xml == nullptr || server_id == nullptr || client_id == nullptr) {
    HM_LOG(LOG_ERR, "Invalid input parameter");
    return;
  }
  QorRequest req(xml, kQorDocTexts);
  if (req.root() == nullptr) return;
  for (xmlNode* cur = req.root()->children; cur != nullptr; cur = cur->next) {
    char* buf = qor_xml_named(cur, "Server") ? server_id
                : qor_xml_named(cur, "Client") ? client_id
                                                : nullptr;
    if (buf == nullptr) continue;
    QorText id = prop(cur, "ID");
    // The last ID of the document counts; one that cannot be held leaves no
    // earlier one standing in its place.
    if (id != nullptr && !copy_arg(buf, id.get(), "ID")) buf[0] = '\0';
  }
}

int xml_to_cdpsch_list(const char* xml, struct list_head* schs, qor_schedule* sched, char* grp) {
  if (xml == nullptr || schs == nullptr || sched == nullptr) {
    HM_LOG(LOG_ERR, "Error, empty XML doc.");
    return -1;
  }
  if (grp == nullptr) {
    HM_LOG(LOG_ERR, "Parameter grp is null, it must be initialized.");
    return -1;
  }
  QorRequest req(xml, {"Failed to parse xml document", "Failed to retrieve root element.",
                    "Error: Unexpected root element."});
  if (req.root() == nullptr) return -1;
  xmlNode* list = xml_find_child(req.root(), "BackupList");
  xmlNode* schedule = xml_find_child(req.root(), "Schedule");
  if (list == nullptr || schedule == nullptr) {
    HM_LOG(LOG_ERR, "Failed to retrieve node BackupList or Schedule.");
    return -1;
  }
  static constexpr struct {
    const char* name;
    const char* missing;
  } kSchedAttrs[] = {
      {"StartTime", "Failed to get StartTime property."},
      {"IntervalSeconds", "Failed to get IntervalSeconds property."},
      {"Source", "Failed to get Source property."},
      {"SourceType", "Failed to get SourceType property."},
  };
  QorText attrs[4];
  for (int i = 0; i < 4; i++) {
    attrs[i] = prop(schedule, kSchedAttrs[i].name);
    if (attrs[i] == nullptr) {
      HM_LOG(LOG_ERR, "%s", kSchedAttrs[i].missing);
      return -1;
    }
  }
  const char* source = attrs[2].get();
  sched->start_time = qor_dec_u64(attrs[0].get());
  sched->interval = qor_dec_u32(attrs[1].get());
  int type = qor_dec_i32(attrs[3].get());
  HM_LOG(LOG_INFO, "Schedule dumped: start time: %lu, interval: %u, source type: %d.",
         static_cast<unsigned long>(sched->start_time), sched->interval, type);
  if (type == QOR_SOURCE_GROUP) {
    if (!copy_arg(grp, source, "Source")) return -1;
    HM_LOG(LOG_INFO, "Add backup for group: %s.", source);
  } else {
    grp[0] = '\0';
    HM_LOG(LOG_INFO, "Add backup for single disk: %s.", source);
  }
  for (xmlNode* cur = list->children; cur != nullptr; cur = cur->next) {
    if (!qor_xml_named(cur, "Backup")) {
      HM_LOG(LOG_WARNING, "Unknown backup node.");
      continue;
    }
    cdpsch* sch = static_cast<cdpsch*>(calloc(1, sizeof(*sch)));
    if (sch == nullptr) {
      HM_LOG(LOG_ERR, "Failed to allocate memory for CDP schedule.");
      continue;
    }
    sch->local_guid = qor_xml_prop(cur, "SrcGUID");
    QorText zel = prop(cur, "ZelGUID");
    if (zel != nullptr) {
      sch->mirror_guid = zel_guid(zel.get());
      HM_LOG(LOG_INFO, "Got ZEL GUID: %s.", shown(sch->mirror_guid));
    }
    HM_LOG(LOG_INFO, "Read disk to be protected, local: %s, mirror: %s.", shown(sch->local_guid),
           shown(sch->mirror_guid));
    list_add_tail(&sch->list, schs);
  }
  HM_LOG(LOG_INFO, "Retrieving CDP schedule for specified disks.");
  struct list_head* pos;
  list_for_each(pos, schs) {
    cdpsch* sch = list_entry(pos, cdpsch, list);
    sch->start_time = sched->start_time;
    sch->interval = sched->interval;
  }
  HM_LOG(LOG_INFO, "CDP schedule retrieved.");
  return 0;
}
