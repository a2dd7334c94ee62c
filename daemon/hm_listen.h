// The two listeners of zelmird: the local command socket "/var/run/hm_unix"
// and the CDP mark channel on TCP port 59191, both served by the event loop.
#ifndef ZELMIR_DAEMON_HM_LISTEN_H
#define ZELMIR_DAEMON_HM_LISTEN_H

#include <stdint.h>

void unix_listen_handler(int fd, uint32_t events, void* arg);
int create_unix_domain_socket(const char* path, int (*setup)(int, void*), void* arg);
int setup_unix_server(const char* path);
int create_listen_socket(int port, int backlog, int (*setup)(int, void*));
int setup_net_server(void);

// accept4 on a listener; -1 when nothing was accepted.  When the descriptor
// table is full the oldest idle local client makes room; failing that, the
// waiting connection is taken off the listener and closed with a descriptor
// kept in reserve, so a full table never leaves the listener readable for
// the loop to spin on.
int hm_accept(int listen_fd, int flags);

#endif  // ZELMIR_DAEMON_HM_LISTEN_H
