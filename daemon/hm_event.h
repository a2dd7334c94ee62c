// The epoll loop of zelmird's main thread.  Registrations are kept newest
// first; a descriptor is looked up from the front.
#ifndef ZELMIR_DAEMON_HM_EVENT_H
#define ZELMIR_DAEMON_HM_EVENT_H

#include <stdint.h>

typedef void (*hm_event_handler)(int fd, uint32_t events, void* arg);

int init_event(int size);
int register_event(int fd, hm_event_handler handler, void* arg);
void unregister_event(int fd);
int modify_event(int fd, uint32_t events);
// One wait and its batch; -1 when the wait failed for good (the daemon then
// ends with status 1).
int event_loop(int timeout_ms);

// Tests: closes the epoll instance and drops every registration.
void event_shutdown(void);

#endif  // ZELMIR_DAEMON_HM_EVENT_H
