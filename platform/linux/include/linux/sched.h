/*
 * Tasks and the scheduler.  Every thread that enters the kernel (kthreads,
 * the netlink and NBD contexts, the I/O threads) has a task_struct; threads
 * that were not made by kthread_create get one on first use of current.
 *
 * Sleeping follows the kernel's protocol: set the task state, test the
 * condition, schedule().  wake_up_process() makes the task runnable again,
 * so a wake-up between the test and schedule() is never lost.  A task in
 * TASK_INTERRUPTIBLE does not sleep while a signal is pending.
 *
 * Signals: kernel threads ignore every signal except those they allowed
 * with allow_signal(); send_sig() of an allowed signal sets it pending and
 * ends an interruptible sleep.  Nothing is ever delivered: the thread
 * looks with signal_pending() and clears with flush_signals().
 */
#ifndef _LINUX_SCHED_H
#define _LINUX_SCHED_H

#include <linux/types.h>
#include <linux/kernel.h>
#include <linux/jiffies.h>
#include <linux/list.h>
#include <linux/spinlock.h>
#include <asm/atomic.h>

#define TASK_RUNNING		0
#define TASK_INTERRUPTIBLE	1
#define TASK_UNINTERRUPTIBLE	2
#define TASK_KILLABLE		TASK_UNINTERRUPTIBLE
#define TASK_NORMAL		(TASK_INTERRUPTIBLE | TASK_UNINTERRUPTIBLE)
#define TASK_ALL		TASK_NORMAL

#define TASK_COMM_LEN		16
#define MAX_SCHEDULE_TIMEOUT	LONG_MAX

#define PF_KTHREAD		0x00200000
#define PF_MEMALLOC		0x00000800

#ifndef SIGHUP
#define SIGHUP		1
#endif
#ifndef SIGINT
#define SIGINT		2
#endif
#ifndef SIGQUIT
#define SIGQUIT		3
#endif
#ifndef SIGKILL
#define SIGKILL		9
#endif
#ifndef SIGUSR1
#define SIGUSR1		10
#endif
#ifndef SIGUSR2
#define SIGUSR2		12
#endif
#ifndef SIGPIPE
#define SIGPIPE		13
#endif
#ifndef SIGTERM
#define SIGTERM		15
#endif
#ifndef SIGSTOP
#define SIGSTOP		19
#endif

struct bio;
struct bio_list;
struct sim_task;
struct mm_struct;

struct task_struct {
	volatile long state;		/* TASK_RUNNING, TASK_INTERRUPTIBLE, ... */
	unsigned int flags;		/* PF_KTHREAD for kernel threads */
	pid_t pid;
	pid_t tgid;
	char comm[TASK_COMM_LEN];
	int exit_code;
	struct mm_struct *mm;		/* NULL: every context here is kernel-only */
	struct bio_list *bio_list;	/* generic_make_request's pending bios, NULL when not active */
	atomic_t usage;
	struct sim_task *sim;		/* the emulation's own state of this task */
};

struct task_struct *get_current(void);
#define current get_current()

void get_task_struct(struct task_struct *t);
void put_task_struct(struct task_struct *t);

void __sim_set_task_state(struct task_struct *t, long state);
#define __set_task_state(tsk, st)	__sim_set_task_state((tsk), (st))
#define set_task_state(tsk, st)		__sim_set_task_state((tsk), (st))
#define __set_current_state(st)		__sim_set_task_state(current, (st))
#define set_current_state(st)		__sim_set_task_state(current, (st))

void schedule(void);
signed long schedule_timeout(signed long timeout);
signed long schedule_timeout_interruptible(signed long timeout);
signed long schedule_timeout_uninterruptible(signed long timeout);
signed long schedule_timeout_killable(signed long timeout);
void io_schedule(void);
long io_schedule_timeout(long timeout);
int wake_up_process(struct task_struct *tsk);
int wake_up_state(struct task_struct *tsk, unsigned int state);
int _cond_resched(void);
#define cond_resched()	_cond_resched()
void yield(void);
void set_user_nice(struct task_struct *p, long nice);
int task_nice(const struct task_struct *p);

int signal_pending(struct task_struct *p);
int fatal_signal_pending(struct task_struct *p);
int send_sig(int sig, struct task_struct *p, int priv);
int force_sig(int sig, struct task_struct *p);
void flush_signals(struct task_struct *t);
int allow_signal(int sig);
int disallow_signal(int sig);
void daemonize(const char *name, ...) __attribute__((format(printf, 1, 2)));
pid_t task_pid_nr(struct task_struct *tsk);

#endif /* _LINUX_SCHED_H */
