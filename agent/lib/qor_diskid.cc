// Signatures, signature GUID texts, disk GUIDs and the signing of disks that
// have no identity yet.
#include "qor_diskid.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host/host.h"
#include "mirapi/disk_id.h"
#include "mirapi/log.h"
#include "mirapi/scsi.h"
#include "mirapi/util.h"
#include "qor_client.h"
#include "qor_inventory.h"
#include "qor_lock.h"

namespace {

constexpr off_t kSectorSize = 512;

// Signings that ran at once could each draw the same value within one second
// and each check it against an enumeration made before the other's write, so
// two disks would share one identity; and two signers that both saw a disk
// unsigned would give it two identities in turn.  In the agent's lock order
// this lock comes after g_client.lock and before disk_num_lock (it is held
// across the enumeration that takes disk_num_lock).
pthread_mutex_t sign_lock = PTHREAD_MUTEX_INITIALIZER;

// A candidate is drawn again only when another disk already carries it.
// Redraws continue the generator's sequence instead of reseeding it, so each
// one gives a new value; collisions are rare enough that a few suffice.
constexpr int kMaxDraws = 64;

// Opens a block device for the signature, logging the agent's texts; the
// descriptor, or -1.
int open_block(const char* path, int flags) {
  if (!filepresent(path)) {
    HM_LOG(LOG_ERR, "Disk '%s' not exist", path);
    return -1;
  }
  int fd = hl_open(path, flags);
  if (fd < 0) {
    HM_LOG(LOG_ERR, "Failed to open '%s': %s", path, strerror(errno));
    return -1;
  }
  struct stat st;
  if (hl_fstat(fd, &st) != 0) {
    HM_LOG(LOG_ERR, "Failed to stat '%s': %s", path, strerror(errno));
    hl_close(fd);
    return -1;
  }
  if (!S_ISBLK(st.st_mode)) {
    HM_LOG(LOG_ERR, "'%s' is not a block device", path);
    hl_close(fd);
    return -1;
  }
  return fd;
}

int seek_signature(int fd, const char* path) {
  if (hl_lseek(fd, HM_SIGNATURE_OFF, SEEK_SET) != HM_SIGNATURE_OFF) {
    HM_LOG(LOG_ERR, "Seek '%s' error: %s", path, strerror(errno));
    return -1;
  }
  return 0;
}

// Whether a disk of the enumeration other than the one at path carries guid.
bool guid_taken(const struct list_head* disks, const char* path, const char* guid) {
  const struct list_head* pos;
  list_for_each(pos, disks) {
    const qor_disk* d = list_entry(pos, qor_disk, list);
    if (d->guid == nullptr || d->path == nullptr) continue;
    if (strcmp(d->path, path) == 0) continue;
    if (strcmp(d->guid, guid) == 0) return true;
  }
  return false;
}

bool listed(const struct list_head* disks, const char* path) {
  const struct list_head* pos;
  list_for_each(pos, disks) {
    const qor_disk* d = list_entry(pos, qor_disk, list);
    if (d->path != nullptr && strcmp(d->path, path) == 0) return true;
  }
  return false;
}

// Sector 0 of the disk at path, read through the host layer; 0 or -1.
int read_sector0(const char* path, unsigned char* sector) {
  int fd = open_block(path, O_RDONLY);
  if (fd < 0) return -1;
  ssize_t n = hl_pread(fd, sector, kSectorSize, 0);
  int err = errno;
  hl_close(fd);
  if (n != kSectorSize) {
    HM_LOG(LOG_ERR, "Failed to read '%s': %s", path, n < 0 ? strerror(err) : "short read");
    return -1;
  }
  return 0;
}

}  // namespace

uint32_t random_signature(void) {
  srand(static_cast<unsigned>(hl_time(nullptr)));
  return static_cast<uint32_t>(rand());
}

char* signature_to_guid(uint32_t signature) {
  char* text = static_cast<char*>(calloc(1, QOR_SIG_GUID_SIZE));
  if (text == nullptr) {
    HM_LOG(LOG_ERR, "Failed to allocate memory");
    return nullptr;
  }
  signature_to_uuid(signature, text);
  return text;
}

int write_disk_signature(const char* path, uint32_t signature) {
  int fd = open_block(path, O_WRONLY);
  if (fd < 0) return -1;
  int rc = seek_signature(fd, path);
  if (rc == 0) {
    errno = 0;
    ssize_t n = hl_write(fd, &signature, sizeof(signature));
    if (n != static_cast<ssize_t>(sizeof(signature))) {
      // A short write leaves errno as it was: it must still fail.
      rc = errno != 0 ? -errno : -EIO;
      HM_LOG(LOG_ERR, "Failed to write '%s': %s", path, strerror(-rc));
    } else if (hl_fsync(fd) != 0) {
      HM_LOG(LOG_ERR, "Failed to fsync '%s': %s", path, strerror(errno));
      rc = -1;
    }
  }
  hl_close(fd);
  return rc;
}

int read_disk_signature(const char* path, uint32_t* signature) {
  if (path == nullptr) return -1;
  int fd = open_block(path, O_RDONLY);
  if (fd < 0) return -1;
  int rc = seek_signature(fd, path);
  if (rc == 0) {
    uint32_t value = 0;
    errno = 0;
    ssize_t n = hl_read(fd, &value, sizeof(value));
    if (n == static_cast<ssize_t>(sizeof(value))) {
      *signature = value;
    } else {
      HM_LOG(LOG_ERR, "Failed to read '%s': %s", path, strerror(errno != 0 ? errno : EIO));
      rc = -1;
    }
  }
  hl_close(fd);
  return rc;
}

int32_t get_disk_signature(const char* path) {
  uint32_t signature = 0;
  if (read_disk_signature(path, &signature) != 0) return -1;
  return static_cast<int32_t>(signature);
}

int qor_read_disk_guid(const char* path, int on_storage, char** guid) {
  *guid = nullptr;
  if (path == nullptr) return -1;
  char* text = static_cast<char*>(calloc(1, QOR_DISK_GUID_SIZE));
  if (text == nullptr) return -1;
  if (on_storage) {
    HM_LOG(LOG_DEBUG, "start get scsi disk guid.");
    hm_scsi_get_guid(path, text, QOR_DISK_GUID_SIZE);
    HM_LOG(LOG_DEBUG, "finish get scsi disk guid.");
    *guid = text;
    return 0;
  }
  HM_LOG(LOG_DEBUG, "start get disk signature.");
  uint32_t signature = 0;
  int rc = read_disk_signature(path, &signature);
  HM_LOG(LOG_DEBUG, "finish get disk signature.");
  if (rc != 0) {
    // Not "ffffffff-...": an identity read from a disk that did not answer
    // would be taken for a real one, or the disk for an unsigned one.
    free(text);
    return -1;
  }
  if (signature == 0) {
    HM_LOG(LOG_WARNING, "Cannot get the signature of diskk %s.", path);
    free(text);
    return 0;
  }
  char* sig_guid = signature_to_guid(signature);
  if (sig_guid == nullptr) {
    free(text);
    return -1;
  }
  snprintf(text, QOR_DISK_GUID_SIZE, "%s", sig_guid);
  free(sig_guid);
  *guid = text;
  return 0;
}

char* get_disk_guid(const char* path, int on_storage) {
  char* guid = nullptr;
  qor_read_disk_guid(path, on_storage, &guid);
  return guid;
}

int qor_sector0_signable(const unsigned char* sector) {
  uint32_t signature;
  memcpy(&signature, sector + HM_SIGNATURE_OFF, sizeof(signature));
  if (signature != 0) return 0;
  if (sector[510] == 0x55 && sector[511] == 0xAA) return 1;
  for (off_t i = 0; i < kSectorSize; ++i)
    if (sector[i] != 0) return 0;
  return 1;
}

namespace {

// Whether sector 0 of the disk, read now, may take a signature: four bytes
// at 440 must land in an empty sector or a partition table's boot code, not
// in a raw data disk, and nobody may have signed the disk since the
// inventory saw it unsigned.
bool sector0_allows_signing(const char* path) {
  unsigned char sector[kSectorSize];
  if (read_sector0(path, sector) != 0) return false;
  if (!qor_sector0_signable(sector)) {
    HM_LOG(LOG_DEBUG, "Disk %s is not signed: its first sector is in use.", path);
    return false;
  }
  return true;
}

}  // namespace

void set_unique_signature(const char* path) {
  if (path == nullptr) return;
  MutexLock l(&sign_lock);
  // A disk already in use needs no enumeration of all disks.
  if (!sector0_allows_signing(path)) return;

  struct list_head disks;
  INIT_LIST_HEAD(&disks);
  qor_get_disks(&disks, 0);
  // An enumeration without the disk being signed is no base for telling
  // which values the host's disks carry.
  if (!listed(&disks, path)) {
    HM_LOG(LOG_ERR, "Disk %s is not among the host's disks; it is not signed.", path);
    disk_list_free(&disks);
    return;
  }

  bool found = false;
  uint32_t candidate = 0;
  for (int draw = 0; draw < kMaxDraws && !found; ++draw) {
    candidate = draw == 0 ? random_signature() : static_cast<uint32_t>(rand());
    char* guid = signature_to_guid(candidate);
    if (guid == nullptr) continue;
    found = !guid_taken(&disks, path, guid);
    free(guid);
  }
  disk_list_free(&disks);
  if (!found) {
    HM_LOG(LOG_ERR, "No unique signature found for %s.", path);
    return;
  }
  // Read again, just before the write: the enumeration can take long
  // ("zeldisk -r" runs up to its limit), and a disk that gained data or a
  // signature meanwhile must be left alone.
  if (sector0_allows_signing(path)) write_disk_signature(path, candidate);
}

int qor_guid_online(const char* guid) {
  // A LUN whose inquiry failed carries the empty text, which names no disk.
  if (guid == nullptr || guid[0] == '\0') return 0;
  struct list_head disks;
  INIT_LIST_HEAD(&disks);
  qor_get_disks(&disks, 1);
  int online = 0;
  struct list_head* pos;
  list_for_each(pos, &disks) {
    const qor_disk* d = list_entry(pos, qor_disk, list);
    if (!d->state || d->guid == nullptr) continue;
    if (strcmp(d->guid, guid) == 0) {
      online = 1;
      break;
    }
    struct list_head* p;
    list_for_each(p, &d->parts) {
      const qor_part* part = list_entry(p, qor_part, list);
      if (part->guid != nullptr && strcmp(part->guid, guid) == 0) {
        online = 1;
        break;
      }
    }
    if (online) break;
  }
  disk_list_free(&disks);
  return online;
}
