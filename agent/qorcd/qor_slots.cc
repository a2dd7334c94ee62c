// The per-listener connection counts and the wake-up of the accept loop.
#include "qor_slots.h"

#include <pthread.h>
#include <stdint.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "qor_lock.h"

namespace {

pthread_mutex_t slot_lock = PTHREAD_MUTEX_INITIALIZER;
int served[2] = {0, 0};  // [local], under slot_lock

int limit(int local) { return local ? QOR_MAX_LOCAL_CONNECTIONS : QOR_MAX_TCP_CONNECTIONS; }

int wake_fd() {
  static const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  return fd;
}

}  // namespace

int qor_slot_free(int local) {
  MutexLock l(&slot_lock);
  return served[local ? 1 : 0] < limit(local);
}

void qor_slot_take(int local) {
  MutexLock l(&slot_lock);
  served[local ? 1 : 0]++;
}

void qor_slot_release(int local) {
  bool was_full;
  {
    MutexLock l(&slot_lock);
    was_full = served[local ? 1 : 0]-- >= limit(local);
  }
  if (was_full && wake_fd() >= 0) {
    const uint64_t one = 1;
    // A full counter still wakes the loop; nothing is lost by a failed add.
    (void)!write(wake_fd(), &one, sizeof(one));
  }
}

int qor_slot_wake_fd(void) { return wake_fd(); }

void qor_slot_wake_drain(void) {
  uint64_t count;
  if (wake_fd() >= 0) (void)!read(wake_fd(), &count, sizeof(count));
}
