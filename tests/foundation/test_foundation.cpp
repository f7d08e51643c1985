// String, number and thread helpers, request messages, and the list and the
// database driven by seeded random operations checked against a std:: model.
#include <algorithm>
#include <cstring>
#include <functional>
#include <list>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "database/database.hpp"
#include "pam_lib/context.hpp"
#include "support/harness.hpp"
#include "util_linux.h"

namespace {

std::string n(long long v) { return std::to_string(v); }

std::string parse(const char *text, int base) {
  int64_t v = 777;
  return safe_parse_number(text, &v, base) == 0 ? n(v) : v == 777 ? "fail" : "fail, written";
}

std::string cat(std::string start, const char *add, size_t size) {
  start.resize(size);  // NUL-filled room behind the text
  return xstrncat(start.data(), add, size);
}

std::string rev(std::string s, size_t max) { return strnrev(s.data(), max); }

// The register after the message and four zero bytes: M(x)*x^32 mod P(x).
std::string crc(const char *text) {
  crc32_init();
  uint32_t r = 0;
  crc32_stream(&r, text, static_cast<int32_t>(std::strlen(text)));
  crc32_stream(&r, "\0\0\0", 4);
  return n(r);
}

const char *const kArray[] = {"a", nullptr, "b", "b"};

TEST(Foundation, StringHelpers) {
  using Row = std::tuple<const char *, std::function<std::string()>, std::string>;
  const Row rows[] = {
      {"crc", [] { return crc("123456789 the quick brown fox"); }, n(0x35A01FAF)},
      {"xstrncat full", [] { return cat("1234567", "ab", 8); }, "1234567"},
      {"xstrncat fills", [] { return cat("12345", "abc", 8); }, "12345ab"},
      {"strnrev part", [] { return rev("abcdef", 3); }, "cbadef"},
      {"stricmp ascii only", [] { return n(stricmp("a[", "A{") < 0); }, "1"},
      {"stricmp longer", [] { return n(stricmp("abc", "ab")); }, "99"},
      {"stricmp unsigned", [] { return n(stricmp("\xff", "")); }, "255"},
      {"strnicmp prefix", [] { return n(strnicmp("abcd", "ABCE", 3)); }, "0"},
      {"strnicmp diff", [] { return n(strnicmp("abcd", "ABCE", 4)); }, "-1"},
      {"strnicmp short", [] { return n(strnicmp("ab", "AB", 10)); }, "0"},
      {"is_ascii_7 ctrl", [] { return n(is_ascii_7("tab\t\n\x7f")); }, "1"},
      {"is_ascii_7 high", [] { return n(is_ascii_7("a\x80")); }, "0"},
      {"UTILS ctrl", [] { return n(UTILS_is_ascii_7("tab\t")); }, "0"},
      {"find later", [] { return n(util_FindStrInArray("b", kArray, 4)); }, "2"},
      {"parse dec", [] { return parse("42", 0); }, "42"},
      {"parse binary", [] { return parse("101b", 0); }, "5"},
      {"parse b in base 10", [] { return parse("101b", 10); }, "101"},
      {"parse inverted", [] { return parse("~5", 0); }, "-6"},
      {"parse hex 1b", [] { return parse("0x1b", 0); }, "0"},
      {"parse 254 chars", [] { return parse((std::string(254, '0') + "7").c_str(), 10); }, "0"},
      {"parse ~", [] { return parse("~", 0); }, "fail"},
      {"parse range", [] { return parse("99999999999999999999", 0); }, "fail"},
  };
  for (const auto &[what, got, want] : rows) EXPECT_EQ(got(), want) << what;
}

TEST(Foundation, AtomicsAndPriority) {
  uint32_t w = 5, m = 0xFFFFFFFFu;
  EXPECT_EQ(check_and_set(&w, 4, 9), 0);
  EXPECT_EQ(check_and_set(&w, 5, 9), 1);
  EXPECT_EQ(atomic_inc(&m, 1), 0u);
  std::vector<std::thread> ts(4);
  for (auto &t : ts)
    t = std::thread([&w] {
      for (int i = 0; i < 20000; ++i) atomic_inc(&w, 1);
    });
  for (auto &t : ts) t.join();
  EXPECT_EQ(w, 80009u);

  EXPECT_EQ(util_SetCurThreadPriority(0), 0);
  EXPECT_EQ(util_GetCurThreadPriority(), 0);
  EXPECT_EQ(util_SetCurThreadPriority(1000), -1);
  std::thread([] {  // real-time priority needs CAP_SYS_NICE
    EXPECT_TRUE(util_SetCurThreadPriority(10) != 0 || util_GetCurThreadPriority() == 10);
  }).join();
}

// The wire layout does not depend on the compiler or the processor.
static_assert(sizeof(MSG_HDR) == 56 && sizeof(REPLY_HDR) == 48);
static_assert(noexcept(get_socket()), "exported functions are noexcept");

TEST(Foundation, MessageHeaderFromContextAndTenItemsAtMost) {
  pl::testing::reset_client_context();
  set_privelege(2);
  set_uid(500);
  set_client_id(9);
  MSG *m = CreateMsg(33);
  ASSERT_TRUE(m);
  set_privelege(5);  // later setters do not change the message
  // hdr_len, seq, total_len, item_count, opcode, privilege, uid, priority, magic, client_id
  const MSG_HDR want{56, 0, 0, 0, 33, 2, 500, util_GetCurThreadPriority(), MSG_MAGIC, 9, {}};
  EXPECT_EQ(std::memcmp(&m->hdr, &want, sizeof want), 0);

  for (int i = 0; i < 11; ++i) AddIntToMsg(m, i);  // nothing lands past the tenth item
  EXPECT_EQ(m->hdr.item_count, MSG_MAX_ITEMS);
  EXPECT_EQ(m->items[9].value, 9);
  std::free(m);
}


LListElement g_links[8];
int index_of(const LListElement *e) { return static_cast<int>(e - g_links); }

// Callbacks of LL_ForEach and DB_Iterator: record, remove if asked, stop at `stop`.
struct Visit {
  std::vector<intptr_t> seen;
  intptr_t stop;
  std::function<void(intptr_t)> remove;
};
int visited(void *arg, intptr_t x) {
  auto *v = static_cast<Visit *>(arg);
  v->seen.push_back(x);
  if (v->remove) v->remove(x);
  return x == v->stop ? 7 : 0;
}
int visit_link(LListElement *e, void *arg) { return visited(arg, index_of(e)); }
int visit_value(void *data, void *arg) { return visited(arg, reinterpret_cast<intptr_t>(data)); }

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
        Visit w{{}, i, nullptr};
        if (rng() % 8 == 0) w.remove = [&](intptr_t x) { LListDelete(&list, &g_links[x]); };
        std::vector<intptr_t> want(model.begin(), at == model.end() ? at : std::next(at));
        ASSERT_EQ(LL_ForEach(&list, visit_link, &w), at == model.end() ? nullptr : &g_links[i]);
        ASSERT_EQ(w.seen, want);
        if (w.remove) model.erase(model.begin(), std::next(model.begin(), std::ssize(want)));
      }
      std::vector<intptr_t> fwd, back;
      for (LListElement *e = LL_First(&list); e; e = LL_Next(e)) fwd.push_back(index_of(e));
      for (LListElement *e = LL_Last(&list); e; e = LL_Prev(e)) back.push_back(index_of(e));
      ASSERT_EQ(fwd, std::vector<intptr_t>(model.begin(), model.end()));
      ASSERT_EQ(back, std::vector<intptr_t>(model.rbegin(), model.rend()));
      ASSERT_EQ(LL_Count(&list), std::ssize(model));
      for (int k = 0; k < 8; ++k) ASSERT_EQ(LL_InList(&g_links[k]), std::ranges::count(fwd, k));
    }
  }
}

void *val(intptr_t v) { return reinterpret_cast<void *>(v); }
intptr_t num(void *p) { return reinterpret_cast<intptr_t>(p); }

struct Entry {
  std::optional<std::string> key;
  int32_t id;
  intptr_t value;
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
      // Without a string: entries stored without one or with "" (same hash).
      auto hit = std::ranges::find_if(model, [&](auto &e) {
        return e.id == id && (k ? e.key == k : !e.key || e.key->empty());
      });
      auto by_val = std::ranges::find_if(model, [&](auto &e) { return e.value == v; });
      void *out = val(-1);
      char kb[16] = "junk";
      int32_t got_id = -1;
      if (unsigned how = rng() % 5; how < 2) {
        ASSERT_EQ(DB_Add(db, k, id, val(next_value)), 0);
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
    for (int r = DB_First(db, &cur, &v, kb); r == 1; r = DB_Next(&cur, &v, kb))
      seen.emplace_back(num(v), kb);
    for (auto &e : model) want.emplace_back(e.value, e.key.value_or(""));
    ASSERT_EQ(seen, want);
    // A walk deletes each entry it visits (its key finds the earliest), maybe
    // stopping half way; Destroy sees the rest.
    Visit walk{{}, seed % 2 || model.empty() ? 0 : model[model.size() / 2].value, [&](intptr_t) {
                 DB_Delete(db, model[0].key ? model[0].key->c_str() : nullptr, model[0].id);
                 model.erase(model.begin());
               }};
    EXPECT_EQ(DB_Iterator(db, visit_value, &walk), walk.stop ? 7 : 0);
    walk.remove = nullptr;
    DB_Destroy(db, visit_value, &walk);
    EXPECT_TRUE(std::ranges::equal(walk.seen, want, {}, {}, [](auto &p) { return p.first; }));
  }
}

}  // namespace
