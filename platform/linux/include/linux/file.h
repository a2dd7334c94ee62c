#ifndef _LINUX_FILE_H
#define _LINUX_FILE_H
#include <linux/fs.h>
#endif
