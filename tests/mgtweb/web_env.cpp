#include "web_env.hpp"

#include <nlohmann/json.hpp>

namespace webtest {

std::string WebServer::url() const {
  auto at = output().find("://127.0.0.1:"), from = output().rfind(' ', at) + 1;
  return at == std::string::npos ? "" : output().substr(from, output().find('/', at + 3) + 1 - from);
}

World::World(std::vector<std::string> extra)
    : mgtd(std::make_unique<testsupport::MgtdProcess>(MGTD_PATH, dir())), pam(testsupport::pam_world(dir())) {
  if (missing().empty()) server = start_web(std::move(extra));
}

std::string World::missing() const {
  return pam.empty() ? testsupport::kNoPamWorld : mgtd->ready() ? "" : "mgtd did not start";
}

std::unique_ptr<WebServer> World::start_web(std::vector<std::string> extra, testsupport::Env env) const {
  extra.insert(extra.begin(), {MGTWEB_PATH, "--listen", "127.0.0.1:0", "--socket", mgtd->socket(), "--security-log",
                               mgtd->security_log()});
  for (const auto &[k, v] : pam) env[k] = k == "LD_PRELOAD" && env.count(k) ? v + ":" + env[k] : v;  // pam_wrapper first
  return std::make_unique<WebServer>(extra, "mgtweb: ready", env, dir());
}

ApiUser::ApiUser(int port, const std::string &user, const std::string &password)
    : http(std::make_unique<HttpClient>(port)) {
  Reply r = http->request("POST", "/api/login", nlohmann::json{{"user", user}, {"password", password}}.dump(),
                          "Content-Type: application/json\r\n");
  if ((login_status = r.status) != 200) return;
  cookie = r.header("set-cookie").substr(0, r.header("set-cookie").find(';'));
  csrf = nlohmann::json::parse(r.body).value("csrf", "");
}

Reply ApiUser::call(const std::string &method, const std::string &path, const std::string &body, bool with_csrf) {
  std::string extra = "Cookie: " + cookie + "\r\n";
  if (method != "GET") extra += "Content-Type: application/json\r\n" + (with_csrf ? "X-CSRF-Token: " + csrf + "\r\n" : "");
  return http->request(method, path, body, extra);
}

}  // namespace webtest
