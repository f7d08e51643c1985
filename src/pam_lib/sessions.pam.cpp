// The process-wide session table and its monitor thread.
//
// Every lookup of a session and every use of the record found happen under
// pam_lib_mutex: the monitor removes and releases records under it. The
// monitor runs its pass with the mutex held, so it closes sessions through
// close_locked, never through the exported PAM_CloseSession.
#include "pam_lib/sessions.pam.hpp"

#include <climits>
#include <cstdlib>
#include <thread>

#include "common/alloc.hpp"
#include "common/log.hpp"

namespace pl {

std::atomic<DB *> sessions_db{nullptr};
pthread_mutex_t pam_lib_mutex = PTHREAD_MUTEX_INITIALIZER;

namespace {

pthread_t monitor_thread;
bool monitor_started = false;  // guarded by init_mutex
pthread_mutex_t init_mutex = PTHREAD_MUTEX_INITIALIZER;
std::atomic<long long> monitor_period_ms{60 * 1000};
std::atomic<long> thread_passes{0};

constexpr int kSessionBuckets = 8;

// The caller's line goes into the message; __builtin_LINE works with gcc and clang.
void lock_table(int line = __builtin_LINE()) noexcept {
  if (int err = pthread_mutex_lock(&pam_lib_mutex); err != 0)
    log_msg(LOG_ERR, "%s(%d): Fail to lock pam_lib_mutex, err = %d\n", "pam_lib",
            line, err);
}

void unlock_table(int line = __builtin_LINE()) noexcept {
  if (int err = pthread_mutex_unlock(&pam_lib_mutex); err != 0)
    log_msg(LOG_ERR, "%s(%d): Fail to unlock pam_lib_mutex, err = %d\n", "pam_lib",
            line, err);
}

// The record stored under id, or null. Call with the mutex held.
SessionRecord *find_locked(DB *db, int32_t id) noexcept {
  void *value = nullptr;
  if (DB_Find(db, nullptr, id, &value) != 0) return nullptr;
  return static_cast<SessionRecord *>(value);
}

// Closes the session and ends its PAM transaction, once: the handle is
// forgotten after pam_end so a second close never touches it again. Call
// with the mutex held. *text receives PAM's text for the result.
int close_locked(SessionRecord *rec, const char **text) noexcept {
  pam_handle_t *h = rec->entry.pam_handle;
  if (!h) {
    *text = "";
    return PAM_SUCCESS;
  }
  int r = pam_close_session(h, 0);
  *text = pam_strerror(h, r);  // a static text, still valid after pam_end
  pam_end(h, r);
  rec->entry.pam_handle = nullptr;
  return r;
}

void release(SessionRecord *rec) noexcept {
  std::free(rec->conv);
  std::free(rec);
}

int monitor_step(void *data, void *arg) noexcept {
  return sPAM_monitor_sessions(static_cast<SessionEntry *>(data), arg);
}

void run_pass() noexcept {
  DB *db = sessions_db.load();
  if (!db) return;
  lock_table();
  DB_Iterator(db, monitor_step, nullptr);
  unlock_table();
}

void *monitor_main(void *) {
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(monitor_period_ms.load()));
    run_pass();
    thread_passes.fetch_add(1);
  }
  return nullptr;
}

}  // namespace

int sPAM_session_create(int32_t id, pam_handle_t *handle, ConvBlock *conv) noexcept {
  auto *rec = static_cast<SessionRecord *>(alloc(sizeof(SessionRecord)));
  if (!rec) {
    report("db_entry == NULL", "pam_lib", "sPAM_session_create", 310);
    return -1;
  }
  rec->entry.session_id = id;
  rec->entry.pam_handle = reinterpret_cast<struct pam_handle *>(handle);
  rec->entry.idle_timeout = -1;
  rec->entry.remaining = -1;
  rec->conv = nullptr;
  DB *db = sessions_db.load();
  if (db) lock_table();
  if (!db || DB_Add(db, nullptr, id, rec) != 0) {
    log_msg(LOG_ERR, "Failed to add session = %d\n", id);
    std::free(rec);
    if (db) unlock_table();
    return -1;
  }
  rec->conv = conv;
  unlock_table();
  return 0;
}

namespace testing {
void set_monitor_period(std::chrono::milliseconds period) noexcept {
  monitor_period_ms.store(period.count());
}
void monitor_pass() noexcept { run_pass(); }
long monitor_thread_passes() noexcept { return thread_passes.load(); }
}  // namespace testing

}  // namespace pl

using namespace pl;

extern "C" {

PAM_LIB_API int PAM_session_init(void) noexcept {
  pthread_mutex_lock(&init_mutex);
  int result = 0;
  if (!sessions_db.load()) {
    DB *db = DB_Create(kSessionBuckets);
    if (!db) {
      log_msg(LOG_ERR, "PAM_session_init: failed to build sessions_db\n");
      pthread_mutex_unlock(&init_mutex);
      return -1;
    }
    if (pthread_mutex_init(&pam_lib_mutex, nullptr) != 0) {
      log_msg(LOG_ERR, "PAM_session_init: failed to init the mutex\n");
      DB_Destroy(db, nullptr, nullptr);
      pthread_mutex_unlock(&init_mutex);
      return -1;
    }
    sessions_db.store(db);
  }
  // A repeated call starts no second monitor.
  if (!monitor_started) {
    result = pthread_create(&monitor_thread, nullptr, monitor_main, nullptr);
    monitor_started = result == 0;
  }
  pthread_mutex_unlock(&init_mutex);
  return result;
}

PAM_LIB_API int PAM_session_add(int session_id, int timeout) noexcept {
  DB *db = sessions_db.load();
  SessionRecord *rec = nullptr;
  if (db) {
    lock_table();
    rec = find_locked(db, session_id);
    if (rec) {
      rec->entry.idle_timeout = timeout;
      rec->entry.remaining = timeout;
    }
    unlock_table();
  }
  if (!rec) {
    log_msg(LOG_ERR, "PAM_session_add: failed to add session_id=%d\n", session_id);
    return -1;
  }
  return 0;
}

PAM_LIB_API int PAM_session_check_and_refresh(int session_id) noexcept {
  DB *db = sessions_db.load();
  if (!db) return -1;
  lock_table();
  SessionRecord *rec = find_locked(db, session_id);
  if (rec) rec->entry.remaining = rec->entry.idle_timeout;
  unlock_table();
  return rec ? 0 : -1;
}

PAM_LIB_API int PAM_session_delete(int session_id) noexcept {
  DB *db = sessions_db.load();
  SessionRecord *rec = nullptr;
  if (db) {
    lock_table();
    rec = find_locked(db, session_id);
    if (!rec) unlock_table();
  }
  if (!rec) {
    log_msg(LOG_ERR, "PAM_session_delete: session=%d not found in the DB\n", session_id);
    return -1;
  }
  const char *text = nullptr;
  if (int r = close_locked(rec, &text); r != PAM_SUCCESS)
    log_msg(LOG_ERR, "pam error %d:%s", r, text);
  if (DB_Delete(db, nullptr, session_id) != 0) {
    log_msg(LOG_ERR, "PAM_session_delete: failed to delete session = %d from DB\n", session_id);
    unlock_table();
    return -1;
  }
  unlock_table();
  release(rec);
  return 0;
}

PAM_LIB_API int PAM_CloseSession(int session_id) noexcept {
  DB *db = sessions_db.load();
  if (db) {
    lock_table();
    if (SessionRecord *rec = find_locked(db, session_id)) {
      const char *text = nullptr;
      int r = close_locked(rec, &text);
      unlock_table();
      return r;
    }
    unlock_table();
  }
  log_msg(LOG_ERR, "PAM_CloseSession: session=%d not found in the DB\n", session_id);
  return -1;
}

PAM_LIB_API int sPAM_monitor_sessions(SessionEntry *session, void *) noexcept {
  if (!session || session->idle_timeout == -1) return 0;
  if (session->remaining > INT32_MIN) --session->remaining;
  if (session->remaining > 0) return 0;
  auto *rec = reinterpret_cast<SessionRecord *>(session);
  const char *text = nullptr;
  if (int r = close_locked(rec, &text); r != PAM_SUCCESS)
    log_msg(LOG_ERR, "pam error %d:%s", r, text);
  if (DB_Delete(sessions_db.load(), nullptr, session->session_id) != 0)
    log_msg(LOG_ERR, "sPAM_monitor_sessions: failed to delete session = %d\n",
            session->session_id);
  release(rec);
  return 0;
}

}  // extern "C"
