// Stand-ins for the command handlers not built yet.  Each gives what its
// row's manager test gives and otherwise answers 1, so the server sees the
// refusals it expects; a handler that is built is taken out of this file.
#include "mirapi/log.h"
#include "qor_dispatch.h"
#include "qor_handlers.h"

namespace {

int not_built(uint32_t code) {
  const qor_command* row = qor_find_command(code);
  int refusal = qor_manager_refusal(row);
  if (refusal != 0) return refusal;
  HM_LOG(LOG_INFO, "Command %s is not served yet.", row->name);
  return 1;
}

}  // namespace

int add_backup(qorc_req*) { return not_built(4); }
int del_backup(qorc_req*) { return not_built(14); }
int init_mirror(qorc_req*) { return not_built(16); }
int cancel_init_mirror(qorc_req*) { return not_built(17); }
int create_snapshot(qorc_req*) { return not_built(21); }
int snap_restore(qorc_req*) { return not_built(23); }
