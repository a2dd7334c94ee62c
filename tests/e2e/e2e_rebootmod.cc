/*
 * e2e_rebootmod: a module whose reboot notifier leaves a line in the kernel
 * log, so a test can tell whether a host went down through the reboot chain
 * (a clean stop) or without it (a crash).
 */
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/init.h>
#include <linux/notifier.h>
#include <linux/reboot.h>

static int e2e_reboot_notify(struct notifier_block *nb, unsigned long event, void *data)
{
	(void)nb;
	(void)data;
	printk(KERN_INFO "e2e_rebootmod: reboot notifier ran, event %lu\n", event);
	return NOTIFY_DONE;
}

static struct notifier_block e2e_reboot_nb = {
	e2e_reboot_notify,
	NULL,
	0,
};

static int __init e2e_rebootmod_init(void)
{
	register_reboot_notifier(&e2e_reboot_nb);
	printk(KERN_INFO "e2e_rebootmod: loaded\n");
	return 0;
}

static void __exit e2e_rebootmod_exit(void)
{
	unregister_reboot_notifier(&e2e_reboot_nb);
	printk(KERN_INFO "e2e_rebootmod: unloaded\n");
}

module_init(e2e_rebootmod_init);
module_exit(e2e_rebootmod_exit);
MODULE_LICENSE("GPL");
