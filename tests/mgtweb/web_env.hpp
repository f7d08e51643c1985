// What the mgtweb tests and the benchmark share: a live mgtd, the PAM world,
// mgtweb servers on free loopback ports, and logged-in API sessions.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "http_client.hpp"
#include "support/harness.hpp"
#include "support/mgtd_process.hpp"

namespace webtest {

struct WebServer : testsupport::Server {
  WebServer(const std::vector<std::string> &args, const testsupport::Env &env, const std::string &dir);
  int port() const { return ready() ? std::stoi(url().substr(url().rfind(':') + 1)) : -1; }
  std::string url() const;  // scheme://127.0.0.1:port/
};

// Daemon, PAM world and one mgtweb (with extra options) in a fresh directory.
class World {
 public:
  explicit World(std::vector<std::string> extra = {});
  std::string missing() const;  // a reason to skip, or ""
  std::unique_ptr<WebServer> start_web(std::vector<std::string> extra) const;
  bool restart_daemon();  // stops mgtd and starts it again on the same socket
  const std::string &dir() const { return tmp_.path(); }
  testsupport::MgtdProcess &daemon() { return *daemon_; }
  WebServer &web() { return *web_; }

 private:
  testsupport::TempDir tmp_;
  std::unique_ptr<testsupport::MgtdProcess> daemon_;
  testsupport::Env pam_;
  std::unique_ptr<WebServer> web_;
};

// A logged-in browser as the API sees it: cookie and CSRF token.
struct ApiUser {
  std::unique_ptr<HttpClient> http;
  std::string cookie, csrf;
  int login_status = 0;
  ApiUser(int port, const std::string &user, const std::string &password);
  // With the session's cookie; state-changing requests carry JSON and, unless
  // with_csrf is false, the token.
  Reply call(const std::string &method, const std::string &path, const std::string &body = "", bool with_csrf = true);
};

}  // namespace webtest
