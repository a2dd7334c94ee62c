// simhost: makes, starts, enters, stops and crashes simulated hosts.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "simhost_cmds.h"
#include "simhost_net.h"
#include "simhost_util.h"

int main(int argc, char** argv) {
  using namespace simhost;
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "-h" || args[0] == "--help") return usage();
  std::string cmd = args[0];
  args.erase(args.begin());
  if (cmd == "create") return cmd_create(args);
  if (cmd == "link") return cmd_link(args);
  if (cmd == "exec") {
    if (args.size() < 3 || args[1] != "--") return usage();
    int rc = cmd_exec(args[0], std::vector<std::string>(args.begin() + 2, args.end()));
    // Having joined the host's pid namespace, this process must not run exit
    // handlers such as a leak checker's, whose helper task would be born in
    // the host and never be found again.
    fflush(nullptr);
    _exit(rc);
  }
  if (args.size() != 1) return usage();
  if (cmd == "start") return cmd_start(args[0]);
  if (cmd == "stop") return cmd_stop(args[0]);
  if (cmd == "crash") return cmd_crash(args[0]);
  if (cmd == "status") return cmd_status(args[0]);
  fail("unknown command '%s'", cmd.c_str());
  return usage();
}
