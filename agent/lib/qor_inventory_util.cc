// Small readers the inventory's gatherers share: blanks, sysfs attributes,
// directory entries and lines.
#include <dirent.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "mirapi/log.h"
#include "qor_inventory.h"
#include "qor_list.h"

char* trim_blank(char* text) {
  if (text == nullptr) return nullptr;
  size_t start = 0, len = strlen(text);
  while (start < len && text[start] == ' ') ++start;
  while (len > start && text[len - 1] == ' ') --len;
  memmove(text, text + start, len - start);
  text[len - start] = '\0';
  return text;
}

int sysfs_read_attribute(char* buf, const char* path) {
  FILE* f = fopen(path, "r");
  if (f == nullptr) {
    HM_LOG(LOG_ERR, "Failed to open '%s': %s", path, strerror(errno));
    return -1;
  }
  char data[QOR_TEXT_SIZE] = {0};
  size_t n = fread(data, 1, QOR_TEXT_SIZE - 1, f);
  if (n == 0 && ferror(f)) {
    HM_LOG(LOG_ERR, "Failed to read '%s': %s", path, strerror(errno));
    fclose(f);
    return -1;
  }
  fclose(f);
  char* nl = static_cast<char*>(memchr(data, '\n', n));
  if (nl != nullptr) n = static_cast<size_t>(nl - data);
  memcpy(buf, data, n);
  buf[n] = '\0';
  return static_cast<int>(n);
}

static void link_free(qor_link* link) {
  free(link->name);
  free(link->path);
  free(link);
}

void link_list_free(struct list_head* links) { QOR_LIST_FREE(links, qor_link, list, link_free); }

int get_links_in_dir(struct list_head* links, const char* dir) {
  DIR* d = opendir(dir);
  if (d == nullptr) {
    int err = errno;
    HM_LOG(LOG_ERR, "failed to open dir %s: %s", dir, strerror(err));
    return err;
  }
  while (struct dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    qor_link* link = static_cast<qor_link*>(calloc(1, sizeof(*link)));
    if (link == nullptr || (link->name = strdup(e->d_name)) == nullptr ||
        asprintf(&link->path, "%s/%s", dir, e->d_name) < 0) {
      if (link != nullptr) {
        link->path = nullptr;
        link_free(link);
      }
      HM_LOG(LOG_ERR, "Failed to allocate memory");
      continue;
    }
    list_add_tail(&link->list, links);
  }
  closedir(d);
  return 0;
}

int read_line(FILE* stream, char* buf, int size) {
  memset(buf, 0, static_cast<size_t>(size));
  int count = 0, stored = 0;
  for (;;) {
    int c = fgetc(stream);
    if (c == EOF) return -1;
    ++count;
    if (c == '\n') return count;
    if (stored < size - 1) buf[stored++] = c == '\r' ? '\0' : static_cast<char>(c);
  }
}
