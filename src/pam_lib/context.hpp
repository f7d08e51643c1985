// The process-wide client context, settings and host hooks. Shared without a
// lock: a process runs one exchange with the daemon at a time.
#pragma once

#include <cstdint>

#include "pam_lib.h"

namespace pl {

struct ClientContext {
  int32_t privilege = -1;
  int32_t socket = -1;
  int32_t uid = -1;
  int32_t err = 0;
  int32_t timeout = 0;  // ms for every exchange; 0 blocks without limit
  int32_t client_id = 0;
};

struct Hooks {
  debug_print_fn debug_print = nullptr;
  reconnect_fn reconnect = nullptr;
  get_input_fn get_input = nullptr;
  run_cmd_fn run_cmd = nullptr;
  print_out_fn print_out = nullptr;
};

extern ClientContext g_ctx;
extern Hooks g_hooks;
extern int32_t g_client_protocol;   // 1: "/tmp/mgtd1", 0: fallback "/tmp/mgtd"
extern int32_t g_debug_connection;  // stored for the host, read by nobody

namespace testing {
// Back to the load-time defaults (tests only; the library never resets).
void reset_client_context() noexcept;
}  // namespace testing

}  // namespace pl
