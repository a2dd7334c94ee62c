// The status thread: every 10 seconds it reads each protection's kernel
// status, checks its disks itself, tells the module about a disk that went
// away or came back, and queues the removal of a stopped protection as a
// kernel task on the "kernel" queue.
#ifndef ZELMIR_DAEMON_HM_WORKD_H
#define ZELMIR_DAEMON_HM_WORKD_H

#include <stdint.h>

#include "hm_workqueue.h"

struct hmdev;
struct hmvol;

enum { KERN_TASK_TYPE = 1 };
enum { KERN_TASK_NONE = 0, KERN_TASK_UNPROTECT = 1, KERN_TASK_MAX = 2 };

struct kern_task {
  uint32_t type;
  uint32_t kind;
  struct hmdev* hmdev;
  int attempts;
  struct hm_work work;
};

void* hm_workd(void* arg);
// One pass of the status thread (tests run it directly).
void hm_workd_pass(void);
void check_hmdev(struct hmdev* dev);
int get_volume_state(struct hmvol* vol);
void delete_scsi_blk(const char* path);

struct kern_task* create_task(uint32_t type, uint32_t kind, struct hmdev* dev);
void queue_task(struct kern_task* task);
void free_task(struct kern_task* task);
void kern_task_process(struct hm_work* w);

// Pause before a failed kernel task runs again, and how often it may fail
// before it is dropped (the next pass queues a new one while the protection
// is still registered and stopped).
extern unsigned g_kern_task_retry_us;
extern int g_kern_task_max_attempts;
// Seconds between passes.
extern int g_workd_period_s;
// Passes the status thread has made; each logs its number at the debug
// level when it ends, so a test can tell that a pass came after an event.
extern unsigned long g_workd_passes;

#endif  // ZELMIR_DAEMON_HM_WORKD_H
