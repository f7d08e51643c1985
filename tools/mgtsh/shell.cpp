#include "shell.hpp"

#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <pam_lib.h>
#include <util_linux.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>

#include "escape.hpp"
#include "hooks.hpp"

namespace mgtsh {

namespace {

// Parameter types as the daemon reports them (DM_GetParamType).
enum { kTypeInteger = 1, kTypeString = 2, kTypeEnum = 3 };
// The daemon's error word for "end of list" ends every walk.
constexpr int kErrEnd = 6;
// Levels forwarded to the command calls: negative asks for the caller's own.
constexpr int kOwnLevel = -1;

struct Builtin {
  const char *name;
  const char *usage;
  const char *help;
};

const Builtin kBuiltins[] = {
    {"ls", "ls [-a] [PATH]", "list the child entities and parameters of an entity (-a: hidden ones too)"},
    {"cd", "cd [PATH]", "change the current entity (.. is the parent, / the top)"},
    {"pwd", "pwd", "print the current entity's path"},
    {"tree", "tree [-a] [PATH]", "show the entity tree with parameter values"},
    {"get", "get NAME...", "print parameter values"},
    {"set", "set [-y] NAME VALUE", "change a parameter (asks when the daemon wants a confirmation)"},
    {"info", "info [NAME]", "describe a parameter (type, bounds, values, texts) or an entity"},
    {"commands", "commands", "list the daemon's commands"},
    {"run", "run [-y] COMMAND [ARGS]", "run a daemon command: streams its output, answers its prompts"},
    {"xml", "xml", "show the XML result of the last command"},
    {"traps", "traps", "fetch and show the queued traps"},
    {"log", "log TEXT", "write a line to the security log"},
    {"stats", "stats", "kernel release, disk, memory and processor use of this machine"},
    {"help", "help [COMMAND]", "this list, or one command's usage"},
    {"exit", "exit", "end the session and leave (also quit, or end of input)"},
};

const Builtin *builtin(const std::string &name) {
  for (const auto &b : kBuiltins)
    if (name == b.name) return &b;
  return nullptr;
}

std::string join(const std::vector<std::string> &v, std::size_t from, const char *sep = " ") {
  std::string out;
  for (std::size_t i = from; i < v.size(); ++i) {
    if (i > from) out += sep;
    out += v[i];
  }
  return out;
}

// The part of a full name below an entity path ("system.hostname" below
// "system" is "hostname").
std::string below(const std::string &full, const std::string &path) {
  if (!path.empty() && full.size() > path.size() && full.compare(0, path.size(), path) == 0 &&
      full[path.size()] == '.')
    return full.substr(path.size() + 1);
  return full;
}

bool starts_with(const std::string &s, const std::string &prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

std::string type_name(int t) {
  switch (t) {
    case kTypeInteger: return "integer";
    case kTypeString: return "string";
    case kTypeEnum: return "enumeration";
    default: return "type " + std::to_string(t);
  }
}

}  // namespace

bool split_words(const std::string &line, std::vector<std::string> &words) {
  words.clear();
  std::string cur;
  bool in_word = false;
  char quote = 0;
  for (std::size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (quote) {
      if (c == quote) {
        quote = 0;
      } else if (c == '\\' && quote == '"' && i + 1 < line.size()) {
        cur += line[++i];
      } else {
        cur += c;
      }
    } else if (c == '"' || c == '\'') {
      quote = c;
      in_word = true;
    } else if (c == '\\' && i + 1 < line.size()) {
      cur += line[++i];
      in_word = true;
    } else if (c == ' ' || c == '\t') {
      if (in_word) words.push_back(std::move(cur));
      cur.clear();
      in_word = false;
    } else {
      cur += c;
      in_word = true;
    }
  }
  if (quote) return false;
  if (in_word) words.push_back(std::move(cur));
  return true;
}

Shell::Shell(LineInput &input, Session &session, ShellOptions opts)
    : input_(input), session_(session), opts_(opts) {
  input_.set_completer([this](const std::string &b, const std::string &w) { return complete(b, w); });
}

bool Shell::start() {
  // The empty path names the top entity.
  top_ = find_entity("");
  if (!top_) return fail("cannot read the entity tree");
  top_path_ = cwd_ = entity_path(top_);
  char host[64] = {};
  if (remote(DM_GetHostName, host, static_cast<int>(sizeof host)) != -1) host_ = host;
  return true;
}

std::string Shell::prompt() const {
  // The host name and the path are the daemon's: shown escaped.
  std::string p = session_.active() ? shown(session_.user()) + "@" : std::string();
  p += host_.empty() ? "mgtd" : shown(host_);
  return p + ":" + shown(cwd_) + "> ";
}

std::string Shell::last_error() {
  int err = get_err();
  if (err == 0) return "the request failed";
  char text[DM_TEXT_SIZE] = {};
  if (remote(DM_GetStrErr, err, static_cast<int>(sizeof text), text) == -1 || !text[0])
    return "error " + std::to_string(err);
  return text;
}

bool Shell::fail(const std::string &what) {
  std::fflush(stdout);
  std::fprintf(stderr, "mgtsh: %s\n", shown(what).c_str());
  return false;
}

bool Shell::confirm(const std::string &question) {
  if (opts_.assume_yes) return true;
  auto answer = input_.answer(shown(question) + " [y/N] ", false);
  return answer && (*answer == "y" || *answer == "Y" || *answer == "yes");
}

// --------------------------------------------------------------- lookups --

int Shell::find_entity(const std::string &path) {
  int handle = 0;
  if (remote(DM_EntityFind, path.c_str(), &handle) == -1) return 0;
  return handle;
}

std::string Shell::entity_path(int handle) {
  char path[DM_TEXT_SIZE] = {};
  if (remote(DM_GetEntityPath, handle, path) == -1) return {};
  return path;
}

std::vector<int> Shell::children(int handle) {
  std::vector<int> out;
  int child = 0, count = 0;
  if (remote(DM_GetEntityFirstChild, handle, &child, &count) == -1) return out;
  out.push_back(child);
  while (remote(DM_GetEntityNextChild, handle, &child) != -1) out.push_back(child);
  return out;
}

std::vector<std::string> Shell::params(int handle, bool dot) {
  std::vector<std::string> out;
  char name[DM_NAME_SIZE] = {};
  int type = 0, count = 0;
  int r = dot ? remote(DM_GetFirstDotParam, handle, "", name, &type)
              : remote(DM_GetFirstParam, handle, name, &type, &count);
  if (r == -1) return out;
  out.emplace_back(name);
  while ((dot ? remote(DM_GetNextDotParam, handle, name) : remote(DM_GetNextParam, handle, name, &type)) != -1)
    out.emplace_back(name);
  return out;
}

// PATH is a dotted entity path; relative to the current entity unless it
// starts with "/". Components separated by "/" step through it: ".." is the
// parent. A relative path that names no entity below the current one is
// tried as a full path.
bool Shell::resolve_entity(const std::string &arg, int &handle, std::string &path) {
  std::string cur = cwd_;
  std::string rest = arg;
  if (!rest.empty() && rest[0] == '/') {
    cur = top_path_;
    rest.erase(0, rest.find_first_not_of('/'));
    if (rest.empty()) {
      handle = top_;
      path = top_path_;
      return true;
    }
    if (rest == top_path_ || starts_with(rest, top_path_ + ".") || starts_with(rest, top_path_ + "/")) {
      cur.clear();
    }
  }
  handle = find_entity(cur);
  std::stringstream parts(rest);
  std::string part;
  bool first = true;
  while (std::getline(parts, part, '/')) {
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      int parent = 0;
      if (remote(DM_GetEntityParent, handle, &parent) != -1) handle = parent;
    } else {
      std::string want = cur.empty() ? part : cur + "." + part;
      int h = find_entity(want);
      if (!h && first) h = find_entity(part);
      if (!h) return false;
      handle = h;
    }
    cur = entity_path(handle);
    first = false;
  }
  if (!handle) return false;
  path = entity_path(handle);
  return true;
}

// A parameter below the current entity, or by its full name.
bool Shell::resolve_param(const std::string &arg, std::string &full) {
  int type = 0;
  if (arg.empty()) return false;
  std::string name = arg;
  if (name[0] == '/') name.erase(0, 1);
  if (!cwd_.empty() && arg[0] != '/') {
    std::string rel = cwd_ + "." + name;
    if (remote(DM_GetParamType, rel.c_str(), &type) != -1) {
      full = rel;
      return true;
    }
  }
  if (remote(DM_GetParamType, name.c_str(), &type) != -1) {
    full = name;
    return true;
  }
  return false;
}

// -------------------------------------------------------------- commands --

bool Shell::cmd_pwd(const Args &) {
  std::printf("%s\n", shown(cwd_).c_str());
  return true;
}

bool Shell::cmd_cd(const Args &a) {
  if (a.size() > 2) return fail("usage: cd [PATH]");
  int handle = 0;
  std::string path;
  if (!resolve_entity(a.size() > 1 ? a[1] : "/", handle, path))
    return fail("cd: no entity " + a[1]);
  cwd_ = path;
  return true;
}

bool Shell::cmd_ls(const Args &a) {
  bool all = false;
  std::string target;
  for (std::size_t i = 1; i < a.size(); ++i) {
    if (a[i] == "-a") all = true;
    else if (target.empty()) target = a[i];
    else return fail("usage: ls [-a] [PATH]");
  }
  int handle = 0;
  std::string path;
  if (!resolve_entity(target, handle, path)) return fail("ls: no entity " + target);
  for (int child : children(handle)) {
    bool hidden = remote(DM_EntityHidden, child) == 1;
    if (hidden && !all) continue;
    char name[DM_NAME_SIZE] = {};
    if (remote(DM_GetEntityName, child, name) == -1) continue;
    std::printf("%s/%s\n", shown(name).c_str(), hidden ? "  (hidden)" : "");
  }
  for (bool dot : {false, true}) {
    for (const auto &full : params(handle, dot)) {
      char value[DM_TEXT_SIZE] = {};
      std::string text = remote(DM_GetParam, full.c_str(), static_cast<int>(sizeof value), value, 0) == -1
                             ? std::string("(") + last_error() + ")"
                             : std::string(value);
      std::printf("%s = %s\n", shown(below(full, path)).c_str(), shown(text).c_str());
    }
  }
  return true;
}

void Shell::print_tree(int handle, int depth, bool all) {
  std::string indent(static_cast<std::size_t>(depth) * 2, ' ');
  char name[DM_NAME_SIZE] = {};
  remote(DM_GetEntityName, handle, name);
  std::string path = entity_path(handle);
  std::printf("%s%s/\n", indent.c_str(), shown(name).c_str());
  for (bool dot : {false, true}) {
    for (const auto &full : params(handle, dot)) {
      char value[DM_TEXT_SIZE] = {};
      bool ok = remote(DM_GetParam, full.c_str(), static_cast<int>(sizeof value), value, 0) != -1;
      std::printf("%s  %s = %s\n", indent.c_str(), shown(below(full, path)).c_str(),
                  ok ? shown(value).c_str() : "-");
    }
  }
  for (int child : children(handle)) {
    if (!all && remote(DM_EntityHidden, child) == 1) continue;
    print_tree(child, depth + 1, all);
  }
}

bool Shell::cmd_tree(const Args &a) {
  bool all = false;
  std::string target;
  for (std::size_t i = 1; i < a.size(); ++i) {
    if (a[i] == "-a") all = true;
    else if (target.empty()) target = a[i];
    else return fail("usage: tree [-a] [PATH]");
  }
  int handle = 0;
  std::string path;
  if (!resolve_entity(target, handle, path)) return fail("tree: no entity " + target);
  print_tree(handle, 0, all);
  return true;
}

bool Shell::cmd_get(const Args &a) {
  if (a.size() < 2) return fail("usage: get NAME...");
  bool ok = true;
  for (std::size_t i = 1; i < a.size(); ++i) {
    std::string full;
    if (!resolve_param(a[i], full)) {
      ok = fail("get " + a[i] + ": " + last_error());
      continue;
    }
    char value[DM_TEXT_SIZE] = {};
    if (remote(DM_GetParam, full.c_str(), static_cast<int>(sizeof value), value, 0) == -1) {
      ok = fail("get " + a[i] + ": " + last_error());
      continue;
    }
    if (a.size() > 2) std::printf("%s = %s\n", shown(full).c_str(), shown(value).c_str());
    else std::printf("%s\n", shown(value).c_str());
  }
  return ok;
}

bool Shell::cmd_set(const Args &a) {
  std::size_t first = 1;
  bool yes = opts_.assume_yes;
  if (a.size() > 1 && a[1] == "-y") {
    yes = true;
    ++first;
  }
  if (a.size() < first + 2) return fail("usage: set [-y] NAME VALUE");
  const std::string &arg = a[first];
  std::string value = join(a, first + 1);
  std::string full;
  if (!resolve_param(arg, full)) return fail("set " + arg + ": " + last_error());
  // Validate first (flag 1), so that a bad value is refused before anyone
  // is asked to confirm it.
  if (remote(DM_SetParam, full.c_str(), 0, static_cast<const void *>(value.c_str()), 1) == -1)
    return fail("set " + arg + ": " + last_error());
  char text[DM_TEXT_SIZE] = {};
  if (remote(DM_GetParamConfirmationText, full.c_str(), value.c_str(), text, static_cast<int>(sizeof text)) == 1 &&
      text[0] && !yes && !confirm(text))
    return fail("set " + arg + ": cancelled");
  if (remote(DM_SetParam, full.c_str(), 0, static_cast<const void *>(value.c_str()), 0) == -1)
    return fail("set " + arg + ": " + last_error());
  char now[DM_TEXT_SIZE] = {};
  if (remote(DM_GetParam, full.c_str(), static_cast<int>(sizeof now), now, 0) != -1)
    std::printf("%s = %s\n", shown(full).c_str(), shown(now).c_str());
  else
    std::printf("%s set\n", shown(full).c_str());
  return true;
}

bool Shell::cmd_info(const Args &a) {
  if (a.size() > 2) return fail("usage: info [NAME]");
  std::string full;
  if (a.size() == 2 && resolve_param(a[1], full)) {
    const char *n = full.c_str();
    int type = 0;
    remote(DM_GetParamType, n, &type);
    int lo = 0, hi = 0, third = 0;
    bool bounds = remote(DM_GetParamMinMax, n, &lo, &hi, &third) != -1;
    std::printf("parameter   %s\n", shown(n).c_str());
    std::printf("type        %s", type_name(type).c_str());
    if (bounds && type == kTypeInteger) std::printf(", %d to %d", lo, hi);
    if (bounds && type == kTypeString) std::printf(", length %d to %d", lo, hi);
    std::printf("\n");
    char value[DM_TEXT_SIZE] = {};
    if (remote(DM_GetParam, n, static_cast<int>(sizeof value), value, 0) != -1)
      std::printf("value       %s\n", shown(value).c_str());
    if (remote(DM_GetParam, n, static_cast<int>(sizeof value), value, 1) != -1)
      std::printf("default     %s\n", shown(value).c_str());
    if (type == kTypeEnum) {
      std::string values;
      int pos = 0;
      char text[DM_TEXT_SIZE] = {};
      while (remote(DM_GetNextVal, n, static_cast<int>(sizeof text), &pos, text) != -1)
        values += (values.empty() ? "" : ", ") + std::string(text);
      std::printf("values      %s\n", shown(values).c_str());
    }
    bool can_get = remote(DM_CanGet, kOwnLevel, n) == 1, can_set = remote(DM_CanSet, kOwnLevel, n) == 1;
    std::printf("access      %s\n", can_get && can_set ? "read and write"
                                    : can_get         ? "read only"
                                    : can_set         ? "write only"
                                                      : "none at your level");
    char text[DM_TEXT_SIZE] = {};
    if (remote(DM_GetParamInfo, n, text) != -1 && text[0]) std::printf("info        %s\n", shown(text).c_str());
    if (remote(DM_GetParamConfirmationText, n, "VALUE", text, static_cast<int>(sizeof text)) == 1 && text[0])
      std::printf("confirm     %s\n", shown(text).c_str());
    return true;
  }
  int handle = 0;
  std::string path;
  if (!resolve_entity(a.size() == 2 ? a[1] : "", handle, path))
    return fail("info " + a[1] + ": no such parameter or entity");
  char title[DM_FULLNAME_SIZE] = {}, text[DM_TEXT_SIZE] = {};
  remote(DM_GetEntityFullName, handle, title);
  remote(DM_GetEntityInfo, handle, text);
  std::printf("entity      %s\n", shown(path).c_str());
  if (title[0]) std::printf("title       %s\n", shown(title).c_str());
  if (text[0]) std::printf("info        %s\n", shown(text).c_str());
  if (remote(DM_EntityHidden, handle) == 1) std::printf("hidden      yes\n");
  std::printf("children    %zu\n", children(handle).size());
  std::printf("parameters  %zu\n", params(handle, false).size() + params(handle, true).size());
  return true;
}

bool Shell::cmd_commands(const Args &) {
  char name[DM_NAME_SIZE] = {}, text[DM_TEXT_SIZE] = {};
  int count = 0;
  if (remote(CMD_GetFirstCommand, kOwnLevel, name, text, &count) == -1) {
    if (get_err() == kErrEnd) return true;  // nothing at this level
    return fail("commands: " + last_error());
  }
  do std::printf("%-18s %s\n", shown(name).c_str(), shown(text).c_str());
  while (remote(CMD_GetNextCommand, kOwnLevel, name, text) != -1);
  return true;
}

bool Shell::cmd_run(const Args &a) {
  std::size_t first = 1;
  bool yes = opts_.assume_yes;
  if (a.size() > 1 && a[1] == "-y") {
    yes = true;
    ++first;
  }
  if (a.size() <= first) return fail("usage: run [-y] COMMAND [ARGS]");
  const std::string &name = a[first];
  std::string args = join(a, first + 1);
  if (remote(CMD_IsCommand, kOwnLevel, name.c_str()) != 1) return fail("run: no command " + name);
  char text[DM_TEXT_SIZE] = {};
  if (remote(CMD_GetCommandConfirmationText, kOwnLevel, name.c_str(), args.c_str(), text,
             static_cast<int>(sizeof text)) == 1 &&
      text[0] && !yes && !confirm(text))
    return fail("run " + name + ": cancelled");

  // The library appends XML output to this file: start from none, so that
  // what is there afterwards is this command's result.
  std::string xml = GetXMLFileName();
  unlink(xml.c_str());
  if (!last_xml_.empty()) unlink(last_xml_.c_str());
  last_xml_.clear();
  std::fflush(stdout);
  int r = remote(CMD_ExecCommand, kOwnLevel, name.c_str(), args.c_str());
  std::fflush(stdout);
  struct stat st {};
  if (stat(xml.c_str(), &st) == 0) {
    last_xml_ = xml;
    std::printf("XML result: %s (%lld bytes)\n", xml.c_str(), static_cast<long long>(st.st_size));
  }
  if (r == -1) return fail("run " + name + ": " + last_error());
  if (r != 0) std::printf("result: %d\n", r);
  return true;
}

void Shell::cleanup() {
  if (!opts_.keep_xml && !last_xml_.empty()) unlink(last_xml_.c_str());
}

bool Shell::cmd_xml(const Args &) {
  if (last_xml_.empty()) return fail("xml: no command has produced an XML result yet");
  std::ifstream in(last_xml_, std::ios::binary);
  if (!in) return fail("xml: cannot read " + last_xml_ + ": " + std::strerror(errno));
  std::string line;
  while (std::getline(in, line)) std::printf("%s\n", shown(line, true).c_str());
  return true;
}

bool Shell::cmd_traps(const Args &) {
  // The record's layout is the daemon's: id, severity, time and data length
  // (4 bytes each), the name at 16 (64 bytes), the text at 80.
  int count = 0;
  for (;;) {
    unsigned char rec[SM_TRAP_SIZE] = {};
    char data[256] = {};
    if (remote(SM_GetTrap, static_cast<void *>(rec), static_cast<void *>(data), static_cast<int>(sizeof data) - 1) == -1)
      break;
    int32_t words[4];
    std::memcpy(words, rec, sizeof words);
    rec[16 + 63] = 0;
    rec[SM_TRAP_SIZE - 1] = 0;
    std::time_t when = words[2];
    char stamp[32] = {};
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", std::localtime(&when));
    static const char *sev[] = {"?", "info", "warning", "error"};
    const char *s = words[1] >= 1 && words[1] <= 3 ? sev[words[1]] : sev[0];
    std::printf("#%d %s %s %s: %s", words[0], stamp, s, shown(reinterpret_cast<char *>(rec + 16)).c_str(),
                shown(reinterpret_cast<char *>(rec + 80)).c_str());
    if (data[0]) std::printf(" [%s]", shown(data).c_str());
    std::printf("\n");
    ++count;
  }
  if (!count) {
    if (get_err() != 16) return fail("traps: " + last_error());
    std::printf("no traps\n");
  }
  return true;
}

bool Shell::cmd_log(const Args &a) {
  if (a.size() < 2) return fail("usage: log TEXT");
  std::string line = join(a, 1);
  int r = session_.active() ? remote(DM_SecurityLogEntry, session_.user().c_str(), line.c_str())
                            : remote(DM_SecurityLogLine, line.c_str());
  if (r == -1) return fail("log: " + last_error());
  return true;
}

bool Shell::cmd_stats(const Args &) {
  char release[65] = {};
  if (get_kernel_release(release, sizeof release - 1) == 0) std::printf("kernel      %s\n", release);
  // UTILS_get_disk_stats counts in 32 bits, which wraps on today's disks;
  // the 64-bit free figure is exact.
  unsigned long long free_bytes = UTILS_get_free_disk_space();
  if (free_bytes) std::printf("disk /      %llu MiB free\n", free_bytes / (1024 * 1024));
  int mem = UTIL_GetMemUtilization();
  if (mem >= 0) std::printf("memory      %d%% used\n", mem);
  else std::printf("memory      unavailable\n");
  int cpu = UTIL_GetCPUUtilization();
  if (cpu >= 0) std::printf("cpu         %d%% busy\n", cpu);
  else std::printf("cpu         unavailable (is mpstat installed?)\n");
  return true;
}

bool Shell::cmd_help(const Args &a) {
  if (a.size() > 1) {
    const Builtin *b = builtin(a[1]);
    if (!b) return fail("help: no command " + a[1]);
    std::printf("%s\n  %s\n", b->usage, b->help);
    return true;
  }
  for (const auto &b : kBuiltins) std::printf("  %-24s %s\n", b.usage, b.help);
  std::printf("Paths are dotted entity paths (system.network); parameters are named\n"
              "below the current entity or by their full name.\n");
  return true;
}

bool Shell::cmd_exit(const Args &) {
  done_ = true;
  return true;
}

// ------------------------------------------------------------ dispatcher --

bool Shell::execute(const std::string &line) {
  std::vector<std::string> words;
  if (!split_words(line, words)) return fail("unfinished quote");
  if (words.empty() || words[0][0] == '#') return true;
  if (opts_.echo) {
    std::printf("%s%s\n", prompt().c_str(), shown(line).c_str());
    std::fflush(stdout);
  }
  const std::string &cmd = words[0];
  if (cmd == "exit" || cmd == "quit") return cmd_exit(words);
  if (session_.active() && !session_.refresh()) {
    expired_ = true;
    done_ = true;
    return fail("the session has expired; log in again");
  }
  using Handler = bool (Shell::*)(const Args &);
  static const std::map<std::string, Handler> handlers = {
      {"ls", &Shell::cmd_ls},         {"cd", &Shell::cmd_cd},     {"pwd", &Shell::cmd_pwd},
      {"tree", &Shell::cmd_tree},     {"get", &Shell::cmd_get},   {"set", &Shell::cmd_set},
      {"info", &Shell::cmd_info},     {"commands", &Shell::cmd_commands},
      {"run", &Shell::cmd_run},       {"xml", &Shell::cmd_xml},   {"traps", &Shell::cmd_traps},
      {"log", &Shell::cmd_log},       {"stats", &Shell::cmd_stats},
      {"help", &Shell::cmd_help},     {"?", &Shell::cmd_help},
  };
  auto it = handlers.find(cmd);
  if (it == handlers.end()) return fail("unknown command \"" + cmd + "\" (try help)");
  bool ok = (this->*(it->second))(words);
  std::fflush(stdout);
  return ok;
}

int Shell::loop() {
  bool failed = false;
  while (!done_) {
    auto line = input_.command(prompt());
    if (!line) {
      if (input_.interactive()) std::printf("\n");
      break;
    }
    bool ok = execute(*line);
    if (!ok && !input_.interactive()) {
      failed = true;
      break;  // a script stops at its first failure
    }
  }
  if (expired_) return kExpired;
  return failed ? 1 : 0;
}

std::vector<std::string> Shell::complete(const std::string &before, const std::string &word) {
  std::vector<std::string> words, out;
  split_words(before, words);
  auto add = [&](const std::string &candidate) {
    // A name with terminal controls is never put on the command line.
    if (starts_with(candidate, word) && shown(candidate) == candidate) out.push_back(candidate);
  };
  if (words.empty()) {
    for (const auto &b : kBuiltins) add(b.name);
    return out;
  }
  const std::string &cmd = words[0];
  if (cmd == "help") {
    for (const auto &b : kBuiltins) add(b.name);
  } else if (cmd == "run" && (words.size() == 1 || (words.size() == 2 && words[1] == "-y"))) {
    char name[DM_NAME_SIZE] = {}, text[DM_TEXT_SIZE] = {};
    int count = 0;
    if (remote(CMD_GetFirstCommand, kOwnLevel, name, text, &count) != -1) {
      do add(name);
      while (remote(CMD_GetNextCommand, kOwnLevel, name, text) != -1);
    }
  } else if (cmd == "run") {
    // Options of the command, by the prefix typed so far.
    const std::string &name = words[words[1] == "-y" ? 2 : 1];
    int pos = 0;
    char text[DM_TEXT_SIZE] = {};
    while (remote(CMD_GetCmdOption, kOwnLevel, name.c_str(), &pos, word.c_str(), text) != -1) add(text);
  } else if (cmd == "cd" || cmd == "ls" || cmd == "tree" || cmd == "get" || cmd == "set" || cmd == "info") {
    // set completes the name only, not the value.
    std::size_t name_at = words.size() > 1 && words[1] == "-y" ? 2 : 1;
    if (cmd == "set" && words.size() > name_at) return out;
    // Names below the entity that the typed word's dotted prefix names.
    auto dot = word.rfind('.');
    std::string prefix = dot == std::string::npos ? std::string() : word.substr(0, dot + 1);
    int handle = 0;
    std::string path;
    if (!resolve_entity(dot == std::string::npos ? "" : word.substr(0, dot), handle, path)) return out;
    for (int child : children(handle)) {
      if (remote(DM_EntityHidden, child) == 1) continue;
      char name[DM_NAME_SIZE] = {};
      if (remote(DM_GetEntityName, child, name) != -1) add(prefix + name);
    }
    if (cmd != "cd" && cmd != "ls" && cmd != "tree")
      for (bool d : {false, true})
        for (const auto &full : params(handle, d)) add(prefix + below(full, path));
  }
  return out;
}

}  // namespace mgtsh
