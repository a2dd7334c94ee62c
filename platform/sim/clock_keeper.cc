#include "clock_keeper.h"

#include <cerrno>
#include <climits>
#include <ctime>
#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace sim {
namespace {

int64_t now_ns(clockid_t clk) {
  timespec ts;
  clock_gettime(clk, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace

ClockKeeper::~ClockKeeper() {
  if (page_) munmap(page_, ctlproto::kClockFileSize);
}

int ClockKeeper::open(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return -errno;
  if (ftruncate(fd, ctlproto::kClockFileSize) < 0) {
    int e = errno;
    ::close(fd);
    return -e;
  }
  void* p = mmap(nullptr, ctlproto::kClockFileSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  int e = errno;
  ::close(fd);
  if (p == MAP_FAILED) return -e;
  std::lock_guard<std::mutex> l(mu_);
  page_ = static_cast<ctlproto::ClockPage*>(p);
  page_->mono_off_ns = 0;
  page_->wall_off_ns = 0;
  __atomic_store_n(&page_->magic, ctlproto::kClockMagic, __ATOMIC_RELEASE);
  return 0;
}

void ClockKeeper::store(int64_t mono, int64_t wall) {
  __atomic_fetch_add(&page_->seq, 1, __ATOMIC_ACQ_REL);  // odd: readers retry
  __atomic_store_n(&page_->mono_off_ns, mono, __ATOMIC_RELAXED);
  __atomic_store_n(&page_->wall_off_ns, wall, __ATOMIC_RELAXED);
  __atomic_fetch_add(&page_->seq, 1, __ATOMIC_RELEASE);
  __atomic_fetch_add(&page_->gen, 1, __ATOMIC_RELEASE);
  // A shared futex (not FUTEX_PRIVATE): the waiters are other processes.
  syscall(SYS_futex, &page_->gen, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

int ClockKeeper::advance(int64_t ns) {
  std::lock_guard<std::mutex> l(mu_);
  if (!page_) return -ENODEV;
  if (ns < 0) return -EINVAL;
  int64_t mono, wall;
  // The host's clocks must stay within what a 64-bit count of nanoseconds
  // since this machine's epoch holds, or every reader would wrap.
  if (__builtin_add_overflow(page_->mono_off_ns, ns, &mono) ||
      __builtin_add_overflow(page_->wall_off_ns, ns, &wall) ||
      mono > INT64_MAX - now_ns(CLOCK_MONOTONIC) || wall > INT64_MAX - now_ns(CLOCK_REALTIME))
    return -EINVAL;
  store(mono, wall);
  return 0;
}

int ClockKeeper::set_wall(int64_t epoch_ns) {
  std::lock_guard<std::mutex> l(mu_);
  if (!page_) return -ENODEV;
  if (epoch_ns < 0) return -EINVAL;
  store(page_->mono_off_ns, epoch_ns - now_ns(CLOCK_REALTIME));
  return 0;
}

int64_t ClockKeeper::mono_offset() const {
  std::lock_guard<std::mutex> l(mu_);
  return page_ ? page_->mono_off_ns : 0;
}

int64_t ClockKeeper::wall_offset() const {
  std::lock_guard<std::mutex> l(mu_);
  return page_ ? page_->wall_off_ns : 0;
}

bool parse_seconds(const std::string& text, int64_t* ns) {
  size_t i = 0;
  int64_t whole = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; i++)
    if (__builtin_mul_overflow(whole, 10, &whole) || __builtin_add_overflow(whole, text[i] - '0', &whole))
      return false;
  if (i == 0) return false;
  int64_t frac = 0;
  if (i < text.size() && text[i] == '.') {
    size_t digits = 0;
    for (i++; i < text.size() && text[i] >= '0' && text[i] <= '9'; i++, digits++) {
      if (digits == 9) return false;
      frac = frac * 10 + (text[i] - '0');
    }
    if (digits == 0) return false;
    for (; digits < 9; digits++) frac *= 10;
  }
  if (i != text.size()) return false;
  int64_t v;
  if (__builtin_mul_overflow(whole, int64_t{1000000000}, &v) || __builtin_add_overflow(v, frac, &v))
    return false;
  *ns = v;
  return true;
}

}  // namespace sim
