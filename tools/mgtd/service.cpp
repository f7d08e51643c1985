#include "service.hpp"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>

#include "call.hpp"
#include "errors.hpp"

namespace mgtd {

namespace ops {


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
    {43, {"PPI", op_get_trap}},
    {44, {"IIT", op_str_err}},
    {45, {"TI", op_host_name}},
    {47, {"SII", op_int_set}},
    {48, {"SPI", op_int_get}},
    {49, {"I", op_set_privilege}},
    {50, {"SIAI", op_buffer_set}},
    {53, {"SIPI", op_get_raw}},
    {56, {"PPIPI", op_get_trap_and_data}},
    {57, {"S", op_log_line}},
    {58, {"S", op_client_ip}},
    {59, {"SS", op_log_entry}},
    {60, {"SIS", op_set_user_cred}},
    {61, {"SIP", op_get_user_cred}},
};

}  // namespace ops

using namespace ops;

std::string invoke_error(uint32_t seq, int32_t status) {
  return reply_frame(REPLY_RESULT, seq, status, -1, E_MALFORMED, {});
}

bool serve(State &st, Session &ss, Io &io, const Request &req) {
  const OpEntry *entry = nullptr;
  for (const OpEntry &e : kOps)
    if (e.opcode == req.hdr.opcode) entry = &e;
  if (!entry) return io.send(invoke_error(req.hdr.seq, S_BAD_OPCODE));
  if (!shape_matches(req, entry->op.shape)) return io.send(invoke_error(req.hdr.seq, S_BAD_ITEMS));
  std::string reply;
  {
    std::unique_lock lk(st.mutex());
    Call c{st, ss, io, req, lk, 0, E_OK, {}, 0, true};
    entry->op.fn(c);
    if (!c.io_ok) return false;
    if (c.result == -1) c.data.clear();
    reply = reply_frame(REPLY_RESULT, req.hdr.seq, S_OK, c.result, c.err, c.data);
  }
  return io.send(reply);
}

}  // namespace mgtd
