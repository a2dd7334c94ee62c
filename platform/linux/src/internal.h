// Private to the simulated kernel: what its parts share beyond the kernel's
// own interfaces.  Library headers come first, the kernel's last (see
// <linux/types.h>).
#ifndef SIMLINUX_INTERNAL_H
#define SIMLINUX_INTERNAL_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <linux/kernel.h>
#include <linux/sched.h>
#include <linux/wait.h>
#include <linux/completion.h>
#include <linux/uaccess.h>
#include <linux/bio.h>
#include <linux/blkdev.h>
#include <linux/fs.h>

// Per-task state the kernel keeps elsewhere (scheduler, signals, kthread).
struct sim_task {
	std::mutex m;			// guards the sleep and wake-up of the task
	std::condition_variable cv;
	std::atomic<unsigned long> sig_pending{0};
	unsigned long sig_allowed = 0;
	bool kthread = false;
	int (*threadfn)(void *) = nullptr;
	void *data = nullptr;
	std::atomic<bool> should_stop{false};
	// True while the task is blocked in a sleep; read by tests that must
	// know a task sleeps before they wake it or check it did nothing.
	std::atomic<bool> asleep{false};
	// How long it polls for its wake-up before it blocks (sched.cc); only
	// the task itself touches it.
	std::chrono::nanoseconds poll_window{0};
	struct completion exited;
	mm_segment_t fs = KERNEL_DS;
};

struct sim_disk;

namespace simlinux {

// Contexts.  Disk work runs with irq set: completions see in_interrupt().
// Sets the calling thread's irq flag; returns what it was.
int swap_irq_context(int irq);
// The window a task polls for its wake-up in before it blocks, after a
// sleep that lasted @slept (sched.cc's halt polling).
std::chrono::nanoseconds poll_window_next(std::chrono::nanoseconds window,
					  std::chrono::nanoseconds slept);
// The calling thread's task, made on first use for threads kthread_create
// did not make; comm is taken from the thread's name.
struct task_struct *task_of_this_thread();
// Frees the tasks of kernel threads that ended without a kthread_stop.
void kthreads_reap();

// The I/O threads: a work queue served by a small pool that plays the
// interrupt context.  A thread waiting in bdev_rw runs queued work too,
// but never inside the submit call: a make_request function does not see
// its bio completed before it returns.  Work queued in process context
// wakes a worker only at the submitter's next unplug or sleep.
void io_start(int nthreads);
void io_stop();
// Gives the wake-ups this thread held back (a queue unplug, or a sleep:
// schedule or a mutex it must wait for).  From a queue's unplug function
// (@by_driver) the thread may run one light request itself, when it is
// the one request in flight and the thread is in no submit call.
void io_unplug(bool by_driver = false);
// io_unplug, for a thread about to sleep: work that would wait for it to
// come back to the queue goes to somebody else.
void io_before_sleep();

const std::string &rundir();
void printk_open_file(const std::string &path);
std::string kernel_log();

// Disks and host files (disk.cc, file.cc).
// A block device of the simulated kernel: a disk image, or (with io set)
// a host file system whose I/O file.cc does.
typedef void (*disk_io_fn)(struct sim_disk *d, struct bio *bio);
struct block_device *bdev_lookup(const std::string &name);	// "/dev/" stripped; with a reference
struct block_device *bdev_by_dev(dev_t dev);			// with a reference
struct block_device *fs_device_create(const std::string &name, dev_t dev, disk_io_fn io);
void disks_shutdown();
void files_shutdown();		// forgets the host file systems (their devices go with the disks)
void bio_complete(struct bio *bio, int error);			// as a disk completes a bio
void disks_changed();
// Reads or writes through generic_make_request, as user space would on
// /dev/NAME; waits for completion.  0 or -errno.
int bdev_rw(struct block_device *bdev, bool write, uint64_t offset, void *buf, uint32_t len);
// The same for any offset and length: the sectors around an unaligned piece
// are read, patched and written back, as the page cache would.
int bdev_rw_bytes(struct block_device *bdev, bool write, uint64_t offset, void *buf, uint32_t len);

// Netlink (netlink.cc), module and reboot chain (simk.cc).
void netlink_shutdown();
// Datagrams the kernel's end took and dropped because their sender has no
// port id, and datagrams whose input function has returned; read by tests
// to know a datagram was looked at (and any reply to it sent).
unsigned long netlink_senders_dropped();
unsigned long netlink_inputs_done();
void reboot_chain_run(unsigned long event);

}  // namespace simlinux

#endif  // SIMLINUX_INTERNAL_H
