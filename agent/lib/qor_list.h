// Emptying an agent list: every entry unlinked, then handed to its release
// function.  The head is left empty.
#ifndef ZELMIR_AGENT_LIB_QOR_LIST_H
#define ZELMIR_AGENT_LIB_QOR_LIST_H

#include "hm_list.h"

#define QOR_LIST_FREE(head, type, member, release)        \
  do {                                                    \
    struct list_head* qlf_head_ = (head);                 \
    if (qlf_head_ == nullptr) break;                      \
    struct list_head *qlf_pos_, *qlf_n_;                  \
    list_for_each_safe(qlf_pos_, qlf_n_, qlf_head_) {     \
      list_del(qlf_pos_);                                 \
      release(list_entry(qlf_pos_, type, member));        \
    }                                                     \
  } while (0)

#endif  // ZELMIR_AGENT_LIB_QOR_LIST_H
