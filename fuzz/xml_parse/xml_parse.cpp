// expat_XMLParse on a file from the fuzzer, with fixed record and field
// names. The callback reads every field text to its terminator, so a text
// that is not terminated or lies outside the buffer shows up under ASan.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "../common/fuzz_support.hpp"
#include "util_linux.h"

namespace {

const char *const kFields[] = {"name", "value", "a", "b", nullptr, "rec"};
constexpr int kFieldCount = 6;  // a null entry and the record name itself too
volatile size_t g_sink = 0;

int on_record(XmlParseCtx *ctx, uintptr_t arg) {
  if (arg != 0x5eed) __builtin_trap();
  for (int i = 0; i < ctx->field_count; ++i) {
    const char *v = ctx->field_values[i];
    if (!v) continue;
    // Every text lies within the context's text buffer.
    if (v < ctx->text_buffer || v >= ctx->text_buffer + XML_PARSE_TEXT_BUFFER_SIZE) __builtin_trap();
    g_sink = g_sink + std::strlen(v);
  }
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const std::string path = fuzzsupport::temp_dir() + "/input.xml";
  FILE *f = std::fopen(path.c_str(), "wb");
  if (!f) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  expat_XMLParse(path.c_str(), kFields, kFieldCount, "rec", on_record, 0x5eed);
  return 0;
}
