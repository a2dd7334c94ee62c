#ifndef _ASM_DIV64_H
#define _ASM_DIV64_H
#include <linux/kernel.h>
#endif
