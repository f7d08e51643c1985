// The machine's real PAM (pam_unix) against a throwaway user, in a child
// process with a private mount namespace: temporary passwd, shadow, group and
// pam.d are bind-mounted over the real ones there only.
#include <crypt.h>
#include <sched.h>
#include <security/pam_appl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "pam_lib.h"
#include "support/harness.hpp"
#include "support/peer.hpp"

namespace {

// The child's run: 77 when the namespace cannot be set up, else whether a check failed.
int run_in_namespace(const std::string &dir) {
  crypt_data cd{};
  const std::string user = "pamlibtest:x:54321:54321::/:/bin/false\n", passwd = testsupport::read_file("/etc/passwd");
  testsupport::write_file(dir + "/passwd", passwd + user);
  testsupport::write_file(dir + "/shadow", std::string("pamlibtest:") + crypt_r("Throw-away-9", "$6$salt$", &cd) + ":19000::::::\n");
  testsupport::write_file(dir + "/group", testsupport::read_file("/etc/group") + "pamlibtest:x:54321:\n");
  mkdir((dir + "/pam.d").c_str(), 0700);
  testsupport::write_file(dir + "/pam.d/pam_lib_mgtd", "auth required pam_unix.so\naccount required pam_unix.so\nsession required pam_unix.so\n");
  if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 77;
  for (std::string f : {"passwd", "shadow", "group", "pam.d"})
    if (mount((dir + "/" + f).c_str(), ("/etc/" + f).c_str(), nullptr, MS_BIND, nullptr) != 0) return 77;
  // No credential record; at the first login the user vanishes while the daemon is asked.
  int asked = 0;
  testsupport::Peer peer(testsupport::Peer::serve([&](const testsupport::Request &r) {
    if (++asked == 1) testsupport::write_file(dir + "/passwd", passwd);
    return testsupport::Result{r.hdr.opcode == 61 ? -1 : 0, testsupport::bytes_of(int32_t{6})};
  }));
  set_socket(peer.client_fd());
  int id = -3, level = 0;
  EXPECT_EQ(PAM_AuthUser("pamlibtest", "wrong", "h", "t", 0, 0, nullptr, nullptr), PAM_AUTH_ERR);
  EXPECT_EQ(PAM_session_init(), 0);
  // glibc's getpwnam_r finds no entry: no group id is sent.
  EXPECT_EQ(PAM_AuthUser("pamlibtest", "Throw-away-9", "h", "t", 1, 4, &level, &id), PAM_USER_UNKNOWN);
  testsupport::write_file(dir + "/passwd", passwd + user);
  EXPECT_EQ(PAM_AuthUser("pamlibtest", "Throw-away-9", "h", "t", 1, 4, &level, &id), 0);
  EXPECT_EQ(id, 1);  // session ids count from 1
  EXPECT_EQ(level, 6);
  EXPECT_EQ(peer.requests().at(2).items[0].as_int(), 54321);
  EXPECT_EQ(PAM_session_delete(id), 0);
  return ::testing::Test::HasFailure();
}

TEST(PamUnix, LoginThroughTheMachinesPamStack) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root (bind mounts in a private mount namespace)";
  testsupport::TempDir dir;
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) _exit(run_in_namespace(dir.path()));
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 77) GTEST_SKIP() << "no private mount namespace here";
  EXPECT_EQ(status, 0) << "the child's failures are above";
}

}  // namespace
