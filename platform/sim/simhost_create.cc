// simhost create: a host directory with its disk images and description.
// Every argument is checked before anything is made, so a refused command
// leaves nothing behind.
#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "simhost_cmds.h"
#include "simhost_desc.h"
#include "simhost_util.h"

namespace simhost {
namespace {

constexpr uint64_t kMaxDiskSize = 4ull << 40;   // sparse images; well inside ext4's file limit

struct Disk {
  std::string name;
  uint64_t size = 0;
  unsigned major = 0, minor = 0;
  std::string guid;   // empty for a plain disk
};

// sda = 0 ... sdz = 25, sdaa = 26 ... as Linux names its SCSI disks.
int disk_index(const std::string& name) {
  if (name.size() < 3 || name.size() > 4 || name.compare(0, 2, "sd") != 0) return -1;
  for (size_t i = 2; i < name.size(); ++i)
    if (name[i] < 'a' || name[i] > 'z') return -1;
  if (name.size() == 3) return name[2] - 'a';
  return 26 * (name[2] - 'a' + 1) + (name[3] - 'a');
}

// The sd driver's device numbers: sixteen minors per disk, major 8 for the
// first sixteen disks, then 65-71, then 128-135.
bool device_number(int index, unsigned* major, unsigned* minor) {
  if (index < 0 || index >= 256) return false;
  if (index < 16) *major = 8;
  else if (index < 128) *major = 65 + (index - 16) / 16;
  else *major = 128 + (index - 128) / 16;
  *minor = 16 * (index % 16);
  return true;
}

bool parse_size(const std::string& text, uint64_t* size) {
  if (text.empty()) return false;
  uint64_t n = 0;
  size_t i = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (n > kMaxDiskSize) return false;
    n = n * 10 + (text[i] - '0');
  }
  if (i == 0) return false;
  int shift = 0;
  if (i + 1 == text.size()) {
    switch (text[i]) {
      case 'K': case 'k': shift = 10; break;
      case 'M': case 'm': shift = 20; break;
      case 'G': case 'g': shift = 30; break;
      default: return false;
    }
  } else if (i != text.size()) {
    return false;
  }
  if (n > (kMaxDiskSize >> shift)) return false;
  *size = n << shift;
  return true;
}

bool guid_ok(const std::string& g) {
  if (g.size() != 36) return false;
  for (char c : g)
    if (!(c == '-' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')))
      return false;
  return true;
}

// "NAME:SIZE" or "NAME:SIZE:GUID"; prints its own error.
bool parse_disk(const std::string& opt, const std::string& arg, bool lun, Disk* d) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t colon = arg.find(':', start);
    parts.push_back(arg.substr(start, colon - start));
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  if (parts.size() != (lun ? 3u : 2u)) {
    fail("%s %s: expected %s", opt.c_str(), arg.c_str(), lun ? "NAME:SIZE:GUID" : "NAME:SIZE");
    return false;
  }
  d->name = parts[0];
  if (!device_number(disk_index(d->name), &d->major, &d->minor)) {
    fail("%s %s: bad disk name '%s' (sd and one or two letters, e.g. sdb)", opt.c_str(),
         arg.c_str(), d->name.c_str());
    return false;
  }
  if (!parse_size(parts[1], &d->size) || d->size == 0 || d->size % 512 != 0) {
    fail("%s %s: bad size '%s' (a multiple of 512 bytes up to 4096G, e.g. 64M)", opt.c_str(),
         arg.c_str(), parts[1].c_str());
    return false;
  }
  if (lun) {
    d->guid = parts[2];
    if (!guid_ok(d->guid)) {
      fail("%s %s: bad GUID '%s' (36 characters of 0-9, A-Z, a-z and '-')", opt.c_str(),
           arg.c_str(), d->guid.c_str());
      return false;
    }
  }
  return true;
}

std::string hostname_for(const std::string& dir) {
  std::string base = dir.substr(dir.rfind('/') + 1), name;
  for (char c : base)
    name += ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) ? c : '-';
  while (!name.empty() && name.front() == '-') name.erase(0, 1);
  if (name.size() > 63) name.resize(63);
  while (!name.empty() && name.back() == '-') name.pop_back();
  return name.empty() ? "simhost" : name;
}

bool make_image(const std::string& path, uint64_t size) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = ftruncate(fd, static_cast<off_t>(size)) == 0;
  return close(fd) == 0 && ok;
}

// Makes the directory's contents; false (errno kept in msg) on the first failure.
bool populate(const std::string& dir, const std::vector<Disk>& disks, const std::string& module,
              const std::vector<Nic>& nics, bool iscsi, std::string* msg) {
  HostDir h{dir};
  for (const std::string& d : {h.disks(), h.upper() + "/etc/simhost", h.work(), h.run()}) {
    if (!mkdir_p(d)) {
      *msg = d + ": " + strerror(errno);
      return false;
    }
  }
  std::string conf = "module " + module + "\n";
  for (const Disk& d : disks) {
    std::string img = h.disks() + "/" + d.name + ".img";
    if (!make_image(img, d.size)) {
      *msg = img + ": " + strerror(errno);
      return false;
    }
    conf += "disk " + d.name + " " + kHostDisksDir + "/" + d.name + ".img " +
            std::to_string(d.size) + " " + std::to_string(d.major) + ":" +
            std::to_string(d.minor) + (d.guid.empty() ? "" : " " + d.guid) + "\n";
  }
  for (const Nic& n : nics) conf += nic_line(n);
  if (!iscsi) conf += "iscsi off\n";
  for (const std::string& path : {h.inner_conf(), h.conf()}) {
    if (!write_text(path, conf)) {
      *msg = path + ": " + strerror(errno);
      return false;
    }
  }
  std::string hostname = h.upper() + "/etc/hostname";
  if (!write_text(hostname, hostname_for(dir) + "\n")) {
    *msg = hostname + ": " + strerror(errno);
    return false;
  }
  return true;
}

bool dir_is_empty(const std::string& dir) {
  bool empty = true;
  if (DIR* d = opendir(dir.c_str())) {
    while (struct dirent* e = readdir(d))
      if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) empty = false;
    closedir(d);
  }
  return empty;
}

}  // namespace

int cmd_create(const std::vector<std::string>& args) {
  if (args.empty() || args[0].empty() || args[0][0] == '-') return usage();
  std::string dir_arg = args[0];
  std::vector<Disk> disks;
  std::vector<Nic> nics;
  bool iscsi = true;
  std::string module;
  std::set<std::string> names, guids, ifnames, addrs;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& opt = args[i];
    if (opt == "--no-iscsi") {
      iscsi = false;
      continue;
    }
    if (opt != "--disk" && opt != "--lun" && opt != "--module" && opt != "--nic") {
      fail("create: unknown argument '%s'", opt.c_str());
      return usage();
    }
    if (i + 1 >= args.size()) {
      fail("create: %s needs a value", opt.c_str());
      return usage();
    }
    const std::string& val = args[++i];
    if (opt == "--module") {
      char buf[PATH_MAX];
      struct stat st;
      if (!realpath(val.c_str(), buf) || stat(buf, &st) != 0 || !S_ISREG(st.st_mode))
        return fail("--module %s: no such file", val.c_str());
      module = buf;
      if (!path_is_plain(module)) return fail("--module %s: the path may not hold blanks", val.c_str());
      continue;
    }
    if (opt == "--nic") {
      Nic n;
      std::string err;
      if (!parse_nic(val, &n, &err)) return fail("--nic %s: %s", val.c_str(), err.c_str());
      for (const std::string& name : {n.name, n.peer()})
        if (!ifnames.insert(name).second) return fail("--nic %s: interface %s given twice", val.c_str(), name.c_str());
      for (const Ipv4Prefix& a : n.addrs) {
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &a.addr, text, sizeof text);
        if (!addrs.insert(text).second) return fail("--nic %s: address %s given twice", val.c_str(), text);
      }
      nics.push_back(n);
      continue;
    }
    Disk d;
    if (!parse_disk(opt, val, opt == "--lun", &d)) return kFail;
    if (!names.insert(d.name).second) return fail("%s %s: disk %s given twice", opt.c_str(), val.c_str(), d.name.c_str());
    if (!d.guid.empty() && !guids.insert(d.guid).second)
      return fail("%s %s: GUID %s given twice", opt.c_str(), val.c_str(), d.guid.c_str());
    disks.push_back(d);
  }
  if (module.empty()) {
    std::string lib = build_dir() + "/lib/";
    module = exists(lib + "zelmir.so") ? lib + "zelmir.so" : lib + "testmod.so";
  }

  // DIR: its parent must exist; DIR itself must be absent or empty.
  std::string parent = dir_arg.find('/') == std::string::npos ? "." : dir_arg.substr(0, dir_arg.rfind('/'));
  if (parent.empty()) parent = "/";
  std::string base = dir_arg.substr(dir_arg.rfind('/') + 1);
  while (!base.empty() && dir_arg.size() > 1 && dir_arg.back() == '/') {
    dir_arg.pop_back();
    parent = dir_arg.find('/') == std::string::npos ? "." : dir_arg.substr(0, dir_arg.rfind('/'));
    base = dir_arg.substr(dir_arg.rfind('/') + 1);
  }
  if (base.empty() || base == "." || base == "..") return fail("create: bad directory '%s'", args[0].c_str());
  char buf[PATH_MAX];
  if (!realpath(parent.c_str(), buf)) return fail("create: %s: %s", parent.c_str(), strerror(errno));
  std::string dir = std::string(buf) + (std::string(buf) == "/" ? "" : "/") + base;
  if (!path_is_plain(dir)) return fail("create: %s: the path may not hold ',', ':', '\\' or blanks", dir.c_str());
  bool made = false;
  if (exists(dir)) {
    if (!is_dir(dir)) return fail("create: %s exists and is not a directory", dir.c_str());
    if (!dir_is_empty(dir)) return fail("create: %s exists and is not empty", dir.c_str());
  } else {
    if (mkdir(dir.c_str(), 0755) != 0) return fail("create: %s: %s", dir.c_str(), strerror(errno));
    made = true;
  }

  std::string msg;
  if (!populate(dir, disks, module, nics, iscsi, &msg)) {
    // Leave the place as it was: gone if we made it, empty if it was given empty.
    remove_tree(dir);
    if (!made) mkdir(dir.c_str(), 0755);
    return fail("create: %s", msg.c_str());
  }
  return 0;
}

}  // namespace simhost
