// PAM login and password change through the real libpam (pam_wrapper with
// pam_matrix, pam_chatty and the probe module), the daemon side played by
// the recording peer.
#include <fcntl.h>
#include <cerrno>
#include <security/pam_appl.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "pam_env.hpp"
#include "pam_lib.h"
#include "pam_lib/auth.pam.hpp"
#include "pam_lib/context.hpp"
#include "pam_lib/sessions.pam.hpp"
#include "support/harness.hpp"
#include "support/peer.hpp"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#define LEAKS_NOT_OURS_BEGIN() __lsan_disable()
#define LEAKS_NOT_OURS_END() __lsan_enable()
#else
#define LEAKS_NOT_OURS_BEGIN()
#define LEAKS_NOT_OURS_END()
#endif

namespace {

using testsupport::Peer;
using testsupport::Request;
using testsupport::Result;
using testsupport::SyslogCapture;

constexpr uint32_t kGetUserCred = 61, kGetPrivilegeLevel = 27, kLoginUser = 40;

std::vector<uint32_t> opcodes(const Peer &p) {
  std::vector<uint32_t> out;
  for (const auto &r : p.requests()) out.push_back(r.hdr.opcode);
  return out;
}

// A daemon that holds a credential record (cred_result 0) or none, and
// answers the privilege-level question with `level_result`.
Peer::Script daemon(int32_t cred_result, int32_t level_result = 0, int32_t level = 3) {
  return Peer::serve([=](const Request &r) {
    switch (r.hdr.opcode) {
      case kGetUserCred: {
        int len = r.items.size() > 1 ? r.items[1].as_int() : 0;
        if (cred_result != 0) return Result{cred_result, {}};
        return Result{0, std::string(static_cast<size_t>(len), 'C')};
      }
      case kGetPrivilegeLevel:
        if (level_result != 0) return Result{level_result, testsupport::bytes_of(int32_t{0})};
        return Result{0, testsupport::bytes_of(int32_t{level})};
      default:
        return Result{0, {}};
    }
  });
}

class PamAuth : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    pl::testing::set_monitor_period(std::chrono::hours(1));
    ASSERT_EQ(PAM_session_init(), 0);
  }
  void SetUp() override {
    if (!pamenv::active()) GTEST_SKIP() << "pam_wrapper is not active";
    pamenv::set_control("");
    pamenv::clear_log();
    pl::testing::reset_client_context();
  }
  void TearDown() override { pl::testing::reset_client_context(); }

  int login(const pamenv::User &u, int *id, std::vector<char> *cred = nullptr,
            const char *password = nullptr) {
    std::vector<char> local(16, 'x');
    auto &buf = cred ? *cred : local;
    return PAM_AuthUser(u.name, password ? password : u.password, "10.0.0.9", "pts/3", 1,
                        static_cast<int>(buf.size()), buf.data(), id);
  }
};

TEST_F(PamAuth, SessionIdsCountFromOneInAFreshProcess) {
  int32_t before = pl::last_session_id.load();
  Peer peer(daemon(0));
  set_socket(peer.client_fd());
  int id1 = 0, id2 = 0;
  ASSERT_EQ(login(pamenv::kAlice, &id1), 0);
  ASSERT_EQ(login(pamenv::kBob, &id2), 0);
  EXPECT_EQ(id1, before + 1);
  EXPECT_EQ(id2, before + 2);
  if (before == 0) {
    EXPECT_EQ(id1, 1);
    EXPECT_EQ(id2, 2);
  }
  EXPECT_EQ(PAM_session_delete(id1), 0);
  EXPECT_EQ(PAM_session_delete(id2), 0);
}

TEST_F(PamAuth, WithoutSessionOnlyPamIsAsked) {
  SyslogCapture cap;
  pamenv::set_control("chatty=1\n");
  Peer peer(daemon(0));
  set_socket(peer.client_fd());
  char cred[8] = "untouch";
  int id = -77;
  // pam_chatty never frees the responses it is given.
  LEAKS_NOT_OURS_BEGIN();
  EXPECT_EQ(PAM_AuthUser("alice", "alice-secret", "h", "t", 0, sizeof cred, cred, &id), 0);
  LEAKS_NOT_OURS_END();
  EXPECT_STREQ(cred, "untouch");
  EXPECT_EQ(id, -77);
  EXPECT_EQ(get_privilege(), -1);
  // pam_chatty's error line came through the conversation; its info did not.
  EXPECT_TRUE(cap.contains_substr("PAM_ERROR_MSG:")) << cap.dump();

  LEAKS_NOT_OURS_BEGIN();
  EXPECT_EQ(PAM_AuthUser("alice", "wrong", "h", "t", 1, sizeof cred, cred, &id), PAM_AUTH_ERR);
  LEAKS_NOT_OURS_END();
  EXPECT_TRUE(cap.contains(LOG_USER | LOG_ERR, "pam error 7:" +
                                                   std::string(pam_strerror(nullptr, PAM_AUTH_ERR))))
      << cap.dump();
  EXPECT_EQ(id, -77);
  peer.close_client();
  peer.join();
  EXPECT_TRUE(peer.requests().empty());
}

TEST_F(PamAuth, LoginWithCredentialRecord) {
  Peer peer(daemon(0));
  set_socket(peer.client_fd());
  set_privelege(1);
  std::vector<char> cred(12, 'x');
  int id = 0;
  ASSERT_EQ(login(pamenv::kAlice, &id, &cred), 0);
  EXPECT_EQ(std::string(cred.begin(), cred.end()), std::string(12, 'C'));
  EXPECT_EQ(get_privilege(), 4);
  EXPECT_EQ(get_socket(), peer.client_fd());
  auto reqs = peer.requests();
  ASSERT_EQ(opcodes(peer), (std::vector<uint32_t>{kGetUserCred, kLoginUser}));
  EXPECT_EQ(reqs[0].items[0].as_string(), "alice");
  EXPECT_EQ(reqs[0].items[1].as_int(), 12);
  EXPECT_EQ(reqs[1].items[0].as_string(), "alice");
  EXPECT_EQ(reqs[1].hdr.privilege, 5);
  EXPECT_EQ(pamenv::log_lines(), (std::vector<std::string>{"setcred establish", "open alice"}));

  pamenv::clear_log();
  EXPECT_EQ(PAM_session_delete(id), 0);
  EXPECT_EQ(pamenv::log_lines(), (std::vector<std::string>{"close alice"}));
}

TEST_F(PamAuth, FallbackToThePrimaryGroupsPrivilege) {
  Peer peer(daemon(-1, 0, 0x01020304));
  set_socket(peer.client_fd());
  std::vector<char> cred(6, 'x');
  int id = 0;
  ASSERT_EQ(login(pamenv::kBob, &id, &cred), 0);
  ASSERT_EQ(opcodes(peer), (std::vector<uint32_t>{kGetUserCred, kGetPrivilegeLevel, kLoginUser}));
  EXPECT_EQ(peer.requests()[1].items[0].as_int(), pamenv::kBob.gid);
  int32_t level = 0;
  std::memcpy(&level, cred.data(), 4);
  EXPECT_EQ(level, 0x01020304);
  EXPECT_EQ(cred[4], 'x');
  EXPECT_EQ(PAM_session_delete(id), 0);
}

TEST_F(PamAuth, FailuresAfterConnectingKeepTheConnection) {
  SyslogCapture cap;
  int32_t ids_before = pl::last_session_id.load();
  int id = -5;
  {
    // No passwd entry for the user: nss_wrapper's getpwnam_r says ENOENT
    // (glibc's own "no entry" is covered by the pam_unix test).
    Peer peer(daemon(-1));
    set_socket(peer.client_fd());
    EXPECT_EQ(login(pamenv::kGhost, &id), ENOENT);
    EXPECT_EQ(opcodes(peer), (std::vector<uint32_t>{kGetUserCred}));
    EXPECT_EQ(get_socket(), peer.client_fd());
    EXPECT_NE(fcntl(peer.client_fd(), F_GETFD), -1);
  }
  pl::testing::reset_client_context();
  {
    Peer peer(daemon(-1, 9));
    set_socket(peer.client_fd());
    EXPECT_EQ(login(pamenv::kAlice, &id), 9);
    EXPECT_EQ(opcodes(peer), (std::vector<uint32_t>{kGetUserCred, kGetPrivilegeLevel}));
    EXPECT_NE(fcntl(peer.client_fd(), F_GETFD), -1);
  }
  pl::testing::reset_client_context();
  {
    // pam_open_session fails: credentials are deleted, nothing is stored.
    pamenv::set_control("fail_open=1\n");
    Peer peer(daemon(0));
    set_socket(peer.client_fd());
    cap.clear();
    EXPECT_EQ(login(pamenv::kAlice, &id), PAM_SESSION_ERR);
    EXPECT_TRUE(cap.contains_substr("pam error 14:")) << cap.dump();
    EXPECT_EQ(pamenv::log_lines(),
              (std::vector<std::string>{"setcred establish", "open alice", "setcred delete"}));
    EXPECT_NE(fcntl(peer.client_fd(), F_GETFD), -1);
  }
  EXPECT_EQ(id, -5);
  EXPECT_EQ(pl::last_session_id.load(), ids_before);
}

TEST_F(PamAuth, FailedSessionRecordUsesUpItsIdAndDeletesCredentials) {
  // Make the n-th allocation fail, for growing n, until the login succeeds:
  // the run just before that lost only the session record.
  SyslogCapture cap;
  int last = 0;
  bool record_failed = false, add_failed = false;
  for (long n = 0; n < 200; ++n) {
    Peer peer(daemon(0));
    set_socket(peer.client_fd());
    pamenv::clear_log();
    cap.clear();
    int32_t before = pl::last_session_id.load();
    int id = 0;
    {
      testsupport::AllocFailure fail(n);
      last = login(pamenv::kAlice, &id);
    }
    pl::testing::reset_client_context();
    if (last == 0) {
      EXPECT_GT(n, 0);
      EXPECT_EQ(PAM_session_delete(id), 0);
      break;
    }
    if (last == -1) {
      EXPECT_TRUE(cap.contains(LOG_USER | LOG_ERR,
                               "PAM_AuthUser: failed to create sessions's DB, user=alice\n"))
          << cap.dump();
      record_failed |= cap.contains(LOG_USER | LOG_ERR,
                                    testsupport::report_text("db_entry == NULL", "pam_lib",
                                                             "sPAM_session_create", 310));
      add_failed |= cap.contains(LOG_USER | LOG_ERR,
                                 "Failed to add session = " + std::to_string(before + 1) + "\n");
      EXPECT_EQ(pl::last_session_id.load(), before + 1);
      EXPECT_EQ(pamenv::log_lines().back(), "setcred delete");
    }
  }
  EXPECT_EQ(last, 0);
  EXPECT_TRUE(record_failed);
  EXPECT_TRUE(add_failed);
}

TEST_F(PamAuth, ConversationStaysValidWhileTheSessionLives) {
  SyslogCapture cap;
  pamenv::set_control("close_msg=1\n");
  Peer peer(daemon(0));
  set_socket(peer.client_fd());
  int id = 0;
  {
    std::string password = pamenv::kAlice.password;
    ASSERT_EQ(login(pamenv::kAlice, &id, nullptr, password.c_str()), 0);
    password.assign(password.size(), '#');  // the caller's copy is gone
  }
  pamenv::clear_log();
  EXPECT_EQ(PAM_CloseSession(id), 0);
  EXPECT_TRUE(cap.contains(LOG_USER | LOG_ERR, "PAM_ERROR_MSG:closing alice")) << cap.dump();
  // The password is not kept with the session.
  EXPECT_EQ(pamenv::log_lines(), (std::vector<std::string>{"close alice", "close-prompt (null)"}));

  // Closed once only: neither the delete nor an expiry closes again.
  pamenv::clear_log();
  EXPECT_EQ(PAM_CloseSession(id), 0);
  EXPECT_EQ(PAM_session_delete(id), 0);
  EXPECT_TRUE(pamenv::log_lines().empty());

  int id2 = 0;
  ASSERT_EQ(login(pamenv::kBob, &id2), 0);
  EXPECT_EQ(PAM_CloseSession(id2), 0);
  ASSERT_EQ(PAM_session_add(id2, 1), 0);
  pamenv::clear_log();
  pl::testing::monitor_pass();
  EXPECT_EQ(PAM_session_check_and_refresh(id2), -1);
  EXPECT_TRUE(pamenv::log_lines().empty());
}

TEST_F(PamAuth, AuthenticationPromptsGetThePasswordOnce) {
  pamenv::set_control("auth_prompts=2\n");
  EXPECT_EQ(PAM_AuthUser("alice", "alice-secret", "h", "t", 0, 0, nullptr, nullptr), 0);
  EXPECT_EQ(pamenv::log_lines(), (std::vector<std::string>{"auth alice-secret", "auth (null)"}));
}

TEST_F(PamAuth, PasswordChange) {
  SyslogCapture cap;
  pamenv::set_control("pass_prompts=4\n");
  EXPECT_EQ(PAM_ChangePass("bob", "old-pw", "new-pw"), 0);
  EXPECT_EQ(pamenv::log_lines(), (std::vector<std::string>{"pass old-pw", "pass new-pw",
                                                           "pass new-pw", "pass (null)"}));

  // pam_matrix changes the password for real.
  pamenv::set_control("");
  EXPECT_EQ(PAM_ChangePass("bob", "bob-secret", "bob-new"), 0);
  EXPECT_EQ(PAM_AuthUser("bob", "bob-new", "h", "t", 0, 0, nullptr, nullptr), 0);
  EXPECT_NE(PAM_AuthUser("bob", "bob-secret", "h", "t", 0, 0, nullptr, nullptr), 0);
  cap.clear();
  int r = PAM_ChangePass("bob", "not-it", "x");
  EXPECT_NE(r, 0);
  EXPECT_TRUE(cap.contains_substr("pam error " + std::to_string(r) + ":")) << cap.dump();
  pamenv::reset_passdb();
}

// conv_func called directly, as PAM would.
TEST(ConvFunc, RulesAndReports) {
  SyslogCapture cap;
  PamConvData data{"pw", "new", 0};
  pam_message echo_off{PAM_PROMPT_ECHO_OFF, "Password: "};
  pam_message error{PAM_ERROR_MSG, "bad thing"};
  pam_message info{PAM_TEXT_INFO, "hello"};
  const pam_message *one[] = {&echo_off};
  const pam_message *two[] = {&echo_off, &info};
  pam_response *resp = nullptr;

  EXPECT_EQ(conv_func(1, nullptr, &resp, &data), PAM_CONV_ERR);
  EXPECT_REPORT(cap, "msg == NULL", "pam_lib", "conv_func", 29);
  EXPECT_EQ(conv_func(1, one, &resp, nullptr), PAM_CONV_ERR);
  EXPECT_REPORT(cap, "appdata_ptr == NULL", "pam_lib", "conv_func", 30);
  EXPECT_EQ(conv_func(2, two, &resp, &data), PAM_CONV_ERR);
  EXPECT_REPORT(cap, "num_msg > 1", "pam_lib", "conv_func", 32);
  EXPECT_EQ(conv_func(0, one, &resp, &data), PAM_CONV_ERR);
  EXPECT_EQ(conv_func(1, one, nullptr, &data), PAM_SUCCESS);
  EXPECT_EQ(data.prompt_count, 0);

  auto answer = [&](const pam_message *m) {
    const pam_message *arr[] = {m};
    pam_response *r = nullptr;
    EXPECT_EQ(conv_func(1, arr, &r, &data), PAM_SUCCESS);
    EXPECT_NE(r, nullptr);
    std::string s = r && r->resp ? r->resp : "(null)";
    if (r) {
      EXPECT_EQ(r->resp_retcode, 0);
      std::free(r->resp);
      std::free(r);
    }
    return s;
  };
  EXPECT_EQ(answer(&info), "(null)");
  EXPECT_EQ(answer(&echo_off), "pw");
  EXPECT_EQ(answer(&echo_off), "new");
  EXPECT_EQ(answer(&echo_off), "new");
  EXPECT_EQ(answer(&echo_off), "(null)");
  EXPECT_EQ(data.prompt_count, 3);
  EXPECT_EQ(answer(&error), "(null)");
  EXPECT_TRUE(cap.contains(LOG_USER | LOG_ERR, "PAM_ERROR_MSG:bad thing"));

  PamConvData login{"pw", nullptr, 1};
  data = login;
  EXPECT_EQ(answer(&echo_off), "(null)");
  EXPECT_EQ(data.prompt_count, 2);
  data.prompt_count = -1;
  EXPECT_EQ(answer(&echo_off), "(null)");
  EXPECT_EQ(data.prompt_count, -1);

  data.prompt_count = 0;
  {
    testsupport::AllocFailure fail(0);
    EXPECT_EQ(conv_func(1, one, &resp, &data), PAM_BUF_ERR);
  }
  {
    testsupport::AllocFailure fail(1);  // the response, not the reply text
    EXPECT_EQ(conv_func(1, one, &resp, &data), PAM_BUF_ERR);
  }
}

}  // namespace
