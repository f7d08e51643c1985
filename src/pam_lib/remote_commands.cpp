// Remote calls for the daemon's commands. While a command runs the daemon
// may print, stream XML, ask for input or run a command on this side; the
// exchange serves those through the host's hooks before the result comes.
#include "pam_lib/remote_call.hpp"

namespace {
using namespace pl::remote;

constexpr CallDesc kExecCommand{"CMD_ExecCommand", 26, {}, 1905};
constexpr CallDesc kGetFirstCommand{"CMD_GetFirstCommand", 28, {}, 1922};
constexpr CallDesc kGetNextCommand{"CMD_GetNextCommand", 29, {}, 1940};
constexpr CallDesc kGetCmdOption{"CMD_GetCmdOption", 32, {}, 1958};
constexpr CallDesc kIsCommand{"CMD_IsCommand", 33, {}, 1975};
constexpr CallDesc kGetCommandConfirmationText{"CMD_GetCommandConfirmationText", 42, {}, 1993};
}  // namespace

extern "C" {

PAM_LIB_API int CMD_ExecCommand(int arg, const char *command, const char *options) noexcept {
  return call(kExecCommand, Int{arg}, Str{command}, Str{options});
}

PAM_LIB_API int CMD_GetFirstCommand(int arg, char *name, char *text, int *result) noexcept {
  return call(kGetFirstCommand, Int{arg}, OutStr{DM_NAME_SIZE, name},
              OutStr{DM_TEXT_SIZE, text}, Out{4, result});
}

PAM_LIB_API int CMD_GetNextCommand(int arg, char *name, char *text) noexcept {
  return call(kGetNextCommand, Int{arg}, OutStr{DM_NAME_SIZE, name},
              OutStr{DM_TEXT_SIZE, text});
}

PAM_LIB_API int CMD_GetCmdOption(int arg, const char *command, int *pos, const char *arg2,
                                 char *text) noexcept {
  return call(kGetCmdOption, Int{arg}, Str{command}, InOut{4, pos}, Str{arg2},
              OutStr{DM_TEXT_SIZE, text});
}

PAM_LIB_API int CMD_IsCommand(int arg, const char *command) noexcept {
  return call(kIsCommand, Int{arg}, Str{command});
}

PAM_LIB_API int CMD_GetCommandConfirmationText(int arg, const char *command, const char *arg2,
                                               char *text, int len) noexcept {
  return call(kGetCommandConfirmationText, Int{arg}, Str{command}, Str{arg2},
              OutStr{len, text}, Int{len});
}

}  // extern "C"
