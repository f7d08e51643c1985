/*
 * Hash database keyed by an optional string and a 32-bit integer, one
 * pointer-sized value per entry, iterated in insertion order.
 */
#ifndef DATABASE_H
#define DATABASE_H

#include <stdint.h>
#include <stddef.h>
#include <stdio.h>

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

#include "linked_list.h"

/* @@section database@@ */

/* One entry: on the list of all entries (entry_link, first, so a pointer to
 * the entry is a pointer to it) and on one bucket list. A string key, when
 * present, lives in the same block right behind the fixed part. */
typedef struct DBEntry {
  LListElement entry_link;
  LListElement bucket_link;
  char *key;          /* NULL when added without a string */
  int32_t key_id;
  uint32_t hash;
  void *data;         /* the caller's value; never read or freed here */
} DBEntry;

/* The database: one block holding this header and its bucket heads. */
typedef struct DB {
  LList entries;          /* all entries in insertion order */
  LList *buckets;         /* bucket_count heads behind the header */
  uint32_t bucket_count;  /* a power of two */
  int32_t count;
} DB;

/* Callback of DB_Iterator and DB_Destroy: an entry's value and the caller's
 * argument, passed through. */
typedef int (*DB_CALLBACK)(void *data, void *arg);

/* A new empty database with size buckets (a non-zero power of two), or NULL
 * (reported to syslog). Free it with DB_Destroy. */
PAM_LIB_API DB *DB_Create(uint32_t size) PAM_LIB_NOEXCEPT;
/* Calls fn(value, arg) for each entry in insertion order (fn may be NULL),
 * then releases every entry and the database. db may be NULL. */
PAM_LIB_API void DB_Destroy(DB *db, DB_CALLBACK fn, void *arg) PAM_LIB_NOEXCEPT;
/* Looks (key, id) up and stores the value through out (may be NULL). The
 * string is part of the key: it takes part in the hash, so key NULL finds
 * only an entry added without a string (never one added with "eth0" and the
 * same id), and a key finds only an entry with an equal string. 0 found,
 * -1 not found or NULL db. */
PAM_LIB_API int DB_Find(DB *db, const char *key, int32_t id, void **out) PAM_LIB_NOEXCEPT;
/* Finds the earliest entry whose value is value; copies its string key into
 * keybuf (may be NULL; "" for an entry without one) and its integer key to
 * *id_out. 0 found, -1 not found or NULL db. */
PAM_LIB_API int DB_FindVal(DB *db, char *keybuf, int32_t *id_out, void *value) PAM_LIB_NOEXCEPT;
/* Adds an entry (no duplicate check; key may be NULL; it is copied).
 * 0 added, -1 out of memory or NULL db. */
PAM_LIB_API int DB_Add(DB *db, const char *key, int32_t id, void *value) PAM_LIB_NOEXCEPT;
/* Removes the entry a lookup of (key, id) finds; its value is not freed.
 * 0 deleted, -1 not found or NULL db. */
PAM_LIB_API int DB_Delete(DB *db, const char *key, int32_t id) PAM_LIB_NOEXCEPT;
/* Starts an iteration in insertion order: stores the first entry as
 * *cursor (NULL when empty) and delivers its value and string key (keybuf
 * may be NULL; it must hold the longest key; "" for an entry without one).
 * 1 delivered, 0 empty, -1 NULL db. */
PAM_LIB_API int DB_First(DB *db, DBEntry **cursor, void **value, char *keybuf) PAM_LIB_NOEXCEPT;
/* Moves *cursor to the next entry and delivers it as DB_First does:
 * 1 delivered, 0 at the end. */
PAM_LIB_API int DB_Next(DBEntry **cursor, void **value, char *keybuf) PAM_LIB_NOEXCEPT;
/* Delivers the entry at *cursor again; returns 0. */
PAM_LIB_API int DB_Get(DBEntry **cursor, void **value, char *keybuf) PAM_LIB_NOEXCEPT;
/* Calls fn(value, arg) for each entry in insertion order; fn may delete the
 * entry it is called for, no other. 0 after a full walk (or for a NULL or
 * empty db), else the first non-zero result of fn. */
PAM_LIB_API int DB_Iterator(DB *db, DB_CALLBACK fn, void *arg) PAM_LIB_NOEXCEPT;
/* Number of entries; 0 for a NULL db. */
PAM_LIB_API int DB_GetCount(DB *db) PAM_LIB_NOEXCEPT;

#if defined(__cplusplus)
}
#endif
#endif /* DATABASE_H */
