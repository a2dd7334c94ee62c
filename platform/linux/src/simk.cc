// The simulated kernel as simkernel drives it: boot and shutdown, the
// module loader, the reboot notifier chain and the kernel log.
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sim/kernel.h"
#include "internal.h"

#include <linux/reboot.h>
#include <linux/notifier.h>
#include <linux/mutex.h>

namespace {

constexpr int kIoThreads = 4;

std::string g_rundir;
bool booted;

std::mutex module_mu;		// one load or unload at a time
void *module_handle;
std::string module_path;

// The reboot chain, highest priority first; run under reboot_mu, as the
// kernel runs a blocking chain under its rwsem.
DEFINE_MUTEX(reboot_mu);
struct notifier_block *reboot_chain;

}  // namespace

namespace simlinux {

const std::string &rundir()
{
	return g_rundir;
}

void reboot_chain_run(unsigned long event)
{
	mutex_lock(&reboot_mu);
	for (struct notifier_block *nb = reboot_chain; nb;) {
		struct notifier_block *next = nb->next;
		int ret = nb->notifier_call(nb, event, NULL);
		if (ret & NOTIFY_STOP_MASK)
			break;
		nb = next;
	}
	mutex_unlock(&reboot_mu);
}

}  // namespace simlinux

int register_reboot_notifier(struct notifier_block *nb)
{
	mutex_lock(&reboot_mu);
	struct notifier_block **p = &reboot_chain;
	while (*p && (*p)->priority >= nb->priority)
		p = &(*p)->next;
	nb->next = *p;
	*p = nb;
	mutex_unlock(&reboot_mu);
	return 0;
}

int unregister_reboot_notifier(struct notifier_block *nb)
{
	int ret = -ENOENT;
	mutex_lock(&reboot_mu);
	for (struct notifier_block **p = &reboot_chain; *p; p = &(*p)->next)
		if (*p == nb) {
			*p = nb->next;
			ret = 0;
			break;
		}
	mutex_unlock(&reboot_mu);
	return ret;
}

namespace simk {

int boot(const std::string &rundir)
{
	if (booted)
		return -EBUSY;
	if (rundir.empty())
		return -EINVAL;
	mkdir(rundir.c_str(), 0755);
	std::string nl = rundir + "/nl";
	mkdir(nl.c_str(), 0755);
	struct stat st;
	if (stat(nl.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
		return -ENOENT;
	g_rundir = rundir;
	simlinux::printk_open_file(rundir + "/kmsg");
	simlinux::io_start(kIoThreads);
	booted = true;
	printk("<5>Linux version 2.6.32-sim (zelmir simulated kernel)\n");
	return 0;
}

void reboot_notify()
{
	simlinux::reboot_chain_run(SYS_RESTART);
}

void shutdown()
{
	printk("<5>Restarting system.\n");
	reboot_notify();
	if (module_loaded())
		module_unload();
	simlinux::netlink_shutdown();
	simlinux::io_stop();		// drains the I/O in flight first
	simlinux::files_shutdown();
	simlinux::disks_shutdown();
	simlinux::kthreads_reap();
	booted = false;
}

int module_load(const std::string &so_path)
{
	std::lock_guard<std::mutex> lk(module_mu);
	if (module_handle)
		return -EEXIST;
	void *h = dlopen(so_path.c_str(), RTLD_NOW | RTLD_LOCAL);
	if (!h) {
		printk("<3>insmod: %s\n", dlerror());
		return -ENOEXEC;
	}
	auto init = (int (*)(void))dlsym(h, "init_module");
	if (!init) {
		printk("<3>insmod: %s has no init_module\n", so_path.c_str());
		dlclose(h);
		return -ENOEXEC;
	}
	int ret = init();
	if (ret != 0) {
		printk("<4>insmod: init_module of %s failed: %d\n", so_path.c_str(), ret);
		dlclose(h);
		return ret;
	}
	module_handle = h;
	module_path = so_path;
	return 0;
}

int module_unload()
{
	std::lock_guard<std::mutex> lk(module_mu);
	if (!module_handle)
		return -ENOENT;
	auto exit_fn = (void (*)(void))dlsym(module_handle, "cleanup_module");
	if (!exit_fn) {
		printk("<3>rmmod: the module has no cleanup_module: cannot unload\n");
		return -EBUSY;
	}
	exit_fn();
	dlclose(module_handle);
	module_handle = nullptr;
	// A module whose code stays mapped would keep its globals at the next load.
	if (void *still = dlopen(module_path.c_str(), RTLD_NOW | RTLD_NOLOAD)) {
		printk("<4>rmmod: %s is still mapped after unload\n", module_path.c_str());
		dlclose(still);
	}
	return 0;
}

bool module_loaded()
{
	std::lock_guard<std::mutex> lk(module_mu);
	return module_handle != nullptr;
}

std::string dmesg()
{
	return simlinux::kernel_log();
}

}  // namespace simk
