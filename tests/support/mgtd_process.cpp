#include "support/mgtd_process.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <utility>

#ifdef PAM_LIB_MULTIARCH  // (the daemon's benchmark builds this file without it)
#include "support/pam_wrapper_paths.hpp"
#endif

namespace testsupport {
namespace {

[[noreturn]] void exec_with(std::vector<std::string> argv, const Env &env) {
  for (const auto &[k, v] : env) {
    const char *old = k == "LD_PRELOAD" ? std::getenv("LD_PRELOAD") : nullptr;
    setenv(k.c_str(), (old && *old && v.find(old) == std::string::npos ? v + " " + old : v).c_str(), 1);
  }
  std::vector<char *> av;
  for (auto &a : argv) av.push_back(a.data());
  av.push_back(nullptr);
  execvp(av[0], av.data());
  _exit(127);
}

// The wait status, or -1 after SIGKILL when pid outlives the limit.
int wait_until(pid_t pid, std::chrono::milliseconds limit) {
  auto until = std::chrono::steady_clock::now() + limit;
  int status = 0;
  for (; waitpid(pid, &status, WNOHANG) == 0; std::this_thread::sleep_for(std::chrono::milliseconds(5)))
    if (std::chrono::steady_clock::now() > until) return kill(pid, SIGKILL), waitpid(pid, &status, 0), -1;
  return status;
}

std::string slurp(const std::string &path) {
  std::ostringstream s;
  return s << std::ifstream(path).rdbuf(), s.str();
}

}  // namespace

std::string example_model() {
  const char *src = std::getenv("PAM_LIB_SOURCE_DIR");
  return std::string(src ? src : ".") + "/tools/mgtd/example.model";
}

Server::Server(std::vector<std::string> argv, const std::string &ready_line, const Env &env, const std::string &dir) {
  int out[2];
  if (pipe(out) != 0) return;
  if ((pid_ = fork()) == 0) {
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    if (chdir(dir.c_str()) != 0) _exit(126);
    exec_with(std::move(argv), env);
  }
  close(out[1]);
  FILE *f = pid_ > 0 ? fdopen(out[0], "r") : nullptr;
  char line[256];
  while (f && !ready_ && fgets(line, sizeof line, f)) ready_ = (output_ += line, line == ready_line + "\n");
  f ? fclose(f) : close(out[0]);
}

int Server::stop() {
  pid_t pid = std::exchange(pid_, -1);
  return pid > 0 ? (kill(pid, SIGTERM), wait_until(pid, std::chrono::seconds(5))) : -1;
}

MgtdProcess::MgtdProcess(const std::string &bin, const std::string &dir, std::vector<std::string> extra)
    : Server([&] {
        extra.insert(extra.begin(), {bin, "--model", example_model(), "--socket", dir + "/mgtd.sock",
                                     "--security-log", dir + "/security.log", "--foreground"});
        return extra;
      }(), "mgtd: ready"),
      dir_(dir) {}

namespace {
// A stream socket at a local path: connected to it, or (bind) bound there.
int unix_socket(const std::string &path, bool bind_it) {
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
  const auto *sa = reinterpret_cast<sockaddr *>(&a);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && (bind_it ? bind(fd, sa, sizeof a) : connect(fd, sa, sizeof a)) == 0) return fd;
  if (fd >= 0) close(fd);
  return -1;
}
}  // namespace

int connect_unix(const std::string &path) { return unix_socket(path, false); }
int bind_unix(const std::string &path) { return unix_socket(path, true); }

int MgtdProcess::tcp_port() const {
  auto at = output().find("mgtd: listening on tcp:");
  return at == std::string::npos ? -1 : std::atoi(output().c_str() + at + 23);
}

std::string sanitizer_runtime() {
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);) {
    auto base = std::filesystem::path(line.substr(std::min(line.find('/'), line.size()))).filename().string();
    if (base.starts_with("libasan.so") || base.starts_with("libtsan.so")) return line.substr(line.find('/'));
  }
  return "";
}

Env pam_world(const std::string &dir) {
#ifdef PAM_LIB_MULTIARCH
  const std::string matrix = std::string(kPamWrapperModuleDir) + "/pam_matrix.so", d = dir + "/pam";
  const std::string m = matrix + " passdb=" + d + "/passdb\n";
  if (access(kPamWrapperLib, R_OK) || access(kNssWrapperLib, R_OK) || access(matrix.c_str(), R_OK) ||
      sanitizer_runtime().find("libtsan") != std::string::npos)
    return {};
  std::filesystem::create_directories(d + "/services");
  std::ofstream(d + "/services/pam_lib_mgtd") << "auth required " + m + "account required " + m + "session required " + m;
  std::ofstream(d + "/services/other") << "auth required " + m;
  std::ofstream(d + "/passdb") << "admin:admin:pam_lib_mgtd\noperator:operator:pam_lib_mgtd\nmonitor:monitor:pam_lib_mgtd\n";
  std::ofstream(d + "/passwd") << "admin:x:1000:300:A:/:/bin/sh\noperator:x:1001:200:O:/:/bin/sh\nmonitor:x:1002:100:M:/:/bin/sh\n";
  std::ofstream(d + "/group") << "admins:x:300:\noperators:x:200:\nusers:x:100:\n";
  return pam_wrapper_env(d);
#else
  return (void)dir, Env{};
#endif
}

#ifdef PAM_LIB_MULTIARCH
Env pam_wrapper_env(const std::string &dir) {
  std::string preload = sanitizer_runtime();
  for (const char *lib : {kPamWrapperLib, kNssWrapperLib}) preload += (preload.empty() ? "" : " ") + std::string(lib);
  // Deep binding does not mix with the sanitizers' interceptors.
  return {{"LD_PRELOAD", preload}, {"PAM_WRAPPER", "1"}, {"PAM_WRAPPER_SERVICE_DIR", dir + "/services"},
          {"PAM_WRAPPER_DISABLE_DEEPBIND", "1"}, {"NSS_WRAPPER_DISABLE_DEEPBIND", "1"},
          {"NSS_WRAPPER_PASSWD", dir + "/passwd"}, {"NSS_WRAPPER_GROUP", dir + "/group"}};
}
#endif

Run run_program(const std::string &dir, const std::vector<std::string> &argv, const std::string &input,
                const Env &env, const std::string &fd3) {
  static int counter = 0;
  const std::string base = dir + "/run" + std::to_string(++counter);
  std::ofstream(base + ".in") << input;
  int pw[2] = {-1, -1};
  if (!fd3.empty() && pipe(pw) == 0) (void)!write(pw[1], fd3.data(), fd3.size()), close(pw[1]);
  if (pid_t pid = fork(); pid == 0) {
    dup2(open((base + ".in").c_str(), O_RDONLY), 0);
    dup2(open((base + ".out").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600), 1);
    dup2(open((base + ".err").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600), 2);
    if (pw[0] >= 0) dup2(pw[0], 3);
    exec_with(argv, env);
  } else {
    if (pw[0] >= 0) close(pw[0]);
    int status = wait_until(pid, std::chrono::seconds(60));
    return {status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(base + ".out"), slurp(base + ".err")};
  }
}

}  // namespace testsupport
