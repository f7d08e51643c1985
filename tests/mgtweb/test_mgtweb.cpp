// mgtweb against a live mgtd with PAM logins under pam_wrapper: the JSON
// API's refusals and the rights each request carries, then the page in
// Debian's headless Chromium, driven by browser/drive.mjs (puppeteer-core).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>
#include <thread>

#include "web_env.hpp"

namespace {

using nlohmann::json;
using webtest::ApiUser;
using webtest::Reply;

struct Mgtweb : ::testing::Test {
  static void SetUpTestSuite() { world = new webtest::World(); }
  static void TearDownTestSuite() { delete world; }
  void SetUp() override {
    if (!world->missing().empty()) GTEST_SKIP() << world->missing();
    ASSERT_TRUE(world->web().ready()) << world->web().output();
  }
  static int port() { return world->web().port(); }
  static std::string set(const std::string &name, const std::string &value, bool confirmed = false) {
    return json{{"name", name}, {"value", value}, {"confirmed", confirmed}}.dump();
  }
  static bool has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }
  static webtest::World *world;
};
webtest::World *Mgtweb::world = nullptr;

TEST_F(Mgtweb, RequestsWithoutAValidSessionTokenOrOriginAreRefused) {
  webtest::HttpClient http(port());
  const std::string json_type = "Content-Type: application/json\r\n";
  for (const auto &[user, password] : {std::pair{"admin", "wrong"}, {"nosuchuser", "admin"}, {"monitor", ""}})
    EXPECT_TRUE(ApiUser(port(), user, password).login_status == 401 && ApiUser(port(), user, password).cookie.empty());
  EXPECT_EQ(http.request("POST", "/api/login", R"({"user":"admin","password":"x"})", json_type).body,
            http.request("POST", "/api/login", R"({"user":"zz","password":"x"})", json_type).body);
  ApiUser u(port(), "admin", "admin"), again(port(), "admin", "admin");
  ASSERT_EQ(u.login_status, 200);
  EXPECT_TRUE(std::regex_match(u.cookie, std::regex("mgtweb=[0-9a-f]{32}")) && u.cookie != again.cookie &&
              u.csrf != again.csrf);
  const std::string cookie = "Cookie: " + u.cookie + "\r\n", body = set("system.contact", "forged@example.net");
  struct Row {
    const char *method, *path;
    std::string body, headers;
    int status;
  } rows[] = {
      {"POST", "/api/login", "not json", json_type, 400},
      {"POST", "/api/login", R"({"user":7,"password":"admin"})", json_type, 400},
      {"POST", "/api/login", R"({"user":"admin","password":"admin"})", "Content-Type: text/plain\r\n", 415},
      {"GET", "/api/tree", "", "", 401},
      {"GET", "/api/session", "", "Cookie: mgtweb=00000000000000000000000000000000\r\n", 401},
      {"GET", "/api/log", "", "Cookie: mgtweb=../../etc\r\n", 401},
      {"PUT", "/api/param", body, json_type, 401},
      {"PUT", "/api/param", body, cookie + json_type, 403},  // no token
      {"PUT", "/api/param", body, cookie + json_type + "X-CSRF-Token: " + std::string(32, '0') + "\r\n", 403},
      {"PUT", "/api/param", body, cookie + "Content-Type: text/plain\r\nX-CSRF-Token: " + u.csrf + "\r\n", 415},
      {"PUT", "/api/param", body, cookie + json_type + "X-CSRF-Token: " + u.csrf + "\r\nOrigin: http://evil.example\r\n", 403},
      {"POST", "/api/logout", "{}", cookie + json_type, 403},
      {"GET", "/../CMakeLists.txt", "", "", 404},
      {"GET", "/%2e%2e/etc/passwd", "", "", 404},
      {"POST", "/index.html", "{}", json_type, 405},
  };
  for (const Row &r : rows) {
    Reply got = http.request(r.method, r.path, r.body, r.headers);
    EXPECT_TRUE(got.status == r.status && (got.header("set-cookie").empty() || has(got.header("set-cookie"), "Max-Age=0")))
        << r.path << " " << r.headers << got.status;
  }
  EXPECT_FALSE(has(u.call("GET", "/api/params?path=system").body, "forged@example.net"));
  Reply page = http.request("GET", "/");
  EXPECT_TRUE(page.header("content-security-policy").starts_with("default-src 'self'") &&
              page.header("x-content-type-options") == "nosniff");
  Reply out = u.call("POST", "/api/logout", "{}");
  EXPECT_TRUE(out.status == 200 && has(out.header("set-cookie"), "Max-Age=0") && u.call("GET", "/api/session").status == 401);
}

TEST_F(Mgtweb, EachUserActsAtTheirOwnLevelAndGetsTheDaemonsText) {
  ApiUser admin(port(), "admin", "admin"), monitor(port(), "monitor", "monitor");
  ASSERT_TRUE(admin.login_status == 200 && monitor.login_status == 200);
  const std::tuple<ApiUser *, std::string, std::string, int, const char *> rows[] = {
      {&admin, "system.network.eth0.mtu", "99999", 422, "Value out of range"},
      {&admin, "system.network.eth0.speed", "fast", 422, "Invalid value"},
      {&admin, "system.serial", "X", 422, "This parameter is read-only"},
      {&admin, "system.nosuch", "1", 422, "No such parameter"},
      {&admin, "system.network.eth0.admin", "down", 409, ""},  // asks for a confirmation first
      {&monitor, "system.location", "Lab", 422, "Permission denied: your privilege level is too low"},
  };
  for (const auto &[user, name, value, status, error] : rows) {
    Reply r = user->call("PUT", "/api/param", set(name, value));
    EXPECT_TRUE(r.status == status && json::parse(r.body, nullptr, false).value("error", "") == error) << name << r.body;
  }
  EXPECT_EQ(admin.call("PUT", "/api/param", R"({"name":"system.contact","value":"a\u0000b"})").status, 400);
  EXPECT_EQ(admin.call("PUT", "/api/param", set("system.network.eth0.admin", "up", true)).status, 200);
  EXPECT_TRUE(monitor.call("GET", "/api/log").status == 403 && !has(monitor.call("GET", "/api/commands").body, "export-config"));
  EXPECT_EQ(monitor.call("POST", "/api/run", R"({"command":"export-config"})").status, 404);
  // At the same time: every admin write taken with the admin's uid, every
  // monitor write refused, every tree walk whole although they interleave.
  const std::string kids = admin.call("GET", "/api/tree?path=system.network").body;
  int bad = 0;
  std::thread a([&] {
    for (int i = 0; i < 40; ++i)
      bad += admin.call("PUT", "/api/param", set("system.location", "room " + std::to_string(i))).status != 200 ||
             admin.call("GET", "/api/tree?path=system.network").body != kids;
  });
  for (int i = 0; i < 40; ++i)
    bad += monitor.call("PUT", "/api/param", set("system.location", "monitor")).status != 422 ||
           monitor.call("GET", "/api/tree?path=system.network").body != kids;
  a.join();
  EXPECT_EQ(bad, 0);
  std::string log = admin.call("GET", "/api/log").body;
  EXPECT_TRUE(has(log, "user=monitor: web login from 127.0.0.1") && !has(log, "system.location=monitor"));
  EXPECT_TRUE(has(testsupport::read_file(world->daemon().security_log()), "uid=1000 ip=127.0.0.1: set system.location=room 39"));
}

TEST_F(Mgtweb, CommandsRunInTurnAndTheServerReconnects) {
  ApiUser u(port(), "admin", "admin");
  auto answer = [&](const std::string &text) {
    for (int i = 0; i < 500; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(10)))
      if (u.call("POST", "/api/job/answer", json{{"text", text}}.dump()).status == 200) return true;
    return false;
  };
  EXPECT_TRUE(u.call("GET", "/api/job/events").status == 404 && u.call("POST", "/api/job/answer", R"({"text":"x"})").status == 409);
  EXPECT_EQ(u.call("POST", "/api/run", R"({"command":"factory-reset"})").status, 409);  // confirm first
  ASSERT_EQ(u.call("POST", "/api/run", R"({"command":"ping"})").status, 202);
  EXPECT_EQ(u.call("POST", "/api/run", R"({"command":"show-version"})").status, 409);  // still asking
  EXPECT_TRUE(answer("192.0.2.9"));
  Reply events = u.call("GET", "/api/job/events");
  EXPECT_TRUE(has(events.body, "event: output\ndata: \"64 bytes from 192.0.2.9: seq=1 time=0.3 ms\\n\"") &&
              has(events.body, "event: done\ndata: {\"result\":0,\"xml\":false}")) << events.body;
  ASSERT_EQ(u.call("POST", "/api/run", R"({"command":"factory-reset","confirmed":true})").status, 202);
  EXPECT_TRUE(answer("yes") && has(u.call("GET", "/api/job/events").body, "\"error\":\"Command failed\""));
  ASSERT_TRUE(world->restart_daemon());
  u.call("GET", "/api/param?name=system.hostname");  // may find the connection gone
  EXPECT_TRUE(has(u.call("GET", "/api/param?name=system.hostname").body, "\"value\":\"appliance-01\""));
}

TEST_F(Mgtweb, DrivesThePageInARealBrowser) {
  const std::string dir = BROWSER_DIR, node = "/usr/bin/node";
  if (!testsupport::sanitizer_runtime().empty()) GTEST_SKIP() << "Chromium and node do not run under the sanitizers";
  if (access("/usr/bin/chromium", X_OK) != 0 || access(node.c_str(), X_OK) != 0) GTEST_SKIP() << "needs chromium and node";
  if (access((dir + "/node_modules/puppeteer-core").c_str(), R_OK) != 0)
    GTEST_SKIP() << "needs puppeteer-core: run scripts/deps (npm ci in tests/mgtweb/browser)";
  const std::string cert = world->dir() + "/cert.pem", key = world->dir() + "/key.pem";
  ASSERT_EQ(std::system(("openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 -keyout " + key +
                         " -out " + cert + " >/dev/null 2>&1").c_str()), 0);
  auto tls = world->start_web({"--cert", cert, "--key", key});
  ASSERT_TRUE(tls->ready()) << tls->output();
  std::filesystem::create_directories(SCREENSHOT_DIR);
  // Chromium's scratch files stay in the test's directory.
  auto r = testsupport::run_program(world->dir(), {node, "--test", dir + "/drive.mjs"}, "",
                                    {{"MGTWEB_URL", world->web().url()}, {"MGTWEB_TLS_URL", tls->url()},
                                     {"PROFILE_DIR", world->dir() + "/profile"}, {"SCREENSHOT_DIR", SCREENSHOT_DIR},
                                     {"TMPDIR", world->dir()}, {"HOME", world->dir()}});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(tls->stop(), 0) << "mgtweb ends cleanly on SIGTERM";
}

}  // namespace
