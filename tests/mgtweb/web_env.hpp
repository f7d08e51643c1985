// For the mgtweb tests and benchmark: an HTTP/1.1 client (one keep-alive connection, bodies by length),
// mgtd, the PAM world, mgtweb on a free loopback port, and logged-in API sessions.
#pragma once

#include <map>
#include <memory>

#include "support/harness.hpp"
#include "support/mgtd_process.hpp"

namespace webtest {

struct Reply {
  int status = 0;                              // 0: no answer
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
  std::string header(const std::string &name) const { return headers.count(name) ? headers.at(name) : ""; }
};

struct HttpClient {
  explicit HttpClient(int port) : port_(port) {}
  ~HttpClient() { close_connection(); }
  Reply request(const std::string &method, const std::string &path, const std::string &body = "",
                const std::string &extra = "");
  void close_connection();
  bool fill(std::size_t n);  // reads until buf_ holds n bytes
  int port_, fd_ = -1;
  std::string buf_;
};

struct WebServer : testsupport::Server {
  using Server::Server;
  std::string url() const;  // scheme://127.0.0.1:port/
  int port() const { return ready() ? std::stoi(url().substr(url().rfind(':') + 1)) : -1; }
};

// mgtd, the PAM world and mgtweb (with extra options) in a fresh directory.
struct World {
  explicit World(std::vector<std::string> extra = {});
  std::string missing() const;  // a reason to skip, or ""
  std::unique_ptr<WebServer> start_web(std::vector<std::string> extra, testsupport::Env env = {}) const;
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
