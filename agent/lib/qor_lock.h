// Scope guard for the agent's pthread mutexes: the lock is released on every
// way out of the scope, early returns included.
#ifndef ZELMIR_AGENT_LIB_QOR_LOCK_H
#define ZELMIR_AGENT_LIB_QOR_LOCK_H

#include <pthread.h>

class MutexLock {
 public:
  explicit MutexLock(pthread_mutex_t* mu) : mu_(mu) { pthread_mutex_lock(mu_); }
  ~MutexLock() { pthread_mutex_unlock(mu_); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  pthread_mutex_t* const mu_;
};

#endif  // ZELMIR_AGENT_LIB_QOR_LOCK_H
