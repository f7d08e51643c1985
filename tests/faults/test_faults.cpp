// Fault injection on the exchange: every allocation failing in turn, and a
// host out of descriptors. (A daemon that misbehaves, signals in every wait
// and sockets above 1024: the exchange table's rows and its runs.)
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include "exchange/exchange_env.hpp"

namespace {

using testsupport::bytes_of;
using testsupport::PeerConn;
using xenv::report;
using xenv::seen;
using xenv::small_call;
using FaultTest = xenv::Test;

const std::string kNul(1, '\0');

// Prints, asks for input, streams XML and runs a command, then answers 7
// with the integer 99.
void busy_daemon(PeerConn &c) {
  if (!c.read_request()) return;
  c.send_frame(REPLY_PRINT, "line\n");
  c.send_frame(REPLY_INPUT, "Continue? " + kNul);
  c.read_input_reply();  // a lost reply is waited for briefly
  c.send_frame(REPLY_XML, "<a/>");
  c.send_frame(REPLY_RUN_CMD, "true" + kNul);
  c.send_frame(REPLY_PRINT_END, "");
  c.send_result(7, bytes_of(int32_t{99}));
}

TEST_F(FaultTest, ExchangeSurvivesEveryAllocationFailure) {
  const std::string reports[] = {report("msg == NULL", "CreateMsg", 117), report("buf == NULL", "SendAndRcvSocketWithTimeout", 598),
                                 report("line_input == NULL", "get_input_line", 540)};
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
    EXPECT_EQ(out, results.back() == 7 ? 99 : 0);
    EXPECT_EQ(seen().reconnects, k == 1 ? 1 : 0) << k;
    EXPECT_TRUE(k < 3 ? cap.contains_substr(reports[k]) : cap.lines().empty()) << k << cap.dump();
    if (pl::testing::allocations_requested() - before <= k) break;  // nothing failed
  }
  EXPECT_EQ(results, std::vector<int>({-1, -1, 7, 7}));  // message, buffer, input reply, none
}

bool under_valgrind() {
  return testsupport::read_file("/proc/self/maps").find("vgpreload") != std::string::npos;
}

// No connection can be made, each way says why; an exchange on the open
// connection still completes without its XML file.
TEST_F(FaultTest, HostOutOfDescriptors) {
  if (under_valgrind()) GTEST_SKIP() << "valgrind manages the descriptor limit itself";
  pl::g_ctx.timeout = 500;
  testsupport::Peer peer([](PeerConn &c) {
    c.read_request();
    c.send_frame(REPLY_XML, std::string(10000, 'x'));
    c.send_result(4, bytes_of(int32_t{44}));
  });
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
