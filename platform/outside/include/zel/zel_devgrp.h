// The device group handed to zel_call_grp_markcdp: a consistency group's
// mirror disks, marked together. The caller allocates it zeroed, owns it
// and its copies, and frees it after the call.
#ifndef ZELMIR_OUTSIDE_ZEL_DEVGRP_H
#define ZELMIR_OUTSIDE_ZEL_DEVGRP_H

#include "zel/zel_layout.h"

typedef struct Zeldevgrp {
  char zero_0[16];
  struct list_head members;  // Zeldev.node, in member order
  char* name;                // a copy of the group name
} Zeldevgrp;

ZEL_LAYOUT_ASSERT(sizeof(Zeldevgrp) == 40);
ZEL_LAYOUT_ASSERT(offsetof(Zeldevgrp, zero_0) == 0);
ZEL_LAYOUT_ASSERT(offsetof(Zeldevgrp, members) == 16);
ZEL_LAYOUT_ASSERT(offsetof(Zeldevgrp, name) == 32);

// "{" + 36-character GUID + "}" + NUL
#define ZELDEV_GUID_LEN 39

typedef struct Zeldev {
  char zero_0[16];
  struct list_head node;          // in Zeldevgrp.members
  char zero_32[8];
  char guid[ZELDEV_GUID_LEN];     // the mirror's GUID in braces
  unsigned char flag;             // 1
  char* path;                     // a copy of the mirror disk's device path
  char zero_88[8];
} Zeldev;

ZEL_LAYOUT_ASSERT(sizeof(Zeldev) == 96);
ZEL_LAYOUT_ASSERT(offsetof(Zeldev, zero_0) == 0);
ZEL_LAYOUT_ASSERT(offsetof(Zeldev, node) == 16);
ZEL_LAYOUT_ASSERT(offsetof(Zeldev, zero_32) == 32);
ZEL_LAYOUT_ASSERT(offsetof(Zeldev, guid) == 40);
ZEL_LAYOUT_ASSERT(offsetof(Zeldev, flag) == 79);
ZEL_LAYOUT_ASSERT(offsetof(Zeldev, path) == 80);
ZEL_LAYOUT_ASSERT(offsetof(Zeldev, zero_88) == 88);

#endif  // ZELMIR_OUTSIDE_ZEL_DEVGRP_H
