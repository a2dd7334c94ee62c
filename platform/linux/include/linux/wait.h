/*
 * Wait queues.  A waiter links a wait_queue_t naming its task, sets its
 * state, tests its condition and sleeps in schedule(); wake_up() calls each
 * entry's function, which makes the task runnable.  The wait_event family
 * is written as the kernel writes it, so it has the same races and answers:
 * wait_event_interruptible_timeout gives the ticks left (at least 1) when
 * the condition came true, 0 on time-out, -ERESTARTSYS on a signal.
 */
#ifndef _LINUX_WAIT_H
#define _LINUX_WAIT_H

#include <linux/types.h>
#include <linux/list.h>
#include <linux/spinlock.h>
#include <linux/sched.h>

typedef struct __wait_queue wait_queue_t;
typedef int (*wait_queue_func_t)(wait_queue_t *wait, unsigned mode, int flags, void *key);

struct __wait_queue {
	unsigned int flags;
#define WQ_FLAG_EXCLUSIVE	0x01
	void *private_;			/* the waiting task ("private" in C) */
	wait_queue_func_t func;
	struct list_head task_list;
};

struct __wait_queue_head {
	spinlock_t lock;
	struct list_head task_list;
};
typedef struct __wait_queue_head wait_queue_head_t;

int default_wake_function(wait_queue_t *wait, unsigned mode, int flags, void *key);
int autoremove_wake_function(wait_queue_t *wait, unsigned mode, int sync, void *key);

#define __WAITQUEUE_INITIALIZER(name, tsk) \
	{ 0, tsk, default_wake_function, { NULL, NULL } }
#define DECLARE_WAITQUEUE(name, tsk) \
	wait_queue_t name = __WAITQUEUE_INITIALIZER(name, tsk)
#define __WAIT_QUEUE_HEAD_INITIALIZER(name) \
	{ SPIN_LOCK_UNLOCKED, { &(name).task_list, &(name).task_list } }
#define DECLARE_WAIT_QUEUE_HEAD(name) \
	wait_queue_head_t name = __WAIT_QUEUE_HEAD_INITIALIZER(name)

#define DEFINE_WAIT_FUNC(name, function) \
	wait_queue_t name = { 0, current, function, LIST_HEAD_INIT((name).task_list) }
#define DEFINE_WAIT(name) DEFINE_WAIT_FUNC(name, autoremove_wake_function)

static inline void init_waitqueue_entry(wait_queue_t *q, struct task_struct *p)
{
	q->flags = 0;
	q->private_ = p;
	q->func = default_wake_function;
}

#define init_wait(wait) \
	do { \
		(wait)->private_ = current; \
		(wait)->func = autoremove_wake_function; \
		INIT_LIST_HEAD(&(wait)->task_list); \
		(wait)->flags = 0; \
	} while (0)

void init_waitqueue_head(wait_queue_head_t *q);
static inline int waitqueue_active(wait_queue_head_t *q)
{
	return !list_empty(&q->task_list);
}

void add_wait_queue(wait_queue_head_t *q, wait_queue_t *wait);
void add_wait_queue_exclusive(wait_queue_head_t *q, wait_queue_t *wait);
void remove_wait_queue(wait_queue_head_t *q, wait_queue_t *wait);
void prepare_to_wait(wait_queue_head_t *q, wait_queue_t *wait, int state);
void prepare_to_wait_exclusive(wait_queue_head_t *q, wait_queue_t *wait, int state);
void finish_wait(wait_queue_head_t *q, wait_queue_t *wait);

void __wake_up(wait_queue_head_t *q, unsigned int mode, int nr, void *key);
void __wake_up_locked(wait_queue_head_t *q, unsigned int mode);

#define wake_up(x)			__wake_up(x, TASK_NORMAL, 1, NULL)
#define wake_up_nr(x, nr)		__wake_up(x, TASK_NORMAL, nr, NULL)
#define wake_up_all(x)			__wake_up(x, TASK_NORMAL, 0, NULL)
#define wake_up_locked(x)		__wake_up_locked((x), TASK_NORMAL)
#define wake_up_interruptible(x)	__wake_up(x, TASK_INTERRUPTIBLE, 1, NULL)
#define wake_up_interruptible_nr(x, nr)	__wake_up(x, TASK_INTERRUPTIBLE, nr, NULL)
#define wake_up_interruptible_all(x)	__wake_up(x, TASK_INTERRUPTIBLE, 0, NULL)

#define __wait_event(wq, condition) \
do { \
	DEFINE_WAIT(__wait); \
	for (;;) { \
		prepare_to_wait(&wq, &__wait, TASK_UNINTERRUPTIBLE); \
		if (condition) \
			break; \
		schedule(); \
	} \
	finish_wait(&wq, &__wait); \
} while (0)

#define wait_event(wq, condition) \
do { \
	might_sleep(); \
	if (condition) \
		break; \
	__wait_event(wq, condition); \
} while (0)

#define __wait_event_timeout(wq, condition, ret) \
do { \
	DEFINE_WAIT(__wait); \
	for (;;) { \
		prepare_to_wait(&wq, &__wait, TASK_UNINTERRUPTIBLE); \
		if (condition) \
			break; \
		ret = schedule_timeout(ret); \
		if (!ret) \
			break; \
	} \
	finish_wait(&wq, &__wait); \
} while (0)

#define wait_event_timeout(wq, condition, timeout) \
({ \
	long __ret = timeout; \
	might_sleep(); \
	if (!(condition)) \
		__wait_event_timeout(wq, condition, __ret); \
	__ret; \
})

#define __wait_event_interruptible(wq, condition, ret) \
do { \
	DEFINE_WAIT(__wait); \
	for (;;) { \
		prepare_to_wait(&wq, &__wait, TASK_INTERRUPTIBLE); \
		if (condition) \
			break; \
		if (!signal_pending(current)) { \
			schedule(); \
			continue; \
		} \
		ret = -ERESTARTSYS; \
		break; \
	} \
	finish_wait(&wq, &__wait); \
} while (0)

#define wait_event_interruptible(wq, condition) \
({ \
	int __ret = 0; \
	might_sleep(); \
	if (!(condition)) \
		__wait_event_interruptible(wq, condition, __ret); \
	__ret; \
})

#define __wait_event_interruptible_timeout(wq, condition, ret) \
do { \
	DEFINE_WAIT(__wait); \
	for (;;) { \
		prepare_to_wait(&wq, &__wait, TASK_INTERRUPTIBLE); \
		if (condition) \
			break; \
		if (!signal_pending(current)) { \
			ret = schedule_timeout(ret); \
			if (!ret) \
				break; \
			continue; \
		} \
		ret = -ERESTARTSYS; \
		break; \
	} \
	finish_wait(&wq, &__wait); \
} while (0)

#define wait_event_interruptible_timeout(wq, condition, timeout) \
({ \
	long __ret = timeout; \
	might_sleep(); \
	if (!(condition)) \
		__wait_event_interruptible_timeout(wq, condition, __ret); \
	__ret; \
})

#define wait_event_killable(wq, condition) \
({ \
	wait_event(wq, condition); \
	0; \
})

#endif /* _LINUX_WAIT_H */
