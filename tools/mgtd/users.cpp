// The login sequence's calls, privileges, the security log, the client's
// address, traps and the daemon's texts.
#include <arpa/inet.h>

#include <chrono>

#include "call.hpp"

namespace mgtd::ops {

// ------------------------------------------------------------------ users --

// Any peer may authenticate: the password is the proof. Success lets this
// connection act at the user's level when that is above the peer's own (a
// TCP peer has no other way up).
void op_auth_user(Call &c) {  // 34: user, password, out level, out uid
  if (c.ss.auth_failures >= kAuthFailuresMax) return (void)c.fail(E_DENIED);
  std::string_view name, pw;
  if (!c.str_at(0, name) || !c.str_at(1, pw)) return;
  User *u = c.st.model().user(name);
  if (!u || u->password.empty() || u->password != pw) {
    ++c.ss.auth_failures;
    c.st.log_security(c.who(), "authentication failed for " + std::string(name));
    return (void)c.fail(u ? E_AUTH : E_NO_USER);
  }
  if (!c.put_int(u->level) || !c.put_int(u->uid)) return;
  // The latest success decides; a user who adds nothing to what the kernel
  // granted (a login front-end checking passwords) leaves no mark.
  bool raises = u->level > c.ss.peer.ceiling;
  c.ss.auth_level = raises ? u->level : -1;
  c.ss.auth_user = raises ? u->name : std::string();
}

void op_login_user(Call &c) {  // 40: user
  if (!c.login_call(kLevelLoginService)) return (void)c.fail(E_DENIED);
  std::string_view name;
  if (!c.str_at(0, name)) return;
  bool known = c.st.model().user(name) != nullptr;
  c.st.log_security(c.who(), "login " + std::string(name) + (known ? "" : " (not in the model)"));
}

void op_privilege_level(Call &c) {  // 27: gid, out level
  if (!c.login_call(kLevelAuthService)) return (void)c.fail(E_DENIED);
  auto &g = c.st.model().groups;
  auto it = g.find(c.int_at(0));
  if (it == g.end()) return (void)c.fail(E_NO_GROUP);
  c.put_int(it->second);
}

void op_set_privilege(Call &c) {  // 49: level
  int32_t l = c.int_at(0);
  if (l < kLevelAnonymous || l > kLevelAdmin) return (void)c.fail(E_RANGE);
  c.ss.ceiling = l;
}

void op_set_user_cred(Call &c) {  // 60: user, len, bytes
  if (c.level() < kLevelAdmin) return (void)c.fail(E_DENIED);
  std::string_view name;
  if (!c.str_at(0, name)) return;
  if (c.int_at(1) != c.item(2).size) return (void)c.fail(E_TYPE);
  Model &m = c.st.model();
  User *u = m.user(name);
  if (!u) {
    m.users.push_back(User{});
    u = &m.users.back();
    u->name = std::string(name);
  }
  u->cred.emplace(c.item(2).data.begin(), c.item(2).data.end());
  c.st.log_security(c.who(), "credential record stored for " + u->name);
}

void op_get_user_cred(Call &c) {  // 61: user, len, out
  if (!c.login_call(kLevelAuthService)) return (void)c.fail(E_DENIED);
  std::string_view name;
  if (!c.str_at(0, name)) return;
  User *u = c.st.model().user(name);
  if (!u) return (void)c.fail(E_NO_USER);
  if (!u->cred) return (void)c.fail(E_NO_CRED);
  c.put_bytes(u->cred->data(), u->cred->size());
}

// ------------------------------------------------ security log, address --

// A client's own log line: it needs the model's log level, or a peer that
// logs users in (it records their logins and logouts whatever their level).
// Each connection has a bucket of lines (kLogBurst, refilled at
// kLogPerSecond).
bool may_log(Call &c) {
  if (c.level() < c.st.model().log_level && !c.ss.peer.login) return c.fail(E_DENIED);
  auto now = std::chrono::steady_clock::now();
  if (c.ss.log_refill != std::chrono::steady_clock::time_point{}) {
    double secs = std::chrono::duration<double>(now - c.ss.log_refill).count();
    c.ss.log_tokens = std::min(kLogBurst, c.ss.log_tokens + secs * kLogPerSecond);
  }
  c.ss.log_refill = now;
  if (c.ss.log_tokens < 1) return c.fail(E_LOG);
  c.ss.log_tokens -= 1;
  return true;
}

void op_log_line(Call &c) {  // 57: line
  std::string_view line;
  if (!c.str_at(0, line) || !may_log(c)) return;
  if (!c.st.log_security(c.who(), line)) c.fail(E_LOG);
}

void op_log_entry(Call &c) {  // 59: user, line
  std::string_view user, line;
  if (!c.str_at(0, user) || !c.str_at(1, line) || !may_log(c)) return;
  if (!c.st.log_security(c.who() + " user=" + std::string(user), line)) c.fail(E_LOG);
}

void op_client_ip(Call &c) {  // 58: addr
  std::string_view a;
  if (!c.str_at(0, a)) return;
  unsigned char buf[16];
  std::string s(a);
  if (inet_pton(AF_INET, s.c_str(), buf) != 1 && inet_pton(AF_INET6, s.c_str(), buf) != 1)
    return (void)c.fail(E_ADDRESS);
  c.ss.client_ip = s;
}

// ------------------------------------------------------------------ traps --

std::string trap_record(const Trap &t) {
  std::string rec(kTrapRecordSize, '\0');
  int32_t words[4] = {t.id, t.severity, t.time, static_cast<int32_t>(t.data.size())};
  std::memcpy(rec.data(), words, sizeof words);
  std::memcpy(rec.data() + kTrapNameOffset, t.name.data(), std::min(t.name.size(), kTrapNameSize - 1));
  std::memcpy(rec.data() + kTrapTextOffset, t.text.data(), std::min(t.text.size(), kTrapTextSize - 1));
  return rec;
}

namespace {

template <bool TwoBlocks>
void get_trap(Call &c) {
  // Check the room first: a trap that cannot be delivered stays queued.
  std::size_t need = c.item(0).size + c.item(1).size + (TwoBlocks ? c.item(3).size : 0);
  if (need > SERVER_BUFFER_SIZE) return (void)c.fail(E_TOO_LONG);
  if (c.item(0).size != kTrapRecordSize) return (void)c.fail(E_TYPE);
  std::size_t left = 0;
  auto t = c.st.pop_trap(left);
  if (!t) return (void)c.fail(E_NO_TRAP);
  std::string rec = trap_record(*t);
  c.put_bytes(rec.data(), rec.size()) && c.put_bytes(t->data.data(), t->data.size());
  if (TwoBlocks) c.put_bytes(t->source.data(), t->source.size());
  if (c.result != -1) c.result = static_cast<int32_t>(left);
}

}  // namespace

void op_get_trap(Call &c) { get_trap<false>(c); }  // 43
void op_get_trap_and_data(Call &c) { get_trap<true>(c); }  // 56

// ------------------------------------------------------------------ texts --

void op_str_err(Call &c) {  // 44: code, len, out text
  int32_t code = c.int_at(0);
  const auto &errs = c.st.model().errors;
  auto it = errs.find(code);
  std::string_view t = it != errs.end() ? std::string_view(it->second) : builtin_error_text(code);
  if (t.empty()) return (void)c.fail(E_NO_ERROR_TEXT);
  c.put_str(t);
}

void op_host_name(Call &c) { c.put_str(c.st.model().host_name); }

void op_get_env(Call &c) {  // 39: name, out 255
  std::string_view name;
  if (!c.str_at(0, name)) return;
  const auto &env = c.st.model().env;
  auto it = env.find(std::string(name));
  if (it == env.end()) return (void)c.fail(E_NO_ENV);
  c.put_str(it->second);
}

}  // namespace mgtd::ops
