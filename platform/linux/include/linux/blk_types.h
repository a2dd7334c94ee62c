#ifndef _LINUX_BLK_TYPES_H
#define _LINUX_BLK_TYPES_H
#include <linux/bio.h>
#endif
