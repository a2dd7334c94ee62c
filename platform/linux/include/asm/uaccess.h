#ifndef _ASM_UACCESS_H
#define _ASM_UACCESS_H
#include <linux/uaccess.h>
#endif
