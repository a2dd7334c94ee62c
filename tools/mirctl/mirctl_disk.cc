// The disk and daemon commands that only forward one request.
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "mirctl.h"
#include "mirapi/disk_id.h"
#include "mirapi/log.h"

namespace {

// A request: header, then up to 16 + 16 + MIRCTL_PATH_MAX body bytes.
struct request {
  hm_header_t head;
  char body[64 + MIRCTL_PATH_MAX];
} __attribute__((packed));

void set_head(request* r, int code, int arg, size_t body_len) {
  r->head.cmd = static_cast<uint8_t>(code);
  r->head.arg = static_cast<uint8_t>(arg);
  r->head.body_len = static_cast<uint16_t>(body_len);
  r->head.retcode = 0;
}

int unknown_to_usage(int argc) {
  if (argc >= 1) return 0;
  mirctl_usage();
  return -1;
}

// fail, up, del and add name a disk by its bare name.
int disk_name_handler(int argc, char** argv, int code) {
  if (unknown_to_usage(argc) != 0) return -1;
  char path[MIRCTL_PATH_MAX + 2];
  int n = snprintf(path, sizeof(path), "/dev/%s", argv[0]);
  if (argv[0][0] == '\0' || n > MIRCTL_PATH_MAX) {
    printf("wrong arg: %s\n", argv[0]);
    mirctl_usage();
    return -1;
  }
  return mirctl_disk_name_cmd(path, code);
}

}  // namespace

int mirctl_disk_cmd(int argc, char** argv, int code) {
  if (argc < 1) {
    mirctl_usage();
    return -1;
  }
  const char* path = argv[0];
  if (!mirctl_path_ok(path, path)) return -1;

  uint32_t signature = 0;
  if (get_volume_signature(path, &signature) != 0) {
    printf("cmd: %s failed get volume: %s signature\n", hm_un_cmd_name(code),
           path);
    return -1;
  }
  printf("signature: %x\n", signature);

  request r = {};
  size_t path_len = strlen(path);
  hm_un_desc_t desc = {};
  desc.kind = HM_UN_DESC_SIGNATURE;
  desc.id.signature = signature;
  desc.path_off = HM_UN_DESC_PATH_OFF;
  desc.path_len = static_cast<uint16_t>(path_len);
  if (code == DISK_SYNC && argc >= 2) {
    printf("param: %s\n", argv[1]);
    const char* speed = get_key_value(argv[1], "speed");
    if (speed != nullptr) desc.param = static_cast<uint32_t>(atoi(speed));
  }
  memcpy(r.body, &desc, sizeof(desc));
  memcpy(r.body + HM_UN_DESC_PATH_OFF, path, path_len);
  size_t body_len = HM_UN_DESC_PATH_OFF + path_len;
  set_head(&r, code, 0, body_len);
  return mirctl_send_and_report(&r, static_cast<int>(sizeof(r.head) + body_len),
                                code);
}

int index_cmd(const char* arg, int code) {
  const char* value = get_key_value(arg, "IndexID");
  // The index travels in the header's one-byte argument.
  if (!is_all_digits(value) || strlen(value) > 3 || atoi(value) > 255) {
    printf("wrong arg: %s\n", arg);
    mirctl_usage();
    return -1;
  }

  request r = {};
  set_head(&r, GET_HMDEV_INFO, atoi(value), 0);
  char* reply;
  int ret = do_un_cmd(&r, sizeof(r.head), &reply);
  if (ret < 0) return ret;
  const hm_header_t* h = reinterpret_cast<const hm_header_t*>(reply);
  if (h->retcode != 0) {
    printf("cmd: %s failed: %s\n", hm_un_cmd_name(GET_HMDEV_INFO),
           hm_un_retcode_text(h->retcode));
    ret = -h->retcode;
    free(reply);
    return ret;
  }
  // The primary's descriptor is all that is sent on; a reply too short to
  // hold it must not be read past its end.
  if (h->body_len < sizeof(hm_un_desc_t)) {
    printf("cmd: %s failed: %s\n", hm_un_cmd_name(GET_HMDEV_INFO),
           hm_un_retcode_text(UN_RET_HMDEV_NOT_FOUND));
    free(reply);
    return -UN_RET_HMDEV_NOT_FOUND;
  }
  hm_un_desc_t primary;
  memcpy(&primary, reply + sizeof(*h), sizeof(primary));
  free(reply);

  printf("%s send unprotect cmd\n", "index_cmd");
  primary.path_off = 0;
  primary.path_len = 0;
  r = {};
  memcpy(r.body, &primary, sizeof(primary));
  set_head(&r, code, 0, sizeof(primary));
  return mirctl_send_and_report(
      &r, static_cast<int>(sizeof(r.head) + sizeof(primary)), code);
}

int mirctl_disk_name_cmd(const char* path, int code) {
  request r = {};
  size_t len = strlen(path);
  memcpy(r.body, path, len);
  set_head(&r, code, 0, len);
  return mirctl_send_and_report(&r, static_cast<int>(sizeof(r.head) + len),
                                code);
}

int mirctl_text_cmd(int code) {
  request r = {};
  set_head(&r, code, 0, 0);
  char* reply;
  int ret = do_un_cmd(&r, sizeof(r.head), &reply);
  if (ret < 0) return ret;
  const hm_header_t* h = reinterpret_cast<const hm_header_t*>(reply);
  if (h->retcode != 0) {
    printf("retcode: %d\n", h->retcode);
    printf("cmd: %s code: %d failed: %s\n", hm_un_cmd_name(code), code,
           hm_un_retcode_text(h->retcode));
    ret = -h->retcode;
  } else if (h->body_len != 0) {
    puts(reply + sizeof(*h));
  }
  free(reply);
  return ret;
}

int mirctl_debug_switch(int code) {
  request r = {};
  set_head(&r, code, 0, 0);
  return mirctl_daemon_cmd(&r, sizeof(r.head));
}

int mirctl_disk_unprotect(int argc, char** argv) {
  if (argc >= 1 && strncmp(argv[0], "IndexID", 7) == 0)
    return index_cmd(argv[0], CANCEL_DISK_PROTECT);
  return mirctl_disk_cmd(argc, argv, CANCEL_DISK_PROTECT);
}

int mirctl_disk_sync(int argc, char** argv) {
  return mirctl_disk_cmd(argc, argv, DISK_SYNC);
}

int mirctl_disk_resync(int argc, char** argv) {
  return mirctl_disk_cmd(argc, argv, DISK_RESYNC);
}

int mirctl_disk_stopsync(int argc, char** argv) {
  return mirctl_disk_cmd(argc, argv, DISK_STOP_SYNC);
}

int mirctl_disk_stat(int argc, char** argv) {
  return mirctl_disk_cmd(argc, argv, GET_STATUS);
}

int mirctl_disk_statall(int, char**) { return mirctl_text_cmd(GET_STATUS_ALL); }

int mirctl_disk_list(int, char**) { return mirctl_text_cmd(DISK_LIST); }

int mirctl_disk_fail(int argc, char** argv) {
  return disk_name_handler(argc, argv, UN_CMD_DISK_FAIL);
}

int mirctl_disk_up(int argc, char** argv) {
  return disk_name_handler(argc, argv, UN_CMD_DISK_UP);
}

int mirctl_disk_del(int argc, char** argv) {
  return disk_name_handler(argc, argv, UN_CMD_DISK_DEL);
}

int mirctl_disk_add(int argc, char** argv) {
  return disk_name_handler(argc, argv, UN_CMD_DISK_ADD);
}

int mirctl_debugon(int, char**) {
  return mirctl_debug_switch(UN_CMD_ZELMIRD_DEBUG_ON);
}

int mirctl_debugoff(int, char**) {
  return mirctl_debug_switch(UN_CMD_ZELMIRD_DEBUG_OFF);
}

int mirctl_debug_level(int argc, char** argv) {
  if (argc < 1) {
    mirctl_usage();
    return -1;
  }
  // strtol, not atoi: a long run of digits must not overflow into range.
  long level = isdigit(static_cast<unsigned char>(argv[0][0]))
                   ? strtol(argv[0], nullptr, 10)
                   : -1;
  if (level < 0 || level >= 8) {
    printf("debug level must be in range [0, 7]\n");
    return -1;
  }
  request r = {};
  set_head(&r, UN_CMD_ZELMIRD_DEBUG_SET, static_cast<int>(level), 0);
  return mirctl_daemon_cmd(&r, sizeof(r.head));
}
