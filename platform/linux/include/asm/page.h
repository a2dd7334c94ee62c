#ifndef _ASM_PAGE_H
#define _ASM_PAGE_H
#include <linux/mm.h>
#endif
