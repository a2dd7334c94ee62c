// The heartbeat to the managing server and the client reset that withdraws
// the host from management.
//
// While a server manages the host, a job on the timer fires every 5 seconds
// (less often while no manager address accepts) and starts one exchange:
// connect to the first manager address that accepts, send the full client
// report as HEARTBEAT, act on the answer (status 50 withdraws the host;
// status 0 carries the manager record, whose addresses are adopted when they
// changed; then the iSCSI channel is brought back when its session is gone).
#ifndef ZELMIR_AGENT_QORCD_QOR_HEARTBEAT_H
#define ZELMIR_AGENT_QORCD_QOR_HEARTBEAT_H

#include <pthread.h>

#include "qor_jobs.h"
#include "qor_model.h"

// g_heartbeat_running under heartbeat_running_lock, a leaf lock: set when
// the working process starts managed and by ADD_CLIENT, cleared after a
// DEL_CLIENT that succeeded and by the client reset.
void heartbeat_set_running(int on);
int heartbeat_running(void);

// The heartbeat's fixed values.
constexpr uint16_t QOR_HEARTBEAT_TAG = 3;
constexpr uint32_t QOR_HEARTBEAT_INTERVAL = 5;   // seconds between heartbeats
constexpr uint32_t QOR_HEARTBEAT_MAX_BACKOFF = 128;
constexpr int QOR_HEARTBEAT_CONNECT_MS = 5000;   // the wait for any address to accept
constexpr int QOR_HEARTBEAT_MAX_ADDRS = 64;      // addresses tried per exchange
// The wait for the server's answer (and for it to take the request), on the
// host's clock: a server that accepts and never answers ends the exchange
// instead of holding its thread for ever.
constexpr int QOR_HEARTBEAT_REPLY_TIMEOUT = 40;

// Registers the heartbeat job (JOB_HEARTBEAT, due at once, every 5 seconds,
// backoff 1) unless there is one: 0, or -1 when it could not be added.
int _register_for_heartbeat(void);
// 1 while a heartbeat job exists (jobs marked deleted do not count).
int heartbeat_registered(void);
// The heartbeat job's callback (called with null, under job_lock): when
// heartbeats are wanted, starts one exchange thread.  0 when it started,
// else -1.
int process_heartbeat(job_status* unused);
// One exchange; the thread's body (the argument is unused).
void* _process_heartbeat(void* unused);

// 1 when mngr is the configured manager (same GUID) with another address
// list (the first 32 addresses compared, a 0.0.0.0 ending a list), else 0;
// a manager of another GUID is logged as not the right one.  The caller
// holds the configuration lock.
int is_manager_changed(const qor_manager* mngr);

// Under mutex, deletes every database of g_client.apps with the CDP-agent
// library and frees its record.
void remove_all_apps(pthread_mutex_t* mutex);

// Withdraws the host: stops the jobs and the heartbeat, deletes the
// databases, every host-mirror protection (and its mirror with the CDP-agent
// library), the CDP schedules and the groups, logs out of the manager's
// iSCSI target, removes the manager and the alias and saves the
// configuration.  The client GUID, the ports and the address filter stay.  A
// reset asked for while one runs returns at once.  Takes every lock it needs
// itself; the caller holds none.
void _client_reset(void);

#endif  // ZELMIR_AGENT_QORCD_QOR_HEARTBEAT_H
