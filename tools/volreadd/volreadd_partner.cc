// Finding the other disk of a protection among the host's block devices:
// a mirror by its SCSI GUID, a primary by its signature GUID.
#include <stdio.h>
#include <string.h>

extern "C" {
#include <sysfs/libsysfs.h>
}

#include "volreadd.h"
#include "mirapi/disk_id.h"
#include "mirapi/scsi.h"
#include "mirapi/util.h"

namespace {

bool never_a_disk(const char* name) {
  return strncmp(name, "md", 2) == 0 || strncmp(name, "ram", 3) == 0 ||
         strncmp(name, "loop", 4) == 0 || strncmp(name, "sr", 2) == 0;
}

bool is_mirror_match(const hm_reg_entry* e, const char* path) {
  if (volume_from_zelsolution(path) == 0) return false;
  char guid[HM_NAME_LEN] = {};
  if (hm_scsi_get_guid(path, guid, sizeof(guid)) != 0) {
    puts("\033[1;31mFailed to get disk guid\033[0m");
    return false;
  }
  if (strcmp(guid, e->mirror->guid) != 0) return false;
  printf("mirror:%s(old) => %s(new)\n", e->mirror->name, path);
  return true;
}

bool is_primary_match(const hm_reg_entry* e, const char* path) {
  if (volume_from_zelsolution(path) != 0) return false;
  uint32_t signature;
  if (get_volume_signature(path, &signature) != 0) {
    puts("Failed to get disk signature");
    return false;
  }
  char guid[HM_NAME_LEN] = {};
  signature_to_uuid(signature, guid);
  if (strcmp(guid, e->primary->guid) != 0) return false;
  if (strcmp(path, e->mirror->name) == 0) return false;
  printf("primary: %s(old) => %s(new)\n", e->primary->name, path);
  return true;
}

// The module leaves a member whose path ends in "?" closed.
void mark_missing(char* name) {
  size_t n = strlen(name);
  if (n > 0 && name[n - 1] == '?') return;
  if (n + 1 < HM_NAME_LEN) {
    name[n] = '?';
    name[n + 1] = '\0';
  }
}

}  // namespace

int find_partner_disk(hm_reg_entry* entry, int side) {
  struct sysfs_class* cls = sysfs_open_class("block");
  if (cls == nullptr) return -1;
  struct dlist* devs = sysfs_get_class_devices(cls);
  if (devs == nullptr) {
    sysfs_close_class(cls);
    return -1;
  }

  // A new primary looks for its mirror, a new mirror for its primary.
  hm_reg_disk* searched = side == HM_SIDE_PRIMARY ? entry->mirror : entry->primary;
  bool found = false;
  struct sysfs_class_device* dev;
  dlist_for_each_data(devs, dev, struct sysfs_class_device) {
    char path[HM_NAME_LEN];
    if (snprintf(path, sizeof(path), "/dev/%s", dev->name) >=
        static_cast<int>(sizeof(path)))
      continue;
    if (!filepresent(path) || never_a_disk(dev->name)) continue;
    found = side == HM_SIDE_PRIMARY ? is_mirror_match(entry, path)
                                    : is_primary_match(entry, path);
    if (found) {
      snprintf(searched->name, sizeof(searched->name), "%s", path);
      break;
    }
  }
  sysfs_close_class(cls);
  if (found) return 0;

  mark_missing(searched->name);
  printf("failed to get primary disk:%s\n", entry->primary->name);
  return -1;
}
