// The shared state's files and queues: the security log, the state file that
// keeps set values across restarts, and the trap queue.
#include <syslog.h>

#include <ctime>

#include "errors.hpp"
#include "files.hpp"
#include "service.hpp"

namespace mgtd {

void State::set_security_log(std::string path) {
  std::lock_guard lk(log_mu_);
  log_path_ = std::move(path);
}

bool State::log_security(std::string_view who, std::string_view text) {
  std::lock_guard lk(log_mu_);
  if (log_path_.empty()) return false;
  char stamp[32];
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &tm);
  std::string line = std::string(stamp) + " " + std::string(who) + ": " + std::string(text);
  // One entry is one line: a client cannot forge further entries.
  for (char &c : line)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  line += '\n';
  std::string error;
  if (append_private(log_path_, line, error)) {
    log_error_.clear();
    return true;
  }
  if (error != log_error_) syslog(LOG_ERR, "security log: %s", error.c_str());  // once per cause
  log_error_ = error;
  return false;
}

static std::string quote(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    if (c == '\n') { out += "\\n"; continue; }
    if (c == '\t') { out += "\\t"; continue; }
    out += c;
  }
  return out + "\"";
}

bool State::load_state(std::string &error) {
  if (state_file_.empty()) return true;
  std::string content;
  bool missing = false;
  if (!read_private(state_file_, content, missing, error)) return false;
  // One "FULL.NAME \"TEXT\"" line per value that differs from its default.
  std::lock_guard lk(mu_);
  std::string_view rest = content;
  for (int n = 1; !rest.empty(); ++n) {
    auto nl = rest.find('\n');
    std::string line(rest.substr(0, nl));
    rest = nl == std::string_view::npos ? std::string_view{} : rest.substr(nl + 1);
    if (line.empty() || line[0] == '#') continue;
    auto sp = line.find(' ');
    if (sp == std::string::npos || line.size() < sp + 3 || line[sp + 1] != '"' || line.back() != '"') {
      error = state_file_ + ":" + std::to_string(n) + ": expected NAME \"TEXT\"";
      return false;
    }
    std::string name = line.substr(0, sp), text;
    for (std::size_t i = sp + 2; i + 1 < line.size(); ++i) {
      char c = line[i];
      if (c == '\\' && i + 2 < line.size()) {
        char e = line[++i];
        c = e == 'n' ? '\n' : e == 't' ? '\t' : e;
      }
      text += c;
    }
    Param *p = model_.param(name);
    int32_t v = 0;
    std::string s;
    if (!p || parse_value(*p, text, v, s) != E_OK) {
      error = state_file_ + ":" + std::to_string(n) + ": no parameter '" + name + "' takes this value";
      return false;
    }
    p->int_value = v;
    p->str_value = s;
  }
  return true;
}

void State::save_state_locked() {
  if (state_file_.empty()) return;
  std::string out = "# values set through mgtd; written by mgtd\n";
  for (const Param &p : model_.params) {
    bool changed = p.type == ParamType::String ? p.str_value != p.str_default
                                                 : p.int_value != p.int_default;
    if (changed) out += p.full_name + " " + quote(value_text(p)) + "\n";
  }
  std::string error;
  if (!replace_private(state_file_, out, error)) syslog(LOG_ERR, "state file: %s", error.c_str());
}

void State::queue_trap(std::string name, std::string text, std::string data, std::string source,
                       int32_t severity) {
  std::lock_guard lk(trap_mu_);
  if (traps_.size() >= kTrapQueueMax) traps_.pop_front();  // the oldest goes
  Trap t;
  t.id = next_trap_id_++;
  t.severity = severity;
  t.time = static_cast<int32_t>(std::time(nullptr));
  t.name = std::move(name);
  t.text = std::move(text);
  t.data = std::move(data);
  t.source = std::move(source);
  traps_.push_back(std::move(t));
}

std::optional<Trap> State::pop_trap(std::size_t &left) {
  std::lock_guard lk(trap_mu_);
  if (traps_.empty()) return std::nullopt;
  Trap t = std::move(traps_.front());
  traps_.pop_front();
  left = traps_.size();
  return t;
}

std::size_t State::trap_count() {
  std::lock_guard lk(trap_mu_);
  return traps_.size();
}

}  // namespace mgtd
