#include "common/alloc.hpp"

#include <atomic>
#include <cstring>

namespace pl {
namespace {
std::atomic<long> g_fail_after{-1};
std::atomic<long> g_requested{0};

bool should_fail() noexcept {
  g_requested.fetch_add(1, std::memory_order_relaxed);
  long n = g_fail_after.load(std::memory_order_relaxed);
  if (n < 0) return false;
  if (n == 0) return true;
  g_fail_after.store(n - 1, std::memory_order_relaxed);
  return false;
}
}  // namespace

void *alloc(std::size_t size) noexcept {
  if (should_fail()) return nullptr;
  return std::malloc(size ? size : 1);
}

void *alloc_zeroed(std::size_t size) noexcept {
  if (should_fail()) return nullptr;
  return std::calloc(1, size ? size : 1);
}

char *dup_string(std::string_view s) noexcept {
  auto *p = static_cast<char *>(alloc(s.size() + 1));
  if (!p) return nullptr;
  std::memcpy(p, s.data(), s.size());
  p[s.size()] = '\0';
  return p;
}

namespace testing {
void fail_allocations_after(long n) noexcept { g_fail_after.store(n); }
long allocations_requested() noexcept { return g_requested.load(); }
}  // namespace testing

}  // namespace pl
