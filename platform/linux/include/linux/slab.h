/*
 * kmalloc and friends.  An allocation with a waiting flag (GFP_KERNEL,
 * GFP_NOIO) may sleep: calling one in completion context is caught as a
 * bug.  kfree(NULL) does nothing.
 */
#ifndef _LINUX_SLAB_H
#define _LINUX_SLAB_H

#include <linux/types.h>
#include <linux/gfp.h>

void *__kmalloc(size_t size, gfp_t flags);
static inline void *kmalloc(size_t size, gfp_t flags) { return __kmalloc(size, flags); }
static inline void *kzalloc(size_t size, gfp_t flags) { return __kmalloc(size, flags | __GFP_ZERO); }
static inline void *kcalloc(size_t n, size_t size, gfp_t flags)
{
	if (size != 0 && n > ((size_t)-1) / size)
		return NULL;
	return __kmalloc(n * size, flags | __GFP_ZERO);
}
void *krealloc(const void *p, size_t new_size, gfp_t flags);
void kfree(const void *objp);
size_t ksize(const void *objp);
char *kstrdup(const char *s, gfp_t gfp);
void *kmemdup(const void *src, size_t len, gfp_t gfp);

#define SLAB_HWCACHE_ALIGN	0x00002000UL
#define SLAB_PANIC		0x00040000UL

struct kmem_cache;
struct kmem_cache *kmem_cache_create(const char *name, size_t size, size_t align,
				     unsigned long flags, void (*ctor)(void *));
void kmem_cache_destroy(struct kmem_cache *cachep);
void *kmem_cache_alloc(struct kmem_cache *cachep, gfp_t flags);
static inline void *kmem_cache_zalloc(struct kmem_cache *k, gfp_t flags)
{
	return kmem_cache_alloc(k, flags | __GFP_ZERO);
}
void kmem_cache_free(struct kmem_cache *cachep, void *objp);

#endif /* _LINUX_SLAB_H */
