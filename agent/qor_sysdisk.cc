#include "qor_sysdisk.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "mirapi/log.h"

namespace {

// A line of the mount table is read as 511 characters at most.
constexpr size_t kLineMax = 511;

// Whether path occurs in line as a whole device name: followed by a blank or
// by a partition number ("1", or "p1" after a name that ends in a digit),
// never by more of a longer name ("/dev/sda" is not "/dev/sdaa1").
bool names_disk(const std::string& line, const std::string& path) {
  for (size_t at = line.find(path); at != std::string::npos; at = line.find(path, at + 1)) {
    size_t i = at + path.size();
    if (i < line.size() && line[i] == 'p' && !path.empty() &&
        isdigit(static_cast<unsigned char>(path.back())))
      i++;
    bool digits = false;
    while (i < line.size() && isdigit(static_cast<unsigned char>(line[i]))) {
      i++;
      digits = true;
    }
    if (i < line.size() && line[i] == ' ' &&
        (digits || i == at + path.size()))
      return true;
  }
  return false;
}

}  // namespace

int qor_is_boot_dev_in(const char* mtab, const char* path) {
  if (path == nullptr || path[0] == '\0') return 0;
  FILE* f = fopen(mtab, "re");
  if (f == nullptr) {
    HM_LOG(3, "%s is not exit.\n", mtab);
    return 0;
  }
  char* buf = nullptr;
  size_t cap = 0;
  ssize_t n;
  int found = 0;
  while (!found && (n = getline(&buf, &cap, f)) >= 0) {
    std::string line(buf, static_cast<size_t>(n));
    if (!line.empty() && line.back() == '\n') line.pop_back();
    if (line.size() > kLineMax) line.resize(kLineMax);
    bool mount = line.find("/boot ") != std::string::npos || line.find("/ ") != std::string::npos;
    found = mount && names_disk(line, path);
  }
  free(buf);
  fclose(f);
  if (found) HM_LOG(7, "%s is sysdisk.\n", path);
  return found;
}

int is_boot_dev(const char* path) { return qor_is_boot_dev_in("/etc/mtab", path); }
