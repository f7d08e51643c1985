// Cost of one remote call and of streaming XML output, each beside a raw
// baseline measured in the same run against the same peer process: an echo
// process on an AF_UNIX stream socket that answers a small request with a
// 52-byte reply (48-byte header, 4 data bytes) and a stream request with
// REPLY_XML frames followed by a result frame.
//
//   bench_exchange [--benchmark_...]       the benchmarks
//   bench_exchange --calls N [--timeout]   N small calls only (for strace -c)
#include <benchmark/benchmark.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "pam_lib.h"
#include "pam_lib/context.hpp"
#include "pam_lib/exchange.hpp"
#include "pam_lib/wire.hpp"

namespace {

constexpr uint32_t kOpSmall = 1;
constexpr uint32_t kOpStream = 2;
constexpr int kFrameData = 64 * 1024;  // XML bytes per frame
constexpr int64_t kStreamBytes = 256LL << 20;

int g_sock = -1;
pid_t g_child = -1;

bool read_all(int fd, void *buf, size_t n) {
  auto *p = static_cast<char *>(buf);
  while (n) {
    ssize_t k = ::recv(fd, p, n, 0);
    if (k <= 0) return false;
    p += k;
    n -= static_cast<size_t>(k);
  }
  return true;
}

bool write_all(int fd, const void *buf, size_t n) {
  auto *p = static_cast<const char *>(buf);
  while (n) {
    ssize_t k = ::send(fd, p, n, MSG_NOSIGNAL);
    if (k <= 0) return false;
    p += k;
    n -= static_cast<size_t>(k);
  }
  return true;
}

REPLY_HDR reply_header(int32_t type, uint32_t seq, int32_t data_len, int32_t result) {
  REPLY_HDR h{};
  h.type = type;
  h.magic = MSG_MAGIC;
  h.seq = seq;
  h.data_len = data_len;
  h.result = result;
  return h;
}

// The peer process: one request at a time, answered from the same code for
// the raw and the library client.
[[noreturn]] void echo_process(int fd) {
  static char in[SERVER_BUFFER_SIZE];
  static char frame[sizeof(REPLY_HDR) + kFrameData];
  std::memset(frame + sizeof(REPLY_HDR), 'x', kFrameData);
  for (;;) {
    ssize_t n = ::recv(fd, in, sizeof in, 0);
    if (n <= 0) _exit(0);
    while (n < MSG_HDR_LEN) {
      ssize_t k = ::recv(fd, in + n, sizeof in - static_cast<size_t>(n), 0);
      if (k <= 0) _exit(0);
      n += k;
    }
    MSG_HDR hdr;
    std::memcpy(&hdr, in, sizeof hdr);
    if (n < static_cast<ssize_t>(hdr.total_len) &&
        !read_all(fd, in + n, hdr.total_len - static_cast<size_t>(n)))
      _exit(0);
    if (hdr.opcode == kOpSmall) {
      char out[52];
      REPLY_HDR h = reply_header(REPLY_RESULT, hdr.seq, 4, 0);
      std::memcpy(out, &h, sizeof h);
      std::memcpy(out + 48, in + 59, 4);  // the integer item, echoed
      if (!write_all(fd, out, sizeof out)) _exit(0);
    } else {
      for (int64_t left = kStreamBytes; left > 0; left -= kFrameData) {
        REPLY_HDR h = reply_header(REPLY_XML, hdr.seq, kFrameData, 0);
        std::memcpy(frame, &h, sizeof h);
        if (!write_all(fd, frame, sizeof frame)) _exit(0);
      }
      REPLY_HDR h = reply_header(REPLY_RESULT, hdr.seq, 0, 0);
      if (!write_all(fd, &h, sizeof h)) _exit(0);
    }
  }
}

void start_peer() {
  int sv[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) std::abort();
  g_child = ::fork();
  if (g_child == 0) {
    ::close(sv[0]);
    echo_process(sv[1]);
  }
  ::close(sv[1]);
  g_sock = sv[0];
  set_socket(g_sock);
}

void stop_peer() {
  ::close(g_sock);
  ::waitpid(g_child, nullptr, 0);
}

// The request that the library sends for a small call, encoded once for the
// raw client (64-72 bytes: header, one integer, one 4-byte out item).
std::string raw_request(uint32_t opcode) {
  int32_t out;
  MSG *m = CreateMsg(opcode);
  AddIntToMsg(m, 1234);
  AddPtrToMsg(m, 4, &out);
  unsigned char buf[SERVER_BUFFER_SIZE];
  int len = pl::PrepareSendMsg(m, buf, 0);
  std::free(m);
  return std::string(reinterpret_cast<char *>(buf), static_cast<size_t>(len));
}

int small_call() {
  int32_t out = 0;
  MSG *m = CreateMsg(kOpSmall);
  AddIntToMsg(m, 1234);
  AddPtrToMsg(m, 4, &out);
  int r = SendAndRcv(m);
  if (r != 0 || out != 1234) std::abort();
  return out;
}

void BM_RawRoundTrip(benchmark::State &state) {
  const std::string req = raw_request(kOpSmall);
  char reply[52];
  for (auto _ : state) {
    ::send(g_sock, req.data(), req.size(), MSG_NOSIGNAL);
    ::recv(g_sock, reply, sizeof reply, MSG_WAITALL);
    benchmark::DoNotOptimize(reply);
  }
  state.counters["request_bytes"] = static_cast<double>(req.size());
}

void BM_RawRoundTripPoll(benchmark::State &state) {
  const std::string req = raw_request(kOpSmall);
  char reply[52];
  for (auto _ : state) {
    ::send(g_sock, req.data(), req.size(), MSG_NOSIGNAL);
    size_t got = 0;
    while (got < sizeof reply) {
      pollfd pfd{g_sock, POLLIN, 0};
      ::poll(&pfd, 1, 5000);
      got += static_cast<size_t>(::recv(g_sock, reply + got, sizeof reply - got, MSG_DONTWAIT));
    }
    benchmark::DoNotOptimize(reply);
  }
}

void BM_SendAndRcv(benchmark::State &state) {
  pl::g_ctx.timeout = static_cast<int32_t>(state.range(0));
  for (auto _ : state) benchmark::DoNotOptimize(small_call());
  pl::g_ctx.timeout = 0;
}

// Building and freeing the request alone (part of every small call; the
// thread priority lookup in CreateMsg is a system call of its own).
void BM_BuildMessageOnly(benchmark::State &state) {
  int32_t out = 0;
  for (auto _ : state) {
    MSG *m = CreateMsg(kOpSmall);
    AddIntToMsg(m, 1234);
    AddPtrToMsg(m, 4, &out);
    benchmark::DoNotOptimize(m);
    std::free(m);
  }
}

long max_rss_kb() {
  rusage ru;
  ::getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss;
}

std::string stream_dir() {
  const char *d = std::getenv("BENCH_DIR");
  return d && *d ? d : "/tmp";
}

void BM_RawStream(benchmark::State &state) {
  const std::string req = raw_request(kOpStream);
  const std::string path = stream_dir() + "/bench_exchange_raw." + std::to_string(getpid());
  const int64_t total = (kStreamBytes / kFrameData) * (48 + kFrameData) + 48;
  char buf[4096];
  for (auto _ : state) {
    FILE *f = std::fopen(path.c_str(), "w");
    ::send(g_sock, req.data(), req.size(), MSG_NOSIGNAL);
    for (int64_t got = 0; got < total;) {
      ssize_t n = ::read(g_sock, buf, sizeof buf);
      if (n <= 0) std::abort();
      std::fwrite(buf, 1, static_cast<size_t>(n), f);
      got += n;
    }
    std::fclose(f);
  }
  ::unlink(path.c_str());
  state.SetBytesProcessed(state.iterations() * kStreamBytes);
}

void BM_XmlStream(benchmark::State &state) {
  const std::string base = stream_dir() + "/bench_exchange_xml";
  pl::testing::set_xml_base(base.c_str());
  const long rss_before = max_rss_kb();
  for (auto _ : state) {
    MSG *m = CreateMsg(kOpStream);
    AddIntToMsg(m, 0);
    if (SendAndRcv(m) != 0) std::abort();
  }
  ::unlink(GetXMLFileName());
  state.SetBytesProcessed(state.iterations() * kStreamBytes);
  state.counters["maxrss_before_kB"] = static_cast<double>(rss_before);
  state.counters["maxrss_after_kB"] = static_cast<double>(max_rss_kb());
  pl::testing::set_xml_base(nullptr);
}

// Wall time: the round trip includes the peer process.
BENCHMARK(BM_RawRoundTrip)->UseRealTime();
BENCHMARK(BM_SendAndRcv)->Arg(0)->ArgName("timeout_ms")->UseRealTime();
BENCHMARK(BM_RawRoundTripPoll)->UseRealTime();
BENCHMARK(BM_SendAndRcv)->Arg(5000)->ArgName("timeout_ms")->UseRealTime();
BENCHMARK(BM_BuildMessageOnly);
BENCHMARK(BM_RawStream)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_XmlStream)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

}  // namespace

int main(int argc, char **argv) {
  ::signal(SIGPIPE, SIG_IGN);
  start_peer();
  if (argc >= 3 && std::strcmp(argv[1], "--calls") == 0) {
    // For counting system calls: strace -c ./bench_exchange --calls 10000
    long n = std::atol(argv[2]);
    pl::g_ctx.timeout = argc >= 4 && std::strcmp(argv[3], "--timeout") == 0 ? 5000 : 0;
    for (long i = 0; i < n; ++i) small_call();
    stop_peer();
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  stop_peer();
  return 0;
}
