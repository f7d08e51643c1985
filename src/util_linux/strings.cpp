// String, number and thread helpers.
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <sched.h>

#include "util_linux.h"

namespace {
// Zero until crc32_init has run.
uint32_t g_crc_table[256];

unsigned char fold(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; }
}  // namespace

extern "C" {

PAM_LIB_API int UTILS_is_ascii_7(const char *str) noexcept {
  if (!str) return 1;
  for (const auto *p = reinterpret_cast<const unsigned char *>(str); *p; ++p)
    if (*p < 0x20 || *p > 0x7F) return 0;
  return 1;
}

PAM_LIB_API int is_digit(int c) noexcept { return std::isdigit(c); }

PAM_LIB_API void crc32_init(void) noexcept {
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t r = i << 24;
    for (int b = 0; b < 8; ++b) r = (r & 0x80000000U) ? (r << 1) ^ 0x04C11DB7U : (r << 1);
    g_crc_table[i] = r;
  }
}

PAM_LIB_API void crc32_stream(uint32_t *crc, const void *data, int32_t len) noexcept {
  if (!crc || !data || len <= 0) return;
  const auto *p = static_cast<const unsigned char *>(data);
  uint32_t r = *crc;
  for (int32_t i = 0; i < len; ++i) r = ((r << 8) | p[i]) ^ g_crc_table[r >> 24];
  *crc = r;
}

PAM_LIB_API char *xstrncpy(char *dst, const char *src, size_t size) noexcept {
  if (!dst || size == 0) return dst;
  std::strncpy(dst, src ? src : "", size - 1);
  dst[size - 1] = '\0';
  return dst;
}

PAM_LIB_API char *xstrncat(char *dst, const char *src, size_t size) noexcept {
  if (!dst || !src) return dst;
  long room = static_cast<long>(size) - static_cast<long>(std::strlen(dst)) - 1;
  if (room <= 0) return dst;
  return std::strncat(dst, src, static_cast<size_t>(room));
}

PAM_LIB_API int check_and_set(volatile uint32_t *word, uint32_t expected, uint32_t desired) noexcept {
  // A strong compare-and-exchange: on PowerPC an lwarx/stwcx. loop that
  // retries only when the reservation is lost, fenced on both sides.
  return __atomic_compare_exchange_n(word, &expected, desired, false, __ATOMIC_SEQ_CST,
                                     __ATOMIC_ACQUIRE)
             ? 1
             : 0;
}

PAM_LIB_API uint32_t atomic_inc(volatile uint32_t *word, uint32_t delta) noexcept {
  for (;;) {
    uint32_t seen = __atomic_load_n(word, __ATOMIC_RELAXED);
    uint32_t sum = seen + delta;
    if (check_and_set(word, seen, sum)) return sum;
  }
}

PAM_LIB_API int32_t util_FindStrInArray(const char *str, const char *const *array,
                                        int32_t count) noexcept {
  if (!str || !array) return -1;
  for (int32_t i = 0; i < count; ++i)
    if (array[i] && std::strcmp(array[i], str) == 0) return i;
  return -1;
}

PAM_LIB_API int util_SetCurThreadPriority(int32_t priority) noexcept {
  sched_param sp{};
  sp.sched_priority = priority;
  int rc = pthread_setschedparam(pthread_self(), priority == 0 ? SCHED_OTHER : SCHED_RR, &sp);
  if (rc != 0) {
    errno = rc;
    return -1;
  }
  return 0;
}

PAM_LIB_API int32_t util_GetCurThreadPriority(void) noexcept {
  int policy = sched_getscheduler(0);
  if (policy == SCHED_OTHER) return 0;
  // A failed policy query is treated like a real-time policy.
  sched_param sp{};
  if (sched_getparam(0, &sp) != 0) return 0;
  return sp.sched_priority;
}

PAM_LIB_API char *strnrev(char *str, size_t maxlen) noexcept {
  if (!str) return nullptr;
  size_t n = strnlen(str, maxlen);
  if (n < 2) return str;
  for (char *a = str, *b = str + n - 1; a < b; ++a, --b) {
    *a ^= *b;
    *b ^= *a;
    *a ^= *b;
  }
  return str;
}

PAM_LIB_API int stricmp(const char *a, const char *b) noexcept {
  const auto *pa = reinterpret_cast<const unsigned char *>(a);
  const auto *pb = reinterpret_cast<const unsigned char *>(b);
  for (;; ++pa, ++pb) {
    int d = fold(*pa) - fold(*pb);
    if (d != 0 || *pa == '\0') return d;
  }
}

PAM_LIB_API int strnicmp(const char *a, const char *b, size_t count) noexcept {
  if (count == 0) return 0;
  const auto *pa = reinterpret_cast<const unsigned char *>(a);
  const auto *pb = reinterpret_cast<const unsigned char *>(b);
  int d = 0;
  for (size_t i = 0; i < count; ++i, ++pa, ++pb) {
    d = fold(*pa) - fold(*pb);
    if (d != 0 || *pa == '\0') return d;
  }
  return d;
}

PAM_LIB_API int safe_parse_number(const char *text, int64_t *result, int32_t base) noexcept {
  if (!text || !result) return -1;
  char buf[255];
  xstrncpy(buf, text, sizeof buf);
  size_t len = std::strlen(buf);
  if (len == 0) return -1;
  char *s = buf;
  bool invert = false;
  if (s[0] == '~') {
    if (len < 2) return -1;
    invert = true;
    ++s;
    --len;
  }
  if (base == 0 && s[len - 1] == 'b') {
    if (len < 2) return -1;
    base = 2;
  }
  errno = 0;
  char *end = nullptr;
  long long v = std::strtoll(s, &end, base);
  if (errno != 0 || end == s) return -1;
  *result = invert ? static_cast<int64_t>(~static_cast<uint64_t>(v)) : static_cast<int64_t>(v);
  return 0;
}

}  // extern "C"
