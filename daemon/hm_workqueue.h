// Named work queues, one worker thread each: items run one at a time in the
// order queued.  Queues are never destroyed.
#ifndef ZELMIR_DAEMON_HM_WORKQUEUE_H
#define ZELMIR_DAEMON_HM_WORKQUEUE_H

#include <pthread.h>

#include "hm_list.h"

struct hm_work;
typedef void (*hm_work_fn)(struct hm_work* work);

struct hm_work {
  struct list_head list;
  hm_work_fn step;
};

struct hm_work_queue {
  char name[32];
  struct list_head queues;
  pthread_cond_t cond;
  pthread_mutex_t lock;
  pthread_mutex_t thread_lock;
  struct list_head works;
  int nr_works;  // items on the list, under lock
};

struct hm_work_queue* create_work_queue(const char* name);
int create_worker_threads(struct hm_work_queue* wq);
void queue_work(struct hm_work_queue* wq, struct hm_work* work);
// Queues the item unless max items already wait: 0, or -1 when full.
int queue_work_bounded(struct hm_work_queue* wq, struct hm_work* work, int max);

// The daemon's three queues.
extern struct hm_work_queue* un_domain;
extern struct hm_work_queue* net;
extern struct hm_work_queue* kernel;
int create_work_queues(void);

#endif  // ZELMIR_DAEMON_HM_WORKQUEUE_H
