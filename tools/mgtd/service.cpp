#include "service.hpp"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>

#include "errors.hpp"

namespace mgtd {

// ----------------------------------------------------------------- Call --

namespace {


struct Call {
  State &st;
  Session &ss;
  Io &io;
  const Request &req;
  int32_t result = 0;
  int32_t err = E_OK;
  std::string data;
  std::size_t next_out = 0;
  bool io_ok = true;

  const Item &item(std::size_t i) const { return req.items[i]; }
  int32_t int_at(std::size_t i) const { return item_int(req.items[i]); }

  // A text argument; a missing or unterminated one is an invalid value.
  bool str_at(std::size_t i, std::string_view &out) {
    if (!item_str(req.items[i], out)) return fail(E_INVALID);
    return true;
  }
  std::string_view opt_str_at(std::size_t i) const {
    std::string_view s;
    return item_str(req.items[i], s) ? s : std::string_view{};
  }

  bool fail(int32_t e) {
    result = -1;
    err = e;
    data.clear();
    return false;
  }

  const Item *next_out_item() {
    while (next_out < req.items.size()) {
      const Item &it = req.items[next_out++];
      if (it.kind == ITEM_ARRAY || it.kind == ITEM_PTR || it.kind == ITEM_STRPTR) return &it;
    }
    return nullptr;
  }
  bool room(std::size_t n) {
    if (data.size() + n > SERVER_BUFFER_SIZE) return fail(E_TOO_LONG);
    return true;
  }
  // Fills the next ITEM_PTR/ITEM_ARRAY with exactly its size: the bytes,
  // then zeros.
  bool put_bytes(const void *p, std::size_t n) {
    const Item *it = next_out_item();
    if (!it || !room(it->size)) return it ? false : fail(E_MALFORMED);
    std::size_t k = std::min<std::size_t>(n, it->size);
    data.append(static_cast<const char *>(p), k);
    data.append(it->size - k, '\0');
    return true;
  }
  bool put_int(int32_t v) { return put_bytes(&v, sizeof v); }
  // Fills the next ITEM_STRPTR; a text that does not fit is an error.
  bool put_str(std::string_view s) {
    const Item *it = next_out_item();
    if (!it) return fail(E_MALFORMED);
    if (s.size() + 1 > it->size) return fail(E_TOO_LONG);
    if (!room(s.size() + 1)) return false;
    data.append(s);
    data += '\0';
    return true;
  }
  std::size_t out_size(std::size_t i) const { return req.items[i].size; }

  // Levels. The header's privilege is only a claim: the level acted at is
  // the lowest of the claim, what the peer may do (kernel and model, or a
  // DM_AuthUser on this connection) and the DM_SetPrivilege ceiling. A
  // negative claim is anonymous; the login sequence's fixed levels grant
  // nothing beyond anonymous on parameters and commands.
  int32_t raw_level() const { return req.hdr.privilege; }
  int32_t level() const {
    int32_t l = req.hdr.privilege;
    if (l < 0 || l > kLevelAdmin) l = kLevelAnonymous;
    return std::min({l, std::max(ss.peer.ceiling, ss.auth_level), ss.ceiling});
  }
  // A level the caller asks about: never above its own; negative = own.
  int32_t level_for(int32_t asked) const { return asked < 0 ? level() : std::min(asked, level()); }
  // The login sequence's calls: a peer the daemon lets log users in, which
  // claims the call's fixed level or acts as an administrator.
  bool login_call(int32_t fixed) const {
    return ss.peer.login && (raw_level() == fixed || level() >= kLevelAdmin);
  }

  // What the kernel says about the peer (and who authenticated on the
  // connection), then, after the word "claimed", what the client says.
  std::string who() const {
    std::string w = ss.peer.describe();
    if (!ss.auth_user.empty()) w += " auth=" + ss.auth_user;
    w += " claimed uid=" + std::to_string(req.hdr.uid);
    if (!ss.client_ip.empty()) w += " ip=" + ss.client_ip;
    return w;
  }

  bool send_frame(int32_t type, int32_t res, std::string_view payload) {
    if (!io_ok) return false;
    io_ok = io.send(reply_frame(type, req.hdr.seq, 0, res, 0, payload));
    return io_ok;
  }
};

using Handler = void (*)(Call &);

struct Op {
  const char *shape;  // item kinds: I int, A array, S carray, P ptr, T strptr
  Handler fn;
};

bool shape_matches(const Request &req, const char *shape) {
  std::size_t n = std::strlen(shape);
  if (req.items.size() != n) return false;
  for (std::size_t i = 0; i < n; ++i) {
    int want = shape[i] == 'I' ? ITEM_INT : shape[i] == 'A' ? ITEM_ARRAY
             : shape[i] == 'S' ? ITEM_CARRAY : shape[i] == 'P' ? ITEM_PTR : ITEM_STRPTR;
    if (req.items[i].kind != want) return false;
    if (want == ITEM_INT && req.items[i].size != 4) return false;
  }
  return true;
}

// ------------------------------------------------------------- entities --

const Entity *entity_arg(Call &c, std::size_t i) {
  const Entity *e = c.st.model().entity(c.int_at(i));
  if (!e) c.fail(E_NO_ENTITY);
  return e;
}

void op_entity_find(Call &c) {
  std::string_view path;
  if (!c.str_at(0, path)) return;
  Model &m = c.st.model();
  if (path.empty()) path = m.entities.front().path;  // "" names the top entity
  auto it = m.entity_by_path.find(path);
  if (it == m.entity_by_path.end()) return (void)c.fail(E_NO_ENTITY);
  c.put_int(it->second);
}

template <std::string Entity::*Field>
void op_entity_text(Call &c) {
  if (const Entity *e = entity_arg(c, 0)) c.put_str(e->*Field);
}

void op_entity_parent(Call &c) {
  const Entity *e = entity_arg(c, 0);
  if (!e) return;
  if (!e->parent) return (void)c.fail(E_NO_PARENT);
  c.put_int(e->parent);
}

void op_first_child(Call &c) {
  const Entity *e = entity_arg(c, 0);
  if (!e) return;
  c.ss.child_walk.erase(e->handle);
  if (e->children.empty()) return (void)c.fail(E_END);
  c.ss.child_walk[e->handle] = 1;
  c.put_int(e->children[0]) && c.put_int(static_cast<int32_t>(e->children.size()));
}

void op_next_child(Call &c) {
  const Entity *e = entity_arg(c, 0);
  if (!e) return;
  auto it = c.ss.child_walk.find(e->handle);
  if (it == c.ss.child_walk.end()) return (void)c.fail(E_NO_WALK);
  if (it->second >= e->children.size()) return (void)c.fail(E_END);
  c.put_int(e->children[it->second++]);
}

void op_entity_hidden(Call &c) {
  if (const Entity *e = entity_arg(c, 0)) c.result = e->hidden ? 1 : 0;
}

// ----------------------------------------------------------- param walks --

bool is_dot(const Param &p) { return p.name.find('.') != std::string::npos; }

// The next parameter of e at or after index i that the filter takes.
template <typename F>
std::optional<std::size_t> next_param(const Model &m, const Entity &e, std::size_t i, F take) {
  for (; i < e.params.size(); ++i)
    if (take(m.params[e.params[i]])) return i;
  return std::nullopt;
}

void op_first_param(Call &c) {
  const Entity *e = entity_arg(c, 0);
  if (!e) return;
  const Model &m = c.st.model();
  auto plain = [](const Param &p) { return !is_dot(p); };
  c.ss.param_walk.erase(e->handle);
  auto i = next_param(m, *e, 0, plain);
  if (!i) return (void)c.fail(E_END);
  int32_t count = static_cast<int32_t>(std::count_if(
      e->params.begin(), e->params.end(), [&](std::size_t k) { return plain(m.params[k]); }));
  const Param &p = m.params[e->params[*i]];
  c.ss.param_walk[e->handle] = *i + 1;
  c.put_str(p.full_name) && c.put_int(static_cast<int32_t>(p.type)) && c.put_int(count);
}

void op_next_param(Call &c) {
  const Entity *e = entity_arg(c, 0);
  if (!e) return;
  auto it = c.ss.param_walk.find(e->handle);
  if (it == c.ss.param_walk.end()) return (void)c.fail(E_NO_WALK);
  const Model &m = c.st.model();
  auto i = next_param(m, *e, it->second, [](const Param &p) { return !is_dot(p); });
  if (!i) return (void)c.fail(E_END);
  it->second = *i + 1;
  const Param &p = m.params[e->params[*i]];
  c.put_str(p.full_name) && c.put_int(static_cast<int32_t>(p.type));
}

bool dot_selected(const Param &p, std::string_view sel) {
  if (!is_dot(p)) return false;
  if (sel.empty()) return true;
  return p.name.size() > sel.size() && p.name.compare(0, sel.size(), sel) == 0 &&
         p.name[sel.size()] == '.';
}

void op_first_dot_param(Call &c) {
  const Entity *e = entity_arg(c, 0);
  if (!e) return;
  std::string sel(c.opt_str_at(1));
  const Model &m = c.st.model();
  c.ss.dot_walk.erase(e->handle);
  auto i = next_param(m, *e, 0, [&](const Param &p) { return dot_selected(p, sel); });
  if (!i) return (void)c.fail(E_END);
  const Param &p = m.params[e->params[*i]];
  c.ss.dot_walk[e->handle] = {sel, *i + 1};
  c.put_str(p.full_name) && c.put_int(static_cast<int32_t>(p.type));
}

void op_next_dot_param(Call &c) {
  const Entity *e = entity_arg(c, 0);
  if (!e) return;
  auto it = c.ss.dot_walk.find(e->handle);
  if (it == c.ss.dot_walk.end()) return (void)c.fail(E_NO_WALK);
  const Model &m = c.st.model();
  const std::string &sel = it->second.first;
  auto i = next_param(m, *e, it->second.second, [&](const Param &p) { return dot_selected(p, sel); });
  if (!i) return (void)c.fail(E_END);
  it->second.second = *i + 1;
  c.put_str(m.params[e->params[*i]].full_name);
}

// -------------------------------------------------------- param metadata --

Param *param_arg(Call &c, std::size_t i) {
  std::string_view name;
  if (!c.str_at(i, name)) return nullptr;
  Param *p = c.st.model().param(name);
  if (!p) c.fail(E_NO_PARAM);
  return p;
}

void op_param_info(Call &c) {
  if (Param *p = param_arg(c, 0)) c.put_str(p->info);
}

void op_is_enum(Call &c) {
  if (Param *p = param_arg(c, 0)) c.put_int(p->type == ParamType::Enum ? 1 : 0);
}

void op_convert(Call &c) {
  Param *p = param_arg(c, 0);
  if (!p) return;
  int32_t v = c.int_at(1);
  if (p->type == ParamType::String) return (void)c.fail(E_TYPE);
  if (p->type == ParamType::Enum) {
    const EnumValue *e = p->find_value(v);
    if (!e) return (void)c.fail(E_RANGE);
    c.put_str(e->text);
  } else {
    c.put_str(std::to_string(v));
  }
}

void op_param_type(Call &c) {
  if (Param *p = param_arg(c, 0)) c.put_int(static_cast<int32_t>(p->type));
}

void op_min_max(Call &c) {
  Param *p = param_arg(c, 0);
  if (!p) return;
  int32_t third = p->type == ParamType::Enum     ? static_cast<int32_t>(p->values.size())
                  : p->type == ParamType::String ? static_cast<int32_t>(p->str_default.size())
                                                 : p->int_default;
  c.put_int(p->min) && c.put_int(p->max) && c.put_int(third);
}

void op_next_val(Call &c) {
  Param *p = param_arg(c, 0);
  if (!p) return;
  if (p->type != ParamType::Enum) return (void)c.fail(E_TYPE);
  int32_t pos = item_int(c.item(2));
  if (pos < 0 || static_cast<std::size_t>(pos) >= p->values.size()) return (void)c.fail(E_END);
  c.put_int(pos + 1) && c.put_str(p->values[pos].text);
}

bool can_get(const Param &p, int32_t lvl) { return p.access != Access::WriteOnly && lvl >= p.read_level; }
bool can_set(const Param &p, int32_t lvl) { return p.access != Access::ReadOnly && lvl >= p.write_level; }

// Replaces each "{key}" of a template by lookup(key); a key it does not
// know stays as written. One pass over the template: what is inserted (a
// value, a user's argument) is never expanded again.
template <typename Lookup>
std::string expand(std::string_view text, Lookup lookup) {
  std::string out;
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t open = text.find('{', i);
    std::size_t close = open == std::string_view::npos ? open : text.find('}', open);
    if (close == std::string_view::npos) break;
    out.append(text, i, open - i);
    std::optional<std::string> v = lookup(text.substr(open + 1, close - open - 1));
    if (v) out += *v;
    else out.append(text, open, close - open + 1);
    i = close + 1;
  }
  out.append(text, std::min(i, text.size()), std::string_view::npos);
  return out;
}

std::string substitute(std::string_view text, const std::map<std::string, std::string, std::less<>> &vars) {
  return expand(text, [&](std::string_view key) -> std::optional<std::string> {
    auto it = vars.find(key);
    if (it == vars.end()) return std::nullopt;
    return it->second;
  });
}

void op_param_confirm(Call &c) {
  Param *p = param_arg(c, 0);
  if (!p) return;
  if (p->confirm.empty()) return (void)c.put_str("");
  c.result = 1;
  c.put_str(substitute(p->confirm, {{"value", std::string(c.opt_str_at(1))}, {"name", p->full_name}}));
}


template <bool Set>
void op_can(Call &c) {
  Param *p = param_arg(c, 1);
  if (!p) return;
  int32_t lvl = c.level_for(c.int_at(0));
  c.result = (Set ? can_set(*p, lvl) : can_get(*p, lvl)) ? 1 : 0;
}

// ----------------------------------------------------- parameter values --

Param *readable(Call &c) {
  Param *p = param_arg(c, 0);
  if (!p) return nullptr;
  if (p->access == Access::WriteOnly) return c.fail(E_WRITE_ONLY), nullptr;
  if (c.level() < p->read_level) return c.fail(E_DENIED), nullptr;
  return p;
}

Param *writable(Call &c) {
  Param *p = param_arg(c, 0);
  if (!p) return nullptr;
  if (p->access == Access::ReadOnly) return c.fail(E_READ_ONLY), nullptr;
  if (c.level() < p->write_level) return c.fail(E_DENIED), nullptr;
  return p;
}

// The raw form of a value: 4 bytes for integers and enums, the text's bytes
// for strings.
std::string raw_value(const Param &p, bool use_default) {
  if (p.type == ParamType::String) return use_default ? p.str_default : p.str_value;
  int32_t v = use_default ? p.int_default : p.int_value;
  return std::string(reinterpret_cast<const char *>(&v), 4);
}

// Stores a checked value, logs it and keeps it; flag 1 only validates.
void commit(Call &c, Param &p, int32_t v, const std::string &s, int32_t flag) {
  if (flag == 1) return;
  p.int_value = v;
  p.str_value = s;
  c.st.save_state_locked();
  std::string shown = p.access == Access::WriteOnly ? "(not shown)" : value_text(p);
  c.st.log_security(c.who(), "set " + p.full_name + "=" + shown);
}

// Checks a raw value; the error word or 0.
int32_t parse_raw(const Param &p, std::span<const uint8_t> bytes, int32_t &v, std::string &s) {
  if (p.type == ParamType::String) {
    std::string_view t(reinterpret_cast<const char *>(bytes.data()), bytes.size());
    if (!t.empty() && t.back() == '\0') t.remove_suffix(1);
    if (int32_t e = check_str(p, t)) return e;
    s = std::string(t);
    return E_OK;
  }
  if (bytes.size() != 4) return E_TYPE;
  std::memcpy(&v, bytes.data(), 4);
  return check_int(p, v);
}

void op_set_param(Call &c) {  // 13: name, len, value, flag
  Param *p = writable(c);
  if (!p) return;
  int32_t v = 0;
  std::string s;
  int32_t e;
  if (c.int_at(1) == 0) {
    std::string_view text;
    if (!c.str_at(2, text)) return;
    e = parse_value(*p, text, v, s);
  } else {
    if (c.int_at(1) != c.item(2).size) return (void)c.fail(E_TYPE);
    e = parse_raw(*p, c.item(2).data, v, s);
  }
  if (e) return (void)c.fail(e);
  commit(c, *p, v, s, c.int_at(3));
}

void op_int_set(Call &c) {  // 47: name, value, flag
  Param *p = writable(c);
  if (!p) return;
  if (p->type == ParamType::String) return (void)c.fail(E_TYPE);
  int32_t v = c.int_at(1);
  if (int32_t e = check_int(*p, v)) return (void)c.fail(e);
  commit(c, *p, v, p->str_value, c.int_at(2));
}

void op_buffer_set(Call &c) {  // 50: name, len, inout, flag
  Param *p = writable(c);
  if (!p) return;
  int32_t v = 0;
  std::string s;
  if (int32_t e = parse_raw(*p, c.item(2).data, v, s)) return (void)c.fail(e);
  commit(c, *p, v, s, c.int_at(3));
  std::string back = c.int_at(3) == 1 ? raw_value(*p, false)
                   : p->type == ParamType::String ? s : std::string(reinterpret_cast<char *>(&v), 4);
  c.put_bytes(back.data(), back.size());
}

void op_get_text(Call &c) {  // 14: name, len, out, flag
  Param *p = readable(c);
  if (!p) return;
  std::string t = value_text(*p, c.int_at(3) == 1);
  if (t.size() + 1 > c.out_size(2)) return (void)c.fail(E_TOO_LONG);
  c.put_bytes(t.c_str(), t.size() + 1);
}

void op_get_raw(Call &c) {  // 53: name, len, out, flag
  Param *p = readable(c);
  if (!p) return;
  std::string r = raw_value(*p, c.int_at(3) == 1);
  if (r.size() > c.out_size(2)) return (void)c.fail(p->type == ParamType::String ? E_TOO_LONG : E_TYPE);
  c.put_bytes(r.data(), r.size());
}

void op_int_get(Call &c) {  // 48: name, out 4, flag
  Param *p = readable(c);
  if (!p) return;
  if (p->type == ParamType::String) return (void)c.fail(E_TYPE);
  c.put_int(c.int_at(2) == 1 ? p->int_default : p->int_value);
}

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

template <bool TwoBlocks>
void op_get_trap(Call &c) {
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

// --------------------------------------------------------------- commands --

const Command *command_arg(Call &c, std::size_t level_item, std::size_t name_item) {
  std::string_view name;
  if (!c.str_at(name_item, name)) return nullptr;
  const Command *cmd = c.st.model().command(name);
  if (!cmd || cmd->level > c.level_for(c.int_at(level_item))) return c.fail(E_NO_COMMAND), nullptr;
  return cmd;
}

void op_is_command(Call &c) {
  std::string_view name;
  if (!c.str_at(1, name)) return;
  const Command *cmd = c.st.model().command(name);
  c.result = cmd && cmd->level <= c.level_for(c.int_at(0)) ? 1 : 0;
}

bool list_next_command(Call &c, bool with_count) {
  auto &w = c.ss.command_walk;
  const auto &cmds = c.st.model().commands;
  while (w->second < cmds.size() && cmds[w->second].level > w->first) ++w->second;
  if (w->second >= cmds.size()) return c.fail(E_END);
  const Command &cmd = cmds[w->second++];
  if (!c.put_str(cmd.name) || !c.put_str(cmd.text)) return false;
  if (with_count) {
    int32_t n = static_cast<int32_t>(std::count_if(cmds.begin(), cmds.end(),
                                                   [&](auto &x) { return x.level <= w->first; }));
    return c.put_int(n);
  }
  return true;
}

void op_first_command(Call &c) {
  c.ss.command_walk = std::pair<int32_t, std::size_t>{c.level_for(c.int_at(0)), 0};
  list_next_command(c, true);
}

void op_next_command(Call &c) {
  if (!c.ss.command_walk) return (void)c.fail(E_NO_WALK);
  list_next_command(c, false);
}

void op_cmd_option(Call &c) {  // 32: level, name, inout pos, prefix, out text
  const Command *cmd = command_arg(c, 0, 1);
  if (!cmd) return;
  int32_t pos = item_int(c.item(2));
  std::string_view prefix = c.opt_str_at(3);
  for (std::size_t i = pos < 0 ? 0 : static_cast<std::size_t>(pos); i < cmd->options.size(); ++i) {
    if (cmd->options[i].compare(0, prefix.size(), prefix) == 0) {
      c.put_int(static_cast<int32_t>(i + 1)) && c.put_str(cmd->options[i]);
      return;
    }
  }
  c.fail(E_END);
}

void op_cmd_confirm(Call &c) {  // 42: level, name, arg, out text, cap
  const Command *cmd = command_arg(c, 0, 1);
  if (!cmd) return;
  if (cmd->confirm.empty()) return (void)c.put_str("");
  c.result = 1;
  c.put_str(substitute(cmd->confirm, {{"arg", std::string(c.opt_str_at(2))}}));
}

std::string xml_escape(std::string_view s) {
  std::string o;
  for (char ch : s) {
    switch (ch) {
      case '&': o += "&amp;"; break;
      case '<': o += "&lt;"; break;
      case '>': o += "&gt;"; break;
      case '"': o += "&quot;"; break;
      default: o += ch;
    }
  }
  return o;
}

// The model as XML; values the level may not read are left out.
std::string xml_dump(const Model &m, int32_t level) {
  std::string x = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<model host=\"" + xml_escape(m.host_name) + "\">\n";
  for (const Entity &e : m.entities) {
    x += "  <entity path=\"" + xml_escape(e.path) + "\" title=\"" + xml_escape(e.title) + "\"" +
         (e.hidden ? " hidden=\"yes\"" : "") + ">\n";
    if (!e.info.empty()) x += "    <info>" + xml_escape(e.info) + "</info>\n";
    for (std::size_t k : e.params) {
      const Param &p = m.params[k];
      static const char *types[] = {"", "integer", "string", "enum"};
      x += "    <param name=\"" + xml_escape(p.full_name) + "\" type=\"" +
           types[static_cast<int>(p.type)] + "\"";
      if (can_get(p, level)) x += " value=\"" + xml_escape(value_text(p)) + "\"";
      x += " min=\"" + std::to_string(p.min) + "\" max=\"" + std::to_string(p.max) + "\">";
      x += xml_escape(p.info) + "</param>\n";
    }
    x += "  </entity>\n";
  }
  for (const Command &cmd : m.commands)
    x += "  <command name=\"" + xml_escape(cmd.name) + "\" level=\"" + std::to_string(cmd.level) +
         "\">" + xml_escape(cmd.text) + "</command>\n";
  return x + "</model>\n";
}

// Runs a command's steps. Frames go out without the model lock held, so a
// client that is slow to answer a prompt holds up nobody else.
void run_command(Call &c, const Command &cmd, std::string arg, std::unique_lock<std::mutex> &lk) {
  std::string input;
  std::size_t sent = 0;
  c.st.log_security(c.who(), "command " + cmd.name + (arg.empty() ? "" : " " + arg));
  // {param:NAME} gives a value only to a caller that may read it.
  auto lookup = [&](std::string_view key) -> std::optional<std::string> {
    Model &m = c.st.model();
    if (key == "arg") return arg;
    if (key == "input") return input;
    if (key == "host") return m.host_name;
    if (key.starts_with("env:")) {
      auto it = m.env.find(std::string(key.substr(4)));
      return it == m.env.end() ? std::nullopt : std::optional<std::string>(it->second);
    }
    if (key.starts_with("param:")) {
      Param *p = m.param(key.substr(6));
      return p && can_get(*p, c.level()) ? value_text(*p) : std::string("?");
    }
    return std::nullopt;
  };
  for (const Step &s : cmd.steps) {
    auto text = [&](const std::string &t) { return expand(t, lookup); };
    bool io_step = s.kind == Step::Print || s.kind == Step::PrintEnd || s.kind == Step::Xml ||
                   s.kind == Step::XmlDump || s.kind == Step::Input || s.kind == Step::Secret ||
                   s.kind == Step::Run;
    std::string payload;
    if (s.kind == Step::XmlDump) payload = xml_dump(c.st.model(), c.level());
    else if (io_step) payload = text(s.a);
    sent += payload.size();
    if (sent > kCommandOutputMax) return (void)c.fail(E_TOO_LONG);
    if (io_step) lk.unlock();
    switch (s.kind) {
      case Step::Print: c.send_frame(REPLY_PRINT, 0, payload); break;
      case Step::PrintEnd: c.send_frame(REPLY_PRINT_END, 0, {}); break;
      case Step::Xml:
      case Step::XmlDump:
        c.send_frame(REPLY_XML, 0, payload);
        break;
      case Step::Input:
      case Step::Secret:
        payload += '\0';
        // The prompt's result word tells the front-end to hide the answer.
        if (c.send_frame(REPLY_INPUT, s.kind == Step::Secret ? 1 : 0, payload))
          c.io_ok = c.io.read_input(input);
        break;
      case Step::Run: c.send_frame(REPLY_RUN_CMD, 0, payload + '\0'); break;
      case Step::Expect:
        if (input != text(s.a)) return (void)c.fail(E_CANCELLED);
        break;
      case Step::Trap:
        c.st.queue_trap(s.a, text(s.b), arg, "command " + cmd.name);
        break;
      case Step::Set: {
        Param *p = c.st.model().param(s.a);
        int32_t v = 0;
        std::string str;
        int32_t e = p ? parse_value(*p, text(s.b), v, str) : E_NO_PARAM;
        if (e) return (void)c.fail(e);
        commit(c, *p, v, str, 0);
        break;
      }
      case Step::Result: c.result = s.n; break;
      case Step::Fail: return (void)c.fail(s.n);
    }
    if (io_step) lk.lock();
    if (!c.io_ok) return;
  }
}

void op_exec_command(Call &c);  // needs the lock; see serve()

struct OpEntry {
  uint32_t opcode;
  Op op;
};

const OpEntry kOps[] = {
    {4, {"SP", op_entity_find}},
    {7, {"IT", op_entity_text<&Entity::name>}},
    {8, {"IT", op_entity_text<&Entity::path>}},
    {9, {"IT", op_entity_text<&Entity::info>}},
    {10, {"IP", op_entity_parent}},
    {11, {"IPP", op_first_child}},
    {12, {"IP", op_next_child}},
    {13, {"SISI", op_set_param}},
    {14, {"SIPI", op_get_text}},
    {15, {"ST", op_param_info}},
    {18, {"ITPP", op_first_param}},
    {19, {"ITP", op_next_param}},
    {20, {"IT", op_entity_text<&Entity::title>}},
    {21, {"SP", op_is_enum}},
    {22, {"SIIT", op_convert}},
    {23, {"SP", op_param_type}},
    {24, {"SPPP", op_min_max}},
    {26, {"ISS", op_exec_command}},
    {27, {"IP", op_privilege_level}},
    {28, {"ITTP", op_first_command}},
    {29, {"ITT", op_next_command}},
    {30, {"ISTP", op_first_dot_param}},
    {31, {"IT", op_next_dot_param}},
    {32, {"ISAST", op_cmd_option}},
    {33, {"IS", op_is_command}},
    {34, {"SSPP", op_auth_user}},
    {35, {"SIAT", op_next_val}},
    {36, {"I", op_entity_hidden}},
    {37, {"IS", op_can<false>}},
    {38, {"IS", op_can<true>}},
    {39, {"ST", op_get_env}},
    {40, {"S", op_login_user}},
    {41, {"SSTI", op_param_confirm}},
    {42, {"ISSTI", op_cmd_confirm}},
    {43, {"PPI", op_get_trap<false>}},
    {44, {"IIT", op_str_err}},
    {45, {"TI", op_host_name}},
    {47, {"SII", op_int_set}},
    {48, {"SPI", op_int_get}},
    {49, {"I", op_set_privilege}},
    {50, {"SIAI", op_buffer_set}},
    {53, {"SIPI", op_get_raw}},
    {56, {"PPIPI", op_get_trap<true>}},
    {57, {"S", op_log_line}},
    {58, {"S", op_client_ip}},
    {59, {"SS", op_log_entry}},
    {60, {"SIS", op_set_user_cred}},
    {61, {"SIP", op_get_user_cred}},
};

thread_local std::unique_lock<std::mutex> *t_lock = nullptr;

void op_exec_command(Call &c) {  // 26: level, name, options
  const Command *cmd = command_arg(c, 0, 1);
  if (!cmd) return;
  // The model keeps its commands for the daemon's lifetime: the reference
  // stays valid while the lock is let go around frames.
  run_command(c, *cmd, std::string(c.opt_str_at(2)), *t_lock);
}

}  // namespace

std::string invoke_error(uint32_t seq, int32_t status) {
  return reply_frame(REPLY_RESULT, seq, status, -1, E_MALFORMED, {});
}

bool serve(State &st, Session &ss, Io &io, const Request &req) {
  const OpEntry *entry = nullptr;
  for (const OpEntry &e : kOps)
    if (e.opcode == req.hdr.opcode) entry = &e;
  if (!entry) return io.send(invoke_error(req.hdr.seq, S_BAD_OPCODE));
  if (!shape_matches(req, entry->op.shape)) return io.send(invoke_error(req.hdr.seq, S_BAD_ITEMS));
  Call c{st, ss, io, req, 0, E_OK, {}, 0, true};
  {
    std::unique_lock lk(st.mutex());
    t_lock = &lk;
    entry->op.fn(c);
    t_lock = nullptr;
  }
  if (!c.io_ok) return false;
  if (c.result == -1) c.data.clear();
  return io.send(reply_frame(REPLY_RESULT, req.hdr.seq, S_OK, c.result, c.err, c.data));
}

}  // namespace mgtd
