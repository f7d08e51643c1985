// Login, password change and the session table through the real libpam in a private world that main() sets
// up: pam_wrapper with pam_matrix and the probe module (pam_lib_probe.c), nss_wrapper knowing alice and bob.
// The daemon is the recording peer; conv_func is also called directly as PAM would.
#include <fcntl.h>
#include <security/pam_appl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <filesystem>
#include <map>
#include <random>
#include <utility>

#include "pam_lib.h"
#include "pam_lib/auth.pam.hpp"
#include "pam_lib/context.hpp"
#include "pam_lib/sessions.pam.hpp"
#include "support/harness.hpp"
#include "support/mgtd_process.hpp"
#include "support/pam_wrapper_paths.hpp"
#include "support/peer.hpp"

namespace {

using Events = std::vector<std::string>;

// False under ThreadSanitizer, which refuses pam_wrapper's loading.
bool active() { return std::getenv("PAM_LIB_PAMENV_DIR") && std::getenv("PAM_WRAPPER"); }

// The probe's events ("close alice", ...) that start with prefix.
std::vector<std::string> events(const testsupport::SyslogCapture &cap, const std::string &prefix) {
  std::vector<std::string> out;
  for (const auto &l : cap.lines())
    if (l.text.rfind("probe " + prefix, 0) == 0) out.push_back(l.text.substr(6));
  return out;
}

constexpr uint32_t kGetUserCred = 61, kGetPrivilegeLevel = 27, kLoginUser = 40;  // opcodes
const std::string kLevel = testsupport::bytes_of(int32_t{0x01020304});

// A daemon that holds a credential record ('C's) when cred_result is 0 and
// answers the privilege-level question with level_result and kLevel.
testsupport::Peer::Script mgtd(int32_t cred_result, int32_t level_result = 0) {
  return testsupport::Peer::serve([=](const testsupport::Request &r) {
    if (r.hdr.opcode == kGetUserCred)
      return testsupport::Result{cred_result, cred_result ? "" : std::string(size_t(r.items[1].as_int()), 'C')};
    return testsupport::Result{r.hdr.opcode == kGetPrivilegeLevel ? level_result : 0, kLevel};
  });
}

// The monitor's passes come from the tests, through the pass seam.
class Pam : public ::testing::Test {
  void SetUp() override {
    if (!active()) GTEST_SKIP() << "pam_wrapper is not active";
    pl::testing::set_monitor_period(std::chrono::hours(1));
    ASSERT_EQ(PAM_session_init(), 0);
  }
};

struct Scenario {
  const char *user, *password, *probe;
  int open, cred_result, level_result, cred_len, rc;
  std::string requests;  // "opcode:first item" each, the login's with its privilege
  Events events;
  std::string cred;  // the caller's buffer afterwards
  Events close{};
};

TEST_F(Pam, LoginScenarios) {
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
    testsupport::Peer peer(mgtd(s.cred_result, s.level_result));
    set_socket(peer.client_fd());
    std::string cred(size_t(s.cred_len), 'x'), requests;
    int before = pl::last_session_id.load(), id = -7;
    EXPECT_EQ(PAM_AuthUser(s.user, s.password, "h", "t", s.open, s.cred_len, cred.data(), &id), s.rc);
    EXPECT_EQ(events(cap, ""), s.events);
    EXPECT_EQ(cred, s.cred);
    for (const auto &r : peer.requests()) {
      bool level = r.hdr.opcode == kGetPrivilegeLevel, login = r.hdr.opcode == kLoginUser;
      requests += std::to_string(r.hdr.opcode) + ":" + (level ? std::to_string(r.items[0].as_int()) : r.items[0].as_string()) +
                  (login ? "@" + std::to_string(r.hdr.privilege) : "") + " ";
    }
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
    EXPECT_EQ(events(cap, "close"), stored ? s.close : Events{});
    EXPECT_EQ(cap.contains(LOG_USER | LOG_ERR, "PAM_ERROR_MSG:closing"), s.close.size() > 1) << cap.dump();
  }
  unsetenv("PAM_LIB_PROBE");
  pl::testing::reset_client_context();
}

TEST_F(Pam, PasswordChangeThroughPamMatrix) {
  EXPECT_EQ(PAM_ChangePass("bob", "bob-secret", "bob-new"), 0);
  EXPECT_EQ(PAM_AuthUser("bob", "bob-new", "h", "t", 0, 0, nullptr, nullptr), 0);
  EXPECT_EQ(PAM_AuthUser("bob", "bob-secret", "h", "t", 0, 0, nullptr, nullptr), PAM_AUTH_ERR);
  EXPECT_NE(PAM_ChangePass("bob", "not-it", "x"), 0);
  EXPECT_EQ(PAM_ChangePass("bob", "bob-new", "bob-secret"), 0);
}

struct Model {
  int timeout = -1, remaining = -1, open = 1;
};

// Random operations on a few ids against a simple model; every close is seen.
TEST_F(Pam, SessionTableFollowsTheModel) {
  PamConvData data{"unused", nullptr, 0};
  const pam_conv conv{conv_func, &data};
  std::map<int, Model> model;
  pam_handle_t *h = nullptr;
  std::mt19937 rng(7);
  for (int step = 0; step < 3000; ++step) {
    testsupport::SyslogCapture cap;
    int id = 100 + int(rng() % 6), op = int(rng() % 7), closes = 0, t = int(rng() % 6) - 2;
    bool known = model.count(id);
    SCOPED_TRACE("step " + std::to_string(step) + " op " + std::to_string(op) + " id " + std::to_string(id));
    switch (op) {
      case 0:  // a real PAM session under a fresh id, stored once its allocations succeed
        if (known) break;
        ASSERT_EQ(pam_start("pam_lib_mgtd", "alice", &conv, &h), PAM_SUCCESS);
        ASSERT_EQ(pam_open_session(h, 0), PAM_SUCCESS);
        {
          testsupport::AllocFailure fail(step % 2);
          ASSERT_EQ(pl::sPAM_session_create(id, h), -1);
        }
        ASSERT_EQ(pl::sPAM_session_create(id, h), 0);
        model[id] = Model{};
        cap.clear();
        break;
      case 1:  // time-outs -2 .. 3
        EXPECT_EQ(PAM_session_add(id, t), known ? 0 : -1);
        if (known) model[id].timeout = model[id].remaining = t;
        break;
      case 2:
        EXPECT_EQ(PAM_session_check_and_refresh(id), known ? 0 : -1);
        if (known) model[id].remaining = model[id].timeout;
        break;
      case 3:
        EXPECT_EQ(PAM_CloseSession(id), known ? PAM_SUCCESS : -1);
        EXPECT_TRUE(known || cap.contains("PAM_CloseSession: session=" + std::to_string(id) + " not found in the DB\n"));
        if (known) closes += std::exchange(model[id].open, 0);
        break;
      case 4:
        EXPECT_EQ(PAM_session_delete(id), known ? 0 : -1);
        closes += known && model[id].open;
        model.erase(id);
        break;
      default:
        pl::testing::monitor_pass();
        for (auto it = model.begin(); it != model.end();) {  // time-outs stay far from INT_MIN
          bool expired = it->second.timeout != -1 && --it->second.remaining <= 0;
          closes += expired && it->second.open;
          it = expired ? model.erase(it) : std::next(it);
        }
    }
    EXPECT_EQ(int(events(cap, "close ").size()), closes);
    ASSERT_EQ(DB_GetCount(pl::sessions_db.load()), int(model.size()));
    for (const auto &[mid, m] : model) {
      void *rec = nullptr;
      EXPECT_EQ(DB_Find(pl::sessions_db.load(), nullptr, mid, &rec), 0);
      EXPECT_EQ(rec ? static_cast<SessionEntry *>(rec)->remaining : INT_MAX, m.remaining) << mid;
    }
  }
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
}

}  // namespace

int main(int argc, char **argv) {
  // pam_wrapper loads libpam with RTLD_DEEPBIND, which ThreadSanitizer
  // refuses: the tests then run without the wrappers (active() is false).
  if (!std::getenv("PAM_LIB_PAMENV_DIR") && testsupport::sanitizer_runtime().find("libtsan.so") == std::string::npos) {
    const testsupport::TempDir world;  // removed after the child, even one that crashed
    const std::string &templ = world.path();
    std::filesystem::create_directories(templ + "/services");
    std::string matrix = std::string(testsupport::kPamWrapperModuleDir) + "/pam_matrix.so passdb=" + templ + "/passdb\n";
    // The probe answers alone when told to prompt (success ends the stack).
    testsupport::write_file(templ + "/services/pam_lib_mgtd",
                            "auth [success=done ignore=ignore default=die] " PAM_LIB_PROBE_MODULE "\nauth required " +
                                matrix + "account required " + matrix + "password required " + matrix +
                                "session required " + matrix + "session required " PAM_LIB_PROBE_MODULE "\n");
    testsupport::write_file(templ + "/passdb", "alice:alice-secret:pam_lib_mgtd\nbob:bob-secret:pam_lib_mgtd\nghost:ghost-secret:pam_lib_mgtd\n");
    testsupport::write_file(templ + "/passwd", "alice:x:1001:2001::/:/bin/sh\nbob:x:1002:2002::/:/bin/sh\n");
    testsupport::write_file(templ + "/group", "alice:x:2001:\nbob:x:2002:\n");
    setenv("PAM_LIB_PAMENV_DIR", templ.c_str(), 1);
    for (const auto &[name, value] : testsupport::pam_wrapper_env(templ)) setenv(name.c_str(), value.c_str(), 1);
    pid_t pid = fork();
    if (pid == 0) execv("/proc/self/exe", argv);
    int status = 1;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
