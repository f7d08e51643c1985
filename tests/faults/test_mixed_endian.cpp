// A client and a daemon of different byte orders over TCP on 127.0.0.1 (the
// daemon named by MGTD_OTHER_ORDER, a program or wrapper). The 32-bit words
// travel in each side's own order, so neither recognises the other's frames:
// the daemon refuses the request in its own order and drops the connection,
// the call fails with -1 and reconnect_func runs. Nothing is misread.
#include <sys/socket.h>
#include <unistd.h>

#include "exchange/exchange_env.hpp"
#include "pam_lib/message.hpp"
#include "pam_lib/wire.hpp"
#include "support/mgtd_process.hpp"

namespace {

using FaultTest = xenv::Test;

TEST_F(FaultTest, MixedByteOrder) {
  const char *bin = std::getenv("MGTD_OTHER_ORDER");
  if (!bin || !*bin) GTEST_SKIP() << "MGTD_OTHER_ORDER names no daemon of the other byte order";
  testsupport::MgtdProcess daemon(bin, tmp_.path(), {"--tcp", "127.0.0.1:0"});
  ASSERT_GT(daemon.tcp_port(), 0) << "the daemon did not start";
  pl::testing::set_endpoints(nullptr, nullptr, static_cast<uint16_t>(daemon.tcp_port()));
  testsupport::SyslogCapture cap;
  int sock = client_Init_External("127.0.0.1", 2000);
  ASSERT_GE(sock, 0);
  set_socket(sock);
  int handle = -1;
  EXPECT_EQ(DM_EntityFind("system", &handle), -1);
  EXPECT_EQ(handle, -1);
  EXPECT_EQ(xenv::seen().reconnects, 1);
  EXPECT_REPORT(cap, "len <=0", "pam_lib", "get_rcv_header", 459);
  close(sock);

  // The refusal itself: one frame in the daemon's order, then end of file.
  sock = client_Init_External("127.0.0.1", 2000);
  ASSERT_GE(sock, 0);
  MSG *m = CreateMsg(4);
  AddStrToMsg(m, "system");
  unsigned char frame[SERVER_BUFFER_SIZE];
  const int len = pl::PrepareSendMsg(m, frame, 7);
  std::free(m);
  ASSERT_EQ(send(sock, frame, len, MSG_NOSIGNAL), len);
  std::string reply;
  char buf[256];
  for (int n; (n = pl::timed_recv(sock, buf, sizeof buf, 0, 2000)) > 0;) reply.append(buf, n);
  close(sock);
  ASSERT_EQ(reply.size(), static_cast<size_t>(REPLY_HDR_LEN));
  REPLY_HDR h;
  std::memcpy(&h, reply.data(), sizeof h);
  EXPECT_EQ(h.magic, __builtin_bswap32(MSG_MAGIC));
  EXPECT_NE(h.status, 0);
  EXPECT_EQ(h.result, -1);  // reads the same in both orders
}

}  // namespace
