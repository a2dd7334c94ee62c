// Finding the other disk of a protection among the host's whole disks: a
// mirror by its SCSI GUID, a primary by its signature GUID.
#include <stdio.h>
#include <string.h>

#include "volreadd.h"
#include "disk_id_internal.h"
#include "mirapi/disk_id.h"
#include "mirapi/scsi.h"

namespace {

bool is_mirror_match(const hm_reg_entry* e, const char* path) {
  if (volume_from_zelsolution(path) == 0) return false;
  char guid[HM_NAME_LEN] = {};
  if (hm_scsi_get_guid(path, guid, sizeof(guid)) != 0) {
    puts("\033[1;31mFailed to get disk guid\033[0m");
    return false;
  }
  return strcmp(guid, e->mirror->guid) == 0;
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
  return strcmp(path, e->mirror->name) != 0;
}

struct search {
  const hm_reg_entry* entry;
  int side;                    // of the new disk
  int count;
  char found[2][HM_NAME_LEN];  // the first two matches
};

// A mirror is known by its LUN GUID: the first one is it.  A primary's
// signature must be on one disk only, so its search counts to two.
int visit(const char* path, void* arg) {
  search* s = static_cast<search*>(arg);
  bool match = s->side == HM_SIDE_PRIMARY ? is_mirror_match(s->entry, path)
                                          : is_primary_match(s->entry, path);
  if (!match) return 0;
  snprintf(s->found[s->count], HM_NAME_LEN, "%s", path);
  s->count++;
  return s->side == HM_SIDE_PRIMARY || s->count == 2;
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
  // A new primary looks for its mirror, a new mirror for its primary.
  hm_reg_disk* searched = side == HM_SIDE_PRIMARY ? entry->mirror : entry->primary;
  search s = {entry, side, 0, {{0}, {0}}};
  if (mirapi::walk_disks(true, visit, &s) != 0) return -1;
  if (s.count > 1) {
    printf("\033[1;31mprimary %s: its signature is on %s and on %s\033[0m\n", searched->name,
           s.found[0], s.found[1]);
    return HM_PARTNER_AMBIGUOUS;
  }
  if (s.count == 1) {
    printf(side == HM_SIDE_PRIMARY ? "mirror:%s(old) => %s(new)\n" : "primary: %s(old) => %s(new)\n",
           searched->name, s.found[0]);
    snprintf(searched->name, sizeof(searched->name), "%s", s.found[0]);
    return 0;
  }
  mark_missing(searched->name);
  printf("failed to get primary disk:%s\n", entry->primary->name);
  return -1;
}
