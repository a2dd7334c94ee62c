#include "fake_outside.h"

#include <sched.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

namespace fake {

State& state() {
  static State s;
  return s;
}

void reset() {
  State& s = state();
  std::lock_guard<std::mutex> l(s.mu);
  s.disks.clear();
  s.offered.clear();
  s.refuse_dup_guid = 1;
  s.probe_result = 0;
  s.probes = 0;
  s.probe_flags.clear();
  s.log.clear();
  s.slow = false;
}

namespace {

int probe(int flag) {
  std::vector<std::string> paths;
  int dup, result;
  {
    State& s = state();
    std::lock_guard<std::mutex> l(s.mu);
    s.probes++;
    s.probe_flags.push_back(flag);
    paths = s.offered;
    dup = s.refuse_dup_guid;
    result = s.probe_result;
  }
  for (size_t i = 0; i < paths.size(); i++) zel_device_add(paths[i].c_str(), static_cast<int>(i), dup);
  return result;
}

const zel_arch_ops ops = {probe};
int linux_probe(int) { return 0; }
const zel_arch_ops linux_ops = {linux_probe};

std::string format(const char* fmt, va_list ap) {
  char buf[1024];
  vsnprintf(buf, sizeof buf, fmt, ap);
  return buf;
}

void record(LogLine line) {
  State& s = state();
  std::lock_guard<std::mutex> l(s.mu);
  s.log.push_back(std::move(line));
}

}  // namespace

struct zel_architecture arch = {&ops};

}  // namespace fake

extern "C" {

struct zel_architecture zel_linux_arch = {&fake::linux_ops};

int zel_device_issueinq_t10(zel_device_t* dev) {
  fake::Disk disk;
  bool slow;
  {
    fake::State& s = fake::state();
    std::lock_guard<std::mutex> l(s.mu);
    auto it = s.disks.find(dev->name);
    if (it == s.disks.end()) return -1;
    disk = it->second;
    slow = s.slow;
  }
  if (slow) sched_yield();
  char* bytes = reinterpret_cast<char*>(dev);
  if (disk.fill) memset(bytes + 20, disk.fill, sizeof(zel_device_t) - 20);
  memcpy(bytes + 51, disk.from_51.data(), std::min<size_t>(disk.from_51.size(), sizeof(zel_device_t) - 51));
  return disk.result;
}

void __log_debug(const char* func, int line, int level, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  fake::record({"debug", func, line, level, fake::format(fmt, ap)});
  va_end(ap);
}

void __log_error(const char* func, int line, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  fake::record({"error", func, line, -1, fake::format(fmt, ap)});
  va_end(ap);
}

}  // extern "C"
