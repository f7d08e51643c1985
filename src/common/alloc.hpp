// Heap blocks handed across the C boundary come from malloc (callers free
// them). Every such allocation goes through pl::alloc so tests can make the
// n-th one fail and check the out-of-memory paths.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <string_view>

namespace pl {

void *alloc(std::size_t size) noexcept;          // malloc, or nullptr
void *alloc_zeroed(std::size_t size) noexcept;   // calloc-like
char *dup_string(std::string_view s) noexcept;   // malloc'ed, NUL-terminated

struct FreeDeleter {
  void operator()(void *p) const noexcept { std::free(p); }
};
template <typename T>
using MallocPtr = std::unique_ptr<T, FreeDeleter>;

namespace testing {
// After `n` more successful allocations, every following one fails until
// reset with n < 0. Not thread-safe against concurrent changes of n.
void fail_allocations_after(long n) noexcept;
// Number of allocations requested through pl::alloc so far.
long allocations_requested() noexcept;
}  // namespace testing

}  // namespace pl
