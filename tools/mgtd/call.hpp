// One call being served: its request, the connection's session, the reply
// being built and the level it acts at. Shared by the files that give the
// opcodes their meaning (service.cpp, users.cpp, commands.cpp).
#pragma once

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "errors.hpp"
#include "service.hpp"

namespace mgtd::ops {

struct Call {
  State &st;
  Session &ss;
  Io &io;
  const Request &req;
  std::unique_lock<std::mutex> &lock;  // the model's, held while the call runs
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

inline bool can_get(const Param &p, int32_t lvl) { return p.access != Access::WriteOnly && lvl >= p.read_level; }
inline bool can_set(const Param &p, int32_t lvl) { return p.access != Access::ReadOnly && lvl >= p.write_level; }

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

std::string substitute(std::string_view text, const std::map<std::string, std::string, std::less<>> &vars);

// Stores a checked value, logs it and keeps it; flag 1 only validates.
void commit(Call &c, Param &p, int32_t v, const std::string &s, int32_t flag);

// Users, privileges, security log, client address, traps, texts (users.cpp).
void op_auth_user(Call &c);
void op_login_user(Call &c);
void op_privilege_level(Call &c);
void op_set_privilege(Call &c);
void op_set_user_cred(Call &c);
void op_get_user_cred(Call &c);
void op_log_line(Call &c);
void op_log_entry(Call &c);
void op_client_ip(Call &c);
void op_get_trap(Call &c);
void op_get_trap_and_data(Call &c);
void op_str_err(Call &c);
void op_host_name(Call &c);
void op_get_env(Call &c);

// Commands (commands.cpp).
void op_is_command(Call &c);
void op_first_command(Call &c);
void op_next_command(Call &c);
void op_cmd_option(Call &c);
void op_cmd_confirm(Call &c);
void op_exec_command(Call &c);

}  // namespace mgtd::ops
