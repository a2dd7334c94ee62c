// The client-scan thread.
#include "qor_scan.h"

#include "qor_inventory.h"
#include "qor_jobs.h"
#include "qor_lock.h"

namespace {

// Held by the scan thread across each scan; the outermost lock of the agent.
pthread_mutex_t scan_lock = PTHREAD_MUTEX_INITIALIZER;

}  // namespace

void* _scan_client_thread(void* /*arg*/) {
  service_signals_init();
  for (;;) {
    {
      MutexLock l(&scan_lock);
      qor_client_scan();
    }
    scan_wait_until(job_now() + 600);
  }
  return nullptr;
}
