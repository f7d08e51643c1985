// The machine's real PAM (pam_unix) against a throwaway user, in a child
// process with a private mount namespace: temporary passwd, shadow, group and
// pam.d are bind-mounted over the real ones there only.
#include <crypt.h>
#include <sched.h>
#include <security/pam_appl.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "pam_lib.h"
#include "support/harness.hpp"
#include "support/peer.hpp"

namespace {

using testsupport::write_file;
const std::string kUserLine = "pamlibtest:x:54321:54321::/nonexistent:/bin/false\n";

// The child's run: its gtest failures make its exit status; 77 when the
// namespace cannot be set up.
int run_in_namespace(const std::string &dir) {
  crypt_data cd{};
  std::string passwd = testsupport::read_file("/etc/passwd");
  write_file(dir + "/passwd", passwd + kUserLine);
  write_file(dir + "/shadow", std::string("pamlibtest:") + crypt_r("Throw-away-9", "$6$pamlibsalt$", &cd) + ":19000:0:99999:7:::\n");
  write_file(dir + "/group", testsupport::read_file("/etc/group") + "pamlibtest:x:54321:\n");
  std::filesystem::create_directories(dir + "/pam.d");
  write_file(dir + "/pam.d/pam_lib_mgtd", "auth required pam_unix.so\naccount required pam_unix.so\nsession required pam_unix.so\n");
  if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 77;
  for (std::string f : {"passwd", "shadow", "group", "pam.d"})
    if (::mount((dir + "/" + f).c_str(), ("/etc/" + f).c_str(), nullptr, MS_BIND, nullptr) != 0) return 77;

  // The daemon holds no credential record; on the first login the user
  // vanishes from the user database while the daemon is asked.
  bool vanish = true;
  testsupport::Peer peer(testsupport::Peer::serve([&](const testsupport::Request &r) {
    if (vanish) write_file(dir + "/passwd", passwd);
    return testsupport::Result{r.hdr.opcode == 61 ? -1 : 0, testsupport::bytes_of(int32_t{6})};
  }));
  set_socket(peer.client_fd());
  int id = -3;
  int32_t level = 0;
  EXPECT_EQ(PAM_AuthUser("pamlibtest", "Throw-away-9", "h", "t", 0, 0, nullptr, nullptr), 0);
  EXPECT_EQ(PAM_AuthUser("pamlibtest", "wrong", "h", "t", 0, 0, nullptr, nullptr), PAM_AUTH_ERR);
  EXPECT_EQ(PAM_session_init(), 0);
  // getpwnam_r finds no entry: no group id is sent.
  EXPECT_EQ(PAM_AuthUser("pamlibtest", "Throw-away-9", "h", "t", 1, 4, &level, &id), PAM_USER_UNKNOWN);
  EXPECT_EQ(peer.requests().size(), 1u);
  vanish = false;
  write_file(dir + "/passwd", passwd + kUserLine);
  // A full login with the primary group's privilege; session ids count from 1.
  EXPECT_EQ(PAM_AuthUser("pamlibtest", "Throw-away-9", "h", "t", 1, 4, &level, &id), 0);
  EXPECT_EQ(id, 1);
  EXPECT_EQ(level, 6);
  auto reqs = peer.requests();
  EXPECT_EQ(reqs.size(), 4u);
  EXPECT_TRUE(reqs.size() == 4 && reqs[2].hdr.opcode == 27 && reqs[2].items[0].as_int() == 54321);
  EXPECT_EQ(PAM_session_delete(id), 0);
  return ::testing::Test::HasFailure();
}

TEST(PamUnix, LoginThroughTheMachinesPamStack) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root (bind mounts in a private mount namespace)";
  if (!std::filesystem::exists("/usr/lib/" PAM_LIB_MULTIARCH "/security/pam_unix.so"))
    GTEST_SKIP() << "pam_unix.so is not installed";
  testsupport::TempDir dir;
  std::fflush(nullptr);
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) ::_exit(run_in_namespace(dir.path()));
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  if (status == 77 << 8) GTEST_SKIP() << "no private mount namespace here";
  EXPECT_EQ(status, 0) << "the child's failures are above";
}

}  // namespace
