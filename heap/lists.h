/*
 * lists.h - the doubly linked lists of the heaps (page sets, free blocks,
 * page sets with free blocks, thread caches): each element carries its own
 * two links, null at the ends, and the list is known by its first element.
 */
#ifndef VR_HEAP_LISTS_H
#define VR_HEAP_LISTS_H

/* Takes x off the list whose links are the members next and prev. Head
   may be declared as a derived type of the elements (the list of big page
   sets, say). */
template <class T, class Head>
inline void UnlinkFrom(Head &head, T *x, T *T::*next, T *T::*prev)
{
    T *n = x->*next, *p = x->*prev;
    if (n) n->*prev = p;
    if (p)
        p->*next = n;
    else
        head = (Head)n;
}

/* Puts x at the front of the list. */
template <class T, class Head>
inline void PushFrontOn(Head &head, T *x, T *T::*next, T *T::*prev)
{
    T *h = head;
    x->*prev = 0;
    x->*next = h;
    if (h) h->*prev = x;
    head = (Head)x;
}

#endif
