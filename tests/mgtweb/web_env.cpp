#include "web_env.hpp"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>

#include <gtest/gtest.h>

#include "support/pam_wrapper_paths.hpp"

#ifndef MGTWEB_PATH
#error "MGTWEB_PATH must name the mgtweb program"
#endif
#ifndef MGTD_PATH
#error "MGTD_PATH must name the mgtd program"
#endif

namespace webtest {

std::string mgtweb_path() { return MGTWEB_PATH; }

PamWorld::PamWorld(const std::string &dir) {
  using namespace testsupport;
  const std::string matrix_so = std::string(kPamWrapperModuleDir) + "/pam_matrix.so";
  if (access(kPamWrapperLib, R_OK) != 0 || access(kNssWrapperLib, R_OK) != 0 || access(matrix_so.c_str(), R_OK) != 0)
    return;
  std::string d = dir + "/pam";
  std::filesystem::create_directories(d + "/services");
  std::string m = matrix_so + " passdb=" + d + "/passdb";
  write_file(d + "/services/pam_lib_mgtd", "# mgtweb tests\nauth required " + m + "\naccount required " + m +
                                               "\nsession required " + m + "\n");
  write_file(d + "/services/other", "auth required " + m + "\n");
  write_file(d + "/passdb", "admin:admin:pam_lib_mgtd\noperator:operator:pam_lib_mgtd\nmonitor:monitor:pam_lib_mgtd\n");
  write_file(d + "/passwd", "admin:x:1000:300:Admin:/:/bin/sh\noperator:x:1001:200:Operator:/:/bin/sh\n"
                            "monitor:x:1002:100:Monitor:/:/bin/sh\n");
  write_file(d + "/group", "admins:x:300:\noperators:x:200:\nusers:x:100:\n");
  std::string preload = sanitizer_runtime();
  for (const char *lib : {kPamWrapperLib, kNssWrapperLib}) preload += (preload.empty() ? "" : " ") + std::string(lib);
  env_ = {{"LD_PRELOAD", preload},
          {"PAM_WRAPPER", "1"},
          {"PAM_WRAPPER_SERVICE_DIR", d + "/services"},
          {"PAM_WRAPPER_DISABLE_DEEPBIND", "1"},
          {"NSS_WRAPPER_DISABLE_DEEPBIND", "1"},
          {"NSS_WRAPPER_PASSWD", d + "/passwd"},
          {"NSS_WRAPPER_GROUP", d + "/group"}};
}

WebServer::WebServer(const std::string &dir, const std::vector<std::string> &args,
                     const std::map<std::string, std::string> &env) {
  int out[2];
  if (pipe(out) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    for (const auto &[k, v] : env) {
      // A preload list is joined, not replaced.
      const char *old = k == "LD_PRELOAD" ? std::getenv("LD_PRELOAD") : nullptr;
      setenv(k.c_str(), (old && *old && v.find(old) == std::string::npos ? v + " " + old : v).c_str(), 1);
    }
    std::vector<std::string> all = {MGTWEB_PATH, "--listen", "127.0.0.1:0"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> av;
    for (auto &a : all) av.push_back(a.data());
    av.push_back(nullptr);
    if (chdir(dir.c_str()) != 0) _exit(126);
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
  int port = -1;
  while (f && fgets(line, sizeof line, f)) {
    output_ += line;
    char scheme[8] = {};
    if (std::sscanf(line, "mgtweb: listening on %5[a-z]://127.0.0.1:%d/", scheme, &port) == 2)
      url_ = std::string(scheme) + "://127.0.0.1:" + std::to_string(port) + "/";
    if (std::string(line) == "mgtweb: ready\n") {
      port_ = port;
      break;
    }
  }
  if (f) fclose(f);
}

WebServer::~WebServer() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  int status = 0;
  for (int i = 0; i < 500; ++i) {
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ADD_FAILURE() << "mgtweb ended with wait status " << status;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ADD_FAILURE() << "mgtweb did not stop within 5 s of SIGTERM";
  kill(pid_, SIGKILL);
  waitpid(pid_, &status, 0);
}

World::World(std::vector<std::string> extra, std::map<std::string, std::string> env)
    : daemon_(std::make_unique<testsupport::MgtdProcess>(MGTD_PATH, tmp_.path())), pam_(tmp_.path()) {
  if (daemon_->ready() && pam_.available()) web_ = start_web(std::move(extra), std::move(env));
}

std::string World::missing() const {
  if (!pam_.available()) return "needs pam_wrapper and nss_wrapper (Debian libpam-wrapper, libnss-wrapper)";
  if (!daemon_->ready()) return "mgtd did not start";
  return "";
}

std::unique_ptr<WebServer> World::start_web(std::vector<std::string> extra,
                                            std::map<std::string, std::string> env) const {
  std::vector<std::string> args = {"--socket", daemon_->socket(), "--security-log", daemon_->security_log()};
  args.insert(args.end(), extra.begin(), extra.end());
  auto all = pam_.env();
  for (auto &[k, v] : env) all[k] = k == "LD_PRELOAD" && all.count(k) ? all[k] + " " + v : v;
  return std::make_unique<WebServer>(tmp_.path(), args, all);
}

bool World::restart_daemon() {
  daemon_.reset();
  daemon_ = std::make_unique<testsupport::MgtdProcess>(MGTD_PATH, tmp_.path());
  return daemon_->ready();
}

ApiUser::ApiUser(int port, const std::string &user, const std::string &password)
    : http(std::make_unique<HttpClient>(port)) {
  nlohmann::json body = {{"user", user}, {"password", password}};
  Reply r = http->request("POST", "/api/login", body.dump(), "Content-Type: application/json\r\n");
  login_status = r.status;
  if (r.status != 200) return;
  std::string set = r.header("set-cookie");
  cookie = set.substr(0, set.find(';'));
  csrf = nlohmann::json::parse(r.body).value("csrf", "");
}

Reply ApiUser::call(const std::string &method, const std::string &path, const std::string &body, bool with_csrf) {
  std::string extra = "Cookie: " + cookie + "\r\n";
  if (method != "GET") {
    extra += "Content-Type: application/json\r\n";
    if (with_csrf) extra += "X-CSRF-Token: " + csrf + "\r\n";
  }
  return http->request(method, path, body, extra);
}

}  // namespace webtest
