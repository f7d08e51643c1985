// The session table against a simple model: random operations on a few ids,
// the monitor's passes made through the pass seam, real PAM sessions
// (pam_wrapper) so that every close is seen.
#include <climits>
#include <map>
#include <random>

#include "pam_env.hpp"
#include "pam_lib.h"
#include "pam_lib/sessions.pam.hpp"

namespace {

struct Model {
  int timeout = -1, remaining = -1;
  bool open = true;
};

TEST(Sessions, RandomOperationsFollowTheModel) {
  if (!pamenv::active()) GTEST_SKIP() << "pam_wrapper is not active";
  pl::testing::set_monitor_period(std::chrono::hours(1));  // passes come from the test
  ASSERT_EQ(PAM_session_init(), 0);
  std::map<int, Model> model;
  std::mt19937 rng(7);
  const int timeouts[] = {-1, 0, 1, 2, 3, -5};
  for (int step = 0; step < 3000; ++step) {
    testsupport::SyslogCapture cap;
    int id = 100 + int(rng() % 6), op = int(rng() % 7), closes = 0;
    bool known = model.count(id);
    SCOPED_TRACE("step " + std::to_string(step) + " op " + std::to_string(op) + " id " + std::to_string(id));
    std::string missing;  // the message an unknown id gives
    switch (op) {
      case 0:
        if (!known) {
          ASSERT_EQ(pl::sPAM_session_create(id, pamenv::open_session(id % 2 ? "alice" : "bob")), 0);
          model[id] = Model{};
          cap.clear();
        }
        break;
      case 1: {
        int t = timeouts[rng() % 6];
        EXPECT_EQ(PAM_session_add(id, t), known ? 0 : -1);
        if (known) model[id].timeout = model[id].remaining = t;
        missing = "PAM_session_add: failed to add session_id=" + std::to_string(id) + "\n";
        break;
      }
      case 2:
        EXPECT_EQ(PAM_session_check_and_refresh(id), known ? 0 : -1);
        if (known) model[id].remaining = model[id].timeout;
        break;
      case 3:
        EXPECT_EQ(PAM_CloseSession(id), known ? PAM_SUCCESS : -1);
        if (known) closes += std::exchange(model[id].open, false);
        missing = "PAM_CloseSession: session=" + std::to_string(id) + " not found in the DB\n";
        break;
      case 4:
        EXPECT_EQ(PAM_session_delete(id), known ? 0 : -1);
        if (known) closes += model[id].open;
        model.erase(id);
        missing = "PAM_session_delete: session=" + std::to_string(id) + " not found in the DB\n";
        break;
      default:
        pl::testing::monitor_pass();
        for (auto it = model.begin(); it != model.end();) {
          Model &m = it->second;
          if (m.timeout != -1 && m.remaining > INT_MIN) --m.remaining;
          bool expired = m.timeout != -1 && m.remaining <= 0;
          closes += expired && m.open;
          it = expired ? model.erase(it) : std::next(it);
        }
    }
    EXPECT_TRUE(known || missing.empty() || cap.contains(LOG_USER | LOG_ERR, missing)) << cap.dump();
    EXPECT_EQ(pamenv::count_events(cap, "close "), closes);
    ASSERT_EQ(DB_GetCount(pl::sessions_db.load()), int(model.size()));
    for (const auto &[mid, m] : model) {
      void *rec = nullptr;
      ASSERT_EQ(DB_Find(pl::sessions_db.load(), nullptr, mid, &rec), 0) << mid;
      EXPECT_EQ(static_cast<SessionEntry *>(rec)->remaining, m.remaining) << mid;
    }
  }
}

}  // namespace
