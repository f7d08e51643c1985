// Shell commands and processes, run against real programs and a fake
// "service" first on PATH.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "processes/fake_commands.hpp"
#include "support/harness.hpp"
#include "util_linux.h"

using namespace testsupport;

namespace {

constexpr int kErr = LOG_USER | LOG_ERR;

// The shell exits 0 when its own blocked-signal mask is empty.
constexpr const char *kMaskIsEmpty =
    "test \"$(sed -n 's/^SigBlk:[[:space:]]*//p' /proc/$$/status)\" = 0000000000000000";

struct BlockedSignal {
  explicit BlockedSignal(int sig) {
    sigset_t s;
    sigemptyset(&s);
    sigaddset(&s, sig);
    pthread_sigmask(SIG_BLOCK, &s, &old);
  }
  ~BlockedSignal() { pthread_sigmask(SIG_SETMASK, &old, nullptr); }
  sigset_t old;
};

TEST(SystemUnmasked, ReturnsTheWaitStatus) {
  EXPECT_EQ(system_unmasked("true"), 0);
  EXPECT_EQ(system_unmasked("exit 3"), 768);
  EXPECT_EQ(system_unmasked("exit 255"), 255 << 8);
  EXPECT_EQ(system_unmasked("/nonexistent/program 2>/dev/null"), 127 << 8);
  // A shell ended by a signal counts as a success.
  EXPECT_EQ(system_unmasked("kill -9 $$"), 0);
  EXPECT_EQ(system_unmasked(nullptr), -1);
}

TEST(SystemUnmasked, RunsWithEverySignalUnblocked) {
  BlockedSignal blocked(SIGUSR1);
  EXPECT_NE(system(kMaskIsEmpty), 0) << "a plain system() keeps the mask";
  EXPECT_EQ(system_unmasked(kMaskIsEmpty), 0);
}

TEST(RunShellCmnd, CapturesAtMost8191Bytes) {
  int32_t status = -7, size = -7;
  char *out = run_shell_cmnd("head -c 10000 /dev/zero | tr '\\000' a", &status, &size);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(std::strlen(out), 8191u);
  EXPECT_EQ(std::string(out).find_first_not_of('a'), std::string::npos);
  EXPECT_EQ(size, 8192);
  EXPECT_NE(status, -7);  // the writer may die of SIGPIPE on the unread rest
  free(out);

  out = run_shell_cmnd("exit 2", &status, &size);
  ASSERT_NE(out, nullptr);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(status, 512);
  EXPECT_EQ(size, 8192);
  free(out);

  out = run_shell_cmnd("printf 'one\\ntwo'", &status, &size);
  ASSERT_NE(out, nullptr);
  EXPECT_STREQ(out, "one\ntwo");
  free(out);
}

TEST(RunShellCmnd, OutOfMemory) {
  SyslogCapture cap;
  int32_t status = -7, size = -7;
  {
    AllocFailure fail(0);
    EXPECT_EQ(run_shell_cmnd("echo hi", &status, &size), nullptr);
  }
  EXPECT_EQ(size, 0);
  EXPECT_EQ(status, -7);
  EXPECT_TRUE(cap.contains(kErr, "run_shell_cmnd: failed malloc")) << cap.dump();
}

TEST(ProcessStatus, LiveGoneAndNegative) {
  EXPECT_EQ(process_status(getpid()), 0);
  EXPECT_EQ(process_status(1), 0);  // alive even when it is another user's
  EXPECT_EQ(process_status(0), 0);
  EXPECT_EQ(process_status(-5), -3);
  pid_t child = fork();
  if (child == 0) _exit(0);
  ASSERT_GT(child, 0);
  waitpid(child, nullptr, 0);
  EXPECT_EQ(process_status(child), -1);
}

TEST(ReadPidfile, ParsesTheFirst12Bytes) {
  TempDir dir;
  auto pid_of = [&](const std::string &content) {
    write_file(dir.file("p.pid"), content);
    return read_pidfile(dir.file("p.pid").c_str());
  };
  EXPECT_EQ(pid_of(" 42\n"), 42);
  EXPECT_EQ(pid_of("0\n"), -1);
  EXPECT_EQ(pid_of("letters\n"), -1);
  EXPECT_EQ(pid_of(""), -1);
  EXPECT_EQ(pid_of("000000000042999"), 42);  // only "000000000042" is read
  EXPECT_EQ(pid_of("4294967295\n"), -1);     // -1 as a signed number
  EXPECT_EQ(read_pidfile(dir.file("missing").c_str()), -1);
}

TEST(GetPidof, FindsARunningProgram) {
  TempDir dir;
  const std::string name = "plsleep" + std::to_string(getpid());
  const std::string prog = dir.file(name);
  ASSERT_EQ(system(("cp /bin/sleep '" + prog + "'").c_str()), 0);
  pid_t child = fork();
  if (child == 0) {
    execl(prog.c_str(), name.c_str(), "30", static_cast<char *>(nullptr));
    _exit(127);
  }
  ASSERT_GT(child, 0);
  char buf[64];
  std::string found;
  for (int i = 0; i < 200 && found.empty(); ++i) {  // until exec is done
    ASSERT_EQ(get_pidof(name.c_str(), buf, sizeof buf), 0);
    found = buf;
    if (found.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  EXPECT_EQ(found, std::to_string(child) + "\n");

  memset(buf, 'x', sizeof buf);
  EXPECT_EQ(get_pidof("no-such-program-here", buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(get_pidof(nullptr, buf, sizeof buf), -1);
  EXPECT_EQ(get_pidof("x", nullptr, 4), -1);

  // The name is one literal word for the shell.
  const std::string pwn = dir.file("pwned");
  EXPECT_EQ(get_pidof(("x; touch '" + pwn + "'").c_str(), buf, sizeof buf), 0);
  EXPECT_EQ(get_pidof(("$(touch '" + pwn + "')").c_str(), buf, sizeof buf), 0);
  EXPECT_FALSE(file_exists(pwn));
}

TEST(GetProcMem, ResidentPages) {
  EXPECT_GT(get_proc_mem(getpid()), 0);
  pid_t child = fork();
  if (child == 0) _exit(0);
  waitpid(child, nullptr, 0);
  EXPECT_EQ(get_proc_mem(child), 0);
}

TEST(SystemUnblocked, ExitStatusesSeenFromTheParent) {
  SyslogCapture cap;
  char sh[] = "/bin/sh", c[] = "-c";
  auto run = [&](const char *cmd, char *const *envp) {
    char *argv[] = {sh, c, const_cast<char *>(cmd), nullptr};
    return system_unblocked(argv, envp);
  };
  char *no_env[] = {nullptr};
  EXPECT_EQ(run("exit 0", no_env), 0);
  EXPECT_EQ(run("exit 3", no_env), -1);
  EXPECT_TRUE(cap.contains(kErr, "system_unblocked: WEXITSTATUS(status) = 3\n")) << cap.dump();
  EXPECT_EQ(run("kill -9 $$", no_env), -1);
  EXPECT_TRUE(cap.contains(kErr, "system_unblocked: WIFEXITED(status) = faied\n")) << cap.dump();

  // Exactly the given environment, and every signal unblocked.
  char var[] = "PL_X=hello";
  char *env[] = {var, nullptr};
  EXPECT_EQ(run("test \"$PL_X\" = hello && test -z \"$HOME\"", env), 0);
  BlockedSignal blocked(SIGUSR2);
  EXPECT_EQ(run(kMaskIsEmpty, no_env), 0);
}

TEST(SystemUnblocked, FailedExecEndsTheChildOnly) {
  SyslogCapture cap;
  const pid_t me = getpid();
  char prog[] = "/nonexistent/program", arg[] = "arg1";
  char *argv[] = {prog, arg, nullptr};
  char *env[] = {nullptr};
  int r = system_unblocked(argv, env);
  if (getpid() != me) _exit(99);  // the child came back: the test below fails
  EXPECT_EQ(r, -1);
  EXPECT_TRUE(cap.contains(kErr, "system_unblocked: WEXITSTATUS(status) = 127\n")) << cap.dump();
  EXPECT_FALSE(cap.contains_substr("execve failed"));  // written in the child
  char *empty[] = {nullptr};
  EXPECT_EQ(system_unblocked(empty, env), -1);
  EXPECT_EQ(system_unblocked(nullptr, env), -1);
}

TEST(UnmaskSignals, ClearsTheThreadMask) {
  BlockedSignal blocked(SIGUSR1);
  EXPECT_EQ(unmask_signals(), 0);
  sigset_t now;
  pthread_sigmask(SIG_BLOCK, nullptr, &now);
  EXPECT_FALSE(sigismember(&now, SIGUSR1));
}

TEST(Flock, ContentionBetweenTwoProcesses) {
  TempDir dir;
  const std::string path = dir.file("lock");
  write_file(path, "");
  int fd = util_flock(path.c_str());
  ASSERT_GE(fd, 0);

  pid_t probe = fork();
  if (probe == 0) {
    int other = open(path.c_str(), O_RDWR);
    _exit(flock(other, LOCK_EX | LOCK_NB) == 0 ? 0 : 1);
  }
  int st = 0;
  waitpid(probe, &st, 0);
  EXPECT_EQ(WEXITSTATUS(st), 1) << "the lock is not held";

  pid_t waiter = fork();
  if (waiter == 0) {
    int other = util_flock(path.c_str());
    _exit(other >= 0 && util_funlock(path.c_str(), other) == 0 ? 0 : 1);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(waitpid(waiter, &st, WNOHANG), 0) << "util_flock did not wait";
  EXPECT_EQ(util_funlock(path.c_str(), fd), 0);
  ASSERT_EQ(waitpid(waiter, &st, 0), waiter);
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
}

TEST(Flock, FailuresAndMessages) {
  SyslogCapture cap;
  TempDir dir;
  EXPECT_EQ(util_flock(dir.file("missing").c_str()), -1);
  EXPECT_TRUE(cap.lines().empty()) << cap.dump();

  const std::string path = dir.file("lock");
  write_file(path, "");
  int fd = util_flock(path.c_str());
  ASSERT_GE(fd, 0);
  close(fd);
  EXPECT_EQ(util_funlock(path.c_str(), fd), -1);
  const std::string tail = " (" + std::to_string(fd) + "), Bad file descriptor";
  EXPECT_TRUE(cap.contains(kErr, "util_funlock failed (flock): filename: " + path + tail));
  EXPECT_TRUE(cap.contains(kErr, "util_funlock failed (close): filename: " + path + tail))
      << cap.dump();
}

TEST(ServiceControl, RunsTheServiceCommand) {
  FakeCommands fake({"service"});
  const char *words[] = {"start", "stop", "status", "restart", "reload", "condrestart"};
  for (int i = 0; i < 6; ++i) EXPECT_STREQ(serviceCommand_str[i], words[i]);

  EXPECT_EQ(SV_service_control("sshd", 3), 0);
  fake.set_status("service", 2);
  EXPECT_EQ(SV_service_control("ntpd", 0), -512);
  EXPECT_THAT(fake.calls("service"),
              testing::ElementsAre("[sshd] [restart] ", "[ntpd] [start] "));
}

TEST(ServiceControl, GuardsAndNamesThatCouldRunOtherScripts) {
  FakeCommands fake({"service"});
  TempDir dir;
  const std::string pwn = dir.file("pwned");
  EXPECT_EQ(SV_service_control(nullptr, 0), -1);
  EXPECT_EQ(SV_service_control("sshd", 6), -1);
  EXPECT_EQ(SV_service_control("sshd", -1), -1);
  // Traversal to any script, options of "service", hidden or parent entries,
  // shell syntax, controls: refused with a log line, nothing runs.
  SyslogCapture cap;
  for (const std::string &name : std::vector<std::string>{
           "../../tmp/x/evil", "/etc/init.d/sshd", "a/b", "--status-all", "-h", ".hidden", "..", "",
        "a b;touch '" + pwn + "' `touch " + pwn + "` $(touch " + pwn + ")", "ssh\nd", "ss\x1bhd"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(SV_service_control(name.c_str(), 1), -1);
  }
  EXPECT_TRUE(fake.calls("service").empty());
  EXPECT_FALSE(file_exists(pwn));
  EXPECT_TRUE(cap.contains(LOG_USER | LOG_ERR, "SV_service_control: refused service name \"../../tmp/x/evil\""))
      << cap.dump();
  EXPECT_TRUE(cap.contains(LOG_USER | LOG_ERR, "SV_service_control: refused service name \"ss?hd\""));

  EXPECT_EQ(SV_service_control("getty@tty1.service", 1), 0);
  EXPECT_EQ(SV_service_control("a_b+c-1", 1), 0);
  EXPECT_THAT(fake.calls("service"),
              testing::ElementsAre("[getty@tty1.service] [stop] ", "[a_b+c-1] [stop] "));
}

}  // namespace
