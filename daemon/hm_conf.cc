#include "hm_conf.h"

#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <regex.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "hm_registry.h"
#include "hm_sys.h"
#include "mirapi/disk_id.h"
#include "mirapi/log.h"

char g_auto_del_faulty_mirror_disk[128];

// Two rewrites must never interleave on the same files.
static pthread_mutex_t write_lock = PTHREAD_MUTEX_INITIALIZER;

// The boot image script runs on a thread of its own, after the rewrite that
// asked for it and outside every lock: it may take long or hang, and the
// status thread, the workers and every status read rewrite the files.  Runs
// asked for while one is under way are made by one run after it, which sees
// the newest files.
static pthread_mutex_t script_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t script_cond = PTHREAD_COND_INITIALIZER;
static unsigned script_wanted, script_done;
static pthread_once_t script_once = PTHREAD_ONCE_INIT;

static void* script_thread(void*) {
  for (;;) {
    pthread_mutex_lock(&script_lock);
    while (script_done == script_wanted) pthread_cond_wait(&script_cond, &script_lock);
    unsigned target = script_wanted;
    pthread_mutex_unlock(&script_lock);
    g_disk_ops.run(g_hm_paths.boot_script);
    pthread_mutex_lock(&script_lock);
    script_done = target;
    pthread_cond_broadcast(&script_cond);
    pthread_mutex_unlock(&script_lock);
  }
  return nullptr;
}

static void script_start(void) {
  pthread_t t;
  if (pthread_create(&t, nullptr, script_thread, nullptr) == 0) {
    pthread_detach(t);
  } else {
    HM_LOG(LOG_ERR, "failed to create the boot image script thread");
  }
}

static void boot_script_request(void) {
  pthread_once(&script_once, script_start);
  pthread_mutex_lock(&script_lock);
  script_wanted++;
  pthread_cond_broadcast(&script_cond);
  pthread_mutex_unlock(&script_lock);
}

int hm_boot_script_wait(int timeout_ms) {
  struct timespec until;
  clock_gettime(CLOCK_REALTIME, &until);
  until.tv_sec += timeout_ms / 1000;
  until.tv_nsec += (long)(timeout_ms % 1000) * 1000000L;
  if (until.tv_nsec >= 1000000000L) {
    until.tv_sec++;
    until.tv_nsec -= 1000000000L;
  }
  pthread_mutex_lock(&script_lock);
  int rc = 0;
  while (script_done != script_wanted && rc == 0) rc = pthread_cond_timedwait(&script_cond, &script_lock, &until);
  int idle = script_done == script_wanted;
  pthread_mutex_unlock(&script_lock);
  return idle ? 0 : -1;
}

static void conf_path(char* out, size_t size, const char* file) {
  snprintf(out, size, "%s/%s", g_hm_paths.conf_dir, file);
}

// The daemon runs with umask 0 (for its socket); its files must not become
// writable by every local user with it.
static FILE* create_file(const char* path) {
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return nullptr;
  FILE* f = fdopen(fd, "w");
  if (!f) close(fd);
  return f;
}

static const char* missing_mark(const char* name) {
  size_t n = strlen(name);
  return (n > 0 && name[n - 1] == '?') ? "" : "?";
}

int hm_boot_reg_line(const struct hmdev* dev, char* out, size_t size) {
  char p[HM_NAME_LEN], m[HM_NAME_LEN];
  hmvol_copy_name(dev->primary, p, sizeof(p));
  hmvol_copy_name(dev->mirror, m, sizeof(m));
  // The readers take paths of a bounded width; a longer one cannot be read
  // back at boot, so the line is refused rather than cut to a wrong path.
  if (strlen(p) + 1 > HM_DEV_PATH_MAX || strlen(m) + 1 > HM_DEV_PATH_MAX) return -1;
  int n = snprintf(out, size, "%s%s volume_id_{%s} %s%s volume_id_{%s} line_end\n", p,
                   missing_mark(p), dev->primary->guid, m, missing_mark(m), dev->mirror->guid);
  return (n < 0 || (size_t)n >= size) ? -1 : 0;
}

static int write_vol_block(FILE* f, const struct hmvol* v) {
  char name[HM_NAME_LEN];
  hmvol_copy_name(v, name, sizeof(name));
  int n = fprintf(f,
                  "\thmvol {\n"
                  "\t\tname = %s\n"
                  "\t\tid_type = %d\n"
                  "\t\tsignature = %x\n"
                  "\t\tguid = %s\n"
                  "\t\tmajor = %d\n"
                  "\t\tactive = %d\n"
                  "\t\tis_disk = %d\n"
                  "\t\tlock = %d\n"
                  "\t\tsize = %" PRIu64 "\n"
                  "\t}\n",
                  name, v->id_type, v->vid.mbp_volumeid.signature, v->guid, v->major, v->active,
                  v->is_disk, v->lock, v->size);
  return n < 0 ? -1 : 0;
}

// Writes every protection into both open files; -1 when a write failed.
static int write_entries(FILE* conf, FILE* boot) {
  int rc = 0;
  pthread_mutex_lock(&hmdev_registry.list_lock);
  struct list_head* pos;
  list_for_each(pos, &hmdev_registry.hmdev_list) {
    struct hmdev* d = list_entry(pos, struct hmdev, list);
    if (!d->primary || !d->mirror) continue;
    if (fprintf(conf, "hmdev {\n\tmode = %d\n\tstatus = %" PRIx64 "\n\tis_ha = %d\n", d->mode,
                d->status, d->is_ha) < 0 ||
        write_vol_block(conf, d->primary) != 0) {
      rc = -1;
      break;
    }
    char line[512];
    if (hm_boot_reg_line(d, line, sizeof(line)) != 0) {
      HM_LOG(LOG_ERR, "hmdev %s: device path too long for the boot registry", d->uuid);
    } else if (fputs(line, boot) < 0) {
      rc = -1;
      break;
    }
    if (write_vol_block(conf, d->mirror) != 0 || fputs("}\n", conf) < 0) {
      rc = -1;
      break;
    }
  }
  pthread_mutex_unlock(&hmdev_registry.list_lock);
  return rc;
}

// Flushes a file to disk and closes it; -errno when any step failed.
static int finish_file(FILE* f) {
  int err = 0;
  if (fflush(f) != 0 || ferror(f)) err = errno ? errno : EIO;
  if (!err && fsync(fileno(f)) != 0) err = errno;
  if (fclose(f) != 0 && !err) err = errno ? errno : EIO;
  return -err;
}

// A rename is durable only once its directory is on disk: without this a
// power cut could bring back the old file after the new one was reported.
static void sync_dir_of(const char* path) {
  char dir[512];
  if (hm_strlcpy(dir, path, sizeof(dir)) != 0) return;
  char* slash = strrchr(dir, '/');
  if (!slash) {
    strcpy(dir, ".");
  } else if (slash == dir) {
    dir[1] = '\0';
  } else {
    *slash = '\0';
  }
  int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 || fsync(fd) != 0) HM_LOG(LOG_ERR, "cannot sync directory %s: %s", dir, strerror(errno));
  if (fd >= 0) close(fd);
}

// 0, or -errno when the rename failed.
static int rename_durably(const char* from, const char* to) {
  if (rename(from, to) != 0) return -errno;
  sync_dir_of(to);
  return 0;
}

int write_hmdevs_to_conf(void) {
  pthread_mutex_lock(&write_lock);
  // The flags are taken before the walk, so that a change made while this
  // rewrite runs sets them again and is written by the next one.
  pthread_mutex_lock(&hmdev_registry.conf_lock);
  if (!hmdev_registry.conf_dirty) {
    pthread_mutex_unlock(&hmdev_registry.conf_lock);
    pthread_mutex_unlock(&write_lock);
    return 0;
  }
  int update_boot = hmdev_registry.conf_update_boot;
  int damaged = hmdev_registry.conf_damaged;
  hmdev_registry.conf_dirty = 0;
  hmdev_registry.conf_update_boot = 0;
  pthread_mutex_unlock(&hmdev_registry.conf_lock);

  char conf[512], conf_back[512], boot_tmp[512];
  conf_path(conf, sizeof(conf), "hmdev.conf");
  // A rewrite from the registry would drop the protections whose blocks
  // could not be read, from both files: each change is reported instead.
  if (damaged) {
    HM_LOG(LOG_ERR, "%s was damaged when read: it and %s are left as they are for repair; "
           "this change is not saved", conf, g_hm_paths.boot_reg);
    pthread_mutex_unlock(&write_lock);
    return -EROFS;
  }
  HM_LOG(LOG_DEBUG, "Profile of hostmirror needs to be updated");

  conf_path(conf_back, sizeof(conf_back), "hmdev.conf_back");
  snprintf(boot_tmp, sizeof(boot_tmp), "%s_back", g_hm_paths.boot_reg);

  int rc = 0;
  FILE* fc = create_file(conf_back);
  FILE* fb = nullptr;
  if (!fc) {
    rc = -errno;
    HM_LOG(LOG_ERR, "cannot create %s: %s", conf_back, strerror(errno));
  } else if (!(fb = create_file(boot_tmp))) {
    rc = -errno;
    HM_LOG(LOG_ERR, "cannot create %s: %s", boot_tmp, strerror(errno));
    fclose(fc);
    unlink(conf_back);
  } else {
    int wrc = write_entries(fc, fb);
    int frc = finish_file(fc);
    int brc = finish_file(fb);
    if (wrc != 0 || frc != 0 || brc != 0) {
      rc = frc ? frc : (brc ? brc : -EIO);
      HM_LOG(LOG_ERR, "failed to write the configuration files: %s", strerror(-rc));
      unlink(conf_back);
      unlink(boot_tmp);
    } else if ((rc = rename_durably(boot_tmp, g_hm_paths.boot_reg)) != 0) {
      HM_LOG(LOG_ERR, "rename %s failed: %s", boot_tmp, strerror(-rc));
      unlink(conf_back);
      unlink(boot_tmp);
    } else if ((rc = rename_durably(conf_back, conf)) != 0) {
      HM_LOG(LOG_ERR, "rename %s failed: %s", conf_back, strerror(-rc));
    }
  }

  if (rc != 0) {
    pthread_mutex_lock(&hmdev_registry.conf_lock);
    hmdev_registry.conf_dirty = 1;
    if (update_boot) hmdev_registry.conf_update_boot = 1;
    pthread_mutex_unlock(&hmdev_registry.conf_lock);
    pthread_mutex_unlock(&write_lock);
    return rc;
  }
  pthread_mutex_unlock(&write_lock);
  if (update_boot) boot_script_request();
  return 0;
}

int split_key_value(const char* line, char* key, char* value) {
  const char* p = line;
  size_t k = 0;
  for (; *p && *p != '='; p++) {
    if (*p == ' ' || *p == '\t' || *p == '\n') continue;
    key[k++] = *p;
  }
  key[k] = '\0';
  value[0] = '\0';
  if (*p != '=') return 0;
  p++;
  while (*p == ' ' || *p == '\t' || *p == '\n') p++;
  size_t v = 0;
  for (; *p && *p != '\n'; p++) value[v++] = *p;
  value[v] = '\0';
  return 0;
}

void add_key_value_to_hmdev(struct hmdev* dev, const char* key, const char* value) {
  if (strcmp(key, "mode") == 0) {
    dev->mode = atoi(value);
  } else if (strcmp(key, "status") == 0) {
    dev->status = strtoull(value, nullptr, 16);
  } else if (strcmp(key, "is_ha") == 0) {
    dev->is_ha = atoi(value);
  }
}

void add_key_value_to_hmvol(struct hmvol* vol, const char* key, const char* value) {
  if (strcmp(key, "signature") == 0) {
    if (vol->id_type != HMVOL_ID_SIGNATURE) return;
    memset(&vol->vid, 0, sizeof(vol->vid));
    vol->vid.mbp_volumeid.signature = (uint32_t)strtoul(value, nullptr, 16);
    guid_to_string(&vol->vid.san_volume_id.vol_guid, vol->guid, sizeof(vol->guid));
    HM_LOG(LOG_DEBUG, "vol uuid: %s signature: %x", vol->guid, vol->vid.mbp_volumeid.signature);
  } else if (strcmp(key, "guid") == 0) {
    if (vol->id_type != HMVOL_ID_GUID) return;
    hm_strlcpy(vol->guid, value, sizeof(vol->guid));
  } else if (strcmp(key, "name") == 0) {
    hm_strlcpy(vol->name, value, sizeof(vol->name));
  } else if (strcmp(key, "id_type") == 0) {
    vol->id_type = atoi(value);
  } else if (strcmp(key, "major") == 0) {
    vol->major = atoi(value);
  } else if (strcmp(key, "active") == 0) {
    vol->active = atoi(value);
  } else if (strcmp(key, "is_disk") == 0) {
    vol->is_disk = atoi(value);
  } else if (strcmp(key, "size") == 0) {
    vol->size = strtoull(value, nullptr, 10);
  } else if (strcmp(key, "lock") == 0) {
    vol->lock = atoi(value) != 0 ? 2 : 0;
  }
}

namespace {

const char kHmdevPattern[] = "^[' '|'\t']*hmdev[' '|'\t']*{";
const char kHmvolPattern[] = "^[' '|'\t']*hmvol[' '|'\t']*{";

// One block being read.  A block is taken only when it closes with exactly
// one primary and one mirror, each with its identity, and holds no line the
// writer never writes: the rest of the daemon relies on both volumes, and a
// block with foreign bytes in it cannot be trusted to name the right disks.
// Whatever is skipped is said at the error level with the file and its
// lines, every time, and marks the file as damaged.
struct block_reader {
  const char* path = "";
  struct hmdev* dev = nullptr;
  struct hmvol* vol = nullptr;
  int bad = 0;
  int first = 0;                   // line of the block's start
  int stray_from = 0, stray_to = 0;  // lines outside any block
  int damaged = 0;

  void stray(int line) {
    if (!stray_from) stray_from = line;
    stray_to = line;
  }
  void end_stray() {
    if (!stray_from) return;
    HM_LOG(LOG_ERR, "%s: lines %d to %d are no part of an hmdev block, skipped", path, stray_from,
           stray_to);
    damaged = 1;
    stray_from = stray_to = 0;
  }

  void close_vol() {
    if (!vol) return;
    HM_LOG(LOG_DEBUG, "%s major: %d\n", "init_hmdev_info", vol->major);
    if ((vol->id_type != HMVOL_ID_SIGNATURE && vol->id_type != HMVOL_ID_GUID) || !vol->guid[0])
      bad = 1;
    struct hmvol** slot = vol->major == HMVOL_PRIMARY ? &dev->primary : &dev->mirror;
    if (*slot) {
      HM_LOG(LOG_ERR, "hmdev block holds two volumes of role %d", vol->major);
      bad = 1;
      free(vol);
    } else {
      *slot = vol;
      if (vol->major == HMVOL_PRIMARY) {
        memcpy(dev->uuid, vol->guid, sizeof(dev->uuid));
        HM_LOG(LOG_DEBUG, "hmdev uuid: %s", dev->uuid);
      }
    }
    vol = nullptr;
  }

  void close_dev(int last) {
    if (!dev) return;
    close_vol();
    if (bad || !dev->primary || !dev->mirror) {
      HM_LOG(LOG_ERR, "%s: hmdev block %s of lines %d to %d lacks a volume or is damaged, skipped",
             path, dev->uuid[0] ? dev->uuid : "(unknown)", first, last);
      damaged = 1;
      hmdev_destroy(dev);
    } else {
      dev->nr_vol = 2;
      hmdev_list_add(dev);
    }
    dev = nullptr;
    bad = 0;
  }
};

int blank(const char* line) {
  for (; *line; line++)
    if (*line != ' ' && *line != '\t' && *line != '\n' && *line != '\r') return 0;
  return 1;
}

// Reads one line of at most 1023 characters; the rest of a longer line is
// dropped so that it cannot pass for a line of its own.
bool read_line(FILE* f, char* buf, size_t size) {
  if (!fgets(buf, (int)size, f)) return false;
  size_t n = strlen(buf);
  if (n == size - 1 && buf[n - 1] != '\n') {
    int c;
    while ((c = fgetc(f)) != EOF && c != '\n') {
    }
  }
  return true;
}

}  // namespace

int init_hmdev_info(void) {
  regex_t re_dev, re_vol;
  int err = regcomp(&re_dev, kHmdevPattern, 0);
  if (err != 0) {
    char text[256];
    regerror(err, &re_dev, text, sizeof(text));
    HM_LOG(LOG_ERR, "%s: pattern: %s\n", text, kHmdevPattern);
    return -err;
  }
  err = regcomp(&re_vol, kHmvolPattern, 0);
  if (err != 0) {
    regfree(&re_dev);
    return err;
  }
  char path[512];
  conf_path(path, sizeof(path), "hmdev.conf");
  int rc = 0;
  FILE* f = fopen(path, "r");
  if (!f) {
    rc = -errno;
  } else {
    char line[1024], key[1024], value[1024];
    block_reader br;
    br.path = path;
    int no = 0;
    while (read_line(f, line, sizeof(line))) {
      no++;
      int has_eq = strchr(line, '=') != nullptr;
      if (blank(line)) continue;
      if (!br.dev) {
        int m = has_eq ? REG_NOMATCH : regexec(&re_dev, line, 0, nullptr, 0);
        if (m == REG_NOMATCH) {
          br.stray(no);
          continue;
        }
        if (m != 0) break;
        br.end_stray();
        br.dev = static_cast<struct hmdev*>(malloc(sizeof(struct hmdev)));
        if (!br.dev) {
          rc = -errno;
          break;
        }
        hmdev_init(br.dev);
        br.first = no;
      } else if (!br.vol) {
        if (has_eq) {
          split_key_value(line, key, value);
          add_key_value_to_hmdev(br.dev, key, value);
        } else if (strchr(line, '}')) {
          br.close_dev(no);
        } else {
          int m = regexec(&re_vol, line, 0, nullptr, 0);
          if (m == REG_NOMATCH) {
            br.bad = 1;
            continue;
          }
          if (m != 0) break;
          br.vol = static_cast<struct hmvol*>(malloc(sizeof(struct hmvol)));
          if (!br.vol) {
            rc = -errno;
            break;
          }
          hmvol_init(br.vol);
          br.vol->hmdev = br.dev;
        }
      } else {
        if (has_eq) {
          split_key_value(line, key, value);
          add_key_value_to_hmvol(br.vol, key, value);
        } else if (strchr(line, '}')) {
          br.close_vol();
        } else {
          br.bad = 1;
        }
      }
    }
    br.close_dev(no);
    br.end_stray();
    fclose(f);
    if (br.damaged) {
      pthread_mutex_lock(&hmdev_registry.conf_lock);
      hmdev_registry.conf_damaged = 1;
      pthread_mutex_unlock(&hmdev_registry.conf_lock);
    }
  }
  regfree(&re_dev);
  regfree(&re_vol);
  HM_LOG(LOG_DEBUG, "EXIT");
  return rc;
}

void get_conf_value(const char* key, char* result, size_t size) {
  FILE* f = fopen(g_hm_paths.option_file, "r");
  if (!f) return;
  char line[1024] = {0};
  while (read_line(f, line, sizeof(line))) {
    const char* at = strstr(line, key);
    if (at) hm_strlcpy(result, at, size);
  }
  fclose(f);
}

void auto_del_faulty_mirror_disk(void) {
  get_conf_value("auto_del_faulty_mirror_disk", g_auto_del_faulty_mirror_disk,
                 sizeof(g_auto_del_faulty_mirror_disk));
}
