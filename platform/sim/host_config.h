// The host's description, /etc/simhost/host.conf: a `module PATH` line and a
// `disk NAME IMAGE SIZE_BYTES MAJOR:MINOR [GUID]` line per disk. simkernel
// reads it at boot and writes it back in place after every change of the
// disk set, so the next boot sees the same disks.
#ifndef ZELMIR_SIM_HOST_CONFIG_H
#define ZELMIR_SIM_HOST_CONFIG_H

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct ConfigDisk {
  std::string name, image;
  uint64_t size = 0;
  unsigned major = 8, minor = 0;
  std::string guid;
};

struct HostConfig {
  std::string module;
  std::vector<ConfigDisk> disks;
  std::vector<std::string> other;  // lines we do not know, kept as they were

  ConfigDisk* find(const std::string& name);
};

// Parses the text; false with *err naming the bad line.
bool parse_config(const std::string& text, HostConfig* out, std::string* err);
std::string format_config(const HostConfig& c);

// Reads and parses path. 0, or -errno with *err.
int load_config(const std::string& path, HostConfig* out, std::string* err);
// Rewrites path in place (same inode: a bind mount may sit on it). 0 or -errno.
int store_config(const std::string& path, const HostConfig& c);

// "64M", "1G", "4096" -> bytes; false when not a positive size.
bool parse_size(const std::string& s, uint64_t* out);

// The device number Linux would give a new disk of this name: sdb 8:16,
// sdc 8:32, ... falling back to the first number no disk holds.
void pick_devnum(const HostConfig& c, const std::string& name, unsigned* major, unsigned* minor);

// A GUID as host.conf can hold it: one word of printable characters.
bool valid_guid_text(const std::string& g);

}  // namespace sim

#endif  // ZELMIR_SIM_HOST_CONFIG_H
