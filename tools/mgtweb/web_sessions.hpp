// Browser sessions: a random token in a cookie stands for one library
// session (whose id never leaves the server), its user and level.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "daemon_link.hpp"
#include "http.hpp"

namespace mgtweb {

class Job;

struct WebSession {
  std::string token;  // the cookie's value
  std::string csrf;   // sent back by the page on every state-changing request
  int session_id = -1;
  std::string user, full_name, host;
  Identity who;
  // When a request last used it (steady clock, seconds).
  std::atomic<long long> last_seen{0};
  std::mutex job_mutex;
  std::shared_ptr<Job> job;  // the last command run (guarded by job_mutex)
};

class Sessions {
 public:
  Sessions(int idle_minutes, bool secure_cookie) : idle_minutes_(idle_minutes), secure_(secure_cookie) {}

  // PAM login with a library session. Null on any failure (the reason goes
  // to the server's log only).
  std::shared_ptr<WebSession> login(const std::string &user, const std::string &password,
                                    const std::string &rhost);
  // The request's session, refreshed; null when there is none or the
  // library's monitor has closed it (then forgotten here too).
  std::shared_ptr<WebSession> find(const Request &req);
  void logout(const std::shared_ptr<WebSession> &s);
  // Cancels every running command's prompt and ends every session.
  void end_all();

  std::string set_cookie(const WebSession &s) const;
  std::string clear_cookie() const;

  static constexpr const char *kCookie = "mgtweb";
  static constexpr std::size_t kMaxSessions = 256;

 private:
  // Forgets tokens whose library session the monitor must have closed by
  // now: a browser that went away never comes back to find out.
  void sweep_locked();

  int idle_minutes_;
  bool secure_;
  std::mutex mutex_;
  std::map<std::string, std::shared_ptr<WebSession>> by_token_;
};

// 128 bits from the kernel's random source as 32 hex digits; throws when
// the source fails (never a weak token).
std::string random_token();

// Comparison whose time does not depend on where the texts differ.
bool same_secret(const std::string &a, const std::string &b);

}  // namespace mgtweb
