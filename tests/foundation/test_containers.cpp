// The intrusive list and the hash database, each driven by seeded random
// operation sequences and compared with a std:: model after every step.
#include <algorithm>
#include <functional>
#include <list>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "database.h"
#include "database/database.hpp"
#include "support/harness.hpp"

namespace {

LListElement g_links[8];
int index_of(const LListElement *e) { return static_cast<int>(e - g_links); }

// Callback of LL_ForEach and DB_Iterator: records what it gets, removes it
// when asked, and stops (non-zero) at `stop`.
struct Visit {
  LList *list;
  std::vector<intptr_t> seen;
  intptr_t stop;
  bool remove;
  std::function<void()> remove_db_entry;
};
int visit_link(LListElement *e, void *arg) {
  auto *v = static_cast<Visit *>(arg);
  v->seen.push_back(index_of(e));
  if (v->remove) LListDelete(v->list, e);
  return index_of(e) == v->stop;
}

TEST(Foundation, ListAgainstModel) {
  for (unsigned seed = 1; seed <= 40; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    LList list;
    ASSERT_EQ(LL_Init(&list), 0);
    for (auto &l : g_links) LL_InitElement(&l);
    std::list<intptr_t> model;
    for (int op = 0; op < 200; ++op) {
      int i = static_cast<int>(rng() % 8);
      auto at = std::ranges::find(model, i);
      if (unsigned how = rng() % 4; how == 0) {  // adding one already on the list does nothing
        LListAdd(&list, &g_links[i]);
        if (at == model.end()) model.push_back(i);
      } else if (how == 1) {
        LListAddToStart(&list, &g_links[i]);
        if (at == model.end()) model.push_front(i);
      } else if (how == 2) {
        LListDelete(&list, &g_links[i]);
        model.remove(i);
      } else {  // the walk reads the next link first: removing the visited one is fine
        Visit w{&list, {}, i, rng() % 8 == 0, {}};
        std::vector<intptr_t> want(model.begin(), at == model.end() ? at : std::next(at));
        ASSERT_EQ(LL_ForEach(&list, visit_link, &w), at == model.end() ? nullptr : &g_links[i]);
        ASSERT_EQ(w.seen, want);
        if (w.remove) model.erase(model.begin(), std::next(model.begin(), std::ssize(want)));
      }
      std::vector<intptr_t> fwd, back;
      for (LListElement *e = LL_First(&list); e; e = LL_Next(e)) fwd.push_back(index_of(e));
      for (LListElement *e = LL_Last(&list); e; e = LL_Prev(e)) back.push_back(index_of(e));
      std::ranges::reverse(back);
      ASSERT_EQ(fwd, std::vector<intptr_t>(model.begin(), model.end()));
      ASSERT_EQ(back, fwd);
      ASSERT_EQ(LL_Count(&list), std::ssize(model));
      for (int k = 0; k < 8; ++k) ASSERT_EQ(LL_InList(&g_links[k]), std::ranges::count(fwd, k));
    }
    EXPECT_EQ(LL_Lock(&list), 0);
    EXPECT_EQ(LL_UnLock(&list), 0);
  }
}

TEST(Foundation, BareChainHasNoRing) {
  // Grown from a fresh element, whose self-pointer counts as "no predecessor".
  for (auto &l : g_links) LL_InitElement(&l);
  LLE_AddAfter(&g_links[0], &g_links[2]);
  LLE_AddBefore(&g_links[2], &g_links[1]);
  LLE_AddAtEnd(&g_links[1], &g_links[3]);
  LLE_AddAtStart(&g_links[3], &g_links[4]);
  LLE_AddBefore(&g_links[4], &g_links[5]);
  std::vector<int> chain;
  for (LListElement *e = &g_links[5]; e; e = e->next) {
    EXPECT_TRUE(e->next == nullptr || e->next->prev == e);
    chain.push_back(index_of(e));
  }
  EXPECT_EQ(chain, (std::vector<int>{5, 4, 0, 1, 2, 3}));
  EXPECT_EQ(g_links[5].prev, nullptr);
}

void *val(intptr_t v) { return reinterpret_cast<void *>(v); }
intptr_t num(void *p) { return reinterpret_cast<intptr_t>(p); }
int visit_value(void *data, void *arg) {
  auto *v = static_cast<Visit *>(arg);
  v->seen.push_back(num(data));
  if (v->remove) v->remove_db_entry();
  return std::ssize(v->seen) == v->stop ? 7 : 0;
}

struct Entry {
  std::optional<std::string> key;
  int32_t id;
  intptr_t value;
  // Without a string only entries hashed like "no string" are reached:
  // those stored without one or with the empty string.
  bool found_by(const char *k, int32_t i) const {
    return id == i && (k ? key == k : !key || key->empty());
  }
};

TEST(Foundation, DatabaseAgainstModel) {
  EXPECT_EQ(pl::db::hash("abc", 0), 0xE7AA5662u);  // sdbm steps, id bytes high first
  EXPECT_EQ(pl::db::hash("\xff", 0x01020304), 0xD7F89281u);
  testsupport::SyslogCapture log;
  for (uint32_t bad : {0u, 6u}) {
    EXPECT_EQ(DB_Create(bad), nullptr);
    EXPECT_REPORT(log, "!ISPOWER2(size)", "database", "DB_Create", 83);
  }
  {
    testsupport::AllocFailure fail(0);
    EXPECT_EQ(DB_Create(4), nullptr);
    EXPECT_REPORT(log, "db == NULL", "database", "DB_Create", 85);
  }
  EXPECT_EQ(DB_Iterator(nullptr, visit_value, nullptr), 0);

  const char *keys[] = {nullptr, "", "a", "b", "abc", "longer key"};
  for (unsigned seed = 1; seed <= 12; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    DB *db = DB_Create(1u << (seed % 7));
    ASSERT_NE(db, nullptr);
    std::vector<Entry> model;
    intptr_t next_value = 1;
    for (int op = 0; op < 600; ++op) {
      const char *k = keys[rng() % 6];
      auto id = static_cast<int32_t>(rng() % 12) - 2;
      auto v = static_cast<intptr_t>(rng() % static_cast<unsigned>(next_value + 1));
      auto hit = std::ranges::find_if(model, [&](auto &e) { return e.found_by(k, id); });
      auto by_val = std::ranges::find_if(model, [&](auto &e) { return e.value == v; });
      void *out = val(-1);
      char kb[16] = "junk";
      int32_t got_id = -1;
      if (unsigned how = rng() % 5; how < 2) {
        testsupport::AllocFailure fail(op % 50 == 0 ? 0 : -1);  // out of memory adds nothing
        ASSERT_EQ(DB_Add(db, k, id, val(next_value)), op % 50 == 0 ? -1 : 0);
        if (op % 50 != 0)
          model.push_back({k ? std::optional<std::string>(k) : std::nullopt, id, next_value++});
      } else if (how == 2) {
        ASSERT_EQ(DB_Find(db, k, id, &out), hit == model.end() ? -1 : 0);
        ASSERT_EQ(num(out), hit == model.end() ? -1 : hit->value);
      } else if (how == 3) {
        ASSERT_EQ(DB_Delete(db, k, id), hit == model.end() ? -1 : 0);
        if (hit != model.end()) model.erase(hit);
      } else {
        bool none = by_val == model.end();
        ASSERT_EQ(DB_FindVal(db, kb, &got_id, val(v)), none ? -1 : 0);
        ASSERT_EQ(std::pair(std::string(kb), got_id),
                  none ? std::pair(std::string("junk"), -1)
                       : std::pair(by_val->key.value_or(""), by_val->id));
      }
      ASSERT_EQ(DB_GetCount(db), std::ssize(model));
    }
    // Iteration in insertion order, with the string keys ("" without one).
    std::vector<std::pair<intptr_t, std::string>> seen, want;
    DBEntry *cur = nullptr;
    void *v = nullptr;
    char kb[16];
    for (int r = DB_First(db, &cur, &v, kb); r == 1; r = DB_Next(&cur, &v, kb)) {
      DB_Get(&cur, &v, kb);
      seen.emplace_back(num(v), kb);
    }
    for (auto &e : model) want.emplace_back(e.value, e.key.value_or(""));
    ASSERT_EQ(seen, want);
    // A walk deleting each entry it visits (the model's earliest, so its own
    // key finds it), stopped half way or not; Destroy sees the rest.
    Visit walk{nullptr, {}, seed % 2 ? 0 : std::ssize(model) / 2 + 1, true, [&] {
                 DB_Delete(db, model[0].key ? model[0].key->c_str() : nullptr, model[0].id);
                 model.erase(model.begin());
               }};
    bool stops = walk.stop > 0 && walk.stop <= std::ssize(want);
    EXPECT_EQ(DB_Iterator(db, visit_value, &walk), stops ? 7 : 0);
    EXPECT_EQ(DB_GetCount(db), std::ssize(model));
    walk.remove = false;
    DB_Destroy(db, visit_value, &walk);
    ASSERT_EQ(walk.seen.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(walk.seen[i], want[i].first);
  }
}

}  // namespace
