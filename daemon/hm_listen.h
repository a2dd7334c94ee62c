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

#endif  // ZELMIR_DAEMON_HM_LISTEN_H
