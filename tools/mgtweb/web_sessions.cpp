#include "web_sessions.hpp"

#include <sys/random.h>

#include <pam_lib.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "jobs.hpp"

namespace mgtweb {

namespace {

// Room for the daemon's credential record: level and uid (4 bytes each),
// then the user's full name.
constexpr int kCredSize = 64;

long long now_s() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

std::string random_token() {
  unsigned char bytes[16];
  std::size_t got = 0;
  while (got < sizeof bytes) {
    ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("getrandom failed");
    }
    got += static_cast<std::size_t>(n);
  }
  static const char hex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) {
    out += hex[b >> 4];
    out += hex[b & 15];
  }
  return out;
}

bool same_secret(const std::string &a, const std::string &b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

std::shared_ptr<WebSession> Sessions::login(const std::string &user, const std::string &password,
                                            const std::string &rhost) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    sweep_locked();
    if (by_token_.size() >= kMaxSessions) {
      std::fprintf(stderr, "mgtweb: login of %s refused: %zu sessions open\n", user.c_str(), by_token_.size());
      return nullptr;
    }
  }
  auto s = std::make_shared<WebSession>();
  unsigned char cred[kCredSize] = {};
  // Without a credential record only the level arrives (first 4 bytes):
  // the uid then stays unknown rather than reading as root.
  const int32_t unknown_uid = -1;
  std::memcpy(cred + 4, &unknown_uid, 4);
  int id = -1;
  {
    DaemonLock lock(nullptr);
    int r = PAM_AuthUser(user.c_str(), password.c_str(), rhost.c_str(), "mgtweb", 1, kCredSize, cred, &id);
    if (r != 0) {
      std::fprintf(stderr, "mgtweb: login failed for a user from %s (result %d)\n", rhost.c_str(), r);
      return nullptr;
    }
    std::memcpy(&s->who.level, cred, 4);
    std::memcpy(&s->who.uid, cred + 4, 4);
    cred[kCredSize - 1] = 0;
    s->full_name = reinterpret_cast<const char *>(cred + 8);
    set_privelege(s->who.level);
    set_uid(s->who.uid);
    char host[64] = {};
    if (DM_GetHostName(host, static_cast<int>(sizeof host)) != -1) s->host = host;
    DM_SecurityLogEntry(user.c_str(), ("web login from " + rhost).c_str());
  }
  s->session_id = id;
  s->user = user;
  s->token = random_token();
  s->csrf = random_token();
  s->last_seen = now_s();
  if (PAM_session_add(id, idle_minutes_) != 0) {
    std::fprintf(stderr, "mgtweb: cannot set the idle time-out of a session\n");
    PAM_session_delete(id);
    return nullptr;
  }
  std::lock_guard<std::mutex> hold(mutex_);
  by_token_[s->token] = s;
  return s;
}

std::shared_ptr<WebSession> Sessions::find(const Request &req) {
  std::string token = req.cookie(kCookie);
  if (token.size() != 32) return nullptr;
  std::shared_ptr<WebSession> s;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    auto it = by_token_.find(token);
    if (it == by_token_.end()) return nullptr;
    s = it->second;
  }
  if (PAM_session_check_and_refresh(s->session_id) != 0) {
    // The monitor closed it: the token dies with it.
    std::lock_guard<std::mutex> hold(mutex_);
    by_token_.erase(token);
    return nullptr;
  }
  s->last_seen = now_s();
  return s;
}

void Sessions::sweep_locked() {
  // The monitor closes a session idle for at most idle_minutes_ minutes;
  // a minute more covers a pass that is running late.
  long long limit = now_s() - (static_cast<long long>(idle_minutes_) + 1) * 60;
  for (auto it = by_token_.begin(); it != by_token_.end();)
    it = it->second->last_seen < limit ? by_token_.erase(it) : std::next(it);
}

void Sessions::logout(const std::shared_ptr<WebSession> &s) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (!by_token_.erase(s->token)) return;
  }
  {
    DaemonLock lock(&s->who);
    DM_SecurityLogEntry(s->user.c_str(), "web logout");
  }
  PAM_session_delete(s->session_id);
}

void Sessions::end_all() {
  std::map<std::string, std::shared_ptr<WebSession>> all;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    all.swap(by_token_);
  }
  for (auto &[token, s] : all) {
    {
      std::lock_guard<std::mutex> hold(s->job_mutex);
      if (s->job) s->job->cancel();
    }
    PAM_session_delete(s->session_id);
  }
}

std::string Sessions::set_cookie(const WebSession &s) const {
  return std::string(kCookie) + "=" + s.token + "; Path=/; HttpOnly; SameSite=Strict" + (secure_ ? "; Secure" : "");
}

std::string Sessions::clear_cookie() const {
  return std::string(kCookie) + "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0" + (secure_ ? "; Secure" : "");
}

}  // namespace mgtweb
