/*
 * Intrusive doubly linked list: the link lives inside the caller's record.
 * An element whose prev points to itself is on no list.
 */
#ifndef LINKED_LIST_H
#define LINKED_LIST_H

#include <stdint.h>
#include <stddef.h>
#include <stdio.h>
#include <pthread.h>

#ifndef PAM_LIB_API
#if defined(PAM_LIB_BUILDING)
#define PAM_LIB_API __attribute__((visibility("default")))
#else
#define PAM_LIB_API
#endif
#endif
#ifndef PAM_LIB_NOEXCEPT
#if defined(__cplusplus)
#define PAM_LIB_NOEXCEPT noexcept
#else
#define PAM_LIB_NOEXCEPT
#endif
#endif

#if defined(__cplusplus)
extern "C" {
#endif

/* @@section linked-list@@ */

/* Link embedded in the caller's record. prev pointing to the element itself
 * marks it detached (on no list). */
typedef struct LListElement {
  struct LListElement *next;
  struct LListElement *prev;
} LListElement;

/* List head. lock is for callers only (LL_Lock/LL_UnLock); no list
 * operation takes it. */
typedef struct LList {
  LListElement *first;
  LListElement *last;
  int32_t count;
  pthread_mutex_t lock;
} LList;

/* Walk callback: returns 0 to go on, anything else to stop at elem. */
typedef int (*LL_CALLBACK)(LListElement *elem, void *arg);

/* Empties the head and initialises its mutex; returns the mutex
 * initialisation's result (0 on success). */
PAM_LIB_API int LL_Init(LList *list) PAM_LIB_NOEXCEPT;
/* Marks an element detached; every element goes through this first. */
PAM_LIB_API void LL_InitElement(LListElement *elem) PAM_LIB_NOEXCEPT;
/* Appends a detached element; an element already on a list is left alone. */
PAM_LIB_API void LListAdd(LList *list, LListElement *elem) PAM_LIB_NOEXCEPT;
/* Inserts a detached element at the front; others are left alone. */
PAM_LIB_API void LListAddToStart(LList *list, LListElement *elem) PAM_LIB_NOEXCEPT;
/* Unlinks an element from list (which must be its list) and detaches it;
 * a detached element is left alone. */
PAM_LIB_API void LListDelete(LList *list, LListElement *elem) PAM_LIB_NOEXCEPT;
/* First element, or NULL when the list is empty. */
PAM_LIB_API LListElement *LL_First(LList *list) PAM_LIB_NOEXCEPT;
/* Last element, or NULL when the list is empty. */
PAM_LIB_API LListElement *LL_Last(LList *list) PAM_LIB_NOEXCEPT;
/* Following element, or NULL at the end. */
PAM_LIB_API LListElement *LL_Next(LListElement *elem) PAM_LIB_NOEXCEPT;
/* Preceding element; NULL for the first element, a detached element, or one
 * whose predecessor is detached. */
PAM_LIB_API LListElement *LL_Prev(LListElement *elem) PAM_LIB_NOEXCEPT;
/* Calls fn(elem, arg) for each element from the front, reading next before
 * the call (fn may unlink the element it gets). Returns the element at which
 * fn returned non-zero, or NULL when the walk ran out. */
PAM_LIB_API LListElement *LL_ForEach(LList *list, LL_CALLBACK fn, void *arg) PAM_LIB_NOEXCEPT;
/* Number of elements on the list; 0 for a NULL list. */
PAM_LIB_API int LL_Count(LList *list) PAM_LIB_NOEXCEPT;
/* Bare chain operations (no head, no count; a front element that is
 * detached counts as having no predecessor). Links n right behind elem. */
PAM_LIB_API void LLE_AddAfter(LListElement *elem, LListElement *n) PAM_LIB_NOEXCEPT;
/* Links n right in front of elem (bare chain). */
PAM_LIB_API void LLE_AddBefore(LListElement *elem, LListElement *n) PAM_LIB_NOEXCEPT;
/* Links n behind the last element of elem's chain. */
PAM_LIB_API void LLE_AddAtEnd(LListElement *elem, LListElement *n) PAM_LIB_NOEXCEPT;
/* Links n in front of the first element of elem's chain. */
PAM_LIB_API void LLE_AddAtStart(LListElement *elem, LListElement *n) PAM_LIB_NOEXCEPT;
/* Locks the list's mutex; the result of pthread_mutex_lock. */
PAM_LIB_API int LL_Lock(LList *list) PAM_LIB_NOEXCEPT;
/* Unlocks the list's mutex; the result of pthread_mutex_unlock. */
PAM_LIB_API int LL_UnLock(LList *list) PAM_LIB_NOEXCEPT;
/* 1 when the element is on a list (not detached), else 0. */
PAM_LIB_API int LL_InList(LListElement *elem) PAM_LIB_NOEXCEPT;

#if defined(__cplusplus)
}
#endif
#endif /* LINKED_LIST_H */
