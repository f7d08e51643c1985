#include "pam_lib/context.hpp"

namespace pl {

ClientContext g_ctx;
Hooks g_hooks;
int32_t g_client_protocol = 1;
int32_t g_debug_connection = 0;

namespace testing {
void reset_client_context() noexcept {
  g_ctx = ClientContext{};
  g_hooks = Hooks{};
  g_client_protocol = 1;
  g_debug_connection = 0;
}
}  // namespace testing

}  // namespace pl

using pl::g_ctx;
using pl::g_hooks;

extern "C" {

PAM_LIB_API void set_socket(int sock) noexcept { g_ctx.socket = sock; }
PAM_LIB_API int get_socket(void) noexcept { return g_ctx.socket; }
PAM_LIB_API void set_privelege(int privilege) noexcept { g_ctx.privilege = privilege; }
PAM_LIB_API int get_privilege(void) noexcept { return g_ctx.privilege; }
PAM_LIB_API void set_uid(int uid) noexcept { g_ctx.uid = uid; }
PAM_LIB_API int get_err(void) noexcept { return g_ctx.err; }
PAM_LIB_API void set_client_id(int client_id) noexcept { g_ctx.client_id = client_id; }
PAM_LIB_API int get_client_protocol(void) noexcept { return pl::g_client_protocol; }
PAM_LIB_API void set_debug_connection(int flag) noexcept { pl::g_debug_connection = flag; }

PAM_LIB_API void set_debug_print(debug_print_fn hook) noexcept { g_hooks.debug_print = hook; }
PAM_LIB_API void set_reconnect_func(reconnect_fn hook) noexcept { g_hooks.reconnect = hook; }
PAM_LIB_API void set_get_input_func(get_input_fn hook) noexcept { g_hooks.get_input = hook; }
PAM_LIB_API void set_run_cmd_function(run_cmd_fn hook) noexcept { g_hooks.run_cmd = hook; }
PAM_LIB_API void set_print_out(print_out_fn hook) noexcept { g_hooks.print_out = hook; }

}  // extern "C"
