// Connecting, timed sends and receives, and the reply framing.
#include <arpa/inet.h>
#include <cerrno>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "common.hpp"

namespace exchange_test {
namespace {

using Clock = std::chrono::steady_clock;
using testsupport::PeerConn;

struct SocketPair {
  int a = -1, b = -1;
  SocketPair() {
    int sv[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    a = sv[0];
    b = sv[1];
  }
  ~SocketPair() {
    if (a >= 0) close(a);
    if (b >= 0) close(b);
  }
  void put(const std::string &s) const { ASSERT_EQ(send(b, s.data(), s.size(), 0), ssize_t(s.size())); }
};

long elapsed_ms(Clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

using TransportTest = ExchangeTest;

TEST_F(TransportTest, TimedSendLengthZero) {
  SocketPair sp;
  close(sp.b);
  sp.b = -1;
  EXPECT_EQ(timed_send(sp.a, "x", 0, 0, 100), 0);  // nothing sent, no wait
  EXPECT_EQ(timed_send(sp.a, "x", 0, 0, 0), -1);   // one send, which fails on the closed pair
  EXPECT_EQ(errno, EPIPE);                          // and no SIGPIPE
}

TEST_F(TransportTest, TimedSendDeliversEverythingExactlyOnce) {
  SocketPair sp;
  int small = 4096;
  setsockopt(sp.a, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  std::string data(1 << 20, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 4096);
  std::string got;
  std::thread reader([&] {
    char buf[1000];  // small reads: the sender sees many partial sends
    while (got.size() < data.size()) {
      ssize_t n = recv(sp.b, buf, sizeof buf, 0);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
  });
  EXPECT_EQ(timed_send(sp.a, data.data(), static_cast<int>(data.size()), 0, 5000),
            static_cast<int>(data.size()));
  reader.join();
  EXPECT_TRUE(got == data);
}

TEST_F(TransportTest, TimedSendIsBoundedByOneTimeOut) {
  SocketPair sp;
  std::string data(8 << 20, 'q');  // more than the socket buffers hold; nobody reads
  auto t0 = Clock::now();
  EXPECT_EQ(timed_send(sp.a, data.data(), static_cast<int>(data.size()), 0, 150), 0);
  long ms = elapsed_ms(t0);
  EXPECT_GE(ms, 140);
  EXPECT_LT(ms, 1500);
}

TEST_F(TransportTest, TimedRecv) {
  testsupport::SyslogCapture cap;
  SocketPair sp;
  char buf[16] = {};
  EXPECT_EQ(pl::timed_recv(sp.a, buf, 4, 0, 50), 0);  // time-out
  EXPECT_EQ(pl::timed_recv(sp.a, buf, 0, 0, 50), 0);
  sp.put("abcdef");
  EXPECT_EQ(pl::timed_recv(sp.a, buf, 4, MSG_PEEK, 0), 4);  // flags reach the plain receive
  EXPECT_EQ(pl::timed_recv(sp.a, buf, 16, 0, 50), 6);        // first receive only
  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    sp.put("34567");
  });
  sp.put("12");
  EXPECT_EQ(pl::timed_recv(sp.a, buf, 7, MSG_WAITALL, 2000), 7);  // waits for the rest
  late.join();
  EXPECT_EQ(std::string(buf, 7), "1234567");
  EXPECT_TRUE(cap.lines().empty());
  close(sp.b);
  sp.b = -1;
  EXPECT_EQ(pl::timed_recv(sp.a, buf, 4, 0, 50), 0);
  EXPECT_TRUE(cap.contains_substr("error in recv socket=" + std::to_string(sp.a) + " ")) << cap.dump();
}

TEST_F(TransportTest, HeaderSearchPassesOverStrayBlocks) {
  testsupport::SyslogCapture cap;
  SocketPair sp;
  testsupport::FrameHeader stale, bad, good;
  stale.seq = 3;
  bad.seq = 4;
  bad.magic = 0;
  good.seq = 4;
  good.type = REPLY_PRINT;
  sp.put(testsupport::encode_frame(stale, "") + testsupport::encode_frame(bad, "") +
         testsupport::encode_frame(good, ""));
  REPLY_HDR h;
  EXPECT_EQ(pl::get_rcv_header(sp.a, &h, 0, 4), 0);
  EXPECT_EQ(h.type, REPLY_PRINT);
  EXPECT_EQ(pl::get_rcv_header(sp.a, &h, 50, 4), -1);
  EXPECT_REPORT(cap, "len <=0", "pam_lib", "get_rcv_header", 459);
}

TEST_F(TransportTest, FramesComeOutInChunks) {
  SocketPair sp;
  std::string big(10000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i % 251);
  std::thread writer([&] {
    // The daemon's values of chunk_len and received are ignored.
    testsupport::FrameHeader h;
    h.seq = 1;
    h.type = REPLY_XML;
    h.data_len = 10000;
    std::string f = testsupport::encode_frame(h, big);
    std::memset(f.data() + 28, 0x7F, 8);
    for (size_t at = 0; at < f.size(); at += 3000) {
      send(sp.b, f.data() + at, std::min<size_t>(3000, f.size() - at), 0);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    sp.put(testsupport::make_frame(REPLY_RESULT, 1, ""));
  });
  auto area = std::make_unique<REPLY>();
  REPLY *cur = nullptr;
  int new_frame = 1;
  std::string got;
  int deliveries = 0;
  while (got.size() < big.size()) {
    ASSERT_EQ(pl::get_rcv_buf(sp.a, area.get(), &cur, &new_frame, 0, 1), 0);
    ASSERT_EQ(cur, area.get());
    ASSERT_EQ(cur->hdr.type, REPLY_XML);
    ASSERT_LE(cur->hdr.chunk_len, SERVER_BUFFER_SIZE);
    got.append(cur->data, static_cast<size_t>(cur->hdr.chunk_len));
    EXPECT_EQ(cur->hdr.received, static_cast<int>(got.size()));
    ++deliveries;
  }
  EXPECT_EQ(new_frame, 1);
  EXPECT_GE(deliveries, 3);
  EXPECT_TRUE(got == big);
  // A frame without data: one delivery with chunk_len 0.
  ASSERT_EQ(pl::get_rcv_buf(sp.a, area.get(), &cur, &new_frame, 0, 1), 0);
  EXPECT_EQ(cur->hdr.type, REPLY_RESULT);
  EXPECT_EQ(cur->hdr.chunk_len, 0);
  EXPECT_EQ(new_frame, 1);
  writer.join();
}

TEST_F(TransportTest, ChunkReadFailures) {
  testsupport::SyslogCapture cap;
  auto area = std::make_unique<REPLY>();
  REPLY *cur = nullptr;
  {
    SocketPair sp;  // a long frame cut off after its header
    testsupport::FrameHeader h;
    h.data_len = 9000;
    sp.put(testsupport::encode_frame(h, ""));
    int new_frame = 1;
    EXPECT_EQ(pl::get_rcv_buf(sp.a, area.get(), &cur, &new_frame, 50, 0), -1);
    EXPECT_EQ(new_frame, 1);
    EXPECT_REPORT(cap, "len <= 0", "pam_lib", "get_rcv_buf", 507);
  }
  {
    SocketPair sp;  // a short frame cut off
    sp.put(testsupport::make_frame(REPLY_RESULT, 0, "abc").substr(0, 50));
    int new_frame = 1;
    EXPECT_EQ(pl::get_rcv_buf(sp.a, area.get(), &cur, &new_frame, 50, 0), -1);
    EXPECT_REPORT(cap, "len <= 0", "pam_lib", "get_rcv_buf", 499);
    int flag = 1;
    EXPECT_EQ(pl::get_rcv_buf(sp.a, area.get(), &cur, &flag, 50, 0), -1);
    EXPECT_REPORT(cap, "err == ERROR", "pam_lib", "get_rcv_buf", 485);
  }
}

TEST_F(TransportTest, SocketNumbersAboveSelectLimit) {
  rlimit rl;
  getrlimit(RLIMIT_NOFILE, &rl);
  if (rl.rlim_max < 2100) GTEST_SKIP() << "descriptor limit below 2100";
  rlimit raised = rl;
  raised.rlim_cur = 2100;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
  testsupport::Peer peer(testsupport::Peer::serve([](const testsupport::Request &) {
    return testsupport::Result{5, testsupport::bytes_of(int32_t{9})};
  }));
  const int high = 2000;
  ASSERT_EQ(dup2(peer.client_fd(), high), high);
  set_socket(high);
  pl::g_ctx.timeout = 2000;
  int32_t out = 0;
  MSG *m = CreateMsg(1);
  AddPtrToMsg(m, 4, &out);
  EXPECT_EQ(SendAndRcv(m), 5);
  EXPECT_EQ(out, 9);
  close(high);
  setrlimit(RLIMIT_NOFILE, &rl);
}

TEST_F(TransportTest, ClientInitFallsBack) {
  const std::string primary = tmp_.file("mgtd1"), fallback = tmp_.file("mgtd");
  pl::testing::set_endpoints(primary.c_str(), fallback.c_str(), 0);
  install_hooks();
  EXPECT_EQ(client_Init(), -1);
  EXPECT_EQ(get_client_protocol(), 1);
  {
    auto peer = testsupport::Peer::on_unix_path(fallback, [](PeerConn &) {});
    int s = client_Init();
    ASSERT_GE(s, 0);
    EXPECT_EQ(get_client_protocol(), 0);
    EXPECT_EQ(get_socket(), -1);  // the host registers it
    EXPECT_TRUE(fcntl(s, F_GETFD) & FD_CLOEXEC);
    close(s);
  }
  {
    auto peer = testsupport::Peer::on_unix_path(primary, [](PeerConn &) {});
    int s = client_Init();
    ASSERT_GE(s, 0);
    EXPECT_EQ(get_client_protocol(), 1);
    close(s);
  }
  EXPECT_TRUE(hooks().debug.empty());
}

TEST_F(TransportTest, ClientInitWithTimeout) {
  const std::string primary = tmp_.file("mgtd1");
  pl::testing::set_endpoints(primary.c_str(), nullptr, 0);
  install_hooks();
  EXPECT_EQ(client_Init_with_timeout(0), -1);  // blocking connect, silent
  EXPECT_TRUE(hooks().debug.empty());
  EXPECT_EQ(client_Init_with_timeout(200), -1);
  ASSERT_EQ(hooks().debug.size(), 1u);
  EXPECT_NE(hooks().debug[0].find(":Error connecting " + std::to_string(ENOENT) + " - "),
            std::string::npos) << hooks().debug[0];

  for (int t : {0, 500}) {
    auto peer = testsupport::Peer::on_unix_path(primary, [](PeerConn &c) {
      if (c.read_request()) c.send_result(3);
    });
    int s = client_Init_with_timeout(t);
    ASSERT_GE(s, 0);
    EXPECT_EQ(fcntl(s, F_GETFL) & O_NONBLOCK, 0);  // blocking again
    EXPECT_TRUE(fcntl(s, F_GETFD) & FD_CLOEXEC);
    set_socket(s);
    EXPECT_EQ(SendAndRcv(CreateMsg(2)), 3);
    close(s);
  }
  EXPECT_EQ(get_client_protocol(), 1);
}

TEST_F(TransportTest, ClientInitExternal) {
  install_hooks();
  // Nothing listens on this port (bound, never listening).
  int blocker = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t alen = sizeof a;
  ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
  getsockname(blocker, reinterpret_cast<sockaddr *>(&a), &alen);
  pl::testing::set_endpoints(nullptr, nullptr, ntohs(a.sin_port));
  EXPECT_EQ(client_Init_External("127.0.0.1", 1500), -1);
  EXPECT_EQ(pl::g_ctx.timeout, 1500);  // stored even though the connect failed
  ASSERT_EQ(hooks().debug.size(), 1u);
  const std::string refused = " " + std::to_string(ECONNREFUSED) + " - ";
  EXPECT_TRUE(hooks().debug[0].find(":Error in connection()" + refused) != std::string::npos ||
              hooks().debug[0].find(":Error connecting" + refused) != std::string::npos)
      << hooks().debug[0];
  close(blocker);
  EXPECT_EQ(client_Init_External("not-an-address", 700), -1);
  EXPECT_EQ(pl::g_ctx.timeout, 700);

  auto peer = testsupport::Peer::on_tcp_loopback(testsupport::Peer::serve(
      [](const testsupport::Request &r) { return testsupport::Result{r.items[0].as_int() + 1, ""}; }));
  pl::testing::set_endpoints(nullptr, nullptr, peer->tcp_port());
  int s = client_Init_External("127.0.0.1", 2000);
  ASSERT_GE(s, 0);
  set_socket(s);
  MSG *m = CreateMsg(3);
  AddIntToMsg(m, 41);
  EXPECT_EQ(SendAndRcv(m), 42);
  close(s);
}

TEST_F(TransportTest, ConnectTimesOut) {
  // A listener whose queue is full drops further connection attempts, so the
  // connect stays in progress.
  int l = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t alen = sizeof a;
  ASSERT_EQ(bind(l, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
  ASSERT_EQ(listen(l, 0), 0);
  getsockname(l, reinterpret_cast<sockaddr *>(&a), &alen);
  std::vector<int> fillers;
  install_hooks();
  bool timed_out = false;
  for (int i = 0; i < 8 && !timed_out; ++i) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    hooks().debug.clear();
    int r = pl::connect_with_timeout(s, reinterpret_cast<sockaddr *>(&a), sizeof a, 100);
    if (r >= 0) {
      fillers.push_back(r);
      continue;
    }
    ASSERT_EQ(hooks().debug.size(), 1u);
    EXPECT_EQ(hooks().debug[0], std::to_string(s) + ":Connection Timeout [100]\n");
    EXPECT_EQ(fcntl(s, F_GETFD), -1);  // closed
    timed_out = true;
  }
  for (int f : fillers) close(f);
  close(l);
  if (!timed_out) GTEST_SKIP() << "the kernel never let a connect hang";
}

TEST_F(TransportTest, SocketCreationFailures) {
  testsupport::SyslogCapture cap;
  pl::testing::set_endpoints(tmp_.file("a").c_str(), tmp_.file("b").c_str(), 0);
  rlimit rl, low;
  getrlimit(RLIMIT_NOFILE, &rl);
  low = rl;
  low.rlim_cur = 3;  // no descriptor above stdio is left
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  const int a = client_Init(), b = client_Init_with_timeout(10), c = client_Init_External("127.0.0.1", 10);
  setrlimit(RLIMIT_NOFILE, &rl);
  EXPECT_EQ(a, -1);
  EXPECT_EQ(b, -1);
  EXPECT_EQ(c, -1);
  EXPECT_REPORT(cap, "client_sock == -1", "pam_lib", "client_open_sock", 800);
  EXPECT_REPORT(cap, "sock == -1", "pam_lib", "client_Init_with_timeout", 841);
  EXPECT_REPORT(cap, "client_sock == -1", "pam_lib", "client_Init_External", 753);
  EXPECT_EQ(pl::g_ctx.timeout, 0);  // not stored: no socket was made
}

int open_descriptors() {
  int n = 0;
  for ([[maybe_unused]] const auto &e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

// Another local user binds the daemon's paths first and answers with a
// command for the host to run. Forked so that it listens under uid 65534:
// the kernel records the listener's credentials at listen().
struct ForeignDaemon {
  pid_t pid = -1;
  ForeignDaemon(const std::vector<std::string> &paths, const std::string &reply) {
    int ready[2];
    if (pipe(ready) != 0) return;
    pid = fork();
    if (pid == 0) {
      std::vector<int> socks;
      for (const auto &path : paths) {
        int l = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
        if (bind(l, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) _exit(1);
        socks.push_back(l);
      }
      if (setgid(65534) != 0 || setuid(65534) != 0) _exit(1);
      for (int l : socks) listen(l, 8);
      (void)!write(ready[1], "x", 1);
      std::vector<pollfd> fds;
      for (int l : socks) fds.push_back({l, POLLIN, 0});
      for (;;) {  // every connection gets the command and a result at once
        poll(fds.data(), fds.size(), -1);
        for (auto &f : fds)
          if (f.revents & POLLIN)
            if (int c = accept(f.fd, nullptr, nullptr); c >= 0) (void)!send(c, reply.data(), reply.size(), 0);
      }
    }
    close(ready[1]);
    char x;
    if (pid > 0 && read(ready[0], &x, 1) != 1) stop();
    close(ready[0]);
  }
  void stop() {
    if (pid > 0) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
    pid = -1;
  }
  ~ForeignDaemon() { stop(); }
};

TEST_F(TransportTest, PeerOfAnotherUserIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to listen as another uid (65534)";
  const std::string primary = tmp_.file("mgtd1"), fallback = tmp_.file("mgtd"), pwn = tmp_.file("pwned");
  pl::testing::set_endpoints(primary.c_str(), fallback.c_str(), 0);
  const std::string reply = testsupport::make_frame(REPLY_RUN_CMD, 77, "touch " + pwn + std::string(1, '\0')) +
                            testsupport::make_frame(REPLY_RESULT, 77, "", 5);
  ForeignDaemon foreign({primary, fallback}, reply);
  ASSERT_GT(foreign.pid, 0) << "the foreign daemon did not start";
  install_hooks();
  testsupport::SyslogCapture cap;
  const int before = open_descriptors();
  for (int s : {client_Init(), client_Init_with_timeout(0), client_Init_with_timeout(500)}) {
    EXPECT_EQ(s, -1);
    set_socket(s);
    pl::testing::set_next_sequence(77);  // the number the foreign reply carries
    EXPECT_EQ(SendAndRcv(CreateMsg(2)), -1);
    if (s >= 0) close(s);
  }
  EXPECT_TRUE(hooks().commands.empty());
  EXPECT_FALSE(testsupport::file_exists(pwn));
  const std::string why = "peer uid 65534 pid " + std::to_string(foreign.pid);
  EXPECT_TRUE(cap.contains_substr("refused daemon socket: " + why)) << cap.dump();
  EXPECT_EQ(std::count_if(hooks().debug.begin(), hooks().debug.end(),
                          [&](const std::string &d) { return d.find(why) != std::string::npos; }),
            4) << testing::PrintToString(hooks().debug);  // both paths of client_Init
  EXPECT_EQ(open_descriptors(), before);  // every refused socket was closed
}

}  // namespace
}  // namespace exchange_test
