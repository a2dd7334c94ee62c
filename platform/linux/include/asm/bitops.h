#ifndef _ASM_BITOPS_H
#define _ASM_BITOPS_H
#include <linux/bitops.h>
#endif
