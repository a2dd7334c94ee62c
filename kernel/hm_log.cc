#include <linux/kernel.h>
#include <linux/string.h>
#include <stdarg.h>

#include "hm_log.h"

static int log_level = HM_INFO;
static const char kern_log_level[HM_LOG_MAX][32] = {
	"<0>", "<1>", "<2>", "<3>", "<4>", "<5>", "<6>", "<7>",
};

void log_init(int level)
{
	log_level = level;
}

/*
 * The line is formatted here in full rather than by splicing the caller's
 * format into a fixed buffer, so a long format can neither overrun nor be
 * cut in the middle of a conversion.
 */
void log_write(int prio, const char *func, int line, const char *fmt, ...)
{
	char msg[256];
	va_list args;
	int len;

	if (prio < 0 || prio >= HM_LOG_MAX || prio > log_level)
		return;
	va_start(args, fmt);
	len = vsnprintf(msg, sizeof(msg), fmt, args);
	va_end(args);
	if (len < 0)
		return;
	if (len >= (int)sizeof(msg))
		len = sizeof(msg) - 1;
	printk("%s func: %s line: %d %s%s", kern_log_level[prio], func, line, msg,
	       (len > 0 && msg[len - 1] == '\n') ? "" : "\n");
}
