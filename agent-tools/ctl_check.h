// qorctl's connection check: does a peer answer on a TCP port?  The probe is
// the head of PING_CLIENT with protocol version 1, which qorcd refuses with
// a reply of its own; any answer counts, the refusal and a plain close
// included.
#ifndef ZELMIR_AGENT_TOOLS_CTL_CHECK_H
#define ZELMIR_AGENT_TOOLS_CTL_CHECK_H

#include <stdint.h>

#include "qor_transport.h"

// How long the connect, and then the wait for the answer, may each take, in
// seconds of the host's clock.  A peer whose port drops the connection
// attempt, or that takes it and never answers, is then no answer.
constexpr int CTL_CHECK_TIMEOUT = 10;

// All zero, then version 1, cmd and data_len.
void check_head_init(qorc_head* head, uint32_t cmd, uint32_t len);

// text is "ADDRESS:PORT", ADDRESS a dotted IPv4 address of at most 30
// characters and PORT decimal, 1 to 65535.  Connects, sends the check head,
// and reads once up to 16 bytes.  0 when the peer answered: also with an
// empty read (it closed) or a reset on the write or the read (it closed
// without reading the head).  -1 for bad input, a failed or timed-out
// connect, a read that timed out, or a send or read failing otherwise (each
// logged).
int connection_check(const char* text);

#endif  // ZELMIR_AGENT_TOOLS_CTL_CHECK_H
