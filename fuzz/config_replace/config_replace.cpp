// replace_tag_lines on fuzzed file contents, tag and replacement lines, on a
// file in this process's temporary directory. Whatever the input, the file
// is rewritten (never left unchanged with -2), and the replacement block is
// in it afterwards.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "../common/fuzz_support.hpp"
#include "util_linux.h"

namespace {

std::string slurp(const std::string &path) {
  std::string out;
  FILE *f = std::fopen(path.c_str(), "rb");
  if (!f) return out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  std::fclose(f);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const std::string path = fuzzsupport::temp_dir() + "/conf";
  if (size < 1) return 0;
  // Option byte: bit 0 comment flag, bit 1 replacement lines given, bits 2-3
  // their number less one. Then the tag, the lines and the file contents.
  const uint8_t flags = data[0];
  FuzzedDataProvider fdp(data + 1, size - 1);
  const int comment = flags & 1;
  const bool with_lines = flags & 2;
  const std::string tag = fdp.ConsumeRandomLengthString(32);
  std::vector<std::string> lines;
  const int count = with_lines ? 1 + (flags >> 2 & 3) : -1;
  for (int i = 0; with_lines && i < count; ++i) {
    std::string l = fdp.ConsumeRandomLengthString(64);
    lines.push_back(l.substr(0, l.find('\0')));  // C strings end at a NUL
  }
  const std::string contents = fdp.ConsumeRemainingBytesAsString();

  FILE *f = std::fopen(path.c_str(), "wb");
  if (!f) return 0;
  std::fwrite(contents.data(), 1, contents.size(), f);
  std::fclose(f);

  std::vector<char *> ptrs;
  for (auto &l : lines) ptrs.push_back(l.data());
  int r = replace_tag_lines(tag.c_str(), with_lines ? ptrs.data() : nullptr, count, path.c_str(),
                            comment);
  if (r < 0) __builtin_trap();
  if (with_lines) {
    std::string block;
    for (auto &l : lines) block += (comment ? "#" : "") + l + "\n";
    if (slurp(path).find(block) == std::string::npos) __builtin_trap();
  }
  return 0;
}
