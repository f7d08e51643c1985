#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "linked_list.h"

namespace {

struct Item {
  int value;
  LListElement link;
};

Item *item_of(LListElement *e) {
  return reinterpret_cast<Item *>(reinterpret_cast<char *>(e) - offsetof(Item, link));
}

class LinkedList : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(LL_Init(&list), 0);
    for (int i = 0; i < 6; ++i) {
      items[i].value = i;
      LL_InitElement(&items[i].link);
    }
  }
  std::vector<int> forward() {
    std::vector<int> out;
    for (LListElement *e = LL_First(&list); e; e = LL_Next(e)) out.push_back(item_of(e)->value);
    return out;
  }
  std::vector<int> backward() {
    std::vector<int> out;
    for (LListElement *e = LL_Last(&list); e; e = LL_Prev(e)) out.push_back(item_of(e)->value);
    return out;
  }
  LList list;
  std::array<Item, 6> items;
};

TEST_F(LinkedList, AddAppendPrependAndDeleteKeepBothDirectionsConsistent) {
  LListAdd(&list, &items[1].link);
  LListAdd(&list, &items[2].link);
  LListAddToStart(&list, &items[0].link);
  LListAdd(&list, &items[3].link);
  EXPECT_EQ(forward(), (std::vector<int>{0, 1, 2, 3}));
  EXPECT_EQ(backward(), (std::vector<int>{3, 2, 1, 0}));
  EXPECT_EQ(LL_Count(&list), 4);
  EXPECT_EQ(items[0].link.prev, nullptr);
  EXPECT_EQ(items[3].link.next, nullptr);

  LListDelete(&list, &items[2].link);  // middle
  LListDelete(&list, &items[0].link);  // front
  LListDelete(&list, &items[3].link);  // back
  EXPECT_EQ(forward(), (std::vector<int>{1}));
  EXPECT_EQ(LL_Count(&list), 1);
  for (int i : {0, 2, 3}) {
    EXPECT_EQ(LL_InList(&items[i].link), 0);
    EXPECT_EQ(items[i].link.prev, &items[i].link);
    EXPECT_EQ(items[i].link.next, nullptr);
  }
  // A removed element can be added anew.
  LListAdd(&list, &items[2].link);
  EXPECT_EQ(forward(), (std::vector<int>{1, 2}));
}

TEST_F(LinkedList, AddingAnElementAlreadyOnAListChangesNothing) {
  LListAdd(&list, &items[0].link);
  LListAdd(&list, &items[1].link);
  LListAdd(&list, &items[0].link);
  LListAddToStart(&list, &items[1].link);
  EXPECT_EQ(LL_Count(&list), 2);
  EXPECT_EQ(forward(), (std::vector<int>{0, 1}));
}

TEST_F(LinkedList, DeleteOfDetachedAndOfOnlyElement) {
  LListAdd(&list, &items[0].link);
  LListDelete(&list, &items[1].link);  // detached: nothing happens
  EXPECT_EQ(LL_Count(&list), 1);
  LListDelete(&list, &items[0].link);
  EXPECT_EQ(LL_First(&list), nullptr);
  EXPECT_EQ(LL_Last(&list), nullptr);
  EXPECT_EQ(LL_Count(&list), 0);
}

TEST_F(LinkedList, SingleElementFromAddToStartAndAccessors) {
  LListAddToStart(&list, &items[4].link);
  EXPECT_EQ(LL_First(&list), &items[4].link);
  EXPECT_EQ(LL_Last(&list), &items[4].link);
  EXPECT_EQ(LL_InList(&items[4].link), 1);
  EXPECT_EQ(LL_Prev(&items[4].link), nullptr);
  EXPECT_EQ(LL_Prev(&items[5].link), nullptr);  // detached
  EXPECT_EQ(LL_InList(&items[5].link), 0);
  EXPECT_EQ(LL_Count(nullptr), 0);
  EXPECT_EQ(LL_Lock(&list), 0);
  EXPECT_EQ(LL_UnLock(&list), 0);
}

struct Walk {
  std::vector<int> seen;
  int stop_at = -1;
  LList *list = nullptr;
  bool delete_self = false;
  bool delete_next = false;
};

int walker(LListElement *e, void *arg) {
  auto *w = static_cast<Walk *>(arg);
  int v = item_of(e)->value;
  w->seen.push_back(v);
  if (w->delete_next && e->next) LListDelete(w->list, e->next);
  if (w->delete_self) LListDelete(w->list, e);
  return v == w->stop_at ? 1 : 0;
}

TEST_F(LinkedList, ForEachStopsDeletesAndEnds) {
  Walk empty;
  EXPECT_EQ(LL_ForEach(&list, walker, &empty), nullptr);
  EXPECT_TRUE(empty.seen.empty());

  for (int i = 0; i < 4; ++i) LListAdd(&list, &items[i].link);
  Walk stop;
  stop.stop_at = 2;
  EXPECT_EQ(LL_ForEach(&list, walker, &stop), &items[2].link);
  EXPECT_EQ(stop.seen, (std::vector<int>{0, 1, 2}));

  Walk self;
  self.list = &list;
  self.delete_self = true;
  EXPECT_EQ(LL_ForEach(&list, walker, &self), nullptr);
  EXPECT_EQ(self.seen, (std::vector<int>{0, 1, 2, 3}));
  EXPECT_EQ(LL_Count(&list), 0);

  // Unlinking the following element ends the walk when it gets there.
  for (int i = 0; i < 4; ++i) LListAdd(&list, &items[i].link);
  Walk next;
  next.list = &list;
  next.delete_next = true;
  EXPECT_EQ(LL_ForEach(&list, walker, &next), nullptr);
  EXPECT_EQ(next.seen, (std::vector<int>{0}));
}

TEST_F(LinkedList, BareChainOperations) {
  // Chain grown from a fresh element: its self-pointing prev stays at the front.
  LListElement *a = &items[0].link, *b = &items[1].link, *c = &items[2].link;
  LLE_AddAfter(a, c);
  LLE_AddAfter(a, b);  // a b c
  LLE_AddAtEnd(a, &items[3].link);  // a b c 3
  EXPECT_EQ(a->next, b);
  EXPECT_EQ(b->next, c);
  EXPECT_EQ(c->next, &items[3].link);
  EXPECT_EQ(items[3].link.prev, c);
  EXPECT_EQ(c->prev, b);

  // Front element detached: treated as having no predecessor, no loop, no ring.
  LLE_AddAtStart(c, &items[4].link);
  EXPECT_EQ(items[4].link.prev, nullptr);
  EXPECT_EQ(items[4].link.next, a);
  EXPECT_EQ(a->prev, &items[4].link);
  LLE_AddBefore(&items[4].link, &items[5].link);
  EXPECT_EQ(items[5].link.prev, nullptr);
  EXPECT_EQ(items[5].link.next, &items[4].link);
  std::vector<int> chain;
  for (LListElement *e = &items[5].link; e; e = e->next) chain.push_back(item_of(e)->value);
  EXPECT_EQ(chain, (std::vector<int>{5, 4, 0, 1, 2, 3}));

  // Inserting before a middle element links both neighbours.
  Item x{9, {}};
  LL_InitElement(&x.link);
  LLE_AddBefore(b, &x.link);
  EXPECT_EQ(a->next, &x.link);
  EXPECT_EQ(x.link.prev, a);
  EXPECT_EQ(x.link.next, b);
  EXPECT_EQ(b->prev, &x.link);
}

TEST_F(LinkedList, ChainOperationsLeaveTheHeadAlone) {
  LListAdd(&list, &items[0].link);
  LLE_AddAfter(&items[0].link, &items[1].link);
  EXPECT_EQ(LL_Count(&list), 1);
  EXPECT_EQ(LL_Last(&list), &items[0].link);
}

}  // namespace
