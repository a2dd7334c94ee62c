#ifndef _LINUX_MODULEPARAM_H
#define _LINUX_MODULEPARAM_H
#include <linux/module.h>
#endif
