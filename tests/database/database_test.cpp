#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <cstdint>
#include <list>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "database.h"
#include "database/database.hpp"
#include "support/harness.hpp"

namespace {

using testsupport::SyslogCapture;

void *val(intptr_t v) { return reinterpret_cast<void *>(v); }
intptr_t num(void *p) { return reinterpret_cast<intptr_t>(p); }

struct DbOwner {
  explicit DbOwner(uint32_t n) : db(DB_Create(n)) {}
  ~DbOwner() { DB_Destroy(db, nullptr, nullptr); }
  DB *db;
};

TEST(Database, HashWorkedValues) {
  EXPECT_EQ(pl::db::hash("abc", 0), 0xE7AA5662u);
  EXPECT_EQ(pl::db::hash("abc", 0) & 7u, 2u);
  EXPECT_EQ(pl::db::hash(nullptr, 7), 7u);
  for (int32_t i = 0; i < 256; ++i) EXPECT_EQ(pl::db::hash(nullptr, i), static_cast<uint32_t>(i));
  // Integer bytes go most significant first whatever the processor's order,
  // and string bytes count as unsigned.
  auto ref = [](std::initializer_list<uint8_t> bytes) {
    uint32_t h = 0;
    for (uint8_t c : bytes) h = c + (h << 6) + (h << 16) - h;
    return h;
  };
  EXPECT_EQ(pl::db::hash(nullptr, 0x01020304), ref({1, 2, 3, 4}));
  EXPECT_EQ(pl::db::hash("\xff", -1), ref({0xff, 0xff, 0xff, 0xff, 0xff}));
}

TEST(Database, CreateRefusesNonPowersOfTwoAndReportsOutOfMemory) {
  SyslogCapture cap;
  DbOwner ok(8);
  ASSERT_NE(ok.db, nullptr);
  EXPECT_EQ(DB_GetCount(ok.db), 0);
  EXPECT_EQ(ok.db->bucket_count, 8u);
  EXPECT_EQ(DB_Create(6), nullptr);
  EXPECT_REPORT(cap, "!ISPOWER2(size)", "database", "DB_Create", 83);
  cap.clear();
  EXPECT_EQ(DB_Create(0), nullptr);
  EXPECT_REPORT(cap, "!ISPOWER2(size)", "database", "DB_Create", 83);
  {
    testsupport::AllocFailure fail(0);
    EXPECT_EQ(DB_Create(4), nullptr);
  }
  EXPECT_REPORT(cap, "db == NULL", "database", "DB_Create", 85);
}

TEST(Database, LookupWithAndWithoutString) {
  DbOwner o(8);
  void *out = nullptr;
  ASSERT_EQ(DB_Add(o.db, nullptr, 5, val(11)), 0);
  EXPECT_EQ(DB_Find(o.db, nullptr, 5, &out), 0);
  EXPECT_EQ(num(out), 11);
  EXPECT_EQ(DB_Find(o.db, "", 5, &out), -1);  // a string demands a stored string
  EXPECT_EQ(DB_Find(o.db, nullptr, 5, nullptr), 0);

  DbOwner e(8);
  ASSERT_EQ(DB_Add(e.db, "", 5, val(12)), 0);
  EXPECT_EQ(DB_Find(e.db, nullptr, 5, &out), 0);
  EXPECT_EQ(num(out), 12);
  ASSERT_EQ(DB_Add(e.db, "abc", 9, val(13)), 0);
  EXPECT_EQ(DB_Find(e.db, "abc", 9, &out), 0);
  EXPECT_EQ(num(out), 13);
  EXPECT_EQ(DB_Find(e.db, "abd", 9, &out), -1);
  EXPECT_EQ(DB_Find(e.db, "abc", 8, &out), -1);
  EXPECT_EQ(DB_Find(nullptr, nullptr, 5, &out), -1);
  EXPECT_EQ(DB_FindVal(nullptr, nullptr, nullptr, val(1)), -1);
}

TEST(Database, DuplicateKeysAreFoundInOrderOfAddition) {
  DbOwner o(4);
  void *out = nullptr;
  DB_Add(o.db, "k", 1, val(1));
  DB_Add(o.db, "k", 1, val(2));
  EXPECT_EQ(DB_GetCount(o.db), 2);
  EXPECT_EQ(DB_Find(o.db, "k", 1, &out), 0);
  EXPECT_EQ(num(out), 1);
  EXPECT_EQ(DB_Delete(o.db, "k", 1), 0);
  EXPECT_EQ(DB_Find(o.db, "k", 1, &out), 0);
  EXPECT_EQ(num(out), 2);
  EXPECT_EQ(DB_Delete(o.db, "k", 1), 0);
  EXPECT_EQ(DB_Find(o.db, "k", 1, &out), -1);
  EXPECT_EQ(DB_Delete(o.db, "k", 1), -1);
  EXPECT_EQ(DB_GetCount(o.db), 0);
  EXPECT_EQ(DB_GetCount(nullptr), 0);
}

TEST(Database, IterationFollowsInsertionOrderAndDeliversKeys) {
  DBEntry *cur = reinterpret_cast<DBEntry *>(1);
  void *v = nullptr;
  char key[32] = "x";
  EXPECT_EQ(DB_First(nullptr, &cur, &v, key), -1);
  DbOwner o(8);
  EXPECT_EQ(DB_First(o.db, &cur, &v, key), 0);
  EXPECT_EQ(cur, nullptr);

  // Ids chosen to land in different buckets, out of bucket order.
  DB_Add(o.db, "seven", 7, val(70));
  DB_Add(o.db, nullptr, 1, val(10));
  DB_Add(o.db, "four", 4, val(40));
  std::vector<std::pair<intptr_t, std::string>> seen;
  for (int r = DB_First(o.db, &cur, &v, key); r == 1; r = DB_Next(&cur, &v, key))
    seen.emplace_back(num(v), key);
  EXPECT_EQ(seen, (std::vector<std::pair<intptr_t, std::string>>{
                      {70, "seven"}, {10, ""}, {40, "four"}}));
  EXPECT_EQ(cur, nullptr);
  EXPECT_EQ(DB_Next(&cur, &v, key), 0);

  ASSERT_EQ(DB_First(o.db, &cur, &v, nullptr), 1);
  ASSERT_EQ(DB_Next(&cur, &v, nullptr), 1);
  v = nullptr;
  std::strcpy(key, "junk");
  EXPECT_EQ(DB_Get(&cur, &v, key), 0);
  EXPECT_EQ(num(v), 10);
  EXPECT_STREQ(key, "");  // entry stored without a string

  int32_t id = -1;
  std::strcpy(key, "junk");
  EXPECT_EQ(DB_FindVal(o.db, key, &id, val(40)), 0);
  EXPECT_EQ(id, 4);
  EXPECT_STREQ(key, "four");
  EXPECT_EQ(DB_FindVal(o.db, nullptr, &id, val(10)), 0);
  EXPECT_EQ(id, 1);
  EXPECT_EQ(DB_FindVal(o.db, nullptr, &id, val(99)), -1);
}

struct IterState {
  DB *db;
  std::vector<intptr_t> calls;
  int stop_on_call = 0;
};

int delete_self(void *data, void *arg) {
  auto *s = static_cast<IterState *>(arg);
  s->calls.push_back(num(data));
  return DB_Delete(s->db, nullptr, static_cast<int32_t>(num(data)));  // value == key
}

int stop_at(void *data, void *arg) {
  auto *s = static_cast<IterState *>(arg);
  s->calls.push_back(num(data));
  return static_cast<int>(s->calls.size()) == s->stop_on_call ? 7 : 0;
}

TEST(Database, IteratorAndDestroyCallbacks) {
  EXPECT_EQ(DB_Iterator(nullptr, stop_at, nullptr), 0);
  DB *db = DB_Create(2);
  for (int i = 1; i <= 5; ++i) DB_Add(db, nullptr, i, val(i));
  IterState stop{db, {}, 2};
  EXPECT_EQ(DB_Iterator(db, stop_at, &stop), 7);
  EXPECT_EQ(stop.calls.size(), 2u);

  IterState del{db, {}, 0};
  EXPECT_EQ(DB_Iterator(db, delete_self, &del), 0);
  EXPECT_EQ(del.calls, (std::vector<intptr_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(DB_GetCount(db), 0);
  EXPECT_EQ(DB_Iterator(db, stop_at, &stop), 0);

  for (int i = 1; i <= 3; ++i) DB_Add(db, "key", i, val(i * 10));
  IterState destroyed{db, {}, 0};
  DB_Destroy(db, stop_at, &destroyed);
  EXPECT_EQ(destroyed.calls, (std::vector<intptr_t>{10, 20, 30}));
  DB_Destroy(nullptr, stop_at, &destroyed);

  DB *db2 = DB_Create(1);
  DB_Add(db2, nullptr, 1, val(1));
  DB_Destroy(db2, nullptr, nullptr);
}

TEST(Database, AddOutOfMemoryLeavesTheDatabaseUnchanged) {
  DbOwner o(8);
  DB_Add(o.db, "a", 1, val(1));
  {
    testsupport::AllocFailure fail(0);
    EXPECT_EQ(DB_Add(o.db, "b", 2, val(2)), -1);
    EXPECT_EQ(DB_Add(o.db, nullptr, 3, val(3)), -1);
  }
  EXPECT_EQ(DB_GetCount(o.db), 1);
  EXPECT_EQ(LL_Count(&o.db->entries), 1);
  EXPECT_EQ(DB_Find(o.db, nullptr, 2, nullptr), -1);
}

// Thousands of random operations against a plain model, for several bucket
// counts: lookups, deletions (earliest match first), order and counts agree.
TEST(Database, RandomizedAgainstModel) {
  struct Entry {
    std::optional<std::string> key;
    int32_t id;
    intptr_t value;
  };
  std::mt19937 rng(20240611);
  const char *keys[] = {nullptr, "", "a", "b", "abc", "longer key"};
  for (uint32_t buckets : {1u, 2u, 8u, 64u}) {
    DB *db = DB_Create(buckets);
    ASSERT_NE(db, nullptr);
    std::list<Entry> model;
    intptr_t next_value = 1;
    auto matches = [](const Entry &e, const char *k, int32_t id) {
      if (e.id != id) return false;
      // Without a string only entries hashed like "no string" are reached:
      // those stored without one or with the empty string.
      if (!k) return !e.key || e.key->empty();
      return e.key && *e.key == k;
    };
    for (int op = 0; op < 5000; ++op) {
      const char *k = keys[rng() % 6];
      int32_t id = static_cast<int32_t>(rng() % 12) - 2;
      switch (rng() % 4) {
        case 0:
        case 1: {
          ASSERT_EQ(DB_Add(db, k, id, val(next_value)), 0);
          model.push_back({k ? std::optional<std::string>(k) : std::nullopt, id, next_value++});
          break;
        }
        case 2: {
          auto it = std::find_if(model.begin(), model.end(),
                                 [&](const Entry &e) { return matches(e, k, id); });
          void *out = nullptr;
          if (it == model.end()) {
            ASSERT_EQ(DB_Find(db, k, id, &out), -1);
          } else {
            ASSERT_EQ(DB_Find(db, k, id, &out), 0);
            ASSERT_EQ(num(out), it->value);
          }
          break;
        }
        case 3: {
          auto it = std::find_if(model.begin(), model.end(),
                                 [&](const Entry &e) { return matches(e, k, id); });
          if (it == model.end()) {
            ASSERT_EQ(DB_Delete(db, k, id), -1);
          } else {
            ASSERT_EQ(DB_Delete(db, k, id), 0);
            model.erase(it);
          }
          break;
        }
      }
      ASSERT_EQ(DB_GetCount(db), static_cast<int>(model.size()));
    }
    DBEntry *cur = nullptr;
    void *v = nullptr;
    char kb[32];
    auto it = model.begin();
    for (int r = DB_First(db, &cur, &v, kb); r == 1; r = DB_Next(&cur, &v, kb), ++it) {
      ASSERT_NE(it, model.end());
      EXPECT_EQ(num(v), it->value);
      EXPECT_EQ(std::string(kb), it->key.value_or(""));
      EXPECT_EQ(cur->hash & (buckets - 1), pl::db::hash(cur->key, cur->key_id) & (buckets - 1));
    }
    EXPECT_EQ(it, model.end());
    int total = 0;
    for (uint32_t b = 0; b < buckets; ++b) total += LL_Count(&db->buckets[b]);
    EXPECT_EQ(total, static_cast<int>(model.size()));
    DB_Destroy(db, nullptr, nullptr);
  }
}

}  // namespace
