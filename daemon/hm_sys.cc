#include "hm_sys.h"

#include <dirent.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sysfs/libsysfs.h>

#include "zel/zel_outside.h"
#include "disk_id_internal.h"
#include "mirapi/disk_id.h"
#include "mirapi/scsi.h"
#include "mirapi/util.h"

namespace {

const hm_paths kPaths = {
    "/usr/local/zelmir/conf/",
    "/boot/hmdevs.reg",
    "/usr/local/zelmir/bin/update_bootimage.sh",
    "/usr/local/zelmir/conf/zelmir.conf",
    "/boot/vyrbitmap",
    "/boot",
    "/etc/ferrolux/zel.cfg",
    "/sys",
};

int guid_by_name(const char* dev, char* buf) { return get_guid_by_name(dev, buf); }

int file_exists(const char* path) { return filepresent(path); }

int for_each_block(hm_dev_visit_fn fn, void* arg) {
  struct sysfs_class* cls = sysfs_open_class("block");
  if (!cls) return -1;
  struct dlist* devs = sysfs_get_class_devices(cls);
  if (!devs) {
    sysfs_close_class(cls);
    return -2;
  }
  struct sysfs_class_device* cd;
  dlist_for_each_data(devs, cd, struct sysfs_class_device) {
    if (fn(cd->name, arg)) break;
  }
  sysfs_close_class(cls);
  return 0;
}

int for_each_disk(hm_dev_visit_fn fn, void* arg) { return mirapi::walk_disks(true, fn, arg); }

int for_each_cciss(hm_dev_visit_fn fn, void* arg) {
  DIR* d = opendir("/dev/cciss");
  if (!d) return -1;
  struct dirent* e;
  while ((e = readdir(d)) != nullptr)
    if (fn(e->d_name, arg)) break;
  closedir(d);
  return 0;
}

int run(const char* command) { return system(command); }

const hm_disk_ops kDiskOps = {
    guid_by_name,
    device_size_scsi_read_cap,
    hm_get_disk_size_via_sysfs,
    hm_check_path,
    volume_from_zelsolution,
    get_volume_signature,
    hm_scsi_get_guid,
    file_exists,
    for_each_block,
    for_each_disk,
    for_each_cciss,
    run,
};

const hm_outside_ops kOutside = {
    zel_log_init, zel_set_logdaemon, zel_set_loglevel, Zel_parse_cfgfile, zel_call_markcdp,
};

}  // namespace

hm_paths g_hm_paths = kPaths;
hm_disk_ops g_disk_ops = kDiskOps;
hm_outside_ops g_outside_ops = kOutside;

void hm_sys_reset(void) {
  g_hm_paths = kPaths;
  g_disk_ops = kDiskOps;
  g_outside_ops = kOutside;
}
