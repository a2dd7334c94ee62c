/*
 * Intrusive doubly-linked list: a node of next and previous pointers and a
 * self-linked head.  User space gets the whole list here; the kernel module
 * uses the kernel's own list of the same shape and takes from this header only
 * del_queue_head().
 */
#ifndef ZELMIR_HM_LIST_H
#define ZELMIR_HM_LIST_H

#ifdef __KERNEL__

#include <linux/list.h>
#include <linux/spinlock.h>

/*
 * Unlink and return the first node of @head, or NULL when the list is empty.
 * Takes @lock with interrupts saved, so it may be used on lists that I/O
 * completion also walks.
 */
static inline struct list_head *del_queue_head(struct list_head *head,
					       spinlock_t *lock)
{
	struct list_head *first = NULL;
	unsigned long flags;

	spin_lock_irqsave(lock, flags);
	if (!list_empty(head)) {
		first = head->next;
		list_del_init(first);
	}
	spin_unlock_irqrestore(lock, flags);
	return first;
}

#else /* user space */

#include <stddef.h>
#include <pthread.h>

struct list_head {
	struct list_head *next, *prev;
};

#define LIST_HEAD_INIT(name) { &(name), &(name) }
#define LIST_HEAD(name) struct list_head name = LIST_HEAD_INIT(name)

static inline void INIT_LIST_HEAD(struct list_head *list)
{
	list->next = list;
	list->prev = list;
}

static inline void __list_add(struct list_head *node, struct list_head *prev,
			      struct list_head *next)
{
	next->prev = node;
	node->next = next;
	node->prev = prev;
	prev->next = node;
}

/* Insert after @head (a stack). */
static inline void list_add(struct list_head *node, struct list_head *head)
{
	__list_add(node, head, head->next);
}

/* Insert before @head (a queue). */
static inline void list_add_tail(struct list_head *node, struct list_head *head)
{
	__list_add(node, head->prev, head);
}

static inline void __list_del(struct list_head *prev, struct list_head *next)
{
	next->prev = prev;
	prev->next = next;
}

/* Unlink; the node's links are cleared so a stale use faults at once. */
static inline void list_del(struct list_head *entry)
{
	__list_del(entry->prev, entry->next);
	entry->next = NULL;
	entry->prev = NULL;
}

static inline void list_del_init(struct list_head *entry)
{
	__list_del(entry->prev, entry->next);
	INIT_LIST_HEAD(entry);
}

static inline int list_empty(const struct list_head *head)
{
	return head->next == head;
}

static inline void __list_splice(const struct list_head *list,
				 struct list_head *prev, struct list_head *next)
{
	struct list_head *first = list->next;
	struct list_head *last = list->prev;

	first->prev = prev;
	prev->next = first;
	last->next = next;
	next->prev = last;
}

/* Move every node of @list to the front of @head; @list is left undefined. */
static inline void list_splice(const struct list_head *list, struct list_head *head)
{
	if (!list_empty(list))
		__list_splice(list, head, head->next);
}

static inline void list_splice_tail(const struct list_head *list,
				    struct list_head *head)
{
	if (!list_empty(list))
		__list_splice(list, head->prev, head);
}

static inline void list_splice_init(struct list_head *list, struct list_head *head)
{
	if (!list_empty(list)) {
		__list_splice(list, head, head->next);
		INIT_LIST_HEAD(list);
	}
}

#define list_entry(ptr, type, member) \
	((type *)((char *)(ptr) - offsetof(type, member)))
#define list_first_entry(ptr, type, member) list_entry((ptr)->next, type, member)

#define list_for_each(pos, head) \
	for (pos = (head)->next; pos != (head); pos = pos->next)
#define list_for_each_safe(pos, n, head) \
	for (pos = (head)->next, n = pos->next; pos != (head); pos = n, n = pos->next)

/* Unlink and return the first node of @head under @lock, or NULL when empty. */
static inline struct list_head *del_queue_head(struct list_head *head,
					       pthread_mutex_t *lock)
{
	struct list_head *first = NULL;

	pthread_mutex_lock(lock);
	if (!list_empty(head)) {
		first = head->next;
		list_del_init(first);
	}
	pthread_mutex_unlock(lock);
	return first;
}

#endif /* __KERNEL__ */

#endif /* ZELMIR_HM_LIST_H */
