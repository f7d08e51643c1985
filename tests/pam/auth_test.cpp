// Login and password change through the real libpam (pam_wrapper with
// pam_matrix and the probe module), the daemon played by the recording peer;
// conv_func called directly as PAM would.
#include <fcntl.h>

#include <cerrno>

#include "pam_env.hpp"
#include "pam_lib.h"
#include "pam_lib/auth.pam.hpp"
#include "pam_lib/context.hpp"
#include "pam_lib/sessions.pam.hpp"
#include "support/peer.hpp"

namespace {

using testsupport::Peer;
using Events = std::vector<std::string>;

constexpr uint32_t kGetUserCred = 61, kGetPrivilegeLevel = 27, kLoginUser = 40;
const std::string kLevel = testsupport::bytes_of(int32_t{0x01020304});

// A daemon that holds a credential record ('C's) when cred_result is 0 and
// answers the privilege-level question with level_result and kLevel.
Peer::Script daemon(int32_t cred_result, int32_t level_result = 0) {
  return Peer::serve([=](const testsupport::Request &r) {
    if (r.hdr.opcode == kGetUserCred)
      return testsupport::Result{cred_result, cred_result ? "" : std::string(size_t(r.items[1].as_int()), 'C')};
    return testsupport::Result{r.hdr.opcode == kGetPrivilegeLevel ? level_result : 0, kLevel};
  });
}

class PamAuth : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!pamenv::active()) GTEST_SKIP() << "pam_wrapper is not active";
    pl::testing::set_monitor_period(std::chrono::hours(1));
    ASSERT_EQ(PAM_session_init(), 0);
  }
  void TearDown() override { unsetenv("PAM_LIB_PROBE"); }
};

struct Scenario {
  const char *user, *password, *probe;
  int gid, open;
  int32_t cred_result, level_result;
  int cred_len, rc;
  std::vector<uint32_t> opcodes;
  Events events;
  std::string cred;  // the caller's buffer afterwards
  Events close{};  // at the close
};

TEST_F(PamAuth, LoginScenarios) {
  const Events alice_in{"setcred establish", "open alice"};
  const Scenario table[] = {
      {"alice", "alice-secret", "", 2001, 1, 0, 0, 12, 0, {61, 40}, alice_in, std::string(12, 'C'), {"close alice"}},
      {"alice", "alice-secret", "close_msg=1", 2001, 1, 0, 0, 0, 0, {61, 40}, alice_in, "", {"close alice", "close-prompt (null)"}},
      {"bob", "bob-secret", "", 2002, 1, -1, 0, 6, 0, {61, 27, 40}, {"setcred establish", "open bob"}, kLevel + "xx", {"close bob"}},
      {"alice", "alice-secret", "", 2001, 1, -1, 0, 1, 0, {61, 27, 40}, alice_in, kLevel.substr(0, 1), {"close alice"}},
      {"alice", "alice-secret", "", 2001, 0, 0, 0, 4, 0, {}, {}, "xxxx"},
      {"alice", "alice-secret", "auth=2", 2001, 0, 0, 0, 4, 0, {}, {"auth alice-secret", "auth (null)"}, "xxxx"},
      {"alice", "alice-secreT", "", 2001, 1, 0, 0, 4, PAM_AUTH_ERR, {}, {}, "xxxx"},
      {"ghost", "ghost-secret", "", 0, 1, -1, 0, 4, ENOENT, {61}, {}, "xxxx"},  // not in passwd
      {"alice", "alice-secret", "", 2001, 1, -1, 9, 4, 9, {61, 27}, {}, "xxxx"},
      {"alice", "alice-secret", "fail_open=1", 2001, 1, 0, 0, 4, PAM_SESSION_ERR, {61, 40},
       {"setcred establish", "open alice", "setcred delete"}, "CCCC"},
  };
  for (const Scenario &s : table) {
    SCOPED_TRACE(std::string(s.user) + " " + s.password + " " + s.probe + " " + std::to_string(s.rc));
    pl::testing::reset_client_context();
    testsupport::SyslogCapture cap;
    setenv("PAM_LIB_PROBE", s.probe, 1);
    Peer peer(daemon(s.cred_result, s.level_result));
    set_socket(peer.client_fd());
    std::string cred(size_t(s.cred_len), 'x');
    int32_t before = pl::last_session_id.load();
    int id = -7;
    EXPECT_EQ(PAM_AuthUser(s.user, s.password, "h", "t", s.open, s.cred_len, cred.data(), &id), s.rc);
    EXPECT_EQ(pamenv::events(cap, ""), s.events);
    EXPECT_EQ(cred, s.cred);
    std::vector<uint32_t> opcodes;
    for (const auto &r : peer.requests()) {
      opcodes.push_back(r.hdr.opcode);
      bool level = r.hdr.opcode == kGetPrivilegeLevel;
      EXPECT_EQ(level ? std::to_string(r.items[0].as_int()) : r.items[0].as_string(),
                level ? std::to_string(s.gid) : s.user);
      EXPECT_TRUE(r.hdr.opcode != kLoginUser || r.hdr.privilege == 5);
    }
    EXPECT_EQ(opcodes, s.opcodes);
    // Once connected, the connection and login privilege stay, whatever the outcome.
    EXPECT_EQ(get_privilege(), s.opcodes.empty() ? -1 : 4);
    EXPECT_NE(fcntl(peer.client_fd(), F_GETFD), -1);
    bool stored = s.rc == 0 && s.open;
    EXPECT_EQ(id, stored ? before + 1 : -7);
    EXPECT_EQ(pl::last_session_id.load(), before + stored);
    // Closed once, with the conversation of the login call, which lent no password.
    cap.clear();
    EXPECT_EQ(PAM_CloseSession(id), stored ? 0 : -1);
    EXPECT_EQ(PAM_session_delete(id), stored ? 0 : -1);
    EXPECT_EQ(pamenv::events(cap, "close"), stored ? s.close : Events{});
    EXPECT_EQ(cap.contains(LOG_USER | LOG_ERR, "PAM_ERROR_MSG:closing"), s.close.size() > 1) << cap.dump();
  }
  pl::testing::reset_client_context();
}

TEST_F(PamAuth, PasswordChangeThroughPamMatrix) {
  EXPECT_EQ(PAM_ChangePass("bob", "bob-secret", "bob-new"), 0);
  EXPECT_EQ(PAM_AuthUser("bob", "bob-new", "h", "t", 0, 0, nullptr, nullptr), 0);
  EXPECT_EQ(PAM_AuthUser("bob", "bob-secret", "h", "t", 0, 0, nullptr, nullptr), PAM_AUTH_ERR);
  EXPECT_NE(PAM_ChangePass("bob", "not-it", "x"), 0);
  EXPECT_EQ(PAM_ChangePass("bob", "bob-new", "bob-secret"), 0);
}

TEST(ConvFunc, AnswersWellFormedCallsOnly) {
  testsupport::SyslogCapture cap;
  PamConvData data{"pw", "new", 0};
  pam_message prompt{PAM_PROMPT_ECHO_OFF, "Password: "}, error{PAM_ERROR_MSG, "bad"}, none{PAM_TEXT_INFO, nullptr};
  const pam_message *prompts[] = {&prompt, &prompt}, *errors[] = {&error, &none};
  pam_response *resp = nullptr;
  EXPECT_EQ(conv_func(1, nullptr, &resp, &data), PAM_CONV_ERR);
  EXPECT_EQ(conv_func(1, prompts, &resp, nullptr), PAM_CONV_ERR);
  EXPECT_EQ(conv_func(2, prompts, &resp, &data), PAM_CONV_ERR);
  EXPECT_EQ(conv_func(0, prompts, &resp, &data), PAM_CONV_ERR);
  EXPECT_EQ(conv_func(1, prompts, nullptr, &data), PAM_SUCCESS);
  EXPECT_EQ(data.prompt_count, 0);
  // errors[1] lies beyond num_msg: only the first message may be read.
  ASSERT_EQ(conv_func(1, errors, &resp, &data), PAM_SUCCESS);
  EXPECT_EQ(resp->resp, nullptr);
  std::free(resp);
  EXPECT_TRUE(cap.contains(LOG_USER | LOG_ERR, "PAM_ERROR_MSG:bad")) << cap.dump();
  EXPECT_EQ(cap.lines().size(), 4u) << cap.dump();  // three reports, the error message
}

}  // namespace
