// The host inventory g_client of the working process: built once at start
// and kept current by the client-scan thread.
#ifndef ZELMIR_AGENT_QOR_SCAN_H
#define ZELMIR_AGENT_QOR_SCAN_H

// Builds g_client from g_qor and the host.  Runs before any other thread of
// the working process exists, so it takes no lock of g_client.
void g_client_init(void);

// The client-scan thread: a scan at once, then one whenever scan_wake() asks
// for it (disk events, heartbeats, GET_CLIENT_INFO) and at least every 600
// seconds.  Never returns.
void* _scan_client_thread(void* arg);

#endif  // ZELMIR_AGENT_QOR_SCAN_H
