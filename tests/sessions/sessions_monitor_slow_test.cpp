// The monitor thread at its real pace: the first pass comes 60 seconds after
// PAM_session_init.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "pam_lib.h"
#include "pam_lib/sessions.pam.hpp"

namespace {

TEST(MonitorSlow, FirstPassSixtySecondsAfterInit) {
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(PAM_session_init(), 0);
  // A session without a PAM transaction: only its time-out matters here.
  ASSERT_EQ(pl::sPAM_session_create(1, nullptr), 0);
  ASSERT_EQ(PAM_session_add(1, 1), 0);
  auto elapsed = [&] { return std::chrono::steady_clock::now() - start; };
  std::this_thread::sleep_for(std::chrono::seconds(58));
  EXPECT_EQ(pl::testing::monitor_thread_passes(), 0);
  EXPECT_EQ(PAM_session_check_and_refresh(1), 0);
  while (pl::testing::monitor_thread_passes() == 0 && elapsed() < std::chrono::seconds(70))
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(pl::testing::monitor_thread_passes(), 1);
  EXPECT_GE(elapsed(), std::chrono::seconds(60));
  EXPECT_LT(elapsed(), std::chrono::seconds(62));
  EXPECT_EQ(PAM_session_check_and_refresh(1), -1);  // expired at that pass
}

}  // namespace
