#ifndef _SIM_LINUX_STRING_H
#define _SIM_LINUX_STRING_H

#include <linux/types.h>
#include <string.h>

size_t strlcpy(char *dest, const char *src, size_t size);
size_t strlcat(char *dest, const char *src, size_t count);
char *strstrip(char *s);

#endif /* _SIM_LINUX_STRING_H */
