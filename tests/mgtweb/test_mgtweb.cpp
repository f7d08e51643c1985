// mgtweb against a live mgtd with PAM logins (pam_wrapper): the API's refusals and each
// user's rights, then the page in Debian's headless Chromium driven by browser/drive.mjs.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>

#include "web_env.hpp"

namespace {

using webtest::ApiUser;

std::string set(const std::string &name, const std::string &value) {
  return nlohmann::json{{"name", name}, {"value", value}}.dump();
}

TEST(Mgtweb, TheApiRefusesWhatTheSessionTheTokenOrTheLevelDoNotAllow) {
  webtest::World world;
  if (!world.missing().empty()) GTEST_SKIP() << world.missing();
  const int port = world.web().port();
  ApiUser u(port, "admin", "admin"), again(port, "admin", "admin"), monitor(port, "monitor", "monitor");
  ASSERT_TRUE(u.login_status == 200 && monitor.login_status == 200);
  EXPECT_TRUE(std::regex_match(u.cookie, std::regex("mgtweb=[0-9a-f]{32}")) && u.cookie != again.cookie && u.csrf != again.csrf);
  const std::string json = "Content-Type: application/json\r\n", cookie = "Cookie: " + u.cookie + "\r\n",
                    token = "X-CSRF-Token: " + u.csrf + "\r\n", body = set("system.contact", "forged@example.net");
  const std::tuple<const char *, const char *, std::string, std::string, int, const char *> rows[] = {
      {"POST", "/api/login", R"({"user":"admin","password":"x"})", json, 401, R"({"error":"Login failed"})"},
      {"POST", "/api/login", R"({"user":"zz","password":"x"})", json, 401, R"({"error":"Login failed"})"},
      {"POST", "/api/login", R"({"user":"admin","password":"admin"})", "Content-Type: text/plain\r\n", 415, nullptr},
      {"GET", "/api/session", "", "Cookie: mgtweb=00000000000000000000000000000000\r\n", 401, nullptr},
      {"PUT", "/api/param", body, json, 401, nullptr},
      {"PUT", "/api/param", body, cookie + json, 403, nullptr},  // no token
      {"PUT", "/api/param", body, cookie + json + "X-CSRF-Token: " + std::string(32, '0') + "\r\n", 403, nullptr},
      {"PUT", "/api/param", body, cookie + "Content-Type: text/plain\r\n" + token, 415, nullptr},
      {"PUT", "/api/param", body, cookie + json + token + "Origin: http://evil.example\r\n", 403, nullptr},
      {"PUT", "/api/param", set("system.network.eth0.mtu", "99999"), cookie + json + token, 422, R"({"error":"Value out of range"})"},
      {"PUT", "/api/param", set("system.serial", "X"), cookie + json + token, 422, R"({"error":"This parameter is read-only"})"},
      {"PUT", "/api/param", set("system.network.eth0.admin", "down"), cookie + json + token, 409, nullptr},  // confirm first
      {"PUT", "/api/param", set("system.location", "Lab"), "Cookie: " + monitor.cookie + "\r\n" + json +
       "X-CSRF-Token: " + monitor.csrf + "\r\n", 422, R"({"error":"Permission denied: your privilege level is too low"})"},
      {"GET", "/api/log", "", "Cookie: " + monitor.cookie + "\r\n", 403, nullptr},
      {"POST", "/api/logout", "{}", cookie + json, 403, nullptr},
      {"GET", "/../CMakeLists.txt", "", "", 404, nullptr},
  };
  webtest::HttpClient http(port);
  for (const auto &[method, path, data, headers, status, answer] : rows) {
    webtest::Reply r = http.request(method, path, data, headers);
    const std::string cookie_set = r.header("set-cookie");  // none, or one that clears
    EXPECT_TRUE(r.status == status && (!answer || r.body == answer) &&
                (cookie_set.empty() || cookie_set.find("Max-Age=0") != std::string::npos))
        << path << " " << data << " " << headers << r.status << r.body << cookie_set;
  }
  EXPECT_EQ(u.call("GET", "/api/params?path=system").body.find("forged@example.net"), std::string::npos);
  webtest::Reply page = http.request("GET", "/"), out = u.call("POST", "/api/logout", "{}");
  EXPECT_TRUE(page.header("content-security-policy").starts_with("default-src 'self'") &&
              page.header("x-content-type-options") == "nosniff");
  EXPECT_TRUE(out.status == 200 && out.header("set-cookie").find("Max-Age=0") != std::string::npos &&
              u.call("GET", "/api/session").status == 401);
}

TEST(Mgtweb, DrivesThePageInARealBrowser) {
  webtest::World world;
  if (!world.missing().empty()) GTEST_SKIP() << world.missing();
  const std::string dir = BROWSER_DIR, node = "/usr/bin/node";
  if (!testsupport::sanitizer_runtime().empty() || access((dir + "/node_modules/puppeteer-core").c_str(), R_OK) ||
      access("/usr/bin/chromium", X_OK) || access(node.c_str(), X_OK))
    GTEST_SKIP() << "needs chromium, node and puppeteer-core (scripts/deps), not under the sanitizers";
  std::filesystem::create_directories(SCREENSHOT_DIR);
  // Idle for three monitor periods (made 250 ms each), a login is closed.
  auto quick = world.start_web({"--idle-minutes", "3"}, {{"LD_PRELOAD", FAST_MONITOR_PATH}, {"MGTWEB_TEST_MONITOR_MS", "250"}});
  ASSERT_TRUE(quick->ready()) << quick->output();
  auto r = testsupport::run_program(world.dir(), {node, "--test", dir + "/drive.mjs"}, "",
                                    {{"MGTWEB_URL", world.web().url()}, {"MGTWEB_QUICK_URL", quick->url()},
                                     {"PROFILE_DIR", world.dir() + "/profile"}, {"SCREENSHOT_DIR", SCREENSHOT_DIR},
                                     {"TMPDIR", world.dir()}, {"HOME", world.dir()}});  // Chromium's scratch stays here
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(world.server->stop(), 0) << "mgtweb ends cleanly on SIGTERM";
}

}  // namespace
