// g_client itself, its lock, the mirror lookup among its relationships and
// the release of the inventory records.
#include "qor_client.h"

#include <stdlib.h>
#include <string.h>

#include "mirapi/log.h"
#include "qor_list.h"

qor_client g_client = {
    .id = nullptr,
    .hostname = nullptr,
    .alias = nullptr,
    .os_version = nullptr,
    .system_type = 0,
    .dboem = 0,
    .disk_num = 0,
    .ips = LIST_HEAD_INIT(g_client.ips),
    .disks = LIST_HEAD_INIT(g_client.disks),
    .channels = LIST_HEAD_INIT(g_client.channels),
    .backups = LIST_HEAD_INIT(g_client.backups),
    .apps = LIST_HEAD_INIT(g_client.apps),
    .lock = PTHREAD_MUTEX_INITIALIZER,
    .disk_num_lock = PTHREAD_MUTEX_INITIALIZER,
};

void g_client_lock(void) { pthread_mutex_lock(&g_client.lock); }
void g_client_unlock(void) { pthread_mutex_unlock(&g_client.lock); }
qor_client* g_client_get(void) { return &g_client; }
void g_client_put(qor_client* /*client*/) {}

char* get_mirror_guid_of_local(const char* local_guid, const qor_client* client) {
  HM_LOG(LOG_INFO, "Searching for the mirror GUID of local disk %s.", local_guid);
  if (local_guid == nullptr || client == nullptr) return nullptr;
  struct list_head* pos;
  list_for_each(pos, &client->backups) {
    const qor_backup* bk = list_entry(pos, qor_backup, list);
    if (strcmp(bk->src_guid, local_guid) != 0) continue;
    HM_LOG(LOG_INFO, "Found mirror %s.", bk->dest_guid);
    char* guid = static_cast<char*>(calloc(1, QOR_GUID_FIELD));
    if (guid == nullptr) {
      HM_LOG(LOG_ERR, "Failed to allocate memory for disk GUID.");
      return nullptr;
    }
    // The field is one byte longer than what it may hold; strnlen keeps an
    // unterminated field from running past the record.
    memcpy(guid, bk->dest_guid, strnlen(bk->dest_guid, QOR_GUID_FIELD - 1));
    HM_LOG(LOG_INFO, "Mirror GUID %s retrieved.", guid);
    return guid;
  }
  return nullptr;
}

void partition_free(qor_part* part) {
  if (part == nullptr) return;
  free(part->name);
  free(part->guid);
  free(part->fs);
  free(part);
}

void disk_free(qor_disk* disk) {
  if (disk == nullptr) return;
  free(disk->name);
  free(disk->path);
  free(disk->guid);
  free(disk->fs);
  free(disk->vendor);
  QOR_LIST_FREE(&disk->parts, qor_part, list, partition_free);
  free(disk);
}

void disk_list_free(struct list_head* list) { QOR_LIST_FREE(list, qor_disk, list, disk_free); }

void channel_free(qor_channel* chn) {
  if (chn == nullptr) return;
  free(chn->initiator);
  free(chn->target);
  free(chn);
}

void channel_list_free(struct list_head* list) { QOR_LIST_FREE(list, qor_channel, list, channel_free); }

void backup_list_free(struct list_head* list) { QOR_LIST_FREE(list, qor_backup, list, free); }

void client_free(qor_client* client) {
  if (client == nullptr) return;
  // id is the configuration's client GUID, freed with the qor_t.
  free(client->hostname);
  free(client->alias);
  free(client->os_version);
  ip_list_free(&client->ips);
  disk_list_free(&client->disks);
  channel_list_free(&client->channels);
  backup_list_free(&client->backups);
  app_list_free(&client->apps);
  pthread_mutex_destroy(&client->lock);
  pthread_mutex_destroy(&client->disk_num_lock);
  free(client);
}
