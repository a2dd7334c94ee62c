// The one seam between zelmird's logic and the host it runs on: the fixed
// paths it writes, the disk routines it asks about identity, size and path
// state, the block-device walk, and the maker's outside mark library.
//
// Production code uses the defaults; unit tests point the paths into a
// scratch directory and replace the routines with a fake host.
#ifndef ZELMIR_DAEMON_HM_SYS_H
#define ZELMIR_DAEMON_HM_SYS_H

#include <stddef.h>
#include <stdint.h>

struct hm_paths {
  const char* conf_dir;     // "/usr/local/zelmir/conf/"
  const char* boot_reg;     // "/boot/hmdevs.reg"
  const char* boot_script;  // "/usr/local/zelmir/bin/update_bootimage.sh"
  const char* option_file;  // "/usr/local/zelmir/conf/zelmir.conf"
  const char* bitmap_dir;   // "/boot/vyrbitmap"
  const char* boot_dir;     // "/boot", whose free space a bitmap needs
  const char* zel_cfg;      // "/etc/ferrolux/zel.cfg"
  const char* sys_dir;      // "/sys", where a dead disk is deleted
};
extern hm_paths g_hm_paths;

// Called for each block device name of the sysfs class "block", in list
// order; a non-zero result ends the walk.
typedef int (*hm_dev_visit_fn)(const char* name, void* arg);

struct hm_disk_ops {
  // Identity text of a disk into buf (128 bytes): 0 or -1.
  int (*guid_by_name)(const char* dev, char* buf);
  int (*size_scsi)(const char* dev, uint64_t* size);
  int (*size_sysfs)(const char* dev, uint64_t* size);
  int (*check_path)(const char* dev);  // 1 down, 2 ready, 3 standby
  // 1 a storage LUN, 0 another disk, negative when it cannot be asked.
  int (*is_zel_lun)(const char* dev);
  int (*signature)(const char* dev, uint32_t* sig);
  int (*scsi_guid)(const char* dev, char* buf, size_t size);
  int (*file_exists)(const char* path);
  // Walks the class "block": 0, -1 when the class cannot be opened, -2 when
  // it has no device list.
  int (*for_each_block)(hm_dev_visit_fn fn, void* arg);
  // Walks the whole disks of the class "block" (partitions and names that
  // are never disks passed by), giving each one's device path: 0, -1 when
  // the class cannot be opened, -2 when it has no device list.
  int (*for_each_disk)(hm_dev_visit_fn fn, void* arg);
  // Walks the entry names of "/dev/cciss": 0, or -1 when it cannot be opened.
  int (*for_each_cciss)(hm_dev_visit_fn fn, void* arg);
  // Runs a command through the shell and waits for it, at most
  // g_run_limit_s seconds of the host's clock (then its process group is
  // killed).
  int (*run)(const char* command);
};
extern hm_disk_ops g_disk_ops;
extern int g_run_limit_s;

// The maker's outside CDP-agent libraries.
struct hm_outside_ops {
  int (*log_init)(const char* name);
  int (*set_logdaemon)(int on);
  int (*set_loglevel)(int level);
  int (*parse_cfgfile)(const char* path);
  int (*markcdp)(const char* name, int time_flag);
};
extern hm_outside_ops g_outside_ops;

// The defaults, for tests that replaced some of the routines.
void hm_sys_reset(void);

// A disk that cannot be opened for want of a descriptor says nothing about
// the disk.  Whoever meets a full descriptor table notes it; the status
// thread takes no verdict from a check during which one was noted, or after
// which none can be opened.
void hm_fd_shortage_note(void);
unsigned hm_fd_shortage_count(void);
// 1 when no descriptor can be opened now (and notes it), else 0.
int hm_fd_short(void);

#endif  // ZELMIR_DAEMON_HM_SYS_H
