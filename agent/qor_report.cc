// The client report.
#include "qor_report.h"

#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "mirapi/log.h"
#include "qor_inventory.h"
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
    b.attr(n, "Name", disk->name);
    b.attrf(n, "Size", "%lu", static_cast<unsigned long>(disk->size));
    b.attrf(n, "Type", "%d", disk->part_type);
    b.attrf(n, "Used", "%lu", static_cast<unsigned long>(disk->used));
    b.attr(n, "Guid", disk->guid);
    b.attr(n, "FS", disk->fs);
    b.attrf(n, "State", "%d", disk->state);
    b.attr(n, "Vendor", disk->vendor);
    b.attr(n, "SysDisk", disk->path != nullptr && is_boot_dev(disk->path) ? "1" : "0");
    struct list_head* ppos;
    list_for_each(ppos, &disk->parts) {
      const qor_part* part = list_entry(ppos, qor_part, list);
      xmlNode* p = b.child(n, "Partition");
      b.attr(p, "Name", part->name);
      b.attrf(p, "Index", "%d", part->index);
      b.attrf(p, "Size", "%lu", static_cast<unsigned long>(part->size));
      b.attrf(p, "Used", "%lu", static_cast<unsigned long>(part->used));
      b.attr(p, "Guid", part->guid);
      b.attr(p, "FS", part->fs);
      b.attrf(p, "State", "%d", part->state);
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
    const qor_channel* chn = list_entry(pos, qor_channel, list);
    xmlNode* n = b.child(list, "Channel");
    if (chn->type == QOR_CHANNEL_ISCSI) {
      b.attr(n, "Type", "ISCSI");
      b.attr(n, "InitiatorIqn", chn->initiator);
      b.attr(n, "TargetIqn", chn->target);
    } else if (chn->type == QOR_CHANNEL_FC) {
      b.attr(n, "Type", "FC");
      b.attr(n, "InitiatorWWN", wwn_text(chn->initiator).c_str());
      b.attr(n, "TargetWWN", wwn_text(chn->target).c_str());
    }
  }
}

void add_backups(QorDocBuilder& b, xmlNode* client_node, const qor_client* client) {
  xmlNode* list = b.child(client_node, "BackupList");
  struct list_head* pos;
  list_for_each(pos, &client->backups) {
    const qor_backup* bk = list_entry(pos, qor_backup, list);
    const std::string src = field(bk->src_guid);
    xmlNode* n = b.child(list, "Backup");
    b.attrf(n, "Type", "%d", static_cast<int>(bk->type));
    b.attrf(n, "State", "%d", static_cast<int>(bk->state));
    b.attrf(n, "Percent", "%d", static_cast<int>(bk->percent));
    b.attrf(n, "Speed", "%d", bk->speed);
    b.attr(n, "SrcGUID", src.c_str());
    b.attr(n, "SrcName", field(bk->src_name).c_str());
    b.attr(n, "DestGUID", ("zel_{" + field(bk->dest_guid) + "}").c_str());
    b.attrf(n, "StartTime", "%lu", static_cast<unsigned long>(bk->con_start_time));
    b.attrf(n, "IntervalSeconds", "%u", bk->interval);
    b.attr(n, "SrcDiskGUID", src.c_str());
  }
}

void add_databases(QorDocBuilder& b, xmlNode* client_node, const qor_client* client) {
  xmlNode* list = b.child(client_node, "DataBaseList");
  b.attr(list, "ConfiguredBy", "0");
  struct list_head* pos;
  list_for_each(pos, &client->apps) {
    const ZelApp* app = list_entry(pos, ZelApp, node);
    xmlNode* n = b.child(list, "DataBase");
    b.attr(n, "Type", app->db_type == 1 ? "0" : "-1");
    b.attr(n, "OracleHome", app->oracle_home);
    b.attr(n, "InstanceName", app->instance_name);
    b.attrf(n, "ArchiveLog", "%d", app->archive_log);
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
  b.attr(c, "Name", client->hostname);
  char ips[QOR_IP_TEXT_SIZE];
  qor_ip_text(&client->ips, ips);
  b.attr(c, "IPs", ips);
  char host[512] = {0};
  if (gethostname(host, sizeof(host) - 1) != 0) host[0] = '\0';
  b.attr(c, "HostName", host);
  b.attrf(c, "SystemType", "%d", static_cast<int>(client->system_type));
  b.attr(c, "SysVersion", client->os_version);
  b.attr(c, "ID", client->id);
  char* bits = dboem_to_bits(client->dboem);
  HM_LOG(LOG_DEBUG, "DBOEM: %s", shown(bits));
  b.attr(c, "DBOEM", bits);
  free(bits);
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
