// Internals of the hash database shared with the tests.
#pragma once

#include <cstdint>

#include "database.h"

namespace pl::db {

// sdbm-style hash over the string's bytes (none when key is null), then the
// four bytes of id, most significant first.
uint32_t hash(const char *key, int32_t id) noexcept;

}  // namespace pl::db
