/* The module's levelled logger over printk. */
#ifndef ZELMIR_KERNEL_HM_LOG_H
#define ZELMIR_KERNEL_HM_LOG_H

enum {
	HM_EMERG = 0,
	HM_ALERT = 1,
	HM_CRIT = 2,
	HM_ERR = 3,
	HM_WARNING = 4,
	HM_NOTICE = 5,
	HM_INFO = 6,
	HM_DEBUG = 7,
	HM_LOG_MAX = 8,
};

void log_init(int level);
void log_write(int prio, const char *func, int line, const char *fmt, ...)
	__attribute__((format(printf, 4, 5)));

#endif
