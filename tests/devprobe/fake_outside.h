// What the device-probe objects take from the rest of the device library,
// faked for the unit tests: an inquiry that answers from a table, an
// architecture whose probe offers a list of paths, and logging into memory.
#ifndef ZELMIR_TESTS_DEVPROBE_FAKE_OUTSIDE_H
#define ZELMIR_TESTS_DEVPROBE_FAKE_OUTSIDE_H

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "zel/zel_device.h"

namespace fake {

// How the inquiry answers for one path.
struct Disk {
  int result = 0;         // non-zero: the inquiry fails
  std::string from_51;    // bytes written from byte 51 on (a braced GUID, or not)
  char fill = 0;          // when set, every other byte after `value` holds it
};

struct LogLine {
  std::string kind;  // "debug" or "error"
  std::string func;
  int line;
  int level;         // -1 for an error, which has none
  std::string text;
  bool operator==(const LogLine&) const = default;
};

struct State {
  std::mutex mu;
  std::map<std::string, Disk> disks;
  std::vector<std::string> offered;     // what the architecture's probe registers, in order
  int refuse_dup_guid = 1;              // third argument the probe passes
  int probe_result = 0;
  int probes = 0;                       // calls of the architecture's probe
  std::vector<int> probe_flags;
  std::vector<LogLine> log;
  bool slow = false;                    // the inquiry yields, to widen races
};

State& state();
void reset();
// The architecture whose probe registers state().offered.
extern struct zel_architecture arch;

}  // namespace fake

#endif  // ZELMIR_TESTS_DEVPROBE_FAKE_OUTSIDE_H
