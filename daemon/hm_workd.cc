#include "hm_workd.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <unistd.h>

#include "hm_bitmap.h"
#include "hm_conf.h"
#include "hm_nl.h"
#include "hm_nl_client.h"
#include "hm_registry.h"
#include "hm_sys.h"
#include "mirapi/log.h"

unsigned g_kern_task_retry_us = 1000000;
int g_kern_task_max_attempts = 10;
int g_workd_period_s = 10;
unsigned long g_workd_passes = 0;

namespace {

const char kern_task_name[KERN_TASK_MAX][64] = {"KERN_TASK_NONE", "KERN_TASK_UNPROTECT"};

int kern_task_unprotect_process(struct kern_task* t) { return hm_nl_send_del_protect(t->hmdev); }

void kern_task_unprotect_post(struct kern_task* t) {
  struct hmdev* dev = t->hmdev;
  HM_LOG(LOG_DEBUG, "Unprotect Finished!!Ref: %d", dev->ref);
  // Membership decides, not a status bit the kernel's next status may change:
  // only the task that unlinks the protection drops the list's reference.
  if (hmdev_list_del(dev)) hmdev_put(dev);
  hm_set_conf_dirty(1);
}

typedef int (*task_process_fn)(struct kern_task* t);
typedef void (*task_post_fn)(struct kern_task* t);
const task_process_fn task_process[KERN_TASK_MAX] = {nullptr, kern_task_unprotect_process};
const task_post_fn task_post[KERN_TASK_MAX] = {nullptr, kern_task_unprotect_post};

pthread_mutex_t workd_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t workd_cond = PTHREAD_COND_INITIALIZER;

}  // namespace

int get_volume_state(struct hmvol* vol) {
  if (!vol) {
    HM_LOG(LOG_ERR, "get_volume_state: Invalid input");
    return -1;
  }
  if (vol->state != HMVOL_DOWN) {
    char name[HM_NAME_LEN];
    hmvol_copy_name(vol, name, sizeof(name));
    char text[HM_NAME_LEN] = {0};
    g_disk_ops.guid_by_name(name, text);
    if (text[0] && strcmp(vol->guid, text) == 0) {
      // A signature under the old name may be a clone's: before the disk is
      // called up again (and added to the module), or while a clone was
      // seen, it must be the only disk that carries it.
      if (vol->id_type != HMVOL_ID_SIGNATURE || (vol->state == HMVOL_UP && !hmvol_ambiguous(vol)))
        return HMVOL_UP;
    } else {
      HM_LOG(LOG_ERR, "guid not match %s - %s", vol->guid, text);
    }
  }
  int rc = update_volume_name(vol);
  // Which disk it is cannot be told: whatever the module holds stays, and
  // nothing is sent about it.
  if (rc > 0) return vol->state;
  if (rc != 0) return HMVOL_DOWN;
  return hmvol_check_path(vol);
}

void delete_scsi_blk(const char* path) {
  const char* slash = strrchr(path, '/');
  if (!slash) return;
  const char* name = slash + 1;
  char file[300];
  snprintf(file, sizeof(file), "%s/class/block/%s/device/delete", g_hm_paths.sys_dir, name);
  int fd = open(file, O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    HM_LOG(LOG_ERR, "Failed to open file %s", file);
    snprintf(file, sizeof(file), "%s/block/%s/device/delete", g_hm_paths.sys_dir, name);
    fd = open(file, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
      HM_LOG(LOG_ERR, "Failed to open file %s", file);
      return;
    }
  }
  ssize_t n = write(fd, "1", 1);
  (void)n;
  close(fd);
}

namespace {

// What the pass reads of a volume and what it stores are the fields a
// kernel status writes on other threads.
int vol_state(struct hmdev* dev, struct hmvol* v) {
  pthread_mutex_lock(&dev->status_lock);
  int st = v->state;
  pthread_mutex_unlock(&dev->status_lock);
  return st;
}

void vol_set(struct hmdev* dev, struct hmvol* v, int state, int active) {
  pthread_mutex_lock(&dev->status_lock);
  v->state = state;
  if (active >= 0) v->active = active;
  pthread_mutex_unlock(&dev->status_lock);
}

// A volume's state, or HMVOL_UNKNOWN when the check cannot be trusted: a
// descriptor was wanting while it ran, so a failed open says nothing of the
// disk, and a healthy disk must not be reported faulty for it.
int checked_state(struct hmvol* v) {
  unsigned seen = hm_fd_shortage_count();
  int st = hm_fd_short() ? HMVOL_UNKNOWN : get_volume_state(v);
  if (st == HMVOL_UP) return st;
  if (st == HMVOL_UNKNOWN || hm_fd_shortage_count() != seen || hm_fd_short()) {
    HM_LOG(LOG_ERR, "volume %s not judged: no descriptor was left to check it", v->guid);
    return HMVOL_UNKNOWN;
  }
  return st;
}

// The pass reads disks for seconds between its look at a protection and
// what it sends; a cancel may have stopped and unlinked it meanwhile.  Called
// with cmd_lock held, which a cancel holds from its Stop to its unlink.
int still_running(struct hmdev* dev) {
  pthread_mutex_lock(&dev->status_lock);
  int stopped = hmdev_stopped(dev);
  pthread_mutex_unlock(&dev->status_lock);
  if (hmdev_linked(dev) && !stopped) return 1;
  HM_LOG(LOG_INFO, "hmdev: %s was cancelled meanwhile: not handed to the kernel again", dev->uuid);
  return 0;
}

// A primary whose signature is on two disks waits, even while the module
// still holds the disk it opened before: an Add would name it by a path that
// no longer says which disk it is.
int primary_known(struct hmdev* dev) {
  if (!hmvol_ambiguous(dev->primary)) return 1;
  HM_LOG(LOG_DEBUG, "hmdev: %s waits: its primary's signature is on two disks", dev->uuid);
  return 0;
}

void pass_set_protect(struct hmdev* dev) {
  pthread_mutex_lock(&dev->cmd_lock);
  if (primary_known(dev) && still_running(dev)) hm_nl_set_protect(dev);
  pthread_mutex_unlock(&dev->cmd_lock);
}

void pass_bitmap_check(struct hmdev* dev) {
  pthread_mutex_lock(&dev->cmd_lock);
  if (primary_known(dev) && still_running(dev)) hmdev_bitmap_check(dev);
  pthread_mutex_unlock(&dev->cmd_lock);
}

}  // namespace

// Whether the disk at path is the mirror: a storage LUN whose GUID, asked of
// the disk itself (its path may be down), is the mirror's.
static int is_the_mirror(const struct hmvol* m, const char* path) {
  char guid[HM_NAME_LEN] = {0};
  return m->id_type == HMVOL_ID_GUID && g_disk_ops.is_zel_lun(path) == 1 &&
         g_disk_ops.scsi_guid(path, guid, sizeof(guid)) == 0 && strcmp(guid, m->guid) == 0;
}

void check_hmdev(struct hmdev* dev) {
  int pnew = 0;
  if (dev->primary) {
    struct hmvol* p = dev->primary;
    int old = vol_state(dev, p);
    pnew = checked_state(p);
    HM_LOG(LOG_DEBUG, "hmd pri:%d - %d", pnew, old);
    if (pnew >= 1 && pnew != old) {
      HM_LOG(LOG_INFO, "primary '%s': %d => %d (1-DOWN; 2-UP)", p->guid, old, pnew);
      vol_set(dev, p, pnew, pnew == HMVOL_DOWN ? 0 : -1);
      if (pnew == HMVOL_DOWN) {
        char name[HM_NAME_LEN];
        hmvol_copy_name(p, name, sizeof(name));
        HM_LOG(LOG_INFO, "primary '%s(%s)' offline!", name, p->guid);
        hm_nl_update_hmdev(dev, 0);
      } else if (pnew == HMVOL_UP) {
        pass_set_protect(dev);
      }
    }
  }
  if (dev->mirror) {
    struct hmvol* m = dev->mirror;
    int old = vol_state(dev, m);
    int mnew = checked_state(m);
    HM_LOG(LOG_DEBUG, "hmd mirr:%d - %d", mnew, old);
    if (mnew >= 1 && mnew != old) {
      HM_LOG(LOG_INFO, "mirror '%s': %d => %d (1-DOWN; 2-UP)", m->guid, old, mnew);
      if (mnew == HMVOL_DOWN) {
        vol_set(dev, m, mnew, 0);
        char name[HM_NAME_LEN];
        hmvol_copy_name(m, name, sizeof(name));
        HM_LOG(LOG_INFO, "mirror '%s(%s)' offline!", name, m->guid);
        hm_nl_update_hmdev(dev, 1);
      } else if (mnew == HMVOL_UP) {
        vol_set(dev, m, mnew, 1);
        if (pnew == HMVOL_UP) pass_set_protect(dev);
      } else {
        vol_set(dev, m, mnew, -1);
      }
    }
    if (strstr(g_auto_del_faulty_mirror_disk, "yes") && old == HMVOL_DOWN && mnew == HMVOL_DOWN) {
      // A DOWN mirror always carries the "?" mark by now; its device file is
      // the name without it.
      char name[HM_NAME_LEN];
      hmvol_copy_name(m, name, sizeof(name));
      size_t n = strlen(name);
      if (n > 0 && name[n - 1] == '?') name[n - 1] = '\0';
      if (g_disk_ops.file_exists(name)) {
        char text[HM_NAME_LEN] = {0};
        if (g_disk_ops.guid_by_name(name, text) == 0) {
          HM_LOG(LOG_DEBUG, "mirror device %s is DOWN in both of kernel and daemon, but still can get uuid.",
                 name);
        } else if (!is_the_mirror(m, name)) {
          // The old name may be another disk's by now, or a disk that
          // cannot tell which it is: only the mirror itself is deleted.
          HM_LOG(LOG_INFO, "mirror device %s is DOWN in both of kernel and daemon, but it is not %s: left alone",
                 name, m->guid);
        } else {
          HM_LOG(LOG_INFO,
                 "mirror device %s is DOWN in both of kernel and daemon, and failed to get uuid, "
                 "delete it from sys",
                 name);
          delete_scsi_blk(name);
        }
      }
    }
  }
}

struct kern_task* create_task(uint32_t type, uint32_t kind, struct hmdev* dev) {
  struct kern_task* t = static_cast<struct kern_task*>(calloc(1, sizeof(*t)));
  if (!t) {
    HM_LOG(LOG_ERR, "out of memory");
    return nullptr;
  }
  t->type = type;
  t->kind = kind;
  t->hmdev = hmdev_get(dev);
  return t;
}

void free_task(struct kern_task* t) {
  pthread_mutex_lock(&hmdev_registry.list_lock);
  t->hmdev->task_pending = 0;
  pthread_mutex_unlock(&hmdev_registry.list_lock);
  hmdev_put(t->hmdev);
  free(t);
}

void queue_task(struct kern_task* t) {
  if (t->type != KERN_TASK_TYPE) {
    HM_LOG(LOG_ERR, "receive unknow task type");
    return;
  }
  t->work.step = kern_task_process;
  queue_work(kernel, &t->work);
}

void kern_task_process(struct hm_work* w) {
  struct kern_task* t = list_entry(w, struct kern_task, work);
  const char* name = t->kind < KERN_TASK_MAX ? kern_task_name[t->kind] : "?";
  HM_LOG(LOG_DEBUG, "process kern task: %s", name);
  int rc = (t->kind < KERN_TASK_MAX && task_process[t->kind]) ? task_process[t->kind](t) : 0;
  if (rc < 0) {
    HM_LOG(LOG_ERR, "process kern task: %s failed: %d", name, rc);
    if (++t->attempts < g_kern_task_max_attempts) {
      // A short pause keeps a kernel that keeps refusing from being asked
      // in a tight loop.
      usleep(g_kern_task_retry_us);
      queue_work(kernel, &t->work);
      return;
    }
    HM_LOG(LOG_ERR, "process kern task: %s dropped after %d attempts", name, t->attempts);
    free_task(t);
    return;
  }
  if (t->kind < KERN_TASK_MAX && task_post[t->kind]) task_post[t->kind](t);
  free_task(t);
  write_hmdevs_to_conf();
}

// Queues the removal of a stopped protection unless one is already queued.
static int queue_unprotect(struct hmdev* dev) {
  pthread_mutex_lock(&hmdev_registry.list_lock);
  int pending = dev->task_pending;
  dev->task_pending = 1;
  pthread_mutex_unlock(&hmdev_registry.list_lock);
  if (pending) return 0;
  struct kern_task* t = create_task(KERN_TASK_TYPE, KERN_TASK_UNPROTECT, dev);
  if (!t) {
    pthread_mutex_lock(&hmdev_registry.list_lock);
    dev->task_pending = 0;
    pthread_mutex_unlock(&hmdev_registry.list_lock);
    return -1;
  }
  queue_task(t);
  return 0;
}

void hm_workd_pass(void) {
  struct hmdev* dev = hmdev_next(nullptr);
  while (dev) {
    // A stopped protection is on its way out: it is never handed to the
    // kernel again, however its disks look now.
    if (hm_nl_get_status(dev) == 0 && !hmdev_stopped(dev)) pass_bitmap_check(dev);
    if (!hmdev_stopped(dev)) check_hmdev(dev);
    if (hmdev_stopped(dev)) {
      HM_LOG(LOG_DEBUG, "hmdev: %s create unprotect task", dev->uuid);
      if (queue_unprotect(dev) == 0) {
        hmdev_put(dev);
        break;
      }
    }
    struct hmdev* next = hmdev_next(dev);
    hmdev_put(dev);
    dev = next;
  }
  // A restore of the guard that did not reach the module after the last
  // mark is sent again.
  hm_nl_forbid_mirror_all_owed();
  write_hmdevs_to_conf();
}

void* hm_workd(void*) {
  for (;;) {
    hm_workd_pass();
    HM_LOG(LOG_DEBUG, "status pass %lu done", ++g_workd_passes);
    struct timeval now;
    gettimeofday(&now, nullptr);
    struct timespec until = {now.tv_sec + g_workd_period_s, now.tv_usec * 1000L};
    pthread_mutex_lock(&workd_lock);
    while (pthread_cond_timedwait(&workd_cond, &workd_lock, &until) != ETIMEDOUT) {
    }
    pthread_mutex_unlock(&workd_lock);
  }
  return nullptr;
}
