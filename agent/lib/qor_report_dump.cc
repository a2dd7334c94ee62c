// Debug dumps of the inventory record: the client report's elements written
// by hand, one element a line, for a reader of the log rather than for the
// server.
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "mirapi/log.h"
#include "qor_report.h"
#include "qor_report_attrs.h"
#include "zel/zel_app.h"

namespace {

std::string escaped(const std::string& value) {
  std::string out;
  for (char c : value) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

// Element lines, two spaces of indentation a level.
class HandXml {
 public:
  // "<name a="v" ...>" (or "/>" for an element without children).
  void open(int depth, const char* name, const QorAttrs& attrs, bool empty) {
    text_.append(2 * depth, ' ');
    text_ += "<";
    text_ += name;
    for (const QorAttr& a : attrs) text_ += std::string(" ") + a.name + "=\"" + escaped(a.value) + "\"";
    text_ += empty ? "/>\n" : ">\n";
  }
  void close(int depth, const char* name) {
    text_.append(2 * depth, ' ');
    text_ += std::string("</") + name + ">\n";
  }
  // The text logged behind "###" and handed to the caller.
  char* done() const {
    char* copy = strdup(text_.c_str());
    if (copy == nullptr) {
      HM_LOG(LOG_ERR, "Failed to allocate memory");
      return nullptr;
    }
    HM_LOG(LOG_DEBUG, "###\n%s", copy);
    return copy;
  }

 private:
  std::string text_;
};

// A list element whose entries are one element each, without children.
template <typename T, QorAttrs (*attrs_of)(const T*)>
char* flat_list(const char* list_name, const QorAttrs& list_attrs, const char* entry_name,
                const struct list_head* entries, size_t node_offset) {
  HandXml x;
  x.open(0, list_name, list_attrs, false);
  const struct list_head* pos;
  list_for_each(pos, entries) {
    const T* entry = reinterpret_cast<const T*>(reinterpret_cast<const char*>(pos) - node_offset);
    x.open(1, entry_name, attrs_of(entry), true);
  }
  x.close(0, list_name);
  return x.done();
}

}  // namespace

char* xml_print_simple_client(const qor_client* client) {
  if (client == nullptr) return nullptr;
  HandXml x;
  x.open(0, "Client", qor_client_attrs(client), true);
  return x.done();
}

char* xml_print_disks(const qor_client* client) {
  if (client == nullptr) return nullptr;
  HandXml x;
  x.open(0, "DiskList", {}, false);
  const struct list_head* pos;
  list_for_each(pos, &client->disks) {
    const qor_disk* disk = list_entry(pos, qor_disk, list);
    const bool no_parts = list_empty(&disk->parts);
    x.open(1, "Disk", qor_disk_attrs(disk), no_parts);
    const struct list_head* ppos;
    list_for_each(ppos, &disk->parts) {
      x.open(2, "Partition", qor_part_attrs(list_entry(ppos, qor_part, list)), true);
    }
    if (!no_parts) x.close(1, "Disk");
  }
  x.close(0, "DiskList");
  return x.done();
}

char* xml_print_channels(const qor_client* client) {
  if (client == nullptr) return nullptr;
  return flat_list<qor_channel, qor_channel_attrs>("ChannelList", {}, "Channel",
                                                   &client->channels, offsetof(qor_channel, list));
}

char* xml_print_backups(const qor_client* client) {
  if (client == nullptr) return nullptr;
  return flat_list<qor_backup, qor_backup_attrs>("BackupList", {}, "Backup", &client->backups,
                                                 offsetof(qor_backup, list));
}

char* xml_print_databases(const qor_client* client) {
  if (client == nullptr) return nullptr;
  return flat_list<ZelApp, qor_database_attrs>("DataBaseList", {{"ConfiguredBy", "0"}}, "DataBase",
                                               &client->apps, offsetof(ZelApp, node));
}
