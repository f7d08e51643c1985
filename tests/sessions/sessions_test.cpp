// The session table and the monitor's passes (run through the pass seam),
// with real PAM sessions opened under pam_wrapper.
#include <dirent.h>
#include <security/pam_appl.h>

#include <string>
#include <vector>

#include "pam_env.hpp"
#include "pam_lib.h"
#include "pam_lib/auth.pam.hpp"
#include "pam_lib/sessions.pam.hpp"
#include "support/harness.hpp"

namespace {

using testsupport::SyslogCapture;

PamConvData g_data{"unused", nullptr, 0};
pam_conv g_conv{conv_func, &g_data};

int thread_count() {
  int n = 0;
  if (DIR *d = opendir("/proc/self/task")) {
    while (dirent *e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

class Sessions : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    pl::testing::set_monitor_period(std::chrono::hours(1));  // passes come from the tests
    ASSERT_EQ(PAM_session_init(), 0);
  }
  void SetUp() override {
    if (!pamenv::active()) GTEST_SKIP() << "pam_wrapper is not active";
    pamenv::set_control("");
    pamenv::clear_log();
  }
  // A real PAM session stored under a fresh id.
  int open(const char *user = "alice") {
    static int next_id = 1000;
    pam_handle_t *h = nullptr;
    EXPECT_EQ(pam_start("pam_lib_mgtd", user, &g_conv, &h), PAM_SUCCESS);
    EXPECT_EQ(pam_open_session(h, 0), PAM_SUCCESS);
    int id = ++next_id;
    EXPECT_EQ(pl::sPAM_session_create(id, h), 0);
    pamenv::clear_log();
    return id;
  }
  static bool present(int id) {
    return DB_Find(pl::sessions_db.load(), nullptr, id, nullptr) == 0;
  }
  static bool alive(int id) { return PAM_session_check_and_refresh(id) == 0; }
  static int closes() {
    int n = 0;
    for (const auto &l : pamenv::log_lines()) n += l.rfind("close ", 0) == 0;
    return n;
  }
};

TEST_F(Sessions, UnknownIdsGiveMinusOneWithTheirMessages) {
  SyslogCapture cap;
  EXPECT_EQ(PAM_session_add(4242, 3), -1);
  EXPECT_EQ(PAM_session_delete(4242), -1);
  EXPECT_EQ(PAM_CloseSession(4242), -1);
  EXPECT_EQ(PAM_session_check_and_refresh(4242), -1);
  EXPECT_EQ(cap.lines().size(), 3u) << cap.dump();
  EXPECT_TRUE(cap.contains(LOG_USER | LOG_ERR, "PAM_session_add: failed to add session_id=4242\n"));
  EXPECT_TRUE(cap.contains(LOG_USER | LOG_ERR, "PAM_session_delete: session=4242 not found in the DB\n"));
  EXPECT_TRUE(cap.contains(LOG_USER | LOG_ERR, "PAM_CloseSession: session=4242 not found in the DB\n"));
}

TEST_F(Sessions, WithoutTimeoutNeverExpires) {
  int id = open();
  for (int i = 0; i < 10; ++i) pl::testing::monitor_pass();
  EXPECT_TRUE(alive(id));
  void *rec = nullptr;
  ASSERT_EQ(DB_Find(pl::sessions_db.load(), nullptr, id, &rec), 0);
  EXPECT_EQ(static_cast<SessionEntry *>(rec)->remaining, -1);
  EXPECT_EQ(PAM_session_delete(id), 0);
}

TEST_F(Sessions, ExpiresAtTheTthPassAfterTheLatestRefresh) {
  int three = open();
  ASSERT_EQ(PAM_session_add(three, 3), 0);
  pl::testing::monitor_pass();
  pl::testing::monitor_pass();
  EXPECT_TRUE(present(three));
  EXPECT_EQ(closes(), 0);
  pl::testing::monitor_pass();
  EXPECT_FALSE(present(three));
  EXPECT_EQ(closes(), 1);
  EXPECT_EQ(PAM_session_check_and_refresh(three), -1);

  // Refreshed before every pass, time-out 2 never runs out.
  int two = open("bob");
  ASSERT_EQ(PAM_session_add(two, 2), 0);
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(PAM_session_check_and_refresh(two), 0);
    pl::testing::monitor_pass();
  }
  EXPECT_TRUE(present(two));
  // Time-out 1: the first pass after the latest refresh ends it.
  ASSERT_EQ(PAM_session_add(two, 1), 0);
  pl::testing::monitor_pass();
  EXPECT_FALSE(present(two));
  int one = open();
  ASSERT_EQ(PAM_session_add(one, 1), 0);
  pl::testing::monitor_pass();
  EXPECT_FALSE(present(one));
}

TEST_F(Sessions, ZeroAndOddNegativeTimeoutsExpireAtTheNextPass) {
  int zero = open();
  int neg = open();
  int never = open();
  ASSERT_EQ(PAM_session_add(zero, 0), 0);
  ASSERT_EQ(PAM_session_add(neg, -5), 0);
  ASSERT_EQ(PAM_session_add(never, -1), 0);
  pl::testing::monitor_pass();
  EXPECT_FALSE(alive(zero));
  EXPECT_FALSE(alive(neg));
  EXPECT_TRUE(alive(never));
  EXPECT_EQ(closes(), 2);
  EXPECT_EQ(PAM_session_delete(never), 0);
}

TEST_F(Sessions, DeleteClosesRemovesAndReleases) {
  int id = open("bob");
  int count = DB_GetCount(pl::sessions_db.load());
  EXPECT_EQ(PAM_session_delete(id), 0);
  EXPECT_EQ(pamenv::log_lines(), (std::vector<std::string>{"close bob"}));
  EXPECT_EQ(DB_GetCount(pl::sessions_db.load()), count - 1);
  EXPECT_EQ(PAM_session_delete(id), -1);
}

TEST_F(Sessions, CreateFailures) {
  SyslogCapture cap;
  {
    testsupport::AllocFailure fail(0);
    EXPECT_EQ(pl::sPAM_session_create(77, nullptr), -1);
  }
  EXPECT_REPORT(cap, "db_entry == NULL", "pam_lib", "sPAM_session_create", 310);
  {
    testsupport::AllocFailure fail(1);  // the record, not the table entry
    EXPECT_EQ(pl::sPAM_session_create(78, nullptr), -1);
  }
  EXPECT_TRUE(cap.contains(LOG_USER | LOG_ERR, "Failed to add session = 78\n"));
  EXPECT_EQ(PAM_session_check_and_refresh(78), -1);
}

TEST_F(Sessions, MonitorStepLeavesSessionsWithoutTimeoutAlone) {
  SessionEntry e{5, nullptr, -1, 9};
  EXPECT_EQ(sPAM_monitor_sessions(&e, nullptr), 0);
  EXPECT_EQ(e.remaining, 9);
  EXPECT_EQ(sPAM_monitor_sessions(nullptr, nullptr), 0);
}

TEST_F(Sessions, InitTwiceStartsNoSecondThread) {
  int before = thread_count();
  EXPECT_EQ(PAM_session_init(), 0);
  EXPECT_EQ(PAM_session_init(), 0);
  EXPECT_EQ(thread_count(), before);
}

}  // namespace
