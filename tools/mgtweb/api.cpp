#include "api.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <pam_lib.h>

#include <deque>
#include <fstream>
#include <sstream>

#include "jobs.hpp"

namespace mgtweb {

namespace {

using nlohmann::json;

// Parameter types as the daemon reports them.
enum { kTypeInteger = 1, kTypeString = 2, kTypeEnum = 3 };
// Levels forwarded to the command calls: negative asks for the caller's own.
constexpr int kOwnLevel = -1;
// Lines of the security log shown.
constexpr std::size_t kLogLines = 200;

bool state_changing(const std::string &m) { return m == "POST" || m == "PUT" || m == "DELETE"; }

// The body as a JSON object, or nothing.
std::optional<json> body_object(const Request &req) {
  json j = json::parse(req.body, nullptr, false);
  if (j.is_discarded() || !j.is_object()) return std::nullopt;
  return j;
}

// A text field of a body: a string without NUL bytes that fits the
// daemon's buffers.
std::optional<std::string> text_field(const json &j, const char *key, bool required = true) {
  auto it = j.find(key);
  if (it == j.end()) return required ? std::nullopt : std::optional<std::string>("");
  if (!it->is_string()) return std::nullopt;
  std::string s = it->get<std::string>();
  if (s.find('\0') != std::string::npos || s.size() >= DM_TEXT_SIZE) return std::nullopt;
  return s;
}

bool flag_field(const json &j, const char *key) {
  auto it = j.find(key);
  return it != j.end() && it->is_boolean() && it->get<bool>();
}

std::string type_name(int t) {
  switch (t) {
    case kTypeInteger: return "integer";
    case kTypeString: return "string";
    case kTypeEnum: return "enum";
    default: return "unknown";
  }
}

// The part of a full name below an entity path.
std::string below(const std::string &full, const std::string &path) {
  if (!path.empty() && full.size() > path.size() && full.compare(0, path.size(), path) == 0 &&
      full[path.size()] == '.')
    return full.substr(path.size() + 1);
  return full;
}

std::vector<int> child_handles(int handle) {
  std::vector<int> out;
  int child = 0, count = 0;
  if (DM_GetEntityFirstChild(handle, &child, &count) == -1) return out;
  out.push_back(child);
  while (DM_GetEntityNextChild(handle, &child) != -1) out.push_back(child);
  return out;
}

std::vector<std::string> param_names(int handle) {
  std::vector<std::string> out;
  char name[DM_NAME_SIZE] = {};
  int type = 0, count = 0;
  if (DM_GetFirstParam(handle, name, &type, &count) != -1) {
    out.emplace_back(name);
    while (DM_GetNextParam(handle, name, &type) != -1) out.emplace_back(name);
  }
  if (DM_GetFirstDotParam(handle, "", name, &type) != -1) {
    out.emplace_back(name);
    while (DM_GetNextDotParam(handle, name) != -1) out.emplace_back(name);
  }
  return out;
}

std::string expected_origin(const Request &req) {
  return std::string(req.tls ? "https://" : "http://") + req.header("Host");
}

Response no_api() { return Response::error(404, "No such call"); }

}  // namespace

Response Api::handle(const Request &req) {
  const std::string &p = req.path;
  if (p.compare(0, 5, "/api/") != 0) {
    if (req.method != "GET" && req.method != "HEAD") return Response::error(405, "Method not allowed");
    const StaticFile *f = files_.find(p);
    if (!f) return Response::error(404, "Not found");
    Response r;
    r.type = f->type;
    r.body = f->body;
    r.headers.emplace_back("Cache-Control", "no-cache");
    return r;
  }
  if (state_changing(req.method)) {
    // A form or a page elsewhere cannot send JSON without asking first,
    // and a browser names the page a request comes from.
    if (req.header("Content-Type").compare(0, 16, "application/json") != 0)
      return Response::error(415, "Requests with a body must be JSON");
    std::string origin = req.header("Origin");
    if (!origin.empty() && origin != expected_origin(req)) return Response::error(403, "Cross-origin request refused");
  }
  if (p == "/api/login" && req.method == "POST") return login(req);

  auto s = sessions_.find(req);
  if (!s) {
    Response r = Response::error(401, "Not logged in, or the session has expired");
    if (!req.cookie(Sessions::kCookie).empty()) r.headers.emplace_back("Set-Cookie", sessions_.clear_cookie());
    return r;
  }
  if (state_changing(req.method) && !same_secret(req.header("X-CSRF-Token"), s->csrf))
    return Response::error(403, "Missing or wrong CSRF token");

  const std::string &m = req.method;
  if (p == "/api/session" && m == "GET") return session_info(*s);
  if (p == "/api/logout" && m == "POST") return logout(req, s);
  if (p == "/api/tree" && m == "GET") return tree(req, *s);
  if (p == "/api/params" && m == "GET") return params(req, *s);
  if (p == "/api/param" && m == "GET") return get_param(req, *s);
  if (p == "/api/param" && m == "PUT") return set_param(req, *s);
  if (p == "/api/commands" && m == "GET") return commands(*s);
  if (p == "/api/run" && m == "POST") return run(req, *s);
  if (p == "/api/job/events" && m == "GET") return events(*s);
  if (p == "/api/job/answer" && m == "POST") return answer(req, *s);
  if (p == "/api/job/xml" && m == "GET") return xml(*s);
  if (p == "/api/log" && m == "GET") return log(*s);
  return no_api();
}

Response Api::login(const Request &req) {
  auto j = body_object(req);
  std::optional<std::string> user, password;
  if (j) {
    user = text_field(*j, "user");
    password = text_field(*j, "password");
  }
  if (!user || !password || user->empty()) return Response::error(400, "Give a user name and a password");
  auto s = sessions_.login(*user, *password, req.client_ip);
  std::fill(password->begin(), password->end(), '\0');
  // One text for every failure: nothing tells a guesser which part was wrong.
  if (!s) return Response::error(401, "Login failed");
  Response r = session_info(*s);
  r.headers.emplace_back("Set-Cookie", sessions_.set_cookie(*s));
  return r;
}

Response Api::logout(const Request &, const std::shared_ptr<WebSession> &s) {
  {
    std::lock_guard<std::mutex> hold(s->job_mutex);
    if (s->job) s->job->cancel();
  }
  sessions_.logout(s);
  Response r = Response::json(200, {{"ok", true}});
  r.headers.emplace_back("Set-Cookie", sessions_.clear_cookie());
  return r;
}

Response Api::session_info(const WebSession &s) {
  return Response::json(200, {{"user", s.user},
                              {"name", s.full_name},
                              {"level", s.who.level},
                              {"host", s.host},
                              {"csrf", s.csrf}});
}

Response Api::tree(const Request &req, const WebSession &s) {
  std::string path = req.query("path");
  if (path.size() >= DM_TEXT_SIZE) return Response::error(400, "Path too long");
  DaemonLock lock(&s.who);
  int h = 0;
  if (DM_EntityFind(path.c_str(), &h) == -1) return Response::error(404, lock.last_error());
  char text[DM_TEXT_SIZE] = {}, title[DM_FULLNAME_SIZE] = {}, name[DM_NAME_SIZE] = {};
  json out;
  DM_GetEntityPath(h, text);
  out["path"] = text;
  DM_GetEntityFullName(h, title);
  out["title"] = title;
  text[0] = 0;
  DM_GetEntityInfo(h, text);
  out["info"] = text;
  json kids = json::array();
  for (int c : child_handles(h)) {
    json k;
    name[0] = text[0] = title[0] = 0;
    DM_GetEntityName(c, name);
    DM_GetEntityPath(c, text);
    DM_GetEntityFullName(c, title);
    int grandchild = 0, count = 0;
    k["name"] = name;
    k["path"] = text;
    k["title"] = title;
    k["hidden"] = DM_EntityHidden(c) == 1;
    k["leaf"] = DM_GetEntityFirstChild(c, &grandchild, &count) == -1;
    kids.push_back(std::move(k));
  }
  out["children"] = std::move(kids);
  return Response::json(200, out);
}

Response Api::params(const Request &req, const WebSession &s) {
  std::string path = req.query("path");
  if (path.size() >= DM_TEXT_SIZE) return Response::error(400, "Path too long");
  DaemonLock lock(&s.who);
  int h = 0;
  if (DM_EntityFind(path.c_str(), &h) == -1) return Response::error(404, lock.last_error());
  char entity[DM_TEXT_SIZE] = {};
  DM_GetEntityPath(h, entity);
  json list = json::array();
  for (const auto &full : param_names(h)) {
    const char *n = full.c_str();
    json p = {{"name", below(full, entity)}, {"full", full}};
    int type = 0;
    DM_GetParamType(n, &type);
    p["type"] = type_name(type);
    char value[DM_TEXT_SIZE] = {};
    if (DM_GetParam(n, static_cast<int>(sizeof value), value, 0) != -1) {
      p["value"] = value;
    } else {
      p["value"] = nullptr;
      p["unreadable"] = lock.last_error();
    }
    char text[DM_TEXT_SIZE] = {};
    if (DM_GetParamInfo(n, text) != -1) p["info"] = text;
    int lo = 0, hi = 0, third = 0;
    if (DM_GetParamMinMax(n, &lo, &hi, &third) != -1 && type != kTypeEnum) {
      p["min"] = lo;
      p["max"] = hi;
    }
    if (type == kTypeEnum) {
      json choices = json::array();
      int pos = 0;
      while (DM_GetNextVal(n, static_cast<int>(sizeof text), &pos, text) != -1) choices.push_back(text);
      p["choices"] = std::move(choices);
    }
    p["readonly"] = DM_CanSet(kOwnLevel, n) != 1;
    list.push_back(std::move(p));
  }
  return Response::json(200, {{"path", entity}, {"params", std::move(list)}});
}

Response Api::get_param(const Request &req, const WebSession &s) {
  std::string name = req.query("name");
  if (name.empty() || name.size() >= DM_TEXT_SIZE) return Response::error(400, "Give the parameter's name");
  char value[DM_TEXT_SIZE] = {};
  DaemonLock lock(&s.who);
  if (DM_GetParam(name.c_str(), static_cast<int>(sizeof value), value, 0) == -1)
    return Response::error(404, lock.last_error());
  return Response::json(200, {{"name", name}, {"value", value}});
}

Response Api::set_param(const Request &req, const WebSession &s) {
  auto j = body_object(req);
  std::optional<std::string> name, value;
  if (j) {
    name = text_field(*j, "name");
    value = text_field(*j, "value");
  }
  if (!name || !value) return Response::error(400, "Give the parameter's name and the value as text");
  DaemonLock lock(&s.who);
  DM_SetClientIp(req.client_ip.c_str());
  const char *n = name->c_str();
  // Validate first, so that a bad value is refused before anyone is asked
  // to confirm it.
  if (DM_SetParam(n, 0, value->c_str(), 1) == -1) return Response::error(422, lock.last_error());
  char text[DM_TEXT_SIZE] = {};
  if (!flag_field(*j, "confirmed") &&
      DM_GetParamConfirmationText(n, value->c_str(), text, static_cast<int>(sizeof text)) == 1 && text[0])
    return Response::json(409, {{"confirm", text}});
  if (DM_SetParam(n, 0, value->c_str(), 0) == -1) return Response::error(422, lock.last_error());
  char now[DM_TEXT_SIZE] = {};
  json out = {{"name", *name}};
  if (DM_GetParam(n, static_cast<int>(sizeof now), now, 0) != -1) out["value"] = now;
  return Response::json(200, out);
}

Response Api::commands(const WebSession &s) {
  DaemonLock lock(&s.who);
  json list = json::array();
  char name[DM_NAME_SIZE] = {}, text[DM_TEXT_SIZE] = {};
  int count = 0;
  if (CMD_GetFirstCommand(kOwnLevel, name, text, &count) != -1) {
    do list.push_back({{"name", name}, {"text", text}});
    while (CMD_GetNextCommand(kOwnLevel, name, text) != -1);
  }
  for (auto &c : list) {
    json options = json::array();
    std::string cmd = c["name"];
    int pos = 0;
    while (CMD_GetCmdOption(kOwnLevel, cmd.c_str(), &pos, "", text) != -1) options.push_back(text);
    c["options"] = std::move(options);
  }
  return Response::json(200, {{"commands", std::move(list)}});
}

Response Api::run(const Request &req, WebSession &s) {
  auto j = body_object(req);
  std::optional<std::string> command, options;
  if (j) {
    command = text_field(*j, "command");
    options = text_field(*j, "options", false);
  }
  if (!command || !options || command->empty()) return Response::error(400, "Give the command's name");
  std::lock_guard<std::mutex> hold(s.job_mutex);
  if (s.job && s.job->running()) return Response::error(409, "A command is still running");
  {
    DaemonLock lock(&s.who);
    if (CMD_IsCommand(kOwnLevel, command->c_str()) != 1) return Response::error(404, "No such command");
    char text[DM_TEXT_SIZE] = {};
    if (!flag_field(*j, "confirmed") &&
        CMD_GetCommandConfirmationText(kOwnLevel, command->c_str(), options->c_str(), text,
                                       static_cast<int>(sizeof text)) == 1 &&
        text[0])
      return Response::json(409, {{"confirm", text}});
  }
  s.job = start_job(s.who, *command, *options, req.client_ip);
  return Response::json(202, {{"started", *command}});
}

Response Api::events(WebSession &s) {
  std::shared_ptr<Job> job;
  {
    std::lock_guard<std::mutex> hold(s.job_mutex);
    job = s.job;
  }
  if (!job) return Response::error(404, "No command has run");
  Response r;
  r.type = "text/event-stream";
  r.headers.emplace_back("Cache-Control", "no-store");
  r.stream = [job, next = std::size_t(0)](std::string &out) mutable {
    Job::Event e;
    if (!job->event(next, e, std::chrono::seconds(15))) {
      out = ": still running\n\n";  // keeps proxies and the browser patient
      return true;
    }
    ++next;
    out = "event: " + e.type + "\ndata: " + e.data.dump(-1, ' ', false, json::error_handler_t::replace) + "\n\n";
    return e.type != "done";
  };
  return r;
}

Response Api::answer(const Request &req, WebSession &s) {
  auto j = body_object(req);
  std::optional<std::string> text;
  if (j) text = text_field(*j, "text");
  if (!text) return Response::error(400, "Give the answer as text");
  std::shared_ptr<Job> job;
  {
    std::lock_guard<std::mutex> hold(s.job_mutex);
    job = s.job;
  }
  if (!job || !job->answer(std::move(*text))) return Response::error(409, "No question is waiting");
  return Response::json(200, {{"ok", true}});
}

Response Api::xml(WebSession &s) {
  std::shared_ptr<Job> job;
  {
    std::lock_guard<std::mutex> hold(s.job_mutex);
    job = s.job;
  }
  auto text = job ? job->xml() : std::nullopt;
  if (!text) return Response::error(404, "The last command produced no XML result");
  Response r;
  r.type = "application/xml";
  r.body = std::move(*text);
  r.headers.emplace_back("Content-Disposition", "attachment; filename=\"result.xml\"");
  r.headers.emplace_back("Cache-Control", "no-store");
  return r;
}

Response Api::log(const WebSession &s) {
  if (s.who.level < kAdminLevel) return Response::error(403, "Only administrators read the security log");
  if (security_log_.empty()) return Response::error(404, "No security log was named at start");
  int fd = open(security_log_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (fd >= 0) close(fd);
    return Response::error(404, "The security log cannot be read");
  }
  std::string all;
  char buf[8192];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) all.append(buf, static_cast<std::size_t>(n));
  close(fd);
  std::deque<std::string> last;
  std::istringstream in(all);
  for (std::string line; std::getline(in, line);) {
    last.push_back(std::move(line));
    if (last.size() > kLogLines) last.pop_front();
  }
  return Response::json(200, {{"lines", json(std::vector<std::string>(last.begin(), last.end()))}});
}

}  // namespace mgtweb
