// Shared by the fault-injection tests: a clean client context per test,
// hooks that count, and the allocation sweep.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>

#include "common/alloc.hpp"
#include "pam_lib.h"
#include "pam_lib/context.hpp"
#include "pam_lib/exchange.hpp"
#include "support/harness.hpp"
#include "support/peer.hpp"

namespace faults {

// What the hooks saw during one test.
struct Counts {
  int reconnects = 0;
  int prints = 0;
  int inputs = 0;
  int commands = 0;
  std::function<void()> on_reconnect;  // e.g. connect to a new daemon
};
Counts &counts();
void install_counting_hooks();

class FaultTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  testsupport::TempDir tmp_;
  std::string xml_base_;
};

// Runs `attempt(k)` with the k-th allocation failing, for k = 0, 1, ...,
// until an attempt makes no more allocations than it was allowed (nothing
// failed). Returns the number of attempts in which an allocation failed.
int sweep_allocations(const std::function<void(long k)> &attempt, long limit = 200);

}  // namespace faults
