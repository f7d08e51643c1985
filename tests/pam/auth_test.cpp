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

constexpr uint32_t kGetUserCred = 61, kGetPrivilegeLevel = 27, kLoginUser = 40;  // opcodes
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

struct Scenario {
  const char *user, *password, *probe;
  int open, cred_result, level_result, cred_len, rc;
  std::string requests;  // "opcode:first item" each, the login's with its privilege
  Events events;
  std::string cred;  // the caller's buffer afterwards
  Events close{};
};

TEST(PamAuth, LoginScenarios) {
  if (!pamenv::active()) GTEST_SKIP() << "pam_wrapper is not active";
  pl::testing::set_monitor_period(std::chrono::hours(1));
  ASSERT_EQ(PAM_session_init(), 0);
  const Events alice_in{"setcred establish", "open alice"};
  const Scenario table[] = {
      {"alice", "alice-secret", "", 1, 0, 0, 12, 0, "61:alice 40:alice@5 ", alice_in, std::string(12, 'C'), {"close alice"}},
      {"alice", "alice-secret", "close_msg=1", 1, 0, 0, 0, 0, "61:alice 40:alice@5 ", alice_in, "", {"close alice", "close-prompt (null)"}},
      {"bob", "bob-secret", "", 1, -1, 0, 6, 0, "61:bob 27:2002 40:bob@5 ", {"setcred establish", "open bob"}, kLevel + "xx", {"close bob"}},
      {"alice", "alice-secret", "", 1, -1, 0, 1, 0, "61:alice 27:2001 40:alice@5 ", alice_in, kLevel.substr(0, 1), {"close alice"}},
      {"alice", "alice-secret", "", 0, 0, 0, 4, 0, "", {}, "xxxx"},
      {"alice", "alice-secret", "auth=2", 0, 0, 0, 4, 0, "", {"auth alice-secret", "auth (null)"}, "xxxx"},
      {"alice", "alice-secreT", "", 1, 0, 0, 4, PAM_AUTH_ERR, "", {}, "xxxx"},
      {"ghost", "ghost-secret", "", 1, -1, 0, 4, ENOENT, "61:ghost ", {}, "xxxx"},  // not in passwd
      {"alice", "alice-secret", "", 1, -1, 9, 4, 9, "61:alice 27:2001 ", {}, "xxxx"},
      {"alice", "alice-secret", "fail_open=1", 1, 0, 0, 4, PAM_SESSION_ERR, "61:alice 40:alice@5 ",
       {"setcred establish", "open alice", "setcred delete"}, "CCCC"},
  };
  for (const Scenario &s : table) {
    SCOPED_TRACE(std::string(s.user) + " " + s.password + " " + s.probe + " " + std::to_string(s.rc));
    pl::testing::reset_client_context();
    testsupport::SyslogCapture cap;
    setenv("PAM_LIB_PROBE", s.probe, 1);
    Peer peer(daemon(s.cred_result, s.level_result));
    set_socket(peer.client_fd());
    std::string cred(size_t(s.cred_len), 'x'), requests;
    int32_t before = pl::last_session_id.load();
    int id = -7;
    EXPECT_EQ(PAM_AuthUser(s.user, s.password, "h", "t", s.open, s.cred_len, cred.data(), &id), s.rc);
    EXPECT_EQ(pamenv::events(cap, ""), s.events);
    EXPECT_EQ(cred, s.cred);
    for (const auto &r : peer.requests())
      requests += std::to_string(r.hdr.opcode) + ":" + (r.hdr.opcode == kGetPrivilegeLevel ? std::to_string(r.items[0].as_int()) : r.items[0].as_string()) +
                  (r.hdr.opcode == kLoginUser ? "@" + std::to_string(r.hdr.privilege) : "") + " ";
    EXPECT_EQ(requests, s.requests);
    // Once connected, the connection and login privilege stay, whatever the outcome.
    EXPECT_EQ(get_privilege(), requests.empty() ? -1 : 4);
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
  unsetenv("PAM_LIB_PROBE");
  pl::testing::reset_client_context();
}

TEST(PamAuth, PasswordChangeThroughPamMatrix) {
  if (!pamenv::active()) GTEST_SKIP() << "pam_wrapper is not active";
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
