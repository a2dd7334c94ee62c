#include "hm_event.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/epoll.h>
#include <unistd.h>

#include "hm_list.h"
#include "mirapi/log.h"

namespace {

struct event_info {
  hm_event_handler handler;
  int fd;
  void* arg;
  struct list_head list;
};

// Touched by the main thread only.
struct event_state {
  int epfd = -1;
  int size = 0;
  struct epoll_event* events = nullptr;
  int batch_changed = 0;
  struct list_head regs = {&regs, &regs};
} ev;

event_info* lookup(int fd) {
  struct list_head* pos;
  list_for_each(pos, &ev.regs) {
    event_info* e = list_entry(pos, event_info, list);
    if (e->fd == fd) return e;
  }
  return nullptr;
}

}  // namespace

int init_event(int size) {
  ev.size = size;
  ev.events = static_cast<struct epoll_event*>(calloc(size, sizeof(struct epoll_event)));
  ev.epfd = epoll_create1(EPOLL_CLOEXEC);
  if (ev.epfd < 0 || !ev.events) {
    HM_LOG(LOG_ERR, "failed to create epoll fd");
    return -1;
  }
  HM_LOG(LOG_DEBUG, "event fd: %d", ev.epfd);
  return 0;
}

int register_event(int fd, hm_event_handler handler, void* arg) {
  event_info* e = static_cast<event_info*>(calloc(1, sizeof(event_info)));
  if (!e) {
    HM_LOG(LOG_EMERG, "PANIC: out of memory");
    abort();
  }
  e->handler = handler;
  e->fd = fd;
  e->arg = arg;
  HM_LOG(LOG_DEBUG, "register fd: %d", fd);
  struct epoll_event ee = {};
  ee.events = EPOLLIN;
  ee.data.ptr = e;
  int rc = epoll_ctl(ev.epfd, EPOLL_CTL_ADD, fd, &ee);
  if (rc != 0) {
    HM_LOG(LOG_ERR, "failed to add epoll event: %m");
    free(e);
    return rc;
  }
  list_add(&e->list, &ev.regs);
  return 0;
}

void unregister_event(int fd) {
  event_info* e = lookup(fd);
  if (!e) return;
  if (epoll_ctl(ev.epfd, EPOLL_CTL_DEL, fd, nullptr) != 0)
    HM_LOG(LOG_ERR, "failed to delete epoll event for fd: %d", fd);
  list_del(&e->list);
  free(e);
  HM_LOG(LOG_DEBUG, "unregister fd: %d Success", fd);
  ev.batch_changed = 1;
}

int modify_event(int fd, uint32_t events) {
  event_info* e = lookup(fd);
  if (!e) {
    HM_LOG(LOG_ERR, "event info for fd %d not found", fd);
    return 1;
  }
  struct epoll_event ee = {};
  ee.events = events;
  ee.data.ptr = e;
  if (epoll_ctl(ev.epfd, EPOLL_CTL_MOD, fd, &ee) != 0) {
    HM_LOG(LOG_ERR, "failed to mod epoll event for fd: %d", fd);
    return 1;
  }
  return 0;
}

int event_loop(int timeout_ms) {
  for (;;) {
    ev.batch_changed = 0;
    HM_LOG(LOG_DEBUG, "evnts fd: %d, wait events", ev.epfd);
    int n = epoll_wait(ev.epfd, ev.events, ev.size, timeout_ms);
    HM_LOG(LOG_DEBUG, "recv %d event", n);
    if (n < 0) {
      if (errno == EINTR) return 0;
      HM_LOG(LOG_ERR, "epoll_wait failed:");
      return -1;
    }
    if (n == 0) return 0;
    int changed = 0;
    for (int i = 0; i < n; i++) {
      event_info* e = static_cast<event_info*>(ev.events[i].data.ptr);
      e->handler(e->fd, ev.events[i].events, e->arg);
      // A removed registration may be among the rest of the batch; level
      // triggering reports again what is still pending.
      if (ev.batch_changed) {
        changed = 1;
        break;
      }
    }
    if (!changed) return 0;
  }
}

void event_shutdown(void) {
  while (!list_empty(&ev.regs)) {
    event_info* e = list_first_entry(&ev.regs, event_info, list);
    list_del(&e->list);
    free(e);
  }
  if (ev.epfd >= 0) close(ev.epfd);
  ev.epfd = -1;
  free(ev.events);
  ev.events = nullptr;
}
