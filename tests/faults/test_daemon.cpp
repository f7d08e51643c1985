// A daemon that misbehaves: it dies in the middle of a frame, stalls past the
// time-out, closes between frames, or answers another sequence number first.
// Each call returns -1 or the right result, reconnect_func runs once per
// failed call, and the next call on a new connection works.
#include <memory>
#include <string>

#include "common.hpp"

namespace faults {
namespace {

using testsupport::bytes_of;
using testsupport::make_frame;
using testsupport::PeerConn;

// A healthy daemon: every request is answered 5 with the integer 55.
std::unique_ptr<testsupport::Peer> healthy_daemon() {
  return std::make_unique<testsupport::Peer>(testsupport::Peer::serve([](const testsupport::Request &) {
    return testsupport::Result{.result = 5, .data = bytes_of(int32_t{55})};
  }));
}

int call(int32_t *out) {
  MSG *m = CreateMsg(48);
  AddStrToMsg(m, "system.mtu");
  AddPtrToMsg(m, 4, out);
  return SendAndRcv(m);
}

class DaemonFaultTest : public FaultTest, public ::testing::WithParamInterface<int> {
 protected:
  // Runs one call against `script` with the parameter's time-out; a failed
  // call must reconnect (to a healthy daemon) exactly once, and the next
  // call goes through on the new connection.
  int run_and_recover(testsupport::Peer::Script script, int32_t *out) {
    set_timeout(GetParam());
    testsupport::Peer bad(std::move(script), 2000);
    auto good = healthy_daemon();
    set_socket(bad.client_fd());
    counts().on_reconnect = [&] { set_socket(good->client_fd()); };
    const int r = call(out);
    if (r == ERROR) {
      EXPECT_EQ(counts().reconnects, 1);
      EXPECT_EQ(get_socket(), good->client_fd());
      int32_t again = 0;
      EXPECT_EQ(call(&again), 5);
      EXPECT_EQ(again, 55);
      EXPECT_EQ(counts().reconnects, 1);
    } else {
      EXPECT_EQ(counts().reconnects, 0);
    }
    counts().on_reconnect = nullptr;
    return r;
  }
  static void set_timeout(int ms) { pl::g_ctx.timeout = ms; }
};

TEST_P(DaemonFaultTest, DiesInTheMiddleOfAFrame) {
  int32_t out = 0;
  // Inside a header, inside the data, and inside the result's data.
  for (size_t cut : {size_t{20}, size_t{48 + 3}}) {
    counts().reconnects = 0;
    EXPECT_EQ(run_and_recover([cut](PeerConn &c) {
                if (!c.read_request()) return;
                c.send_raw(make_frame(REPLY_PRINT, c.seq(), "0123456789").substr(0, cut));
                c.close();
              }, &out), ERROR);
  }
  counts().reconnects = 0;
  EXPECT_EQ(run_and_recover([](PeerConn &c) {
              if (!c.read_request()) return;
              c.send_raw(make_frame(REPLY_RESULT, c.seq(), bytes_of(int32_t{9}), 1).substr(0, 50));
              c.close();
            }, &out), ERROR);
  EXPECT_EQ(out, 0);  // out items untouched by a failed call
}

TEST_P(DaemonFaultTest, ClosesBetweenFrames) {
  int32_t out = 0;
  EXPECT_EQ(run_and_recover([](PeerConn &c) {
              if (!c.read_request()) return;
              c.send_frame(REPLY_PRINT, "partial output\n");
              c.close();
            }, &out), ERROR);
  EXPECT_EQ(counts().prints, 1);
}

TEST_P(DaemonFaultTest, AnswersAnotherSequenceNumberFirst) {
  int32_t out = 0;
  EXPECT_EQ(run_and_recover([](PeerConn &c) {
              if (!c.read_request()) return;
              const uint32_t seq = c.seq();
              // A late answer to an earlier call and one from the future,
              // then this call's own.
              c.send_raw(make_frame(REPLY_RESULT, seq - 1, "", 1));
              c.send_raw(make_frame(REPLY_RESULT, seq + 1, "", 2));
              c.send_raw(make_frame(REPLY_PRINT, seq + 7, ""));
              c.send_result(3, bytes_of(int32_t{33}));
            }, &out), 3);
  EXPECT_EQ(out, 33);
  EXPECT_EQ(counts().prints, 0);
}

INSTANTIATE_TEST_SUITE_P(Timeouts, DaemonFaultTest, ::testing::Values(0, 300),
                         [](const auto &info) { return "timeout_" + std::to_string(info.param); });

TEST_F(FaultTest, StallsPastTheTimeout) {
  pl::g_ctx.timeout = 100;
  int32_t out = 0;
  for (bool mid_frame : {false, true}) {
    SCOPED_TRACE(mid_frame ? "inside a frame" : "before the result");
    counts().reconnects = 0;
    testsupport::Peer bad([mid_frame](PeerConn &c) {
      if (!c.read_request()) return;
      std::string frame = make_frame(REPLY_RESULT, c.seq(), bytes_of(int32_t{1}), 1);
      if (mid_frame) c.send_raw(frame.substr(0, 50));
      c.stall(600);
      c.send_raw(mid_frame ? frame.substr(50) : frame);
    });
    auto good = healthy_daemon();
    set_socket(bad.client_fd());
    counts().on_reconnect = [&] { set_socket(good->client_fd()); };
    // The answer comes after 600 ms: a call that did not give up at its
    // time-out would return it.
    EXPECT_EQ(call(&out), ERROR);
    EXPECT_EQ(counts().reconnects, 1);
    EXPECT_EQ(call(&out), 5);
    EXPECT_EQ(out, 55);
    EXPECT_EQ(counts().reconnects, 1);
    counts().on_reconnect = nullptr;
  }
}

// A host that keeps the connection after a time-out: the late answer to the
// timed-out call comes first and is passed over.
TEST_F(FaultTest, LateAnswerOnTheSameConnectionIsPassedOver) {
  pl::g_ctx.timeout = 100;
  testsupport::Peer peer([](PeerConn &c) {
    auto first = c.read_request();
    if (!first) return;
    const uint32_t late = c.seq();
    auto second = c.read_request();  // sent after the first call gave up
    if (!second) return;
    c.send_raw(make_frame(REPLY_RESULT, late, "", 1));
    c.send_result(2, bytes_of(int32_t{22}));
  });
  set_socket(peer.client_fd());
  int32_t out = 0;
  EXPECT_EQ(call(&out), ERROR);
  EXPECT_EQ(counts().reconnects, 1);
  EXPECT_EQ(call(&out), 2);
  EXPECT_EQ(out, 22);
  EXPECT_EQ(counts().reconnects, 1);
}

}  // namespace
}  // namespace faults
