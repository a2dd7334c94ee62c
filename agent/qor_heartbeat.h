// The heartbeat to the managing server: its job on the timer and the flag
// that says heartbeats are wanted.
#ifndef ZELMIR_AGENT_QOR_HEARTBEAT_H
#define ZELMIR_AGENT_QOR_HEARTBEAT_H

#include "qor_jobs.h"

// g_heartbeat_running under heartbeat_running_lock, a leaf lock: set when
// the working process starts managed and after ADD_CLIENT, cleared after a
// DEL_CLIENT that succeeded and by the client reset.
void heartbeat_set_running(int on);
int heartbeat_running(void);

// Registers the heartbeat job (JOB_HEARTBEAT, due at once, every 5 seconds,
// backoff 1) unless there is one: 0, or -1 when it could not be added.
int _register_for_heartbeat(void);
// The heartbeat job's callback (called with null, under job_lock): starts
// one heartbeat exchange.  0 when it started, else -1.
int process_heartbeat(job_status* unused);

#endif  // ZELMIR_AGENT_QOR_HEARTBEAT_H
