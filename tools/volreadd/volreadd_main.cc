// The main flow: identify the added disk, find its protection, re-register.
#include <stdio.h>
#include <string.h>

#include "volreadd.h"
#include "disk_id_internal.h"
#include "mirapi/disk_id.h"
#include "mirapi/log.h"
#include "mirapi/scsi.h"
#include "mirapi/util.h"

namespace {

// Messages of the main flow are logged under the name "main".
const char kFunc[] = "main";

// Whether an existing device path names a whole disk: /sys/block lists it
// (a "/" below /dev as "!").  A partition answers SCSI commands as its disk
// does, so it would be taken for the disk and written at its own offset.
bool whole_disk(const char* path) {
  if (strncmp(path, "/dev/", 5) != 0) return false;
  char sys[HM_NAME_LEN + 16];
  int n = snprintf(sys, sizeof(sys), "/sys/block/%s", path + 5);
  if (n < 0 || static_cast<size_t>(n) >= sizeof(sys)) return false;
  for (char* p = sys + strlen("/sys/block/"); *p; p++)
    if (*p == '/') *p = '!';
  return filepresent(sys) == 1;
}

// A signature on two disks (a clone, a restored snapshot, a mirror whose
// INQUIRY fails) names neither of them.
bool signature_shared(const hm_reg_disk& disk) {
  uint32_t signature;
  memcpy(&signature, disk.vid, sizeof(signature));
  char first[HM_NAME_LEN] = "", second[HM_NAME_LEN] = "";
  if (mirapi::disks_with_signature(signature, first, second) < 2) return false;
  printf("\033[1;31mThe signature of %s is on %s and on %s: it identifies no disk\033[0m\n",
         disk.name, first, second);
  log_write(LOG_ERR, kFunc, __LINE__, "%s the signature of %s is on %s and on %s: nothing sent\n",
            kFunc, disk.name, first, second);
  return true;
}

void send_protection(hm_reg_entry* entry) {
  printf("primary:%s  mirror:%s\n", entry->primary->name, entry->mirror->name);
  log_write(LOG_INFO, kFunc, __LINE__, "%s primary:%s  mirror:%s\n", kFunc, entry->primary->name,
            entry->mirror->name);
  if (readd_protection(entry) != 0) {
    puts("Inform Kernel failed");
    log_write(LOG_INFO, kFunc, __LINE__, "%s Inform Kernel failed\n", kFunc);
  } else {
    printf("Inform Kernel successfully");
    log_write(LOG_INFO, kFunc, __LINE__, "%s Inform Kernel successfully", kFunc);
  }
}

}  // namespace

int volreadd_main(int argc, char** argv) {
  // The path ends up in 128-byte fields, and in the module's.
  if (argc < 2 || argv[1][0] == '\0' || strlen(argv[1]) >= HM_NAME_LEN) {
    printf("usage: volreadd DEVICE_PATH (at most %d characters)\n",
           HM_NAME_LEN - 1);
    return 0;
  }
  hm_reg_disk disk = {};
  snprintf(disk.name, sizeof(disk.name), "%s", argv[1]);
  if (filepresent(disk.name) == 1 && !whole_disk(disk.name)) {
    printf("%s is not a whole disk: ignored\n", disk.name);
    log_write(LOG_INFO, kFunc, __LINE__, "%s %s is not a whole disk: ignored\n", kFunc, disk.name);
    return 0;
  }

  int side;
  if (volume_from_zelsolution(disk.name) != 0) {
    side = HM_SIDE_MIRROR;
    if (hm_scsi_get_guid(disk.name, disk.guid, sizeof(disk.guid)) != 0) {
      puts("\033[1;31mFailed to get disk guid\033[0m");
      log_write(LOG_ERR, kFunc, __LINE__, "%s Failed to get disk guid\n", kFunc);
      return 0;
    }
    printf("Add new dev:\033[1;32m%s\033[0m, come from \033[1;32mZELSOLUTION\033[0m\n",
           disk.name);
    printf("dev:%s -- uuid:%s\n", disk.name, disk.guid);
    log_write(LOG_INFO, kFunc, __LINE__,
              "%s Add new dev:\033[1;32m%s\033[0m, come from \033[1;32mZELSOLUTION\033[0m\n",
              kFunc, disk.name);
  } else {
    side = HM_SIDE_PRIMARY;
    uint32_t signature;
    if (get_volume_signature(disk.name, &signature) != 0) {
      puts("Failed to get disk signature");
      log_write(LOG_ERR, kFunc, __LINE__, "%s Failed to get disk signature\n", kFunc);
      return 0;
    }
    memcpy(disk.vid, &signature, sizeof(signature));
    signature_to_uuid(signature, disk.guid);
    printf("Add new dev:\033[1;32m%s\033[0m, come from \033[1;32mOthers\033[0m\n",
           disk.name);
    printf("dev:%s -- uuid:%s\n", disk.name, disk.guid);
    log_write(LOG_INFO, kFunc, __LINE__,
              "%s Add new dev:\033[1;32m%s\033[0m, come from \033[1;32mOthers\033[0m\n",
              kFunc, disk.name);
  }
  log_write(LOG_INFO, kFunc, __LINE__, "%s dev:%s -- uuid:%s\n", kFunc, disk.name, disk.guid);

  LIST_HEAD(list);
  if (load_hmdevs_reg(&list) != 0) {
    puts("Failed to load conf file");
    log_write(LOG_ERR, kFunc, __LINE__, "%s Failed to load conf file\n", kFunc);
    return 0;
  }

  hm_reg_entry* entry = find_protection(&list, disk.guid, side);
  if (entry != nullptr) {
    puts("\033[1;32mFind hmdev protection\033[0m");
    log_write(LOG_INFO, kFunc, __LINE__, "%s Find hmdev protection\n", kFunc);
    hm_reg_disk* own = side == HM_SIDE_PRIMARY ? entry->primary : entry->mirror;
    if (side == HM_SIDE_PRIMARY && signature_shared(disk)) {
      // Nothing is sent until one of the disks is signed anew.
    } else {
      snprintf(own->name, sizeof(own->name), "%s", disk.name);
      if (find_partner_disk(entry, side) == HM_PARTNER_AMBIGUOUS) {
        log_write(LOG_ERR, kFunc, __LINE__, "%s the signature of primary %s is on two disks: nothing sent\n",
                  kFunc, entry->primary->guid);
      } else {
        send_protection(entry);
      }
    }
  } else {
    printf("\033[1;31mDisk %s not in protection\033[0m\n", disk.name);
    log_write(LOG_INFO, kFunc, __LINE__, "%s Disk %s not in protection\n", kFunc, disk.name);
  }

  puts("\nAll protection:");
  print_protections(&list);
  free_hmdevs_reg(&list);
  return 0;
}
