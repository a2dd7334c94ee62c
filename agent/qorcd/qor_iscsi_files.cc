// The iSCSI channel's names and files: the checks that keep a peer's text
// from becoming an option or a path, the host's own addresses, the agent's
// interface files and open-iscsi's node records.
#include "qor_iscsi_files.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "mirapi/log.h"

namespace {

bool name_chars_ok(const char* s, size_t max, const char* extra) {
  size_t n = strlen(s);
  if (n == 0 || n > max) return false;
  for (size_t i = 0; i < n; ++i) {
    char c = s[i];
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              (c != '\0' && strchr(extra, c) != nullptr);
    if (!ok) return false;
  }
  return true;
}

// The interface file's text: the network interface, the file's own name,
// and the fixed settings open-iscsi reads.
const char kIfaceFormat[] = "iface.net_ifacename = %s\niface.iscsi_ifacename = %s\n%s";
const char kIfaceTail[] =
    "iface.transport_name = tcp\niface.vlan_id = 0\niface.vlan_priority = 0\n"
    "iface.iface_num = 0\niface.mtu = 0\niface.port = 0\n";

bool write_all(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

}  // namespace

bool qor_iscsi_iqn_ok(const char* iqn) {
  return iqn != nullptr && isalnum(static_cast<unsigned char>(iqn[0])) &&
         name_chars_ok(iqn, 223, ".:-_");
}

bool qor_iscsi_ifname_ok(const char* name) {
  return name != nullptr && name[0] != '-' && name[0] != '.' && name_chars_ok(name, 15, "._-");
}

bool qor_iscsi_addr_unset(uint32_t addr) { return addr == 0 || addr == 0xFFFFFFFFu; }

char* node_ip_str(const qor_iscsi_node* node) {
  if (node == nullptr || qor_iscsi_addr_unset(node->addr)) return nullptr;
  char* text = static_cast<char*>(calloc(1, 16));
  if (text == nullptr) return nullptr;
  struct in_addr a;
  a.s_addr = node->addr;
  inet_ntop(AF_INET, &a, text, 16);
  return text;
}

char* get_portal(const qor_iscsi_node* tgt) {
  if (tgt == nullptr) {
    HM_LOG(LOG_ERR, "tgt is NULL");
    return nullptr;
  }
  char* ip = node_ip_str(tgt);
  if (ip == nullptr) {
    HM_LOG(LOG_DEBUG, "Target ip is NULL");
    return nullptr;
  }
  char* portal = static_cast<char*>(calloc(1, QOR_ISCSI_BUF));
  if (portal != nullptr) {
    if (tgt->port != 0)
      snprintf(portal, QOR_ISCSI_BUF, "%s:%d", ip, ntohs(tgt->port));
    else
      snprintf(portal, QOR_ISCSI_BUF, "%s", ip);
  }
  free(ip);
  return portal;
}

char* get_nic_name(const qor_iscsi_node* init) {
  if (init == nullptr) {
    HM_LOG(LOG_ERR, "init is NULL");
    return nullptr;
  }
  char* ip = node_ip_str(init);
  if (ip == nullptr) {
    HM_LOG(LOG_ERR, "initiator ip is NULL");
    return nullptr;
  }
  struct ifaddrs* all = nullptr;
  if (getifaddrs(&all) != 0) {
    HM_LOG(LOG_ERR, "Failed to get ifaddrs");
    free(ip);
    return nullptr;
  }
  char* name = nullptr;
  for (struct ifaddrs* ifa = all; ifa != nullptr && name == nullptr; ifa = ifa->ifa_next) {
    if (ifa->ifa_addr == nullptr || ifa->ifa_name == nullptr || strcmp(ifa->ifa_name, "lo") == 0 ||
        ifa->ifa_addr->sa_family != AF_INET)
      continue;
    char host[NI_MAXHOST];
    int rc = getnameinfo(ifa->ifa_addr, sizeof(struct sockaddr_in), host, sizeof host, nullptr, 0,
                         NI_NUMERICHOST);
    if (rc != 0) {
      HM_LOG(LOG_ERR, "Failed to get ip by getnameinfo(): %s\n", gai_strerror(rc));
      break;
    }
    if (strcmp(host, ip) != 0) continue;
    // The name goes into a file name and an argument of iscsiadm.
    if (!qor_iscsi_ifname_ok(ifa->ifa_name)) {
      HM_LOG(LOG_ERR, "Interface name of %s is not usable", ip);
      break;
    }
    name = static_cast<char*>(calloc(1, QOR_ISCSI_BUF));
    if (name != nullptr) snprintf(name, QOR_ISCSI_BUF, "%s", ifa->ifa_name);
  }
  freeifaddrs(all);
  free(ip);
  return name;
}

int is_host_ip(const qor_iscsi_node* init) {
  if (init == nullptr) {
    HM_LOG(LOG_ERR, "init is NULL");
    return -1;
  }
  char* nic = get_nic_name(init);
  if (nic == nullptr) {
    HM_LOG(LOG_DEBUG, "Ip is not the host ip");
    return -1;
  }
  free(nic);
  return 0;
}

char* get_iface_name(const qor_iscsi_node* init) {
  if (init == nullptr) {
    HM_LOG(LOG_ERR, "init is NULL");
    return nullptr;
  }
  char* nic = get_nic_name(init);
  if (nic == nullptr) {
    HM_LOG(LOG_DEBUG, "Ip is not the host ip");
    return nullptr;
  }
  char* name = static_cast<char*>(calloc(1, QOR_ISCSI_BUF));
  if (name != nullptr) snprintf(name, QOR_ISCSI_BUF, "%s%s", QOR_ISCSI_IFACE_PREFIX, nic);
  free(nic);
  return name;
}

int is_iface_exist(const qor_iscsi_node* init) {
  char* name = get_iface_name(init);
  if (name == nullptr) return -1;
  char path[QOR_ISCSI_BUF + 64];
  snprintf(path, sizeof path, "%s/%s", QOR_ISCSI_IFACES_DIR, name);
  free(name);
  return is_file(path) ? 0 : -1;
}

int _creat_iface(const qor_iscsi_node* init) {
  char* nic = get_nic_name(init);
  if (nic == nullptr) {
    HM_LOG(LOG_DEBUG, "Ip is not the host ip");
    return -1;
  }
  char* name = get_iface_name(init);
  if (name == nullptr) {
    HM_LOG(LOG_ERR, "Failed to get iface name");
    free(nic);
    return -1;
  }
  char path[QOR_ISCSI_BUF + 64];
  snprintf(path, sizeof path, "%s/%s", QOR_ISCSI_IFACES_DIR, name);
  char* content = nullptr;
  int len = asprintf(&content, kIfaceFormat, nic, name, kIfaceTail);
  free(nic);
  free(name);
  if (len < 0) return -1;
  HM_LOG(LOG_DEBUG, "iface_path:%s", path);
  HM_LOG(LOG_DEBUG, "iface_context:%s", content);

  // Each writer has a temporary name of its own ("qor_iface.back" and a
  // unique tail), so two set-ups at once never write into one file; the
  // rename puts a whole file in place.
  char tmp[] = QOR_ISCSI_IFACES_DIR "/qor_iface.back.XXXXXX";
  int fd = mkstemp(tmp);
  if (fd < 0) {
    HM_LOG(LOG_ERR, "Failed to open file:%s", path);
    free(content);
    return -1;
  }
  fchmod(fd, 0600);
  bool ok = write_all(fd, content, static_cast<size_t>(len));
  free(content);
  if (close(fd) != 0) ok = false;
  if (!ok) {
    unlink(tmp);
    return -1;
  }
  if (rename(tmp, path) != 0) {
    HM_LOG(LOG_ERR, "qor_iface file create failed.");
    unlink(tmp);
    return -1;
  }
  return 0;
}

int check_before_operate(char** iface_name, const qor_iscsi_node* init) {
  if (init == nullptr) {
    HM_LOG(LOG_ERR, "init is NULL");
    return -1;
  }
  if (iface_name == nullptr) {
    HM_LOG(LOG_ERR, "iface_name is NULL");
    return -1;
  }
  *iface_name = nullptr;
  if (qor_iscsi_addr_unset(init->addr)) {
    HM_LOG(LOG_DEBUG, "init ip is NULL");
    return 0;
  }
  if (is_host_ip(init) != 0) return 0;
  char* name = get_iface_name(init);
  if (name == nullptr) {
    HM_LOG(LOG_ERR, "Failed to get iface name");
    return -1;
  }
  if (is_iface_exist(init) != 0) _creat_iface(init);
  *iface_name = name;
  return 0;
}

int remove_iscsi_iface(void) {
  DIR* d = opendir(QOR_ISCSI_IFACES_DIR);
  if (d == nullptr) {
    HM_LOG(LOG_ERR, "Failed to open dir:%s", QOR_ISCSI_IFACES_DIR);
    return -1;
  }
  while (struct dirent* e = readdir(d)) {
    if (strncmp(e->d_name, QOR_ISCSI_IFACE_PREFIX, strlen(QOR_ISCSI_IFACE_PREFIX)) != 0) continue;
    char path[PATH_MAX];
    if (snprintf(path, sizeof path, "%s/%s", QOR_ISCSI_IFACES_DIR, e->d_name) < static_cast<int>(sizeof path))
      unlink(path);
  }
  closedir(d);
  HM_LOG(LOG_DEBUG, "Remove iscsi iface success.");
  return 0;
}

int remove_iscsi_node_record(const char* iqn, const char* keep_addr) {
  if (iqn == nullptr) return 0;
  // The IQN names a directory under nodes/: one that could name anything
  // else is refused.
  if (!qor_iscsi_iqn_ok(iqn)) {
    HM_LOG(LOG_ERR, "Refused target iqn '%s'", iqn);
    return -1;
  }
  char dir[PATH_MAX];
  snprintf(dir, sizeof dir, "%s/%s", QOR_ISCSI_NODES_DIR, iqn);
  if (keep_addr == nullptr) return remove_file(dir);

  DIR* d = opendir(dir);
  if (d == nullptr) {
    HM_LOG(LOG_ERR, "Failed to open dir:%s", dir);
    return -1;
  }
  // A record of the portal is named "ADDR,PORT,TPGT": the address with its
  // comma, so 10.1.1.5 does not keep 10.1.1.50's records.
  char keep[64];
  snprintf(keep, sizeof keep, "%s,", keep_addr);
  int rc = 0;
  while (struct dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    if (strncmp(e->d_name, keep, strlen(keep)) == 0) continue;
    char path[PATH_MAX];
    if (snprintf(path, sizeof path, "%s/%s", dir, e->d_name) >= static_cast<int>(sizeof path) ||
        remove_file(path) != 0) {
      rc = -1;
      break;
    }
  }
  closedir(d);
  if (rc == 0) HM_LOG(LOG_DEBUG, "Remove iscsi node recode success.");
  return rc;
}

int remove_file(const char* path) {
  // By lstat: a link is never followed, so nothing outside the tree goes.
  struct stat st;
  if (path == nullptr) return -1;
  bool found = lstat(path, &st) == 0;
  if (found && S_ISREG(st.st_mode)) return unlink(path) == 0 ? 0 : -1;
  if (!found || !S_ISDIR(st.st_mode)) {
    HM_LOG(LOG_ERR, "Failed to open dir:%s", path);
    return -1;
  }
  DIR* d = opendir(path);
  if (d == nullptr) {
    HM_LOG(LOG_ERR, "Failed to open dir:%s", path);
    return -1;
  }
  int rc = 0;
  while (struct dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    char sub[PATH_MAX];
    if (snprintf(sub, sizeof sub, "%s/%s", path, e->d_name) >= static_cast<int>(sizeof sub)) {
      rc = -1;
      continue;
    }
    if (is_dir(sub)) {
      if (remove_file(sub) != 0) rc = -1;
    } else if (is_file(sub)) {
      if (unlink(sub) != 0) rc = -1;
    }
    // Other kinds (links, sockets) stay, and so does their directory.
  }
  closedir(d);
  if (rmdir(path) != 0) rc = -1;
  return rc;
}

int get_value(char* buf, const char* path, size_t size) {
  if (path == nullptr || buf == nullptr || size == 0) {
    HM_LOG(LOG_ERR, "%s: Invalid input", "get_value");
    return -1;
  }
  if (access(path, F_OK) != 0) {
    HM_LOG(LOG_ERR, "%s is not exist", path);
    return -1;
  }
  FILE* f = fopen(path, "r");
  if (f == nullptr) {
    HM_LOG(LOG_ERR, "Failed to open %s", path);
    return -1;
  }
  memset(buf, 0, size);
  bool got = fgets(buf, static_cast<int>(size), f) != nullptr;
  fclose(f);
  if (!got) {
    HM_LOG(LOG_ERR, "Failed to get value from %s", path);
    return -1;
  }
  buf[strcspn(buf, "\n")] = '\0';
  return 0;
}

bool is_dir(const char* path) {
  struct stat st;
  return path != nullptr && lstat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_file(const char* path) {
  struct stat st;
  return path != nullptr && lstat(path, &st) == 0 && S_ISREG(st.st_mode);
}
