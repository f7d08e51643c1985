// Fault injection on the exchange: every allocation failing in turn, a
// daemon that misbehaves, descriptor limits. (Signals in every wait: the
// exchange table's "_signals" runs.)
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "exchange/exchange_env.hpp"

namespace {

using testsupport::bytes_of;
using testsupport::make_frame;
using testsupport::PeerConn;
using xenv::report;
using xenv::seen;
using xenv::small_call;
using FaultTest = xenv::Test;

const std::string kNul(1, '\0');

// Prints, asks for input, streams XML and runs a command, then answers 7
// with the integer 99. A lost input reply is waited for briefly.
void busy_daemon(PeerConn &c) {
  if (!c.read_request()) return;
  c.send_frame(REPLY_PRINT, "line\n");
  c.send_frame(REPLY_INPUT, "Continue? " + kNul);
  c.read_input_reply();
  c.send_frame(REPLY_XML, "<a/>");
  c.send_frame(REPLY_RUN_CMD, "true" + kNul);
  c.send_frame(REPLY_PRINT_END, "");
  c.send_result(7, bytes_of(int32_t{99}));
}

TEST_F(FaultTest, ExchangeSurvivesEveryAllocationFailure) {
  std::vector<int> results;
  for (long k = 0; k < 10; ++k) {
    testsupport::Peer peer(busy_daemon, 300);
    set_socket(peer.client_fd());
    seen() = xenv::Seen{};
    testsupport::SyslogCapture cap;
    const long before = pl::testing::allocations_requested();
    int32_t out = 0;
    {
      testsupport::AllocFailure fail(k);
      results.push_back(small_call(1, &out));
    }
    const bool last = pl::testing::allocations_requested() - before <= k;  // nothing failed
    EXPECT_EQ(out, results.back() == 7 ? 99 : 0);
    EXPECT_EQ(seen().reconnects, k == 1 ? 1 : 0) << k;
    const std::string reports[] = {report("msg == NULL", "CreateMsg", 117),
                                   report("buf == NULL", "SendAndRcvSocketWithTimeout", 598),
                                   report("line_input == NULL", "get_input_line", 540)};
    EXPECT_TRUE(k < 3 ? cap.contains_substr(reports[k]) : cap.lines().empty()) << k << cap.dump();
    if (last) break;
  }
  EXPECT_EQ(results, std::vector<int>({-1, -1, 7, 7}));  // message, buffer, input reply, none
}

// Each bad daemon fails the call once: reconnect_func runs once, and the
// next call on the healthy daemon it connects to goes through.
TEST_F(FaultTest, BadDaemonFailsOneCall) {
  const auto cut = [](size_t n, int32_t type, std::string data) {
    return [=](PeerConn &c) {
      if (!c.read_request()) return;
      c.send_raw(make_frame(type, c.seq(), data, 1).substr(0, n));
      c.close();
    };
  };
  const auto stall = [](bool mid_frame) {
    return [=](PeerConn &c) {
      if (!c.read_request()) return;
      const std::string frame = make_frame(REPLY_RESULT, c.seq(), bytes_of(int32_t{1}), 1);
      if (mid_frame) c.send_raw(frame.substr(0, 50));
      c.stall(600);  // the answer comes too late
      c.send_raw(frame.substr(mid_frame ? 50 : 0));
    };
  };
  const struct {
    testsupport::Peer::Script script;
    std::vector<int> timeouts;
  } bad[] = {
      {cut(20, REPLY_PRINT, "0123456789"), {0, 300}},  // dies inside a header,
      {cut(51, REPLY_PRINT, "0123456789"), {0, 300}},  // inside the data,
      {cut(50, REPLY_RESULT, bytes_of(int32_t{9})), {0, 300}},
      {[](PeerConn &c) { c.read_request(), c.send_frame(REPLY_PRINT, "partial\n"), c.close(); }, {0, 300}},
      {stall(false), {100}},
      {stall(true), {100}},
  };
  for (const auto &b : bad) {
    for (int timeout : b.timeouts) {
      pl::g_ctx.timeout = timeout;
      seen() = xenv::Seen{};
      testsupport::Peer peer(b.script, 2000);
      testsupport::Peer good(testsupport::Peer::serve([](const testsupport::Request &) {
        return testsupport::Result{5, bytes_of(int32_t{55}), 0, 0};
      }));
      set_socket(peer.client_fd());
      seen().on_reconnect = [&] { set_socket(good.client_fd()); };
      int32_t out = 0;
      EXPECT_EQ(small_call(1, &out), -1);
      EXPECT_EQ(out, 0);
      EXPECT_EQ(small_call(1, &out), 5);
      EXPECT_EQ(out, 55);
      EXPECT_EQ(seen().reconnects, 1);
    }
  }
}

// A daemon that streams a long XML frame and asks for input, then answers
// 4 with the integer 44.
void long_reply(PeerConn &c) {
  if (!c.read_request()) return;
  c.send_frame(REPLY_XML, std::string(10000, 'x'));
  c.send_frame(REPLY_INPUT, "name? " + kNul);
  c.read_input_reply();
  c.send_result(4, bytes_of(int32_t{44}));
}

// poll, not select: descriptors above 1024 work.
TEST_F(FaultTest, ExchangeOnASocketAbove1024) {
  rlimit saved{}, lim{};
  getrlimit(RLIMIT_NOFILE, &saved);
  lim = saved;
  lim.rlim_cur = std::min<rlim_t>(lim.rlim_max, 2048);
  if (lim.rlim_cur < 1600 || setrlimit(RLIMIT_NOFILE, &lim) != 0)
    GTEST_SKIP() << "cannot raise RLIMIT_NOFILE to 1600 (hard limit " << lim.rlim_max << ")";
  for (int timeout : {0, 500}) {
    pl::g_ctx.timeout = timeout;
    seen().answers = {"admin"};
    testsupport::Peer peer(long_reply);
    const int high = 1500 + timeout;
    ASSERT_EQ(dup2(peer.client_fd(), high), high);
    set_socket(high);
    int32_t out = 0;
    EXPECT_EQ(small_call(1, &out), 4);
    EXPECT_EQ(out, 44);
    EXPECT_EQ(testsupport::read_file(GetXMLFileName()), std::string(10000, 'x'));
    close(high);
    peer.join();
    EXPECT_EQ(peer.input_replies(), std::vector<std::string>{"admin" + kNul});
  }
  setrlimit(RLIMIT_NOFILE, &saved);
}

bool under_valgrind() {
  return testsupport::read_file("/proc/self/maps").find("vgpreload") != std::string::npos;
}

// No connection can be made, each way says why; an exchange on the open
// connection still completes without its XML file.
TEST_F(FaultTest, HostOutOfDescriptors) {
  if (under_valgrind()) GTEST_SKIP() << "valgrind manages the descriptor limit itself";
  pl::g_ctx.timeout = 500;
  testsupport::Peer peer(long_reply);
  set_socket(peer.client_fd());
  testsupport::SyslogCapture cap;
  rlimit saved{}, low{};
  getrlimit(RLIMIT_NOFILE, &saved);
  low = saved;
  low.rlim_cur = 256;
  setrlimit(RLIMIT_NOFILE, &low);
  std::vector<int> held;
  for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) held.push_back(fd);
  const int a = client_Init(), b = client_Init_with_timeout(100), c = client_Init_External("127.0.0.1", 100);
  int32_t out = 0;
  const int r = small_call(1, &out);
  for (int fd : held) close(fd);
  setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(std::vector<int>({a, b, c, r, out}), std::vector<int>({-1, -1, -1, 4, 44}));
  EXPECT_REPORT(cap, "client_sock == -1", "pam_lib", "client_open_sock", 800);
  EXPECT_REPORT(cap, "sock == -1", "pam_lib", "client_Init_with_timeout", 841);
  EXPECT_REPORT(cap, "client_sock == -1", "pam_lib", "client_Init_External", 753);
  EXPECT_EQ(pl::g_ctx.timeout, 500);  // not stored: no socket was made
  EXPECT_FALSE(testsupport::file_exists(GetXMLFileName()));
}

}  // namespace
