// Error words the daemon puts into its result frames (read with get_err and
// explained by DM_GetStrErr), and the invoke-error codes of the status word.
#pragma once

#include <cstdint>
#include <string_view>

namespace mgtd {

enum Err : int32_t {
  E_OK = 0,
  E_NO_ENTITY = 1,
  E_NO_PARAM = 2,
  E_DENIED = 3,
  E_RANGE = 4,
  E_INVALID = 5,
  E_END = 6,
  E_NO_WALK = 7,
  E_TOO_LONG = 8,
  E_READ_ONLY = 9,
  E_WRITE_ONLY = 10,
  E_NO_COMMAND = 11,
  E_NO_USER = 12,
  E_AUTH = 13,
  E_NO_CRED = 14,
  E_NO_GROUP = 15,
  E_NO_TRAP = 16,
  E_NO_ENV = 17,
  E_LOG = 18,
  E_ADDRESS = 19,
  E_TYPE = 20,
  E_FAILED = 21,
  E_NO_ERROR_TEXT = 22,
  E_CANCELLED = 23,
  E_MALFORMED = 24,
  E_NO_PARENT = 25,
};

// Invoke errors: the status word of a result frame that was not invoked.
enum Status : int32_t {
  S_OK = 0,
  S_MALFORMED = 1,    // the frame could not be decoded
  S_BAD_OPCODE = 2,   // no operation has this opcode
  S_BAD_ITEMS = 3,    // the items do not have the operation's kinds
};

// Built-in text of an error word (the model may replace it), or empty.
std::string_view builtin_error_text(int32_t err);

}  // namespace mgtd
