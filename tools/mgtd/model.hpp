// The daemon's data model: entities, parameters, commands, users and texts,
// loaded from a human-editable text file (format in README.md).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mgtd {

// Values of DM_GetParamType.
enum class ParamType : int32_t { Integer = 1, String = 2, Enum = 3 };
enum class Access { ReadWrite, ReadOnly, WriteOnly };

// Privilege levels. 4 and 5 are the fixed levels of the login sequence.
constexpr int32_t kLevelAnonymous = 0;
constexpr int32_t kLevelAdmin = 3;
constexpr int32_t kLevelAuthService = 4;
constexpr int32_t kLevelLoginService = 5;

// Longest texts the library's fixed buffers take (NUL excluded).
constexpr std::size_t kNameMax = 49;
constexpr std::size_t kFullNameMax = 99;
constexpr std::size_t kTextMax = 254;

struct EnumValue {
  std::string text;
  int32_t value;
};

struct Param {
  std::string name;       // within its entity; a dot makes it a dot-parameter
  std::string full_name;  // "<entity path>.<name>", what the calls use
  int entity = 0;
  ParamType type = ParamType::Integer;
  int32_t min = INT32_MIN;  // integer bounds, or string length bounds
  int32_t max = INT32_MAX;
  std::vector<EnumValue> values;
  std::string info, confirm;
  Access access = Access::ReadWrite;
  int32_t read_level = kLevelAnonymous;
  int32_t write_level = kLevelAdmin;
  int32_t int_default = 0, int_value = 0;  // Integer and Enum
  std::string str_default, str_value;      // String

  const EnumValue *find_value(int32_t v) const;
  const EnumValue *find_text(std::string_view t) const;
};

struct Entity {
  int handle = 0;
  int parent = 0;  // 0: none (the top entity)
  std::string name, path, title, info;
  bool hidden = false;
  std::vector<int> children;
  std::vector<std::size_t> params;  // indexes into Model::params, in file order
};

struct Step {
  enum Kind { Print, PrintEnd, Xml, XmlDump, Input, Secret, Expect, Run, Trap, Set, Result, Fail };
  Kind kind;
  std::string a, b;
  int32_t n = 0;
};

struct Command {
  std::string name, text, confirm;
  std::vector<std::string> options;
  int32_t level = kLevelAnonymous;
  std::vector<Step> steps;
};

struct User {
  std::string name, password, full_name;
  int32_t uid = -1, gid = -1, level = kLevelAnonymous;
  std::optional<std::vector<uint8_t>> cred;  // credential record, when held
};

// What the model grants a local peer (by uid or group): the highest level it
// may act at, and whether it may make the login sequence's calls.
struct PeerGrant {
  int32_t level = kLevelAnonymous;
  bool login = false;
};

struct Model {
  std::string host_name = "localhost";
  std::map<int64_t, PeerGrant> peer_uids, peer_gids;
  int32_t log_level = 2;  // level needed to write a security-log line
  std::map<std::string, std::string> env;
  std::map<int32_t, std::string> errors;  // texts for the error words
  std::map<int32_t, int32_t> groups;      // gid -> privilege level
  std::string security_log;
  std::vector<Entity> entities;           // handle h is entities[h - 1]
  std::vector<Param> params;
  std::map<std::string, int, std::less<>> entity_by_path;
  std::map<std::string, std::size_t, std::less<>> param_by_name;
  std::vector<Command> commands;
  std::vector<User> users;

  const Entity *entity(int32_t handle) const;
  Param *param(std::string_view full_name);
  const Command *command(std::string_view name) const;
  User *user(std::string_view name);
};

// The credential record the model builds for a user: level and uid (4 bytes
// each, processor order), then the full name with its NUL.
std::vector<uint8_t> make_cred(const User &u);

// Parses a model text. On failure returns nullopt and sets error to
// "line N: what".
std::optional<Model> parse_model(std::string_view text, std::string &error);
// Reads and parses a file; errors read "FILE:N: what".
std::optional<Model> load_model(const std::string &path, std::string &error);

// Value texts: integers in decimal, enums by their value text.
std::string value_text(const Param &p, bool use_default = false);
// Parses and checks a text value against the parameter's type and bounds;
// the error word on failure.
int32_t parse_value(const Param &p, std::string_view text, int32_t &int_out, std::string &str_out);
// Checks a value against bounds; the error word, or 0.
int32_t check_int(const Param &p, int32_t v);
int32_t check_str(const Param &p, std::string_view s);

}  // namespace mgtd
