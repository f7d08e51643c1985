// What the mgtweb tests and the benchmark share: a live mgtd, the PAM world,
// mgtweb servers on free loopback ports, and logged-in API sessions.
#pragma once

#include <memory>

#include "http_client.hpp"
#include "support/harness.hpp"
#include "support/mgtd_process.hpp"

namespace webtest {

struct WebServer : testsupport::Server {
  using Server::Server;
  std::string url() const;  // scheme://127.0.0.1:port/
  int port() const { return ready() ? std::stoi(url().substr(url().rfind(':') + 1)) : -1; }
};

// mgtd, the PAM world and mgtweb (with extra options) in a fresh directory.
struct World {
  explicit World(std::vector<std::string> extra = {});
  std::string missing() const;  // a reason to skip, or ""
  std::unique_ptr<WebServer> start_web(std::vector<std::string> extra) const;
  const std::string &dir() const { return tmp.path(); }
  testsupport::MgtdProcess &daemon() { return *mgtd; }
  WebServer &web() { return *server; }
  testsupport::TempDir tmp;
  std::unique_ptr<testsupport::MgtdProcess> mgtd;
  testsupport::Env pam;
  std::unique_ptr<WebServer> server;
};

// A logged-in browser as the API sees it: cookie and CSRF token.
struct ApiUser {
  std::unique_ptr<HttpClient> http;
  std::string cookie, csrf;
  int login_status = 0;
  ApiUser(int port, const std::string &user, const std::string &password);
  // With the cookie; a state-changing request sends JSON and the token (unless with_csrf is false).
  Reply call(const std::string &method, const std::string &path, const std::string &body = "", bool with_csrf = true);
};

}  // namespace webtest
