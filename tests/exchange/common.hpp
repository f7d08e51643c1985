// Shared pieces of the exchange tests: fixture, message owner, byte-order
// helpers and recording hooks.
#pragma once

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "pam_lib.h"
#include "pam_lib/context.hpp"
#include "pam_lib/exchange.hpp"
#include "pam_lib/transport.hpp"
#include "support/harness.hpp"
#include "support/peer.hpp"

namespace exchange_test {

struct MsgDeleter {
  void operator()(MSG *m) const { std::free(m); }
};
using MsgPtr = std::unique_ptr<MSG, MsgDeleter>;

// Bytes written high byte first, as the appliance sends them; the 32-bit
// words starting at `words` are turned into the processor's order, so the
// same literal checks both byte orders (exactly as written on big-endian).
inline std::string from_big_endian(std::vector<unsigned char> bytes,
                                   const std::vector<size_t> &words) {
  if constexpr (std::endian::native == std::endian::little) {
    for (size_t at : words)
      for (size_t i = 0; i < 2; ++i) std::swap(bytes[at + i], bytes[at + 3 - i]);
  }
  return std::string(bytes.begin(), bytes.end());
}

// What the hooks saw.
struct HookLog {
  std::vector<std::string> debug;        // formatted debug_print lines
  int reconnects = 0;
  MSG *reconnect_msg = nullptr;
  std::vector<std::pair<std::string, int>> prompts;
  std::string input_answer;              // what get_input_func returns
  bool input_null = false;               // return NULL instead
  std::vector<std::string> commands;
  std::vector<std::string> printed;      // print_out chunks
  std::vector<FILE **> slots;            // pipe-stream slot addresses seen
  std::vector<bool> slot_empty;          // the slot held no stream on entry
  std::string pipe_command;              // popen()ed by print_out when set
};
HookLog &hooks();
void install_hooks();  // all five

class ExchangeTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  testsupport::TempDir tmp_;
  std::string xml_base_;
};

}  // namespace exchange_test
