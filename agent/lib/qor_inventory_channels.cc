// Channels of the inventory: the iSCSI session to the manager's target and
// the host's FC ports, as sysfs shows them.
#include <dirent.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "mirapi/log.h"
#include "qor_inventory.h"

namespace {

const char kSessionDir[] = "/sys/class/iscsi_session";
const char kFcHostDir[] = "/sys/class/fc_host";
const char kInitiatorFile[] = "/etc/iscsi/initiatorname.iscsi";

// The first line of a file without its line feed (the last line of a file
// may lack one); false when the file cannot be read or is empty.
bool first_line(const char* path, char* buf, int size) {
  FILE* f = fopen(path, "r");
  if (f == nullptr) return false;
  bool ok = fgets(buf, size, f) != nullptr;
  fclose(f);
  if (ok) buf[strcspn(buf, "\n")] = '\0';
  return ok;
}

int append_channel(struct list_head* chns, int type, const char* initiator, const char* target) {
  qor_channel* chn = static_cast<qor_channel*>(calloc(1, sizeof(*chn)));
  if (chn == nullptr) {
    HM_LOG(LOG_ERR, "Failed to allocate memory");
    return -1;
  }
  chn->type = type;
  chn->initiator = initiator != nullptr ? strdup(initiator) : nullptr;
  chn->target = target != nullptr ? strdup(target) : nullptr;
  if ((initiator != nullptr && chn->initiator == nullptr) ||
      (target != nullptr && chn->target == nullptr)) {
    HM_LOG(LOG_ERR, "Failed to allocate memory");
    channel_free(chn);
    return -1;
  }
  list_add_tail(&chn->list, chns);
  return 0;
}

int entries_in(const struct list_head* list) {
  int n = 0;
  const struct list_head* pos;
  list_for_each(pos, list) n++;
  return n;
}

// Appends one FC channel per port of the host whose port name reads
// non-empty.  0, -1 when a record cannot be allocated, an errno when the
// ports cannot be listed.
int append_fc_ports(struct list_head* chns) {
  struct list_head ports;
  INIT_LIST_HEAD(&ports);
  int rc = get_links_in_dir(&ports, kFcHostDir);
  if (rc != 0) return rc;
  struct list_head* pos;
  list_for_each(pos, &ports) {
    const qor_link* port = list_entry(pos, qor_link, list);
    char path[QOR_TEXT_SIZE], wwn[QOR_TEXT_SIZE];
    if (snprintf(path, sizeof path, "%s/%s", port->path, "port_name") >= static_cast<int>(sizeof path))
      continue;
    if (sysfs_read_attribute(wwn, path) <= 0) continue;
    if (append_channel(chns, QOR_CHANNEL_FC, wwn, nullptr) != 0) {
      rc = -1;
      break;
    }
  }
  link_list_free(&ports);
  return rc;
}

// Appends one iSCSI channel per "InitiatorName=" line of the initiator file.
// The number appended, or -1 when the file cannot be read or a record cannot
// be allocated.
int append_initiator_names(struct list_head* chns) {
  FILE* f = fopen(kInitiatorFile, "r");
  if (f == nullptr) return -1;
  int appended = 0;
  char line[QOR_TEXT_SIZE], name[QOR_TEXT_SIZE];
  while (read_line(f, line, sizeof line) >= 0) {
    if (sscanf(line, "InitiatorName=%511s", name) != 1) continue;
    if (append_channel(chns, QOR_CHANNEL_ISCSI, name, nullptr) != 0) {
      appended = -1;
      break;
    }
    appended++;
  }
  fclose(f);
  return appended;
}

}  // namespace

int _is_iscsi_ssn_exist(const char* iqn) {
  if (iqn == nullptr) return 0;
  if (access(kSessionDir, F_OK) != 0) {
    HM_LOG(LOG_WARNING, "Failed to access session file.");
    return 0;
  }
  DIR* d = opendir(kSessionDir);
  if (d == nullptr) {
    HM_LOG(LOG_ERR, "Failed to open dir:%s", kSessionDir);
    return 0;
  }
  int found = 0;
  while (!found) {
    struct dirent* e = readdir(d);
    if (e == nullptr) break;
    if (strncmp(e->d_name, "session", 7) != 0) continue;
    char path[QOR_TEXT_SIZE], name[QOR_TEXT_SIZE];
    if (snprintf(path, sizeof path, "%s/%s/%s", kSessionDir, e->d_name, "targetname") >=
        static_cast<int>(sizeof path))
      continue;
    if (first_line(path, name, sizeof name) && strcmp(name, iqn) == 0) found = 1;
  }
  closedir(d);
  return found;
}

char* get_iscsi_initiator(void) {
  char line[QOR_TEXT_SIZE];
  if (!first_line(kInitiatorFile, line, sizeof line)) return nullptr;
  char* name = static_cast<char*>(calloc(1, QOR_TEXT_SIZE));
  if (name == nullptr) {
    HM_LOG(LOG_ERR, "Failed to allocate memory");
    return nullptr;
  }
  if (sscanf(line, "InitiatorName=%511s", name) != 1) {
    free(name);
    return nullptr;
  }
  return name;
}

int qor_get_chns_lock(qor_t* qor, struct list_head* chns, pthread_mutex_t* mutex) {
  if (qor == nullptr || chns == nullptr) return 0;
  // The target's name is copied out so that sysfs is read without the
  // configuration lock.
  char iqn[QOR_TEXT_SIZE] = {0};
  bool managed;
  if (mutex != nullptr) pthread_mutex_lock(mutex);
  managed = qor_is_protected(qor) == 1;
  if (managed && qor->manager->target_iqn != nullptr)
    snprintf(iqn, sizeof iqn, "%s", qor->manager->target_iqn);
  if (mutex != nullptr) pthread_mutex_unlock(mutex);
  if (!managed) return 0;

  if (iqn[0] != '\0' && _is_iscsi_ssn_exist(iqn)) {
    char* initiator = get_iscsi_initiator();
    int rc = append_channel(chns, QOR_CHANNEL_ISCSI, initiator, iqn);
    free(initiator);
    if (rc != 0) return -1;
  }

  if (access(kFcHostDir, F_OK) != 0) return 0;
  return append_fc_ports(chns);
}

int qor_get_inis(struct list_head* inis) {
  if (inis == nullptr) return -1;
  const int before = entries_in(inis);
  if (access(kFcHostDir, F_OK) != 0 || append_fc_ports(inis) != 0)
    HM_LOG(LOG_WARNING, "Failed to get wwn");
  if (append_initiator_names(inis) <= 0) HM_LOG(LOG_WARNING, "Failed to get iqn");
  return entries_in(inis) - before;
}
