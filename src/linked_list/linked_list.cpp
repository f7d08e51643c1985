// Intrusive doubly linked list. Nothing here allocates, frees or locks: the
// caller owns the elements and brackets shared use with LL_Lock/LL_UnLock.
#include "linked_list.h"

namespace {

bool detached(const LListElement *e) noexcept { return e->prev == e; }

// The predecessor of a chain element. A chain grown with LLE_AddAfter from a
// fresh element keeps that element's self-pointer at its front; it stands for
// "no predecessor" so chain walks end there instead of looping or closing a ring.
LListElement *chain_prev(LListElement *e) noexcept {
  return detached(e) ? nullptr : e->prev;
}

}  // namespace

extern "C" {

PAM_LIB_API int LL_Init(LList *list) noexcept {
  list->first = nullptr;
  list->last = nullptr;
  list->count = 0;
  return pthread_mutex_init(&list->lock, nullptr);
}

PAM_LIB_API void LL_InitElement(LListElement *elem) noexcept {
  elem->next = nullptr;
  elem->prev = elem;
}

PAM_LIB_API void LListAdd(LList *list, LListElement *elem) noexcept {
  if (!detached(elem)) return;
  elem->next = nullptr;
  elem->prev = list->last;
  if (list->last) list->last->next = elem;
  list->last = elem;
  if (!list->first) list->first = elem;
  ++list->count;
}

PAM_LIB_API void LListAddToStart(LList *list, LListElement *elem) noexcept {
  if (!detached(elem)) return;
  elem->prev = nullptr;
  if (list->first) {
    elem->next = list->first;
    list->first->prev = elem;
    list->first = elem;
  } else {
    elem->next = nullptr;
    list->first = elem;
    list->last = elem;
  }
  ++list->count;
}

PAM_LIB_API void LListDelete(LList *list, LListElement *elem) noexcept {
  if (detached(elem)) return;
  if (elem->next) elem->next->prev = elem->prev;
  if (elem->prev) elem->prev->next = elem->next;
  if (list->first == elem) list->first = elem->next;
  if (list->last == elem) list->last = elem->prev;
  if (list->count > 0) --list->count;
  LL_InitElement(elem);
}

PAM_LIB_API LListElement *LL_First(LList *list) noexcept { return list->first; }

PAM_LIB_API LListElement *LL_Last(LList *list) noexcept { return list->last; }

PAM_LIB_API LListElement *LL_Next(LListElement *elem) noexcept { return elem->next; }

PAM_LIB_API LListElement *LL_Prev(LListElement *elem) noexcept {
  LListElement *p = elem->prev;
  if (!p || detached(p)) return nullptr;
  return p;
}

PAM_LIB_API LListElement *LL_ForEach(LList *list, LL_CALLBACK fn, void *arg) noexcept {
  LListElement *cur = list->first;
  while (cur && !detached(cur)) {
    // Read next first: the callback may unlink and release cur.
    LListElement *next = cur->next;
    if (fn(cur, arg) != 0) return cur;
    cur = next;
  }
  return nullptr;
}

PAM_LIB_API int LL_Count(LList *list) noexcept { return list ? list->count : 0; }

PAM_LIB_API void LLE_AddAfter(LListElement *elem, LListElement *n) noexcept {
  LListElement *m = elem->next;
  elem->next = n;
  n->next = m;
  n->prev = elem;
  if (m) m->prev = n;
}

PAM_LIB_API void LLE_AddBefore(LListElement *elem, LListElement *n) noexcept {
  LListElement *p = chain_prev(elem);
  elem->prev = n;
  n->next = elem;
  n->prev = p;
  if (p) p->next = n;
}

PAM_LIB_API void LLE_AddAtEnd(LListElement *elem, LListElement *n) noexcept {
  while (elem->next) elem = elem->next;
  LLE_AddAfter(elem, n);
}

PAM_LIB_API void LLE_AddAtStart(LListElement *elem, LListElement *n) noexcept {
  while (LListElement *p = chain_prev(elem)) elem = p;
  LLE_AddBefore(elem, n);
}

PAM_LIB_API int LL_Lock(LList *list) noexcept { return pthread_mutex_lock(&list->lock); }

PAM_LIB_API int LL_UnLock(LList *list) noexcept { return pthread_mutex_unlock(&list->lock); }

PAM_LIB_API int LL_InList(LListElement *elem) noexcept { return detached(elem) ? 0 : 1; }

}  // extern "C"
