// Login internals shared with the tests.
#pragma once

#include <atomic>
#include <cstdint>

namespace pl {

// The last session id handed out; the next login takes this plus one.
extern std::atomic<int32_t> last_session_id;

}  // namespace pl
