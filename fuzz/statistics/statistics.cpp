// The "free" and "mpstat" output parsers on fuzzed text (the option byte
// picks the parser). Results are a percentage or -1; the "free" figure stays
// within what a 64-bit division can give, so only crashes and sanitizer
// reports count.
#include <cstdint>
#include <string_view>

#include "../common/fuzz_support.hpp"
#include "util_linux/statistics.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  std::string_view text(reinterpret_cast<const char *>(data + 1), size - 1);
  if (data[0] & 1)
    pl::parse_mpstat_output(text);
  else
    pl::parse_free_output(text);
  return 0;
}
