#include "standin.h"

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace simiscsi {

std::vector<int> iscsid_pids(int except) {
  std::vector<int> pids;
  DIR* d = opendir("/proc");
  if (d == nullptr) return pids;
  while (struct dirent* e = readdir(d)) {
    char* end;
    long pid = strtol(e->d_name, &end, 10);
    if (*end != '\0' || pid <= 0 || pid == except) continue;
    char path[64], stat[512] = {};
    snprintf(path, sizeof path, "/proc/%ld/stat", pid);
    FILE* f = fopen(path, "r");
    if (f == nullptr) continue;
    size_t n = fread(stat, 1, sizeof stat - 1, f);
    fclose(f);
    stat[n] = '\0';
    // "PID (COMM) STATE ...": a zombie has ended.
    const char* open = strchr(stat, '(');
    const char* close = strrchr(stat, ')');
    if (open == nullptr || close == nullptr || close[1] != ' ') continue;
    if (std::string(open + 1, close) == "iscsid" && close[2] != 'Z') pids.push_back(static_cast<int>(pid));
  }
  closedir(d);
  return pids;
}

std::string json_array(const std::vector<std::string>& args) {
  std::string out = "[";
  for (size_t i = 0; i < args.size(); ++i) {
    if (i) out += ",";
    out += '"';
    for (unsigned char c : args[i]) {
      if (c == '"' || c == '\\') {
        out += '\\';
        out += static_cast<char>(c);
      } else if (c < 0x20 || c == 0x7f) {
        char esc[8];
        snprintf(esc, sizeof esc, "\\u%04x", c);
        out += esc;
      } else {
        out += static_cast<char>(c);
      }
    }
    out += '"';
  }
  return out + "]";
}

}  // namespace simiscsi
