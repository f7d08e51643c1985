// Session table internals shared with the login code and the tests.
#pragma once

#include <pthread.h>
#include <security/pam_appl.h>

#include <atomic>
#include <chrono>
#include <cstdint>

#include "database.h"
#include "pam_lib.h"

namespace pl {

// The conversation a stored session's PAM handle points to. It must outlive
// the handle, so the session record owns it (a module may converse in
// pam_close_session).
struct ConvBlock {
  pam_conv conv;
  PamConvData data;
};

// A session record: the public entry first, so a SessionEntry pointer and a
// record pointer are the same.
struct SessionRecord {
  SessionEntry entry;
  ConvBlock *conv;  // owned; released with the record (may be null)
};

extern std::atomic<DB *> sessions_db;
extern pthread_mutex_t pam_lib_mutex;

// Stores a new session under `id` for `handle`, taking ownership of `conv`
// only on success. 0, or -1 (record not stored; conv still the caller's).
int sPAM_session_create(int32_t id, pam_handle_t *handle, ConvBlock *conv = nullptr) noexcept;

namespace testing {
// Monitor period; read before every sleep of the thread (default 60 s). Set
// it before PAM_session_init to make the thread's passes frequent.
void set_monitor_period(std::chrono::milliseconds period) noexcept;
// Runs one monitor pass now, exactly as the thread does.
void monitor_pass() noexcept;
// Passes run by the monitor thread so far.
long monitor_thread_passes() noexcept;
}  // namespace testing

}  // namespace pl
