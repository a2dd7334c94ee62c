/*
 * Contexts.  Bio and buffer completions run on the simulated kernel's I/O
 * threads, which play the interrupt context: in_interrupt() is true there.
 * in_atomic() is true while the calling context holds a spinlock.
 */
#ifndef _LINUX_HARDIRQ_H
#define _LINUX_HARDIRQ_H

int __sim_in_irq(void);
int __sim_atomic_depth(void);

#define in_interrupt()	(__sim_in_irq())
#define in_irq()	(__sim_in_irq())
#define in_softirq()	(0)
#define in_atomic()	(__sim_in_irq() || __sim_atomic_depth() > 0)
#define irqs_disabled()	(__sim_in_irq() != 0)

/* Interrupts are never really masked here: completions run on other threads. */
#define local_irq_save(flags)		do { (flags) = 0; } while (0)
#define local_irq_restore(flags)	do { (void)(flags); } while (0)
#define local_irq_disable()		do { } while (0)
#define local_irq_enable()		do { } while (0)
#define preempt_disable()		do { } while (0)
#define preempt_enable()		do { } while (0)

#endif /* _LINUX_HARDIRQ_H */
