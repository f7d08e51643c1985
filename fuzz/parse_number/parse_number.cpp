// safe_parse_number on arbitrary text and bases.
#include <cstdint>
#include <string>

#include "util_linux.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  int32_t base = data[0] % 40;  // valid and invalid bases
  std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
  int64_t v = 0;
  safe_parse_number(text.c_str(), &v, base);
  return 0;
}
