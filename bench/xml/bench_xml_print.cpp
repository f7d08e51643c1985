// XmlPrintStr writing 50 MB of text with 1% characters to escape, against
// fwrite of the same output bytes to the same kind of stream.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <unistd.h>

#include "ratio_reporter.hpp"
#include "util_linux.h"

namespace {

constexpr std::size_t kSize = 50u << 20;

struct Data {
  std::string text, escaped;
  Data() {
    std::mt19937 rng(7);
    const char specials[] = "&\"<>";
    text.resize(kSize);
    for (auto &c : text) c = (rng() % 100 == 0) ? specials[rng() % 4] : static_cast<char>('a' + rng() % 26);
    escaped = "<text>";
    for (char c : text) {
      switch (c) {
        case '&': escaped += "&amp;"; break;
        case '"': escaped += "&quot;"; break;
        case '<': escaped += "&lt;"; break;
        case '>': escaped += "&gt;"; break;
        default: escaped += c;
      }
    }
    escaped += "</text>";
  }
};

const Data &data() {
  static Data d;
  return d;
}

// A regular file, emptied before each pass, so both sides pay for the same
// stream and the same file-system writes. Benchmark argument 0: stdio's
// default buffer; otherwise a buffer of that many bytes.
FILE *sink(benchmark::State &state) {
  static std::string path = [] {
    const char *tmp = std::getenv("TMPDIR");
    return std::string(tmp ? tmp : "/tmp") + "/bench_xml_print." + std::to_string(::getpid());
  }();
  FILE *f = std::fopen(path.c_str(), "w");
  ::unlink(path.c_str());
  if (state.range(0) > 0) std::setvbuf(f, nullptr, _IOFBF, static_cast<std::size_t>(state.range(0)));
  return f;
}

void BM_fwrite(benchmark::State &state) {
  const std::string &out = data().escaped;
  for (auto _ : state) {
    FILE *f = sink(state);
    if (std::fwrite(out.data(), 1, out.size(), f) != out.size()) state.SkipWithError("write failed");
    std::fclose(f);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(out.size()));
}

void BM_XmlPrintStr(benchmark::State &state) {
  const Data &d = data();
  for (auto _ : state) {
    FILE *f = sink(state);
    if (XmlPrintStr(f, "text", d.text.c_str(), 0) != 0) state.SkipWithError("write failed");
    std::fclose(f);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(d.escaped.size()));
}

BENCHMARK(BM_fwrite)->Arg(0)->Arg(1 << 20)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_XmlPrintStr)->Arg(0)->Arg(1 << 20)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char **argv) { return run_with_ratio(argc, argv, "BM_XmlPrintStr", "BM_fwrite", 0.8); }
