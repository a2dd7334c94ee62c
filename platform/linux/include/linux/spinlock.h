/*
 * Spinlocks and rwlocks.  A spinlock is a futex word: uncontended it costs
 * one atomic exchange, contended it sleeps in the host kernel rather than
 * spinning on a shared machine.  The _irq and _irqsave forms take the same
 * lock: completions run on other threads here, so excluding them needs
 * nothing more.  Holding a spinlock makes the context atomic: a sleeping
 * call made while one is held is caught as a bug (see might_sleep).
 */
#ifndef _LINUX_SPINLOCK_H
#define _LINUX_SPINLOCK_H

#include <linux/types.h>
#include <linux/compiler.h>
#include <linux/hardirq.h>

typedef struct spinlock {
	int slock;
} spinlock_t;

typedef struct {
	int lock;	/* >0 readers, -1 a writer */
} rwlock_t;

#define __SPIN_LOCK_UNLOCKED(name)	{ 0 }
#define SPIN_LOCK_UNLOCKED		{ 0 }
#define DEFINE_SPINLOCK(x)		spinlock_t x = __SPIN_LOCK_UNLOCKED(x)
#define __RW_LOCK_UNLOCKED(name)	{ 0 }
#define RW_LOCK_UNLOCKED		{ 0 }
#define DEFINE_RWLOCK(x)		rwlock_t x = __RW_LOCK_UNLOCKED(x)

void spin_lock_init(spinlock_t *lock);
void spin_lock(spinlock_t *lock);
void spin_unlock(spinlock_t *lock);
int spin_trylock(spinlock_t *lock);
int spin_is_locked(spinlock_t *lock);

#define spin_lock_irq(lock)		spin_lock(lock)
#define spin_unlock_irq(lock)		spin_unlock(lock)
#define spin_lock_bh(lock)		spin_lock(lock)
#define spin_unlock_bh(lock)		spin_unlock(lock)
#define spin_lock_irqsave(lock, flags)	do { (flags) = 0; spin_lock(lock); } while (0)
#define spin_unlock_irqrestore(lock, flags) do { (void)(flags); spin_unlock(lock); } while (0)
#define spin_trylock_irqsave(lock, flags) ({ (flags) = 0; spin_trylock(lock); })
#define assert_spin_locked(lock)	BUG_ON(!spin_is_locked(lock))

void rwlock_init(rwlock_t *lock);
void read_lock(rwlock_t *lock);
void read_unlock(rwlock_t *lock);
void write_lock(rwlock_t *lock);
void write_unlock(rwlock_t *lock);

#define read_lock_irq(lock)		read_lock(lock)
#define read_unlock_irq(lock)		read_unlock(lock)
#define write_lock_irq(lock)		write_lock(lock)
#define write_unlock_irq(lock)		write_unlock(lock)
#define read_lock_irqsave(lock, flags)	do { (flags) = 0; read_lock(lock); } while (0)
#define read_unlock_irqrestore(lock, flags) do { (void)(flags); read_unlock(lock); } while (0)
#define write_lock_irqsave(lock, flags)	do { (flags) = 0; write_lock(lock); } while (0)
#define write_unlock_irqrestore(lock, flags) do { (void)(flags); write_unlock(lock); } while (0)

#include <linux/bug.h>

#endif /* _LINUX_SPINLOCK_H */
