// The JSON API and the page's files: routing, the checks every request
// passes (session, CSRF token, origin) and one handler per call. The calls
// are listed in README.md.
#pragma once

#include <string>

#include "http.hpp"
#include "static_files.hpp"
#include "web_sessions.hpp"

namespace mgtweb {

class Api {
 public:
  Api(Sessions &sessions, const StaticFiles &files, std::string security_log)
      : sessions_(sessions), files_(files), security_log_(std::move(security_log)) {}

  Response handle(const Request &req);

 private:
  Response login(const Request &req);
  Response logout(const Request &req, const std::shared_ptr<WebSession> &s);
  Response session_info(const WebSession &s);
  Response tree(const Request &req, const WebSession &s);
  Response params(const Request &req, const WebSession &s);
  Response get_param(const Request &req, const WebSession &s);
  Response set_param(const Request &req, const WebSession &s);
  Response commands(const WebSession &s);
  Response run(const Request &req, WebSession &s);
  Response events(WebSession &s);
  Response answer(const Request &req, WebSession &s);
  Response xml(WebSession &s);
  Response log(const WebSession &s);

  Sessions &sessions_;
  const StaticFiles &files_;
  std::string security_log_;
};

// The daemon's administrators: only they read the security log.
inline constexpr int kAdminLevel = 3;

}  // namespace mgtweb
