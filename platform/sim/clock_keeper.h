// The host's clocks as simkernel keeps them: two offsets from this machine's
// monotonic and wall clocks in a shared page (ctlproto::ClockPage) that the
// host layer of every process in the host reads. Tests move them with
// `simctl clock advance` and `simctl clock set-wall`.
#ifndef ZELMIR_SIM_CLOCK_KEEPER_H
#define ZELMIR_SIM_CLOCK_KEEPER_H

#include <cstdint>
#include <mutex>
#include <string>

#include "ctl_proto.h"

namespace sim {

class ClockKeeper {
 public:
  ClockKeeper() = default;
  ~ClockKeeper();
  ClockKeeper(const ClockKeeper&) = delete;
  ClockKeeper& operator=(const ClockKeeper&) = delete;

  // Makes the page at path with both offsets 0 (a boot starts on this
  // machine's time). 0 or -errno.
  int open(const std::string& path);

  // Both clocks forward by ns (never backwards: the monotonic clock must not
  // go back). 0, -EINVAL for a negative step or one the clocks cannot hold,
  // -ENODEV before open.
  int advance(int64_t ns);
  // The wall clock reads epoch_ns now, earlier or later than it did.
  int set_wall(int64_t epoch_ns);

  int64_t mono_offset() const;
  int64_t wall_offset() const;

 private:
  void store(int64_t mono, int64_t wall);  // under mu_

  mutable std::mutex mu_;
  ctlproto::ClockPage* page_ = nullptr;
};

// "3600", "0.25", "1700000000.5": a non-negative count of seconds with at
// most nine decimals, as nanoseconds; false for anything else or a count
// that 64 bits of nanoseconds cannot hold.
bool parse_seconds(const std::string& text, int64_t* ns);

}  // namespace sim

#endif  // ZELMIR_SIM_CLOCK_KEEPER_H
