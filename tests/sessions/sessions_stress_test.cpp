// Threads creating, refreshing, closing and deleting sessions (without PAM transactions) while the
// monitor thread runs a pass every millisecond; run under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "pam_lib.h"
#include "pam_lib/sessions.pam.hpp"

// Waits until the monitor thread has counted n passes (30 s at most: a hung thread fails).
static bool passes_reach(long n) {
  for (int i = 0; i < 30000 && pl::testing::monitor_thread_passes() < n; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return pl::testing::monitor_thread_passes() >= n;
}

TEST(SessionStress, TableOperationsRaceTheMonitor) {
  pl::testing::set_monitor_period(std::chrono::milliseconds(1));
  ASSERT_EQ(PAM_session_init(), 0);
  // Each pass is counted once: ten passes expire a time-out of 8.
  const long start = pl::testing::monitor_thread_passes();
  ASSERT_EQ(pl::sPAM_session_create(1, nullptr), 0);
  ASSERT_EQ(PAM_session_add(1, 8), 0);
  ASSERT_TRUE(passes_reach(start + 10));
  EXPECT_EQ(PAM_session_check_and_refresh(1), -1);
  std::vector<std::thread> threads;
  for (int t = 1; t <= 4; ++t)
    threads.emplace_back([t] {
      for (int i = 0, id = 1000 * t; i < 300; ++i, ++id) {
        EXPECT_TRUE(i != 150 || passes_reach(pl::testing::monitor_thread_passes() + 1));  // a pass mid-way
        ASSERT_EQ(pl::sPAM_session_create(id, nullptr), 0);
        PAM_session_add(id, i % 3);
        for (int k = 0; k < i % 4; ++k) PAM_session_check_and_refresh(id);
        if (i % 5 == 0) PAM_CloseSession(id);
        PAM_session_delete(id);
      }
    });
  for (auto &th : threads) th.join();
  EXPECT_EQ(DB_GetCount(pl::sessions_db.load()), 0);
}
