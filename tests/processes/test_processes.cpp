// Shell commands and processes against real programs; only "service",
// "mount" and "umount" are fakes first on PATH.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/harness.hpp"
#include "util_linux.h"

using namespace testsupport;

namespace {

constexpr int kAny = -99;

TEST(Processes, ShellCommandsAndWaitStatuses) {
  struct {
    const char *command;
    int unmasked, unblocked, piped;  // system_unmasked, system_unblocked, run_shell_cmnd's status
    std::string output;
  } cases[] = {
      {"true", 0, 0, 0, ""},
      {"exit 3", 3 << 8, -1, 3 << 8, ""},
      {"/nonexistent/program 2>/dev/null", 127 << 8, -1, 127 << 8, ""},
      {"kill -9 $$", 0, -1, SIGKILL, ""},  // a shell ended by a signal counts as a success
      {"printf 'one\\ntwo'", 0, 0, 0, "one\ntwo"},
      {"head -c 10000 /dev/zero | tr '\\000' a", 0, 0, kAny, std::string(8191, 'a')},  // at most 8191 bytes
  };
  char sh[] = "/bin/sh", dash_c[] = "-c";
  char *no_env[] = {nullptr};
  SyslogCapture log;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.command);
    EXPECT_EQ(system_unmasked(c.command), c.unmasked);
    char *argv[] = {sh, dash_c, const_cast<char *>(c.command), nullptr};
    EXPECT_EQ(system_unblocked(argv, no_env), c.unblocked);
    int32_t status = -7, size = -7;
    char *out = run_shell_cmnd(c.command, &status, &size);
    EXPECT_EQ(out, c.output);
    EXPECT_EQ(size, 8192);
    EXPECT_EQ(c.piped == kAny ? kAny : status, c.piped);
    free(out);
  }
  const pid_t me = getpid();
  char prog[] = "/nonexistent/program";
  char *bad[] = {prog, nullptr};
  const int r = system_unblocked(bad, no_env);
  if (getpid() != me) _exit(99);  // the child came back from a failed exec
  EXPECT_EQ(r, -1);
  EXPECT_TRUE(log.contains(LOG_USER | LOG_ERR, "system_unblocked: WEXITSTATUS(status) = 127\n")) << log.dump();
  sighandler_t old_chld = signal(SIGCHLD, SIG_IGN);  // the kernel reaps the child: its status is lost
  EXPECT_EQ(system_unmasked("true"), -1);
  signal(SIGCHLD, old_chld);
}

TEST(Processes, FindsProgramsAndTheirMemory) {
  TempDir dir;
  const pid_t gone = fork();
  if (gone == 0) _exit(0);
  waitpid(gone, nullptr, 0);
  EXPECT_GT(get_proc_mem(getpid()), 0);
  EXPECT_EQ(get_proc_mem(gone), 0);
  // pidof finds a running program by its name, one literal word.
  const std::string name = "plsleep" + std::to_string(getpid()), prog = dir.file(name), pwn = dir.file("pwned");
  ASSERT_EQ(system(("cp /bin/sleep '" + prog + "'").c_str()), 0);
  const pid_t child = fork();
  if (child == 0) _exit(execl(prog.c_str(), name.c_str(), "30", static_cast<char *>(nullptr)));
  char buf[64] = "";
  for (int i = 0; i < 200 && !buf[0]; ++i) usleep(get_pidof(name.c_str(), buf, sizeof buf) == 0 ? 10000 : 0);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  EXPECT_EQ(buf, std::to_string(child) + "\n");
  EXPECT_EQ(get_pidof(("x; touch '" + pwn + "'").c_str(), buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(get_pidof(("$(touch '" + pwn + "')").c_str(), buf, sizeof buf), 0);
  EXPECT_FALSE(file_exists(pwn));

}

TEST(Processes, ServiceAndMountCommandsTakeOnlyLiteralWords) {
  // Fakes first on PATH: each appends "NAME [arg] ...\n" to DIR/log and exits with $PL_FAKE_STATUS.
  TempDir dir;
  const std::string old_path = getenv("PATH"), fake = dir.file("fake");
  write_file(fake, "#!/bin/sh\n{ printf %s \"${0##*/}\"; for a; do printf \" [%s]\" \"$a\"; done; echo; } >>'" +
                       dir.file("log") + "'\nexit ${PL_FAKE_STATUS:-0}\n");
  chmod(fake.c_str(), 0755);
  for (const char *n : {"service", "mount", "umount"}) symlink(fake.c_str(), dir.file(n).c_str());
  setenv("PATH", (dir.path() + ":" + old_path).c_str(), 1);
  SyslogCapture log;
  const std::string pwn = dir.file("pwned"), two = dir.file("p/mp"), plain = dir.file("plain");
  EXPECT_EQ(SV_service_control("sshd", 3), 0);
  EXPECT_EQ(SV_service_control(nullptr, 0) + SV_service_control("sshd", 6) + SV_service_control("sshd", -1), -3);
  // Traversal to any script, options of "service", hidden or parent entries,
  // shell syntax, controls: refused with a log line, nothing runs.
  for (const std::string &name : {std::string("../../tmp/x/evil"), std::string("/etc/init.d/sshd"),
                                  std::string("--status-all"), std::string("-h"), std::string(".hidden"),
                                  std::string(""), "a b;touch '" + pwn + "' $(touch " + pwn + ")", std::string("s\x1b")})
    EXPECT_EQ(SV_service_control(name.c_str(), 1), -1) << name;
  EXPECT_TRUE(log.contains(LOG_USER | LOG_ERR, "SV_service_control: refused service name \"s?\"")) << log.dump();

  EXPECT_EQ(clean_mountPoint(two.c_str(), 0), 0);  // both levels created
  struct stat st;
  EXPECT_TRUE(stat(two.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
  write_file(plain, "x");
  EXPECT_EQ(clean_mountPoint(plain.c_str(), 0), -1);
  EXPECT_EQ(clean_mountPoint(dir.file("a/b/mp").c_str(), 0), -1);
  EXPECT_EQ(nfs_clean_mount("srv:/x", plain.c_str(), 0), -1);  // not mounted without a mount point
  setenv("PL_PWN", pwn.c_str(), 1);
  const std::string mp = dir.file("m p;touch $PL_PWN;$(touch $PL_PWN)`touch $PL_PWN`'");
  const std::string src = "srv:/e x;touch $PL_PWN'\"";
  EXPECT_EQ(nfs_clean_mount(src.c_str(), mp.c_str(), 0), 0);
  EXPECT_EQ(nfs_clean_mount("srv:/ro", mp.c_str(), 3), 0);
  EXPECT_EQ(nfs_mount("-oremount,rw", mp.c_str(), 0), -1);  // would be an option
  setenv("PL_FAKE_STATUS", "2", 1);
  EXPECT_EQ(SV_service_control("getty@tty1.service", 0), -512);
  EXPECT_EQ(nfs_mount("srv:/bad", mp.c_str(), 2), -1);
  EXPECT_EQ(clean_mountPoint(two.c_str(), 1), 0);  // nothing mounted there
  EXPECT_TRUE(log.contains(LOG_USER | LOG_NOTICE, two + " forced directory unmount failed: exit code 512"));
  unsetenv("PL_FAKE_STATUS");
  unsetenv("PL_PWN");
  setenv("PATH", old_path.c_str(), 1);
  EXPECT_EQ(read_file(dir.file("log")), "service [sshd] [restart]\nmount [-t] [nfs] [" + src +
                                                "] [" + mp + "]\numount [" + mp + "]\nmount [-t] [nfs] [-r] [srv:/ro] [" +
                                                mp + "]\nservice [getty@tty1.service] [start]\nmount [-t] [nfs] [srv:/bad] [" +
                                                mp + "]\numount [-f] [" + two + "]\n");
  EXPECT_FALSE(file_exists(pwn));
}

}  // namespace
