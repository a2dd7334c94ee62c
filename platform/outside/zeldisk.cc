// Stand-in for the maker's libzeldisk: the host's disks as its /sys shows
// them, a rescan, and a disk's partition-table type. What /sys cannot tell
// (a partition's GUID, file system and use) and what a rescan finds come
// from the host's answer files:
//
//   /etc/zelcdpagt/partitions.answer  "NAME GUID FS USED" a line, "-" for none
//   /etc/zelcdpagt/rescan.answer      "<result> [<delay in ms>]"; default 1
//   /etc/zelcdpagt/pending.disks      "NAME SIZE [GUID]" a line (SIZE in bytes
//                                     or with K, M or G): disks that a
//                                     successful rescan of a simulated host
//                                     attaches, once
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "calls_log.h"
#include "ctl_proto.h"
#include "host/host.h"
#include "zel/zeldisk.h"

namespace {

constexpr char kSysBlock[] = "/sys/block";
constexpr char kPartitionsAnswer[] = ZEL_ANSWER_DIR "/partitions.answer";
constexpr char kRescanAnswer[] = ZEL_ANSWER_DIR "/rescan.answer";
constexpr char kPendingDisks[] = ZEL_ANSWER_DIR "/pending.disks";

// The first line of a sysfs attribute without its line feed; the padding of
// a SCSI text stays, as the device reports it.
bool read_attr(const std::string& path, std::string* out) {
  FILE* f = fopen(path.c_str(), "re");
  if (!f) return false;
  char buf[512];
  bool ok = fgets(buf, sizeof buf, f) != nullptr;
  fclose(f);
  if (!ok) return false;
  *out = buf;
  if (!out->empty() && out->back() == '\n') out->pop_back();
  return true;
}

char* attr_text(const std::string& path) {
  std::string v;
  return read_attr(path, &v) ? strdup(v.c_str()) : nullptr;
}

uint64_t attr_u64(const std::string& path) {
  std::string v;
  return read_attr(path, &v) ? strtoull(v.c_str(), nullptr, 10) : 0;
}

// Kernel order: sdb before sdaa, sdb2 before sdb10.
bool kernel_order(const std::string& a, const std::string& b) {
  return a.size() != b.size() ? a.size() < b.size() : a < b;
}

std::vector<std::string> entries(const std::string& dir, bool (*keep)(const std::string&,
                                                                     const std::string&)) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.' && keep(dir, e->d_name)) names.push_back(e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end(), kernel_order);
  return names;
}

bool any_entry(const std::string&, const std::string&) { return true; }

bool is_partition(const std::string& dir, const std::string& name) {
  return access((dir + "/" + name + "/partition").c_str(), F_OK) == 0;
}

struct PartAnswer {
  std::string guid, fs;
  uint64_t used = 0;
};

std::map<std::string, PartAnswer> partition_answers() {
  std::map<std::string, PartAnswer> out;
  FILE* f = fopen(kPartitionsAnswer, "re");
  if (!f) return out;
  char line[1024];
  while (fgets(line, sizeof line, f)) {
    std::istringstream in(line);
    std::string name, guid, fs, used;
    if (!(in >> name >> guid >> fs)) continue;
    in >> used;
    PartAnswer a;
    if (guid != "-") a.guid = guid;
    if (fs != "-") a.fs = fs;
    a.used = used.empty() || used == "-" ? 0 : strtoull(used.c_str(), nullptr, 10);
    out[name] = a;
  }
  fclose(f);
  return out;
}

zeldisk_part_t* make_part(const std::string& disk_dir, const std::string& name,
                          const std::map<std::string, PartAnswer>& answers) {
  zeldisk_part_t* p = static_cast<zeldisk_part_t*>(calloc(1, sizeof(zeldisk_part_t)));
  if (!p) return nullptr;
  p->name = strdup(name.c_str());
  p->size = attr_u64(disk_dir + "/" + name + "/size") * 512;
  auto it = answers.find(name);
  if (it != answers.end()) {
    if (!it->second.guid.empty()) p->guid = strdup(it->second.guid.c_str());
    if (!it->second.fs.empty()) p->fs = strdup(it->second.fs.c_str());
    p->used = it->second.used;
  }
  return p;
}

zeldisk_dev_t* make_dev(const std::string& name, const std::map<std::string, PartAnswer>& answers) {
  zeldisk_dev_t* d = static_cast<zeldisk_dev_t*>(calloc(1, sizeof(zeldisk_dev_t)));
  if (!d) return nullptr;
  std::string dir = std::string(kSysBlock) + "/" + name;
  d->name = strdup(name.c_str());
  d->path = strdup(("/dev/" + name).c_str());
  d->vendor = attr_text(dir + "/device/vendor");
  d->model = attr_text(dir + "/device/model");
  d->size = attr_u64(dir + "/size");
  std::string state;
  d->valid = read_attr(dir + "/device/state", &state) && state == "running";
  INIT_LIST_HEAD(&d->parts);
  for (const auto& part : entries(dir, is_partition))
    if (zeldisk_part_t* p = make_part(dir, part, answers)) list_add_tail(&p->node, &d->parts);
  return d;
}

void free_dev(zeldisk_dev_t* d) {
  for (struct list_head* n = d->parts.next; n != &d->parts;) {
    zeldisk_part_t* p = list_entry(n, zeldisk_part_t, node);
    n = n->next;
    free(p->name);
    free(p->guid);
    free(p->fs);
    free(p);
  }
  free(d->name);
  free(d->path);
  free(d->vendor);
  free(d->model);
  free(d);
}

bool parse_size(const std::string& text, uint64_t* out) {
  char* end;
  unsigned long long v = strtoull(text.c_str(), &end, 10);
  if (end == text.c_str()) return false;
  int shift = 0;
  if (*end == 'K') shift = 10, end++;
  else if (*end == 'M') shift = 20, end++;
  else if (*end == 'G') shift = 30, end++;
  if (*end || v > (~0ULL >> shift)) return false;
  *out = v << shift;
  return true;
}

// Hot-adds the disks a test staged for the next rescan, then forgets them.
void attach_pending() {
  FILE* f = fopen(kPendingDisks, "re");
  if (!f) return;
  std::vector<std::string> lines;
  char line[512];
  while (fgets(line, sizeof line, f)) lines.push_back(line);
  fclose(f);
  unlink(kPendingDisks);
  for (const auto& l : lines) {
    std::istringstream in(l);
    std::string name, size_text, guid;
    if (!(in >> name >> size_text)) continue;
    in >> guid;
    uint64_t size;
    int result = -EINVAL;
    std::string reply;
    if (parse_size(size_text, &size)) {
      ctlproto::Writer w;
      w.str(name);
      w.u64(size);
      w.str(guid);
      int rc = ctlproto::call(ctlproto::kSocketPath, ctlproto::kDiskAdd, w.data(), &result, &reply);
      if (rc < 0) result = rc;
    }
    zel_record_call("zeldisk_rescan_dev attach %s %s %s result=%d", name.c_str(),
                    size_text.c_str(), guid.empty() ? "-" : guid.c_str(), result);
  }
}

}  // namespace

extern "C" {

int zeldisk_get_devs(struct list_head* devs, int flag) {
  if (!devs) {
    zel_record_call("zeldisk_get_devs (null) %d result=-1", flag);
    return -1;
  }
  if (access(kSysBlock, R_OK) != 0) {
    zel_record_call("zeldisk_get_devs %d result=-1", flag);
    return -1;
  }
  std::map<std::string, PartAnswer> answers = partition_answers();
  int count = 0;
  std::string names;
  for (const auto& name : entries(kSysBlock, any_entry)) {
    zeldisk_dev_t* d = make_dev(name, answers);
    if (!d) break;
    list_add_tail(&d->node, devs);
    names += " " + name;
    count++;
  }
  zel_record_call("zeldisk_get_devs %d result=%d%s", flag, count, names.c_str());
  return count;
}

void zeldisk_free_devs(struct list_head* devs) {
  if (!devs) return;
  int count = 0;
  for (struct list_head* n = devs->next; n && n != devs;) {
    zeldisk_dev_t* d = list_entry(n, zeldisk_dev_t, node);
    n = n->next;
    free_dev(d);
    count++;
  }
  INIT_LIST_HEAD(devs);
  zel_record_call("zeldisk_free_devs %d", count);
}

int zeldisk_rescan_dev(int which) {
  ZelAnswer a = zel_read_answer(kRescanAnswer);
  int result = a.given ? a.result : 1;
  zel_answer_delay(a);
  if (result != 0 && hl_simulated()) attach_pending();
  zel_record_call("zeldisk_rescan_dev %d result=%d", which, result);
  return result;
}

int get_part_type(const char* path) {
  int result = -1;
  if (path) {
    int fd = hl_open(path, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      unsigned char sector[512];
      if (hl_pread(fd, sector, sizeof sector, 0) == static_cast<ssize_t>(sizeof sector))
        result = sector[510] == 0x55 && sector[511] == 0xAA ? 1 : 0;
      hl_close(fd);
    }
  }
  zel_record_call("get_part_type %s result=%d", zel_text(path), result);
  return result;
}

}  // extern "C"
