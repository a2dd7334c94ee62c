// The client-scan thread, which keeps the host inventory g_client current.
#ifndef ZELMIR_AGENT_QORCD_QOR_SCAN_H
#define ZELMIR_AGENT_QORCD_QOR_SCAN_H

// A scan at once, then one whenever scan_wake() asks for it (disk events,
// heartbeats, GET_CLIENT_INFO) and at least every 600 seconds.  Never
// returns.
void* _scan_client_thread(void* arg);

#endif  // ZELMIR_AGENT_QORCD_QOR_SCAN_H
