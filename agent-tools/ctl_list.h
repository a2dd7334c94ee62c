// The layout of qorctl's listing: what qorcd knows (client, manager, the CDP
// schedules with the local disks they concern), as it answers LOCAL_LIST.
#ifndef ZELMIR_AGENT_TOOLS_CTL_LIST_H
#define ZELMIR_AGENT_TOOLS_CTL_LIST_H

#include <stdio.h>

#include "hm_list.h"
#include "qor_model.h"

// Writes the listing of qor to out; disks (qor_disk, in enumeration order)
// name the primary and mirror of each schedule.  Start times are printed in
// local time.
void ctl_print_list(FILE* out, const qor_t* qor, const struct list_head* disks);

#endif  // ZELMIR_AGENT_TOOLS_CTL_LIST_H
