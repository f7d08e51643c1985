// The exchange against a scripted daemon: a table of scenarios, each played
// with and without a time-out, and with frames trickling in while timer
// signals interrupt every wait. Then the frame limit, send failures,
// connecting, and fault injection (FaultTest, run as test_faults_exchange).
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdarg>

#include "common/alloc.hpp"
#include "pam_lib/context.hpp"
#include "pam_lib/exchange.hpp"
#include "pam_lib/transport.hpp"
#include "pam_lib/wire.hpp"
#include "support/harness.hpp"
#include "support/mgtd_process.hpp"
#include "support/peer.hpp"

namespace {

using testsupport::bytes_of;
using testsupport::make_frame;
using testsupport::PeerConn;


struct Seen {
  std::vector<std::string> events;  // "print+:text" (+: a new pipe), "prompt:text:n", "cmd:text", "debug:fmt"
  std::vector<std::string> traces;  // the send/receive/failure traces, formatted
  int prompts = 0;  // the first is answered "admin", the others NULL
  int reconnects = 0;
};
Seen seen_;

int on_debug(const char *fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  const bool trace = std::strstr(fmt, "client -send") || std::strstr(fmt, "client- recieve") || std::strstr(fmt, "recieve failed");
  trace ? seen_.traces.push_back(buf) : seen_.events.push_back(std::string("debug:") + fmt);
  return 0;
}
int on_print(REPLY *f, FILE **slot) {
  seen_.events.push_back((*slot ? "print:" : "print+:") + std::string(f->data, f->hdr.chunk_len));
  if (!*slot) *slot = popen("cat >/dev/null", "w");
  return 0;
}
char *on_input(const char *prompt, int value) {
  seen_.events.push_back("prompt:" + std::string(prompt) + ":" + std::to_string(value));
  return seen_.prompts++ ? nullptr : strdup("admin");
}

class ExchangeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pl::testing::reset_client_context();
    seen_ = Seen{};
    pl::testing::set_xml_base(xml_base_.c_str());
    set_debug_print(on_debug);
    set_reconnect_func([](MSG *) { return ++seen_.reconnects, 0; });
    set_print_out(on_print);
    set_get_input_func(on_input);
    set_run_cmd_function([](const char *cmd) { return seen_.events.push_back("cmd:" + std::string(cmd)), 0; });
  }
  void TearDown() override {
    pl::testing::reset_client_context();
    pl::testing::set_xml_base(nullptr);
    pl::testing::set_endpoints(nullptr, nullptr, 0);
  }
  testsupport::TempDir tmp_;
  const std::string xml_base_ = tmp_.file("xml");
};

// One integer in, one 4-byte out-item.
int small_call(int32_t in, int32_t *out) {
  MSG *m = CreateMsg(14);
  if (!m) return -1;
  AddIntToMsg(m, in);
  AddPtrToMsg(m, 4, out);
  return SendAndRcv(m);
}

std::string report(const char *cond, const char *function, int line) {
  return testsupport::report_text(cond, "pam_lib", function, line);
}

const std::string kNul(1, '\0');
constexpr int kSkip = -99999;

// What the daemon does after it read the request: send a frame (whole, its
// first `cut` bytes, or from byte -cut on), or an action.
enum Act { kFrame, kInput, kStall, kClose, kShutRd };
struct Step {
  Act act = kFrame;
  int32_t type = 0;
  std::string data = {};
  int32_t result = 0, status = 0, err = 0;
  int cut = 0, dseq = 0;
  uint32_t magic = MSG_MAGIC;
};
Step F(int32_t type, std::string data, int32_t result = 0) { return {kFrame, type, std::move(data), result}; }
Step Res(int32_t result, int32_t out, int32_t status = 0, int32_t err = 0) { return {kFrame, 0, bytes_of(out), result, status, err}; }
Step Cut(Step s, int cut) { return s.cut = cut, s; }
const Step kIn{kInput}, kEnd{kClose};

struct Row {
  const char *name;
  std::vector<Step> steps;
  int result;
  int32_t out = -7;                      // the out-item after the call
  std::vector<std::string> events = {};
  std::vector<std::string> logs = {};    // syslog lines expected (substrings)
  int reconnects = 0;
  int after = 99;                        // the next call's result (kSkip: not made)
  int err = 0;
  std::vector<std::string> inputs = {};  // input replies the daemon got
  std::string xml = "stale";             // the XML file afterwards
  int timeout = -1;                      // forced time-out
  bool bare = false;                     // no host hooks
  int (*plant)(const char *, const char *) = nullptr;  // another user's link at the XML name
};

const std::string kBig = std::string(4000, 'a') + std::string(4000, 'b') + std::string(2000, 'c');
const std::string kLongCmd = "debug:%d:client- command of %d bytes is too long, not run\n";
const std::string kLongResult = bytes_of(11) + std::string(5996, 'r');

const std::vector<Row> &rows() {
  constexpr auto rep = report;
  const std::string P4096(SERVER_BUFFER_SIZE, 'P');
  static const std::vector<Row> all = {
      {.name = "RoundTrip", .steps = {Res(7, 42, 0, 33)}, .result = 7, .out = 42, .err = 33},
      {.name = "FailureDecodesNothing", .steps = {Res(-1, 99, 0, 12)}, .result = -1, .err = 12},
      {.name = "InvokeError", .steps = {Res(5, 1, 3, 13)}, .result = -1, .logs = {"invoke error:3"}, .err = 13},
      {.name = "ShortResultData", .steps = {{kFrame, REPLY_RESULT, "ab", 5, 0, 14}}, .result = -1, .logs = {rep("err == ERROR", "handle_cmd_result", 350)}, .err = 14},
      {.name = "PrintFramesShareOnePipe", .steps = {F(REPLY_PRINT, "hello "), F(REPLY_PRINT, "world"), F(REPLY_PRINT_END, ""), F(REPLY_PRINT, "again"), Res(3, 1)}, .result = 3, .out = 1, .events = {"print+:hello ", "print:world", "print+:again"}},
      {.name = "XmlStreamsIntoTheFile", .steps = {F(REPLY_XML, kBig), F(REPLY_XML, "<end/>"), Res(0, 2)}, .result = 0, .out = 2, .xml = kBig + "<end/>"},
      {.name = "InputAnswered", .steps = {F(REPLY_INPUT, "Name? " + kNul, 17), kIn, F(REPLY_INPUT, "Again? " + kNul, 18), kIn, Res(0, 3)}, .result = 0, .out = 3, .events = {"prompt:Name? :17", "prompt:Again? :18"}, .inputs = {"admin" + kNul, kNul}},
      {.name = "TextsEndAtTheChunkEnd", .steps = {F(REPLY_INPUT, P4096), kIn, F(REPLY_RUN_CMD, "ls -l"), F(REPLY_RUN_CMD, std::string("date\0junk", 9)), Res(0, 4)}, .result = 0, .out = 4, .events = {"prompt:" + P4096 + ":0", "cmd:ls -l", "cmd:date"}, .inputs = {"admin" + kNul}},
      {.name = "LongPromptAnsweredOnce", .steps = {F(REPLY_INPUT, "Long? " + kNul + std::string(6000, 'Q')), kIn, Res(9, 5)}, .result = 9, .out = 5, .events = {"prompt:Long? :0"}, .inputs = {"admin" + kNul}},
      // Cut at 4096 bytes the second would run "rm -rf /tmp/x": a command longer than a chunk never runs.
      {.name = "OverLongCommandNeverRunCut", .steps = {F(REPLY_RUN_CMD, std::string(5000, 'x')), F(REPLY_RUN_CMD, "rm -rf /tmp/x" + std::string(4083, ' ') + "-no"), F(REPLY_RUN_CMD, "date" + kNul + std::string(4996, 'j')), Res(6, 6)}, .result = 6, .out = 6, .events = {kLongCmd, kLongCmd, "cmd:date"}},
      {.name = "WithoutHooks", .steps = {F(REPLY_PRINT, "text"), F(REPLY_PRINT_END, ""), F(REPLY_RUN_CMD, "reboot" + kNul), F(REPLY_INPUT, "? " + kNul), kIn, Res(2, 7)}, .result = 2, .out = 7, .inputs = {kNul}, .bare = true},
      {.name = "UnknownFramesPrintedAndPassedOver", .steps = {F(9, "xyz"), F(77, std::string(6000, 'z')), Res(6, 8)}, .result = 6, .out = 8},
      {.name = "StrayAndStaleFramesPassedOver", .steps = {{.result = 1, .dseq = -1}, {.result = 2, .dseq = 1}, {.result = 3, .magic = 0x12345678}, {.type = REPLY_PRINT, .dseq = 7}, Res(8, 64)}, .result = 8, .out = 64},
      // One byte of a long frame comes first: the items need all of them.
      {.name = "LongResultInPieces", .steps = {Cut(F(REPLY_RESULT, kLongResult, 1), 49), {kStall, 0, "", 20}, Cut(F(REPLY_RESULT, kLongResult, 1), -49)}, .result = 1, .out = 11},
      {.name = "TimeOut", .steps = {F(REPLY_PRINT, "working"), {kStall, 0, "", 400}}, .result = -1, .events = {"print+:working"}, .logs = {rep("len <=0", "get_rcv_header", 459), rep("err == ERROR", "get_rcv_buf", 485)}, .reconnects = 1, .after = kSkip, .timeout = 100},
      {.name = "TimeOutInsideAFrame", .steps = {Cut(Res(1, 1), 50), {kStall, 0, "", 400}}, .result = -1, .logs = {rep("len <= 0", "get_rcv_buf", 499)}, .reconnects = 1, .after = kSkip, .timeout = 100},
      {.name = "ClosedInsideAHeader", .steps = {Cut(F(REPLY_PRINT, "0123456789"), 20), kEnd}, .result = -1, .logs = {rep("len <=0", "get_rcv_header", 459)}, .reconnects = 1, .after = -1},
      {.name = "ClosedBetweenFrames", .steps = {F(REPLY_PRINT, "partial"), kEnd}, .result = -1, .events = {"print+:partial"}, .logs = {rep("err == ERROR", "get_rcv_buf", 485)}, .reconnects = 1, .after = -1},
      {.name = "ClosedMidFrame", .steps = {Cut(F(REPLY_RESULT, std::string(100, 'd')), 60), kEnd}, .result = -1, .logs = {rep("len <= 0", "get_rcv_buf", 499)}, .reconnects = 1, .after = -1},
      {.name = "LongFrameCutAfterItsHeader", .steps = {Cut(F(REPLY_XML, std::string(9000, 'x')), 48), kEnd}, .result = -1, .logs = {rep("len <= 0", "get_rcv_buf", 507)}, .reconnects = 1, .after = -1},
      // The XML name is predictable and its directory shared: a link placed there is not written through.
      {.name = "SymlinkAtTheXmlName", .steps = {F(REPLY_XML, "<owned/>"), Res(4, 1)}, .result = 4, .out = 1, .plant = &symlink},
      {.name = "HardLinkAtTheXmlName", .steps = {F(REPLY_XML, "<owned/>"), Res(4, 1)}, .result = 4, .out = 1, .plant = &link},
      {.name = "InputReplyCannotBeSent", .steps = {{kShutRd}, F(REPLY_INPUT, "? " + kNul), Res(2, 4)}, .result = 2, .out = 4, .events = {"prompt:? :0"}, .logs = {rep("err == ERROR", "get_input_line", 544)}, .after = -1},
  };
  return all;
}

void play(PeerConn &c, const std::vector<Step> &steps) {
  c.read_request();
  for (const Step &s : steps) {
    const std::string f = make_frame(s.type, c.seq() + s.dseq, s.data, s.result, s.status, s.err, s.magic);
    if (s.act == kFrame) c.send_raw(s.cut > 0 ? f.substr(0, s.cut) : f.substr(-s.cut));
    if (s.act == kInput) c.read_input_reply();
    if (s.act == kStall) c.stall(s.result);
    if (s.act == kClose) c.close();
    if (s.act == kShutRd) ::shutdown(c.fd(), SHUT_RD);
  }
}

// Mode bit 0: a time-out; bit 1: trickled frames and timer signals.
class Exchange : public ExchangeTest, public ::testing::WithParamInterface<std::pair<size_t, int>> {};

bool under_valgrind() { return testsupport::read_file("/proc/self/maps").find("vgpreload") != std::string::npos; }

// SIGALRM every 300 us (5 ms under valgrind, which serialises the threads)
// while alive, without SA_RESTART: interrupted calls fail with EINTR. The
// handler stays for signals still on their way.
struct TimerSignals {
  explicit TimerSignals(bool on) {
    struct sigaction sa {};
    sa.sa_handler = [](int) {};
    sigaction(SIGALRM, &sa, nullptr);
    const long us = on ? (under_valgrind() ? 5000 : 300) : 0;
    const itimerval it{{0, us}, {0, us}};
    setitimer(ITIMER_REAL, &it, nullptr);
  }
  ~TimerSignals() { setitimer(ITIMER_REAL, &kOff, nullptr); }
  static constexpr itimerval kOff{};
};

bool raise_descriptor_limit() {
  rlimit l{};
  getrlimit(RLIMIT_NOFILE, &l);
  l.rlim_cur = std::max<rlim_t>(l.rlim_cur, std::min<rlim_t>(l.rlim_max, 2048));
  return setrlimit(RLIMIT_NOFILE, &l) == 0 && l.rlim_cur > 1500;
}

TEST_P(Exchange, Scenario) {
  const Row &row = rows()[GetParam().first];
  const int mode = GetParam().second;
  testsupport::Peer peer([&](PeerConn &c) {
    play(c, row.steps);
    testsupport::Peer::serve([](const testsupport::Request &) { return testsupport::Result{99, bytes_of(5), 0, 0}; })(c);
  }, 10000, mode & 2 ? 700 : 0);
  if (row.bare) pl::testing::reset_client_context();
  pl::g_ctx.timeout = row.timeout >= 0 ? row.timeout : (mode & 1) * 1500;
  set_privelege(2);
  set_uid(500);
  // poll, not select: the timed runs use a socket numbered above 1024.
  const int sock = mode & 1 && raise_descriptor_limit() ? dup2(peer.client_fd(), 1500) : peer.client_fd();
  set_socket(sock);
  const std::string xml_file = GetXMLFileName();
  EXPECT_EQ(xml_file, xml_base_ + "." + std::to_string(getpid()) + "_" + std::to_string(sock));
  testsupport::write_file(row.plant ? tmp_.file("victim") : xml_file, "stale");
  ASSERT_TRUE(!row.plant || row.plant(tmp_.file("victim").c_str(), xml_file.c_str()) == 0);
  const uint32_t seq = pl::testing::next_sequence();
  testsupport::SyslogCapture cap;
  int32_t v = -7;
  {
    TimerSignals timer(mode & 2);
    EXPECT_EQ(small_call(21, &v), row.result);
  }
  EXPECT_EQ(v, row.out);
  EXPECT_EQ(get_err(), row.err);
  EXPECT_EQ(seen_.events, row.events);
  for (const auto &l : row.logs) EXPECT_TRUE(cap.contains_substr(l)) << l << " not in:\n" << cap.dump();
  EXPECT_TRUE(!row.logs.empty() || cap.lines().empty()) << cap.dump();
  EXPECT_EQ(seen_.reconnects, row.reconnects);
  EXPECT_TRUE(testsupport::read_file(xml_file) == row.xml);
  const std::string s = std::to_string(sock), n = std::to_string(seq) + "\n";
  EXPECT_TRUE(row.bare || seen_.traces.front() == s + ": client -send " + n);
  EXPECT_TRUE(row.bare || seen_.traces.back() == s + (row.reconnects ? ":client-recieve failed " : ":client- recieve ") + n);
  EXPECT_TRUE(row.after == kSkip || small_call(1, &v) == row.after);
  EXPECT_EQ(pl::testing::next_sequence(), seq + (row.after != kSkip ? 2 : 1));
  if (sock != peer.client_fd()) close(sock);
  peer.close_client();
  peer.join();
  EXPECT_EQ(peer.input_replies(), row.inputs);
  const MSG_HDR h = peer.requests().at(0).hdr;  // the items: the remote-call table
  EXPECT_EQ(std::vector<uint32_t>({h.hdr_len, h.seq, h.total_len, h.magic, uint32_t(h.item_count), uint32_t(h.privilege), uint32_t(h.uid), uint32_t(h.client_id)}),
            std::vector<uint32_t>({56, seq, 68, MSG_MAGIC, 2, 2, 500, 0}));
}

// A forced time-out never meets the signals: each interrupted wait starts it afresh.
std::vector<std::pair<size_t, int>> modes() {
  std::vector<std::pair<size_t, int>> all;
  for (size_t r = 0; r < rows().size(); ++r)
    for (int mode = 0; mode < (rows()[r].timeout >= 0 ? 1 : 4); ++mode) all.emplace_back(r, mode);
  return all;
}
const char *const kModes[] = {"", "_timed", "_signals", "_timed_signals"};
INSTANTIATE_TEST_SUITE_P(Rows, Exchange, ::testing::ValuesIn(modes()),
                         [](const auto &i) { return rows()[i.param.first].name + std::string(kModes[i.param.second]); });


// 4096 bytes is the largest frame; each kind of item that overflows it is
// refused with its own report, and nothing is sent.
TEST_F(ExchangeTest, FrameLimit) {
  const std::string s4036(4036, 's'), s4037(4037, 's'), a4035(4035, 'a');
  const std::string too_long = report("len + 3 + info->size > SERVER_BUFFER_SIZE", "PrepareSendMsg", 272),
                    int_too_long = report("len + 3 + info->size > SERVER_BUFFER_SIZE", "PrepareSendMsg", 262),
                    head_too_long = report("len + 3 > SERVER_BUFFER_SIZE", "PrepareSendMsg", 282);
  const std::vector<std::tuple<std::function<void(MSG *)>, int, std::string>> cases = {
      {[&](MSG *m) { AddStrToMsg(m, s4036.c_str()); }, 4096, ""},
      {[&](MSG *m) { AddStrToMsg(m, s4037.c_str()); }, 0, too_long},
      {[&](MSG *m) { AddCArrayToMsg(m, 4030, a4035.data()), AddIntToMsg(m, 1); }, 4096, ""},
      {[&](MSG *m) { AddCArrayToMsg(m, 4030, a4035.data()), AddIntToMsg(m, 1), AddIntToMsg(m, 2); }, 0, int_too_long},
      {[&](MSG *m) { AddArrayToMsg(m, 4035, const_cast<char *>(a4035.data())), AddPtrToMsg(m, 4, nullptr); }, 0, head_too_long},
      {[&](MSG *m) { AddCArrayToMsg(m, -5, "x"); }, 0, too_long},
      {[&](MSG *m) { AddCArrayToMsg(m, 10, nullptr); }, 0, ""},
  };
  for (const auto &[add, size, line] : cases) {
    testsupport::SyslogCapture cap;
    MSG *m = CreateMsg(1);
    add(m);
    unsigned char buf[SERVER_BUFFER_SIZE + 16];
    std::memset(buf, 0xEE, sizeof buf);
    EXPECT_EQ(pl::PrepareSendMsg(m, buf, 0), size);
    EXPECT_EQ(buf[SERVER_BUFFER_SIZE], 0xEE) << "wrote past the frame";
    EXPECT_TRUE(line.empty() ? cap.lines().empty() : cap.contains(LOG_USER | LOG_ERR, line)) << cap.dump();
    std::free(m);
  }
}

// Nothing sent: no socket, a request too long, no memory, a daemon that
// went away (-1 and EPIPE, never SIGPIPE), a timed send nobody reads.
TEST_F(ExchangeTest, SendFailures) {
  testsupport::Peer peer([](PeerConn &c) { c.close(); });
  peer.join();
  testsupport::SyslogCapture cap;
  EXPECT_EQ(SendAndRcv(CreateMsg(1)), -1);
  set_socket(peer.client_fd());
  MSG *m = CreateMsg(1);
  AddStrToMsg(m, std::string(4037, 'b').c_str());
  EXPECT_EQ(SendAndRcv(m), -1);
  EXPECT_REPORT(cap, "len == 0", "pam_lib", "SendAndRcvSocketWithTimeout", 600);
  m = CreateMsg(1);
  {
    testsupport::AllocFailure fail(0);
    EXPECT_EQ(SendAndRcv(m), -1);
  }
  EXPECT_REPORT(cap, "buf == NULL", "pam_lib", "SendAndRcvSocketWithTimeout", 598);
  EXPECT_EQ(SendAndRcv(CreateMsg(1)), -1);
  EXPECT_EQ(timed_send(peer.client_fd(), "x", 0, 0, 100), 0);
  EXPECT_EQ(timed_send(peer.client_fd(), "x", 0, 0, 0), -1);
  EXPECT_EQ(errno, EPIPE);
  pl::g_ctx.timeout = 200;
  EXPECT_EQ(SendAndRcv(CreateMsg(1)), -1);
  EXPECT_TRUE(cap.contains_substr("send fail " + std::to_string(EPIPE))) << cap.dump();
  EXPECT_EQ(seen_.reconnects, 5);
  testsupport::Peer silent([](PeerConn &c) { c.stall(2000); });
  const std::string data(8 << 20, 'q');  // more than the socket buffers hold
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(timed_send(silent.client_fd(), data.data(), static_cast<int>(data.size()), 0, 150), 0);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_TRUE(ms >= 140 && ms < 1500) << ms;
}

TEST_F(ExchangeTest, ClientInit) {
  const std::string primary = tmp_.file("mgtd1"), fallback = tmp_.file("mgtd");
  pl::testing::set_endpoints(primary.c_str(), fallback.c_str(), 0);
  EXPECT_EQ(std::vector<int>({client_Init(), client_Init_with_timeout(0), client_Init_with_timeout(200)}), std::vector<int>(3, -1));
  EXPECT_EQ(seen_.events, std::vector<std::string>{"debug:%d:Error connecting %d - %s\n"});
  using Way = std::tuple<std::string, int, int>;  // listener, protocol, time-out (-1: client_Init)
  for (const auto &[path, protocol, timeout] : {Way{fallback, 0, -1}, Way{primary, 1, -1}, Way{primary, 1, 0}, Way{primary, 1, 500}}) {
    const int l = testsupport::bind_unix(path);
    ASSERT_EQ(listen(l, 4), 0);
    const int s = timeout < 0 ? client_Init() : client_Init_with_timeout(timeout);
    EXPECT_GE(s, 0);
    EXPECT_EQ(get_client_protocol(), protocol);
    EXPECT_EQ(fcntl(s, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_TRUE(fcntl(s, F_GETFD) & FD_CLOEXEC);
    close(s);
    close(l);
    unlink(path.c_str());
  }
  EXPECT_EQ(std::vector<int>({client_Init_External("not-an-address", 700), pl::g_ctx.timeout}), std::vector<int>({-1, 700}));
}

// Another local user listens at the daemon's paths first (the kernel
// records the listener's credentials at listen()): no connection is made.
TEST_F(ExchangeTest, PeerOfAnotherUserIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to listen as another uid (65534)";
  const std::string paths[] = {tmp_.file("mgtd1"), tmp_.file("mgtd")};
  pl::testing::set_endpoints(paths[0].c_str(), paths[1].c_str(), 0);
  const int l1 = testsupport::bind_unix(paths[0]), l2 = testsupport::bind_unix(paths[1]);
  ASSERT_EQ(seteuid(65534), 0);
  const bool listening = listen(l1, 4) == 0 && listen(l2, 4) == 0;
  ASSERT_EQ(seteuid(0), 0);
  ASSERT_TRUE(listening);
  testsupport::SyslogCapture cap;
  EXPECT_EQ(std::vector<int>({client_Init(), client_Init_with_timeout(0), client_Init_with_timeout(500)}), std::vector<int>(3, -1));
  EXPECT_TRUE(cap.contains_substr("refused daemon socket: peer uid 65534 pid " + std::to_string(getpid()))) << cap.dump();
  const auto refusals = std::count(seen_.events.begin(), seen_.events.end(),
                                   "debug:%d:Refused the daemon socket: peer uid %d pid %d is neither root nor our user\n");
  EXPECT_EQ(refusals, 4);  // both paths of client_Init
  close(l1);
  close(l2);
}

using FaultTest = ExchangeTest;

TEST_F(FaultTest, ExchangeSurvivesEveryAllocationFailure) {
  const std::string reports[] = {report("msg == NULL", "CreateMsg", 117), report("buf == NULL", "SendAndRcvSocketWithTimeout", 598),
                                 report("line_input == NULL", "get_input_line", 540)};
  const std::vector<Step> busy = {F(REPLY_PRINT, "line\n"), F(REPLY_INPUT, "Go? " + kNul), kIn, F(REPLY_XML, "<a/>"),
                                  F(REPLY_RUN_CMD, "true" + kNul), F(REPLY_PRINT_END, ""), Res(7, 99)};
  std::vector<int> results;
  for (long k = 0; k < 10; ++k) {
    testsupport::Peer peer([&](PeerConn &c) { play(c, busy); }, 300);  // a lost input reply is waited for briefly
    set_socket(peer.client_fd());
    seen_ = Seen{};
    testsupport::SyslogCapture cap;
    const long before = pl::testing::allocations_requested();
    int32_t out = 0;
    {
      testsupport::AllocFailure fail(k);
      results.push_back(small_call(1, &out));
    }
    EXPECT_EQ(out, results.back() == 7 ? 99 : 0);
    EXPECT_EQ(testsupport::read_file(GetXMLFileName()), results.back() == 7 ? "<a/>" : "");  // created when missing
    EXPECT_EQ(seen_.reconnects, k == 1 ? 1 : 0) << k;
    EXPECT_TRUE(k < 3 ? cap.contains_substr(reports[k]) : cap.lines().empty()) << k << cap.dump();
    if (pl::testing::allocations_requested() - before <= k) break;  // nothing failed
  }
  EXPECT_EQ(results, std::vector<int>({-1, -1, 7, 7}));  // message, buffer, input reply, none
}

// No connection can be made, and each way says why.
TEST_F(FaultTest, HostOutOfDescriptors) {
  if (under_valgrind()) GTEST_SKIP() << "valgrind manages the descriptor limit itself";
  testsupport::SyslogCapture cap;
  rlimit saved{}, low{};
  getrlimit(RLIMIT_NOFILE, &saved);
  low = {256, saved.rlim_max};
  setrlimit(RLIMIT_NOFILE, &low);
  std::vector<int> held;
  for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) held.push_back(fd);
  const int a = client_Init(), b = client_Init_with_timeout(100), c = client_Init_External("127.0.0.1", 100);
  for (int fd : held) close(fd);
  setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(std::vector<int>({a, b, c, pl::g_ctx.timeout}), std::vector<int>({-1, -1, -1, 0}));  // no time-out without a socket
  EXPECT_REPORT(cap, "client_sock == -1", "pam_lib", "client_open_sock", 800);
  EXPECT_REPORT(cap, "sock == -1", "pam_lib", "client_Init_with_timeout", 841);
  EXPECT_REPORT(cap, "client_sock == -1", "pam_lib", "client_Init_External", 753);
}

}  // namespace
