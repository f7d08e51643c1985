#include "model.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>
#include <fstream>
#include <sstream>

#include "errors.hpp"

namespace mgtd {

std::string_view builtin_error_text(int32_t err) {
  switch (err) {
    case E_OK: return "Success";
    case E_NO_ENTITY: return "No such entity";
    case E_NO_PARAM: return "No such parameter";
    case E_DENIED: return "Permission denied";
    case E_RANGE: return "Value out of range";
    case E_INVALID: return "Invalid value";
    case E_END: return "End of list";
    case E_NO_WALK: return "No walk in progress";
    case E_TOO_LONG: return "Text does not fit the buffer";
    case E_READ_ONLY: return "Parameter is read-only";
    case E_WRITE_ONLY: return "Parameter is write-only";
    case E_NO_COMMAND: return "No such command";
    case E_NO_USER: return "No such user";
    case E_AUTH: return "Authentication failed";
    case E_NO_CRED: return "No credential record";
    case E_NO_GROUP: return "No privilege level for this group";
    case E_NO_TRAP: return "No trap queued";
    case E_NO_ENV: return "No such environment value";
    case E_LOG: return "Security log unavailable";
    case E_ADDRESS: return "Invalid address";
    case E_TYPE: return "Wrong type or size";
    case E_FAILED: return "Command failed";
    case E_NO_ERROR_TEXT: return "Unknown error code";
    case E_CANCELLED: return "Cancelled";
    case E_MALFORMED: return "Malformed request";
    case E_NO_PARENT: return "Entity has no parent";
    default: return {};
  }
}

const EnumValue *Param::find_value(int32_t v) const {
  for (const auto &e : values)
    if (e.value == v) return &e;
  return nullptr;
}

const EnumValue *Param::find_text(std::string_view t) const {
  for (const auto &e : values)
    if (e.text == t) return &e;
  return nullptr;
}

const Entity *Model::entity(int32_t handle) const {
  if (handle < 1 || static_cast<std::size_t>(handle) > entities.size()) return nullptr;
  return &entities[handle - 1];
}

Param *Model::param(std::string_view full_name) {
  auto it = param_by_name.find(full_name);
  return it == param_by_name.end() ? nullptr : &params[it->second];
}

const Command *Model::command(std::string_view name) const {
  for (const auto &c : commands)
    if (c.name == name) return &c;
  return nullptr;
}

User *Model::user(std::string_view name) {
  for (auto &u : users)
    if (u.name == name) return &u;
  return nullptr;
}

std::vector<uint8_t> make_cred(const User &u) {
  std::vector<uint8_t> rec(8 + u.full_name.size() + 1, 0);
  std::memcpy(rec.data(), &u.level, 4);
  std::memcpy(rec.data() + 4, &u.uid, 4);
  std::memcpy(rec.data() + 8, u.full_name.data(), u.full_name.size());
  return rec;
}

static bool to_int(std::string_view s, int32_t &out) {
  if (s.empty()) return false;
  int base = 10;
  std::string_view digits = s;
  bool neg = false;
  if (digits.front() == '-') { neg = true; digits.remove_prefix(1); }
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    base = 16;
    digits.remove_prefix(2);
  }
  int64_t v = 0;
  auto [p, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v, base);
  if (ec != std::errc() || p != digits.data() + digits.size()) return false;
  if (neg) v = -v;
  if (v < INT32_MIN || v > INT32_MAX) return false;
  out = static_cast<int32_t>(v);
  return true;
}

int32_t check_int(const Param &p, int32_t v) {
  if (p.type == ParamType::Enum) return p.find_value(v) ? E_OK : E_RANGE;
  return v < p.min || v > p.max ? E_RANGE : E_OK;
}

int32_t check_str(const Param &p, std::string_view s) {
  if (s.find('\0') != std::string_view::npos) return E_INVALID;
  if (static_cast<int64_t>(s.size()) < p.min || static_cast<int64_t>(s.size()) > p.max)
    return E_RANGE;
  return E_OK;
}

int32_t parse_value(const Param &p, std::string_view text, int32_t &int_out, std::string &str_out) {
  switch (p.type) {
    case ParamType::String:
      if (int32_t e = check_str(p, text)) return e;
      str_out = std::string(text);
      return E_OK;
    case ParamType::Enum:
      if (const EnumValue *e = p.find_text(text)) {
        int_out = e->value;
        return E_OK;
      }
      if (!to_int(text, int_out)) return E_INVALID;
      return check_int(p, int_out);
    case ParamType::Integer:
      if (!to_int(text, int_out)) return E_INVALID;
      return check_int(p, int_out);
  }
  return E_INVALID;
}

std::string value_text(const Param &p, bool use_default) {
  switch (p.type) {
    case ParamType::String: return use_default ? p.str_default : p.str_value;
    case ParamType::Enum: {
      int32_t v = use_default ? p.int_default : p.int_value;
      if (const EnumValue *e = p.find_value(v)) return e->text;
      return std::to_string(v);
    }
    case ParamType::Integer: return std::to_string(use_default ? p.int_default : p.int_value);
  }
  return {};
}

namespace {

struct Token {
  std::string key;    // empty for a plain word or quoted text
  std::string value;
};

struct ParseFail {
  std::string what;
};

// Splits a line into words, "quoted texts" (with \" \\ \n \t escapes) and
// key=value pairs whose value may be quoted; '#' outside quotes starts a
// comment.
std::vector<Token> tokenize(std::string_view line) {
  std::vector<Token> out;
  std::size_t i = 0;
  auto quoted = [&](std::string &dst) {
    ++i;  // opening quote
    while (i < line.size() && line[i] != '"') {
      char c = line[i++];
      if (c == '\\') {
        if (i >= line.size()) throw ParseFail{"unfinished escape"};
        char e = line[i++];
        switch (e) {
          case 'n': c = '\n'; break;
          case 't': c = '\t'; break;
          case '\\': case '"': c = e; break;
          default: throw ParseFail{std::string("unknown escape \\") + e};
        }
      }
      dst += c;
    }
    if (i >= line.size()) throw ParseFail{"missing closing quote"};
    ++i;
  };
  while (i < line.size()) {
    char c = line[i];
    if (c == ' ' || c == '\t' || c == '\r') { ++i; continue; }
    if (c == '#') break;
    Token t;
    if (c == '"') {
      quoted(t.value);
    } else {
      std::string word;
      while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r' &&
             line[i] != '"' && line[i] != '#') {
        if (line[i] == '=' && t.key.empty() && !word.empty()) {
          t.key = word;
          word.clear();
          ++i;
          if (i < line.size() && line[i] == '"') {
            quoted(word);
            break;
          }
          continue;
        }
        word += line[i++];
      }
      if (!t.key.empty()) t.value = word;
      else t.value = word;
    }
    if (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r' && line[i] != '#')
      throw ParseFail{"missing space after a quoted text"};
    out.push_back(std::move(t));
  }
  return out;
}

int32_t need_int(std::string_view s, const char *what) {
  int32_t v;
  if (!to_int(s, v)) throw ParseFail{std::string(what) + " is not a 32-bit number: " + std::string(s)};
  return v;
}

void need_len(const std::string &s, std::size_t max, const char *what) {
  if (s.size() > max)
    throw ParseFail{std::string(what) + " longer than " + std::to_string(max) + " characters"};
}

bool valid_name(std::string_view s, bool dots) {
  if (s.empty()) return false;
  for (char c : s) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '_' || c == '-' || (dots && c == '.');
    if (!ok) return false;
  }
  return s.front() != '.' && s.back() != '.' && s.find("..") == std::string_view::npos;
}

class Parser {
 public:
  Model m;

  void line(std::vector<Token> toks) {
    if (toks.empty()) return;
    if (!toks[0].key.empty()) throw ParseFail{"a line starts with a keyword, not " + toks[0].key + "="};
    std::string kw = toks[0].value;
    toks.erase(toks.begin());
    args_ = std::move(toks);
    if (kw == "host") { block_ = None; m.host_name = text1("host"); need_len(m.host_name, kTextMax, "host name"); }
    else if (kw == "env") { block_ = None; need(2, "env NAME TEXT"); m.env[word(0)] = args_[1].value; need_len(args_[1].value, kTextMax, "env value"); }
    else if (kw == "error") { block_ = None; need(2, "error CODE TEXT"); m.errors[need_int(word(0), "error code")] = args_[1].value; }
    else if (kw == "group") { block_ = None; need(2, "group GID LEVEL"); m.groups[need_int(word(0), "group id")] = level(word(1)); }
    else if (kw == "peer") { block_ = None; peer(); }
    else if (kw == "log-level") { block_ = None; need(1, "log-level LEVEL"); m.log_level = level(word(0)); }
    else if (kw == "security-log") { block_ = None; m.security_log = text1("security-log"); }
    else if (kw == "entity") entity();
    else if (kw == "command") command();
    else if (kw == "user") user();
    else if (block_ == InEntity) entity_line(kw);
    else if (block_ == InCommand) command_line(kw);
    else if (block_ == InUser) user_line(kw);
    else throw ParseFail{"unknown keyword '" + kw + "' outside an entity, command or user"};
  }

  void finish() {
    if (m.entities.empty()) throw ParseFail{"the model has no entity"};
    for (auto &u : m.users)
      if (u.cred && u.cred->empty()) *u.cred = make_cred(u);
  }

 private:
  enum Block { None, InEntity, InCommand, InUser } block_ = None;
  std::vector<Token> args_;

  void need(std::size_t n, const char *usage) {
    if (args_.size() != n) throw ParseFail{std::string("expected: ") + usage};
    for (auto &a : args_)
      if (!a.key.empty()) throw ParseFail{std::string("unexpected ") + a.key + "=, expected: " + usage};
  }
  const std::string &word(std::size_t i) { return args_[i].value; }
  std::string text1(const char *kw) {
    need(1, (std::string(kw) + " TEXT").c_str());
    return args_[0].value;
  }
  int32_t level(std::string_view s) {
    int32_t v = need_int(s, "level");
    if (v < 0 || v > kLevelAdmin) throw ParseFail{"level must be 0 to 3"};
    return v;
  }

  Entity &cur_entity() { return m.entities.back(); }

  // peer uid|group N LEVEL|login
  void peer() {
    need(3, "peer uid|group NUMBER LEVEL|login");
    auto &table = word(0) == "uid" ? m.peer_uids : word(0) == "group" ? m.peer_gids
                  : throw ParseFail{"peer takes uid or group, not '" + word(0) + "'"};
    int32_t id = need_int(word(1), "peer id");
    if (id < 0) throw ParseFail{"peer id must not be negative"};
    PeerGrant g;
    if (word(2) == "login") g = {kLevelAdmin, true};
    else g.level = level(word(2));
    table[id] = g;
  }

  void entity() {
    if (args_.empty() || !args_[0].key.empty()) throw ParseFail{"expected: entity PATH [hidden] [title=TEXT] [info=TEXT]"};
    std::string path = word(0);
    if (!valid_name(path, true)) throw ParseFail{"bad entity path '" + path + "'"};
    need_len(path, kTextMax, "entity path");
    if (m.entity_by_path.count(path)) throw ParseFail{"entity '" + path + "' defined twice"};
    Entity e;
    e.handle = static_cast<int>(m.entities.size()) + 1;
    e.path = path;
    auto dot = path.rfind('.');
    e.name = dot == std::string::npos ? path : path.substr(dot + 1);
    need_len(e.name, kNameMax, "entity name");
    if (dot != std::string::npos) {
      auto it = m.entity_by_path.find(path.substr(0, dot));
      if (it == m.entity_by_path.end()) throw ParseFail{"parent of '" + path + "' is not defined above it"};
      e.parent = it->second;
    } else if (!m.entities.empty()) {
      throw ParseFail{"only one top entity: '" + path + "' needs a parent path"};
    }
    e.title = e.name;
    for (std::size_t i = 1; i < args_.size(); ++i) {
      const Token &t = args_[i];
      if (t.key.empty() && t.value == "hidden") e.hidden = true;
      else if (t.key == "title") e.title = t.value;
      else if (t.key == "info") e.info = t.value;
      else throw ParseFail{"unknown entity attribute '" + (t.key.empty() ? t.value : t.key) + "'"};
    }
    need_len(e.title, kFullNameMax, "entity title");
    need_len(e.info, kTextMax, "entity info");
    if (e.parent) m.entities[e.parent - 1].children.push_back(e.handle);
    m.entity_by_path[path] = e.handle;
    m.entities.push_back(std::move(e));
    block_ = InEntity;
  }

  void entity_line(const std::string &kw) {
    Entity &e = cur_entity();
    if (kw == "info") { e.info = text1("info"); need_len(e.info, kTextMax, "entity info"); }
    else if (kw == "title") { e.title = text1("title"); need_len(e.title, kFullNameMax, "entity title"); }
    else if (kw == "hidden") { need(0, "hidden"); e.hidden = true; }
    else if (kw == "param") param(e);
    else throw ParseFail{"unknown keyword '" + kw + "' in entity " + e.path};
  }

  void param(Entity &e) {
    if (args_.size() < 2 || !args_[0].key.empty() || !args_[1].key.empty())
      throw ParseFail{"expected: param NAME integer|string|enum [key=value ...]"};
    Param p;
    p.name = word(0);
    if (!valid_name(p.name, true)) throw ParseFail{"bad parameter name '" + p.name + "'"};
    p.full_name = e.path + "." + p.name;
    need_len(p.full_name, kNameMax, "parameter full name");
    if (m.param_by_name.count(p.full_name)) throw ParseFail{"parameter '" + p.full_name + "' defined twice"};
    p.entity = e.handle;
    const std::string &type = word(1);
    if (type == "integer") p.type = ParamType::Integer;
    else if (type == "string") { p.type = ParamType::String; p.min = 0; p.max = kTextMax; }
    else if (type == "enum") p.type = ParamType::Enum;
    else throw ParseFail{"unknown parameter type '" + type + "'"};
    std::optional<std::string> def;
    for (std::size_t i = 2; i < args_.size(); ++i) {
      const Token &t = args_[i];
      if (t.key == "min") p.min = need_int(t.value, "min");
      else if (t.key == "max") p.max = need_int(t.value, "max");
      else if (t.key == "default") def = t.value;
      else if (t.key == "info") p.info = t.value;
      else if (t.key == "confirm") p.confirm = t.value;
      else if (t.key == "read") p.read_level = level(t.value);
      else if (t.key == "write") p.write_level = level(t.value);
      else if (t.key == "access") {
        if (t.value == "rw") p.access = Access::ReadWrite;
        else if (t.value == "ro") p.access = Access::ReadOnly;
        else if (t.value == "wo") p.access = Access::WriteOnly;
        else throw ParseFail{"access must be rw, ro or wo"};
      } else if (t.key == "values") {
        std::string_view rest = t.value;
        while (!rest.empty()) {
          auto comma = rest.find(',');
          std::string_view item = rest.substr(0, comma);
          rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
          auto eq = item.find('=');
          if (eq == std::string_view::npos || eq == 0) throw ParseFail{"enum values are TEXT=NUMBER,..."};
          EnumValue ev{std::string(item.substr(0, eq)), need_int(item.substr(eq + 1), "enum value")};
          need_len(ev.text, kTextMax, "enum text");
          if (p.find_text(ev.text) || p.find_value(ev.value)) throw ParseFail{"enum value repeated: " + ev.text};
          p.values.push_back(std::move(ev));
        }
      } else {
        throw ParseFail{"unknown parameter attribute '" + (t.key.empty() ? t.value : t.key) + "'"};
      }
    }
    need_len(p.info, kTextMax, "parameter info");
    need_len(p.confirm, kTextMax, "confirmation text");
    if (p.min > p.max) throw ParseFail{"min is above max"};
    if (p.type == ParamType::Enum) {
      if (p.values.empty()) throw ParseFail{"an enum needs values=TEXT=NUMBER,..."};
      auto [lo, hi] = std::minmax_element(p.values.begin(), p.values.end(),
                                          [](auto &a, auto &b) { return a.value < b.value; });
      p.min = lo->value;
      p.max = hi->value;
      p.int_default = p.values.front().value;
    } else if (!p.values.empty()) {
      throw ParseFail{"values= belongs to enum parameters"};
    }
    if (p.type == ParamType::String && (p.min < 0 || p.max > static_cast<int32_t>(kTextMax)))
      throw ParseFail{"string length bounds must lie within 0 to 254"};
    if (p.type == ParamType::Integer) p.int_default = std::clamp(0, p.min, p.max);
    if (p.type == ParamType::String && p.min > 0) p.str_default.assign(p.min, ' ');
    if (def) {
      std::string s;
      int32_t v = 0;
      if (parse_value(p, *def, v, s) != E_OK) throw ParseFail{"default '" + *def + "' does not fit the parameter"};
      p.int_default = v;
      p.str_default = s;
    }
    p.int_value = p.int_default;
    p.str_value = p.str_default;
    e.params.push_back(m.params.size());
    m.param_by_name[p.full_name] = m.params.size();
    m.params.push_back(std::move(p));
  }

  void command() {
    need(1, "command NAME");
    if (!valid_name(word(0), false)) throw ParseFail{"bad command name '" + word(0) + "'"};
    need_len(word(0), kNameMax, "command name");
    if (m.command(word(0))) throw ParseFail{"command '" + word(0) + "' defined twice"};
    m.commands.push_back(Command{word(0), {}, {}, {}, kLevelAnonymous, {}});
    block_ = InCommand;
  }

  void command_line(const std::string &kw) {
    Command &c = m.commands.back();
    auto step = [&](Step::Kind k, std::size_t nargs, const char *usage) {
      need(nargs, usage);
      Step s{k, nargs > 0 ? word(0) : std::string(), nargs > 1 ? word(1) : std::string(), 0};
      c.steps.push_back(std::move(s));
      return &c.steps.back();
    };
    if (kw == "text") { c.text = text1("text"); need_len(c.text, kTextMax, "command text"); }
    else if (kw == "level") { need(1, "level N"); c.level = level(word(0)); }
    else if (kw == "option") { c.options.push_back(text1("option")); need_len(c.options.back(), kTextMax, "option"); }
    else if (kw == "confirm") { c.confirm = text1("confirm"); need_len(c.confirm, kTextMax, "confirmation text"); }
    else if (kw == "print") step(Step::Print, 1, "print TEXT");
    else if (kw == "print-end") step(Step::PrintEnd, 0, "print-end");
    else if (kw == "xml") step(Step::Xml, 1, "xml TEXT");
    else if (kw == "xml-dump") step(Step::XmlDump, 0, "xml-dump");
    else if (kw == "input") step(Step::Input, 1, "input PROMPT");
    else if (kw == "secret") step(Step::Secret, 1, "secret PROMPT");
    else if (kw == "expect") step(Step::Expect, 1, "expect TEXT");
    else if (kw == "run") step(Step::Run, 1, "run COMMAND");
    else if (kw == "trap") step(Step::Trap, 2, "trap NAME TEXT");
    else if (kw == "set") {
      Step *s = step(Step::Set, 2, "set PARAMETER TEXT");
      if (!m.param(s->a)) throw ParseFail{"set names an unknown parameter '" + s->a + "' (define it above)"};
    } else if (kw == "result") step(Step::Result, 1, "result N")->n = need_int(word(0), "result");
    else if (kw == "fail") step(Step::Fail, 1, "fail ERROR")->n = need_int(word(0), "error");
    else throw ParseFail{"unknown keyword '" + kw + "' in command " + c.name};
  }

  void user() {
    need(1, "user NAME");
    if (!valid_name(word(0), true)) throw ParseFail{"bad user name '" + word(0) + "'"};
    if (m.user(word(0))) throw ParseFail{"user '" + word(0) + "' defined twice"};
    User u;
    u.name = word(0);
    m.users.push_back(std::move(u));
    block_ = InUser;
  }

  void user_line(const std::string &kw) {
    User &u = m.users.back();
    if (kw == "password") u.password = text1("password");
    else if (kw == "name") u.full_name = text1("name");
    else if (kw == "uid") { need(1, "uid N"); u.uid = need_int(word(0), "uid"); }
    else if (kw == "gid") { need(1, "gid N"); u.gid = need_int(word(0), "gid"); }
    else if (kw == "level") { need(1, "level N"); u.level = level(word(0)); }
    else if (kw == "cred") {
      need(1, "cred yes|no");
      if (word(0) == "yes") u.cred.emplace();
      else if (word(0) == "no") u.cred.reset();
      else throw ParseFail{"cred takes yes or no"};
    } else throw ParseFail{"unknown keyword '" + kw + "' in user " + u.name};
  }
};

}  // namespace

std::optional<Model> parse_model(std::string_view text, std::string &error) {
  Parser p;
  int lineno = 0;
  try {
    while (!text.empty()) {
      ++lineno;
      auto nl = text.find('\n');
      std::string_view line = text.substr(0, nl);
      text = nl == std::string_view::npos ? std::string_view{} : text.substr(nl + 1);
      p.line(tokenize(line));
    }
    ++lineno;
    p.finish();
  } catch (const ParseFail &f) {
    error = "line " + std::to_string(lineno) + ": " + f.what;
    return std::nullopt;
  }
  return std::move(p.m);
}

std::optional<Model> load_model(const std::string &path, std::string &error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  std::ostringstream ss;
  ss << in.rdbuf();
  auto m = parse_model(ss.str(), error);
  if (!m) error = path + ":" + error.substr(5);  // "line N: x" -> "FILE:N: x"
  return m;
}

}  // namespace mgtd
