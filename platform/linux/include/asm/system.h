#ifndef _ASM_SYSTEM_H
#define _ASM_SYSTEM_H
#include <linux/compiler.h>	/* smp_mb and the other barriers */
#endif
