// The session table with every allocation failing in turn: the table's
// creation, storing a session and its record. A failed store leaves the
// table as it was and the conversation block with the caller.
#include <string>

#include "common.hpp"
#include "pam_lib/sessions.pam.hpp"

namespace faults {
namespace {

using testsupport::SyslogCapture;

TEST_F(FaultTest, SessionTableSurvivesEveryAllocationFailure) {
  int init_failures = 0;
  const int tried_init = sweep_allocations([&](long) {
    SyslogCapture cap;
    if (PAM_session_init() != 0) {
      ++init_failures;
      EXPECT_REPORT(cap, "db == NULL", "database", "DB_Create", 85);
      EXPECT_TRUE(cap.contains_substr("PAM_session_init: failed to build sessions_db")) << cap.dump();
      EXPECT_EQ(pl::sessions_db.load(), nullptr);
    }
  });
  EXPECT_EQ(tried_init, 1);
  EXPECT_EQ(init_failures, 1);
  ASSERT_NE(pl::sessions_db.load(), nullptr);

  int stored = 0;
  int32_t id = 7000;
  const int tried = sweep_allocations([&](long k) {
    SyslogCapture cap;
    ++id;
    auto *conv = static_cast<pl::ConvBlock *>(pl::alloc_zeroed(sizeof(pl::ConvBlock)));
    if (!conv) {
      EXPECT_EQ(k, 0);
      return;
    }
    const int before = DB_GetCount(pl::sessions_db.load());
    if (pl::sPAM_session_create(id, nullptr, conv) != 0) {
      std::free(conv);  // still the caller's
      EXPECT_EQ(DB_GetCount(pl::sessions_db.load()), before);
      if (k == 1) {
        EXPECT_REPORT(cap, "db_entry == NULL", "pam_lib", "sPAM_session_create", 310);
      } else {
        EXPECT_TRUE(cap.contains_substr("Failed to add session = " + std::to_string(id)))
            << cap.dump();
      }
      EXPECT_EQ(PAM_session_add(id, 5), -1);
      return;
    }
    ++stored;
    EXPECT_EQ(PAM_session_add(id, 5), 0);
    pl::testing::monitor_pass();
    EXPECT_EQ(PAM_session_check_and_refresh(id), 0);
    EXPECT_EQ(PAM_session_delete(id), 0);
    EXPECT_EQ(DB_GetCount(pl::sessions_db.load()), before);
  });
  EXPECT_EQ(tried, 3);  // the caller's block, the record, the table entry
  EXPECT_EQ(stored, 1);
}

}  // namespace
}  // namespace faults
