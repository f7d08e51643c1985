#include "mgtsh_env.hpp"
#include "support/pam_wrapper_paths.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#ifndef MGTSH_PATH
#error "MGTSH_PATH must name the mgtsh program"
#endif
#ifndef MGTD_PATH
#error "MGTD_PATH must name the mgtd program"
#endif

namespace mgtshtest {

namespace {

using testsupport::kNssWrapperLib;
using testsupport::kPamWrapperLib;
const std::string kMatrix = std::string(testsupport::kPamWrapperModuleDir) + "/pam_matrix.so";

// Waits up to `seconds` for the child; kills it when it does not end.
int wait_child(pid_t pid, int seconds) {
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  int status = 0;
  for (;;) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return status;
    if (r < 0) return -1;
    if (std::chrono::steady_clock::now() > until) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace

std::string mgtsh_path() { return MGTSH_PATH; }


Daemon::Daemon(const std::string &dir) : MgtdProcess(MGTD_PATH, dir) {}

PamWorld::PamWorld(const std::string &dir) {
  if (access(kPamWrapperLib, R_OK) != 0 || access(kNssWrapperLib, R_OK) != 0 || access(kMatrix.c_str(), R_OK) != 0)
    return;
  std::string d = dir + "/pam";
  std::filesystem::create_directories(d + "/services");
  std::string matrix = kMatrix + " passdb=" + d + "/passdb";
  testsupport::write_file(d + "/services/pam_lib_mgtd", "auth required " + matrix + "\n" +
                                                            "account required " + matrix + "\n" +
                                                            "session required " + matrix + "\n");
  testsupport::write_file(d + "/services/other", "auth required " + matrix + "\n");
  testsupport::write_file(d + "/passdb", "admin:admin:pam_lib_mgtd\nmonitor:monitor:pam_lib_mgtd\n");
  // monitor has no credential record in the model: its level comes from its
  // primary group (100, level 1).
  testsupport::write_file(d + "/passwd",
                          "admin:x:1000:300:Admin:/:/bin/sh\nmonitor:x:1002:100:Monitor:/:/bin/sh\n");
  testsupport::write_file(d + "/group", "admins:x:300:\nusers:x:100:\n");
  std::string preload = testsupport::sanitizer_runtime();
  for (const char *lib : {kPamWrapperLib, kNssWrapperLib}) preload += (preload.empty() ? "" : " ") + std::string(lib);
  env_ = {{"LD_PRELOAD", preload},
          {"PAM_WRAPPER", "1"},
          {"PAM_WRAPPER_SERVICE_DIR", d + "/services"},
          {"PAM_WRAPPER_DISABLE_DEEPBIND", "1"},
          {"NSS_WRAPPER_DISABLE_DEEPBIND", "1"},
          {"NSS_WRAPPER_PASSWD", d + "/passwd"},
          {"NSS_WRAPPER_GROUP", d + "/group"}};
}

Run run_mgtsh(const std::string &dir, const Spawn &s) {
  static int counter = 0;
  std::string base = dir + "/run" + std::to_string(++counter);
  testsupport::write_file(base + ".in", s.input);
  int pw[2] = {-1, -1};
  if (!s.password.empty()) {
    if (pipe(pw) != 0) return {};
    (void)!write(pw[1], (s.password + "\n").data(), s.password.size() + 1);
    close(pw[1]);
  }
  pid_t pid = fork();
  if (pid == 0) {
    int in = open((base + ".in").c_str(), O_RDONLY);
    int out = open((base + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open((base + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    if (pw[0] >= 0) dup2(pw[0], 3);
    for (const auto &[k, v] : s.env) setenv(k.c_str(), v.c_str(), 1);
    std::vector<char *> argv{const_cast<char *>("mgtsh")};
    for (const auto &a : s.args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(MGTSH_PATH, argv.data());
    _exit(127);
  }
  if (pw[0] >= 0) close(pw[0]);
  int status = wait_child(pid, s.timeout_s);
  Run r;
  r.status = status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = testsupport::read_file(base + ".out");
  r.err = testsupport::read_file(base + ".err");
  return r;
}

}  // namespace mgtshtest
