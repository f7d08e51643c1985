// Building request messages (internal part).
#pragma once

#include <cstdint>

#include "pam_lib.h"

namespace pl {
// The common adder: ignores an item beyond MSG_MAX_ITEMS.
void AddItemToMsg(MSG *msg, int32_t kind, int32_t size, intptr_t value) noexcept;
}  // namespace pl
