/*
 * The thread wrapper of a protection: calls run(hmdev) whenever woken and at
 * least every timeout ticks, until told to stop.
 */
#ifndef ZELMIR_KERNEL_HM_THREAD_H
#define ZELMIR_KERNEL_HM_THREAD_H

#include <linux/types.h>
#include <linux/wait.h>
#include <linux/completion.h>
#include <linux/sched.h>
#include <linux/spinlock.h>
#include <linux/bitops.h>

struct hmdev_s;
typedef void (*func1_t)(struct hmdev_s *hmdev);

enum {
	THREAD_WAKEUP = 0,
	THREAD_STOP_SIGNAL = 1,
	THREAD_STOP_OK = 2,
	THREAD_STOPPED = 3,
};

typedef enum {
	HM_THREAD_NONE = 0,
	HM_THREAD_RUNNING = 1,
} hm_thread_state_t;

#define HM_THREAD_TIMEOUT	10000	/* ticks */

struct hm_thread_s {
	func1_t run;
	struct hmdev_s *hmdev;
	wait_queue_head_t wqueue;
	unsigned long flags;
	struct task_struct *tsk;
	unsigned long timeout;
	struct completion stop;
	spinlock_t lock;
	hm_thread_state_t state;
};
typedef struct hm_thread_s hm_thread_t;

hm_thread_t *hm_register_thread(func1_t run, struct hmdev_s *hmdev, const char *name);
void hm_wakeup_thread(hm_thread_t *thread);
void hm_stop_thread(hm_thread_t *thread, int wait);
void hm_unregister_thread(hm_thread_t *thread);
int hm_thread_stopped(hm_thread_t *thread);
int hm_thread_stop_requested(hm_thread_t *thread);

#endif
