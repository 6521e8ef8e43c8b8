/*
 * Intrusive circular doubly linked list.
 *
 * A list is a sentinel node whose links point at itself when the list is
 * empty; members embed a struct kt_list_head and are reached back with
 * kt_list_entry.  Every helper is inline and takes no lock: the owner of the
 * list serialises access.  Nodes are never allocated or freed here.
 */
#ifndef KITE_KT_LIST_H
#define KITE_KT_LIST_H

#include <stdbool.h>
#include <stddef.h>

#include "common_define.h"

KT_EXTERN_C_BEGIN

/* A node of a circular doubly linked list, embedded in the caller's record;
 * an empty list is a head whose links point at itself. */
struct kt_list_head {
    struct kt_list_head *next; /* next node, the head after the last */
    struct kt_list_head *prev; /* previous node, the head before the first */
};

/* Makes head an empty list (or node a self-linked, unlinked node). */
static inline void KT_INIT_LIST_HEAD(struct kt_list_head *head)
{
    head->next = head;
    head->prev = head;
}

/* Links node between prev and next, which must be adjacent. */
static inline void kt_list_link_between(struct kt_list_head *node,
                                        struct kt_list_head *prev,
                                        struct kt_list_head *next)
{
    next->prev = node;
    node->next = next;
    node->prev = prev;
    prev->next = node;
}

/* Links node (which must be in no list) right after head: at the front. */
static inline void kt_list_add(struct kt_list_head *node,
                               struct kt_list_head *head)
{
    kt_list_link_between(node, head, head->next);
}

/* Links node (which must be in no list) just before head: at the tail. */
static inline void kt_list_add_tail(struct kt_list_head *node,
                                    struct kt_list_head *head)
{
    kt_list_link_between(node, head->prev, head);
}

/* Unlinks node and points both of its links at itself, so that unlinking it
 * again is harmless and kt_list_empty(node) is true. */
static inline void kt_list_del_init(struct kt_list_head *node)
{
    node->next->prev = node->prev;
    node->prev->next = node->next;
    KT_INIT_LIST_HEAD(node);
}

/* True when the list holds no node (or node is self-linked). */
static inline bool kt_list_empty(const struct kt_list_head *head)
{
    return head->next == head;
}

KT_EXTERN_C_END

/* The record of type `type` whose member `member` is the node at ptr. */
#define kt_list_entry(ptr, type, member) \
    ((type *)((char *)(ptr)-offsetof(type, member)))

/* Walks the list; pos may be unlinked inside the loop body because its
 * successor is read first into n. */
#define kt_list_for_each_safe(pos, n, head)                \
    for (pos = (head)->next, n = pos->next; pos != (head); \
         pos = n, n = pos->next)

#endif
