// Reading one parameter through mgtweb's HTTP API (keep-alive, logged in),
// beside the same server answering a static file from memory and beside the
// bare library call DM_GetParam against the same mgtd, all in one run. With
// two client threads the API figure is the reads per second the server
// sustains on this machine's cores.
//
//   bench_mgtweb [--benchmark_...]   (e.g. --benchmark_repetitions=5)
#include <benchmark/benchmark.h>
#include <sys/socket.h>
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
std::map<std::string, double> g_web_cpu_us;  // mgtweb's CPU per read

class Reporter : public benchmark::ConsoleReporter {
 public:
  Reporter() : ConsoleReporter(OO_Tabular) {}
  void ReportRuns(const std::vector<Run> &runs) override {
    // With repetitions the median stands for the benchmark.
    for (const auto &r : runs) {
      if (r.run_type == Run::RT_Iteration) g_ns_per_read[r.run_name.str()] = r.GetAdjustedRealTime();
      bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
      if (median) g_ns_per_read[r.run_name.str()] = r.GetAdjustedRealTime();
      auto c = r.counters.find("web_cpu_us");
      if (c != r.counters.end() && (median || r.run_type == Run::RT_Iteration)) g_web_cpu_us[r.run_name.str()] = c->second;
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

// CPU time a process has used so far, in microseconds (from /proc).
double cpu_us(pid_t pid) {
  std::FILE *f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
  if (!f) return 0;
  char buf[1024] = {};
  std::size_t n = std::fread(buf, 1, sizeof buf - 1, f);
  std::fclose(f);
  buf[n] = 0;
  // Fields after the command name in parentheses: state is field 3, utime 14, stime 15.
  const char *p = std::strrchr(buf, ')');
  unsigned long utime = 0, stime = 0;
  if (!p || std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2) return 0;
  return static_cast<double>(utime + stime) * 1e6 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Server-side cost, steadier than wall time on a busy machine: the CPU time
// mgtweb and mgtd spent per read while the benchmark ran (thread 0 measures
// for all threads).
struct ServerCpu {
  double web = 0, daemon = 0;
  static ServerCpu now() { return {cpu_us(g_world->web().pid()), cpu_us(g_world->daemon().pid())}; }
};

void count_reads(benchmark::State &state, const ServerCpu &before) {
  state.counters["reads/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  if (state.thread_index() != 0 || state.iterations() == 0) return;
  ServerCpu after = ServerCpu::now();
  double reads = static_cast<double>(state.iterations()) * state.threads();
  state.counters["web_cpu_us"] = (after.web - before.web) / reads;
  state.counters["mgtd_cpu_us"] = (after.daemon - before.daemon) / reads;
}

// path: the API read, or /api/session (session check without the daemon),
// to tell the HTTP and session cost from the remote call's.
void api_reads(benchmark::State &state, const std::string &path) {
  webtest::ApiUser user(g_world->web().port(), "admin", "admin");
  if (user.login_status != 200) {
    state.SkipWithError("login failed");
    return;
  }
  ServerCpu before = ServerCpu::now();
  for (auto _ : state) {
    webtest::Reply r = user.call("GET", path);
    if (r.status != 200) {
      state.SkipWithError("read failed");
      break;
    }
    benchmark::DoNotOptimize(r.body.data());
  }
  count_reads(state, before);
}

void BM_ApiRead(benchmark::State &state) { api_reads(state, std::string("/api/param?name=") + kParam); }
void BM_ApiSession(benchmark::State &state) { api_reads(state, "/api/session"); }

void BM_StaticFile(benchmark::State &state) {
  webtest::HttpClient http(g_world->web().port());
  ServerCpu before = ServerCpu::now();
  for (auto _ : state) {
    webtest::Reply r = http.request("GET", "/favicon.svg");
    if (r.status != 200) {
      state.SkipWithError("static read failed");
      break;
    }
    benchmark::DoNotOptimize(r.body.data());
  }
  count_reads(state, before);
}

void BM_LibraryCall(benchmark::State &state) {
  char value[DM_TEXT_SIZE];
  ServerCpu before = ServerCpu::now();
  for (auto _ : state) {
    if (DM_GetParam(kParam, static_cast<int>(sizeof value), value, 0) == -1) {
      state.SkipWithError("DM_GetParam failed");
      break;
    }
    benchmark::DoNotOptimize(value);
  }
  count_reads(state, before);
}

BENCHMARK(BM_LibraryCall)->UseRealTime();
BENCHMARK(BM_StaticFile)->UseRealTime();
BENCHMARK(BM_ApiSession)->UseRealTime();
BENCHMARK(BM_ApiRead)->UseRealTime();
BENCHMARK(BM_StaticFile)->Threads(2)->UseRealTime();
BENCHMARK(BM_ApiRead)->Threads(2)->UseRealTime();

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  webtest::World world;
  if (!world.missing().empty() || !world.web().ready()) {
    std::fprintf(stderr, "bench_mgtweb: cannot start mgtd and mgtweb: %s\n", world.missing().c_str());
    return 1;
  }
  g_world = &world;
  set_socket(testsupport::connect_unix(world.daemon().socket()));
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
  double cpu_api = g_web_cpu_us["BM_ApiRead/real_time"], cpu_stat = g_web_cpu_us["BM_StaticFile/real_time"];
  if (cpu_api > 0 && cpu_stat > 0)
    std::printf("  mgtweb CPU per read: API %.1f us, static %.1f us, ratio %.2f\n", cpu_api, cpu_stat, cpu_api / cpu_stat);
  if (api2 > 0 && stat2 > 0)
    std::printf("two clients: API read %.0f reads/s (goal >= 5000); static %.0f/s; API / static %.2f\n",
                1e9 / api2, 1e9 / stat2, api2 / stat2);
  close(get_socket());
  set_socket(-1);
  benchmark::Shutdown();
  return 0;
}
