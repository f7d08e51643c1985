// Shared by the exchange and fault tests: a clean client context per test,
// host hooks that record what they saw, and one small call.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/alloc.hpp"
#include "pam_lib.h"
#include "pam_lib/context.hpp"
#include "pam_lib/exchange.hpp"
#include "pam_lib/transport.hpp"
#include "support/harness.hpp"
#include "support/peer.hpp"

namespace xenv {

struct Seen {
  std::vector<std::string> events;  // "print+:text" (+: a new pipe), "prompt:text:n", "cmd:text", "debug:fmt"
  std::vector<std::string> traces;  // the send/receive/failure traces, formatted
  std::vector<std::string> answers = {"admin"};  // input answers in turn, then NULL
  int reconnects = 0;
};
inline Seen seen_;
inline Seen &seen() { return seen_; }

inline int on_debug(const char *fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  const bool trace = std::strstr(fmt, "client -send") || std::strstr(fmt, "client- recieve") || std::strstr(fmt, "recieve failed");
  trace ? seen_.traces.push_back(buf) : seen_.events.push_back(std::string("debug:") + fmt);
  return 0;
}
inline int on_print(REPLY *f, FILE **slot) {
  seen_.events.push_back((*slot ? "print:" : "print+:") + std::string(f->data, f->hdr.chunk_len));
  if (!*slot) *slot = popen("cat >/dev/null", "w");
  return 0;
}
inline char *on_input(const char *prompt, int value) {
  seen_.events.push_back("prompt:" + std::string(prompt) + ":" + std::to_string(value));
  if (seen_.answers.empty()) return nullptr;
  char *a = strdup(seen_.answers.front().c_str());
  seen_.answers.erase(seen_.answers.begin());
  return a;
}

class Test : public ::testing::Test {
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
    pl::testing::fail_allocations_after(-1);
    pl::testing::reset_client_context();
    pl::testing::set_xml_base(nullptr);
    pl::testing::set_endpoints(nullptr, nullptr, 0);
  }
  testsupport::TempDir tmp_;
  const std::string xml_base_ = tmp_.file("xml");
};

// One integer in, one 4-byte out-item.
inline int small_call(int32_t in, int32_t *out) {
  MSG *m = CreateMsg(14);
  if (!m) return -1;
  AddIntToMsg(m, in);
  AddPtrToMsg(m, 4, out);
  return SendAndRcv(m);
}

inline std::string report(const char *cond, const char *function, int line) {
  return testsupport::report_text(cond, "pam_lib", function, line);
}

}  // namespace xenv
