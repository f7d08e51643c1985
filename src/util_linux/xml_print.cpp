// XML output: one element with escaped text, written to a stdio stream.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "util_linux.h"

namespace {

// Plain bytes go out in blocks of at most this size, so a long text never
// needs a buffer of its own.
constexpr std::size_t kBlock = 100;

const char *entity_for(char c) noexcept {
  switch (c) {
    case '&': return "&amp;";
    case '"': return "&quot;";
    case '<': return "&lt;";
    case '>': return "&gt;";
    default: return nullptr;
  }
}

// The stream is locked once for the whole element; the unlocked stdio calls
// below keep the per-block cost low on long texts.
class StreamLock {
 public:
  explicit StreamLock(std::FILE *f) noexcept : f_(f) { flockfile(f_); }
  ~StreamLock() { funlockfile(f_); }
  StreamLock(const StreamLock &) = delete;
  StreamLock &operator=(const StreamLock &) = delete;

 private:
  std::FILE *f_;
};

bool put_bytes(std::FILE *f, const char *p, std::size_t n) noexcept {
  return n == 0 || fwrite_unlocked(p, 1, n, f) == n;
}

// Length of the run of plain bytes at the start of p[0..n). Sixteen bytes
// are tested at a time: (c | 4) == '&' matches '"' and '&', (c | 2) == '>'
// matches '<' and '>'.
std::size_t plain_run(const char *p, std::size_t n) noexcept {
  using Bytes = unsigned char __attribute__((vector_size(16)));
  std::size_t i = 0;
  for (; i + sizeof(Bytes) <= n; i += sizeof(Bytes)) {
    Bytes v;
    std::memcpy(&v, p + i, sizeof v);
    auto hit = ((v | 4) == '&') | ((v | 2) == '>');
    uint64_t half[2];
    std::memcpy(half, &hit, sizeof half);
    if (half[0] | half[1]) break;
  }
  for (; i < n; ++i)
    if (entity_for(p[i])) break;
  return i;
}

bool put_text(std::FILE *f, const char *s) noexcept { return put_bytes(f, s, std::strlen(s)); }

}  // namespace

extern "C" {

PAM_LIB_API int XmlPrintStr(FILE *stream, const char *name, const char *text, int indent) noexcept {
  if (!text) return 0;
  if (!stream || !name) return -1;
  StreamLock lock(stream);
  bool ok = true;
  for (int i = 0; i < indent; ++i) ok &= putc_unlocked('\t', stream) != EOF;
  ok &= putc_unlocked('<', stream) != EOF;
  ok &= put_text(stream, name);
  ok &= putc_unlocked('>', stream) != EOF;

  const char *p = text;
  const char *end = p + std::strlen(p);
  for (;;) {
    // A run of plain bytes ends at the next byte to escape or at the NUL.
    std::size_t run = plain_run(p, static_cast<std::size_t>(end - p));
    while (run > 0) {
      std::size_t n = run < kBlock ? run : kBlock;
      ok &= put_bytes(stream, p, n);
      p += n;
      run -= n;
    }
    if (p == end) break;
    ok &= put_text(stream, entity_for(*p));
    ++p;
  }

  ok &= put_bytes(stream, "</", 2);
  ok &= put_text(stream, name);
  ok &= putc_unlocked('>', stream) != EOF;
  return ok ? 0 : -1;
}

PAM_LIB_API int XmlPrintLine(FILE *stream, const char *name, const char *text, int indent) noexcept {
  if (!text) return 0;
  int rc = XmlPrintStr(stream, name, text, indent);
  if (rc != 0) return rc;
  return std::fputc('\n', stream) == EOF ? -1 : 0;
}

}  // extern "C"
