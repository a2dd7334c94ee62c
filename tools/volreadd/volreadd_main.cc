// The main flow: identify the added disk, find its protection, re-register.
#include <stdio.h>
#include <string.h>

#include "volreadd.h"
#include "mirapi/disk_id.h"
#include "mirapi/log.h"
#include "mirapi/scsi.h"

namespace {

// Messages of the main flow are logged under the name "main".
const char kFunc[] = "main";

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
    snprintf(own->name, sizeof(own->name), "%s", disk.name);
    find_partner_disk(entry, side);
    printf("primary:%s  mirror:%s\n", entry->primary->name, entry->mirror->name);
    log_write(LOG_INFO, kFunc, __LINE__, "%s primary:%s  mirror:%s\n", kFunc,
              entry->primary->name, entry->mirror->name);
    if (readd_protection(entry) != 0) {
      puts("Inform Kernel failed");
      log_write(LOG_INFO, kFunc, __LINE__, "%s Inform Kernel failed\n", kFunc);
    } else {
      printf("Inform Kernel successfully");
      log_write(LOG_INFO, kFunc, __LINE__, "%s Inform Kernel successfully", kFunc);
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
