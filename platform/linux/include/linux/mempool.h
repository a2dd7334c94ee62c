/*
 * Memory pools, with the kernel's rules: mempool_alloc first asks the
 * pool's own allocation function (without waiting), then takes a reserved
 * element; with a waiting flag it never fails, it sleeps until an element
 * is given back with mempool_free and tries again.  mempool_free refills
 * the reserve before handing elements to the free function.
 */
#ifndef _LINUX_MEMPOOL_H
#define _LINUX_MEMPOOL_H

#include <linux/types.h>
#include <linux/wait.h>
#include <linux/spinlock.h>

struct kmem_cache;

typedef void *(mempool_alloc_t)(gfp_t gfp_mask, void *pool_data);
typedef void (mempool_free_t)(void *element, void *pool_data);

typedef struct mempool_s {
	spinlock_t lock;
	int min_nr;		/* elements kept in reserve */
	int curr_nr;		/* elements in the reserve now */
	void **elements;
	void *pool_data;
	mempool_alloc_t *alloc;
	mempool_free_t *free;
	wait_queue_head_t wait;
} mempool_t;

mempool_t *mempool_create(int min_nr, mempool_alloc_t *alloc_fn, mempool_free_t *free_fn,
			  void *pool_data);
mempool_t *mempool_create_node(int min_nr, mempool_alloc_t *alloc_fn, mempool_free_t *free_fn,
			       void *pool_data, int nid);
int mempool_resize(mempool_t *pool, int new_min_nr, gfp_t gfp_mask);
void mempool_destroy(mempool_t *pool);
void *mempool_alloc(mempool_t *pool, gfp_t gfp_mask);
void mempool_free(void *element, mempool_t *pool);

void *mempool_alloc_slab(gfp_t gfp_mask, void *pool_data);
void mempool_free_slab(void *element, void *pool_data);
static inline mempool_t *mempool_create_slab_pool(int min_nr, struct kmem_cache *kc)
{
	return mempool_create(min_nr, mempool_alloc_slab, mempool_free_slab, (void *)kc);
}

void *mempool_kmalloc(gfp_t gfp_mask, void *pool_data);
void *mempool_kzalloc(gfp_t gfp_mask, void *pool_data);
void mempool_kfree(void *element, void *pool_data);
static inline mempool_t *mempool_create_kmalloc_pool(int min_nr, size_t size)
{
	return mempool_create(min_nr, mempool_kmalloc, mempool_kfree, (void *)size);
}
static inline mempool_t *mempool_create_kzalloc_pool(int min_nr, size_t size)
{
	return mempool_create(min_nr, mempool_kzalloc, mempool_kfree, (void *)size);
}

void *mempool_alloc_pages(gfp_t gfp_mask, void *pool_data);
void mempool_free_pages(void *element, void *pool_data);
static inline mempool_t *mempool_create_page_pool(int min_nr, int order)
{
	return mempool_create(min_nr, mempool_alloc_pages, mempool_free_pages, (void *)(long)order);
}

#endif /* _LINUX_MEMPOOL_H */
