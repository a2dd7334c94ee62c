// Host facts of the inventory: host name, distribution, DBOEM, IPv4
// addresses and the system disk.
#include <errno.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "mirapi/log.h"
#include "qor_inventory.h"
#include "qor_run.h"

char* get_hostname(void) {
  char* name = static_cast<char*>(calloc(1, QOR_TEXT_SIZE));
  if (name == nullptr) {
    HM_LOG(LOG_ERR, "Failed to allocate memory for hostname");
    return nullptr;
  }
  if (gethostname(name, QOR_TEXT_SIZE - 1) != 0) {
    HM_LOG(LOG_ERR, "Failed to get hostname: %s", strerror(errno));
    free(name);
    return nullptr;
  }
  return name;
}

uint32_t get_system_type(void) { return 0; }

int32_t get_dboem(void) {
  char line[QOR_TEXT_SIZE];
  int has_line = 0;
  int rc = qor_run_shell("get_db_home.sh", QOR_RUN_LIMIT_S, line, sizeof line, &has_line);
  if (rc == QOR_RUN_FAILED) {
    HM_LOG(LOG_ERR, "Failed to open pipe for db_home.");
    return 0;
  }
  HM_LOG(LOG_DEBUG, "Reading DB home.");
  if (rc == QOR_RUN_TIMEOUT) HM_LOG(LOG_ERR, "get_db_home.sh ran past %d seconds.", QOR_RUN_LIMIT_S);
  if (!has_line) {
    HM_LOG(LOG_ERR, "Failed to get DBOEM.");
    return 0;
  }
  int dboem = 0;
  if (sscanf(line, "%d", &dboem) != 1) dboem = 0;
  HM_LOG(LOG_DEBUG, "Got DBOEM: %d", dboem);
  return dboem;
}

static char* first_line_of(const char* path) {
  FILE* f = fopen(path, "r");
  if (f == nullptr) {
    HM_LOG(LOG_ERR, "Failed to open file %s\n", path);
    return nullptr;
  }
  char* text = static_cast<char*>(calloc(1, QOR_TEXT_SIZE));
  if (text == nullptr) {
    HM_LOG(LOG_ERR, "Failed to allocate memory for retrieving distro name.");
  } else if (read_line(f, text, QOR_TEXT_SIZE) < 0) {
    free(text);
    text = nullptr;
  }
  fclose(f);
  return text;
}

char* get_osver(void) { return first_line_of("/etc/issue"); }
char* get_osver_redhat(void) { return first_line_of("/etc/redhat-release"); }

static bool filtered(const qor_t* qor, uint32_t addr) {
  if (qor == nullptr) return false;
  const struct list_head* pos;
  list_for_each(pos, &qor->ip_filter) {
    if (list_entry(pos, ip_entry, list)->addr == addr) return true;
  }
  return false;
}

int get_ipsv4_filter_ip(qor_t* qor, struct list_head* ips) {
  struct ifaddrs* all = nullptr;
  if (ips == nullptr || getifaddrs(&all) != 0) return 0;
  int added = 0;
  for (struct ifaddrs* ifa = all; ifa != nullptr; ifa = ifa->ifa_next) {
    if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_INET) continue;
    if (ifa->ifa_name != nullptr && strcmp(ifa->ifa_name, "lo") == 0) continue;
    uint32_t addr = reinterpret_cast<const struct sockaddr_in*>(ifa->ifa_addr)->sin_addr.s_addr;
    if (filtered(qor, addr)) continue;
    ip_entry* e = static_cast<ip_entry*>(calloc(1, sizeof(*e)));
    if (e == nullptr) {
      HM_LOG(LOG_ERR, "Failed to allocate memory");
      continue;
    }
    e->addr = addr;
    list_add_tail(&e->list, ips);
    ++added;
  }
  freeifaddrs(all);
  return added;
}

// Whether dev names the disk at path or one of its partitions.
static bool on_disk(const char* dev, const char* path) {
  size_t n = strlen(path);
  if (n == 0 || strncmp(dev, path, n) != 0) return false;
  const char* rest = dev + n;
  if (*rest == '\0') return true;
  // A disk whose name ends in a digit (cciss/c0d0) numbers its partitions
  // after a "p".
  if (path[n - 1] >= '0' && path[n - 1] <= '9') {
    if (*rest != 'p') return false;
    ++rest;
  }
  if (*rest == '\0') return false;
  for (; *rest != '\0'; ++rest)
    if (*rest < '0' || *rest > '9') return false;
  return true;
}

int is_boot_dev_in(const char* mtab, const char* path) {
  if (path == nullptr || *path == '\0') return 0;
  FILE* f = fopen(mtab, "r");
  if (f == nullptr) {
    HM_LOG(LOG_ERR, "%s is not exit.\n", mtab);
    return 0;
  }
  int boot = 0;
  char line[QOR_TEXT_SIZE];
  while (!boot && fgets(line, sizeof line, f) != nullptr) {
    char dev[QOR_TEXT_SIZE], dir[QOR_TEXT_SIZE];
    if (sscanf(line, "%511s %511s", dev, dir) != 2) continue;
    if (strcmp(dir, "/") != 0 && strcmp(dir, "/boot") != 0) continue;
    if (on_disk(dev, path)) boot = 1;
  }
  fclose(f);
  if (boot) HM_LOG(LOG_DEBUG, "%s is sysdisk.\n", path);
  return boot;
}

int is_boot_dev(const char* path) { return is_boot_dev_in("/etc/mtab", path); }
