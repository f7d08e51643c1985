// The first exchange of a process carries sequence number 0, the next 1.
#include "common.hpp"

namespace exchange_test {
namespace {

TEST_F(ExchangeTest, FirstExchangesAreZeroAndOne) {
  testsupport::Peer peer(testsupport::Peer::serve(
      [](const testsupport::Request &) { return testsupport::Result{0, ""}; }));
  set_socket(peer.client_fd());
  EXPECT_EQ(SendAndRcv(CreateMsg(1)), 0);
  EXPECT_EQ(SendAndRcv(CreateMsg(1)), 0);
  peer.close_client();
  peer.join();
  auto reqs = peer.requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(reqs[0].hdr.seq, 0u);
  EXPECT_EQ(reqs[1].hdr.seq, 1u);
}

}  // namespace
}  // namespace exchange_test
