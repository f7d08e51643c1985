// Hash database: one block per database (header plus bucket heads) and one
// block per entry (string key included); chains are intrusive lists.
#include "database/database.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/alloc.hpp"
#include "common/log.hpp"

namespace pl::db {

namespace {

constexpr uint32_t step(uint32_t h, uint8_t c) noexcept {
  return c + (h << 6) + (h << 16) - h;
}

DBEntry *from_entry_link(LListElement *e) noexcept {
  // entry_link is the first member: the two pointers are the same.
  return reinterpret_cast<DBEntry *>(e);
}

DBEntry *from_bucket_link(LListElement *e) noexcept {
  return reinterpret_cast<DBEntry *>(reinterpret_cast<char *>(e) -
                                     offsetof(DBEntry, bucket_link));
}

LList *bucket_for(DB *db, uint32_t h) noexcept {
  return &db->buckets[h & (db->bucket_count - 1)];
}

DBEntry *lookup(DB *db, const char *key, int32_t id) noexcept {
  uint32_t h = hash(key, id);
  for (LListElement *e = LL_First(bucket_for(db, h)); e; e = LL_Next(e)) {
    DBEntry *entry = from_bucket_link(e);
    if (entry->hash != h || entry->key_id != id) continue;
    // With a string the stored entry must carry an equal one; without, only
    // the integer counts.
    if (key && (!entry->key || std::strcmp(entry->key, key) != 0)) continue;
    return entry;
  }
  return nullptr;
}

void deliver(DBEntry *entry, void **value, char *keybuf) noexcept {
  if (value) *value = entry->data;
  if (keybuf) {
    const char *k = entry->key ? entry->key : "";
    std::memcpy(keybuf, k, std::strlen(k) + 1);
  }
}

DBEntry *next_entry(DBEntry *entry) noexcept {
  LListElement *n = LL_Next(&entry->entry_link);
  return n ? from_entry_link(n) : nullptr;
}

}  // namespace

uint32_t hash(const char *key, int32_t id) noexcept {
  uint32_t h = 0;
  if (key)
    for (const char *p = key; *p; ++p) h = step(h, static_cast<uint8_t>(*p));
  auto u = static_cast<uint32_t>(id);
  for (int shift = 24; shift >= 0; shift -= 8) h = step(h, static_cast<uint8_t>(u >> shift));
  return h;
}

}  // namespace pl::db

using namespace pl::db;

extern "C" {

PAM_LIB_API DB *DB_Create(uint32_t size) noexcept {
  // 0 is refused too: a table without buckets has nowhere to put an entry.
  if (size == 0 || (size & (size - 1)) != 0) {
    pl::report("!ISPOWER2(size)", "database", "DB_Create", 83);
    return nullptr;
  }
  DB *db = nullptr;
  if (size <= (SIZE_MAX - sizeof(DB)) / sizeof(LList))
    db = static_cast<DB *>(pl::alloc(sizeof(DB) + std::size_t{size} * sizeof(LList)));
  if (!db) {
    pl::report("db == NULL", "database", "DB_Create", 85);
    return nullptr;
  }
  db->buckets = reinterpret_cast<LList *>(db + 1);
  db->bucket_count = size;
  LL_Init(&db->entries);
  for (uint32_t i = 0; i < size; ++i) LL_Init(&db->buckets[i]);
  db->count = 0;
  return db;
}

PAM_LIB_API void DB_Destroy(DB *db, DB_CALLBACK fn, void *arg) noexcept {
  if (!db) return;
  LListElement *e = LL_First(&db->entries);
  while (e) {
    LListElement *next = LL_Next(e);
    DBEntry *entry = from_entry_link(e);
    if (fn) fn(entry->data, arg);
    std::free(entry);
    e = next;
  }
  pthread_mutex_destroy(&db->entries.lock);
  for (uint32_t i = 0; i < db->bucket_count; ++i) pthread_mutex_destroy(&db->buckets[i].lock);
  std::free(db);
}

PAM_LIB_API int DB_Find(DB *db, const char *key, int32_t id, void **out) noexcept {
  if (!db) return -1;
  DBEntry *entry = lookup(db, key, id);
  if (!entry) return -1;
  if (out) *out = entry->data;
  return 0;
}

PAM_LIB_API int DB_FindVal(DB *db, char *keybuf, int32_t *id_out, void *value) noexcept {
  if (!db) return -1;
  for (LListElement *e = LL_First(&db->entries); e; e = LL_Next(e)) {
    DBEntry *entry = from_entry_link(e);
    if (entry->data != value) continue;
    deliver(entry, nullptr, keybuf);
    if (id_out) *id_out = entry->key_id;
    return 0;
  }
  return -1;
}

PAM_LIB_API int DB_Add(DB *db, const char *key, int32_t id, void *value) noexcept {
  if (!db) return -1;
  std::size_t key_len = key ? std::strlen(key) + 1 : 0;
  auto *entry = static_cast<DBEntry *>(pl::alloc(sizeof(DBEntry) + key_len));
  if (!entry) return -1;
  entry->key_id = id;
  if (key) {
    entry->key = reinterpret_cast<char *>(entry + 1);
    std::memcpy(entry->key, key, key_len);
  } else {
    entry->key = nullptr;
  }
  LL_InitElement(&entry->entry_link);
  LL_InitElement(&entry->bucket_link);
  entry->data = value;
  entry->hash = hash(key, id);
  LListAdd(bucket_for(db, entry->hash), &entry->bucket_link);
  LListAdd(&db->entries, &entry->entry_link);
  ++db->count;
  return 0;
}

PAM_LIB_API int DB_Delete(DB *db, const char *key, int32_t id) noexcept {
  if (!db) return -1;
  DBEntry *entry = lookup(db, key, id);
  if (!entry) return -1;
  LListDelete(bucket_for(db, entry->hash), &entry->bucket_link);
  LListDelete(&db->entries, &entry->entry_link);
  std::free(entry);
  --db->count;
  return 0;
}

PAM_LIB_API int DB_First(DB *db, DBEntry **cursor, void **value, char *keybuf) noexcept {
  if (!db) return -1;
  LListElement *first = LL_First(&db->entries);
  *cursor = first ? from_entry_link(first) : nullptr;
  if (!*cursor) return 0;
  deliver(*cursor, value, keybuf);
  return 1;
}

PAM_LIB_API int DB_Next(DBEntry **cursor, void **value, char *keybuf) noexcept {
  if (!*cursor) return 0;
  *cursor = next_entry(*cursor);
  if (!*cursor) return 0;
  deliver(*cursor, value, keybuf);
  return 1;
}

PAM_LIB_API int DB_Get(DBEntry **cursor, void **value, char *keybuf) noexcept {
  if (*cursor) deliver(*cursor, value, keybuf);
  return 0;
}

PAM_LIB_API int DB_Iterator(DB *db, DB_CALLBACK fn, void *arg) noexcept {
  if (!db) return 0;
  LListElement *e = LL_First(&db->entries);
  while (e) {
    // Read the next entry first: fn may delete the one it is called for.
    LListElement *next = LL_Next(e);
    if (int r = fn(from_entry_link(e)->data, arg); r != 0) return r;
    e = next;
  }
  return 0;
}

PAM_LIB_API int DB_GetCount(DB *db) noexcept { return db ? db->count : 0; }

}  // extern "C"
