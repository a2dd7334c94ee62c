/*
 * Sleeping mutexes.  mutex_lock may sleep, so it is a bug in completion
 * context or under a spinlock.
 */
#ifndef _LINUX_MUTEX_H
#define _LINUX_MUTEX_H

#include <linux/types.h>

struct task_struct;

struct mutex {
	int count;			/* futex word: 0 free, 1 held, 2 held with waiters */
	struct task_struct *owner;
};

#define __MUTEX_INITIALIZER(name)	{ 0, NULL }
#define DEFINE_MUTEX(name)		struct mutex name = __MUTEX_INITIALIZER(name)

void mutex_init(struct mutex *lock);
void mutex_lock(struct mutex *lock);
int mutex_lock_interruptible(struct mutex *lock);
int mutex_trylock(struct mutex *lock);
void mutex_unlock(struct mutex *lock);
int mutex_is_locked(struct mutex *lock);
#define mutex_destroy(lock)	do { (void)(lock); } while (0)

#endif /* _LINUX_MUTEX_H */
