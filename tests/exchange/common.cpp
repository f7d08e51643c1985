#include "common.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace exchange_test {
namespace {
HookLog g_log;

int debug_hook(const char *fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  g_log.debug.push_back(buf);
  return 0;
}
int reconnect_hook(MSG *m) {
  ++g_log.reconnects;
  g_log.reconnect_msg = m;
  return 0;
}
char *input_hook(const char *prompt, int value) {
  g_log.prompts.emplace_back(prompt, value);
  if (g_log.input_null) return nullptr;
  return strdup(g_log.input_answer.c_str());
}
int run_cmd_hook(const char *cmd) {
  g_log.commands.push_back(cmd);
  return 0;
}
int print_hook(REPLY *frame, FILE **slot) {
  g_log.printed.emplace_back(frame->data, static_cast<size_t>(frame->hdr.chunk_len));
  g_log.slots.push_back(slot);
  g_log.slot_empty.push_back(*slot == nullptr);
  if (!g_log.pipe_command.empty() && !*slot) *slot = popen(g_log.pipe_command.c_str(), "w");
  if (*slot) fwrite(frame->data, 1, static_cast<size_t>(frame->hdr.chunk_len), *slot);
  return 0;
}
}  // namespace

HookLog &hooks() { return g_log; }

void install_hooks() {
  set_debug_print(debug_hook);
  set_reconnect_func(reconnect_hook);
  set_get_input_func(input_hook);
  set_run_cmd_function(run_cmd_hook);
  set_print_out(print_hook);
}

void ExchangeTest::SetUp() {
  pl::testing::reset_client_context();
  g_log = HookLog{};
  xml_base_ = tmp_.file("xml");
  pl::testing::set_xml_base(xml_base_.c_str());
}

void ExchangeTest::TearDown() {
  pl::testing::reset_client_context();
  pl::testing::set_xml_base(nullptr);
  pl::testing::set_endpoints(nullptr, nullptr, 0);
}

}  // namespace exchange_test
