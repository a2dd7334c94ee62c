/* Atomic counters: sequentially consistent, as the kernel's are on x86. */
#ifndef _ASM_ATOMIC_H
#define _ASM_ATOMIC_H

#include <linux/types.h>

typedef struct {
	volatile int counter;
} atomic_t;

typedef struct {
	volatile long counter;
} atomic64_t, atomic_long_t;

#define ATOMIC_INIT(i)		{ (i) }
#define ATOMIC64_INIT(i)	{ (i) }
#define ATOMIC_LONG_INIT(i)	{ (i) }

#define __SIM_AO __ATOMIC_SEQ_CST

static inline int atomic_read(const atomic_t *v) { return __atomic_load_n(&v->counter, __SIM_AO); }
static inline void atomic_set(atomic_t *v, int i) { __atomic_store_n(&v->counter, i, __SIM_AO); }
static inline void atomic_add(int i, atomic_t *v) { __atomic_add_fetch(&v->counter, i, __SIM_AO); }
static inline void atomic_sub(int i, atomic_t *v) { __atomic_sub_fetch(&v->counter, i, __SIM_AO); }
static inline void atomic_inc(atomic_t *v) { __atomic_add_fetch(&v->counter, 1, __SIM_AO); }
static inline void atomic_dec(atomic_t *v) { __atomic_sub_fetch(&v->counter, 1, __SIM_AO); }
static inline int atomic_add_return(int i, atomic_t *v) { return __atomic_add_fetch(&v->counter, i, __SIM_AO); }
static inline int atomic_sub_return(int i, atomic_t *v) { return __atomic_sub_fetch(&v->counter, i, __SIM_AO); }
static inline int atomic_inc_return(atomic_t *v) { return atomic_add_return(1, v); }
static inline int atomic_dec_return(atomic_t *v) { return atomic_sub_return(1, v); }
static inline int atomic_dec_and_test(atomic_t *v) { return atomic_sub_return(1, v) == 0; }
static inline int atomic_inc_and_test(atomic_t *v) { return atomic_add_return(1, v) == 0; }
static inline int atomic_sub_and_test(int i, atomic_t *v) { return atomic_sub_return(i, v) == 0; }
static inline int atomic_add_negative(int i, atomic_t *v) { return atomic_add_return(i, v) < 0; }
static inline int atomic_xchg(atomic_t *v, int n) { return __atomic_exchange_n(&v->counter, n, __SIM_AO); }
static inline int atomic_cmpxchg(atomic_t *v, int old, int n)
{
	int expected = old;
	__atomic_compare_exchange_n(&v->counter, &expected, n, false, __SIM_AO, __SIM_AO);
	return expected;
}
static inline int atomic_add_unless(atomic_t *v, int a, int u)
{
	int c = atomic_read(v);
	while (c != u) {
		int old = atomic_cmpxchg(v, c, c + a);
		if (old == c)
			return 1;
		c = old;
	}
	return 0;
}
#define atomic_inc_not_zero(v)	atomic_add_unless((v), 1, 0)

static inline long atomic64_read(const atomic64_t *v) { return __atomic_load_n(&v->counter, __SIM_AO); }
static inline void atomic64_set(atomic64_t *v, long i) { __atomic_store_n(&v->counter, i, __SIM_AO); }
static inline void atomic64_add(long i, atomic64_t *v) { __atomic_add_fetch(&v->counter, i, __SIM_AO); }
static inline void atomic64_sub(long i, atomic64_t *v) { __atomic_sub_fetch(&v->counter, i, __SIM_AO); }
static inline void atomic64_inc(atomic64_t *v) { atomic64_add(1, v); }
static inline void atomic64_dec(atomic64_t *v) { atomic64_sub(1, v); }
static inline long atomic64_add_return(long i, atomic64_t *v) { return __atomic_add_fetch(&v->counter, i, __SIM_AO); }
static inline long atomic64_sub_return(long i, atomic64_t *v) { return __atomic_sub_fetch(&v->counter, i, __SIM_AO); }
static inline int atomic64_dec_and_test(atomic64_t *v) { return atomic64_sub_return(1, v) == 0; }

#define atomic_long_read(v)		atomic64_read(v)
#define atomic_long_set(v, i)		atomic64_set(v, i)
#define atomic_long_add(i, v)		atomic64_add(i, v)
#define atomic_long_sub(i, v)		atomic64_sub(i, v)
#define atomic_long_inc(v)		atomic64_inc(v)
#define atomic_long_dec(v)		atomic64_dec(v)
#define atomic_long_dec_and_test(v)	atomic64_dec_and_test(v)
#define atomic_long_inc_return(v)	atomic64_add_return(1, v)
#define atomic_long_dec_return(v)	atomic64_sub_return(1, v)

#endif /* _ASM_ATOMIC_H */
