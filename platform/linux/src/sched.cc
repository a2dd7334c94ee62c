// Tasks, sleeping and waking, signals, kernel threads, locks, wait queues
// and completions: the scheduler side of the simulated kernel.
#include <pthread.h>
#include <sched.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "internal.h"

#include <linux/kthread.h>
#include <linux/delay.h>
#include <linux/mutex.h>
#include <linux/spinlock.h>
#include <linux/time.h>

namespace {

// Sleeps longer than this (about 30 years) last until a wake-up.
constexpr long kForeverTicks = 1000L * 3600 * 24 * 365 * 30;

thread_local struct task_struct *tls_task;
thread_local int tls_irq;
thread_local int tls_atomic;

// Drops the task of a thread that was not a kthread when the thread ends.
struct TaskHolder {
	struct task_struct *t = nullptr;
	~TaskHolder()
	{
		if (t) {
			tls_task = nullptr;
			put_task_struct(t);
		}
	}
};
thread_local TaskHolder tls_holder;

const std::chrono::steady_clock::time_point boot_time = std::chrono::steady_clock::now();

// Kernel threads not yet stopped: a thread that ended by itself keeps its
// task (kthread_stop may still come) until shutdown reaps it.
std::mutex kthreads_mu;
std::vector<struct task_struct *> kthreads;

struct task_struct *task_alloc(const char *comm, bool kthread)
{
	struct task_struct *t = new task_struct();
	t->sim = new sim_task();
	init_completion(&t->sim->exited);
	t->sim->kthread = kthread;
	t->flags = kthread ? PF_KTHREAD : 0;
	atomic_set(&t->usage, 1);
	snprintf(t->comm, sizeof(t->comm), "%s", comm);
	return t;
}

void futex_wait(int *w, int val)
{
	syscall(SYS_futex, w, FUTEX_WAIT_PRIVATE, val, nullptr, nullptr, 0);
}

void futex_wake(int *w)
{
	syscall(SYS_futex, w, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

// A futex lock: 0 free, 1 held, 2 held with sleepers.
void lock_word(int *w, int spins)
{
	int c = 0;
	if (__atomic_compare_exchange_n(w, &c, 1, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
		return;
	for (int i = 0; i < spins; i++) {
		__builtin_ia32_pause();
		c = 0;
		if (__atomic_load_n(w, __ATOMIC_RELAXED) == 0 &&
		    __atomic_compare_exchange_n(w, &c, 1, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
			return;
	}
	c = __atomic_exchange_n(w, 2, __ATOMIC_ACQUIRE);
	while (c != 0) {
		futex_wait(w, 2);
		c = __atomic_exchange_n(w, 2, __ATOMIC_ACQUIRE);
	}
}

void unlock_word(int *w)
{
	if (__atomic_exchange_n(w, 0, __ATOMIC_RELEASE) != 1)
		futex_wake(w);
}

int trylock_word(int *w)
{
	int c = 0;
	return __atomic_compare_exchange_n(w, &c, 1, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED);
}

void sleep_check(const char *what)
{
	simlinux::io_before_sleep();
	if (tls_irq || tls_atomic > 0) {
		struct task_struct *t = tls_task;
		printk("<3>BUG: %s while atomic: %s/%d, in_interrupt %d, spinlocks held %d\n", what,
		       t ? t->comm : "?", t ? t->pid : 0, tls_irq, tls_atomic);
		fprintf(stderr, "BUG: %s while atomic: %s/%d, in_interrupt %d, spinlocks held %d\n",
			what, t ? t->comm : "?", t ? t->pid : 0, tls_irq, tls_atomic);
		dump_stack();
		fflush(stderr);
		abort();
	}
}

long task_state(struct task_struct *t)
{
	return __atomic_load_n(&t->state, __ATOMIC_SEQ_CST);
}

void task_set_running(struct task_struct *t)
{
	__atomic_store_n(&t->state, (long)TASK_RUNNING, __ATOMIC_SEQ_CST);
}

}  // namespace

namespace simlinux {

int swap_irq_context(int irq)
{
	int was = tls_irq;
	tls_irq = irq;
	return was;
}

struct task_struct *task_of_this_thread()
{
	if (!tls_task) {
		char name[16] = "user";
		pthread_getname_np(pthread_self(), name, sizeof(name));
		struct task_struct *t = task_alloc(name, false);
		t->pid = (pid_t)syscall(SYS_gettid);
		t->tgid = getpid();
		tls_task = t;
		tls_holder.t = t;
	}
	return tls_task;
}

}  // namespace simlinux

/* contexts */

int __sim_in_irq(void)
{
	return tls_irq;
}

int __sim_atomic_depth(void)
{
	return tls_atomic;
}

// A check only: what has not slept yet keeps its queue plugged, so bios
// sent one after another (a large write's halves) still meet in the queue.
void __might_sleep(const char *file, int line, const char *func)
{
	if (tls_irq || tls_atomic > 0) {
		struct task_struct *t = tls_task;
		printk("<3>BUG: sleeping function called from invalid context at %s:%d in %s\n", file,
		       line, func);
		printk("<3>in_atomic(): 1, in_interrupt(): %d, pid: %d, name: %s\n", tls_irq,
		       t ? t->pid : 0, t ? t->comm : "?");
		fprintf(stderr, "BUG: sleeping function called from invalid context at %s:%d in %s\n"
			"in_atomic(): 1, in_interrupt(): %d, pid: %d, name: %s\n", file, line, func,
			tls_irq, t ? t->pid : 0, t ? t->comm : "?");
		dump_stack();
		fflush(stderr);
		abort();
	}
}

/* tasks */

struct task_struct *get_current(void)
{
	return tls_task ? tls_task : simlinux::task_of_this_thread();
}

void get_task_struct(struct task_struct *t)
{
	atomic_inc(&t->usage);
}

void put_task_struct(struct task_struct *t)
{
	if (atomic_dec_and_test(&t->usage)) {
		delete t->sim;
		delete t;
	}
}

pid_t task_pid_nr(struct task_struct *tsk)
{
	return tsk->pid;
}

void __sim_set_task_state(struct task_struct *t, long state)
{
	__atomic_store_n(&t->state, state, __ATOMIC_SEQ_CST);
}

// Notifies after the task's lock is dropped: woken under it, the task would
// only wake to wait for the lock, and cost its waker a second wake-up.  The
// reference keeps its wait alive until then.
int wake_up_state(struct task_struct *t, unsigned int state)
{
	bool woke;
	get_task_struct(t);
	{
		std::lock_guard<std::mutex> lk(t->sim->m);
		woke = task_state(t) & (long)state;
		if (woke)
			task_set_running(t);
	}
	if (woke)
		t->sim->cv.notify_all();
	put_task_struct(t);	// after the lock: it may be the last
	return woke;
}

int wake_up_process(struct task_struct *tsk)
{
	return wake_up_state(tsk, TASK_ALL);
}

// Halt polling.  A task about to block first polls its state a little, as
// a virtual machine's idle loop polls before it halts: a thread that blocks
// here is woken through the hypervisor (5 to 20 µs before it runs, 3 to 5 µs
// of its waker's time in the system call), while one that polls sees its
// state change at once and its waker's notify finds nobody to wake.  The
// window is the task's own and adapts as halt polling's does: it grows
// while its sleeps end soon, and shrinks to nothing when they don't, so a
// thread that sleeps long (an idle protection's thread between its 10-second
// passes) never polls.  Few poll at once: a polling thread holds a CPU.
// The longest window is KVM's default: a protection's thread between the
// requests of one writer sleeps for a request's round trip, 50 µs and more
// at 4 KiB, and with a shorter window it woke from a sleep for every one.
constexpr std::chrono::nanoseconds kPollMax{200'000};
constexpr std::chrono::nanoseconds kPollStart{10'000};
constexpr int kMaxPollers = 2;
static std::atomic<int> pollers{0};

static bool poll_done(struct task_struct *t)
{
	// A signal makes an interruptible sleeper runnable (send_sig).
	return task_state(t) == TASK_RUNNING;
}

// Polls until the task is woken or its window (or @deadline) ends.
static void poll_for_wakeup(struct task_struct *t, std::chrono::steady_clock::time_point start,
			    const std::chrono::steady_clock::time_point *deadline)
{
	if (t->sim->poll_window.count() == 0)
		return;
	if (pollers.fetch_add(1, std::memory_order_relaxed) >= kMaxPollers) {
		pollers.fetch_sub(1, std::memory_order_relaxed);
		return;
	}
	auto until = start + t->sim->poll_window;
	if (deadline && *deadline < until)
		until = *deadline;
	for (;;) {
		for (int i = 0; i < 32; i++) {
			if (poll_done(t))
				goto out;
			__builtin_ia32_pause();
		}
		if (std::chrono::steady_clock::now() >= until)
			break;
		// A thread it has just woken may wait for this CPU: let it on.
		sched_yield();
	}
out:
	pollers.fetch_sub(1, std::memory_order_relaxed);
}

namespace simlinux {

// A sleep longer than the longest window halves it (to nothing below the
// first step); one that outlasted the window but not the longest grows it.
std::chrono::nanoseconds poll_window_next(std::chrono::nanoseconds window,
					  std::chrono::nanoseconds slept)
{
	if (slept > kPollMax)
		return window / 2 < kPollStart ? std::chrono::nanoseconds(0) : window / 2;
	if (slept > window)
		return window.count() == 0 ? kPollStart : (window * 2 < kPollMax ? window * 2 : kPollMax);
	return window;
}

}  // namespace simlinux

static void poll_adapt(struct task_struct *t, std::chrono::steady_clock::time_point start)
{
	t->sim->poll_window = simlinux::poll_window_next(t->sim->poll_window,
							 std::chrono::steady_clock::now() - start);
}

// Sleeps until the task is made runnable, a signal ends an interruptible
// sleep, or the deadline passes.  Returns false on time-out.
static bool sleep_until(struct task_struct *t, const std::chrono::steady_clock::time_point *deadline)
{
	auto start = std::chrono::steady_clock::now();
	poll_for_wakeup(t, start, deadline);
	struct adapt_on_exit {
		struct task_struct *t;
		std::chrono::steady_clock::time_point start;
		~adapt_on_exit() { poll_adapt(t, start); }
	} adapt{t, start};
	std::unique_lock<std::mutex> lk(t->sim->m);
	for (;;) {
		long st = task_state(t);
		if (st == TASK_RUNNING)
			return true;
		if ((st & TASK_INTERRUPTIBLE) && t->sim->sig_pending.load()) {
			task_set_running(t);
			return true;
		}
		if (deadline) {
			t->sim->asleep = true;
			std::cv_status woke = t->sim->cv.wait_until(lk, *deadline);
			t->sim->asleep = false;
			if (woke == std::cv_status::timeout &&
			    std::chrono::steady_clock::now() >= *deadline) {
				task_set_running(t);
				return false;
			}
		} else {
			t->sim->asleep = true;
			t->sim->cv.wait(lk);
			t->sim->asleep = false;
		}
	}
}

void schedule(void)
{
	struct task_struct *t = current;
	sleep_check("scheduling");
	if (task_state(t) == TASK_RUNNING) {
		sched_yield();
		return;
	}
	sleep_until(t, nullptr);
}

signed long schedule_timeout(signed long timeout)
{
	struct task_struct *t = current;
	sleep_check("scheduling");
	if (timeout == MAX_SCHEDULE_TIMEOUT) {
		schedule();
		return timeout;
	}
	if (timeout < 0) {
		printk("<3>schedule_timeout: wrong timeout value %lx\n", (unsigned long)timeout);
		task_set_running(t);
		return 0;
	}
	unsigned long expire = jiffies + timeout;
	if (task_state(t) == TASK_RUNNING) {
		sched_yield();
	} else if (timeout > kForeverTicks) {
		sleep_until(t, nullptr);	// longer than the clock can say: until woken
	} else {
		auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
		sleep_until(t, &deadline);
	}
	long left = (long)(expire - jiffies);
	return left < 0 ? 0 : left;
}

signed long schedule_timeout_interruptible(signed long timeout)
{
	__set_current_state(TASK_INTERRUPTIBLE);
	return schedule_timeout(timeout);
}

signed long schedule_timeout_uninterruptible(signed long timeout)
{
	__set_current_state(TASK_UNINTERRUPTIBLE);
	return schedule_timeout(timeout);
}

signed long schedule_timeout_killable(signed long timeout)
{
	return schedule_timeout_uninterruptible(timeout);
}

void io_schedule(void)
{
	schedule();
}

long io_schedule_timeout(long timeout)
{
	return schedule_timeout(timeout);
}

int _cond_resched(void)
{
	sleep_check("cond_resched");
	sched_yield();
	return 0;
}

void yield(void)
{
	sched_yield();
}

void set_user_nice(struct task_struct *p, long nice)
{
	(void)p;
	(void)nice;
}

int task_nice(const struct task_struct *p)
{
	(void)p;
	return 0;
}

/* signals */

int signal_pending(struct task_struct *p)
{
	return p->sim->sig_pending.load() != 0;
}

int fatal_signal_pending(struct task_struct *p)
{
	return (p->sim->sig_pending.load() & (1UL << SIGKILL)) != 0;
}

int send_sig(int sig, struct task_struct *p, int priv)
{
	(void)priv;
	if (sig <= 0 || sig >= 64)
		return -EINVAL;
	std::lock_guard<std::mutex> lk(p->sim->m);
	// Kernel threads ignore every signal they did not allow.
	if (p->sim->kthread && !(p->sim->sig_allowed & (1UL << sig)))
		return 0;
	p->sim->sig_pending.fetch_or(1UL << sig);
	if (task_state(p) & TASK_INTERRUPTIBLE) {
		task_set_running(p);
		p->sim->cv.notify_all();
	}
	return 0;
}

int force_sig(int sig, struct task_struct *p)
{
	return send_sig(sig, p, 1);
}

void flush_signals(struct task_struct *t)
{
	t->sim->sig_pending.store(0);
}

int allow_signal(int sig)
{
	if (sig <= 0 || sig >= 64)
		return -EINVAL;
	struct task_struct *t = current;
	std::lock_guard<std::mutex> lk(t->sim->m);
	t->sim->sig_allowed |= 1UL << sig;
	return 0;
}

int disallow_signal(int sig)
{
	if (sig <= 0 || sig >= 64)
		return -EINVAL;
	struct task_struct *t = current;
	std::lock_guard<std::mutex> lk(t->sim->m);
	t->sim->sig_allowed &= ~(1UL << sig);
	t->sim->sig_pending.fetch_and(~(1UL << sig));
	return 0;
}

void daemonize(const char *name, ...)
{
	struct task_struct *t = current;
	va_list ap;
	va_start(ap, name);
	vsnprintf(t->comm, sizeof(t->comm), name, ap);
	va_end(ap);
	pthread_setname_np(pthread_self(), t->comm);
}

/* kernel threads */

struct task_struct *kthread_create(int (*threadfn)(void *data), void *data, const char namefmt[], ...)
{
	might_sleep();
	char comm[TASK_COMM_LEN];
	va_list ap;
	va_start(ap, namefmt);
	vsnprintf(comm, sizeof(comm), namefmt, ap);
	va_end(ap);

	struct task_struct *t = task_alloc(comm, true);
	t->sim->threadfn = threadfn;
	t->sim->data = data;
	atomic_set(&t->usage, 2);	/* the thread's own, and the one kthread_stop drops */
	// The new thread sleeps until its first wake-up, as a kthread does.
	__atomic_store_n(&t->state, (long)TASK_UNINTERRUPTIBLE, __ATOMIC_SEQ_CST);

	struct completion started;
	init_completion(&started);
	try {
		std::thread([t, &started] {
			tls_task = t;
			t->pid = (pid_t)syscall(SYS_gettid);
			t->tgid = getpid();
			pthread_setname_np(pthread_self(), t->comm);
			complete(&started);
			schedule();
			int ret = -EINTR;
			if (!t->sim->should_stop.load())
				ret = t->sim->threadfn(t->sim->data);
			simlinux::io_unplug();	// work it queued on its way out
			t->exit_code = ret;
			complete_all(&t->sim->exited);
			tls_task = nullptr;
			put_task_struct(t);
		}).detach();
	} catch (...) {
		delete t->sim;
		delete t;
		return (struct task_struct *)ERR_PTR(-ENOMEM);
	}
	wait_for_completion(&started);
	std::lock_guard<std::mutex> lk(kthreads_mu);
	kthreads.push_back(t);
	return t;
}

void kthread_bind(struct task_struct *k, unsigned int cpu)
{
	(void)k;
	(void)cpu;
}

int kthread_should_stop(void)
{
	return current->sim->should_stop.load();
}

int kthread_stop(struct task_struct *k)
{
	get_task_struct(k);
	k->sim->should_stop.store(true);
	wake_up_process(k);
	wait_for_completion(&k->sim->exited);
	int ret = k->exit_code;
	{
		std::lock_guard<std::mutex> lk(kthreads_mu);
		for (size_t i = 0; i < kthreads.size(); i++)
			if (kthreads[i] == k) {
				kthreads.erase(kthreads.begin() + i);
				break;
			}
	}
	put_task_struct(k);
	put_task_struct(k);
	return ret;
}

namespace simlinux {

void kthreads_reap()
{
	std::vector<struct task_struct *> ended;
	{
		std::lock_guard<std::mutex> lk(kthreads_mu);
		for (size_t i = 0; i < kthreads.size();) {
			if (completion_done(&kthreads[i]->sim->exited)) {
				ended.push_back(kthreads[i]);
				kthreads.erase(kthreads.begin() + i);
			} else {
				i++;
			}
		}
	}
	for (struct task_struct *t : ended)
		put_task_struct(t);
}

}  // namespace simlinux

/* delays */

void msleep(unsigned int msecs)
{
	might_sleep();
	unsigned long timeout = msecs_to_jiffies(msecs) + 1;
	while (timeout)
		timeout = schedule_timeout_uninterruptible(timeout);
}

unsigned long msleep_interruptible(unsigned int msecs)
{
	might_sleep();
	unsigned long timeout = msecs_to_jiffies(msecs) + 1;
	while (timeout && !signal_pending(current))
		timeout = schedule_timeout_interruptible(timeout);
	return jiffies_to_msecs(timeout);
}

void udelay(unsigned long usecs)
{
	auto end = std::chrono::steady_clock::now() + std::chrono::microseconds(usecs);
	while (std::chrono::steady_clock::now() < end)
		__builtin_ia32_pause();
}

void ndelay(unsigned long nsecs)
{
	udelay((nsecs + 999) / 1000);
}

/* time */

unsigned long __sim_jiffies(void)
{
	auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
		std::chrono::steady_clock::now() - boot_time).count();
	return INITIAL_JIFFIES + (unsigned long)ms;
}

unsigned long get_seconds(void)
{
	return (unsigned long)time(nullptr);
}

void do_gettimeofday(struct timeval *tv)
{
	gettimeofday(tv, nullptr);
}

void getnstimeofday(struct timespec *ts)
{
	clock_gettime(CLOCK_REALTIME, ts);
}

struct timespec current_kernel_time(void)
{
	struct timespec ts;
	clock_gettime(CLOCK_REALTIME, &ts);
	return ts;
}

/* address limit */

mm_segment_t __sim_get_fs(void)
{
	return current->sim->fs;
}

void __sim_set_fs(mm_segment_t fs)
{
	current->sim->fs = fs;
}

/* spinlocks, rwlocks, mutexes */

void spin_lock_init(spinlock_t *lock)
{
	lock->slock = 0;
}

void spin_lock(spinlock_t *lock)
{
	lock_word(&lock->slock, 200);
	tls_atomic++;
}

void spin_unlock(spinlock_t *lock)
{
	tls_atomic--;
	unlock_word(&lock->slock);
}

int spin_trylock(spinlock_t *lock)
{
	if (!trylock_word(&lock->slock))
		return 0;
	tls_atomic++;
	return 1;
}

int spin_is_locked(spinlock_t *lock)
{
	return __atomic_load_n(&lock->slock, __ATOMIC_SEQ_CST) != 0;
}

void rwlock_init(rwlock_t *lock)
{
	lock->lock = 0;
}

void read_lock(rwlock_t *lock)
{
	for (;;) {
		int c = __atomic_load_n(&lock->lock, __ATOMIC_RELAXED);
		if (c >= 0 && __atomic_compare_exchange_n(&lock->lock, &c, c + 1, false,
							  __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
			break;
		sched_yield();
	}
	tls_atomic++;
}

void read_unlock(rwlock_t *lock)
{
	tls_atomic--;
	__atomic_sub_fetch(&lock->lock, 1, __ATOMIC_RELEASE);
}

void write_lock(rwlock_t *lock)
{
	for (;;) {
		int c = 0;
		if (__atomic_compare_exchange_n(&lock->lock, &c, -1, false, __ATOMIC_ACQUIRE,
						__ATOMIC_RELAXED))
			break;
		sched_yield();
	}
	tls_atomic++;
}

void write_unlock(rwlock_t *lock)
{
	tls_atomic--;
	__atomic_store_n(&lock->lock, 0, __ATOMIC_RELEASE);
}

void mutex_init(struct mutex *lock)
{
	lock->count = 0;
	lock->owner = nullptr;
}

void mutex_lock(struct mutex *lock)
{
	might_sleep();
	if (!trylock_word(&lock->count)) {
		simlinux::io_before_sleep();	// its plug is flushed
		lock_word(&lock->count, 50);
	}
	lock->owner = current;
}

int mutex_lock_interruptible(struct mutex *lock)
{
	mutex_lock(lock);
	return 0;
}

int mutex_trylock(struct mutex *lock)
{
	if (!trylock_word(&lock->count))
		return 0;
	lock->owner = current;
	return 1;
}

void mutex_unlock(struct mutex *lock)
{
	lock->owner = nullptr;
	unlock_word(&lock->count);
}

int mutex_is_locked(struct mutex *lock)
{
	return __atomic_load_n(&lock->count, __ATOMIC_SEQ_CST) != 0;
}

/* wait queues */

void init_waitqueue_head(wait_queue_head_t *q)
{
	spin_lock_init(&q->lock);
	INIT_LIST_HEAD(&q->task_list);
}

int default_wake_function(wait_queue_t *wait, unsigned mode, int flags, void *key)
{
	(void)flags;
	(void)key;
	return wake_up_state((struct task_struct *)wait->private_, mode);
}

int autoremove_wake_function(wait_queue_t *wait, unsigned mode, int sync, void *key)
{
	int ret = default_wake_function(wait, mode, sync, key);
	if (ret)
		list_del_init(&wait->task_list);
	return ret;
}

void add_wait_queue(wait_queue_head_t *q, wait_queue_t *wait)
{
	unsigned long flags;
	wait->flags &= ~WQ_FLAG_EXCLUSIVE;
	spin_lock_irqsave(&q->lock, flags);
	list_add(&wait->task_list, &q->task_list);
	spin_unlock_irqrestore(&q->lock, flags);
}

void add_wait_queue_exclusive(wait_queue_head_t *q, wait_queue_t *wait)
{
	unsigned long flags;
	wait->flags |= WQ_FLAG_EXCLUSIVE;
	spin_lock_irqsave(&q->lock, flags);
	list_add_tail(&wait->task_list, &q->task_list);
	spin_unlock_irqrestore(&q->lock, flags);
}

void remove_wait_queue(wait_queue_head_t *q, wait_queue_t *wait)
{
	unsigned long flags;
	spin_lock_irqsave(&q->lock, flags);
	list_del(&wait->task_list);
	spin_unlock_irqrestore(&q->lock, flags);
}

void prepare_to_wait(wait_queue_head_t *q, wait_queue_t *wait, int state)
{
	unsigned long flags;
	wait->flags &= ~WQ_FLAG_EXCLUSIVE;
	spin_lock_irqsave(&q->lock, flags);
	if (list_empty(&wait->task_list))
		list_add(&wait->task_list, &q->task_list);
	set_current_state(state);
	spin_unlock_irqrestore(&q->lock, flags);
}

void prepare_to_wait_exclusive(wait_queue_head_t *q, wait_queue_t *wait, int state)
{
	unsigned long flags;
	wait->flags |= WQ_FLAG_EXCLUSIVE;
	spin_lock_irqsave(&q->lock, flags);
	if (list_empty(&wait->task_list))
		list_add_tail(&wait->task_list, &q->task_list);
	set_current_state(state);
	spin_unlock_irqrestore(&q->lock, flags);
}

void finish_wait(wait_queue_head_t *q, wait_queue_t *wait)
{
	unsigned long flags;
	__set_current_state(TASK_RUNNING);
	if (!list_empty_careful(&wait->task_list)) {
		spin_lock_irqsave(&q->lock, flags);
		list_del_init(&wait->task_list);
		spin_unlock_irqrestore(&q->lock, flags);
	}
}

static void __wake_up_common(wait_queue_head_t *q, unsigned int mode, int nr_exclusive, void *key)
{
	wait_queue_t *curr, *next;
	list_for_each_entry_safe(curr, next, &q->task_list, task_list) {
		unsigned flags = curr->flags;
		if (curr->func(curr, mode, 0, key) && (flags & WQ_FLAG_EXCLUSIVE) && !--nr_exclusive)
			break;
	}
}

void __wake_up(wait_queue_head_t *q, unsigned int mode, int nr, void *key)
{
	unsigned long flags;
	spin_lock_irqsave(&q->lock, flags);
	__wake_up_common(q, mode, nr, key);
	spin_unlock_irqrestore(&q->lock, flags);
}

void __wake_up_locked(wait_queue_head_t *q, unsigned int mode)
{
	__wake_up_common(q, mode, 1, NULL);
}

/* completions */

static long do_wait_for_common(struct completion *x, long timeout, int state)
{
	if (!x->done) {
		DECLARE_WAITQUEUE(wait, current);
		wait.flags |= WQ_FLAG_EXCLUSIVE;
		list_add_tail(&wait.task_list, &x->wait.task_list);
		do {
			if (state == TASK_INTERRUPTIBLE && signal_pending(current)) {
				timeout = -ERESTARTSYS;
				break;
			}
			__set_current_state(state);
			spin_unlock_irq(&x->wait.lock);
			timeout = schedule_timeout(timeout);
			spin_lock_irq(&x->wait.lock);
		} while (!x->done && timeout);
		list_del(&wait.task_list);
		if (!x->done)
			return timeout;
	}
	if (x->done != UINT_MAX)
		x->done--;
	return timeout ? timeout : 1;
}

static long wait_for_common(struct completion *x, long timeout, int state)
{
	might_sleep();
	spin_lock_irq(&x->wait.lock);
	timeout = do_wait_for_common(x, timeout, state);
	spin_unlock_irq(&x->wait.lock);
	return timeout;
}

void wait_for_completion(struct completion *x)
{
	wait_for_common(x, MAX_SCHEDULE_TIMEOUT, TASK_UNINTERRUPTIBLE);
}

unsigned long wait_for_completion_timeout(struct completion *x, unsigned long timeout)
{
	return wait_for_common(x, timeout, TASK_UNINTERRUPTIBLE);
}

int wait_for_completion_interruptible(struct completion *x)
{
	long t = wait_for_common(x, MAX_SCHEDULE_TIMEOUT, TASK_INTERRUPTIBLE);
	return t == -ERESTARTSYS ? (int)t : 0;
}

long wait_for_completion_interruptible_timeout(struct completion *x, unsigned long timeout)
{
	return wait_for_common(x, timeout, TASK_INTERRUPTIBLE);
}

int wait_for_completion_killable(struct completion *x)
{
	wait_for_completion(x);
	return 0;
}

int try_wait_for_completion(struct completion *x)
{
	int ret = 1;
	spin_lock_irq(&x->wait.lock);
	if (!x->done)
		ret = 0;
	else if (x->done != UINT_MAX)
		x->done--;
	spin_unlock_irq(&x->wait.lock);
	return ret;
}

int completion_done(struct completion *x)
{
	int ret;
	spin_lock_irq(&x->wait.lock);
	ret = x->done != 0;
	spin_unlock_irq(&x->wait.lock);
	return ret;
}

void complete(struct completion *x)
{
	unsigned long flags;
	spin_lock_irqsave(&x->wait.lock, flags);
	if (x->done != UINT_MAX)
		x->done++;
	__wake_up_common(&x->wait, TASK_NORMAL, 1, NULL);
	spin_unlock_irqrestore(&x->wait.lock, flags);
}

void complete_all(struct completion *x)
{
	unsigned long flags;
	spin_lock_irqsave(&x->wait.lock, flags);
	x->done = UINT_MAX;
	__wake_up_common(&x->wait, TASK_NORMAL, 0, NULL);
	spin_unlock_irqrestore(&x->wait.lock, flags);
}
