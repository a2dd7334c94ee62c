#include "files.h"

#include <errno.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

namespace testsupport {

namespace {

int remove_entry(const char* path, const struct stat*, int flag, struct FTW*) {
  return ((flag == FTW_DP ? rmdir(path) : unlink(path)) != 0 && errno != ENOENT) ? -1 : 0;
}

bool is_dir(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

bool remove_tree(const std::string& path) {
  if (path.empty()) return true;
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return errno == ENOENT;
  return nftw(path.c_str(), remove_entry, 32, FTW_DEPTH | FTW_PHYS | FTW_MOUNT) == 0;
}

bool make_dirs(const std::string& path) {
  for (size_t pos = 1; pos <= path.size(); pos++) {
    if (pos < path.size() && path[pos] != '/') continue;
    std::string part = path.substr(0, pos);
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  return is_dir(path);
}

}  // namespace testsupport
