/*
 * BUG() logs "kernel BUG at file:line!" and aborts the process, as an oops
 * would end the context; WARN_ON logs and goes on.  might_sleep() is the
 * check every sleeping primitive makes: calling one from completion
 * (interrupt) context or with a spinlock held is a bug, caught here.
 */
#ifndef _LINUX_BUG_H
#define _LINUX_BUG_H

#include <linux/compiler.h>

void __sim_bug(const char *file, int line, const char *func) __attribute__((noreturn));
void __sim_warn(const char *file, int line, const char *func);
void __might_sleep(const char *file, int line, const char *func);

#define BUG()		__sim_bug(__FILE__, __LINE__, __func__)
#define BUG_ON(cond)	do { if (unlikely(cond)) BUG(); } while (0)
#define WARN_ON(cond)	({ int __ret_warn_on = !!(cond); \
			   if (unlikely(__ret_warn_on)) __sim_warn(__FILE__, __LINE__, __func__); \
			   unlikely(__ret_warn_on); })
#define WARN_ON_ONCE(cond)	WARN_ON(cond)
#define WARN(cond, fmt, ...)	WARN_ON(cond)
#define BUILD_BUG_ON(cond)	static_assert(!(cond), #cond)

#define might_sleep()	__might_sleep(__FILE__, __LINE__, __func__)
#define might_sleep_if(cond)	do { if (cond) might_sleep(); } while (0)

#endif /* _LINUX_BUG_H */
