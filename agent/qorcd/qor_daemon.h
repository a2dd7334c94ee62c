// qorcd as a process: the launcher that daemonizes with a pid file, the
// supervisor that keeps one working process alive, and the working process
// with its start-up and its listeners.
#ifndef ZELMIR_AGENT_QORCD_QOR_DAEMON_H
#define ZELMIR_AGENT_QORCD_QOR_DAEMON_H

// Prints "%s: %s" of prog and the usage text to standard output.
void daemon_usage(const char* prog);

// Turns the caller into the daemon named name: the pid file
// "/var/run/NAME.pid" (0644) is opened, the launcher exits with 0 and the
// child goes on, locks the file for as long as it lives and writes its pid
// into it, and leaves the terminal.  Every failure logs and exits with 1;
// a second instance fails with "Unable to lock pid file".
void start_daemon(const char* name);

// The supervisor: forks working processes one after another until one
// exits with status 0 (then 0) or a fork fails (then -1).
int supervise(void);

// The working process: loads the configuration, builds the inventory,
// starts the service threads and jobs and serves connections.  Returns -1
// only when it ends (a start-up failure; the caller then exits with 0).
int _main(void);

#endif  // ZELMIR_AGENT_QORCD_QOR_DAEMON_H
