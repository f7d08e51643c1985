// Reading one parameter through mgtweb's HTTP API (keep-alive, logged in),
// beside the same server answering a static file from memory and beside the
// bare library call DM_GetParam against the same mgtd, all in one run. With
// two client threads the API figure is the reads per second the server
// sustains on this machine's cores.
//
//   bench_mgtweb [--benchmark_...]   (e.g. --benchmark_repetitions=5)
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <vector>

#include "pam_lib.h"
#include "web_env.hpp"

namespace {

webtest::World *g_world = nullptr;
constexpr const char *kParam = "system.hostname";
// Wall time per read of each benchmark as reported (with several client
// threads: the run's wall time over all their reads, so 1e9 / it is the
// server's throughput).
std::map<std::string, double> g_ns_per_read;

class Reporter : public benchmark::ConsoleReporter {
 public:
  Reporter() : ConsoleReporter(OO_Tabular) {}
  void ReportRuns(const std::vector<Run> &runs) override {
    // With repetitions the median stands for the benchmark.
    for (const auto &r : runs) {
      if (r.run_type == Run::RT_Iteration) g_ns_per_read[r.run_name.str()] = r.GetAdjustedRealTime();
      if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median")
        g_ns_per_read[r.run_name.str()] = r.GetAdjustedRealTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

void count_reads(benchmark::State &state) {
  state.counters["reads/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// path: the API read, or /api/session (session check without the daemon),
// to tell the HTTP and session cost from the remote call's.
void api_reads(benchmark::State &state, const std::string &path) {
  webtest::ApiUser user(g_world->web().port(), "admin", "admin");
  if (user.login_status != 200) {
    state.SkipWithError("login failed");
    return;
  }
  for (auto _ : state) {
    webtest::Reply r = user.call("GET", path);
    if (r.status != 200) {
      state.SkipWithError("read failed");
      break;
    }
    benchmark::DoNotOptimize(r.body.data());
  }
  count_reads(state);
}

void BM_ApiRead(benchmark::State &state) { api_reads(state, std::string("/api/param?name=") + kParam); }
void BM_ApiSession(benchmark::State &state) { api_reads(state, "/api/session"); }

void BM_StaticFile(benchmark::State &state) {
  webtest::HttpClient http(g_world->web().port());
  for (auto _ : state) {
    webtest::Reply r = http.request("GET", "/favicon.svg");
    if (r.status != 200) {
      state.SkipWithError("static read failed");
      break;
    }
    benchmark::DoNotOptimize(r.body.data());
  }
  count_reads(state);
}

void BM_LibraryCall(benchmark::State &state) {
  char value[DM_TEXT_SIZE];
  for (auto _ : state) {
    if (DM_GetParam(kParam, static_cast<int>(sizeof value), value, 0) == -1) {
      state.SkipWithError("DM_GetParam failed");
      break;
    }
    benchmark::DoNotOptimize(value);
  }
  count_reads(state);
}

BENCHMARK(BM_LibraryCall)->UseRealTime();
BENCHMARK(BM_StaticFile)->UseRealTime();
BENCHMARK(BM_ApiSession)->UseRealTime();
BENCHMARK(BM_ApiRead)->UseRealTime();
BENCHMARK(BM_StaticFile)->Threads(2)->UseRealTime();
BENCHMARK(BM_ApiRead)->Threads(2)->UseRealTime();

int connect_daemon(const std::string &path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) return fd;
  if (fd >= 0) close(fd);
  return -1;
}

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  webtest::World world;
  if (!world.missing().empty() || !world.web().ready()) {
    std::fprintf(stderr, "bench_mgtweb: cannot start mgtd and mgtweb: %s\n", world.missing().c_str());
    return 1;
  }
  g_world = &world;
  set_socket(connect_daemon(world.daemon().socket()));
  set_privelege(3);
  Reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto ns = [](const char *name) {
    auto it = g_ns_per_read.find(name);
    return it == g_ns_per_read.end() ? 0.0 : it->second;
  };
  double lib = ns("BM_LibraryCall/real_time"), stat = ns("BM_StaticFile/real_time"), api = ns("BM_ApiRead/real_time");
  double session = ns("BM_ApiSession/real_time");
  double api2 = ns("BM_ApiRead/real_time/threads:2"), stat2 = ns("BM_StaticFile/real_time/threads:2");
  if (lib > 0 && stat > 0 && api > 0) {
    std::printf("\none client:  API read %.0f reads/s; static %.0f/s; library %.0f/s\n", 1e9 / api, 1e9 / stat, 1e9 / lib);
    std::printf("  API / static response: %.2f (goal <= 2)\n", api / stat);
    std::printf("  API / bare library call: %.2f\n", api / lib);
    if (session > 0) std::printf("  session check without the daemon / static: %.2f\n", session / stat);
  }
  if (api2 > 0 && stat2 > 0)
    std::printf("two clients: API read %.0f reads/s (goal >= 5000); static %.0f/s; API / static %.2f\n",
                1e9 / api2, 1e9 / stat2, api2 / stat2);
  close(get_socket());
  set_socket(-1);
  benchmark::Shutdown();
  return 0;
}
