#include "host_config.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "ctl_proto.h"

namespace sim {

ConfigDisk* HostConfig::find(const std::string& name) {
  for (auto& d : disks)
    if (d.name == name) return &d;
  return nullptr;
}

bool valid_guid_text(const std::string& g) {
  if (g.empty() || g.size() > 64) return false;
  for (unsigned char c : g)
    if (c <= ' ' || c >= 0x7f) return false;
  return true;
}

static bool parse_devnum(const std::string& s, unsigned* major, unsigned* minor) {
  unsigned long ma, mi;
  char* end;
  errno = 0;
  ma = strtoul(s.c_str(), &end, 10);
  if (end == s.c_str() || *end != ':' || errno) return false;
  const char* p = end + 1;
  mi = strtoul(p, &end, 10);
  if (end == p || *end != '\0' || errno || ma > 4095 || mi > 1048575) return false;
  *major = static_cast<unsigned>(ma);
  *minor = static_cast<unsigned>(mi);
  return true;
}

bool parse_config(const std::string& text, HostConfig* out, std::string* err) {
  *out = HostConfig{};
  std::istringstream in(text);
  std::string line;
  int n = 0;
  while (std::getline(in, line)) {
    n++;
    std::istringstream ls(line);
    std::string kw;
    if (!(ls >> kw) || kw[0] == '#') {
      out->other.push_back(line);
      continue;
    }
    std::vector<std::string> f;
    for (std::string w; ls >> w;) f.push_back(w);
    if (kw == "module") {
      if (f.size() != 1) {
        *err = "line " + std::to_string(n) + ": module wants one path";
        return false;
      }
      out->module = f[0];
    } else if (kw == "disk") {
      ConfigDisk d;
      char* end;
      if (f.size() < 4 || f.size() > 5 || !ctlproto::valid_disk_name(f[0]) ||
          !parse_devnum(f[3], &d.major, &d.minor)) {
        *err = "line " + std::to_string(n) + ": want disk NAME IMAGE SIZE_BYTES MAJOR:MINOR [GUID]";
        return false;
      }
      d.name = f[0];
      d.image = f[1];
      d.size = strtoull(f[2].c_str(), &end, 10);
      if (*end || d.size == 0 || d.size % 512) {
        *err = "line " + std::to_string(n) + ": size must be a positive multiple of 512";
        return false;
      }
      if (f.size() == 5) d.guid = f[4];
      if (out->find(d.name)) {
        *err = "line " + std::to_string(n) + ": disk " + d.name + " twice";
        return false;
      }
      out->disks.push_back(d);
    } else {
      out->other.push_back(line);
    }
  }
  return true;
}

std::string format_config(const HostConfig& c) {
  std::string s;
  for (const auto& o : c.other) s += o + "\n";
  if (!c.module.empty()) s += "module " + c.module + "\n";
  for (const auto& d : c.disks) {
    s += "disk " + d.name + " " + d.image + " " + std::to_string(d.size) + " " +
         std::to_string(d.major) + ":" + std::to_string(d.minor);
    if (!d.guid.empty()) s += " " + d.guid;
    s += "\n";
  }
  return s;
}

int load_config(const std::string& path, HostConfig* out, std::string* err) {
  FILE* f = fopen(path.c_str(), "re");
  if (!f) {
    int e = errno;
    *err = path + ": " + strerror(e);
    return -e;
  }
  std::string text;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
  fclose(f);
  if (!parse_config(text, out, err)) {
    *err = path + ": " + *err;
    return -EINVAL;
  }
  return 0;
}

int store_config(const std::string& path, const HostConfig& c) {
  std::string text = format_config(c);
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return -errno;
  int rc = 0;
  // Write first, cut after: a reader never sees an empty file in between.
  size_t off = 0;
  while (off < text.size()) {
    ssize_t n = ::pwrite(fd, text.data() + off, text.size() - off, static_cast<off_t>(off));
    if (n < 0) {
      if (errno == EINTR) continue;
      rc = -errno;
      break;
    }
    off += static_cast<size_t>(n);
  }
  if (rc == 0 && ::ftruncate(fd, static_cast<off_t>(text.size())) < 0) rc = -errno;
  if (rc == 0 && ::fsync(fd) < 0) rc = -errno;
  ::close(fd);
  return rc;
}

bool parse_size(const std::string& s, uint64_t* out) {
  if (s.empty() || s[0] < '0' || s[0] > '9') return false;
  char* end;
  errno = 0;
  unsigned long long v = strtoull(s.c_str(), &end, 10);
  if (errno) return false;
  unsigned shift = 0;
  std::string suf(end);
  if (suf == "K" || suf == "k") shift = 10;
  else if (suf == "M" || suf == "m") shift = 20;
  else if (suf == "G" || suf == "g") shift = 30;
  else if (!suf.empty()) return false;
  if (v == 0 || v > (1ull << 50) >> shift) return false;
  *out = v << shift;
  return true;
}

void pick_devnum(const HostConfig& c, const std::string& name, unsigned* major, unsigned* minor) {
  auto taken = [&](unsigned ma, unsigned mi) {
    for (const auto& d : c.disks)
      if (d.major == ma && d.minor / 16 == mi / 16) return true;
    return false;
  };
  // The sd driver's numbering: 16 disks on major 8, then majors 65..71.
  auto slot = [](unsigned i, unsigned* ma, unsigned* mi) {
    if (i < 16) {
      *ma = 8;
      *mi = 16 * i;
    } else {
      *ma = 65 + (i - 16) / 16;
      *mi = 16 * ((i - 16) % 16);
    }
  };
  if (name.size() == 3 && name.compare(0, 2, "sd") == 0 && name[2] >= 'a' && name[2] <= 'z') {
    slot(static_cast<unsigned>(name[2] - 'a'), major, minor);
    if (!taken(*major, *minor)) return;
  }
  for (unsigned i = 1; i < 128; i++) {
    slot(i, major, minor);
    if (!taken(*major, *minor)) return;
  }
}

}  // namespace sim
