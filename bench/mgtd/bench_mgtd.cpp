// mgtd's cost per call for one client, beside a raw baseline in the same run:
// a thread that answers each request-sized frame with a reply-sized one over
// an AF_UNIX stream socket (the floor of any daemon). With root, the call is
// also measured while 200 connections of uid 65534 sit idle, and the
// daemon's figures for them are reported: connections admitted, threads and
// resident memory.
//
//   bench_mgtd [--benchmark_...]
//   MGTD_BEFORE=path/to/old/mgtd MGTD_BEFORE_MODEL=its.model bench_mgtd
//       adds the same call against another build of the daemon ("before").
#include <benchmark/benchmark.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "pam_lib.h"
#include "ratio_reporter.hpp"
#include "pam_lib/context.hpp"
#include "pam_lib/transport.hpp"
#include "support/mgtd_process.hpp"

namespace {

constexpr int kNobody = 65534;
constexpr int kIdle = 200;

// A private directory, removed at the end.
struct Dir {
  std::string path;
  Dir() {
    char t[] = "/tmp/bench_mgtd.XXXXXX";
    if (mkdtemp(t)) path = t;
    chmod(path.c_str(), 0711);  // uid 65534 reaches the socket inside
  }
  ~Dir() {
    std::string cmd = "rm -rf '" + path + "'";
    if (std::system(cmd.c_str()) != 0) { /* best effort */ }
  }
};

std::unique_ptr<testsupport::MgtdProcess> start(const Dir &d, const char *bin, const char *model,
                                                bool open_to_nobody) {
  std::vector<std::string> extra = {"--model", model};
  if (open_to_nobody) extra.insert(extra.end(), {"--socket-group", std::to_string(kNobody)});
  auto p = std::make_unique<testsupport::MgtdProcess>(bin, d.path, extra);
  return p->ready() ? std::move(p) : nullptr;
}

// CPU time the daemon's threads have used, in ns (steadier than wall time on
// a loaded machine).
double daemon_cpu_ns(pid_t pid) {
  double sum = 0;
  std::string dir = "/proc/" + std::to_string(pid) + "/task";
  for (const auto &t : std::filesystem::directory_iterator(dir)) {
    std::ifstream in(t.path() / "schedstat");
    double ns = 0;
    if (in >> ns) sum += ns;
  }
  return sum;
}

void calls(benchmark::State &state, int fd, pid_t daemon) {
  pl::testing::reset_client_context();
  set_socket(fd);
  set_privelege(3);
  char buf[64];
  double cpu0 = daemon_cpu_ns(daemon);
  for (auto _ : state)
    if (DM_GetParam("system.hostname", sizeof buf, buf, 0) != 0) {
      state.SkipWithError("call failed");
      break;
    }
  double cpu = daemon_cpu_ns(daemon) - cpu0;
  state.counters["calls/s"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                 benchmark::Counter::kIsRate);
  state.counters["daemon_ns/call"] = cpu / static_cast<double>(std::max<int64_t>(1, state.iterations()));
  close(fd);
}

void Call(benchmark::State &state, const char *bin, const char *model) {
  Dir d;
  auto p = start(d, bin, model, false);
  if (!p) return state.SkipWithError("the daemon did not start");
  calls(state, pl::client_open_sock(p->socket().c_str()), p->pid());
}

long status_field(pid_t pid, const char *field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
  return -1;
}

// A child of uid 65534 holding kIdle connections until told to go; reports
// how many the daemon kept open.
void CallWithIdle(benchmark::State &state) {
  if (geteuid() != 0) return state.SkipWithError("needs root to hold connections as uid 65534");
  Dir d;
  auto p = start(d, MGTD_PATH, MGTD_MODEL, true);
  if (!p) return state.SkipWithError("the daemon did not start");
  long rss0 = status_field(p->pid(), "VmRSS:"), threads0 = status_field(p->pid(), "Threads:");
  int up[2], go[2];
  if (pipe(up) != 0 || pipe(go) != 0) return state.SkipWithError("pipe");
  pid_t child = fork();
  if (child == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(1);
    std::vector<int> fds;
    for (int i = 0; i < kIdle; ++i) fds.push_back(testsupport::connect_unix(p->socket()));
    usleep(200000);  // the daemon closes those over its caps meanwhile
    unsigned char open = 0;
    for (int fd : fds) {
      pollfd q{fd, POLLIN, 0};
      if (fd >= 0 && poll(&q, 1, 0) == 0) ++open;  // nothing to read: still open
    }
    char c;
    if (write(up[1], &open, 1) != 1 || read(go[0], &c, 1) != 1) _exit(1);
    _exit(0);
  }
  unsigned char admitted = 0;
  if (read(up[0], &admitted, 1) != 1) return state.SkipWithError("the idle client failed");
  long rss1 = status_field(p->pid(), "VmRSS:"), threads1 = status_field(p->pid(), "Threads:");
  calls(state, pl::client_open_sock(p->socket().c_str()), p->pid());
  if (write(go[1], "g", 1) != 1) { /* the child ends with the pipe anyway */ }
  waitpid(child, nullptr, 0);
  for (int fd : {up[0], up[1], go[0], go[1]}) close(fd);
  state.counters["idle_admitted"] = admitted;
  state.counters["idle_threads"] = static_cast<double>(threads1 - threads0);
  state.counters["idle_rss_kib"] = static_cast<double>(rss1 - rss0);
}

// The raw floor: a 64-byte request, a 52-byte answer, over a socketpair to
// a thread.
void RawRoundTrip(benchmark::State &state) {
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return state.SkipWithError("socketpair");
  std::thread echo([fd = sv[1]] {
    char in[64], out[52] = {};
    for (;;) {
      if (recv(fd, in, sizeof in, MSG_WAITALL) != sizeof in) return;
      if (send(fd, out, sizeof out, MSG_NOSIGNAL) != sizeof out) return;
    }
  });
  char req[64] = {}, rep[52];
  for (auto _ : state) {
    if (send(sv[0], req, sizeof req, MSG_NOSIGNAL) != sizeof req ||
        recv(sv[0], rep, sizeof rep, MSG_WAITALL) != sizeof rep)
      state.SkipWithError("echo");
  }
  state.counters["calls/s"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                 benchmark::Counter::kIsRate);
  shutdown(sv[0], SHUT_RDWR);
  echo.join();
  close(sv[0]);
  close(sv[1]);
}

// Each call's time as a ratio of the raw round trip and of the call without idle connections.
void print_ratios(const RatioReporter &r) {
  auto t = [&](const char *n) { return r.real_time(n); };
  for (const char *n : {"Call/this", "Call/before", "Call/this/200_idle_of_uid_65534"})
    if (t(n) > 0 && t("RawRoundTrip") > 0) std::printf("%s: %.2f x the raw round trip\n", n, t(n) / t("RawRoundTrip"));
  if (t("Call/before") > 0) std::printf("Call/this: %.2f x Call/before\n", t("Call/this") / t("Call/before"));
  if (t("Call/this/200_idle_of_uid_65534") > 0)
    std::printf("with 200 idle connections: %.2f x Call/this\n", t("Call/this/200_idle_of_uid_65534") / t("Call/this"));
}

}  // namespace

int main(int argc, char **argv) {
  signal(SIGPIPE, SIG_IGN);
  benchmark::Initialize(&argc, argv);
  benchmark::RegisterBenchmark("RawRoundTrip", RawRoundTrip)->UseRealTime();
  benchmark::RegisterBenchmark("Call/this", Call, MGTD_PATH, MGTD_MODEL)->UseRealTime();
  const char *before = std::getenv("MGTD_BEFORE");
  const char *before_model = std::getenv("MGTD_BEFORE_MODEL");
  if (before && *before)
    benchmark::RegisterBenchmark("Call/before", Call, before, before_model ? before_model : MGTD_MODEL)
        ->UseRealTime();
  benchmark::RegisterBenchmark("Call/this/200_idle_of_uid_65534", CallWithIdle)->UseRealTime();
  RatioReporter r;
  benchmark::RunSpecifiedBenchmarks(&r);
  print_ratios(r);
  benchmark::Shutdown();
  return 0;
}
