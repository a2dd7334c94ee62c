// Block-device scan: the whole disks of the host, for the disk checks of
// protect and the signature uniqueness check.
#include "blkdev.h"

#include <ctype.h>
#include <stddef.h>
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <string>

#include "host/host.h"

namespace {

std::string g_root;  // empty on a real run

std::string rooted(const char* path) { return g_root + path; }

void INIT_LIST_HEAD(blkdev_link* head) {
  head->next = head;
  head->prev = head;
}

void __list_add(blkdev_link* node, blkdev_link* prev, blkdev_link* next) {
  next->prev = node;
  node->next = next;
  node->prev = prev;
  prev->next = node;
}

// Newest entry first.
void list_add(blkdev_link* node, blkdev_link* head) {
  __list_add(node, head, head->next);
}

void __list_del(blkdev_link* prev, blkdev_link* next) {
  next->prev = prev;
  prev->next = next;
}

void list_del(blkdev_link* entry) {
  __list_del(entry->prev, entry->next);
  entry->next = nullptr;
  entry->prev = nullptr;
}

bool starts_with(const char* s, const char* prefix) {
  return strncmp(s, prefix, strlen(prefix)) == 0;
}

// 0 when the entry could be added; -1 when memory ran out (ends the walk).
int add_entry(blkdev_link* head, const char* path) {
  blkdev_entry* e = static_cast<blkdev_entry*>(calloc(1, sizeof(*e)));
  if (e == nullptr) return -1;
  snprintf(e->path, sizeof(e->path), "%s", path);
  list_add(&e->list, head);
  return 0;
}

void scan_sys_block(DIR* dir, blkdev_link* head) {
  struct dirent* de;
  while ((de = readdir(dir)) != nullptr) {
    const char* name = de->d_name;
    if (!starts_with(name, "sd") && !starts_with(name, "hd") &&
        !starts_with(name, "cciss!"))
      continue;
    if (strlen(name) > 250) continue;
    // cciss!c0d0 is the node /dev/cciss/c0d0.
    char path[BLKDEV_PATH_LEN];
    snprintf(path, sizeof(path), "/dev/%s", name);
    for (char* p = path + 5; *p != '\0'; p++)
      if (*p == '!' || *p == '.') *p = '/';
    if (add_entry(head, path) != 0) break;
  }
}

// Whole disks only: a partition's name ends in its number.
void scan_proc_partitions(FILE* f, blkdev_link* head) {
  char line[512];
  while (fgets(line, sizeof(line), f) != nullptr) {
    int major, minor, blocks;
    char name[256];
    if (sscanf(line, "%d %d %d %255s", &major, &minor, &blocks, name) != 4)
      continue;
    if (!starts_with(name, "sd") && !starts_with(name, "hd")) continue;
    if (isdigit(static_cast<unsigned char>(name[strlen(name) - 1]))) continue;
    char path[BLKDEV_PATH_LEN];
    snprintf(path, sizeof(path), "/dev/%s", name);
    if (add_entry(head, path) != 0) break;
  }
}

void scan_dev_mapper(DIR* dir, blkdev_link* head) {
  struct dirent* de;
  while ((de = readdir(dir)) != nullptr) {
    if (de->d_name[0] == '.') continue;
    char path[256];
    if (snprintf(path, sizeof(path), "/dev/mapper/%s", de->d_name) >=
        static_cast<int>(sizeof(path)))
      continue;
    struct stat st;
    if (hl_stat(rooted(path).c_str(), &st) != 0) continue;
    if (!is_dm_major(static_cast<int>(major(st.st_rdev)))) continue;
    if (add_entry(head, path) != 0) break;
  }
}

}  // namespace

static_assert(offsetof(blkdev_entry, list) == 0, "a link is its entry");

void blkdev_set_root_for_test(const char* root) {
  g_root = root != nullptr ? root : "";
}

void blkdev_list_init(blkdev_link* head) { INIT_LIST_HEAD(head); }

int is_dm_major(int major_nr) {
  FILE* f = fopen(rooted("/proc/devices").c_str(), "r");
  if (f == nullptr) return 0;
  char line[512];
  int found = 0;
  while (fgets(line, sizeof(line), f) != nullptr) {
    int nr;
    char name[256];
    if (sscanf(line, "%d %255s", &nr, name) == 2 && nr == major_nr &&
        strcmp(name, "device-mapper") == 0) {
      found = 1;
      break;
    }
  }
  fclose(f);
  return found;
}

int scan_block_devices(blkdev_link* head) {
  if (head == nullptr) return -1;

  DIR* dir = opendir(rooted("/sys/block").c_str());
  if (dir != nullptr) {
    scan_sys_block(dir, head);
    closedir(dir);
    return 0;
  }

  FILE* f = fopen(rooted("/proc/partitions").c_str(), "r");
  if (f == nullptr) return -1;
  scan_proc_partitions(f, head);
  fclose(f);

  dir = opendir(rooted("/dev/mapper").c_str());
  if (dir == nullptr) return 0;
  scan_dev_mapper(dir, head);
  closedir(dir);
  return 0;
}

void free_block_devices(blkdev_link* head) {
  if (head == nullptr) return;
  while (head->next != head) {
    blkdev_link* node = head->next;
    list_del(node);
    free(blkdev_entry_of(node));
  }
}

void print_block_devices(void) {
  blkdev_link head;
  INIT_LIST_HEAD(&head);
  scan_block_devices(&head);
  for (blkdev_link* p = head.next; p != &head; p = p->next)
    puts(blkdev_entry_of(p)->path);
  free_block_devices(&head);
}
