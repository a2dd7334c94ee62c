// The local command client: one command without payload to qorcd over its
// unix socket, one reply back.  qorctl lists the agent's configuration and
// withdraws the host through it.
#ifndef ZELMIR_AGENT_LIB_QOR_LOCAL_H
#define ZELMIR_AGENT_LIB_QOR_LOCAL_H

#include <stdint.h>

struct qor_t;  // qor_model.h

constexpr char QORCD_SOCK_PATH[] = "/var/run/qorcd.sock";
// Send and receive time-out of the local client, in seconds; it runs on the
// host's clock.
constexpr int QORC_LOCAL_TIMEOUT = 40;

// Sends cmd (LOCAL_LIST or LOCAL_WITHDRAW) to the daemon listening at path
// and waits for its reply, each wait for the daemon bounded by timeout
// seconds.  0 when the daemon answered status 0, with the reply's payload
// (NUL-terminated, the caller frees it; null when there was none) in *reply
// when reply is not null; -1 for every failure, the daemon's refusal (a
// status other than 0) and a command other than those two included.
int qorc_local_command(const char *path, uint32_t cmd, int timeout, char **reply);

// LOCAL_LIST to qorcd: a new handle (qor_free) read from its answer with
// xml_to_qor, or null when qorcd did not answer, refused, or answered no
// document that reads as one.
qor_t *qor_local_list();

// LOCAL_WITHDRAW to qorcd: 0 when the daemon withdrew the host, else -1.
int qor_local_withdraw();

#endif  // ZELMIR_AGENT_LIB_QOR_LOCAL_H
