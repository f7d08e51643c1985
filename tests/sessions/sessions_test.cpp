// The session table against a simple model: random operations on a few ids,
// the monitor's passes made through the pass seam, real PAM sessions
// (pam_wrapper) so that every close is seen.
#include <climits>
#include <map>
#include <random>

#include "pam_env.hpp"
#include "pam_lib.h"
#include "pam_lib/auth.pam.hpp"
#include "pam_lib/sessions.pam.hpp"

namespace {

struct Model {
  int timeout = -1, remaining = -1, open = 1;
};

TEST(Sessions, RandomOperationsFollowTheModel) {
  if (!pamenv::active()) GTEST_SKIP() << "pam_wrapper is not active";
  pl::testing::set_monitor_period(std::chrono::hours(1));  // passes come from the test
  ASSERT_EQ(PAM_session_init(), 0);
  PamConvData data{"unused", nullptr, 0};
  const pam_conv conv{conv_func, &data};
  std::map<int, Model> model;
  std::mt19937 rng(7);
  for (int step = 0; step < 3000; ++step) {
    testsupport::SyslogCapture cap;
    int id = 100 + int(rng() % 6), op = int(rng() % 7), closes = 0, t = int(rng() % 6) - 2;
    bool known = model.count(id);
    SCOPED_TRACE("step " + std::to_string(step) + " op " + std::to_string(op) + " id " + std::to_string(id));
    pam_handle_t *h = nullptr;
    switch (op) {
      case 0:  // a real PAM session stored under a fresh id
        if (known) break;
        ASSERT_EQ(pam_start("pam_lib_mgtd", "alice", &conv, &h), PAM_SUCCESS);
        ASSERT_EQ(pam_open_session(h, 0), PAM_SUCCESS);
        ASSERT_EQ(pl::sPAM_session_create(id, h), 0);
        model[id] = Model{};
        cap.clear();
        break;
      case 1:  // time-outs -2 .. 3
        EXPECT_EQ(PAM_session_add(id, t), known ? 0 : -1);
        if (known) model[id].timeout = model[id].remaining = t;
        break;
      case 2:
        EXPECT_EQ(PAM_session_check_and_refresh(id), known ? 0 : -1);
        if (known) model[id].remaining = model[id].timeout;
        break;
      case 3:
        EXPECT_EQ(PAM_CloseSession(id), known ? PAM_SUCCESS : -1);
        EXPECT_TRUE(known || cap.contains("PAM_CloseSession: session=" + std::to_string(id) + " not found in the DB\n"));
        if (known) closes += std::exchange(model[id].open, 0);
        break;
      case 4:
        EXPECT_EQ(PAM_session_delete(id), known ? 0 : -1);
        closes += known && model[id].open;
        model.erase(id);
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
    EXPECT_EQ(int(pamenv::events(cap, "close ").size()), closes);
    ASSERT_EQ(DB_GetCount(pl::sessions_db.load()), int(model.size()));
    for (const auto &[mid, m] : model) {
      void *rec = nullptr;
      EXPECT_EQ(DB_Find(pl::sessions_db.load(), nullptr, mid, &rec), 0);
      EXPECT_EQ(rec ? static_cast<SessionEntry *>(rec)->remaining : INT_MAX, m.remaining) << mid;
    }
  }
}

}  // namespace
