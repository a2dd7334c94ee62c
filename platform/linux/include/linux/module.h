/*
 * A module is a shared object.  module_init(fn) and module_exit(fn) define
 * the entry points init_module and cleanup_module that the simulated
 * kernel's loader finds in it; the module's globals start fresh at each
 * load, as a module's do.
 */
#ifndef _LINUX_MODULE_H
#define _LINUX_MODULE_H

#include <linux/types.h>
#include <linux/kernel.h>
#include <linux/init.h>

struct module {
	char name[56];
};

#define THIS_MODULE		((struct module *)0)
#define MODULE_LICENSE(x)	static const char __maybe_unused __mod_license[] = (x)
#define MODULE_AUTHOR(x)
#define MODULE_DESCRIPTION(x)
#define MODULE_VERSION(x)
#define MODULE_ALIAS(x)
#define MODULE_PARM_DESC(var, desc)
#define MODULE_DEVICE_TABLE(type, name)
#define EXPORT_SYMBOL(sym)
#define EXPORT_SYMBOL_GPL(sym)
#define module_param(name, type, perm)
#define module_param_named(name, value, type, perm)

static inline int try_module_get(struct module *m) { (void)m; return 1; }
static inline void module_put(struct module *m) { (void)m; }
#define __module_get(m)		do { (void)(m); } while (0)

#endif /* _LINUX_MODULE_H */
