// protect, mark and update: the commands that look at the disks themselves
// before (or instead of) asking the daemon.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "blkdev.h"
#include "mirctl.h"
#include "mirapi/disk_id.h"
#include "mirapi/log.h"
#include "mirapi/scsi.h"

namespace {

struct request {
  hm_header_t head;
  char body[64 + 3 * HM_NAME_LEN];
} __attribute__((packed));

int mirctl_get_guid(const char* path, char* guid) {
  return hm_scsi_get_guid(path, guid, HM_NAME_LEN);
}

int mirctl_disks_exist(const char* primary, const char* mirror) {
  blkdev_link head;
  blkdev_list_init(&head);
  scan_block_devices(&head);
  bool have_primary = false, have_mirror = false;
  for (blkdev_link* p = head.next; p != &head; p = p->next) {
    const char* path = blkdev_entry_of(p)->path;
    if (strcmp(path, primary) == 0) have_primary = true;
    if (strcmp(path, mirror) == 0 && strcmp(mirror, primary) != 0)
      have_mirror = true;
  }
  free_block_devices(&head);
  if (!have_primary) printf("primary disk %s not exist\n", primary);
  if (!have_mirror) printf("mirror disk %s not exist\n", mirror);
  return have_primary && have_mirror ? 0 : -1;
}

uint32_t draw_signature(uint32_t refused) {
  uint32_t s;
  do {
    s = static_cast<uint32_t>(rand());
  } while (s == 0 || s == refused);
  return s;
}

// Makes *signature non-zero and unlike that of every other disk of the host
// that is no storage LUN. 1 when it had to change, else 0. Nothing is
// written here: the caller writes the new signature only once every check
// of the command has passed.
int check_volume_signature(const char* primary, uint32_t* signature) {
  blkdev_link head;
  blkdev_list_init(&head);
  scan_block_devices(&head);
  srand(static_cast<unsigned>(time(nullptr)));

  int changed = 0;
  if (*signature == 0) {
    *signature = draw_signature(0);
    changed = 1;
  }
  blkdev_link* p = head.next;
  while (p != &head) {
    const char* path = blkdev_entry_of(p)->path;
    uint32_t other;
    if (strcmp(path, primary) != 0 && get_volume_signature(path, &other) == 0 &&
        other == *signature && volume_from_zelsolution(path) == 0) {
      *signature = draw_signature(*signature);
      changed = 1;
      p = head.next;
      continue;
    }
    p = p->next;
  }
  free_block_devices(&head);
  return changed;
}

int mirctl_check_size(const char* primary, const char* mirror) {
  uint64_t psize, msize;
  if (device_size_scsi_read_cap(primary, &psize) != 0 ||
      device_size_scsi_read_cap(mirror, &msize) != 0)
    return -1;
  if (msize < psize) {
    printf("Failed:\nprimary: %s size: %lu Bytes\nmirror: %s size: %lu Bytes too small\n",
           primary, static_cast<unsigned long>(psize), mirror,
           static_cast<unsigned long>(msize));
    return -1;
  }
  return 0;
}

// Appends @text at *cursor of @body; its offset counts from @base.
void put_text(char* body, uint32_t* cursor, uint32_t base, const char* text,
              uint16_t* off, uint16_t* len) {
  size_t n = strlen(text);
  memcpy(body + *cursor, text, n);
  *off = static_cast<uint16_t>(*cursor - base);
  *len = static_cast<uint16_t>(n);
  *cursor += static_cast<uint32_t>(n);
}

int wrong_arg(const char* arg) {
  printf("wrong arg: %s\n", arg);
  mirctl_usage();
  return -1;
}

}  // namespace

int mirctl_disk_protect(int argc, char** argv) {
  if (argc < 2) {
    mirctl_usage();
    return -1;
  }
  const char* primary = get_key_value(argv[0], "primary");
  if (primary == nullptr) return wrong_arg(argv[0]);
  const char* mirror = get_key_value(argv[1], "mirror");
  if (mirror == nullptr) return wrong_arg(argv[1]);
  if (!mirctl_path_ok(primary, argv[0]) || !mirctl_path_ok(mirror, argv[1]))
    return -1;

  if (mirctl_disks_exist(primary, mirror) != 0) return -1;

  uint32_t signature;
  if (get_volume_signature(primary, &signature) != 0) {
    printf("cmd: %s Failed get volume: %s signature\n", "SET_DISK_PROTECT",
           primary);
    return -1;
  }
  int changed = check_volume_signature(primary, &signature);

  if (volume_from_zelsolution(primary) != 0) {
    printf("Failed: \nprimary volume: %s must not come from ZELSolution\n",
           primary);
    return -1;
  }
  if (volume_from_zelsolution(mirror) == 0) {
    printf("Failed: \nmirror volume: %s not come from ZELSolution\n", mirror);
    return -1;
  }
  if (mirctl_check_size(primary, mirror) != 0) return -1;
  char guid[HM_NAME_LEN] = {};
  if (mirctl_get_guid(mirror, guid) != 0) {
    printf("cmd: %s Failed get volume: %s guid\n", "SET_DISK_PROTECT", mirror);
    return -1;
  }

  // Every check has passed: only now may the primary get its new signature.
  if (changed) {
    printf("%s %s signature change to: %x\n", "check_volume_signature", primary,
           signature);
    if (write_volume_signature(primary, signature) != 0) {
      printf("cmd: %s Failed check volume: %s signature\n", "SET_DISK_PROTECT",
             primary);
      return -1;
    }
  }

  HM_LOG(LOG_DEBUG, "dev_p: %s signature: %x dev_m: %s guid: %s\n",
         primary, signature, mirror, guid);
  request r = {};
  hm_un_protect_req_t fixed = {};
  fixed.mode = HM_UN_MODE_BACKUP;
  fixed.primary.kind = HM_UN_DESC_SIGNATURE;
  fixed.primary.id.signature = signature;
  fixed.mirror.kind = HM_UN_DESC_GUID;
  uint32_t cursor = HM_UN_PROTECT_TEXT_OFF;
  uint16_t off, len;
  put_text(r.body, &cursor, 0, primary, &off, &len);
  fixed.primary.path_off = off;
  fixed.primary.path_len = len;
  put_text(r.body, &cursor, 0, mirror, &off, &len);
  fixed.mirror.path_off = off;
  fixed.mirror.path_len = len;
  put_text(r.body, &cursor, 0, guid, &off, &len);
  fixed.mirror.id.g.guid_off = off;
  fixed.mirror.id.g.guid_len = len;
  memcpy(r.body, &fixed, sizeof(fixed));
  uint32_t body_len = cursor + HM_UN_PROTECT_TAIL;
  r.head.cmd = SET_DISK_PROTECT;
  r.head.body_len = static_cast<uint16_t>(body_len);
  uint32_t msg_len = static_cast<uint32_t>(sizeof(r.head)) + body_len;
  HM_LOG(LOG_DEBUG, "msg_len: %u body_len: %u\n", msg_len, body_len);

  char* reply;
  int ret = do_un_cmd(&r, static_cast<int>(msg_len), &reply);
  if (ret < 0) return ret;
  const hm_header_t* h = reinterpret_cast<const hm_header_t*>(reply);
  if (h->retcode != 0) {
    HM_LOG(LOG_ERR, "retcode: %d\n", h->retcode);
    printf("add protect: primary=%s mirror=%s failed: %s\n", primary, mirror,
           hm_un_retcode_text(h->retcode));
    ret = -h->retcode;
  } else {
    printf("add protect: primary=%s mirror=%s success\n", primary, mirror);
  }
  free(reply);
  return ret;
}

int mirctl_disk_mark(int argc, char** argv) {
  if (argc < 2) {
    mirctl_usage();
    return -1;
  }
  const char* path = argv[0];
  if (!mirctl_path_ok(path, path)) return -1;
  const char* value = get_key_value(argv[1], "Signature");
  // A value that is not wholly hexadecimal is a mistyped command, not a
  // signature of 0 to write.
  char* end = nullptr;
  unsigned long long sig = value != nullptr ? strtoull(value, &end, 16) : 0;
  if (value == nullptr || end == value || *end != '\0')
    return wrong_arg(argv[1]);
  uint32_t want = static_cast<uint32_t>(sig);
  int ret = write_volume_signature(path, want);
  // A protected primary keeps the signature it was registered with (the
  // module restamps sector 0), so a write that went through may still have
  // changed nothing: only the signature read back tells.
  uint32_t now = 0;
  if (ret == 0 && (get_volume_signature(path, &now) != 0 || now != want)) ret = -1;
  // The write's own reasons go to syslog; the administrator must still see
  // that the disk does not carry the signature.
  if (ret != 0) printf("cmd: mark Failed to write volume: %s signature\n", path);
  return ret;
}

int mirctl_disk_update_protect_state(int argc, char** argv) {
  HM_LOG(LOG_INFO, "mirctl update disk %s", argc >= 1 ? argv[0] : "");
  if (argc != 1) {
    mirctl_usage();
    return -1;
  }
  if (argv[0][0] == '\0') return 0;
  if (!mirctl_path_ok(argv[0], argv[0])) return -1;
  char path[HM_NAME_LEN] = {};
  snprintf(path, sizeof(path), "%s", argv[0]);

  hm_un_update_req_t fixed = {};
  fixed.mode = HM_UN_MODE_BACKUP;
  char guid[HM_NAME_LEN] = {};
  if (volume_from_zelsolution(path) != 0) {
    if (mirctl_get_guid(path, guid) != 0) {
      printf("cmd: update Failed to get volume %s guid\n", path);
      HM_LOG(LOG_ERR, "cmd: update Failed to get volume %s guid\n", path);
      return -1;
    }
    HM_LOG(LOG_INFO, "CMD:Update mirror:%s guid:%s", path, guid);
    fixed.disk.kind = HM_UN_DESC_GUID;
  } else {
    uint32_t signature;
    if (get_volume_signature(path, &signature) != 0) {
      printf("cmd: update Failed to get volume %s signature\n", path);
      HM_LOG(LOG_ERR, "cmd: update Failed to get volume %s signature\n", path);
      return -1;
    }
    HM_LOG(LOG_INFO, "CMD:Update primary:%s signature:%x", path, signature);
    fixed.disk.kind = HM_UN_DESC_SIGNATURE;
    fixed.disk.id.signature = signature;
  }

  request r = {};
  uint32_t cursor = HM_UN_UPDATE_TEXT_OFF;
  uint16_t off, len;
  put_text(r.body, &cursor, HM_UN_UPDATE_BASE, path, &off, &len);
  fixed.disk.path_off = off;
  fixed.disk.path_len = len;
  if (fixed.disk.kind == HM_UN_DESC_GUID) {
    put_text(r.body, &cursor, HM_UN_UPDATE_BASE, guid, &off, &len);
    fixed.disk.id.g.guid_off = off;
    fixed.disk.id.g.guid_len = len;
  }
  memcpy(r.body, &fixed, sizeof(fixed));
  r.head.cmd = UN_CMD_UPDATE_DISK;
  r.head.body_len = static_cast<uint16_t>(cursor);
  uint32_t msg_len = static_cast<uint32_t>(sizeof(r.head)) + cursor;
  HM_LOG(LOG_DEBUG, "msg_len: %u body_len: %u\n", msg_len, cursor);

  char* reply;
  int ret = do_un_cmd(&r, static_cast<int>(msg_len), &reply);
  if (ret < 0) return ret;
  const hm_header_t* h = reinterpret_cast<const hm_header_t*>(reply);
  if (h->retcode != 0) {
    HM_LOG(LOG_ERR, "retcode: %d\n", h->retcode);
    HM_LOG(LOG_ERR, "mirctl: update disk state failed diskpath:%s", path);
    printf("mirctl: update disk state failed diskpath:%s", path);
    ret = -h->retcode;
  } else {
    printf("update disk %s success\n", path);
  }
  free(reply);
  return ret;
}
