// qorctl, the operator's tool beside qorcd: list what qorcd knows, withdraw
// the host through it, or check that a peer answers on a TCP port.  Every
// operation ends with status 0, whether it succeeded or not; only a command
// line that cannot be read ends with 255.
#include <stdio.h>
#include <stdlib.h>

#include "ctl_check.h"
#include "ctl_list.h"
#include "ctl_options.h"
#include "qor_client.h"
#include "qor_inventory.h"
#include "qor_local.h"

namespace {

void ctl_list() {
  qor_t* qor = qor_local_list();
  if (qor == nullptr) {
    fputs("No information, perhaps service stopped\n", stderr);
    return;
  }
  // qorctl is a fresh process: its enumeration has no earlier count to find
  // disks gone against, so it never rescans the devices.
  struct list_head disks;
  INIT_LIST_HEAD(&disks);
  qor_get_disks(&disks, 0);
  ctl_print_list(stdout, qor, &disks);
  disk_list_free(&disks);
  qor_free(qor);
}

void ctl_withdraw() {
  if (qor_local_withdraw() != 0)
    fputs("Failed to escape, perhaps Tidewell Server still alive\n", stderr);
  else
    fputs("Escaping done\n", stdout);
}

void ctl_check(const ctl_options& opts) {
  // An argument too long for the address buffer is no "ip:port" at all.
  int rc = opts.address_too_long ? connection_check(nullptr) : connection_check(opts.address);
  if (rc == 0)
    fprintf(stdout, "Connect to %s successfully\n", opts.check_arg);
  else
    fprintf(stderr, "No reponses from %s\n", opts.check_arg);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fputs(CTL_USAGE, stdout);
    return 0;
  }
  ctl_options opts;
  if (ctl_parse_args(argc, argv, &opts, stdout, stderr) != 0) return 255;
  if (opts.list)
    ctl_list();
  else if (opts.del)
    ctl_withdraw();
  else if (opts.check)
    ctl_check(opts);
  return 0;
}
