// Commands: listing, options, confirmation texts and running their steps.
#include "call.hpp"

namespace mgtd::ops {

namespace {

// --------------------------------------------------------------- commands --

const Command *command_arg(Call &c, std::size_t level_item, std::size_t name_item) {
  std::string_view name;
  if (!c.str_at(name_item, name)) return nullptr;
  const Command *cmd = c.st.model().command(name);
  if (!cmd || cmd->level > c.level_for(c.int_at(level_item))) return c.fail(E_NO_COMMAND), nullptr;
  return cmd;
}

}  // namespace

void op_is_command(Call &c) {
  std::string_view name;
  if (!c.str_at(1, name)) return;
  const Command *cmd = c.st.model().command(name);
  c.result = cmd && cmd->level <= c.level_for(c.int_at(0)) ? 1 : 0;
}

namespace {

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

}  // namespace

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

namespace {

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

}  // namespace

void op_exec_command(Call &c) {  // 26: level, name, options
  const Command *cmd = command_arg(c, 0, 1);
  if (!cmd) return;
  // The model keeps its commands for the daemon's lifetime: the reference
  // stays valid while the lock is let go around frames.
  run_command(c, *cmd, std::string(c.opt_str_at(2)), c.lock);
}

}  // namespace mgtd::ops
