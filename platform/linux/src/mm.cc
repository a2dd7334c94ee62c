// Memory: kmalloc, pages, vmalloc, slab caches and mempools.  Host memory
// does not run out here, but the kernel's contracts are kept: a waiting
// allocation is a sleeping call (a bug in completion context), and a
// mempool hands out its reserve and waits for returns as the kernel's does.
#include <ctype.h>
#include <malloc.h>

#include <cstdlib>
#include <unordered_map>

#include "internal.h"

#include <linux/slab.h>
#include <linux/vmalloc.h>
#include <linux/mm.h>
#include <linux/gfp.h>
#include <linux/mempool.h>
#include <linux/string.h>

namespace {

// Pages handed out by address (__get_free_pages), so free_pages finds them.
std::mutex addr_mu;
std::unordered_map<unsigned long, struct page *> page_by_addr;

void *host_alloc(size_t size, gfp_t flags)
{
	if (size == 0)
		size = 1;
	return (flags & __GFP_ZERO) ? calloc(1, size) : malloc(size);
}

}  // namespace

void *__kmalloc(size_t size, gfp_t flags)
{
	might_sleep_if(flags & __GFP_WAIT);
	return host_alloc(size, flags);
}

void *krealloc(const void *p, size_t new_size, gfp_t flags)
{
	might_sleep_if(flags & __GFP_WAIT);
	return realloc(const_cast<void *>(p), new_size ? new_size : 1);
}

void kfree(const void *objp)
{
	free(const_cast<void *>(objp));
}

size_t ksize(const void *objp)
{
	return objp ? malloc_usable_size(const_cast<void *>(objp)) : 0;
}

char *kstrdup(const char *s, gfp_t gfp)
{
	if (!s)
		return NULL;
	size_t len = strlen(s) + 1;
	char *p = (char *)__kmalloc(len, gfp);
	if (p)
		memcpy(p, s, len);
	return p;
}

void *kmemdup(const void *src, size_t len, gfp_t gfp)
{
	void *p = __kmalloc(len, gfp);
	if (p)
		memcpy(p, src, len);
	return p;
}

void *vmalloc(unsigned long size)
{
	might_sleep();
	return host_alloc(size, 0);
}

void *vzalloc(unsigned long size)
{
	might_sleep();
	return host_alloc(size, __GFP_ZERO);
}

void vfree(const void *addr)
{
	free(const_cast<void *>(addr));
}

/* pages */

struct page *alloc_pages(gfp_t gfp_mask, unsigned int order)
{
	might_sleep_if(gfp_mask & __GFP_WAIT);
	size_t bytes = PAGE_SIZE << order;
	struct page *page = (struct page *)calloc(1, sizeof(*page));
	if (!page)
		return NULL;
	page->virtual_ = aligned_alloc(PAGE_SIZE, bytes);
	if (!page->virtual_) {
		free(page);
		return NULL;
	}
	if (gfp_mask & __GFP_ZERO)
		memset(page->virtual_, 0, bytes);
	page->order = order;
	INIT_LIST_HEAD(&page->lru);
	init_page_count(page);
	return page;
}

void put_page(struct page *page)
{
	if (atomic_dec_and_test(&page->_count)) {
		if (!page->foreign)
			free(page->virtual_);
		free(page);
	}
}

void __free_pages(struct page *page, unsigned int order)
{
	(void)order;
	put_page(page);
}

unsigned long __get_free_pages(gfp_t gfp_mask, unsigned int order)
{
	struct page *page = alloc_pages(gfp_mask, order);
	if (!page)
		return 0;
	unsigned long addr = (unsigned long)page->virtual_;
	std::lock_guard<std::mutex> lk(addr_mu);
	page_by_addr[addr] = page;
	return addr;
}

unsigned long get_zeroed_page(gfp_t gfp_mask)
{
	return __get_free_pages(gfp_mask | __GFP_ZERO, 0);
}

void free_pages(unsigned long addr, unsigned int order)
{
	if (!addr)
		return;
	struct page *page = nullptr;
	{
		std::lock_guard<std::mutex> lk(addr_mu);
		auto it = page_by_addr.find(addr);
		if (it != page_by_addr.end()) {
			page = it->second;
			page_by_addr.erase(it);
		}
	}
	BUG_ON(!page);
	__free_pages(page, order);
}

struct page *virt_to_page(const void *addr)
{
	std::lock_guard<std::mutex> lk(addr_mu);
	auto it = page_by_addr.find((unsigned long)addr & PAGE_MASK);
	if (it != page_by_addr.end())
		return it->second;
	printk("<0>virt_to_page: %p is not the address of a page from __get_free_pages\n", addr);
	BUG();
}

/* slab caches */

struct kmem_cache {
	std::string name;
	size_t size;
	void (*ctor)(void *);
};

struct kmem_cache *kmem_cache_create(const char *name, size_t size, size_t align,
				     unsigned long flags, void (*ctor)(void *))
{
	(void)align;
	(void)flags;
	return new kmem_cache{name ? name : "", size, ctor};
}

void kmem_cache_destroy(struct kmem_cache *cachep)
{
	delete cachep;
}

void *kmem_cache_alloc(struct kmem_cache *cachep, gfp_t flags)
{
	void *p = __kmalloc(cachep->size, flags);
	if (p && cachep->ctor)
		cachep->ctor(p);
	return p;
}

void kmem_cache_free(struct kmem_cache *cachep, void *objp)
{
	(void)cachep;
	free(objp);
}

/* mempools */

static void add_element(mempool_t *pool, void *element)
{
	BUG_ON(pool->curr_nr >= pool->min_nr);
	pool->elements[pool->curr_nr++] = element;
}

static void *remove_element(mempool_t *pool)
{
	BUG_ON(pool->curr_nr <= 0);
	return pool->elements[--pool->curr_nr];
}

void mempool_destroy(mempool_t *pool)
{
	if (!pool)
		return;
	while (pool->curr_nr) {
		void *element = remove_element(pool);
		pool->free(element, pool->pool_data);
	}
	free(pool->elements);
	free(pool);
}

mempool_t *mempool_create(int min_nr, mempool_alloc_t *alloc_fn, mempool_free_t *free_fn,
			  void *pool_data)
{
	might_sleep();
	mempool_t *pool = (mempool_t *)calloc(1, sizeof(*pool));
	if (!pool)
		return NULL;
	pool->elements = (void **)calloc(min_nr > 0 ? min_nr : 1, sizeof(void *));
	if (!pool->elements) {
		free(pool);
		return NULL;
	}
	spin_lock_init(&pool->lock);
	pool->min_nr = min_nr;
	pool->pool_data = pool_data;
	init_waitqueue_head(&pool->wait);
	pool->alloc = alloc_fn;
	pool->free = free_fn;

	while (pool->curr_nr < pool->min_nr) {
		void *element = pool->alloc(GFP_KERNEL, pool->pool_data);
		if (!element) {
			mempool_destroy(pool);
			return NULL;
		}
		add_element(pool, element);
	}
	return pool;
}

mempool_t *mempool_create_node(int min_nr, mempool_alloc_t *alloc_fn, mempool_free_t *free_fn,
			       void *pool_data, int nid)
{
	(void)nid;
	return mempool_create(min_nr, alloc_fn, free_fn, pool_data);
}

int mempool_resize(mempool_t *pool, int new_min_nr, gfp_t gfp_mask)
{
	unsigned long flags;
	might_sleep();
	void **new_elements = (void **)calloc(new_min_nr > 0 ? new_min_nr : 1, sizeof(void *));
	if (!new_elements)
		return -ENOMEM;
	spin_lock_irqsave(&pool->lock, flags);
	while (pool->curr_nr > new_min_nr) {
		void *element = remove_element(pool);
		spin_unlock_irqrestore(&pool->lock, flags);
		pool->free(element, pool->pool_data);
		spin_lock_irqsave(&pool->lock, flags);
	}
	memcpy(new_elements, pool->elements, pool->curr_nr * sizeof(void *));
	free(pool->elements);
	pool->elements = new_elements;
	pool->min_nr = new_min_nr;
	while (pool->curr_nr < pool->min_nr) {
		spin_unlock_irqrestore(&pool->lock, flags);
		void *element = pool->alloc(gfp_mask, pool->pool_data);
		if (!element)
			return 0;
		spin_lock_irqsave(&pool->lock, flags);
		if (pool->curr_nr < pool->min_nr) {
			add_element(pool, element);
		} else {
			spin_unlock_irqrestore(&pool->lock, flags);
			pool->free(element, pool->pool_data);
			spin_lock_irqsave(&pool->lock, flags);
		}
	}
	spin_unlock_irqrestore(&pool->lock, flags);
	return 0;
}

void *mempool_alloc(mempool_t *pool, gfp_t gfp_mask)
{
	void *element;
	unsigned long flags;
	gfp_t gfp_temp;

	might_sleep_if(gfp_mask & __GFP_WAIT);
	gfp_mask |= __GFP_NOMEMALLOC | __GFP_NORETRY | __GFP_NOWARN;
	gfp_temp = gfp_mask & ~(__GFP_WAIT | __GFP_IO);

	for (;;) {
		element = pool->alloc(gfp_temp, pool->pool_data);
		if (likely(element != NULL))
			return element;

		spin_lock_irqsave(&pool->lock, flags);
		if (likely(pool->curr_nr)) {
			element = remove_element(pool);
			spin_unlock_irqrestore(&pool->lock, flags);
			return element;
		}
		spin_unlock_irqrestore(&pool->lock, flags);

		// Never sleep without a waiting flag.
		if (!(gfp_mask & __GFP_WAIT))
			return NULL;

		gfp_temp = gfp_mask;
		DEFINE_WAIT(wait);
		prepare_to_wait(&pool->wait, &wait, TASK_UNINTERRUPTIBLE);
		smp_mb();
		if (!pool->curr_nr)
			io_schedule_timeout(5 * HZ);
		finish_wait(&pool->wait, &wait);
	}
}

void mempool_free(void *element, mempool_t *pool)
{
	unsigned long flags;

	if (unlikely(element == NULL))
		return;
	smp_mb();
	if (pool->curr_nr < pool->min_nr) {
		spin_lock_irqsave(&pool->lock, flags);
		if (pool->curr_nr < pool->min_nr) {
			add_element(pool, element);
			spin_unlock_irqrestore(&pool->lock, flags);
			wake_up(&pool->wait);
			return;
		}
		spin_unlock_irqrestore(&pool->lock, flags);
	}
	pool->free(element, pool->pool_data);
}

void *mempool_alloc_slab(gfp_t gfp_mask, void *pool_data)
{
	return kmem_cache_alloc((struct kmem_cache *)pool_data, gfp_mask);
}

void mempool_free_slab(void *element, void *pool_data)
{
	kmem_cache_free((struct kmem_cache *)pool_data, element);
}

void *mempool_kmalloc(gfp_t gfp_mask, void *pool_data)
{
	return kmalloc((size_t)pool_data, gfp_mask);
}

void *mempool_kzalloc(gfp_t gfp_mask, void *pool_data)
{
	return kzalloc((size_t)pool_data, gfp_mask);
}

void mempool_kfree(void *element, void *pool_data)
{
	(void)pool_data;
	kfree(element);
}

void *mempool_alloc_pages(gfp_t gfp_mask, void *pool_data)
{
	return alloc_pages(gfp_mask, (unsigned int)(long)pool_data);
}

void mempool_free_pages(void *element, void *pool_data)
{
	__free_pages((struct page *)element, (unsigned int)(long)pool_data);
}

/* strings */

size_t strlcpy(char *dest, const char *src, size_t size)
{
	size_t ret = strlen(src);
	if (size) {
		size_t len = ret >= size ? size - 1 : ret;
		memcpy(dest, src, len);
		dest[len] = '\0';
	}
	return ret;
}

size_t strlcat(char *dest, const char *src, size_t count)
{
	size_t dsize = strlen(dest);
	size_t len = strlen(src);
	size_t res = dsize + len;
	if (dsize >= count)
		return res;
	dest += dsize;
	count -= dsize;
	if (len >= count)
		len = count - 1;
	memcpy(dest, src, len);
	dest[len] = 0;
	return res;
}

char *strstrip(char *s)
{
	size_t size = strlen(s);
	if (!size)
		return s;
	char *end = s + size - 1;
	while (end >= s && isspace((unsigned char)*end))
		end--;
	*(end + 1) = '\0';
	while (*s && isspace((unsigned char)*s))
		s++;
	return s;
}

static unsigned long long parse_ull(const char *cp, char **endp, unsigned int base)
{
	unsigned long long result = 0;
	if (!base) {
		base = 10;
		if (*cp == '0') {
			base = 8;
			if ((cp[1] == 'x' || cp[1] == 'X') && isxdigit((unsigned char)cp[2])) {
				cp += 2;
				base = 16;
			}
		}
	} else if (base == 16 && cp[0] == '0' && (cp[1] == 'x' || cp[1] == 'X')) {
		cp += 2;
	}
	while (isxdigit((unsigned char)*cp)) {
		unsigned int value = isdigit((unsigned char)*cp) ? *cp - '0'
					: (unsigned)(tolower((unsigned char)*cp) - 'a' + 10);
		if (value >= base)
			break;
		result = result * base + value;
		cp++;
	}
	if (endp)
		*endp = (char *)cp;
	return result;
}

unsigned long long simple_strtoull(const char *cp, char **endp, unsigned int base)
{
	return parse_ull(cp, endp, base);
}

unsigned long simple_strtoul(const char *cp, char **endp, unsigned int base)
{
	return (unsigned long)parse_ull(cp, endp, base);
}

long long simple_strtoll(const char *cp, char **endp, unsigned int base)
{
	if (*cp == '-')
		return -(long long)parse_ull(cp + 1, endp, base);
	return (long long)parse_ull(cp, endp, base);
}

long simple_strtol(const char *cp, char **endp, unsigned int base)
{
	return (long)simple_strtoll(cp, endp, base);
}

int strict_strtoul(const char *cp, unsigned int base, unsigned long *res)
{
	char *tail;
	size_t len = strlen(cp);
	if (len == 0)
		return -EINVAL;
	unsigned long val = simple_strtoul(cp, &tail, base);
	if (tail == cp)
		return -EINVAL;
	if ((size_t)(tail - cp) == len || ((size_t)(tail - cp) + 1 == len && *tail == '\n')) {
		*res = val;
		return 0;
	}
	return -EINVAL;
}

int strict_strtol(const char *cp, unsigned int base, long *res)
{
	unsigned long v;
	int neg = cp[0] == '-';
	int ret = strict_strtoul(cp + neg, base, &v);
	if (!ret)
		*res = neg ? -(long)v : (long)v;
	return ret;
}

int vscnprintf(char *buf, size_t size, const char *fmt, va_list args)
{
	if (!size)
		return 0;
	int i = vsnprintf(buf, size, fmt, args);
	if (i < 0)
		return 0;
	return (size_t)i < size ? i : (int)(size - 1);
}

int scnprintf(char *buf, size_t size, const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	int i = vscnprintf(buf, size, fmt, ap);
	va_end(ap);
	return i;
}

// Word at a time: bitmaps of many chunks are walked by the bitmap daemon.
static unsigned long find_next(const unsigned long *addr, unsigned long size, unsigned long offset,
			       unsigned long invert)
{
	while (offset < size) {
		unsigned long word = (addr[offset / BITS_PER_LONG] ^ invert) >> (offset % BITS_PER_LONG);
		if (word) {
			offset += __builtin_ctzl(word);
			return offset < size ? offset : size;
		}
		offset = (offset / BITS_PER_LONG + 1) * BITS_PER_LONG;
	}
	return size;
}

unsigned long find_next_bit(const unsigned long *addr, unsigned long size, unsigned long offset)
{
	return find_next(addr, size, offset, 0);
}

unsigned long find_next_zero_bit(const unsigned long *addr, unsigned long size, unsigned long offset)
{
	return find_next(addr, size, offset, ~0UL);
}
