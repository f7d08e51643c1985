// Shell commands and processes: liveness and pid files, running shell
// commands and programs with every signal unblocked, advisory file locks and
// service control.
#include "util_linux/process.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/alloc.hpp"
#include "common/log.hpp"
#include "common/raii.hpp"
#include "util_linux.h"
#include "util_linux/shell_quote.hpp"

extern char **environ;

namespace {

constexpr std::size_t kOutputCapacity = 8192;

// waitpid with EINTR retried; -1 (and the message) on any other failure.
int wait_child(pid_t pid, const char *failure_fmt) {
  int status = 0;
  for (;;) {
    pid_t r = ::waitpid(pid, &status, 0);
    if (r == pid) return status;
    if (r < 0 && errno == EINTR) continue;
    pl::log_msg(LOG_ERR, failure_fmt, std::strerror(errno));
    return -1;
  }
}

// The wait status of the command as a forked child running system() would
// report it: that child exits with bits 8..15 of system()'s result, so a
// shell ended by a signal counts as 0 and a shell that could not be started
// as 127 (system()'s own report for it).
int shell_result(int status) {
  if (WIFEXITED(status)) return status;
  return 0;
}

// A service name "service" can only take as the name of a service: letters,
// digits and @ . _ + -, not starting with '-' or '.'.
bool valid_service_name(const char *name) {
  if (!*name || *name == '-' || *name == '.') return false;
  for (const char *p = name; *p; ++p) {
    const char c = *p;
    const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!alnum && !std::strchr("@._+-", c)) return false;
  }
  return true;
}

// A refused name for the log: at most 64 bytes, anything but printable ASCII
// as '?', so that it cannot forge or garble log lines.
std::string log_safe(const char *name) {
  std::string out;
  for (const char *p = name; *p && out.size() < 64; ++p)
    out += (*p >= 0x20 && *p < 0x7f) ? *p : '?';
  return out;
}

}  // namespace

namespace pl {

int run_command(const std::string &command) noexcept { return ::system_unmasked(command.c_str()); }

}  // namespace pl

extern "C" {

// Exported through its declaration in util_linux.h.
const char *const serviceCommand_str[6] = {"start",   "stop",   "status",
                                          "restart", "reload", "condrestart"};

PAM_LIB_API int process_status(int32_t pid) noexcept {
  if (pid < 0) return -3;
  if (::kill(pid, 0) == 0) return 0;
  return errno == ESRCH ? -1 : 0;
}

PAM_LIB_API int32_t read_pidfile(const char *path) noexcept {
  if (!path) return -1;
  pl::UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd) return -1;
  char buf[13];
  ssize_t n = ::read(fd.get(), buf, 12);
  if (n <= 0) return -1;
  buf[n] = '\0';
  unsigned long value = 0;
  if (std::sscanf(buf, "%lu", &value) != 1) return -1;
  auto pid = static_cast<int32_t>(static_cast<uint32_t>(value));
  return pid > 0 ? pid : -1;
}

PAM_LIB_API char *run_shell_cmnd(const char *command, int32_t *status, int32_t *size) noexcept {
  if (size) *size = 0;
  if (!command) return nullptr;
  std::FILE *pipe = ::popen(command, "r");
  if (!pipe) {
    pl::log_msg(LOG_ERR, "run_shell_cmnd: popen error: %s", std::strerror(errno));
    return nullptr;
  }
  auto *buf = static_cast<char *>(pl::alloc(kOutputCapacity));
  if (!buf) {
    pl::log_msg(LOG_ERR, "run_shell_cmnd: failed malloc");
    ::pclose(pipe);
    return nullptr;
  }
  if (size) *size += static_cast<int32_t>(kOutputCapacity);
  // One fixed block: output beyond its capacity is left unread.
  std::size_t used = 0;
  while (used < kOutputCapacity - 1) {
    std::size_t n = std::fread(buf + used, 1, kOutputCapacity - 1 - used, pipe);
    if (n == 0) break;
    used += n;
  }
  buf[used] = '\0';
  int st = ::pclose(pipe);
  if (st == -1) pl::log_msg(LOG_ERR, "run_shell_cmnd: pclose error: %s", std::strerror(errno));
  if (status) *status = st;
  return buf;
}

PAM_LIB_API int get_pidof(const char *name, char *buf, int32_t size) noexcept try {
  if (!name || !buf || size < 1) return -1;
  pl::MallocPtr<char> command(pl::dup_string("pidof " + pl::shell_quote(name)));
  if (!command) return -1;
  std::FILE *pipe = ::popen(command.get(), "r");
  if (!pipe) return -1;
  std::memset(buf, 0, static_cast<std::size_t>(size));
  if (!std::fgets(buf, size, pipe)) buf[0] = '\0';
  ::pclose(pipe);
  return 0;
} catch (...) {
  return -1;
}

PAM_LIB_API int32_t get_proc_mem(int32_t pid) noexcept {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/statm", static_cast<int>(pid));
  pl::UniqueFile f(std::fopen(path, "re"));
  if (!f) return 0;
  int total = 0, resident = 0;
  if (std::fscanf(f.get(), "%d %d", &total, &resident) != 2) return 0;
  return resident;
}

PAM_LIB_API int unmask_signals(void) noexcept {
  sigset_t all;
  sigfillset(&all);
  return ::pthread_sigmask(SIG_UNBLOCK, &all, nullptr);
}

// Spawned rather than forked: the host's heap may be large, and posix_spawn
// does not copy its page tables. The result is the wait status a forked
// child running system() would report (see shell_result).
PAM_LIB_API int system_unmasked(const char *command) noexcept {
  if (!command) return -1;
  posix_spawnattr_t attr;
  if (::posix_spawnattr_init(&attr) != 0) {
    pl::log_msg(LOG_ERR, "system_unmasked: fork failed");
    return -1;
  }
  sigset_t none;
  sigemptyset(&none);
  ::posix_spawnattr_setsigmask(&attr, &none);
  ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
  char sh[] = "sh", dash_c[] = "-c";
  char *argv[] = {sh, dash_c, const_cast<char *>(command), nullptr};
  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, "/bin/sh", nullptr, &attr, argv, environ);
  ::posix_spawnattr_destroy(&attr);
  if (rc == EAGAIN || rc == ENOMEM || rc == ENOSYS) {
    pl::log_msg(LOG_ERR, "system_unmasked: fork failed");
    return -1;
  }
  if (rc != 0) return 127 << 8;  // the shell cannot be executed
  int status = wait_child(pid, "system_unmasked: waitpid failed: %s\n");
  return status == -1 ? -1 : shell_result(status);
}

PAM_LIB_API int system_unblocked(char *const argv[], char *const envp[]) noexcept {
  if (!argv || !argv[0]) return -1;
  char *no_env[] = {nullptr};
  char *const *env = envp ? envp : no_env;
  pid_t pid = ::fork();
  if (pid < 0) {
    pl::log_msg(LOG_ERR, "system_unblocked: fork failed");
    return -1;
  }
  if (pid == 0) {
    // The child ends with _exit: the host's atexit handlers and unflushed
    // stdio buffers belong to the parent.
    if (unmask_signals() != 0) pl::log_msg(LOG_ERR, "system_unblocked: unmask_signals failed");
    sched_param param{};
    param.sched_priority = 0;
    if (::sched_setscheduler(0, SCHED_OTHER, &param) != 0) {
      pl::log_msg(LOG_ERR, "system_unblocked: Changing sched. priority failed: %s\n",
                  std::strerror(errno));
      ::_exit(126);
    }
    ::execve(argv[0], argv, env);
    pl::log_msg(LOG_ERR, "system_unblocked: execve failed:%s,%s", argv[0],
                argv[1] ? argv[1] : "(null)");
    ::_exit(127);
  }
  int status = wait_child(pid, "system_unblocked: waitpid failed: %s\n");
  if (status == -1) return -1;
  if (!WIFEXITED(status)) {
    pl::log_msg(LOG_ERR, "system_unblocked: WIFEXITED(status) = faied\n");
    return -1;
  }
  if (WEXITSTATUS(status) != 0) {
    pl::log_msg(LOG_ERR, "system_unblocked: WEXITSTATUS(status) = %d\n", WEXITSTATUS(status));
    return -1;
  }
  return 0;
}

PAM_LIB_API int util_flock(const char *path) noexcept {
  if (!path) return -1;
  int fd = ::open(path, O_RDWR | O_CLOEXEC);
  if (fd < 0) return -1;
  if (::flock(fd, LOCK_EX) != 0) {
    int err = errno;
    ::close(fd);
    pl::log_msg(LOG_ERR, "util_flock failed: filename: %s, %s", path, std::strerror(err));
    return -1;
  }
  return fd;
}

PAM_LIB_API int util_funlock(const char *path, int fd) noexcept {
  const char *name = path ? path : "(null)";
  int result = 0;
  if (::flock(fd, LOCK_UN) != 0) {
    pl::log_msg(LOG_ERR, "util_funlock failed (flock): filename: %s (%d), %s", name, fd,
                std::strerror(errno));
    result = -1;
  }
  if (::close(fd) != 0) {
    pl::log_msg(LOG_ERR, "util_funlock failed (close): filename: %s (%d), %s", name, fd,
                std::strerror(errno));
    result = -1;
  }
  return result;
}

PAM_LIB_API int SV_service_control(const char *service, int32_t op) noexcept try {
  if (!service || op < 0 || op > 5) return -1;
  // "service" runs a script named after the service as root: a name with a
  // '/' would run any script, one with a leading '-' is an option, and a
  // leading '.' names a hidden or parent entry.
  if (!valid_service_name(service)) {
    pl::log_msg(LOG_ERR, "SV_service_control: refused service name \"%s\"",
                log_safe(service).c_str());
    return -1;
  }
  std::string command = "service " + pl::shell_quote(service) + " " + serviceCommand_str[op];
  pl::MallocPtr<char> heap(pl::dup_string(command));
  if (!heap) return -1;
  int r = system_unmasked(heap.get());
  return -r;
} catch (...) {
  return -1;
}

}  // extern "C"
