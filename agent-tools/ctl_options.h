// qorctl's command line: exactly one of list, withdraw and check.
#ifndef ZELMIR_AGENT_TOOLS_CTL_OPTIONS_H
#define ZELMIR_AGENT_TOOLS_CTL_OPTIONS_H

#include <stdio.h>

struct ctl_options {
  int list;
  int del;                 // withdraw ("-d|--delete")
  int check;
  // The check's "ip:port", always terminated.  An argument that does not fit
  // is no address the check could reach: address is then left empty and
  // address_too_long set, so the check fails on the argument as given.
  char address[32];
  int address_too_long;
  const char* check_arg;   // the argument as given, for messages
};

// The usage, four lines.
extern const char CTL_USAGE[];

// Parses argv into *opts (zeroed first).  0 when the options name at most
// one operation; -1 after printing the usage to out (help, an unknown
// option, a missing argument; the scanner says which of the last two to
// stderr) or "Multi-operation is forbbiden" to err (two operations or more).
// Repeating one option is allowed.
int ctl_parse_args(int argc, char** argv, ctl_options* opts, FILE* out, FILE* err);

#endif  // ZELMIR_AGENT_TOOLS_CTL_OPTIONS_H
