// Reading the boot registry: one protection per line,
//   PATH? volume_id_{GUID} PATH? volume_id_{GUID} line_end
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "volreadd.h"
#include "mirapi/log.h"
#include "mirapi/scsi.h"

namespace {

std::string g_reg_path = HM_REG_PATH;

const char kGuidKey[] = "volume_id_{";

void free_entry(hm_reg_entry* e, hm_reg_disk* p, hm_reg_disk* m) {
  free(e);
  free(p);
  free(m);
}

void read_size(hm_reg_disk* d) {
  if (device_size_scsi_read_cap(d->name, &d->size) != 0) {
    printf("Failed to get disk %s size\n", d->name);
    d->size = 0;
  }
}

}  // namespace

void volreadd_set_registry_path_for_test(const char* path) {
  g_reg_path = path != nullptr ? path : HM_REG_PATH;
}

// A token is "NAME volume_id_{GUID}": the name ends at the first blank, the
// GUID at the first "}". A token without a blank, without its "}", or with
// a name or GUID too long for its 128-byte field is refused (-1), so no
// field is ever overrun.
int parse_reg_token(const char* text, int length, char* name, char* guid) {
  name[0] = '\0';
  guid[0] = '\0';
  int blank = 0;
  while (blank < length && text[blank] != '\0' && text[blank] != ' ' &&
         text[blank] != '\n')
    blank++;
  if (blank == 0 || blank >= length || text[blank] != ' ') return -1;
  if (blank >= HM_NAME_LEN) return -1;

  int close = blank;
  while (close < length && text[close] != '\0' && text[close] != '}') close++;
  if (close >= length || text[close] != '}') return -1;

  int start = -1;
  const int key_len = static_cast<int>(sizeof(kGuidKey) - 1);
  for (int i = blank; i + key_len <= close; i++) {
    if (memcmp(text + i, kGuidKey, key_len) == 0) {
      start = i + key_len;
      break;
    }
  }
  int guid_len = start < 0 ? 0 : close - start;
  if (guid_len >= HM_NAME_LEN) return -1;

  memcpy(name, text, blank);
  name[blank] = '\0';
  if (guid_len > 0) memcpy(guid, text + start, guid_len);
  guid[guid_len] = '\0';
  return close;
}

int parse_reg_line(const char* line, int length, char* pname, char* pguid,
                   char* mname, char* mguid) {
  mname[0] = '\0';
  mguid[0] = '\0';
  int close = parse_reg_token(line, length, pname, pguid);
  if (close < 0 || close >= length) return -1;
  int slash = close + 1;
  while (slash < length && line[slash] != '\0' && line[slash] != '/') slash++;
  if (slash >= length || line[slash] != '/') return 0;  // no mirror token
  if (parse_reg_token(line + slash, length - slash, mname, mguid) < 0) {
    mname[0] = '\0';
    mguid[0] = '\0';
    return -1;
  }
  return 0;
}

int load_hmdevs_reg(struct list_head* list) {
  if (access(g_reg_path.c_str(), R_OK) != 0) {
    puts("HMDEV.CONF file not exist!");
    return -1;
  }
  FILE* f = fopen(g_reg_path.c_str(), "r");
  if (f == nullptr) {
    puts("Failed to open hmdevs.conf");
    return -1;
  }

  char line[HM_REG_LINE];
  for (;;) {
    memset(line, 0, sizeof(line));
    if (fgets(line, sizeof(line), f) == nullptr) break;

    hm_reg_entry* e = static_cast<hm_reg_entry*>(calloc(1, sizeof(*e)));
    hm_reg_disk* p = static_cast<hm_reg_disk*>(calloc(1, sizeof(*p)));
    hm_reg_disk* m = static_cast<hm_reg_disk*>(calloc(1, sizeof(*m)));
    if (e == nullptr || p == nullptr || m == nullptr) {
      free_entry(e, p, m);
      break;
    }
    // A line that names no complete pair is no protection: registering it
    // would hand the module a member without a path.
    if (parse_reg_line(line, sizeof(line), p->name, p->guid, m->name,
                       m->guid) != 0 ||
        p->guid[0] == '\0' || m->name[0] == '\0' || m->guid[0] == '\0') {
      log_write(LOG_ERR, "load_hmdevs_reg", __LINE__, "skip registry line: %s", line);
      free_entry(e, p, m);
      continue;
    }
    read_size(p);
    read_size(m);
    e->primary = p;
    e->mirror = m;
    list_add_tail(&e->list, list);
  }
  fclose(f);
  return 0;
}

hm_reg_entry* find_protection(struct list_head* list, const char* guid,
                              int side) {
  struct list_head* pos;
  list_for_each(pos, list) {
    hm_reg_entry* e = list_entry(pos, hm_reg_entry, list);
    const hm_reg_disk* d = side == HM_SIDE_PRIMARY ? e->primary : e->mirror;
    if (strcmp(d->guid, guid) == 0) return e;
  }
  return nullptr;
}

void print_protections(struct list_head* list) {
  int n = 0;
  struct list_head* pos;
  list_for_each(pos, list) {
    hm_reg_entry* e = list_entry(pos, hm_reg_entry, list);
    printf("HMDEV - %d:\n", ++n);
    printf("  primary: %s - %s\n", e->primary->name, e->primary->guid);
    printf("  mirror:  %s - %s\n", e->mirror->name, e->mirror->guid);
  }
  printf("\n");
}

void free_hmdevs_reg(struct list_head* list) {
  struct list_head *pos, *next;
  list_for_each_safe(pos, next, list) {
    hm_reg_entry* e = list_entry(pos, hm_reg_entry, list);
    list_del(pos);
    free_entry(e, e->primary, e->mirror);
  }
}
