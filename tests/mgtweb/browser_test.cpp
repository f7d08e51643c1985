// The page in a real browser: starts mgtd and two mgtweb servers (one with
// a fast session monitor, one over HTTPS) and runs browser/drive.mjs, which
// drives Debian's headless Chromium through puppeteer-core.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "web_env.hpp"

namespace {

constexpr const char *kChromium = "/usr/bin/chromium";

std::string node_path() {
  for (const char *p : {"/usr/bin/node", "/usr/local/bin/node", "/usr/bin/nodejs"})
    if (access(p, X_OK) == 0) return p;
  return "";
}

TEST(MgtwebBrowser, DrivesThePageEndToEnd) {
  const std::string browser_dir = BROWSER_DIR;
  if (access(kChromium, X_OK) != 0) GTEST_SKIP() << "needs Chromium (Debian package chromium)";
  if (node_path().empty()) GTEST_SKIP() << "needs node";
  if (access((browser_dir + "/node_modules/puppeteer-core").c_str(), R_OK) != 0)
    GTEST_SKIP() << "needs puppeteer-core: run scripts/deps (npm ci in tests/mgtweb/browser)";

  webtest::World world;
  if (!world.missing().empty()) GTEST_SKIP() << world.missing();
  ASSERT_TRUE(world.web().ready()) << world.web().output();
  // A login idle for three monitor periods (made 250 ms each) is closed.
  auto quick = world.start_web({"--idle-minutes", "3"},
                               {{"LD_PRELOAD", FAST_MONITOR_PATH}, {"MGTWEB_TEST_MONITOR_MS", "250"}});
  ASSERT_TRUE(quick->ready()) << quick->output();
  // HTTPS with a certificate made here.
  std::string cert = world.dir() + "/cert.pem", key = world.dir() + "/key.pem";
  std::string make = "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 -keyout " + key +
                     " -out " + cert + " >/dev/null 2>&1";
  ASSERT_EQ(std::system(make.c_str()), 0) << "openssl could not make a certificate";
  auto tls = world.start_web({"--cert", cert, "--key", key});
  ASSERT_TRUE(tls->ready()) << tls->output();

  std::filesystem::create_directories(SCREENSHOT_DIR);
  std::string profile = world.dir() + "/chromium-profile";
  std::string out = world.dir() + "/drive.out";
  pid_t pid = fork();
  if (pid == 0) {
    setenv("MGTWEB_URL", world.web().url().c_str(), 1);
    setenv("MGTWEB_QUICK_URL", quick->url().c_str(), 1);
    setenv("MGTWEB_TLS_URL", tls->url().c_str(), 1);
    setenv("CHROMIUM", kChromium, 1);
    setenv("PROFILE_DIR", profile.c_str(), 1);
    setenv("SCREENSHOT_DIR", SCREENSHOT_DIR, 1);
    setenv("SECURITY_LOG", world.daemon().security_log().c_str(), 1);
    // Chromium's own scratch files stay in the test's directory.
    setenv("TMPDIR", world.dir().c_str(), 1);
    setenv("HOME", world.dir().c_str(), 1);
    std::string node = node_path(), script = browser_dir + "/drive.mjs";
    execl(node.c_str(), node.c_str(), "--test", script.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  ASSERT_GT(pid, 0);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "drive.mjs failed (status " << status << ")";
}

}  // namespace
