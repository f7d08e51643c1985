// The machine's real PAM (pam_unix) against a throwaway user. The account
// files and the PAM configuration are replaced only inside a private mount
// namespace of a child process: temporary passwd, shadow, group and pam.d are
// bind-mounted over the real ones there, so the machine's own files are
// never touched.
#include <crypt.h>
#include <sched.h>
#include <security/pam_appl.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "pam_lib.h"
#include "support/harness.hpp"
#include "support/peer.hpp"

namespace {

constexpr const char *kUser = "pamlibtest";
constexpr const char *kPassword = "Throw-away-9";
constexpr int kGid = 54321;

int g_failures = 0;
#define CHECK(cond)                                                         \
  do {                                                                      \
    if (!(cond)) {                                                          \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      ++g_failures;                                                         \
    }                                                                       \
  } while (0)

bool bind_over(const std::string &from, const char *to) {
  return ::mount(from.c_str(), to, nullptr, MS_BIND, nullptr) == 0;
}

std::string g_base_passwd;  // the machine's file, read before the bind mount

std::string passwd_with(bool with_user) {
  std::string s = g_base_passwd;
  if (with_user)
    s += std::string(kUser) + ":x:54321:" + std::to_string(kGid) + "::/nonexistent:/bin/false\n";
  return s;
}

// The child's whole run. Returns 77 when the namespace cannot be set up.
int run_in_namespace(const std::string &dir) {
  if (::unshare(CLONE_NEWNS) != 0) return 77;
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 77;

  g_base_passwd = testsupport::read_file("/etc/passwd");
  crypt_data cd{};
  const char *hash = crypt_r(kPassword, "$6$pamlibsalt$", &cd);
  if (!hash) return 77;
  testsupport::write_file(dir + "/passwd", passwd_with(true));
  testsupport::write_file(dir + "/shadow", "root:*:19000:0:99999:7:::\n" + std::string(kUser) +
                                               ":" + hash + ":19000:0:99999:7:::\n");
  testsupport::write_file(dir + "/group", testsupport::read_file("/etc/group") + kUser +
                                              ":x:" + std::to_string(kGid) + ":\n");
  std::filesystem::create_directories(dir + "/pam.d");
  testsupport::write_file(dir + "/pam.d/pam_lib_mgtd",
                          "auth required pam_unix.so\n"
                          "account required pam_unix.so\n"
                          "session required pam_unix.so\n");
  if (!bind_over(dir + "/passwd", "/etc/passwd") || !bind_over(dir + "/shadow", "/etc/shadow") ||
      !bind_over(dir + "/group", "/etc/group") || !bind_over(dir + "/pam.d", "/etc/pam.d"))
    return 77;

  CHECK(PAM_AuthUser(kUser, kPassword, "127.0.0.1", "pts/9", 0, 0, nullptr, nullptr) == 0);
  CHECK(PAM_AuthUser(kUser, "wrong", "127.0.0.1", "pts/9", 0, 0, nullptr, nullptr) ==
        PAM_AUTH_ERR);
  CHECK(PAM_session_init() == 0);

  // The user disappears from the user database while the daemon is asked:
  // getpwnam_r then finds no entry and no group id is sent.
  {
    testsupport::Peer peer(testsupport::Peer::serve([&](const testsupport::Request &r) {
      if (r.hdr.opcode == 61) testsupport::write_file(dir + "/passwd", passwd_with(false));
      return testsupport::Result{-1, {}};
    }));
    set_socket(peer.client_fd());
    int id = -3;
    char cred[4];
    int r = PAM_AuthUser(kUser, kPassword, "h", "t", 1, sizeof cred, cred, &id);
    CHECK(r == PAM_USER_UNKNOWN);
    CHECK(id == -3);
    CHECK(peer.requests().size() == 1);
    set_socket(-1);
    testsupport::write_file(dir + "/passwd", passwd_with(true));
  }
  // A full login with the primary group's privilege.
  {
    testsupport::Peer peer(testsupport::Peer::serve([](const testsupport::Request &r) {
      if (r.hdr.opcode == 61) return testsupport::Result{-1, {}};
      return testsupport::Result{0, r.hdr.opcode == 27 ? testsupport::bytes_of(int32_t{6})
                                                       : std::string()};
    }));
    set_socket(peer.client_fd());
    int id = 0;
    int32_t level = 0;
    CHECK(PAM_AuthUser(kUser, kPassword, "h", "t", 1, sizeof level, &level, &id) == 0);
    CHECK(id == 1);
    CHECK(level == 6);
    auto reqs = peer.requests();
    CHECK(reqs.size() == 3);
    if (reqs.size() == 3) {
      CHECK(reqs[0].hdr.opcode == 61);
      CHECK(reqs[1].hdr.opcode == 27);
      CHECK(reqs[1].items[0].as_int() == kGid);
      CHECK(reqs[2].hdr.opcode == 40);
    }
    CHECK(PAM_session_delete(id) == 0);
    set_socket(-1);
  }
  return g_failures == 0 ? 0 : 1;
}

TEST(PamUnix, LoginThroughTheMachinesPamStack) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root (bind mounts in a private mount namespace)";
  if (!std::filesystem::exists("/lib/x86_64-linux-gnu/security/pam_unix.so") &&
      !std::filesystem::exists("/usr/lib/x86_64-linux-gnu/security/pam_unix.so"))
    GTEST_SKIP() << "pam_unix.so is not installed";
  testsupport::TempDir dir;
  std::fflush(nullptr);
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) ::_exit(run_in_namespace(dir.path()));
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77)
    GTEST_SKIP() << "no private mount namespace here (unshare/mount refused)";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "see the failed checks on stderr";
}

}  // namespace
