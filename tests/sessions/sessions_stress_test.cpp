// Several threads log in, refresh and delete sessions while the monitor
// thread runs passes every millisecond (each worker waits for one half-way).
// Every session must be closed exactly once, whoever ends it. Run under
// ThreadSanitizer too.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "pam_env.hpp"
#include "pam_lib.h"
#include "pam_lib/context.hpp"
#include "pam_lib/sessions.pam.hpp"
#include "support/peer.hpp"

namespace {

void start_monitor() {
  pl::testing::set_monitor_period(std::chrono::milliseconds(1));
  ASSERT_EQ(PAM_session_init(), 0);
}

// Every worker waits half-way for a monitor pass made after `since`, so a
// pass races the rest of its work however busy the machine is. The limit
// only ends a run whose monitor thread hangs.
bool monitor_passed_since(long since) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (pl::testing::monitor_thread_passes() <= since) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// The table alone (sessions without a PAM transaction): runs everywhere,
// ThreadSanitizer included, where pam_wrapper cannot be loaded.
// One session's life while the monitor runs: a time-out of 0, 1 or 2
// passes, a few refreshes, sometimes an explicit close, then the delete.
void use_session(int id, int round, std::atomic<int> &deleted) {
  PAM_session_add(id, round % 3);
  for (int k = 0; k < round % 4; ++k) {
    PAM_session_check_and_refresh(id);
    std::this_thread::yield();
  }
  if (round % 5 == 0) PAM_CloseSession(id);
  if (PAM_session_delete(id) == 0) ++deleted;
}

TEST(SessionStress, TableOperationsRaceTheMonitor) {
  start_monitor();
  constexpr int kThreads = 4, kRounds = 300;
  std::atomic<int> next_id{100000}, deleted{0}, created{0}, raced{0};
  const long before = pl::testing::monitor_thread_passes();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        if (i == kRounds / 2) raced += monitor_passed_since(before);
        int id = ++next_id;
        if (pl::sPAM_session_create(id, nullptr) != 0) continue;
        ++created;
        use_session(id, i, deleted);
      }
    });
  }
  for (auto &th : threads) th.join();
  EXPECT_EQ(created.load(), kThreads * kRounds);
  EXPECT_EQ(raced.load(), kThreads);
  EXPECT_EQ(DB_GetCount(pl::sessions_db.load()), 0);
}

TEST(SessionStress, LoginsRefreshesAndDeletesRaceTheMonitor) {
  if (!pamenv::active())
    GTEST_SKIP() << "pam_wrapper is not active (it cannot be loaded under ThreadSanitizer)";
  start_monitor();
  pamenv::set_control("");
  pamenv::clear_log();

  testsupport::Peer peer(testsupport::Peer::serve([](const testsupport::Request &r) {
    int len = r.hdr.opcode == 61 && r.items.size() > 1 ? r.items[1].as_int() : 0;
    return testsupport::Result{0, std::string(static_cast<size_t>(len), 'C')};
  }));
  set_socket(peer.client_fd());

  constexpr int kThreads = 4, kRounds = 100;
  std::mutex remote_calls;  // the host serialises its exchanges with the daemon
  std::atomic<int> logins{0}, deleted{0}, raced{0};
  const long before = pl::testing::monitor_thread_passes();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        if (i == kRounds / 2) raced += monitor_passed_since(before);
        int id = 0;
        char cred[8];
        int r;
        {
          std::lock_guard<std::mutex> lock(remote_calls);
          r = PAM_AuthUser(t % 2 ? "alice" : "bob", t % 2 ? "alice-secret" : "bob-secret", "h",
                           "t", 1, sizeof cred, cred, &id);
        }
        if (r != 0) continue;
        ++logins;
        use_session(id, i, deleted);
      }
    });
  }
  for (auto &th : threads) th.join();

  EXPECT_EQ(logins.load(), kThreads * kRounds);
  EXPECT_EQ(raced.load(), kThreads);
  EXPECT_EQ(DB_GetCount(pl::sessions_db.load()), 0);
  int closes = 0;
  for (const auto &l : pamenv::log_lines()) closes += l.rfind("close ", 0) == 0;
  EXPECT_EQ(closes, logins.load());
  pl::testing::reset_client_context();
}

}  // namespace
