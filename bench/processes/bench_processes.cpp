// Cost of running a command from a host whose heap is large: system_unmasked
// and system_unblocked from a small process and from one with a 1 GiB
// touched heap, against a raw fork + system() + waitpid baseline (the way
// a forked runner behaves) measured in the same run.
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "util_linux.h"

namespace {

constexpr std::size_t kLargeHeap = std::size_t{1} << 30;
char *g_heap = nullptr;

void grow_heap() {
  if (g_heap) return;
  g_heap = static_cast<char *>(std::malloc(kLargeHeap));
  if (g_heap) std::memset(g_heap, 1, kLargeHeap);  // touch every page
}

void raw_fork_system() {
  pid_t pid = fork();
  if (pid == 0) _exit((std::system("true") >> 8) & 0xff);
  int st = 0;
  waitpid(pid, &st, 0);
  benchmark::DoNotOptimize(st);
}

void unmasked() { benchmark::DoNotOptimize(system_unmasked("true")); }

void unblocked() {
  char prog[] = "/bin/true";
  char *argv[] = {prog, nullptr};
  char *env[] = {nullptr};
  benchmark::DoNotOptimize(system_unblocked(argv, env));
}

template <void (*Run)(), bool Large>
void BM(benchmark::State &state) {
  if (Large) {
    grow_heap();
    if (!g_heap) {
      state.SkipWithError("cannot allocate 1 GiB");
      return;
    }
  }
  for (auto _ : state) Run();
}

// Small-process runs first: the heap grows once and stays.
BENCHMARK(BM<raw_fork_system, false>)->Name("raw_fork_system/small")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM<unmasked, false>)->Name("system_unmasked/small")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM<unblocked, false>)->Name("system_unblocked/small")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM<raw_fork_system, true>)->Name("raw_fork_system/1GiB")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM<unmasked, true>)->Name("system_unmasked/1GiB")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM<unblocked, true>)->Name("system_unblocked/1GiB")->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
