// The connections qorcd serves at once, counted apart for its two
// listeners.  Each connection is a thread with a 1 MiB stack, so the counts
// are bounded; and the unix socket has slots of its own, so peers that hold
// every TCP slot (the port is open to the network) never keep the
// administrator's local tool from being served.
//
// Only the accept loop takes slots; the connection threads give them back.
// The loop listens on a listener only while its pool has room, and the
// wake descriptor tells it when a full pool has room again.
#ifndef ZELMIR_AGENT_QORCD_QOR_SLOTS_H
#define ZELMIR_AGENT_QORCD_QOR_SLOTS_H

// Connections served at once on the TCP port and on the unix socket.  More
// wait in the listen backlog; none of them has a thread yet.
constexpr int QOR_MAX_TCP_CONNECTIONS = 64;
constexpr int QOR_MAX_LOCAL_CONNECTIONS = 16;

// 1 when the pool of the listener (local: the unix socket) has room.
int qor_slot_free(int local);
// Takes a slot of the pool; the caller has seen qor_slot_free.
void qor_slot_take(int local);
// Gives a slot back; the accept loop is woken when the pool was full.
void qor_slot_release(int local);
// A descriptor that becomes readable when a full pool got room again (-1
// when none could be made: the loop then looks again at least every
// second), and the read that re-arms it.
int qor_slot_wake_fd(void);
void qor_slot_wake_drain(void);

#endif  // ZELMIR_AGENT_QORCD_QOR_SLOTS_H
