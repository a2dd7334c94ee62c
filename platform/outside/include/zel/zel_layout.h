// The records that the system shares with the maker's outside libraries are
// fixed byte for byte (x86-64: pointers 8 bytes), and so is the list node
// they embed. Each record's header pins its size and every offset with
// ZEL_LAYOUT_ASSERT, in C and C++ alike.
#ifndef ZELMIR_OUTSIDE_ZEL_LAYOUT_H
#define ZELMIR_OUTSIDE_ZEL_LAYOUT_H

#include <stddef.h>

#ifdef __cplusplus
#define ZEL_LAYOUT_ASSERT(cond) static_assert(cond, #cond)
#else
#define ZEL_LAYOUT_ASSERT(cond) _Static_assert(cond, #cond)
#endif

// The lists the system and the outside libraries hand each other are the
// system's one intrusive list (hm_list.h): a node of next and previous
// pointers, a self-linked head, entries appended before the head.
#include "hm_list.h"

ZEL_LAYOUT_ASSERT(sizeof(struct list_head) == 16);
ZEL_LAYOUT_ASSERT(offsetof(struct list_head, next) == 0);
ZEL_LAYOUT_ASSERT(offsetof(struct list_head, prev) == 8);

#endif  // ZELMIR_OUTSIDE_ZEL_LAYOUT_H
