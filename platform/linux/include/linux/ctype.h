#ifndef _SIM_LINUX_CTYPE_H
#define _SIM_LINUX_CTYPE_H
#include <ctype.h>
#endif
