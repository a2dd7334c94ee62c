/*
 * Protection threads.  Each pass of a thread runs its function once; wake-ups
 * that arrive during a pass collapse into one further pass.
 *
 * Stopping: the stop bit ends the loop after one last pass, and kthread_stop
 * then waits until the thread function has returned, so the wrapper is never
 * freed under a thread that has not yet run or is still leaving.
 */
#include <linux/kernel.h>
#include <linux/kthread.h>
#include <linux/slab.h>
#include <linux/sched.h>
#include <linux/err.h>

#include "hm_thread.h"

static int hm_thread(void *arg)
{
	hm_thread_t *thread = (hm_thread_t *)arg;
	unsigned long flags;
	long timeout = thread->timeout;

	while (!kthread_should_stop() && !test_bit(THREAD_STOP_SIGNAL, &thread->flags)) {
		long left = wait_event_interruptible_timeout(thread->wqueue,
				test_bit(THREAD_WAKEUP, &thread->flags) ||
				test_bit(THREAD_STOP_SIGNAL, &thread->flags) ||
				kthread_should_stop(),
				timeout);
		/* A sleep that ended without cause keeps what is left of it. */
		if (left > 0 && !test_bit(THREAD_WAKEUP, &thread->flags) &&
		    !test_bit(THREAD_STOP_SIGNAL, &thread->flags) && !kthread_should_stop()) {
			timeout = left;
			continue;
		}
		timeout = thread->timeout;
		clear_bit(THREAD_WAKEUP, &thread->flags);
		thread->run(thread->hmdev);
	}

	spin_lock_irqsave(&thread->lock, flags);
	thread->state = HM_THREAD_NONE;
	spin_unlock_irqrestore(&thread->lock, flags);
	set_bit(THREAD_STOPPED, &thread->flags);
	complete(&thread->stop);

	/* kthread_stop() is the only way out: it waits for our return. */
	while (!kthread_should_stop())
		wait_event_interruptible_timeout(thread->wqueue, kthread_should_stop(), 100);
	return 0;
}

hm_thread_t *hm_register_thread(func1_t run, struct hmdev_s *hmdev, const char *name)
{
	hm_thread_t *thread;
	struct task_struct *tsk;

	thread = (hm_thread_t *)kzalloc(sizeof(*thread), GFP_KERNEL);
	if (!thread)
		return NULL;
	thread->run = run;
	thread->hmdev = hmdev;
	thread->timeout = HM_THREAD_TIMEOUT;
	init_waitqueue_head(&thread->wqueue);
	spin_lock_init(&thread->lock);
	init_completion(&thread->stop);
	/* Running from creation on: a stop before the first pass still waits. */
	thread->state = HM_THREAD_RUNNING;

	tsk = kthread_create(hm_thread, thread, "%s", name);
	if (IS_ERR(tsk) || !tsk) {
		kfree(thread);
		return NULL;
	}
	thread->tsk = tsk;
	wake_up_process(tsk);
	return thread;
}

void hm_wakeup_thread(hm_thread_t *thread)
{
	if (!thread)
		return;
	set_bit(THREAD_WAKEUP, &thread->flags);
	wake_up(&thread->wqueue);
}

int hm_thread_stop_requested(hm_thread_t *thread)
{
	return thread && test_bit(THREAD_STOP_SIGNAL, &thread->flags);
}

void hm_stop_thread(hm_thread_t *thread, int wait)
{
	unsigned long flags;
	int running;

	if (!thread)
		return;
	spin_lock_irqsave(&thread->lock, flags);
	running = thread->state == HM_THREAD_RUNNING &&
		  !test_bit(THREAD_STOP_SIGNAL, &thread->flags);
	spin_unlock_irqrestore(&thread->lock, flags);
	if (!running)
		return;
	set_bit(THREAD_STOP_SIGNAL, &thread->flags);
	wake_up(&thread->wqueue);
	if (wait && thread->tsk != current)
		wait_for_completion(&thread->stop);
}

void hm_unregister_thread(hm_thread_t *thread)
{
	if (!thread)
		return;
	hm_stop_thread(thread, 1);
	if (thread->tsk) {
		wake_up(&thread->wqueue);
		kthread_stop(thread->tsk);
	}
	kfree(thread);
	printk("%s thread end\n", __func__);
}

int hm_thread_stopped(hm_thread_t *thread)
{
	return test_bit(THREAD_STOPPED, &thread->flags);
}
