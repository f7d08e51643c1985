// mgtweb's JSON API without a browser: its error paths and the rights each
// request carries, against a live mgtd with PAM logins under pam_wrapper.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <nlohmann/json.hpp>
#include <thread>

#include "web_env.hpp"

using nlohmann::json;
using testing::HasSubstr;
using webtest::ApiUser;
using webtest::Reply;

namespace {

class MgtwebApi : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { world_ = new webtest::World(); }
  static void TearDownTestSuite() {
    delete world_;
    world_ = nullptr;
  }
  void SetUp() override {
    if (!world_->missing().empty()) GTEST_SKIP() << world_->missing();
    ASSERT_TRUE(world_->web().ready()) << world_->web().output();
  }
  int port() const { return world_->web().port(); }
  static std::string error_of(const Reply &r) { return json::parse(r.body, nullptr, false).value("error", ""); }
  // Answers the running command's question once it has been asked.
  static bool answer(ApiUser &u, const std::string &text) {
    for (int i = 0; i < 500; ++i) {
      if (u.call("POST", "/api/job/answer", json{{"text", text}}.dump()).status == 200) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  static std::string set_body(const std::string &name, const std::string &value, bool confirmed = false) {
    return json{{"name", name}, {"value", value}, {"confirmed", confirmed}}.dump();
  }
  static webtest::World *world_;
};
webtest::World *MgtwebApi::world_ = nullptr;

TEST_F(MgtwebApi, EveryFailedLoginLooksTheSameAndSetsNoCookie) {
  const std::pair<const char *, const char *> attempts[] = {
      {"admin", "wrong"}, {"nosuchuser", "admin"}, {"monitor", ""}};
  for (const auto &[user, password] : attempts) {
    ApiUser u(port(), user, password);
    EXPECT_EQ(u.login_status, 401) << user;
    EXPECT_TRUE(u.cookie.empty()) << user;
  }
  webtest::HttpClient http(port());
  struct Bad {
    const char *body, *type;
    int status;
  };
  const Bad bad[] = {{"not json", "application/json", 400},
                     {R"({"user":"admin"})", "application/json", 400},
                     {R"({"user":7,"password":"admin"})", "application/json", 400},
                     {R"({"user":"admin","password":"admin"})", "text/plain", 415}};
  for (const auto &b : bad) {
    Reply r = http.request("POST", "/api/login", b.body, std::string("Content-Type: ") + b.type + "\r\n");
    EXPECT_EQ(r.status, b.status) << b.body;
    EXPECT_EQ(r.header("set-cookie"), "") << b.body;
  }
  Reply wrong = http.request("POST", "/api/login", R"({"user":"admin","password":"x"})", "Content-Type: application/json\r\n");
  Reply unknown = http.request("POST", "/api/login", R"({"user":"zz","password":"x"})", "Content-Type: application/json\r\n");
  EXPECT_EQ(wrong.body, unknown.body);
}

TEST_F(MgtwebApi, CookieIsRandomHttpOnlyAndStrictAndNeverTheSessionId) {
  ApiUser a(port(), "admin", "admin"), b(port(), "admin", "admin");
  ASSERT_EQ(a.login_status, 200);
  ASSERT_EQ(b.login_status, 200);
  EXPECT_THAT(a.cookie, testing::MatchesRegex("mgtweb=[0-9a-f]{32}"));
  EXPECT_NE(a.cookie, b.cookie);
  EXPECT_NE(a.csrf, b.csrf);
  Reply r = a.call("GET", "/api/session");
  EXPECT_EQ(r.status, 200);
  json s = json::parse(r.body);
  EXPECT_EQ(s["level"], 3);
  EXPECT_EQ(s["host"], "appliance-01");
  EXPECT_FALSE(s.contains("session_id"));
  webtest::HttpClient http(port());
  Reply login = http.request("POST", "/api/login", R"({"user":"admin","password":"admin"})", "Content-Type: application/json\r\n");
  EXPECT_THAT(login.header("set-cookie"), HasSubstr("; HttpOnly; SameSite=Strict"));
  EXPECT_THAT(login.header("set-cookie"), testing::Not(HasSubstr("Secure")));
}

TEST_F(MgtwebApi, NoValidSessionNoAccess) {
  const std::pair<const char *, const char *> calls[] = {
      {"GET", "/api/session"}, {"GET", "/api/tree"}, {"GET", "/api/params?path=system"},
      {"PUT", "/api/param"},   {"GET", "/api/commands"}, {"POST", "/api/run"},
      {"GET", "/api/job/events"}, {"GET", "/api/log"}, {"POST", "/api/logout"}};
  webtest::HttpClient http(port());
  for (const std::string cookie : {"", "Cookie: mgtweb=00000000000000000000000000000000\r\n",
                                   "Cookie: mgtweb=../../etc\r\n"}) {
    for (const auto &[method, path] : calls) {
      std::string extra = cookie + (std::string(method) == "GET" ? "" : "Content-Type: application/json\r\n");
      Reply r = http.request(method, path, std::string(method) == "GET" ? "" : "{}", extra);
      EXPECT_EQ(r.status, 401) << method << " " << path << " " << cookie;
    }
  }
}

TEST_F(MgtwebApi, StateChangingRequestsNeedTheTokenJsonAndOurOrigin) {
  ApiUser u(port(), "admin", "admin");
  ASSERT_EQ(u.login_status, 200);
  const std::string body = set_body("system.contact", "forged@example.net");
  std::string base = "Cookie: " + u.cookie + "\r\n";
  struct Case {
    std::string headers;
    int status;
  };
  const Case cases[] = {
      {base + "Content-Type: application/json\r\n", 403},  // no token
      {base + "Content-Type: application/json\r\nX-CSRF-Token: " + std::string(32, '0') + "\r\n", 403},
      {base + "Content-Type: text/plain\r\nX-CSRF-Token: " + u.csrf + "\r\n", 415},
      {base + "Content-Type: application/json\r\nX-CSRF-Token: " + u.csrf + "\r\nOrigin: http://evil.example\r\n", 403},
  };
  for (const auto &c : cases) EXPECT_EQ(u.http->request("PUT", "/api/param", body, c.headers).status, c.status) << c.headers;
  EXPECT_EQ(u.call("POST", "/api/logout", "{}", false).status, 403);
  Reply p = u.call("GET", "/api/params?path=system");
  EXPECT_THAT(p.body, testing::Not(HasSubstr("forged@example.net")));
  EXPECT_EQ(u.call("PUT", "/api/param", body).status, 200);
}

TEST_F(MgtwebApi, RefusedValuesAnswer422WithTheDaemonsText) {
  ApiUser u(port(), "admin", "admin");
  ASSERT_EQ(u.login_status, 200);
  const std::tuple<const char *, const char *, const char *> refused[] = {
      {"system.network.eth0.mtu", "99999", "Value out of range"},
      {"system.network.eth0.speed", "fast", "Invalid value"},
      {"system.serial", "X", "This parameter is read-only"},
      {"system.nosuch", "1", "No such parameter"},
  };
  for (const auto &[name, value, text] : refused) {
    Reply r = u.call("PUT", "/api/param", set_body(name, value));
    EXPECT_EQ(r.status, 422) << name;
    EXPECT_EQ(error_of(r), text) << name;
  }
  EXPECT_EQ(u.call("PUT", "/api/param", R"({"name":"system.contact"})").status, 400);
  EXPECT_EQ(u.call("PUT", "/api/param", R"({"name":"system.contact","value":"a\u0000b"})").status, 400);
  // A value that needs a confirmation is validated, then confirmed.
  Reply c = u.call("PUT", "/api/param", set_body("system.network.eth0.admin", "down"));
  EXPECT_EQ(c.status, 409);
  EXPECT_EQ(json::parse(c.body)["confirm"], "Taking eth0 down may cut this session. Continue?");
  Reply ok = u.call("PUT", "/api/param", set_body("system.network.eth0.admin", "down", true));
  EXPECT_EQ(ok.status, 200);
  EXPECT_EQ(json::parse(ok.body)["value"], "down");
  EXPECT_EQ(u.call("PUT", "/api/param", set_body("system.network.eth0.admin", "up", true)).status, 200);
}

TEST_F(MgtwebApi, EachUserActsAtTheirOwnLevel) {
  ApiUser admin(port(), "admin", "admin"), monitor(port(), "monitor", "monitor");
  ASSERT_EQ(admin.login_status, 200);
  ASSERT_EQ(monitor.login_status, 200);
  EXPECT_EQ(json::parse(monitor.call("GET", "/api/session").body)["level"], 1);
  Reply set = monitor.call("PUT", "/api/param", set_body("system.location", "Lab"));
  EXPECT_EQ(set.status, 422);
  EXPECT_THAT(error_of(set), HasSubstr("Permission denied"));
  EXPECT_EQ(monitor.call("GET", "/api/log").status, 403);
  EXPECT_THAT(monitor.call("GET", "/api/commands").body, testing::Not(HasSubstr("export-config")));
  EXPECT_EQ(monitor.call("POST", "/api/run", R"({"command":"export-config"})").status, 404);
  Reply log = admin.call("GET", "/api/log");
  EXPECT_EQ(log.status, 200);
  EXPECT_THAT(log.body, HasSubstr("user=monitor: web login from 127.0.0.1"));
}

// Two users at different levels at once: every admin write is taken with
// the admin's uid, every monitor write refused, and every tree walk of
// either comes back whole although the walks interleave.
TEST_F(MgtwebApi, TwoUsersAtDifferentLevelsAtTheSameTime) {
  ApiUser admin(port(), "admin", "admin"), monitor(port(), "monitor", "monitor");
  ASSERT_EQ(admin.login_status, 200);
  ASSERT_EQ(monitor.login_status, 200);
  constexpr int kRounds = 40;
  std::atomic<int> admin_bad{0}, monitor_bad{0};
  const std::string kids = admin.call("GET", "/api/tree?path=system.network").body;
  ASSERT_THAT(kids, HasSubstr("eth1"));
  std::thread a([&] {
    for (int i = 0; i < kRounds; ++i) {
      if (admin.call("PUT", "/api/param", set_body("system.location", "room " + std::to_string(i))).status != 200)
        ++admin_bad;
      if (admin.call("GET", "/api/tree?path=system.network").body != kids) ++admin_bad;
    }
  });
  std::thread m([&] {
    for (int i = 0; i < kRounds; ++i) {
      if (monitor.call("PUT", "/api/param", set_body("system.location", "monitor " + std::to_string(i))).status != 422)
        ++monitor_bad;
      if (monitor.call("GET", "/api/tree?path=system.network").body != kids) ++monitor_bad;
    }
  });
  a.join();
  m.join();
  EXPECT_EQ(admin_bad, 0);
  EXPECT_EQ(monitor_bad, 0);
  std::string log = testsupport::read_file(world_->daemon().security_log());
  EXPECT_THAT(log, HasSubstr("uid=1000 ip=127.0.0.1: set system.location=room " + std::to_string(kRounds - 1)));
  EXPECT_THAT(log, testing::Not(HasSubstr("system.location=monitor")));
}

TEST_F(MgtwebApi, CommandCallsOutOfTurnAreRefused) {
  ApiUser u(port(), "admin", "admin");
  ASSERT_EQ(u.login_status, 200);
  EXPECT_EQ(u.call("GET", "/api/job/events").status, 404);
  EXPECT_EQ(u.call("GET", "/api/job/xml").status, 404);
  EXPECT_EQ(u.call("POST", "/api/job/answer", R"({"text":"x"})").status, 409);
  EXPECT_EQ(u.call("POST", "/api/run", R"({"command":"nosuch"})").status, 404);
  EXPECT_EQ(u.call("POST", "/api/run", R"({"command":"factory-reset"})").status, 409);  // confirm first
  ASSERT_EQ(u.call("POST", "/api/run", R"({"command":"ping"})").status, 202);
  EXPECT_EQ(u.call("POST", "/api/run", R"({"command":"show-version"})").status, 409);  // still asking
  EXPECT_TRUE(answer(u, "192.0.2.9"));
  Reply events = u.call("GET", "/api/job/events");
  EXPECT_EQ(events.header("content-type"), "text/event-stream");
  EXPECT_THAT(events.body, HasSubstr("event: output\ndata: \"64 bytes from 192.0.2.9: seq=1 time=0.3 ms\\n\""));
  EXPECT_THAT(events.body, HasSubstr("event: done\ndata: {\"result\":0,\"xml\":false}"));
  // A failing command reports the daemon's text.
  ASSERT_EQ(u.call("POST", "/api/run", R"({"command":"factory-reset","confirmed":true})").status, 202);
  EXPECT_TRUE(answer(u, "yes"));
  EXPECT_THAT(u.call("GET", "/api/job/events").body, HasSubstr("\"error\":\"Command failed\""));
}

TEST_F(MgtwebApi, ReconnectsWhenTheDaemonComesBack) {
  ApiUser u(port(), "admin", "admin");
  ASSERT_EQ(u.login_status, 200);
  ASSERT_TRUE(world_->restart_daemon());
  // The call that finds the connection gone may fail; the server connects
  // again and the ones after it are served.
  u.call("GET", "/api/param?name=system.hostname");
  Reply r = u.call("GET", "/api/param?name=system.hostname");
  EXPECT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(json::parse(r.body, nullptr, false).value("value", ""), "appliance-01");
}

TEST_F(MgtwebApi, LogoutEndsTheSessionAndOnlyItsOwnFilesAreServed) {
  ApiUser u(port(), "operator", "operator");
  ASSERT_EQ(u.login_status, 200);
  Reply out = u.call("POST", "/api/logout", "{}");
  EXPECT_EQ(out.status, 200);
  EXPECT_THAT(out.header("set-cookie"), HasSubstr("Max-Age=0"));
  EXPECT_EQ(u.call("GET", "/api/session").status, 401);
  EXPECT_EQ(u.call("POST", "/api/logout", "{}").status, 401);

  webtest::HttpClient http(port());
  Reply page = http.request("GET", "/");
  EXPECT_EQ(page.status, 200);
  EXPECT_THAT(page.header("content-security-policy"), testing::StartsWith("default-src 'self'"));
  EXPECT_EQ(page.header("x-content-type-options"), "nosniff");
  for (const char *path : {"/../CMakeLists.txt", "/js/../../api.cpp", "/%2e%2e/etc/passwd", "/nosuch.html"})
    EXPECT_EQ(http.request("GET", path).status, 404) << path;
  EXPECT_EQ(http.request("POST", "/index.html", "{}", "Content-Type: application/json\r\n").status, 405);
}

}  // namespace
