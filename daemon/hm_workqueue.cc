#include "hm_workqueue.h"

#include <stdio.h>
#include <string.h>

#include "hm_registry.h"
#include "mirapi/log.h"
#include "mirapi/util.h"

struct hm_work_queue* un_domain;
struct hm_work_queue* net;
struct hm_work_queue* kernel;

static struct list_head all_queues = {&all_queues, &all_queues};
static pthread_mutex_t all_queues_lock = PTHREAD_MUTEX_INITIALIZER;

static void* worker_thread(void* arg) {
  struct hm_work_queue* wq = static_cast<struct hm_work_queue*>(arg);
  for (;;) {
    pthread_mutex_lock(&wq->lock);
    while (list_empty(&wq->works)) pthread_cond_wait(&wq->cond, &wq->lock);
    struct list_head* first = wq->works.next;
    list_del_init(first);
    wq->nr_works--;
    pthread_mutex_unlock(&wq->lock);
    struct hm_work* w = list_entry(first, struct hm_work, list);
    if (w->step) w->step(w);
  }
  return nullptr;
}

int create_worker_threads(struct hm_work_queue* wq) {
  pthread_mutex_lock(&wq->thread_lock);
  pthread_t t;
  int rc = pthread_create(&t, nullptr, worker_thread, wq);
  if (rc == 0) pthread_detach(t);
  pthread_mutex_unlock(&wq->thread_lock);
  if (rc != 0) {
    HM_LOG(LOG_ERR, "failed to create worker thread");
    return -1;
  }
  HM_LOG(LOG_DEBUG, "create thread: %s", wq->name);
  return 0;
}

struct hm_work_queue* create_work_queue(const char* name) {
  struct hm_work_queue* wq = static_cast<struct hm_work_queue*>(xzalloc(sizeof(*wq)));
  hm_strlcpy(wq->name, name, sizeof(wq->name));
  INIT_LIST_HEAD(&wq->queues);
  INIT_LIST_HEAD(&wq->works);
  pthread_cond_init(&wq->cond, nullptr);
  pthread_mutex_init(&wq->lock, nullptr);
  pthread_mutex_init(&wq->thread_lock, nullptr);
  if (create_worker_threads(wq) != 0) {
    pthread_cond_destroy(&wq->cond);
    pthread_mutex_destroy(&wq->lock);
    return nullptr;
  }
  pthread_mutex_lock(&all_queues_lock);
  list_add(&wq->queues, &all_queues);
  pthread_mutex_unlock(&all_queues_lock);
  return wq;
}

void queue_work(struct hm_work_queue* wq, struct hm_work* work) {
  queue_work_bounded(wq, work, 0);
}

int queue_work_bounded(struct hm_work_queue* wq, struct hm_work* work, int max) {
  pthread_mutex_lock(&wq->lock);
  if (max > 0 && wq->nr_works >= max) {
    pthread_mutex_unlock(&wq->lock);
    return -1;
  }
  list_add_tail(&work->list, &wq->works);
  wq->nr_works++;
  pthread_mutex_unlock(&wq->lock);
  pthread_cond_signal(&wq->cond);
  return 0;
}

int create_work_queues(void) {
  un_domain = create_work_queue("un_domain");
  net = create_work_queue("net");
  kernel = create_work_queue("kernel");
  return (un_domain && net && kernel) ? 0 : -1;
}
