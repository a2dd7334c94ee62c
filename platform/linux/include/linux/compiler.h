#ifndef _LINUX_COMPILER_H
#define _LINUX_COMPILER_H

#define likely(x)	__builtin_expect(!!(x), 1)
#define unlikely(x)	__builtin_expect(!!(x), 0)

#define __user
#define __kernel
#define __iomem
#define __force
#define __must_check	__attribute__((warn_unused_result))
#ifndef __always_inline
#define __always_inline	inline __attribute__((always_inline))
#endif
#define noinline	__attribute__((noinline))
#define __maybe_unused	__attribute__((unused))
#define __used		__attribute__((used))
#define __packed	__attribute__((packed))
#define __aligned(x)	__attribute__((aligned(x)))
#define __read_mostly
#define __cacheline_aligned
#define ____cacheline_aligned_in_smp
#define __acquires(x)
#define __releases(x)
#define __bitwise

#define barrier()	__asm__ __volatile__("" ::: "memory")
#define ACCESS_ONCE(x)	(*(volatile __typeof__(x) *)&(x))

#define smp_mb()	__atomic_thread_fence(__ATOMIC_SEQ_CST)
#define smp_rmb()	__atomic_thread_fence(__ATOMIC_ACQUIRE)
#define smp_wmb()	__atomic_thread_fence(__ATOMIC_RELEASE)
#define mb()		smp_mb()
#define rmb()		smp_rmb()
#define wmb()		smp_wmb()
#define smp_mb__before_clear_bit()	smp_mb()
#define smp_mb__after_clear_bit()	smp_mb()
#define smp_mb__before_atomic_dec()	smp_mb()
#define smp_mb__after_atomic_dec()	smp_mb()
#define smp_mb__after_atomic_inc()	smp_mb()

#endif /* _LINUX_COMPILER_H */
