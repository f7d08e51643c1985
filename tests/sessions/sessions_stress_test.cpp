// Threads creating, refreshing, closing and deleting sessions (without PAM
// transactions) while the monitor thread runs a pass every millisecond. Run
// under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "pam_lib.h"
#include "pam_lib/sessions.pam.hpp"

namespace {

// Waits (at most 30 s, for a hung monitor) until the thread has counted n passes.
bool passes_reach(long n) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (pl::testing::monitor_thread_passes() < n && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return pl::testing::monitor_thread_passes() >= n;
}

TEST(SessionStress, TableOperationsRaceTheMonitor) {
  pl::testing::set_monitor_period(std::chrono::milliseconds(1));
  ASSERT_EQ(PAM_session_init(), 0);
  // The thread counts its passes: ten of them expire a time-out of 8.
  const long start = pl::testing::monitor_thread_passes();
  ASSERT_EQ(pl::sPAM_session_create(1, nullptr), 0);
  ASSERT_EQ(PAM_session_add(1, 8), 0);
  ASSERT_TRUE(passes_reach(start + 10));
  EXPECT_EQ(PAM_session_check_and_refresh(1), -1);

  constexpr int kThreads = 4, kRounds = 300;
  std::atomic<int> next_id{1000}, raced{0};
  const long before = pl::testing::monitor_thread_passes();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        if (i == kRounds / 2) raced += passes_reach(before + 1);  // a pass mid-way, however busy
        int id = ++next_id;
        ASSERT_EQ(pl::sPAM_session_create(id, nullptr), 0);
        PAM_session_add(id, i % 3);
        for (int k = 0; k < i % 4; ++k) PAM_session_check_and_refresh(id);
        if (i % 5 == 0) PAM_CloseSession(id);
        PAM_session_delete(id);
      }
    });
  }
  for (auto &th : threads) th.join();
  EXPECT_EQ(raced.load(), kThreads);
  EXPECT_EQ(DB_GetCount(pl::sessions_db.load()), 0);
}

}  // namespace
