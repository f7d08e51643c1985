#include "common.hpp"

#include <gtest/gtest.h>

namespace faults {

Counts &counts() {
  static Counts c;
  return c;
}

namespace {
int on_debug(const char *, ...) { return 0; }
int on_reconnect(MSG *) {
  ++counts().reconnects;
  if (counts().on_reconnect) counts().on_reconnect();
  return 0;
}
int on_print(REPLY *, FILE **) {
  ++counts().prints;
  return 0;
}
char *on_input(const char *, int) {
  ++counts().inputs;
  return strdup("yes");
}
int on_command(const char *) {
  ++counts().commands;
  return 0;
}
}  // namespace

void install_counting_hooks() {
  set_debug_print(on_debug);
  set_reconnect_func(on_reconnect);
  set_print_out(on_print);
  set_get_input_func(on_input);
  set_run_cmd_function(on_command);
}

void FaultTest::SetUp() {
  pl::testing::reset_client_context();
  counts() = Counts{};
  xml_base_ = tmp_.file("xml");
  pl::testing::set_xml_base(xml_base_.c_str());
  install_counting_hooks();
}

void FaultTest::TearDown() {
  pl::testing::fail_allocations_after(-1);
  pl::testing::set_xml_base(nullptr);
  pl::testing::reset_client_context();
}

int sweep_allocations(const std::function<void(long k)> &attempt, long limit) {
  int failed = 0;
  for (long k = 0; k < limit; ++k) {
    const long before = pl::testing::allocations_requested();
    {
      testsupport::AllocFailure fail(k);
      attempt(k);
    }
    if (pl::testing::allocations_requested() - before <= k) return failed;
    ++failed;
  }
  ADD_FAILURE() << "allocations never ran out after " << limit << " attempts";
  return failed;
}

}  // namespace faults
