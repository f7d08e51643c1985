// expat_XMLParse over a 50 MB record file, against a bare expat parse of
// the same file with empty handlers.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <expat.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "ratio_reporter.hpp"
#include "util_linux.h"

namespace {

constexpr std::size_t kSize = 50u << 20;

// A flat record file: <list><rec><name>..</name><value>..</value>...</rec>...
const std::string &file() {
  static std::string path = [] {
    const char *tmp = std::getenv("TMPDIR");
    std::string p = std::string(tmp ? tmp : "/tmp") + "/bench_xml_parse." + std::to_string(::getpid()) + ".xml";
    FILE *f = std::fopen(p.c_str(), "w");
    std::fputs("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<list>\n", f);
    std::size_t written = 0;
    for (unsigned i = 0; written < kSize; ++i) {
      written += static_cast<std::size_t>(std::fprintf(
          f,
          "  <rec>\n    <name>entry-%u</name>\n    <value>%u &amp; more text for the value of this entry</value>\n"
          "    <owner>user%u</owner>\n    <comment>Gr\xC3\xBC\xC3\x9F" "e, nothing special here: %u</comment>\n"
          "  </rec>\n",
          i, i * 7, i % 100, i));
    }
    std::fputs("</list>\n", f);
    std::fclose(f);
    return p;
  }();
  return path;
}

std::size_t file_size() {
  struct stat st;
  return ::stat(file().c_str(), &st) == 0 ? static_cast<std::size_t>(st.st_size) : 0;
}

struct Cleanup {
  ~Cleanup() { ::unlink(file().c_str()); }
};

int on_record(XmlParseCtx *ctx, uintptr_t arg) {
  auto *count = reinterpret_cast<unsigned long *>(arg);
  if (ctx->field_values[0]) ++*count;
  return 0;
}

void XMLCALL no_start(void *, const XML_Char *, const XML_Char **) {}
void XMLCALL no_end(void *, const XML_Char *) {}
void XMLCALL no_text(void *, const XML_Char *, int) {}

void BM_bare_expat(benchmark::State &state) {
  const std::string &path = file();
  std::size_t bytes = 0;
  for (auto _ : state) {
    FILE *f = std::fopen(path.c_str(), "r");
    XML_Parser p = XML_ParserCreate(nullptr);
    XML_SetElementHandler(p, no_start, no_end);
    XML_SetCharacterDataHandler(p, no_text);
    for (;;) {
      void *buf = XML_GetBuffer(p, 1 << 16);
      std::size_t n = std::fread(buf, 1, 1 << 16, f);
      bytes += n;
      if (XML_ParseBuffer(p, static_cast<int>(n), n == 0) == XML_STATUS_ERROR) state.SkipWithError("parse error");
      if (n == 0) break;
    }
    XML_ParserFree(p);
    std::fclose(f);
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

void BM_expat_XMLParse(benchmark::State &state) {
  const std::string &path = file();
  const char *fields[] = {"name", "value", "owner", "comment"};
  std::size_t bytes = 0;
  for (auto _ : state) {
    unsigned long records = 0;
    if (expat_XMLParse(path.c_str(), fields, 4, "rec", on_record, reinterpret_cast<uintptr_t>(&records)) != 0)
      state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(records);
    bytes += file_size();
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

BENCHMARK(BM_bare_expat)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_expat_XMLParse)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char **argv) {
  Cleanup cleanup;
  return run_with_ratio(argc, argv, "BM_expat_XMLParse", "BM_bare_expat", 0.8);
}
