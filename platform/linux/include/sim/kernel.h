// What the simulated kernel offers the simkernel process around it: disks,
// the user-space block I/O path, SG_IO, the module loader, reboot and the
// kernel log. The module itself never includes this; it sees only <linux/...>.
#ifndef ZELMIR_SIM_KERNEL_H
#define ZELMIR_SIM_KERNEL_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace simk {

struct DiskSpec {
  std::string name;    // "sdb"
  std::string image;   // image file the driver reads and writes
  uint64_t size = 0;   // bytes, a multiple of 512
  unsigned major = 8, minor = 0;
  std::string guid;    // empty: a plain disk of another vendor; else a LUN of the maker's storage
};

enum FailMode { kFailNone = 0, kFailRead = 1, kFailWrite = 2, kFailAll = 3 };

struct DiskInfo {
  std::string name;
  unsigned major, minor;
  uint64_t size;       // bytes
  std::string guid;
  int fail;            // FailMode
  bool offline;
  struct Part { std::string name; unsigned minor; uint64_t start_sect, nr_sects; };
  std::vector<Part> parts;
};

// Starts the interrupt-context I/O threads, jiffies and the netlink endpoint
// directory (rundir/nl). Call once before anything else.
int boot(const std::string& rundir);
// Clean shutdown: runs the reboot notifier chain, unloads the module, stops
// the I/O threads. Not called on a crash.
void shutdown();

int disk_add(const DiskSpec& spec);                 // 0 or -errno; reads the MBR for partitions
int disk_remove(const std::string& name);
int disk_rename(const std::string& old_name, const std::string& new_name);
int disk_fail(const std::string& name, FailMode mode);
int disk_heal(const std::string& name);             // clears fail and offline
int disk_offline(const std::string& name);
// Holds a disk or partition (on) as a mount of the host or another exclusive
// opener does, with bd_claim, or lets it go: 0, -ENXIO, -EBUSY when it is
// held by another holder, -EINVAL to let go of what the host does not hold.
int disk_hold(const std::string& name, bool on);
std::vector<DiskInfo> disks();

// Block I/O from user space (NBD, the host layer): builds bios and submits them
// through generic_make_request on the named disk or partition, as a write to
// /dev/NAME would; blocks until every bio completed. 0 or -errno (-EIO).
int user_io(const std::string& name, bool write, uint64_t offset, void* buf, uint32_t len);
int user_flush(const std::string& name);

// SCSI pass-through, answered by the disk's SCSI model (bypasses the queue).
struct SgIo {
  const uint8_t* cdb; uint8_t cdb_len;
  int dxfer_direction;   // SG_DXFER_NONE, SG_DXFER_TO_DEV, SG_DXFER_FROM_DEV
  void* dxferp; uint32_t dxfer_len;
  uint8_t* sbp; uint8_t mx_sb_len;
  // results
  uint8_t status = 0, sb_len_wr = 0, host_status = 0, driver_status = 0;
  int32_t resid = 0;
};
int sg_io(const std::string& name, SgIo& io);       // 0 or -errno (-ENXIO no such disk)

// Knobs of a LUN's SCSI model used by tests: "vpd_page_len_over", "short_designator",
// "bad_guid_char", "standby", "none" (back to normal).
int scsi_knob(const std::string& name, const std::string& knob);
// The parameter list of the last MODE SELECT(10) the disk accepted (empty if none).
std::vector<uint8_t> scsi_last_mode_select(const std::string& name);

int module_load(const std::string& so_path);        // runs its init_module; 0 or its result
int module_unload();                                // runs cleanup_module, waits, dlcloses
bool module_loaded();
void reboot_notify();                               // the reboot notifier chain, SYS_RESTART

std::string dmesg();                                // the kernel log as printk kept it
// Called after every change of the disk set, so simkernel can redo /sys, /proc, /dev.
void on_disks_changed(std::function<void()> cb);

}  // namespace simk

#endif  // ZELMIR_SIM_KERNEL_H
