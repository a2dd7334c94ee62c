// Outside programs that the agent runs: "get_db_home.sh", "zeldisk -r",
// "pgrep iscsid" and "service iscsi start" through the shell (fixed texts),
// iscsiadm from an argument vector.  They lie outside the system and may
// hang; every run has a time limit on the host's monotonic clock, so a hung
// program cannot stall start-up, the client scan, the reports, a command or
// the heartbeat.
#ifndef ZELMIR_AGENT_LIB_QOR_RUN_H
#define ZELMIR_AGENT_LIB_QOR_RUN_H

#include <stddef.h>

// The limit every outside program of the inventory runs under.
#define QOR_RUN_LIMIT_S 30

#define QOR_RUN_FAILED (-1)   // the shell could not be started
#define QOR_RUN_TIMEOUT (-2)  // the limit passed; the command's process group was killed

// Runs command with "/bin/sh -c", standard input from /dev/null and
// standard output on a pipe, for at most limit_s seconds.  When line is
// given, the first line of the output (without its line feed, cut to
// size - 1 bytes) is stored there, and *has_line tells whether any output
// came at all.  Returns the shell's exit status (128 + the signal when it
// was killed), QOR_RUN_FAILED or QOR_RUN_TIMEOUT.
int qor_run_shell(const char* command, int limit_s, char* line, size_t size, int* has_line);

// The same for a program run straight from an argument vector (argv[0]
// first, null-terminated), with no shell between: no word of argv is ever
// read as shell syntax.  The program's exit status, 128 + the signal,
// QOR_RUN_FAILED (also when path cannot be run) or QOR_RUN_TIMEOUT.
int qor_run_argv(const char* path, char* const argv[], int limit_s, char* line, size_t size,
                 int* has_line);

#endif  // ZELMIR_AGENT_LIB_QOR_RUN_H
