#ifndef _LINUX_FREEZER_H
#define _LINUX_FREEZER_H
static inline int try_to_freeze(void) { return 0; }
static inline void set_freezable(void) { }
static inline int freezing(void *p) { (void)p; return 0; }
#endif
