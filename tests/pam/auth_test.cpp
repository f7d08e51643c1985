// Login and password change through the real libpam (pam_wrapper with
// pam_matrix and the probe module), the daemon side played by the recording
// peer; conv_func called directly as PAM would.
#include <fcntl.h>

#include <cerrno>
#include <cstdlib>

#include "pam_env.hpp"
#include "pam_lib.h"
#include "pam_lib/auth.pam.hpp"
#include "pam_lib/context.hpp"
#include "pam_lib/sessions.pam.hpp"
#include "support/peer.hpp"

namespace {

using testsupport::Peer;
using testsupport::Result;
using testsupport::SyslogCapture;
using Events = std::vector<std::string>;

constexpr uint32_t kGetUserCred = 61, kGetPrivilegeLevel = 27, kLoginUser = 40;
const std::string kLevel = testsupport::bytes_of(int32_t{0x01020304});

// A daemon that holds a credential record ('C's) when cred_result is 0 and
// answers the privilege-level question with level_result and kLevel.
Peer::Script daemon(int32_t cred_result, int32_t level_result = 0) {
  return Peer::serve([=](const testsupport::Request &r) {
    if (r.hdr.opcode == kGetUserCred)
      return Result{cred_result, cred_result ? "" : std::string(size_t(r.items[1].as_int()), 'C')};
    return Result{r.hdr.opcode == kGetPrivilegeLevel ? level_result : 0, kLevel};
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
    pl::testing::reset_client_context();
  }
  void TearDown() override {
    unsetenv("PAM_LIB_PROBE");
    pl::testing::reset_client_context();
  }
};

struct Scenario {
  const char *name;
  pamenv::User user;
  const char *password, *probe;
  int open;
  int32_t cred_result, level_result;
  int cred_len, rc;
  std::vector<uint32_t> opcodes;
  Events events;
  std::string cred;  // the caller's buffer afterwards
};

TEST_F(PamAuth, LoginScenarios) {
  using pamenv::kAlice, pamenv::kBob, pamenv::kGhost;
  const Events alice_in{"setcred establish", "open alice"};
  const Scenario table[] = {
      {"record", kAlice, nullptr, "", 1, 0, 0, 12, 0, {61, 40}, alice_in, std::string(12, 'C')},
      {"level", kBob, nullptr, "", 1, -1, 0, 6, 0, {61, 27, 40}, {"setcred establish", "open bob"}, kLevel + "xx"},
      {"level, 1 byte", kAlice, nullptr, "", 1, -1, 0, 1, 0, {61, 27, 40}, alice_in, kLevel.substr(0, 1)},
      {"no session", kAlice, nullptr, "", 0, 0, 0, 4, 0, {}, {}, "xxxx"},
      {"prompts", kAlice, nullptr, "auth=2", 0, 0, 0, 4, 0, {}, {"auth alice-secret", "auth (null)"}, "xxxx"},
      {"bad password", kAlice, "alice-secreT", "", 1, 0, 0, 4, PAM_AUTH_ERR, {}, {}, "xxxx"},
      {"no passwd entry", kGhost, nullptr, "", 1, -1, 0, 4, ENOENT, {61}, {}, "xxxx"},
      {"level refused", kAlice, nullptr, "", 1, -1, 9, 4, 9, {61, 27}, {}, "xxxx"},
      {"session refused", kAlice, nullptr, "fail_open=1", 1, 0, 0, 4, PAM_SESSION_ERR, {61, 40},
       {"setcred establish", "open alice", "setcred delete"}, "CCCC"},
  };
  for (const Scenario &s : table) {
    SCOPED_TRACE(s.name);
    pl::testing::reset_client_context();
    SyslogCapture cap;
    setenv("PAM_LIB_PROBE", s.probe, 1);
    Peer peer(daemon(s.cred_result, s.level_result));
    set_socket(peer.client_fd());
    std::string cred(size_t(s.cred_len), 'x');
    int32_t before = pl::last_session_id.load();
    int id = -7;
    EXPECT_EQ(PAM_AuthUser(s.user.name, s.password ? s.password : s.user.password, "10.0.0.9",
                           "pts/3", s.open, s.cred_len, cred.data(), &id), s.rc);
    EXPECT_EQ(pamenv::events(cap), s.events);
    EXPECT_EQ(cred, s.cred);
    std::vector<uint32_t> opcodes;
    for (const auto &r : peer.requests()) {
      opcodes.push_back(r.hdr.opcode);
      bool level = r.hdr.opcode == kGetPrivilegeLevel;
      EXPECT_EQ(level ? std::to_string(r.items[0].as_int()) : r.items[0].as_string(),
                level ? std::to_string(s.user.gid) : s.user.name);
      EXPECT_TRUE(r.hdr.opcode != kLoginUser || r.hdr.privilege == 5);
    }
    EXPECT_EQ(opcodes, s.opcodes);
    // Once connected, the connection and login privilege stay, whatever the outcome.
    EXPECT_EQ(get_privilege(), s.opcodes.empty() ? -1 : 4);
    EXPECT_EQ(get_socket(), peer.client_fd());
    EXPECT_NE(fcntl(peer.client_fd(), F_GETFD), -1);
    bool stored = s.rc == 0 && s.open;
    EXPECT_EQ(id, stored ? before + 1 : -7);
    EXPECT_EQ(pl::last_session_id.load(), before + stored);
    if (!stored) continue;
    cap.clear();
    EXPECT_EQ(PAM_session_delete(id), 0);
    EXPECT_EQ(pamenv::events(cap), Events{"close " + std::string(s.user.name)});
  }
}

TEST_F(PamAuth, FailedSessionRecordUsesUpItsIdAndDeletesCredentials) {
  // The n-th allocation fails, for growing n, until the login succeeds.
  int rc = -1, record_failures = 0;
  for (long n = 0; n < 200 && rc != 0; ++n) {
    SyslogCapture cap;
    Peer peer(daemon(0));
    set_socket(peer.client_fd());
    int32_t before = pl::last_session_id.load();
    int id = 0;
    {
      testsupport::AllocFailure fail(n);
      rc = PAM_AuthUser("bob", "bob-secret", "h", "t", 1, 0, nullptr, &id);
    }
    pl::testing::reset_client_context();
    EXPECT_TRUE(rc != 0 || PAM_session_delete(id) == 0);
    // The session opened, but its record or table entry could not be allocated.
    if (rc != -1 || pamenv::count_events(cap, "open bob") == 0) continue;
    ++record_failures;
    EXPECT_EQ(pl::last_session_id.load(), before + 1);
    EXPECT_EQ(pamenv::events(cap).back(), "setcred delete");
  }
  EXPECT_EQ(rc, 0);
  EXPECT_GE(record_failures, 2);
}

TEST_F(PamAuth, ConversationOutlivesTheLoginAndClosesOnce) {
  SyslogCapture cap;
  setenv("PAM_LIB_PROBE", "close_msg=1", 1);
  Peer peer(daemon(0));
  set_socket(peer.client_fd());
  int id = 0;
  {
    std::string password = pamenv::kAlice.password;
    ASSERT_EQ(PAM_AuthUser("alice", password.c_str(), "h", "t", 1, 0, nullptr, &id), 0);
    password.assign(password.size(), '#');
  }
  cap.clear();
  EXPECT_EQ(PAM_CloseSession(id), 0);
  EXPECT_TRUE(cap.contains(LOG_USER | LOG_ERR, "PAM_ERROR_MSG:closing")) << cap.dump();
  // The password is not kept with the session.
  EXPECT_EQ(pamenv::events(cap), (Events{"close alice", "close-prompt (null)"}));
  cap.clear();
  EXPECT_EQ(PAM_CloseSession(id), 0);
  EXPECT_EQ(PAM_session_delete(id), 0);
  EXPECT_TRUE(pamenv::events(cap).empty());
}

TEST_F(PamAuth, PasswordChange) {
  SyslogCapture cap;
  setenv("PAM_LIB_PROBE", "pass=4", 1);
  EXPECT_EQ(PAM_ChangePass("bob", "old-pw", "new-pw"), 0);
  EXPECT_EQ(pamenv::events(cap), (Events{"pass old-pw", "pass new-pw", "pass new-pw", "pass (null)"}));
  unsetenv("PAM_LIB_PROBE");  // pam_matrix changes the password for real
  EXPECT_EQ(PAM_ChangePass("bob", "bob-secret", "bob-new"), 0);
  EXPECT_EQ(PAM_AuthUser("bob", "bob-new", "h", "t", 0, 0, nullptr, nullptr), 0);
  EXPECT_EQ(PAM_AuthUser("bob", "bob-secret", "h", "t", 0, 0, nullptr, nullptr), PAM_AUTH_ERR);
  EXPECT_NE(PAM_ChangePass("bob", "not-it", "x"), 0);
  EXPECT_EQ(PAM_ChangePass("bob", "bob-new", "bob-secret"), 0);
}

TEST(ConvFunc, RefusesMalformedCallsAndLogsErrorMessages) {
  PamConvData data{"pw", "new", 0};
  pam_message prompt{PAM_PROMPT_ECHO_OFF, "Password: "}, error{PAM_ERROR_MSG, "bad"}, none{PAM_TEXT_INFO, nullptr};
  const pam_message *prompts[] = {&prompt, &prompt}, *errors[] = {&error, &none};
  auto report = [](const char *cond, int line) { return testsupport::report_text(cond, "pam_lib", "conv_func", line); };
  struct Row {
    int n;
    const pam_message **msg;
    void *data;
    bool resp;
    int rc;
    std::string log;
  } rows[] = {
      {1, nullptr, &data, true, PAM_CONV_ERR, report("msg == NULL", 29)},
      {1, prompts, nullptr, true, PAM_CONV_ERR, report("appdata_ptr == NULL", 30)},
      {2, prompts, &data, true, PAM_CONV_ERR, report("num_msg > 1", 32)},
      {0, prompts, &data, true, PAM_CONV_ERR, ""},
      {1, prompts, &data, false, PAM_SUCCESS, ""},
      {1, errors, &data, true, PAM_SUCCESS, "PAM_ERROR_MSG:bad"},  // errors[1] is beyond num_msg
  };
  for (const Row &r : rows) {
    SyslogCapture cap;
    pam_response *resp = nullptr;
    EXPECT_EQ(conv_func(r.n, r.msg, r.resp ? &resp : nullptr, r.data), r.rc) << r.log;
    EXPECT_EQ(cap.lines().size(), r.log.empty() ? 0u : 1u) << cap.dump();
    EXPECT_TRUE(r.log.empty() || cap.contains(LOG_USER | LOG_ERR, r.log)) << cap.dump();
    EXPECT_TRUE(!resp || !resp->resp);
    std::free(resp);
  }
  EXPECT_EQ(data.prompt_count, 0);
}

}  // namespace
