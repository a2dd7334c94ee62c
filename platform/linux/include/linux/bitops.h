/*
 * Bit operations on arrays of unsigned long.  The plain forms are atomic;
 * the __ forms are not, as in the kernel.
 */
#ifndef _LINUX_BITOPS_H
#define _LINUX_BITOPS_H

#include <linux/types.h>

#define BITS_PER_LONG		64
#define BITS_PER_BYTE		8
#define BIT(nr)			(1UL << (nr))
#define BIT_MASK(nr)		(1UL << ((nr) % BITS_PER_LONG))
#define BIT_WORD(nr)		((nr) / BITS_PER_LONG)
#define BITS_TO_LONGS(nr)	(((nr) + BITS_PER_LONG - 1) / BITS_PER_LONG)
#define DECLARE_BITMAP(name, bits) unsigned long name[BITS_TO_LONGS(bits)]

static inline void set_bit(long nr, volatile unsigned long *addr)
{
	__atomic_fetch_or(addr + BIT_WORD(nr), BIT_MASK(nr), __ATOMIC_SEQ_CST);
}
static inline void clear_bit(long nr, volatile unsigned long *addr)
{
	__atomic_fetch_and(addr + BIT_WORD(nr), ~BIT_MASK(nr), __ATOMIC_SEQ_CST);
}
static inline void change_bit(long nr, volatile unsigned long *addr)
{
	__atomic_fetch_xor(addr + BIT_WORD(nr), BIT_MASK(nr), __ATOMIC_SEQ_CST);
}
static inline int test_and_set_bit(long nr, volatile unsigned long *addr)
{
	return (__atomic_fetch_or(addr + BIT_WORD(nr), BIT_MASK(nr), __ATOMIC_SEQ_CST) & BIT_MASK(nr)) != 0;
}
static inline int test_and_clear_bit(long nr, volatile unsigned long *addr)
{
	return (__atomic_fetch_and(addr + BIT_WORD(nr), ~BIT_MASK(nr), __ATOMIC_SEQ_CST) & BIT_MASK(nr)) != 0;
}
static inline int test_and_change_bit(long nr, volatile unsigned long *addr)
{
	return (__atomic_fetch_xor(addr + BIT_WORD(nr), BIT_MASK(nr), __ATOMIC_SEQ_CST) & BIT_MASK(nr)) != 0;
}
static inline int test_bit(long nr, const volatile unsigned long *addr)
{
	return (__atomic_load_n(addr + BIT_WORD(nr), __ATOMIC_SEQ_CST) & BIT_MASK(nr)) != 0;
}

static inline void __set_bit(long nr, volatile unsigned long *addr) { addr[BIT_WORD(nr)] = addr[BIT_WORD(nr)] | BIT_MASK(nr); }
static inline void __clear_bit(long nr, volatile unsigned long *addr) { addr[BIT_WORD(nr)] = addr[BIT_WORD(nr)] & ~BIT_MASK(nr); }
static inline void __change_bit(long nr, volatile unsigned long *addr) { addr[BIT_WORD(nr)] = addr[BIT_WORD(nr)] ^ BIT_MASK(nr); }
static inline int __test_and_set_bit(long nr, volatile unsigned long *addr)
{
	unsigned long old = addr[BIT_WORD(nr)];
	addr[BIT_WORD(nr)] = old | BIT_MASK(nr);
	return (old & BIT_MASK(nr)) != 0;
}
static inline int __test_and_clear_bit(long nr, volatile unsigned long *addr)
{
	unsigned long old = addr[BIT_WORD(nr)];
	addr[BIT_WORD(nr)] = old & ~BIT_MASK(nr);
	return (old & BIT_MASK(nr)) != 0;
}

/* Bit searches; the word forms are undefined for 0 (__ffs, ffz of ~0), as in the kernel. */
static inline unsigned long __ffs(unsigned long word) { return __builtin_ctzl(word); }
static inline unsigned long ffz(unsigned long word) { return __builtin_ctzl(~word); }
#define ffs(x) __builtin_ffs(x)
static inline int fls(int x) { return x ? 32 - __builtin_clz((unsigned)x) : 0; }
static inline int fls64(u64 x) { return x ? 64 - __builtin_clzll(x) : 0; }
static inline unsigned long __fls(unsigned long word) { return 63 - __builtin_clzl(word); }
static inline unsigned int hweight32(unsigned int w) { return __builtin_popcount(w); }
static inline unsigned long hweight64(u64 w) { return __builtin_popcountll(w); }
static inline unsigned long hweight_long(unsigned long w) { return __builtin_popcountl(w); }
static inline int get_bitmask_order(unsigned int count) { return fls(count); }

unsigned long find_next_bit(const unsigned long *addr, unsigned long size, unsigned long offset);
unsigned long find_next_zero_bit(const unsigned long *addr, unsigned long size, unsigned long offset);
#define find_first_bit(addr, size)	find_next_bit((addr), (size), 0)
#define find_first_zero_bit(addr, size)	find_next_zero_bit((addr), (size), 0)
#define for_each_set_bit(bit, addr, size) \
	for ((bit) = find_first_bit((addr), (size)); (bit) < (size); \
	     (bit) = find_next_bit((addr), (size), (bit) + 1))

#endif /* _LINUX_BITOPS_H */
