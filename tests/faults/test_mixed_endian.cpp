// A client and a daemon of different byte orders over TCP on 127.0.0.1 (on
// the appliance's processor against a daemon built for a little-endian
// host, or the other way round). The 32-bit words travel in each side's own
// order, so neither side recognises the other's frames: the daemon refuses
// the request and drops the connection, the call fails with -1 and
// reconnect_func runs. Nothing is misread as a valid frame. The daemon of
// the other order is named by MGTD_OTHER_ORDER (a program or wrapper).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common.hpp"
#include "support/mgtd_process.hpp"
#include "pam_lib/transport.hpp"
#include "pam_lib/wire.hpp"

namespace faults {
namespace {

class MixedOrderTest : public FaultTest {
 protected:
  void SetUp() override {
    FaultTest::SetUp();
    const char *bin = std::getenv("MGTD_OTHER_ORDER");
    if (!bin || !*bin) GTEST_SKIP() << "MGTD_OTHER_ORDER names no daemon of the other byte order";
    daemon_ = std::make_unique<testsupport::MgtdProcess>(
        bin, tmp_.path(), std::vector<std::string>{"--tcp", "127.0.0.1:0"});
    ASSERT_GT(daemon_->tcp_port(), 0) << "the daemon did not start";
    pl::testing::set_endpoints(nullptr, nullptr, static_cast<uint16_t>(daemon_->tcp_port()));
  }
  void TearDown() override {
    pl::testing::set_endpoints(nullptr, nullptr, 0);
    daemon_.reset();
    FaultTest::TearDown();
  }
  std::unique_ptr<testsupport::MgtdProcess> daemon_;
};

TEST_F(MixedOrderTest, TheDaemonRefusesAndTheCallFails) {
  testsupport::SyslogCapture cap;
  const int sock = client_Init_External("127.0.0.1", 2000);
  ASSERT_GE(sock, 0);
  set_socket(sock);
  int handle = -1;
  EXPECT_EQ(DM_EntityFind("system", &handle), ERROR);
  EXPECT_EQ(handle, -1);
  EXPECT_EQ(counts().reconnects, 1);
  // No reply header carried our magic and sequence number.
  EXPECT_REPORT(cap, "len <=0", "pam_lib", "get_rcv_header", 459);
  close(sock);
}

TEST_F(MixedOrderTest, TheRefusalIsInTheDaemonsOwnOrder) {
  const int sock = client_Init_External("127.0.0.1", 2000);
  ASSERT_GE(sock, 0);
  MSG *m = CreateMsg(4);
  AddStrToMsg(m, "system");
  unsigned char frame[SERVER_BUFFER_SIZE];
  const int len = pl::PrepareSendMsg(m, frame, 7);
  std::free(m);
  ASSERT_EQ(send(sock, frame, len, MSG_NOSIGNAL), len);
  // One refusal frame, then the daemon closes the connection.
  std::string reply;
  char buf[256];
  ssize_t n;
  while ((n = pl::timed_recv(sock, buf, sizeof buf, 0, 2000)) > 0) reply.append(buf, n);
  close(sock);
  ASSERT_EQ(reply.size(), static_cast<size_t>(REPLY_HDR_LEN));
  REPLY_HDR h;
  std::memcpy(&h, reply.data(), sizeof h);
  EXPECT_EQ(h.magic, __builtin_bswap32(MSG_MAGIC));  // the other order's magic
  EXPECT_NE(h.status, 0);
  EXPECT_EQ(h.result, -1);  // -1 reads the same in both orders
}

}  // namespace
}  // namespace faults
