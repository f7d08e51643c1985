#include "support/mgtd_process.hpp"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace testsupport {

std::string example_model() {
  const char *src = std::getenv("PAM_LIB_SOURCE_DIR");
  return std::string(src ? src : ".") + "/tools/mgtd/example.model";
}

MgtdProcess::MgtdProcess(const std::string &bin, const std::string &dir,
                         std::vector<std::string> extra)
    : socket_(dir + "/mgtd.sock"), log_(dir + "/security.log") {
  std::vector<std::string> args = {bin,     "--model",        example_model(), "--socket",
                                   socket_, "--security-log", log_,            "--foreground"};
  args.insert(args.end(), extra.begin(), extra.end());
  int out[2];
  if (pipe(out) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    std::vector<char *> av;
    for (auto &a : args) av.push_back(a.data());
    av.push_back(nullptr);
    execv(av[0], av.data());
    _exit(127);
  }
  close(out[1]);
  if (pid_ < 0) {
    close(out[0]);
    return;
  }
  FILE *f = fdopen(out[0], "r");
  char line[256];
  while (f && fgets(line, sizeof line, f)) {
    output_ += line;
    std::sscanf(line, "mgtd: listening on tcp:%d", &tcp_port_);
    if (std::string(line) == "mgtd: ready\n") {
      ready_ = true;
      break;
    }
  }
  if (f) fclose(f);
}

MgtdProcess::~MgtdProcess() { stop(); }

int MgtdProcess::stop() {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  int status = 0;
  for (int i = 0; i < 500; ++i) {
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return status;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, &status, 0);
  pid_ = -1;
  return status;
}

std::string sanitizer_runtime() {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    auto pos = line.find('/');
    if (pos == std::string::npos) continue;
    std::string path = line.substr(pos);
    auto base = std::filesystem::path(path).filename().string();
    if (base.rfind("libasan.so", 0) == 0 || base.rfind("libtsan.so", 0) == 0) return path;
  }
  return "";
}

}  // namespace testsupport
