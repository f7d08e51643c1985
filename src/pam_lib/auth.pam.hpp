// Login internals shared with the tests.
#pragma once

#include <atomic>
#include <cstdint>

struct pam_message;
struct pam_response;

// PAM conversation callback (internal): answers single-message conversations
// from the PamConvData in appdata_ptr. Returns a PAM result code.
extern "C" int conv_func(int num_msg, const struct pam_message **msg,
                         struct pam_response **resp, void *appdata_ptr) noexcept;

namespace pl {

// The last session id handed out; the next login takes this plus one.
extern std::atomic<int32_t> last_session_id;

}  // namespace pl
