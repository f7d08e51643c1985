// Signals: a timer signal whose handler does nothing, installed without
// SA_RESTART, interrupts the exchange in every wait (sends, waits for
// headers and chunks, the input reply). The calls still give the right
// result and the bytes arrive exactly once.
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <atomic>
#include <string>

#include "common.hpp"

namespace faults {
namespace {

using testsupport::bytes_of;
using testsupport::PeerConn;

std::atomic<int> g_signals{0};

bool under_valgrind() {
  return testsupport::read_file("/proc/self/maps").find("vgpreload") != std::string::npos;
}
void on_alarm(int) { g_signals.fetch_add(1, std::memory_order_relaxed); }

// Delivers SIGALRM to this thread every 300 microseconds while alive (5 ms
// under valgrind). Other
// threads (the peer) are created with the signal blocked, so the waits of
// the exchange are the ones interrupted.
class TimerSignals {
 public:
  TimerSignals() {
    struct sigaction sa {};
    sa.sa_handler = on_alarm;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: interrupted calls fail with EINTR
    sigaction(SIGALRM, &sa, nullptr);
  }
  void start() {
    // valgrind serialises the threads: a slower timer keeps the run short.
    const long us = under_valgrind() ? 5000 : 300;
    itimerval it{{0, us}, {0, us}};
    setitimer(ITIMER_REAL, &it, nullptr);
  }
  // The no-op handler stays: a signal still on its way must not end the
  // process.
  ~TimerSignals() {
    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
  }
};

// Creates the peer with SIGALRM blocked, so only the calling thread gets it.
template <typename... A>
std::unique_ptr<testsupport::Peer> quiet_peer(A &&...args) {
  sigset_t block, old;
  sigemptyset(&block);
  sigaddset(&block, SIGALRM);
  pthread_sigmask(SIG_BLOCK, &block, &old);
  auto p = std::make_unique<testsupport::Peer>(std::forward<A>(args)...);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return p;
}

// A daemon that trickles its replies: frames in small pieces with pauses,
// so the client waits many times inside headers and chunks.
void trickle(PeerConn &c, const std::string &bytes) {
  for (size_t at = 0; at < bytes.size(); at += 700) {
    c.send_raw(bytes.substr(at, 700));
    c.stall(1);
  }
}

class SignalTest : public FaultTest, public ::testing::WithParamInterface<int> {};

TEST_P(SignalTest, ExchangeInterruptedInEveryWait) {
  const std::string xml(20000, 'q');
  std::string big_request(3000, 'r');
  {
    pl::g_ctx.timeout = GetParam();
    counts() = Counts{};
    auto peer = quiet_peer([&xml](PeerConn &c) {
      for (int round = 0; round < 3; ++round) {
        c.stall(5);  // the client waits for the first header
        if (!c.read_request()) return;
        trickle(c, testsupport::make_frame(REPLY_PRINT, c.seq(), std::string(5000, 'p')));
        trickle(c, testsupport::make_frame(REPLY_XML, c.seq(), xml));
        trickle(c, testsupport::make_frame(REPLY_INPUT, c.seq(), std::string("go? ") + '\0'));
        if (!c.read_input_reply()) return;
        trickle(c, testsupport::make_frame(REPLY_RESULT, c.seq(), bytes_of(int32_t{round}), 10 + round));
      }
    }, 3000);
    set_socket(peer->client_fd());
    testsupport::SyslogCapture cap;
    TimerSignals timer;
    g_signals = 0;
    timer.start();
    for (int round = 0; round < 3; ++round) {
      int32_t out = -1;
      MSG *m = CreateMsg(26);
      AddStrToMsg(m, big_request.c_str());
      AddPtrToMsg(m, 4, &out);
      ASSERT_EQ(SendAndRcv(m), 10 + round) << cap.dump();
      EXPECT_EQ(out, round);
      EXPECT_TRUE(testsupport::read_file(GetXMLFileName()) == xml);
    }
    EXPECT_EQ(counts().reconnects, 0);
    EXPECT_EQ(counts().inputs, 3);
    EXPECT_GE(counts().prints, 3);
    EXPECT_GT(g_signals.load(), 20) << "the timer hardly interrupted the exchange";
    peer->join();
    ASSERT_EQ(peer->requests().size(), 3u);
    for (auto &req : peer->requests()) {
      EXPECT_TRUE(req.well_formed);
      EXPECT_EQ(req.items[0].as_string(), big_request);
    }
    EXPECT_EQ(peer->input_replies(), std::vector<std::string>(3, std::string("yes") + '\0'));
  }
}

INSTANTIATE_TEST_SUITE_P(Timeouts, SignalTest, ::testing::Values(0, 2000),
                         [](const auto &info) { return "timeout_" + std::to_string(info.param); });

// The request goes out into a full socket buffer, so the plain send (no
// time-out) blocks and is interrupted after part of the frame has gone: the
// exchange sends the rest before it waits for the reply.
TEST_F(FaultTest, RequestSentIntoAFullBufferWhileSignalsArrive) {
  pl::g_ctx.timeout = 0;
  std::atomic<long> junk{-1};  // bytes put in front of the next request
  auto peer = quiet_peer([&junk](PeerConn &c) {
    for (int round = 0; round < 5; ++round) {
      while (junk.load() < 0) c.stall(1);
      c.stall(20);  // the host is blocked in its send by now
      for (long left = junk.exchange(-1); left > 0;) {
        auto piece = c.read_bytes(std::min<long>(left, 512));
        if (!piece) return;
        left -= static_cast<long>(piece->size());
        c.stall(1);
      }
      auto req = c.read_request();
      if (!req) {
        c.close();  // a request cut short: fail the call instead of hanging
        return;
      }
      c.send_result(round, "");
    }
  }, 3000);
  const int fd = peer->client_fd();
  int small = 4096;
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  set_socket(fd);
  TimerSignals timer;
  timer.start();
  const std::string text(4000, 't');
  for (int round = 0; round < 5; ++round) {
    const std::string fill(256, 'j');
    long filled = 0;
    while (send(fd, fill.data(), fill.size(), MSG_DONTWAIT) > 0) filled += 256;
    junk = filled;
    MSG *m = CreateMsg(57);
    AddStrToMsg(m, text.c_str());
    EXPECT_EQ(SendAndRcv(m), round);
  }
  EXPECT_EQ(counts().reconnects, 0);
}

// A send larger than the socket buffer, to a reader that takes its time:
// the interrupted waits and sends continue where they stopped.
TEST_F(FaultTest, LongSendInterruptedBySignals) {
  const int len = 1 << 20;
  std::string data(len, '\0');
  for (int i = 0; i < len; ++i) data[i] = static_cast<char>(i * 7);
  for (int timeout : {0, 5000}) {
    SCOPED_TRACE(timeout);
    std::string got;
    auto peer = quiet_peer([&](PeerConn &c) {
      while (got.size() < static_cast<size_t>(len)) {
        auto piece = c.read_bytes(std::min<size_t>(65536, len - got.size()));
        if (!piece) return;
        got += *piece;
        c.stall(1);
      }
    });
    TimerSignals timer;
    timer.start();
    int sent = 0;
    // A plain send (time-out 0) may stop short when interrupted; the
    // caller carries on with the rest, as the exchange does.
    while (sent < len) {
      int n = timed_send(peer->client_fd(), data.data() + sent, len - sent, 0, timeout);
      if (n < 0 && errno == EINTR) continue;
      ASSERT_GT(n, 0);
      sent += n;
      if (timeout) {
        EXPECT_EQ(n, len);
      }
    }
    peer->join();
    EXPECT_EQ(got, data);
  }
}

}  // namespace
}  // namespace faults
