// A daemon of the other byte order (MGTD_OTHER_ORDER, a program or wrapper)
// over TCP: it refuses the request, the call fails and reconnect_func runs.
#include <unistd.h>

#include "pam_lib.h"
#include "pam_lib/context.hpp"
#include "pam_lib/transport.hpp"
#include "support/harness.hpp"
#include "support/mgtd_process.hpp"

namespace {

int g_reconnects = 0;

TEST(FaultTest, MixedByteOrder) {
  const char *bin = std::getenv("MGTD_OTHER_ORDER");
  if (!bin || !*bin) GTEST_SKIP() << "MGTD_OTHER_ORDER names no daemon of the other byte order";
  testsupport::TempDir tmp;
  testsupport::MgtdProcess daemon(bin, tmp.path(), {"--tcp", "127.0.0.1:0"});
  ASSERT_GT(daemon.tcp_port(), 0) << "the daemon did not start";
  pl::testing::set_endpoints(nullptr, nullptr, static_cast<uint16_t>(daemon.tcp_port()));
  set_reconnect_func([](MSG *) { return ++g_reconnects, 0; });
  testsupport::SyslogCapture cap;
  const int sock = client_Init_External("127.0.0.1", 2000);
  ASSERT_GE(sock, 0);
  set_socket(sock);
  int handle = -1;
  EXPECT_EQ(DM_EntityFind("system", &handle), -1);
  EXPECT_EQ(handle, -1);
  EXPECT_EQ(g_reconnects, 1);
  EXPECT_REPORT(cap, "len <=0", "pam_lib", "get_rcv_header", 459);
  close(sock);
}

}  // namespace
