// What the mgtweb tests and the benchmark share: a live mgtd, a pam_wrapper
// world with the model's users, mgtweb as a child process, and logged-in
// API sessions.
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "http_client.hpp"
#include "support/harness.hpp"
#include "support/mgtd_process.hpp"

namespace webtest {

// pam_wrapper service "pam_lib_mgtd" (pam_matrix) with admin, operator and
// monitor, whose passwords are their names; monitor's level comes from its
// group through nss_wrapper. Empty env() when pam_wrapper is missing.
class PamWorld {
 public:
  explicit PamWorld(const std::string &dir);
  const std::map<std::string, std::string> &env() const { return env_; }
  bool available() const { return !env_.empty(); }

 private:
  std::map<std::string, std::string> env_;
};

// mgtweb serving on a free loopback port until destroyed.
class WebServer {
 public:
  WebServer(const std::string &dir, const std::vector<std::string> &args,
            const std::map<std::string, std::string> &env);
  ~WebServer();
  WebServer(const WebServer &) = delete;
  WebServer &operator=(const WebServer &) = delete;
  bool ready() const { return port_ > 0; }
  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  std::string url() const { return url_; }
  const std::string &output() const { return output_; }

 private:
  pid_t pid_ = -1;
  int port_ = -1;
  std::string url_, output_;
};

// Daemon, PAM world and one mgtweb in a fresh temporary directory.
class World {
 public:
  // extra: further mgtweb options; env: further environment for it.
  explicit World(std::vector<std::string> extra = {}, std::map<std::string, std::string> env = {});
  // A reason to skip, or "" when everything is there.
  std::string missing() const;
  std::unique_ptr<WebServer> start_web(std::vector<std::string> extra,
                                       std::map<std::string, std::string> env = {}) const;
  const std::string &dir() const { return tmp_.path(); }
  testsupport::MgtdProcess &daemon() { return *daemon_; }
  // Stops mgtd and starts it again on the same socket.
  bool restart_daemon();
  WebServer &web() { return *web_; }

 private:
  testsupport::TempDir tmp_;
  std::unique_ptr<testsupport::MgtdProcess> daemon_;
  PamWorld pam_;
  std::unique_ptr<WebServer> web_;
};

// A logged-in browser as the API sees it: cookie and CSRF token.
struct ApiUser {
  std::unique_ptr<HttpClient> http;
  std::string cookie, csrf;
  int login_status = 0;

  ApiUser(int port, const std::string &user, const std::string &password);
  // A request with the session's cookie; state-changing ones also carry the
  // CSRF token unless with_csrf is false.
  Reply call(const std::string &method, const std::string &path, const std::string &body = "",
             bool with_csrf = true);
};

std::string mgtweb_path();

}  // namespace webtest
