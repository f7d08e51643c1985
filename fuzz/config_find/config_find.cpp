// find_config_line over fuzzed file contents, key and separator: every
// matching line of the stream in turn, as a caller scanning a file does.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "../common/fuzz_support.hpp"
#include "util_linux.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const int sep = data[0];  // then the key and the file contents
  FuzzedDataProvider fdp(data + 1, size - 1);
  const std::string key = fdp.ConsumeRandomLengthString(64);
  std::string contents = fdp.ConsumeRemainingBytesAsString();
  FILE *stream = ::fmemopen(contents.empty() ? nullptr : contents.data(),
                            contents.empty() ? 1 : contents.size(), "r");
  if (!stream) return 0;
  int32_t counter = 0;
  int32_t last = 0;
  for (;;) {
    char *line = nullptr;
    int r = find_config_line(&line, &counter, key.c_str(), sep, stream);
    // A found value is a terminated text within the buffer (after -1 the
    // buffer holds nothing defined; it is only released).
    if (r == 0 && (!line || std::strlen(line) > contents.size())) __builtin_trap();
    std::free(line);
    if (r != 0) break;
    if (counter <= last) __builtin_trap();  // each find reads at least one line
    last = counter;
  }
  std::fclose(stream);
  return 0;
}
