// The monitor thread at its real pace: the first pass 60 s after start-up.
#include <gtest/gtest.h>

#include <thread>

#include "pam_lib.h"
#include "pam_lib/sessions.pam.hpp"

TEST(MonitorSlow, FirstPassSixtySecondsAfterInit) {
  ASSERT_EQ(PAM_session_init(), 0);
  ASSERT_EQ(pl::sPAM_session_create(1, nullptr), 0);
  ASSERT_EQ(PAM_session_add(1, 1), 0);
  std::this_thread::sleep_for(std::chrono::seconds(59));
  EXPECT_EQ(PAM_session_check_and_refresh(1), 0);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  EXPECT_EQ(PAM_session_check_and_refresh(1), -1);
}
