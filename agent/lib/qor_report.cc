// The client report.
#include "qor_report.h"

#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "mirapi/log.h"
#include "qor_inventory.h"
#include "qor_report_attrs.h"
#include "qor_xml.h"
#include "zel/zel_app.h"

namespace {

// The fixed text fields of a relationship are filled by the inventory; they
// are read only up to their size.
template <size_t N>
std::string field(const char (&f)[N]) {
  return std::string(f, strnlen(f, N));
}

const char* shown(const char* text) { return text != nullptr ? text : "(null)"; }

// A LUN of the maker's storage that is the mirror of one of the host's own
// protections is not offered to the server as a disk.
bool is_mirror_lun(const qor_disk* disk, const qor_client* client) {
  if (!disk->on_storage || disk->guid == nullptr) return false;
  struct list_head* pos;
  list_for_each(pos, &client->backups) {
    if (field(list_entry(pos, qor_backup, list)->dest_guid) == disk->guid) return true;
  }
  return false;
}

std::string text_of(const char* text) { return text != nullptr ? text : ""; }

void put(QorDocBuilder& b, xmlNode* n, const QorAttrs& attrs) {
  for (const QorAttr& a : attrs) b.attr(n, a.name, a.value.c_str());
}

void add_disks(QorDocBuilder& b, xmlNode* client_node, const qor_client* client) {
  xmlNode* list = b.child(client_node, "DiskList");
  struct list_head* pos;
  list_for_each(pos, &client->disks) {
    const qor_disk* disk = list_entry(pos, qor_disk, list);
    if (disk->state == 0) continue;
    if (is_mirror_lun(disk, client)) {
      HM_LOG(LOG_DEBUG, "'%s' is hostmirror backup device, ignore it", shown(disk->path));
      continue;
    }
    xmlNode* n = b.child(list, "Disk");
    put(b, n, qor_disk_attrs(disk));
    struct list_head* ppos;
    list_for_each(ppos, &disk->parts) {
      put(b, b.child(n, "Partition"), qor_part_attrs(list_entry(ppos, qor_part, list)));
    }
  }
  b.child(list, "Volume");
}

// The report's WWN field is 512 bytes; a port name whose text would not fit
// gives the empty text, as an unreadable one does.
std::string wwn_text(const char* port_name) {
  char buf[512] = {0};
  wwn_to_colon(buf, sizeof(buf), port_name);
  return buf;
}

void add_channels(QorDocBuilder& b, xmlNode* client_node, const qor_client* client) {
  xmlNode* list = b.child(client_node, "ChannelList");
  struct list_head* pos;
  list_for_each(pos, &client->channels) {
    put(b, b.child(list, "Channel"), qor_channel_attrs(list_entry(pos, qor_channel, list)));
  }
}

void add_backups(QorDocBuilder& b, xmlNode* client_node, const qor_client* client) {
  xmlNode* list = b.child(client_node, "BackupList");
  struct list_head* pos;
  list_for_each(pos, &client->backups) {
    put(b, b.child(list, "Backup"), qor_backup_attrs(list_entry(pos, qor_backup, list)));
  }
}

void add_databases(QorDocBuilder& b, xmlNode* client_node, const qor_client* client) {
  xmlNode* list = b.child(client_node, "DataBaseList");
  b.attr(list, "ConfiguredBy", "0");
  struct list_head* pos;
  list_for_each(pos, &client->apps) {
    put(b, b.child(list, "DataBase"), qor_database_attrs(list_entry(pos, ZelApp, node)));
  }
}

// The name of the first disk of the host with that GUID, or null.
const char* disk_name_of(const qor_client* client, const char* guid) {
  struct list_head* pos;
  list_for_each(pos, &client->disks) {
    const qor_disk* disk = list_entry(pos, qor_disk, list);
    if (disk->guid == nullptr) {
      HM_LOG(LOG_WARNING, "Error, unable to read the GUID of disk %s.", shown(disk->name));
      continue;
    }
    if (strcmp(disk->guid, guid) == 0) return disk->name != nullptr ? disk->name : "";
  }
  return nullptr;
}

void add_groups(QorDocBuilder& b, xmlNode* client_node, const qor_client* client,
                const struct list_head* groups) {
  xmlNode* list = b.child(client_node, "GroupList");
  struct list_head* pos;
  list_for_each(pos, groups) {
    const backup_group* grp = list_entry(pos, backup_group, list);
    xmlNode* n = b.child(list, "Group");
    b.attr(n, "GroupName", grp->name);
    b.attrf(n, "StartTimestamp", "%lu", static_cast<unsigned long>(grp->con_start_time));
    b.attrf(n, "IntervalTime", "%u", grp->interval);
    b.attr(n, "IsCluster", "0");
    b.attr(n, "DiskType", "1");
    b.attr(n, "Active", "1");
    struct list_head* mpos;
    list_for_each(mpos, &grp->members) {
      const guid_entry* member = list_entry(mpos, guid_entry, list);
      xmlNode* d = b.child(n, "Disk");
      b.attr(d, "GUID", member->guid);
      const char* name = member->guid != nullptr ? disk_name_of(client, member->guid) : nullptr;
      if (name != nullptr) b.attr(d, "Name", name);
    }
  }
}

backup_group* copy_group(const backup_group* grp) {
  backup_group* copy = static_cast<backup_group*>(calloc(1, sizeof(*copy)));
  if (copy == nullptr) return nullptr;
  INIT_LIST_HEAD(&copy->members);
  copy->con_start_time = grp->con_start_time;
  copy->start_time = grp->start_time;
  copy->interval = grp->interval;
  bool ok = grp->name == nullptr || (copy->name = strdup(grp->name)) != nullptr;
  struct list_head* pos;
  list_for_each(pos, &grp->members) {
    if (!ok) break;
    const guid_entry* member = list_entry(pos, guid_entry, list);
    guid_entry* m = static_cast<guid_entry*>(calloc(1, sizeof(*m)));
    ok = m != nullptr && (member->guid == nullptr || (m->guid = strdup(member->guid)) != nullptr);
    if (m != nullptr) list_add_tail(&m->list, &copy->members);
  }
  if (!ok) {
    backup_grp_free(copy);
    return nullptr;
  }
  return copy;
}

}  // namespace

QorAttrs qor_client_attrs(const qor_client* client) {
  char ips[QOR_IP_TEXT_SIZE];
  qor_ip_text(&client->ips, ips);
  char host[512] = {0};
  if (gethostname(host, sizeof(host) - 1) != 0) host[0] = '\0';
  char* bits = dboem_to_bits(client->dboem);
  HM_LOG(LOG_DEBUG, "DBOEM: %s", shown(bits));
  QorAttrs attrs{{"Name", text_of(client->hostname)},
                 {"IPs", ips},
                 {"HostName", host},
                 {"SystemType", std::to_string(static_cast<int>(client->system_type))},
                 {"SysVersion", text_of(client->os_version)},
                 {"ID", text_of(client->id)},
                 {"DBOEM", text_of(bits)}};
  free(bits);
  return attrs;
}

QorAttrs qor_disk_attrs(const qor_disk* disk) {
  return {{"Name", text_of(disk->name)},
          {"Size", std::to_string(static_cast<unsigned long>(disk->size))},
          {"Type", std::to_string(disk->part_type)},
          {"Used", std::to_string(static_cast<unsigned long>(disk->used))},
          {"Guid", text_of(disk->guid)},
          {"FS", text_of(disk->fs)},
          {"State", std::to_string(disk->state)},
          {"Vendor", text_of(disk->vendor)},
          {"SysDisk", disk->path != nullptr && is_boot_dev(disk->path) ? "1" : "0"}};
}

QorAttrs qor_part_attrs(const qor_part* part) {
  return {{"Name", text_of(part->name)},
          {"Index", std::to_string(part->index)},
          {"Size", std::to_string(static_cast<unsigned long>(part->size))},
          {"Used", std::to_string(static_cast<unsigned long>(part->used))},
          {"Guid", text_of(part->guid)},
          {"FS", text_of(part->fs)},
          {"State", std::to_string(part->state)}};
}

QorAttrs qor_channel_attrs(const qor_channel* chn) {
  if (chn->type == QOR_CHANNEL_ISCSI)
    return {{"Type", "ISCSI"},
            {"InitiatorIqn", text_of(chn->initiator)},
            {"TargetIqn", text_of(chn->target)}};
  if (chn->type == QOR_CHANNEL_FC)
    return {{"Type", "FC"},
            {"InitiatorWWN", wwn_text(chn->initiator)},
            {"TargetWWN", wwn_text(chn->target)}};
  return {};
}

QorAttrs qor_backup_attrs(const qor_backup* bk) {
  const std::string src = field(bk->src_guid);
  return {{"Type", std::to_string(static_cast<int>(bk->type))},
          {"State", std::to_string(static_cast<int>(bk->state))},
          {"Percent", std::to_string(static_cast<int>(bk->percent))},
          {"Speed", std::to_string(bk->speed)},
          {"SrcGUID", src},
          {"SrcName", field(bk->src_name)},
          {"DestGUID", "zel_{" + field(bk->dest_guid) + "}"},
          {"StartTime", std::to_string(static_cast<unsigned long>(bk->con_start_time))},
          {"IntervalSeconds", std::to_string(bk->interval)},
          {"SrcDiskGUID", src}};
}

QorAttrs qor_database_attrs(const ZelApp* app) {
  return {{"Type", app->db_type == 1 ? "0" : "-1"},
          {"OracleHome", text_of(app->oracle_home)},
          {"InstanceName", text_of(app->instance_name)},
          {"ArchiveLog", std::to_string(app->archive_log)}};
}

char* dboem_to_bits(int32_t dboem) {
  char* bits = static_cast<char*>(calloc(33, 1));
  if (bits == nullptr) return nullptr;
  uint32_t v = static_cast<uint32_t>(dboem);
  for (int i = 0; i < 32; i++) bits[31 - i] = (v >> i) & 1 ? '1' : '0';
  return bits;
}

int wwn_to_colon(char* out, size_t size, const char* port_name) {
  if (out == nullptr || port_name == nullptr) return -1;
  size_t n = strlen(port_name);
  if (n < 3 || n % 2 != 0) return -1;
  // Pairs of the n - 2 digits joined by ":".
  size_t text_len = (n - 2) + (n - 2) / 2 - 1;
  if (text_len + 1 > size) return -1;
  size_t o = 0;
  for (size_t i = 2; i < n; i++) {
    out[o++] = port_name[i];
    if ((i - 2) % 2 == 1 && i + 1 < n) out[o++] = ':';
  }
  out[o] = '\0';
  return static_cast<int>(o);
}

char* client_to_xml(const qor_client* client, const struct list_head* groups, int full,
                    uint32_t* len) {
  if (client == nullptr) return nullptr;
  QorDocBuilder b;
  xmlNode* root = b.root();
  b.attr(root, "ClientType", "0");
  b.attr(root, "NbClients", "1");
  b.attr(root, "ClusterName", "");
  b.attr(root, "ClusterID", "");

  xmlNode* c = b.child(root, "Client");
  put(b, c, qor_client_attrs(client));
  if (full) {
    b.attr(c, "Alias", client->alias);
    add_disks(b, c, client);
    add_channels(b, c, client);
    add_backups(b, c, client);
    add_databases(b, c, client);
    if (groups != nullptr) add_groups(b, c, client, groups);
  }
  return b.dump(len);
}

int qor_copy_groups(qor_t* qor, struct list_head* out) {
  if (qor == nullptr || out == nullptr) return -1;
  int rc = 0;
  pthread_mutex_lock(&qor->mutex);
  struct list_head* pos;
  list_for_each(pos, &qor->groups) {
    backup_group* copy = copy_group(list_entry(pos, backup_group, list));
    if (copy == nullptr) {
      rc = -1;
      break;
    }
    list_add_tail(&copy->list, out);
  }
  pthread_mutex_unlock(&qor->mutex);
  if (rc != 0) {
    HM_LOG(LOG_ERR, "Failed to allocate memory");
    backup_grp_list_free(out);
  }
  return rc;
}

char* qor_client_report(qor_client* client, qor_t* qor, int full, uint32_t* len) {
  if (client == nullptr) return nullptr;
  struct list_head groups;
  INIT_LIST_HEAD(&groups);
  const bool with_groups = full && qor != nullptr;
  if (with_groups && qor_copy_groups(qor, &groups) != 0) return nullptr;
  pthread_mutex_lock(&client->lock);
  char* text = client_to_xml(client, with_groups ? &groups : nullptr, full, len);
  pthread_mutex_unlock(&client->lock);
  backup_grp_list_free(&groups);
  return text;
}
